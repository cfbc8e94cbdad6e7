#include "relay/web/BrowserSession.h"

#include "net/SocketHelpers.h"
#include "relay/web/WebSocketEncoding.h"

#include <QElapsedTimer>
#include <QTcpSocket>

#include <algorithm>
#include <utility>

using socks::CloseReason;

namespace {

// A browser on its way out: it takes what is still queued for it, a window at a time as before,
// then the close; once its own close answers (or the connection ends) the relay closes the
// connection, as the server does first. What the browser sent meanwhile is read to the end, so
// that the close is no reset that could overtake the closing message. Cut when all this takes
// longer than the room's flush time.
class ClosingBrowser : public QObject
{
public:
    // closing: the close still to send after the queue, empty when it went already;
    // answered: the browser's close came already; decoder: where its bytes were read up to.
    ClosingBrowser(QTcpSocket *socket, BrowserOutbox &&rest, QByteArray closing, bool answered,
                   WebSocketDecoder &&decoder)
        : socket(socket)
        , outbox(std::move(rest))
        , closing(std::move(closing))
        , answered(answered)
        , decoder(std::move(decoder))
    {
        connect(socket, &QTcpSocket::bytesWritten, this, &ClosingBrowser::pump);
        connect(socket, &QTcpSocket::readyRead, this, &ClosingBrowser::readAnswer);
        // The socket goes by itself once closed: also when that happens as its server goes.
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::disconnected, this, &ClosingBrowser::release);
        connect(socket, &QObject::destroyed, this, &ClosingBrowser::release);
        QTimer::singleShot(socks::RoomSession::flushMilliseconds, this, &ClosingBrowser::cut);
        pump();
        readAnswer();
    }

private:
    void pump()
    {
        if (!socket || finishing)
            return;
        while (const BrowserOutbox::Chunk chunk = outbox.next(socket->bytesToWrite())) {
            if (socket->write(*chunk) != chunk->size()) {
                cut();
                return;
            }
        }
        if (!outbox.isEmpty())
            return;
        if (!closing.isEmpty() && socket->write(std::exchange(closing, {})) < 0) {
            cut();
            return;
        }
        if (answered)
            finish();
    }

    void readAnswer()
    {
        while (socket && listening && !answered) {
            WebSocketDecoder::Event event;
            do {
                event = decoder.next();
            } while (event == WebSocketDecoder::Event::Text
                     || event == WebSocketDecoder::Event::Ping
                     || event == WebSocketDecoder::Event::Pong);
            answered = event == WebSocketDecoder::Event::Close;
            listening = event == WebSocketDecoder::Event::NeedMore;
            if (!listening || socket->bytesAvailable() == 0)
                break;
            decoder.append(socket->read(BrowserSession::readBytesPerTurn));
        }
        decoder.releaseSpare();
        // Past a broken frame nothing can be read: the rest runs out, or the time does.
        if (socket && !listening && !answered)
            socket->skip(socket->bytesAvailable());
        if (answered)
            pump();
    }

    void finish()
    {
        if (!socket || finishing)
            return;
        finishing = true;
        // What is written still leaves first; the close then comes with disconnected().
        socket->disconnectFromHost();
    }

    void cut()
    {
        if (socket) {
            socket->abort();
            socket->deleteLater();
        }
        release();
    }

    void release()
    {
        if (released)
            return;
        released = true;
        outbox.clear();
        deleteLater();
    }

    QPointer<QTcpSocket> socket;
    BrowserOutbox outbox;
    QByteArray closing;
    bool answered;
    WebSocketDecoder decoder;
    bool listening = true;
    bool finishing = false;
    bool released = false;
};

CloseReason reasonFor(quint16 closeCode)
{
    // The log tells an oversized text apart, as for a TCP client; any other broken rule is an
    // error of that connection.
    return closeCode == WebSocketDecoder::tooBig ? CloseReason::OversizedFrame
                                                 : CloseReason::SocketError;
}

} // namespace

BrowserSession::BrowserSession(QTcpSocket *socket,
                               std::shared_ptr<const WebSocketEncoding> encoding,
                               const KeepAlive::Limits &keepAlive)
    : socket(socket)
    , webSocketEncoding(std::move(encoding))
    , keepAliveLimits(keepAlive)
{
    // Asked now: a socket forgets its peer once the connection ends.
    peer = socks::addressText(socket->peerAddress()) + u':' + QString::number(socket->peerPort());
    readLater.setSingleShot(true);
    readLater.setInterval(0);
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
    if (!socket) {
        // Gone before it joined: the room hears it at once.
        QTimer::singleShot(0, &keepAliveTimer, [this] { end(CloseReason::PeerReset); });
        return;
    }
    QObject::connect(socket, &QTcpSocket::readyRead, &keepAliveTimer, [this] { arrived(); });
    QObject::connect(socket, &QTcpSocket::bytesWritten, &keepAliveTimer, [this] { wrote(); });
    QObject::connect(socket, &QTcpSocket::disconnected, &keepAliveTimer,
                     [this] { disconnected(); });
    QObject::connect(&readLater, &QTimer::timeout, &keepAliveTimer, [this] {
        if (reading && reason == CloseReason::Open)
            this->events->readable(this->index);
    });
    keepAliveTimer.setInterval(int(std::max<qint64>(
            1,
            std::min(keepAliveLimits.silenceMilliseconds, keepAliveLimits.answerMilliseconds)
                    / 4)));
    QObject::connect(&keepAliveTimer, &QTimer::timeout, &keepAliveTimer, [this] { keepAlive(); });
    keepAliveTimer.start();
    if (socket->state() != QAbstractSocket::ConnectedState)
        disconnected();
    else if (socket->bytesAvailable() > 0)
        askToRead();
}

