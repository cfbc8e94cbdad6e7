#include "relay/web/WebRelay.h"

#include "net/CWS_TCP_S.h"
#include "net/LanAddress.h"
#include "net/ServerSession.h"
#include "net/SocketHelpers.h"
#include "relay/web/BrowserSession.h"
#include "relay/web/WebSocketEncoding.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QHostInfo>
#include <QLocale>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>

#include <utility>

namespace {

// A socket being answered may take the answer for this long; then it is cut.
constexpr int answerMilliseconds = 10000;

// A deadline that goes with its socket. QTimer::singleShot keeps its timer until it fires, also
// when the socket has gone long before: a stream of page requests held about 1 KiB for each of
// the last 10 s of them (30 MiB at 3,000 requests a second).
template <typename Functor>
void startDeadline(QTcpSocket *socket, int milliseconds, Functor functor)
{
    auto *timer = new QTimer(socket);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, socket, std::move(functor));
    timer->start(milliseconds);
}

// The kernel's part of a browser's backlog is a TCP client's: small, so that what a browser has
// not taken is counted by the room, where the bounds are kept.
constexpr int sendBufferBytes = socks::ServerSession::sendBufferBytes;
// Out of descriptors: accepting rests this long.
constexpr int acceptRetryMilliseconds = 500;

// The page may load its own files and open its own WebSocket, and nothing else: no inline
// script, no other origin, no framing by another site.
const QByteArray securityHeaders =
        "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; "
        "img-src 'self'; connect-src 'self'; base-uri 'none'; form-action 'none'; "
        "frame-ancestors 'none'\r\n"
        "X-Content-Type-Options: nosniff\r\n"
        "Referrer-Policy: no-referrer\r\n";

QByteArray response(int status, const QByteArray &reason, const QByteArray &type,
                    const QByteArray &body, const QByteArray &validators = {})
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\nContent-Type: " + type
            + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + validators
            + securityHeaders + "Cache-Control: no-cache\r\nConnection: close\r\n\r\n" + body;
}

// A reload asks whether its copy is still the page's: the files are the program's own, so their
// content names them, and the relay's start is when they last changed for a browser.
QByteArray etagOf(const QByteArray &body)
{
    return '"' + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex().left(32) + '"';
}

QByteArray httpDate(const QDateTime &time)
{
    return QLocale::c()
            .toString(time.toUTC(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
            .toLatin1();
}

QByteArray refusal(int status)
{
    QByteArray reason;
    switch (status) {
    case 403:
        reason = "Forbidden";
        break;
    case 404:
        reason = "Not Found";
        break;
    case 405:
        reason = "Method Not Allowed";
        break;
    case 408:
        reason = "Request Timeout";
        break;
    case 421:
        reason = "Misdirected Request";
        break;
    case 426:
        reason = "Upgrade Required";
        break;
    case 431:
        reason = "Request Header Fields Too Large";
        break;
    default:
        reason = "Bad Request";
        break;
    }
    // An upgrade in another version of the protocol is told the one spoken here.
    const QByteArray upgrade =
            status == 426 ? "Upgrade: websocket\r\nSec-WebSocket-Version: 13\r\n" : "";
    return response(status, reason, "text/plain; charset=utf-8",
                    QByteArray::number(status) + ' ' + reason + '\n', upgrade);
}

// The names this machine answers to on the LAN besides its addresses.
QStringList ownHostNames()
{
    QStringList names{QStringLiteral("localhost")};
    const QString host = QHostInfo::localHostName().toLower();
    if (!host.isEmpty()) {
        names << host << host + QStringLiteral(".local");
        const QString domain = QHostInfo::localDomainName().toLower();
        if (!domain.isEmpty())
            names << host + u'.' + domain;
    }
    return names;
}

struct PageFile
{
    const char *path;
    const char *resource;
    const char *type;
};

constexpr PageFile pageFiles[] = {
        {"/", ":/web/index.html", "text/html; charset=utf-8"},
        {"/chat.js", ":/web/chat.js", "text/javascript; charset=utf-8"},
        {"/chat.css", ":/web/chat.css", "text/css; charset=utf-8"},
        {"/icon.png", ":/web/icon.png", "image/png"},
};

QList<QByteArray> pagePaths()
{
    QList<QByteArray> paths;
    for (const PageFile &file : pageFiles)
        paths << QByteArray(file.path);
    return paths;
}

} // namespace

WebRelay::Limits WebRelay::defaultLimits()
{
    // 10 s: a browser sends its head at once; one that dribbles it is holding a socket open.
    return Limits{10000, KeepAlive::defaultLimits};
}

WebRelay::WebRelay(socks::CWS_TCP_S *room)
    : room(room)
    , turnEncoding(std::make_shared<WebSocketEncoding>())
    , rule(ownHostNames(), pagePaths(), QByteArray(chatPath))
    , relayId(QRandomGenerator::global()->generate())
    , lastModified(httpDate(QDateTime::currentDateTime()))
{
    for (const PageFile &file : pageFiles) {
        QFile resource(QString::fromLatin1(file.resource));
        const bool opened = resource.open(QIODevice::ReadOnly);
        Q_ASSERT(opened);
        const QByteArray body = resource.readAll();
        const QByteArray etag = etagOf(body);
        const QByteArray validators =
                "ETag: " + etag + "\r\nLast-Modified: " + lastModified + "\r\n";
        files.insert(file.path,
                     {response(200, "OK", file.type, body, validators), etag,
                      "HTTP/1.1 304 Not Modified\r\n" + validators + securityHeaders
                              + "Cache-Control: no-cache\r\nConnection: close\r\n\r\n"});
    }
}

WebRelay::~WebRelay()
{
    stop();
}

bool WebRelay::start(const QHostAddress &address, int port)
{
    listenAddress = address;
    server = new QTcpServer(this);
    connect(server, &QTcpServer::newConnection, this, &WebRelay::acceptConnections);
    // Out of descriptors Qt stops accepting; it may try again a little later.
    connect(server, &QTcpServer::acceptError, this, [this] {
        QTimer::singleShot(acceptRetryMilliseconds, server, &QTcpServer::resumeAccepting);
    });
    if (!socks::isPortNumber(port) || !server->listen(address, quint16(port))) {
        error = !socks::isPortNumber(port) ? QStringLiteral("not a port (0 to 65535)")
                                           : server->errorString();
        return false;
    }
    return true;
}

int WebRelay::port() const
{
    return server && server->isListening() ? server->serverPort() : 0;
}

QString WebRelay::pageUrl() const
{
    QString host;
    if (listenAddress == QHostAddress::Any || listenAddress == QHostAddress::AnyIPv4
        || listenAddress == QHostAddress::AnyIPv6)
        host = socks::lanAddress();
    else if (listenAddress.protocol() == QAbstractSocket::IPv6Protocol)
        host = u'[' + listenAddress.toString() + u']';
    else
        host = listenAddress.toString();
    return QStringLiteral("http://%1:%2/").arg(host).arg(port());
}

void WebRelay::setLimits(const Limits &newLimits)
{
    limits = newLimits;
}

void WebRelay::setAdmission(socks::CWS_TCP_S::AdmissionHook hook)
{
    admission = std::move(hook);
}

void WebRelay::acceptConnections()
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        if (admission) {
            std::shared_ptr<void> ticket = admission(socket->peerAddress());
            if (!ticket) {
                socket->abort();
                socket->deleteLater();
                continue;
            }
            // Kept by the connection, whichever part ends up owning the socket, until it goes.
            connect(socket, &QTcpSocket::disconnected, socket, [ticket] {});
        }
        socks::tuneSocket(socket);
        socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, sendBufferBytes);
        // Only the head is read before it is judged, and never more than its bound.
        socket->setReadBufferSize(RequestRule::maxHeadBytes);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readHead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        startDeadline(socket, limits.headMilliseconds, [this, socket] {
            if (socket->property("judged").toBool())
                return;
            socket->setProperty("judged", true);
            answer(socket, refusal(408));
        });
        if (socket->bytesAvailable() > 0)
            readHead(socket);
    }
}

