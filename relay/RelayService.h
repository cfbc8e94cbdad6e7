#pragma once

#include "relay/AdminLog.h"
#include "relay/Admission.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>

class ConsoleOutput;
class RedisBridge;
struct OptionReading;
struct RelaySettings;
class WebRelay;

namespace socks {
class CWS_TCP_S;
}

// The relay of a server window without the window: every text goes to every connection, the
// sender too, and is echoed, escaped, to a console instead of a log box. The console also tells
// who joined, left or was dropped and why; under the journal every line carries its priority.
class RelayService : public QObject
{
    Q_OBJECT

public:
    // Relayed texts go to the output descriptor unless quiet; the relay's own lines (start,
    // clients joining and leaving, stop) always do, failures go to errors.
    RelayService(int outputDescriptor, std::FILE *errors, bool quiet);
    ~RelayService() override; // closes every connection

    // Serves what the settings name: the chat page if asked for, then the socket the service
    // manager passed, else the port. A passed socket is what the service manager listens on:
    // --port and --listen do not apply, and the start line says so when they were given.
    bool serve(const RelaySettings &settings);
    // Serves the port (0 takes a free one) on listenAddress (Any: every interface) and prints the
    // start line with the port actually bound; on failure prints why, in English with advice for
    // the common causes, and returns false.
    bool start(int port, const QHostAddress &listenAddress = QHostAddress::Any);
    // The same for a socket that already listens, handed over by the service manager; a note
    // goes on the start line in brackets.
    bool adopt(int descriptor, const QString &note = QString());
    // Also serves the chat page on the address and port, and lets browsers into the room; on
    // failure prints why and returns false. Call before start or adopt: their start line is
    // followed by the page's.
    // Browsers that join are shown the newest historyTexts texts relayed before them.
    bool serveWeb(const QHostAddress &address, int port, int historyTexts);
    // Applies what SIGHUP read again (the errors and warnings of the reading, or the settings)
    // to the running relay, says so and names what waits for a restart; running then holds the
    // settings in force. The bridge, if any, takes its new password.
    void reload(RelaySettings &running, const OptionReading &read, RedisBridge *bridge);
    void setQuiet(bool quiet);
    // Who may come in from now on, on both ports; connections already open stay.
    void setAdmissionRules(const Admission::Rules &rules);
    int clientCount() const;
    // A line of the relay's own on the output.
    void say(const QString &line, LogPriority priority = LogPriority::Notice);
    // A warning about trouble outside the relay (the bridge's Redis): on the errors' stream, or
    // on the output among the other lines when both are one (a terminal, a pipe, the journal's
    // stream), so that it lands inside no line the output is still writing. Shown escaped as
    // texts are, since parts of it come from outside.
    void warn(const QString &report);
    // Closes every connection and writes what the output takes within a short bounded time.
    void stop();

    // Bridged relays hand their clients' texts to sink instead of relaying them, and relay
    // what comes back through relay(), in the order all bridged relays share.
    void divertTexts(std::function<void(const QString &)> sink);
    // Diverts the texts to the bridge, relays what it reads back and warns of its reports.
    void shareThrough(RedisBridge &bridge);
    void relay(const QString &text);
    // A text said before this relay started, for the history of the browsers that join.
    void recall(const QString &text);
    void setReadingPaused(bool paused); // slows the clients when the sink cannot keep up

signals:
    // The room's readers, of either kind, fell behind (true) or caught up: a sink that feeds
    // relay() holds its texts back meanwhile, as the room holds its clients' input.
    void readersBehind(bool behind);

private:
    void followTexts();
    void reportFailure(const QString &what, int port);
    void announce(const QString &note = QString());
    void relayText(int index, const QString &text);
    void logConnection(bool added, int index);
    void closeFailedConnection(int index);
    void announceReadersBehind();
    std::shared_ptr<void> admit(const QHostAddress &peer);
    void tellServiceManager(); // ready, with the count of clients
    void logAdmission();

    QElapsedTimer clock; // the admission's
    // Shared with the tickets of the connections it admitted, which may outlive the service.
    std::shared_ptr<Admission> admission;
    QTimer admissionLog; // sums up refusals once their minute is over
    QTimer statusDue; // the service manager hears of the count at most once a second
    QTimer memoryReturn; // gives the allocator's free memory back after connections left
    bool serving = false;
    std::unique_ptr<socks::CWS_TCP_S> server;
    std::unique_ptr<ConsoleOutput> output;
    std::FILE *errors;
    bool errorsShareOutput; // standard error and output write to one file, pipe or socket
    bool quiet;
    bool stopping = false; // every connection is being closed
    std::function<void(const QString &)> sink;
    std::unique_ptr<WebRelay> webRelay;
    QStringList recalled; // until the web port is served
    bool announcedBehind = false; // readersBehind as last emitted
};
