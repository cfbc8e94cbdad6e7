#include "net/ServerSession.h"

#include "net/SocketHelpers.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace socks {

namespace {

// What one connection may hand in per read, so that one busy sender cannot starve the others
// and the input of a turn stays small.
constexpr qint64 readBytesPerTurn = 64 * 1024;
constexpr int maxVectorsPerWrite = 64;

// Returns whether the kernel took everything; peerGone when the connection broke.
bool sendQueued(int descriptor, SendQueue &queue, bool &peerGone)
{
    while (!queue.isEmpty()) {
        iovec vectors[maxVectorsPerWrite];
        const int count = queue.takeIovecs(vectors, maxVectorsPerWrite);
        qint64 offered = 0;
        for (int each = 0; each < count; ++each)
            offered += qint64(vectors[each].iov_len);
        msghdr message{};
        message.msg_iov = vectors;
        message.msg_iovlen = size_t(count);
        // No SIGPIPE: the window process does not ignore it, and a vanished reader is no reason
        // to end the program.
        const ssize_t written = ::sendmsg(descriptor, &message, MSG_NOSIGNAL);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                peerGone = true;
            return false;
        }
        queue.consume(written);
        if (written < offered)
            return false;
    }
    return true;
}

// A reset instead of a close: the kernel drops what is still queued at once, and the peer learns
// at once that it was dropped.
void abortDescriptor(int descriptor)
{
    const linger abortive{1, 0};
    ::setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(descriptor);
}

// A connection closed by the server: it takes what is still queued for it, straight from the
// shared chunks, until the room's flush time has passed; then it is cut. It outlives its
// session and the server, but not the program: the application owns it, so one still writing
// when the program ends is cut and freed with the rest.
class ClosingDescriptor : public QObject
{
public:
    ClosingDescriptor(int descriptor, SendQueue &&queue)
        : QObject(QCoreApplication::instance())
        , descriptor(descriptor)
        , queue(std::move(queue))
        , notifier(descriptor, QSocketNotifier::Write)
    {
        connect(&notifier, &QSocketNotifier::activated, this, &ClosingDescriptor::write);
        QTimer::singleShot(RoomSession::flushMilliseconds, this, &ClosingDescriptor::cut);
    }
    ~ClosingDescriptor() override
    {
        if (descriptor >= 0)
            abortDescriptor(descriptor);
    }

    void write()
    {
        bool peerGone = false;
        if (sendQueued(descriptor, queue, peerGone) || peerGone)
            finish();
    }

    void finish()
    {
        if (descriptor < 0)
            return;
        notifier.setEnabled(false);
        ::shutdown(descriptor, SHUT_WR);
        ::close(descriptor);
        descriptor = -1;
        queue.clear();
        deleteLater();
    }

    // Out of time with bytes still queued: nothing is left behind in the kernel either.
    void cut()
    {
        if (descriptor < 0)
            return;
        notifier.setEnabled(false);
        abortDescriptor(descriptor);
        descriptor = -1;
        queue.clear();
        deleteLater();
    }

private:
    int descriptor;
    SendQueue queue;
    QSocketNotifier notifier;
};

QString peerOf(int descriptor)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(descriptor, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return QString();
    const QHostAddress host(reinterpret_cast<const sockaddr *>(&address));
    quint16 port = 0;
    if (address.ss_family == AF_INET)
        port = ntohs(reinterpret_cast<const sockaddr_in *>(&address)->sin_port);
    else if (address.ss_family == AF_INET6)
        port = ntohs(reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port);
    return addressText(host) + QLatin1Char(':') + QString::number(port);
}

// Every connection reads into this one buffer and keeps only what it received.
QByteArray &readBuffer()
{
    thread_local QByteArray buffer(readBytesPerTurn, Qt::Uninitialized);
    return buffer;
}

} // namespace

const WireEncoding &WireEncoding::instance()
{
    static const WireEncoding kind;
    return kind;
}

