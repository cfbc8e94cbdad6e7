#include "relay/web/WebRelay.h"

#include "net/LanAddress.h"
#include "net/SocketHelpers.h"

#include <QFile>
#include <QHostInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>
#include <deque>
#include <numeric>
#include <vector>

namespace {

// A socket being answered may take the answer for this long; then it is cut.
constexpr int answerMilliseconds = 10000;
// What one browser's socket may hold unread: while reading is stopped this is all it takes
// before TCP slows the browser down. Qt WebSockets takes a frame only once all of it is in this
// buffer, so the largest frame and its header must fit.
constexpr qint64 readBufferBytes = WebRelay::maxMessageBytes + 64 * 1024;
// The kernel's part of a browser's backlog stays small, so that what it has not taken is counted
// here, where the bounds are kept (Linux doubles the number).
constexpr int sendBufferBytes = 128 * 1024;
// How often the time bounds are checked while browsers are connected.
constexpr int watchIntervalMilliseconds = 500;
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
                    const QByteArray &body)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\nContent-Type: " + type
            + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + securityHeaders
            + "Cache-Control: no-cache\r\nConnection: close\r\n\r\n" + body;
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
    return response(status, reason, "text/plain; charset=utf-8",
                    QByteArray::number(status) + ' ' + reason + '\n');
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

QString peerKey(const QHostAddress &address, quint16 port)
{
    return address.toString() + u' ' + QString::number(port);
}

} // namespace

struct WebRelay::Browser
{
    QWebSocket *socket = nullptr;
    QPointer<QTcpSocket> connection; // the socket under it, for stopping its reading
    qint64 lastHeard = 0;
    qint64 pingSent = -1;
    BrowserFlow::Reader reader;
    // Texts Qt WebSockets handed out after reading stopped: at most what the socket held.
    std::deque<QString> waiting;
    qint64 waitingBytes = 0;
    bool paused = false;
    bool dropped = false;
};

WebRelay::Limits WebRelay::defaultLimits()
{
    // 10 s: a browser sends its head at once; one that dribbles it is holding a socket open.
    return Limits{10000, KeepAlive::defaultLimits, BrowserFlow::defaultLimits};
}

WebRelay::WebRelay()
    : rule(ownHostNames(), pagePaths(), QByteArray(chatPath))
{
    clock.start();
    for (const PageFile &file : pageFiles) {
        QFile resource(QString::fromLatin1(file.resource));
        const bool opened = resource.open(QIODevice::ReadOnly);
        Q_ASSERT(opened);
        files.insert(file.path, response(200, "OK", file.type, resource.readAll()));
    }
    chatServer = new QWebSocketServer(QStringLiteral("PryneChat"), QWebSocketServer::NonSecureMode,
                                      this);
    chatServer->setHandshakeTimeout(limits.headMilliseconds);
    connect(chatServer, &QWebSocketServer::newConnection, this, &WebRelay::adoptBrowsers);
    watchTimer.setInterval(watchIntervalMilliseconds);
    connect(&watchTimer, &QTimer::timeout, this, &WebRelay::watchBrowsers);
}

