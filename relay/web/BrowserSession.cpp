#include "relay/web/BrowserSession.h"

#include "net/SocketHelpers.h"
#include "relay/web/WebSocketEncoding.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QWebSocket>

#include <algorithm>
#include <utility>

using socks::CloseReason;

namespace {

// A browser the room has let go: it takes what is still queued for it, a window at a time as
// before, then the closing message; cut when that takes longer than the room's flush time.
class ClosingBrowser : public QObject
{
public:
    ClosingBrowser(QWebSocket *socket, QTcpSocket *connection, BrowserOutbox &&rest)
        : socket(socket)
        , connection(connection)
        , outbox(std::move(rest))
    {
        connect(socket, &QWebSocket::disconnected, this, &ClosingBrowser::release);
        connect(socket, &QObject::destroyed, this, &ClosingBrowser::release);
        if (connection)
            connect(connection, &QTcpSocket::bytesWritten, this, &ClosingBrowser::pump);
        QTimer::singleShot(socks::RoomSession::flushMilliseconds, this, &ClosingBrowser::cut);
        pump();
    }

private:
    void pump()
    {
        if (!socket || !connection || closing)
            return;
        while (const BrowserOutbox::Chunk chunk = outbox.next(connection->bytesToWrite())) {
            if (connection->write(*chunk) != chunk->size()) {
                cut();
                return;
            }
        }
        if (outbox.isEmpty()) {
            closing = true;
            socket->close(QWebSocketProtocol::CloseCodeGoingAway);
        }
    }

    void cut()
    {
        if (socket)
            socket->abort();
        release();
    }

    void release()
    {
        if (released)
            return;
        released = true;
        outbox.clear();
        // The WebSocket goes first: Qt WebSockets uses the socket under it until then.
        if (socket)
            socket->deleteLater();
        if (connection)
            connection->deleteLater();
        deleteLater();
    }

    QPointer<QWebSocket> socket;
    QPointer<QTcpSocket> connection;
    BrowserOutbox outbox;
    bool closing = false;
    bool released = false;
};

} // namespace

BrowserSession::BrowserSession(QWebSocket *socket, QTcpSocket *connection,
                               std::shared_ptr<const WebSocketEncoding> encoding,
                               const KeepAlive::Limits &keepAlive)
    : socket(socket)
    , connection(connection)
    , webSocketEncoding(std::move(encoding))
    , keepAliveLimits(keepAlive)
{
    peer = socks::addressText(socket->peerAddress()) + u':' + QString::number(socket->peerPort());
}

BrowserSession::~BrowserSession()
{
    if (!closed)
        close(Closing::Abort);
}

const socks::TurnEncoding &BrowserSession::encoding() const
{
    return *webSocketEncoding;
}

qint64 BrowserSession::now() const
{
    return clock ? clock->elapsed() : 0;
}

