#include "net/Acceptor.h"

#include "net/SocketHelpers.h"

#include <QNetworkProxy>
#include <QSocketNotifier>
#include <QTcpServer>

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace socks {

namespace {

// Out of descriptors: accepting rests this long unless a connection closes first.
constexpr int retryMilliseconds = 500;
// Connections taken per turn, so that a crowd arriving at once does not stall the relaying.
constexpr int acceptsPerTurn = 64;
// 200 clients arriving at once must not overflow the kernel's queue of unaccepted connections.
constexpr int listenBacklog = 1024;

} // namespace

Acceptor::Acceptor(std::function<void()> accepted)
    : accepted(std::move(accepted))
{
    retry.setSingleShot(true);
    retry.setInterval(retryMilliseconds);
    QObject::connect(&retry, &QTimer::timeout, &retry, [this] { descriptorFreed(); });
}

Acceptor::~Acceptor()
{
    for (const int descriptor : waiting)
        ::close(descriptor);
    discardNotifier(notifier);
    if (server) {
        server->close();
        // Not inside one of its own signals, but it goes the safe way all the same.
        server.release()->deleteLater();
    }
}

void Acceptor::prepare()
{
    lastFailure = Failure::None;
    lastReason.clear();
    if (!server) {
        server = std::make_unique<QTcpServer>();
        server->setListenBacklogSize(listenBacklog);
        server->setProxy(QNetworkProxy::NoProxy);
    }
    discardNotifier(notifier);
    server->close();
    resting = false;
    retry.stop();
}

bool Acceptor::listen(const QHostAddress &address, int port)
{
    prepare();
    if (!isPortNumber(port)) {
        lastFailure = Failure::InvalidPort;
        return false;
    }
    // Any is the dual-stack address: IPv4 peers arrive on the same socket as IPv6 ones.
    if (!server->listen(address, quint16(port))) {
        switch (server->serverError()) {
        case QAbstractSocket::AddressInUseError:
            lastFailure = Failure::PortInUse;
            break;
        case QAbstractSocket::SocketAccessError:
            lastFailure = Failure::NoPermission;
            break;
        default:
            lastFailure = Failure::Other;
            break;
        }
        lastReason = server->errorString();
        return false;
    }
    acceptWaiting();
    return true;
}

Acceptor::Failure Acceptor::checkListening(qintptr descriptor)
{
    const int socket = int(descriptor);
    int value = 0;
    socklen_t length = sizeof value;
    if (descriptor < 0 || ::getsockopt(socket, SOL_SOCKET, SO_TYPE, &value, &length) != 0)
        return Failure::NotASocket;
    if (value != SOCK_STREAM)
        return Failure::NotTcp;
    length = sizeof value;
    if (::getsockopt(socket, SOL_SOCKET, SO_DOMAIN, &value, &length) != 0
        || (value != AF_INET && value != AF_INET6))
        return Failure::NotTcp;
    int protocol = 0;
    length = sizeof protocol;
    if (::getsockopt(socket, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) != 0
        || protocol != IPPROTO_TCP)
        return Failure::NotTcp;
    length = sizeof value;
    if (::getsockopt(socket, SOL_SOCKET, SO_ACCEPTCONN, &value, &length) != 0 || value != 1)
        return Failure::NotListening;
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    if (::getsockname(socket, reinterpret_cast<sockaddr *>(&bound), &boundLength) != 0
        || (bound.ss_family != AF_INET && bound.ss_family != AF_INET6))
        return Failure::NotListening;
    return Failure::None;
}

bool Acceptor::adopt(qintptr descriptor)
{
    prepare();
    lastFailure = checkListening(descriptor);
    if (lastFailure != Failure::None)
        return false;
    if (!server->setSocketDescriptor(descriptor) || !server->isListening()) {
        lastFailure = Failure::Other;
        lastReason = server->errorString();
        return false;
    }
    acceptWaiting();
    return true;
}

bool Acceptor::isListening() const
{
    return server && server->isListening();
}

int Acceptor::port() const
{
    return isListening() ? server->serverPort() : 0;
}

QHostAddress Acceptor::address() const
{
    return isListening() ? server->serverAddress() : QHostAddress();
}

void Acceptor::acceptWaiting()
{
    // Accepting happens here: QTcpServer neither reports nor rests when descriptors run out, and
    // would try again at once, for ever.
    server->pauseAccepting();
    const int listening = int(server->socketDescriptor());
    notifier = std::make_unique<QSocketNotifier>(listening, QSocketNotifier::Read);
    QObject::connect(
            notifier.get(), &QSocketNotifier::activated, notifier.get(), [this, listening] {
                for (int taken = 0; taken < acceptsPerTurn;) {
                    const int descriptor =
                            ::accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (descriptor >= 0) {
                        waiting.push_back(descriptor);
                        ++taken;
                        continue;
                    }
                    if (errno == EINTR || errno == ECONNABORTED)
                        continue;
                    // The kernel keeps the waiting clients queued while accepting rests.
                    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                        rest();
                    break;
                }
                // Handed over from the event loop: the owner's handlers may destroy this very notifier.
                if (!waiting.empty() && !announced) {
                    announced = true;
                    QTimer::singleShot(0, &retry, [this] {
                        announced = false;
                        accepted();
                    });
                }
            });
}

std::vector<int> Acceptor::takeAccepted()
{
    return std::exchange(waiting, {});
}

void Acceptor::rest()
{
    if (!notifier || resting)
        return;
    resting = true;
    notifier->setEnabled(false);
    retry.start();
}

void Acceptor::descriptorFreed()
{
    if (!notifier || !resting)
        return;
    resting = false;
    retry.stop();
    notifier->setEnabled(true);
}

} // namespace socks
