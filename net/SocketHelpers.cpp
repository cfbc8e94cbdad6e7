#include "net/SocketHelpers.h"

#include <QTcpSocket>
#include <QTimer>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace socks {

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
#ifdef Q_OS_LINUX
    const int descriptor = int(socket->socketDescriptor());
    if (descriptor < 0)
        return;
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPIDLE, &keepAliveIdleSeconds,
                 sizeof keepAliveIdleSeconds);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPINTVL, &keepAliveIntervalSeconds,
                 sizeof keepAliveIntervalSeconds);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPCNT, &keepAliveProbes, sizeof keepAliveProbes);
#endif
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

} // namespace socks