void BrowserSession::attach(int index, socks::SessionEvents *events, const QElapsedTimer *clock)
{
    this->index = index;
    this->events = events;
    this->clock = clock;
    inputAt = progressAt = now();
    if (!socket || !connection) {
        // Gone before it joined: the room hears it at once.
        QTimer::singleShot(0, &keepAliveTimer, [this] { end(CloseReason::PeerReset); });
        return;
    }
    QObject::connect(socket, &QWebSocket::textMessageReceived, &keepAliveTimer,
                     [this](const QString &text) { textArrived(text); });
    // The chat is text; anything else is no page of ours talking.
    QObject::connect(socket, &QWebSocket::binaryMessageReceived, &keepAliveTimer,
                     [this] { socket->close(QWebSocketProtocol::CloseCodeDatatypeNotSupported); });
    QObject::connect(socket, &QWebSocket::pong, &keepAliveTimer, [this] { inputAt = now(); });
    // A message in several frames waits inside Qt WebSockets until its last frame: that memory
    // counts toward the room's bound on unfinished input, as a frame not yet whole does.
    QObject::connect(socket, &QWebSocket::textFrameReceived, &keepAliveTimer,
                     [this](const QString &frame, bool isLastFrame) {
                         fragmentBytes = isLastFrame
                                 ? 0
                                 : fragmentBytes + frame.size() * qint64(sizeof(QChar));
                     });
    QObject::connect(connection, &QTcpSocket::bytesWritten, &keepAliveTimer, [this] { wrote(); });
    QObject::connect(connection, &QTcpSocket::readyRead, &keepAliveTimer, [this] {
        inputAt = now();
        if (!reading && heldInput() > heldBytes)
            stopSocket(true);
        announce();
    });
    QObject::connect(socket, &QWebSocket::disconnected, &keepAliveTimer, [this] {
        // Qt WebSockets closes on its own for an oversized message and for broken frames.
        CloseReason why = CloseReason::SocketError;
        switch (socket->closeCode()) {
        case QWebSocketProtocol::CloseCodeNormal:
        case QWebSocketProtocol::CloseCodeGoingAway:
            why = CloseReason::PeerClosed;
            break;
        case QWebSocketProtocol::CloseCodeTooMuchData:
            why = CloseReason::OversizedFrame;
            break;
        case QWebSocketProtocol::CloseCodeAbnormalDisconnection:
            why = CloseReason::PeerReset;
            break;
        default:
            break;
        }
        peerGone(why);
    });
    keepAliveTimer.setInterval(int(std::max<qint64>(
            1,
            std::min(keepAliveLimits.silenceMilliseconds, keepAliveLimits.answerMilliseconds)
                    / 4)));
    QObject::connect(&keepAliveTimer, &QTimer::timeout, &keepAliveTimer, [this] { keepAlive(); });
    keepAliveTimer.start();
    stoppedTimer.setInterval(stoppedCheckMilliseconds);
    QObject::connect(&stoppedTimer, &QTimer::timeout, &keepAliveTimer, [this] { checkStopped(); });
}

void BrowserSession::peerGone(CloseReason why)
{
    outbox.clear();
    stoppedTimer.stop();
    // The texts that came before the close go first: a closing tab's logout line.
    if (texts.empty()) {
        end(why);
    } else {
        ending = why;
        keepAliveTimer.stop();
        announce();
    }
}

void BrowserSession::textArrived(const QString &text)
{
    if (!events || reason != CloseReason::Open || ending != CloseReason::Open)
        return;
    inputAt = now();
    fragmentBytes = 0;
    QByteArray payload = text.toUtf8();
    received += payload.size();
    textBytes += payload.size();
    texts.push_back(std::move(payload));
    if (!reading && heldInput() > heldBytes)
        stopSocket(true);
    announce();
}

void BrowserSession::announce()
{
    // From the event loop: the room may close this session while it reads, which must not happen
    // inside Qt WebSockets' own signal. By then Qt WebSockets has taken what it can of the
    // socket's bytes, and the room counts what is left of an unfinished message.
    if (announced || !reading)
        return;
    announced = true;
    QTimer::singleShot(0, &keepAliveTimer, [this] {
        announced = false;
        if (reason == CloseReason::Open
            && (!texts.empty() || ending != CloseReason::Open || unfinishedBytes() > 0))
            events->readable(index);
    });
}

void BrowserSession::take(const socks::SendQueue::Chunk &chunk)
{
    if (closed || reason != CloseReason::Open || ending != CloseReason::Open)
        return;
    if (bytesBehind() == 0)
        progressAt = now();
    outbox.append(chunk);
    pump();
}

void BrowserSession::pump()
{
    if (!connection)
        return;
    while (const BrowserOutbox::Chunk chunk = outbox.next(connection->bytesToWrite())) {
        if (connection->write(*chunk) != chunk->size()) {
            outbox.clear();
            end(CloseReason::PeerReset);
            return;
        }
    }
}

void BrowserSession::wrote()
{
    if (reason != CloseReason::Open)
        return;
    progressAt = now();
    pump();
    events->progressed(index);
}

qint64 BrowserSession::bytesBehind() const
{
    return outbox.queuedBytes() + (connection ? connection->bytesToWrite() : 0);
}

void BrowserSession::setReading(bool on)
{
    if (reading == on)
        return;
    reading = on;
    if (on) {
        if (socketStopped)
            stopSocket(false);
        announce();
    } else if (heldInput() > heldBytes) {
        stopSocket(true);
    }
}