void BrowserSession::arrived()
{
    inputAt = now();
    // A read further up the stack takes these bytes too once it is done.
    if (reading && !delivering && reason == CloseReason::Open)
        events->readable(index);
}

void BrowserSession::disconnected()
{
    peerGone = true;
    outbox.clear();
    // The texts that came before the end go first: a closing tab's logout line.
    askToRead();
}

void BrowserSession::askToRead()
{
    if (reading && !readLater.isActive())
        readLater.start();
}

void BrowserSession::take(const socks::SendQueue::Chunk &chunk)
{
    if (closed || reason != CloseReason::Open || peerGone || browserClosed)
        return;
    if (bytesBehind() == 0)
        progressAt = now();
    outbox.append(chunk);
    pump();
}

void BrowserSession::pump()
{
    if (!socket)
        return;
    while (const BrowserOutbox::Chunk chunk = outbox.next(socket->bytesToWrite())) {
        if (socket->write(*chunk) != chunk->size()) {
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
    return outbox.queuedBytes() + (socket ? socket->bytesToWrite() : 0);
}

void BrowserSession::setReading(bool on)
{
    reading = on;
    // Nothing more comes from a full socket or an ended connection to wake it.
    if (on && socket && (socket->bytesAvailable() > 0 || peerGone))
        askToRead();
}

socks::RoomSession::ReadOutcome BrowserSession::readTexts(const Deliver &deliver)
{
    if (delivering)
        return ReadOutcome::Busy;
    if (!socket || reason != CloseReason::Open)
        return ReadOutcome::Stopped;
    const qint64 wanted = std::min(socket->bytesAvailable(), readBytesPerTurn);
    if (wanted > 0) {
        const qint64 got = socket->read(decoder.prepareAppend(wanted), wanted);
        decoder.commitAppend(got);
        if (got > 0) {
            received += got;
            inputAt = now();
        }
    }
    delivering = true;
    for (;;) {
        switch (decoder.next()) {
        case WebSocketDecoder::Event::Text:
            switch (deliver(QByteArrayView(), decoder.payload())) {
            case Step::Next:
                continue;
            case Step::Stop:
                delivering = false;
                return ReadOutcome::Stopped;
            case Step::Gone:
                return ReadOutcome::Gone;
            }
            continue;
        case WebSocketDecoder::Event::Ping:
            socket->write(
                    WebSocketEncoding::message(WebSocketEncoding::Opcode::Pong, decoder.payload()));
            continue;
        case WebSocketDecoder::Event::Pong:
            continue;
        case WebSocketDecoder::Event::Close:
            delivering = false;
            browserClosed = true;
            outbox.clear();
            closeAnswer = decoder.closeCode() == WebSocketDecoder::noStatus
                    ? WebSocketEncoding::message(WebSocketEncoding::Opcode::Close, {})
                    : WebSocketEncoding::closeMessage(decoder.closeCode());
            reason = CloseReason::PeerClosed;
            return ReadOutcome::Ended;
        case WebSocketDecoder::Event::Failed:
            delivering = false;
            return refuse(decoder.closeCode());
        case WebSocketDecoder::Event::NeedMore:
            break;
        }
        break;
    }
    delivering = false;
    decoder.releaseSpare();
    if (socket->bytesAvailable() > 0) {
        askToRead();
    } else if (peerGone) {
        // It went without the closing handshake.
        reason = CloseReason::PeerReset;
        return ReadOutcome::Ended;
    }
    return ReadOutcome::Open;
}

socks::RoomSession::ReadOutcome BrowserSession::refuse(quint16 closeCode)
{
    reason = reasonFor(closeCode);
    closed = true;
    keepAliveTimer.stop();
    readLater.stop();
    outbox.clear();
    QObject::disconnect(socket, nullptr, &keepAliveTimer, nullptr);
    // Told why before it goes; the room's abort that follows finds nothing left to cut.
    socket->write(WebSocketEncoding::closeMessage(closeCode));
    // Its bytes after the broken frame are no frames: what answers is looked for from anew.
    new ClosingBrowser(std::exchange(socket, nullptr), BrowserOutbox(), QByteArray(), false,
                       WebSocketDecoder(maxMessageBytes));
    return ReadOutcome::Failed;
}

void BrowserSession::end(CloseReason why)
{
    if (reason != CloseReason::Open)
        return;
    reason = why;
    keepAliveTimer.stop();
    readLater.stop();
    if (events)
        events->ended(index, why);
}

void BrowserSession::keepAlive()
{
    if (!socket)
        return;
    // What waits unread in its socket is not silence: it cannot be heard while it is not read.
    if (!peerGone && socket->bytesAvailable() > 0)
        inputAt = now();
    switch (KeepAlive::judge(inputAt, pingSent, now(), keepAliveLimits)) {
    case KeepAlive::Step::Ping:
        pingSent = now();
        socket->write(WebSocketEncoding::message(WebSocketEncoding::Opcode::Ping, {}));
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
    readLater.stop();
    if (!socket) {
        outbox.clear();
        return;
    }
    QObject::disconnect(socket, nullptr, &keepAliveTimer, nullptr);
    if (how == Closing::Abort || socket->state() != QAbstractSocket::ConnectedState) {
        outbox.clear();
        socket->abort();
        socket->deleteLater();
        return;
    }
    QByteArray closing = browserClosed
            ? closeAnswer
            : WebSocketEncoding::closeMessage(WebSocketDecoder::goingAway);
    new ClosingBrowser(std::exchange(socket, nullptr), std::move(outbox), std::move(closing),
                       browserClosed, std::move(decoder));
    outbox.clear();
}
