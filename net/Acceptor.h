#pragma once

#include <QHostAddress>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;
class QTcpServer;

namespace socks {

// The relay's listening socket: listens, or adopts one a service manager passed, takes waiting
// connections in batches and rests while the process is out of descriptors. Failures are a cause
// plus Qt's own reason; the windows and the relay word them for their readers.
class Acceptor
{
public:
    enum class Failure {
        None,
        PortInUse,
        NoPermission,
        InvalidPort, // outside 0 to 65535
        NotASocket, // a passed descriptor that is a file, a pipe, or nothing at all
        NotTcp, // a passed socket that is not TCP over IPv4 or IPv6 (a UNIX socket, UDP...)
        NotListening, // a passed TCP socket that does not listen (connected, or never bound)
        Other, // reason() holds Qt's words
    };

    // accepted runs from the event loop whenever a batch of connections waits in takeAccepted().
    explicit Acceptor(std::function<void()> accepted);
    ~Acceptor(); // closes the listener and every connection not taken

    bool listen(const QHostAddress &address, int port); // port 0 binds a free one
    bool adopt(qintptr descriptor); // checked first: a listening TCP socket, IPv4 or IPv6
    Failure failure() const { return lastFailure; }
    QString reason() const { return lastReason; } // Qt's reason, where Qt gave one

    bool isListening() const;
    int port() const; // 0 when not listening
    QHostAddress address() const;

    std::vector<int> takeAccepted(); // non-blocking, close-on-exec descriptors, oldest first
    void descriptorFreed(); // a connection closed: a resting listener may go on at once

    // What a passed descriptor is, from the socket options alone.
    static Failure checkListening(qintptr descriptor);

private:
    void prepare();
    void acceptWaiting();
    void rest();

    std::function<void()> accepted;
    std::unique_ptr<QTcpServer> server;
    std::unique_ptr<QSocketNotifier> notifier;
    std::vector<int> waiting; // accepted, not yet taken
    bool announced = false;
    bool resting = false;
    QTimer retry;
    Failure lastFailure = Failure::None;
    QString lastReason;
};

} // namespace socks
