#include "net/SocketHelpers.h"

#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

namespace socks {

std::optional<int> readPortNumber(const QString &text)
{
    bool ok = false;
    const int port = text.toInt(&ok, 10);
    // toInt takes a sign and blanks; a port is digits only.
    if (!ok || !isPortNumber(port) || text.isEmpty() || !text.front().isDigit())
        return std::nullopt;
    return port;
}

namespace {

// A peer that stopped reading cannot hold a closed connection open for longer than this.
constexpr int flushLimitMilliseconds = 10000;

// The system's keep-alive starts probing after two hours; on a LAN a peer that has been silent
// for a minute and misses three probes ten seconds apart is gone.
constexpr int keepAliveIdleSeconds = 60;
constexpr int keepAliveIntervalSeconds = 10;
constexpr int keepAliveProbes = 3;

} // namespace

void tuneSocket(QTcpSocket *socket)
{
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    const int descriptor = int(socket->socketDescriptor());
    if (descriptor >= 0)
        tuneDescriptor(descriptor);
}

void tuneDescriptor(int descriptor)
{
    const int on = 1;
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(descriptor, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
#ifdef Q_OS_LINUX
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPIDLE, &keepAliveIdleSeconds,
                 sizeof keepAliveIdleSeconds);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPINTVL, &keepAliveIntervalSeconds,
                 sizeof keepAliveIntervalSeconds);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPCNT, &keepAliveProbes, sizeof keepAliveProbes);
#endif
}

long long raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long long>(limit.rlim_cur);
}

void retireSocket(QTcpSocket *socket, Retirement retirement)
{
    if (!socket)
        return;
    // The component may be destroyed right after this (even inside one of this socket's signals),
    // so the socket must not stay its child.
    socket->disconnect();
    socket->setParent(nullptr);
    if (retirement == Retirement::Flush && socket->state() == QAbstractSocket::ConnectedState
        && socket->bytesToWrite() > 0) {
        QObject::connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QAbstractSocket::errorOccurred, socket, &QObject::deleteLater);
        QTimer::singleShot(flushLimitMilliseconds, socket, &QObject::deleteLater);
        socket->disconnectFromHost();
        return;
    }
    if (retirement == Retirement::Flush)
        socket->disconnectFromHost();
    socket->abort();
    socket->deleteLater();
}

QString addressText(const QHostAddress &address)
{
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(ipv4).toString() : address.toString();
}

void discardNotifier(std::unique_ptr<QSocketNotifier> &notifier)
{
    if (!notifier)
        return;
    notifier->setEnabled(false);
    notifier->disconnect();
    notifier.release()->deleteLater();
}

} // namespace socks