WebRelay::~WebRelay()
{
    closeAll();
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
    if (port < 0 || port > 65535 || !server->listen(address, quint16(port))) {
        error = port < 0 || port > 65535 ? QStringLiteral("not a port (0 to 65535)")
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
    chatServer->setHandshakeTimeout(limits.headMilliseconds);
}

void WebRelay::acceptConnections()
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        socks::tuneSocket(socket);
        socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, sendBufferBytes);
        // Only the head is read before it is judged, and never more than its bound.
        socket->setReadBufferSize(RequestRule::maxHeadBytes);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readHead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(limits.headMilliseconds, socket, [this, socket] {
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
    // Peeked, not read: a WebSocket's head is read again by Qt WebSockets.
    const QByteArray received = socket->peek(RequestRule::maxHeadBytes);
    const RequestRule::Verdict verdict = rule.judge(received);
    if (verdict.outcome == RequestRule::Outcome::NeedMore)
        return;
    socket->setProperty("judged", true);
    switch (verdict.outcome) {
    case RequestRule::Outcome::ServeFile:
        answer(socket, files.value(verdict.path));
        break;
    case RequestRule::Outcome::OpenChat:
        openChat(socket);
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
    QTimer::singleShot(answerMilliseconds, socket, [socket] { socket->abort(); });
}

void WebRelay::openChat(QTcpSocket *socket)
{
    // A failed handshake ends with the socket closed, and it goes as any other.
    socket->disconnect(this);
    socket->setReadBufferSize(readBufferBytes);
    for (auto entry = upgrading.begin(); entry != upgrading.end();) {
        if (entry.value().isNull())
            entry = upgrading.erase(entry);
        else
            ++entry;
    }
    upgrading.insert(peerKey(socket->peerAddress(), socket->peerPort()), socket);
    // The server's own handshake timer starts now; the head is already in.
    chatServer->handleConnection(socket);
}

void WebRelay::adoptBrowsers()
{
    while (QWebSocket *socket = chatServer->nextPendingConnection()) {
        auto browser = std::make_unique<Browser>();
        browser->socket = socket;
        // The socket Qt WebSockets took over is the one this component accepted; it is the
        // WebSocket's parent's child only by Qt's own bookkeeping.
        // Qt WebSockets keeps using the socket this component accepted, and leaves it to its
        // owner: it goes after the WebSocket.
        browser->connection = upgrading.take(peerKey(socket->peerAddress(), socket->peerPort()));
        if (browser->connection)
            disconnect(browser->connection, &QTcpSocket::disconnected, browser->connection,
                       &QObject::deleteLater);
        browser->lastHeard = clock.elapsed();
        browser->reader.lastProgress = browser->lastHeard;
        socket->setMaxAllowedIncomingFrameSize(maxMessageBytes);
        socket->setMaxAllowedIncomingMessageSize(maxMessageBytes);
        connect(socket, &QWebSocket::textMessageReceived, this,
                [this, socket](const QString &text) {
                    const auto found = browsers.find(socket);
                    if (found == browsers.end() || found->second->dropped)
                        return;
                    Browser &browser = *found->second;
                    browser.lastHeard = clock.elapsed();
                    // Qt WebSockets may hand out what its socket held after reading stopped:
                    // that waits, in order, for reading to go on.
                    if (browser.paused || !browser.waiting.empty()) {
                        browser.waitingBytes += text.size() * 2;
                        browser.waiting.push_back(text);
                        return;
                    }
                    emit textArrived(text);
                });
        // The chat is text; anything else is no page of ours talking.
        connect(socket, &QWebSocket::binaryMessageReceived, this,
                [socket] { socket->close(QWebSocketProtocol::CloseCodeDatatypeNotSupported); });
        connect(socket, &QWebSocket::pong, this, [this, socket] {
            const auto found = browsers.find(socket);
            if (found != browsers.end())
                found->second->lastHeard = clock.elapsed();
        });
        connect(socket, &QWebSocket::bytesWritten, this, [this, socket] {
            const auto found = browsers.find(socket);
            if (found != browsers.end())
                found->second->reader.lastProgress = clock.elapsed();
        });
        connect(socket, &QWebSocket::disconnected, this, [this, socket] { forgetBrowser(socket); });
        Browser &added = *browser;
        browsers.emplace(socket, std::move(browser));
        applyPause(added);
        if (!watchTimer.isActive())
            watchTimer.start();
    }
}

void WebRelay::relay(const QString &text)
{
    qint64 mostBehind = 0;
    qint64 allBehind = 0;
    std::vector<QWebSocket *> overCap;
    for (auto &entry : browsers) {
        Browser &browser = *entry.second;
        if (browser.dropped)
            continue;
        const qint64 before = browser.socket->bytesToWrite();
        browser.socket->sendTextMessage(text);
        const qint64 behind = browser.socket->bytesToWrite();
        if (before == 0)
            browser.reader.lastProgress = clock.elapsed();
        if (behind > BrowserFlow::maxUnsentBytes)
            overCap.push_back(entry.first);
        mostBehind = std::max(mostBehind, behind);
        allBehind += behind;
    }
    for (QWebSocket *socket : overCap)
        dropBrowser(socket);
    if (!holding && BrowserFlow::holdsReading(false, mostBehind, allBehind))
        updateHold();
}

void WebRelay::setReadingPaused(bool paused)
{
    pausedByRoom = paused;
    for (auto &entry : browsers)
        applyPause(*entry.second);
}

void WebRelay::applyPause(Browser &browser)
{
    const bool pause = pausedByRoom || holding;
    if (browser.paused == pause || browser.dropped || !browser.connection)
        return;
    browser.paused = pause;
    QTcpSocket *connection = browser.connection;
    // Qt WebSockets reads whatever its socket announces, so the announcements stop: the socket
    // then fills its bounded buffer and leaves the rest in the kernel, and TCP slows the browser.
    connection->blockSignals(pause);
    if (pause)
        return;
    QWebSocket *socket = browser.socket;
    if (connection->state() != QAbstractSocket::ConnectedState) {
        // It closed while nobody listened.
        QTimer::singleShot(0, this, [this, socket] { dropBrowser(socket); });
        return;
    }
    if (connection->bytesAvailable() > 0)
        QTimer::singleShot(0, connection, [connection] { emit connection->readyRead(); });
    if (!browser.waiting.empty())
        QTimer::singleShot(0, socket, [this, socket] { handOnWaiting(socket); });
}

void WebRelay::handOnWaiting(QWebSocket *socket)
{
    // Each text may stop reading again; the rest then waits for the next time.
    for (;;) {
        const auto found = browsers.find(socket);
        if (found == browsers.end() || found->second->dropped || found->second->paused
            || found->second->waiting.empty())
            return;
        Browser &browser = *found->second;
        const QString text = browser.waiting.front();
        browser.waiting.pop_front();
        browser.waitingBytes -= text.size() * 2;
        emit textArrived(text);
    }
}

void WebRelay::dropBrowser(QWebSocket *socket)
{
    const auto found = browsers.find(socket);
    if (found == browsers.end() || found->second->dropped)
        return;
    found->second->dropped = true;
    if (found->second->connection)
        found->second->connection->blockSignals(false);
    // Cut, not closed: what it has not taken is not worth waiting for.
    socket->abort();
    forgetBrowser(socket);
}

void WebRelay::forgetBrowser(QWebSocket *socket)
{
    const auto found = browsers.find(socket);
    if (found == browsers.end())
        return;
    const QPointer<QTcpSocket> connection = found->second->connection;
    browsers.erase(found);
    socket->disconnect(this);
    socket->deleteLater();
    if (connection)
        connection->deleteLater();
    if (browsers.empty())
        watchTimer.stop();
    updateHold();
}

void WebRelay::updateHold()
{
    qint64 mostBehind = 0;
    qint64 allBehind = 0;
    for (const auto &entry : browsers) {
        const qint64 behind = entry.second->socket->bytesToWrite();
        mostBehind = std::max(mostBehind, behind);
        allBehind += behind;
    }
    const bool hold = BrowserFlow::holdsReading(holding, mostBehind, allBehind);
    if (hold == holding)
        return;
    holding = hold;
    for (auto &entry : browsers)
        applyPause(*entry.second);
    emit lagging(holding);
}

void WebRelay::watchBrowsers()
{
    const qint64 now = clock.elapsed();
    std::vector<QWebSocket *> gone;
    std::vector<QWebSocket *> sockets;
    std::vector<qint64> behinds;
    for (auto &entry : browsers) {
        Browser &browser = *entry.second;
        if (browser.dropped)
            continue;
        // Signals may be held back while reading is stopped, so progress is also read here.
        const qint64 behind = browser.socket->bytesToWrite();
        if (behind < browser.reader.behind)
            browser.reader.lastProgress = now;
        browser.reader.behind = behind;
        if (BrowserFlow::isHoldingBack(holding, behind)) {
            if (browser.reader.behindSince < 0)
                browser.reader.behindSince = now;
        } else {
            browser.reader.behindSince = -1;
        }
        if (BrowserFlow::judge(browser.reader, now, limits.flow) != BrowserFlow::Verdict::Keep) {
            gone.push_back(entry.first);
            continue;
        }
        // A browser whose reading is stopped cannot answer a ping; it is not silent by choice.
        if (browser.paused)
            browser.lastHeard = now;
        switch (KeepAlive::judge(browser.lastHeard, browser.pingSent, now, limits.keepAlive)) {
        case KeepAlive::Step::Ping:
            browser.pingSent = now;
            browser.socket->ping();
            break;
        case KeepAlive::Step::Drop:
            gone.push_back(entry.first);
            continue;
        case KeepAlive::Step::Wait:
            break;
        }
        sockets.push_back(entry.first);
        behinds.push_back(behind);
    }
    // Held above the lower mark for as long as a laggard may hold reading, the copies of the
    // furthest behind are what holds it: they go, down to that mark.
    const qint64 allBehind = std::accumulate(behinds.begin(), behinds.end(), qint64(0));
    if (holding && allBehind > BrowserFlow::copiesResumeBytes) {
        if (copiesHeldSince < 0)
            copiesHeldSince = now;
    } else {
        copiesHeldSince = -1;
    }
    const bool copiesLag =
            copiesHeldSince >= 0 && now - copiesHeldSince >= limits.flow.laggardMilliseconds;
    for (const int index : BrowserFlow::overBudget(
                 behinds, copiesLag ? BrowserFlow::copiesResumeBytes : BrowserFlow::budgetBytes))
        gone.push_back(sockets[std::size_t(index)]);
    for (QWebSocket *socket : gone)
        dropBrowser(socket);
    updateHold();
}

void WebRelay::closeAll()
{
    if (server)
        server->close();
    std::vector<QWebSocket *> sockets;
    for (const auto &entry : browsers)
        sockets.push_back(entry.first);
    for (QWebSocket *socket : sockets) {
        const auto found = browsers.find(socket);
        if (found->second->connection)
            found->second->connection->blockSignals(false);
        socket->disconnect(this);
        socket->close(QWebSocketProtocol::CloseCodeGoingAway);
        const QPointer<QTcpSocket> connection = found->second->connection;
        browsers.erase(found);
        socket->deleteLater();
        if (connection)
            connection->deleteLater();
    }
    watchTimer.stop();
}