void BrowserSession::stopSocket(bool stop)
{
    if (!connection || socketStopped == stop)
        return;
    socketStopped = stop;
    // Qt WebSockets reads whatever its socket announces, so the announcements stop: the socket
    // then fills its bounded buffer and leaves the rest in the kernel, and TCP slows the browser.
    connection->blockSignals(stop);
    if (stop) {
        lastUnsent = connection->bytesToWrite();
        stoppedTimer.start();
        return;
    }
    stoppedTimer.stop();
    const QPointer<QTcpSocket> resumed = connection;
    if (connection->bytesAvailable() > 0)
        QTimer::singleShot(0, connection, [resumed] { emit resumed->readyRead(); });
    if (connection->state() != QAbstractSocket::ConnectedState) {
        // It closed while nobody listened, and Qt WebSockets did not hear it either: the whole
        // texts its socket still holds are handed out first.
        QTimer::singleShot(stoppedCheckMilliseconds, &keepAliveTimer,
                           [this] { peerGone(CloseReason::PeerClosed); });
        return;
    }
    // What it took meanwhile, it took: the window fills again.
    wrote();
}

void BrowserSession::checkStopped()
{
    if (!connection || reason != CloseReason::Open)
        return;
    if (connection->state() != QAbstractSocket::ConnectedState) {
        // What it sent before it went is handed out when it is read again.
        outbox.clear();
        stoppedTimer.stop();
        return;
    }
    // It cannot be heard while its socket is not read; it is not silent by choice.
    inputAt = now();
    const bool tookBytes = connection->bytesToWrite() < lastUnsent;
    if (tookBytes)
        progressAt = now();
    pump();
    lastUnsent = connection->bytesToWrite();
    if (tookBytes)
        events->progressed(index);
}

socks::RoomSession::ReadOutcome BrowserSession::readTexts(const Deliver &deliver)
{
    while (!texts.empty()) {
        const QByteArray payload = std::move(texts.front());
        texts.pop_front();
        textBytes -= payload.size();
        switch (deliver(QByteArrayView(), payload)) {
        case Step::Next:
            break;
        case Step::Stop:
            return ReadOutcome::Stopped;
        case Step::Gone:
            return ReadOutcome::Gone;
        }
    }
    // The room ends the session on this outcome itself.
    if (ending != CloseReason::Open && reason == CloseReason::Open)
        reason = ending;
    return reason == CloseReason::Open ? ReadOutcome::Open : ReadOutcome::Ended;
}

qint64 BrowserSession::heldInput() const
{
    return textBytes + unfinishedBytes();
}

qint64 BrowserSession::unfinishedBytes() const
{
    // Qt WebSockets takes a frame only once the whole of it is in the socket's buffer.
    return (connection ? connection->bytesAvailable() : 0) + fragmentBytes;
}

void BrowserSession::end(CloseReason why)
{
    if (reason != CloseReason::Open)
        return;
    reason = why;
    keepAliveTimer.stop();
    stoppedTimer.stop();
    if (events)
        events->ended(index, why);
}

void BrowserSession::keepAlive()
{
    if (!socket)
        return;
    switch (KeepAlive::judge(inputAt, pingSent, now(), keepAliveLimits)) {
    case KeepAlive::Step::Ping:
        pingSent = now();
        socket->ping();
        break;
    case KeepAlive::Step::Drop:
        end(CloseReason::Unanswered);
        break;
    case KeepAlive::Step::Wait:
        break;
    }
}

void BrowserSession::close(Closing how)
{
    if (closed)
        return;
    closed = true;
    keepAliveTimer.stop();
    stoppedTimer.stop();
    texts.clear();
    textBytes = 0;
    if (connection) {
        connection->blockSignals(false);
        QObject::disconnect(connection, nullptr, &keepAliveTimer, nullptr);
    }
    if (!socket) {
        outbox.clear();
        return;
    }
    QObject::disconnect(socket, nullptr, &keepAliveTimer, nullptr);
    if (how == Closing::Abort || socket->state() != QAbstractSocket::ConnectedState
        || !connection) {
        outbox.clear();
        socket->abort();
        // The WebSocket goes first: Qt WebSockets uses the socket under it until then.
        socket->deleteLater();
        if (connection)
            connection->deleteLater();
        return;
    }
    new ClosingBrowser(socket, connection, std::move(outbox));
    outbox.clear();
}
