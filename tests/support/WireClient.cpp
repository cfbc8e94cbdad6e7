#include "tests/support/WireClient.h"

#include <QtEndian>

#include <arpa/inet.h>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport {

int stalledPeer(int port)
{
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0)
        return -1;
    const int small = 4096;
    ::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(descriptor);
        return -1;
    }
    return descriptor;
}

namespace {

constexpr qsizetype headerBytes = 4;

// 127.0.0.1 or ::1 on a free port; -1 when binding failed.
int boundTcp(int family)
{
    const int descriptor = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address4{};
    address4.sin_family = AF_INET;
    address4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in6 address6{};
    address6.sin6_family = AF_INET6;
    address6.sin6_addr = in6addr_loopback;
    const bool bound = family == AF_INET
            ? ::bind(descriptor, reinterpret_cast<sockaddr *>(&address4), sizeof address4) == 0
            : ::bind(descriptor, reinterpret_cast<sockaddr *>(&address6), sizeof address6) == 0;
    if (descriptor >= 0 && !bound) {
        ::close(descriptor);
        return -1;
    }
    return descriptor;
}

} // namespace

RefusedPort::RefusedPort()
    : descriptor(boundTcp(AF_INET))
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (descriptor >= 0
        && ::getsockname(descriptor, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        boundPort = ntohs(address.sin_port);
}

RefusedPort::~RefusedPort()
{
    if (descriptor >= 0)
        ::close(descriptor);
}

int descriptorOfKind(const QString &kind)
{
    if (kind == QLatin1String("tcp4 listening") || kind == QLatin1String("tcp6 listening")) {
        const bool six = kind.startsWith(QLatin1String("tcp6"));
        const int descriptor = boundTcp(six ? AF_INET6 : AF_INET);
        if (descriptor < 0)
            return six ? -2 : -1;
        ::listen(descriptor, 16);
        return descriptor;
    }
    if (kind == QLatin1String("tcp4 unbound"))
        return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (kind == QLatin1String("tcp4 bound"))
        return boundTcp(AF_INET);
    if (kind == QLatin1String("tcp4 connected")) {
        const int listener = descriptorOfKind(QStringLiteral("tcp4 listening"));
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
        const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool connected =
                ::connect(descriptor, reinterpret_cast<sockaddr *>(&address), length) == 0;
        ::close(listener);
        if (!connected)
            ::close(descriptor);
        return connected ? descriptor : -1;
    }
    if (kind == QLatin1String("udp")) {
        const int descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address);
        return descriptor;
    }
    if (kind == QLatin1String("unix listening")) {
        const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // Only the family: the kernel picks a free abstract name.
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        ::bind(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof(sa_family_t));
        ::listen(descriptor, 16);
        return descriptor;
    }
    if (kind == QLatin1String("file")) {
        char name[] = "/tmp/prynechat-descriptor-XXXXXX";
        const int descriptor = ::mkstemp(name);
        ::unlink(name);
        return descriptor;
    }
    if (kind == QLatin1String("pipe")) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return -1;
        ::close(ends[1]);
        return ends[0];
    }
    if (kind == QLatin1String("closed"))
        return 1 << 20;
    return -1;
}

QByteArray frameOf(const QByteArray &payload)
{
    QByteArray frame(headerBytes, '\0');
    qToBigEndian<quint32>(quint32(payload.size()), frame.data());
    return frame + payload;
}

QByteArray frameOfText(const QString &text)
{
    return frameOf(text.toUtf8());
}

QList<QByteArray> takeFrames(QByteArray &buffer)
{
    QList<QByteArray> frames;
    while (buffer.size() >= headerBytes) {
        const quint32 length = qFromBigEndian<quint32>(buffer.constData());
        if (buffer.size() - headerBytes < qsizetype(length))
            break;
        frames.append(buffer.mid(headerBytes, length));
        buffer.remove(0, headerBytes + length);
    }
    return frames;
}

WireClient::WireClient(int port)
{
    QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] {
        const QByteArray bytes = socket.readAll();
        wire += bytes;
        pending += bytes;
        for (const QByteArray &frame : takeFrames(pending))
            received.append(QString::fromUtf8(frame));
    });
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
}

bool WireClient::waitConnected(int timeout)
{
    return waitUntil([this] { return socket.state() == QAbstractSocket::ConnectedState; }, timeout);
}

bool WireClient::waitForTexts(int count, int timeout)
{
    return waitUntil([this, count] { return received.size() >= count; }, timeout);
}

void WireClient::send(const QString &text)
{
    sendRaw(frameOfText(text));
}

void WireClient::sendRaw(const QByteArray &bytes)
{
    socket.write(bytes);
    socket.flush();
}

bool WireServer::listen(const QHostAddress &address)
{
    QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            peer = socket;
            pending.clear();
            if (neverReads) {
                // Qt stops taking bytes from the kernel once its own buffer is full.
                socket->setReadBufferSize(1);
                continue;
            }
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                if (socket != peer)
                    return;
                const QByteArray bytes = socket->readAll();
                wire += bytes;
                pending += bytes;
                received += takeFrames(pending);
            });
        }
    });
    return server.listen(address, 0);
}

bool WireServer::waitForPeer(int timeout)
{
    return waitUntil([this] { return !peer.isNull(); }, timeout);
}

bool WireServer::waitForPeerGone(int timeout)
{
    return waitUntil([this] { return peer && peer->state() == QAbstractSocket::UnconnectedState; },
                     timeout);
}

void WireServer::send(const QByteArray &payload)
{
    if (peer)
        peer->write(frameOf(payload));
}

} // namespace testsupport
