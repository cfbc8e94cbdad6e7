#include "relay/web/WebSocketEncoding.h"

#include "net/FrameDecoder.h"

#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The request that opens the encoder's WebSocket: the same as a browser's, on a pair no one else
// can reach.
const QByteArray openingHead = "GET /chat HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\n"
                               "Connection: Upgrade\r\n"
                               "Sec-WebSocket-Key: cHJ5bmVjaGF0LWVuY29kZXI=\r\n"
                               "Sec-WebSocket-Version: 13\r\n\r\n";
// A server's message head is at most 10 bytes, the wire's 4: room for a turn's messages at once.
constexpr qsizetype headGrowth = 6;

} // namespace

WebSocketEncoding::WebSocketEncoding()
{
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return;
    ::fcntl(pair[1], F_SETFL, ::fcntl(pair[1], F_GETFL) | O_NONBLOCK);
    socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(pair[0])
        || ::write(pair[1], openingHead.constData(), size_t(openingHead.size()))
                != openingHead.size()) {
        ::close(pair[0]);
        ::close(pair[1]);
        return;
    }
    peer = pair[1];
    server = new QWebSocketServer(QStringLiteral("PryneChat"), QWebSocketServer::NonSecureMode,
                                  this);
    connect(server, &QWebSocketServer::newConnection, this, &WebSocketEncoding::adoptEncoder);
    server->handleConnection(socket);
}

WebSocketEncoding::~WebSocketEncoding()
{
    if (peer >= 0)
        ::close(peer);
}

bool WebSocketEncoding::isReady() const
{
    return encoder != nullptr;
}

void WebSocketEncoding::adoptEncoder()
{
    // Qt WebSockets hands its sockets over without a parent: this one goes with the encoding.
    QWebSocket *opened = server->nextPendingConnection();
    if (!opened)
        return;
    opened->setParent(this);
    if (encoder) {
        opened->deleteLater();
        return;
    }
    // The handshake's answer is no turn's: it goes.
    if (!drain(nullptr))
        return;
    encoder = opened;
    emit ready();
}

socks::SendQueue::Chunk WebSocketEncoding::encodeTurn(const socks::SendQueue::Chunk &frames) const
{
    if (!encoder)
        return nullptr;
    const QByteArray &bytes = *frames;
    constexpr qsizetype headerBytes = socks::FrameDecoder::headerBytes;
    qsizetype at = 0;
    qsizetype texts = 0;
    // The room builds these frames itself: whole, valid UTF-8, none above 1 MiB.
    while (bytes.size() - at >= headerBytes) {
        const auto length = qsizetype(qFromBigEndian<quint32>(bytes.constData() + at));
        at += headerBytes;
        const qsizetype taken = std::min(length, bytes.size() - at);
        encoder->sendTextMessage(QString::fromUtf8(bytes.constData() + at, taken));
        at += taken;
        ++texts;
    }
    auto messages = std::make_shared<QByteArray>();
    messages->reserve(bytes.size() + texts * headGrowth);
    if (!drain(messages.get()) || messages->isEmpty())
        return nullptr;
    // Held as long as the slowest browser needs it: no spare room with it.
    if (messages->capacity() > messages->size())
        messages->squeeze();
    return messages;
}

// Moves everything Qt's end holds through the pair; into may be null to discard it.
bool WebSocketEncoding::drain(QByteArray *into) const
{
    while (socket->bytesToWrite() > 0) {
        const qint64 before = socket->bytesToWrite();
        socket->flush();
        const qint64 read = readPeer(into);
        if (read < 0 || (read == 0 && socket->bytesToWrite() == before))
            return false;
    }
    return readPeer(into) >= 0;
}

// Reads what the pair holds, without waiting, exactly as much as it holds; -1 when it broke.
qint64 WebSocketEncoding::readPeer(QByteArray *into) const
{
    qint64 total = 0;
    char discard[4096];
    for (;;) {
        int waiting = 0;
        if (::ioctl(peer, FIONREAD, &waiting) != 0)
            return -1;
        if (waiting <= 0)
            return total;
        char *at = discard;
        qsizetype room = std::min<qsizetype>(waiting, qsizetype(sizeof discard));
        const qsizetype size = into ? into->size() : 0;
        if (into) {
            into->resize(size + waiting);
            at = into->data() + size;
            room = waiting;
        }
        const ssize_t got = ::read(peer, at, size_t(room));
        if (into)
            into->resize(size + std::max<qsizetype>(got, 0));
        if (got > 0)
            total += got;
        else if (got == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK))
            return -1;
    }
}