ServerSession::ServerSession(int descriptor)
    : descriptor(descriptor)
{
    tuneDescriptor(descriptor);
    // Fixed, so the kernel does not grow it to megabytes for a peer that does not read.
    const int sendBuffer = sendBufferBytes;
    ::setsockopt(descriptor, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    peer = peerOf(descriptor);
}

ServerSession::~ServerSession()
{
    if (descriptor >= 0)
        close(Closing::Abort);
}

void ServerSession::attach(int index, SessionEvents *events, const QElapsedTimer *clock)
{
    this->index = index;
    this->events = events;
    this->clock = clock;
    inputAt = progressAt = now();
    readNotifier = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Read);
    QObject::connect(readNotifier.get(), &QSocketNotifier::activated, readNotifier.get(),
                     [this] { this->events->readable(this->index); });
    writeNotifier = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Write);
    writeNotifier->setEnabled(false);
    QObject::connect(writeNotifier.get(), &QSocketNotifier::activated, writeNotifier.get(),
                     [this] { write(true); });
}

qint64 ServerSession::now() const
{
    return clock ? clock->elapsed() : 0;
}

void ServerSession::take(const SendQueue::Chunk &chunk)
{
    if (descriptor < 0 || peerGone)
        return;
    const bool wasEmpty = queue.isEmpty();
    queue.append(chunk);
    // Otherwise the write notifier is armed already.
    if (wasEmpty) {
        progressAt = now();
        // The room looks at the queue itself once take() returns.
        write(false);
    }
}

void ServerSession::write(bool tellRoom)
{
    if (descriptor < 0 || peerGone)
        return;
    const qint64 before = queue.bytesBehind();
    bool broken = false;
    const bool drained = sendQueued(descriptor, queue, broken);
    if (broken) {
        breakOff(CloseReason::PeerReset);
        return;
    }
    if (queue.bytesBehind() < before)
        progressAt = now();
    if (writeNotifier)
        writeNotifier->setEnabled(!drained);
    if (tellRoom && queue.bytesBehind() < before && events)
        events->progressed(index);
}

void ServerSession::breakOff(CloseReason why)
{
    peerGone = true;
    reason = why;
    queue.clear();
    discardNotifier(writeNotifier);
    discardNotifier(readNotifier);
    if (events)
        events->ended(index, why);
}

void ServerSession::setReading(bool reading)
{
    if (readNotifier)
        readNotifier->setEnabled(reading);
}

RoomSession::ReadOutcome ServerSession::readTexts(const Deliver &deliver)
{
    if (descriptor < 0 || peerGone)
        return ReadOutcome::Stopped;
    QByteArray &buffer = readBuffer();
    const ssize_t got = ::recv(descriptor, buffer.data(), size_t(readBytesPerTurn), 0);
    if (got > 0) {
        reader.decoder.append(QByteArrayView(buffer.constData(), got));
        received += got;
        inputAt = now();
    } else if (got == 0 || errno == ECONNRESET) {
        // A reset ends the connection like an orderly close: both after the whole frames that
        // came before.
        peerGone = true;
        reason = got == 0 ? CloseReason::PeerClosed : CloseReason::PeerReset;
        discardNotifier(readNotifier);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        reason = CloseReason::SocketError;
        return ReadOutcome::Failed;
    }
    // More bytes come with the next turn: the read per turn is bounded.
    switch (reader.read([] { return false; }, deliver)) {
    case FrameReader::Outcome::Gone:
        return ReadOutcome::Gone;
    case FrameReader::Outcome::Busy:
        return ReadOutcome::Busy;
    case FrameReader::Outcome::Stopped:
        return ReadOutcome::Stopped;
    case FrameReader::Outcome::Oversized:
        reason = CloseReason::OversizedFrame;
        return ReadOutcome::Failed;
    case FrameReader::Outcome::Drained:
        break;
    }
    reader.decoder.releaseSpare();
    return peerGone ? ReadOutcome::Ended : ReadOutcome::Open;
}

qint64 ServerSession::unfinishedBytes() const
{
    // What the buffer holds, not what it is filled with: that is what the budget is for.
    return reader.decoder.bufferedBytes() > 0 ? reader.decoder.heldBytes() : 0;
}

void ServerSession::close(Closing how)
{
    discardNotifier(readNotifier);
    discardNotifier(writeNotifier);
    reader.decoder.clear();
    if (descriptor < 0)
        return;
    if (how == Closing::Abort) {
        abortDescriptor(descriptor);
    } else if (!queue.isEmpty() && !peerGone) {
        // The queue moves, chunks and all: nothing is copied.
        new ClosingDescriptor(descriptor, std::move(queue));
    } else {
        ::shutdown(descriptor, SHUT_WR);
        ::close(descriptor);
    }
    descriptor = -1;
    queue.clear();
}

} // namespace socks
