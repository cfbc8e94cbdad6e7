#pragma once

#include <QObject>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>

namespace socks {
class CWS_TCP_S;
}

// The relay of a server window without the window: every text goes to every connection, the
// sender too, and is echoed to a console stream instead of a log box.
class RelayService : public QObject
{
    Q_OBJECT

public:
    // Relayed texts go to output unless quiet; the start line always does, failures go to errors.
    RelayService(std::FILE *output, std::FILE *errors, bool quiet);
    ~RelayService() override; // closes every connection

    // Serves the port (0 takes a free one) and prints the start line with the port actually
    // bound; on failure prints why, with advice for the common causes, and returns false.
    bool start(int port);
    void stop(); // closes every connection and flushes the output

    // Bridged relays hand their clients' texts to sink instead of relaying them, and relay
    // what comes back through relay(), in the order all bridged relays share.
    void divertTexts(std::function<void(const QString &)> sink);
    void relay(const QString &text);
    void setReadingPaused(bool paused); // slows the clients when the sink cannot keep up

private:
    void relayText(int index, const QString &text);
    void closeFailedConnection(int index);
    void flushOutput();

    std::unique_ptr<socks::CWS_TCP_S> server;
    std::FILE *output;
    std::FILE *errors;
    bool quiet;
    QTimer flushTimer;
    std::function<void(const QString &)> sink;
};
