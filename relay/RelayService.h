#pragma once

#include "relay/AdminLog.h"

#include <QHostAddress>
#include <QObject>
#include <QStringList>

#include <cstdio>
#include <functional>
#include <memory>

class ConsoleOutput;
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
    // A line of the relay's own on the output.
    void say(const QString &line, LogPriority priority = LogPriority::Notice);
    // Closes every connection and writes what the output takes within a short bounded time.
    void stop();

    // Bridged relays hand their clients' texts to sink instead of relaying them, and relay
    // what comes back through relay(), in the order all bridged relays share.
    void divertTexts(std::function<void(const QString &)> sink);
    void relay(const QString &text);
    // A text said before this relay started, for the history of the browsers that join.
    void recall(const QString &text);
    void setReadingPaused(bool paused); // slows the clients when the sink cannot keep up

signals:
    // The room's readers, of either kind, fell behind (true) or caught up: a sink that feeds
    // relay() holds its texts back meanwhile, as the room holds its clients' input.
    void readersBehind(bool behind);

private:
    void reportFailure(const QString &what, int port);
    void announce(const QString &note = QString());
    void relayText(int index, const QString &text);
    void logConnection(bool added, int index);
    void closeFailedConnection(int index);
    void announceReadersBehind();

    std::unique_ptr<socks::CWS_TCP_S> server;
    std::unique_ptr<ConsoleOutput> output;
    std::FILE *errors;
    bool quiet;
    bool stopping = false; // every connection is being closed
    std::function<void(const QString &)> sink;
    std::unique_ptr<WebRelay> webRelay;
    QStringList recalled; // until the web port is served
    bool announcedBehind = false; // readersBehind as last emitted
};