void WebRelay::readHead(QTcpSocket *socket)
{
    if (socket->property("judged").toBool())
        return;
    // Peeked, not read: only a whole head is taken, and a WebSocket's ends where its frames begin.
    const QByteArray received = socket->peek(RequestRule::maxHeadBytes);
    const RequestRule::Verdict verdict = rule.judge(received);
    if (verdict.outcome == RequestRule::Outcome::NeedMore)
        return;
    socket->setProperty("judged", true);
    switch (verdict.outcome) {
    case RequestRule::Outcome::ServeFile: {
        const PageResponse &file = files[verdict.path];
        answer(socket,
               RequestRule::holdsCurrent(verdict, file.etag, lastModified) ? file.notModified
                                                                           : file.whole);
        break;
    }
    case RequestRule::Outcome::OpenChat:
        openChat(socket, verdict);
        break;
    default:
        answer(socket, refusal(verdict.status));
        break;
    }
}

void WebRelay::answer(QTcpSocket *socket, const QByteArray &bytes)
{
    socket->disconnect(this);
    socket->write(bytes);
    // Whatever else the peer sends is never read; the close waits only for the answer to leave.
    socket->disconnectFromHost();
    startDeadline(socket, answerMilliseconds, [socket] { socket->abort(); });
}

void WebRelay::openChat(QTcpSocket *socket, const RequestRule::Verdict &verdict)
{
    socket->disconnect(this);
    // The session lets it go, after its close, not the end of the connection.
    disconnect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->skip(verdict.headBytes);
    socket->setReadBufferSize(BrowserSession::readBytesPerTurn);
    socket->write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                  "Connection: Upgrade\r\nSec-WebSocket-Accept: "
                  + verdict.accept + "\r\n\r\n");
    // The history goes as the one binary message, which no peer's text can be, before any
    // turn of the room: the texts relayed so far are in it, and the room's next turn, which
    // this browser gets, holds only later ones (joining flushes the turn under way).
    socket->write(WebSocketEncoding::message(WebSocketEncoding::Opcode::Binary,
                                             history.message(relayId)));
    room->joinSession(std::make_unique<BrowserSession>(socket, turnEncoding, limits.keepAlive));
}

void WebRelay::stop()
{
    if (server)
        server->close();
}
