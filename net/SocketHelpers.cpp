#include "net/SocketHelpers.h"

#include <QTcpSocket>
#include <QTimer>

namespace socks {

namespace {

// A peer that stopped reading cannot hold a closed connection open for longer than this.
constexpr int flushLimitMilliseconds = 10000;

} // namespace

void tuneSocket(QTcpSocket *socket)
{
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
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
