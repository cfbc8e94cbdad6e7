#include "net/CWS_TCP_S.h"

#include "net/FrameDecoder.h"
#include "net/FrameReader.h"
#include "net/LanAddress.h"
#include "net/SendQueue.h"
#include "net/SocketHelpers.h"

#include <QDateTime>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace socks {

namespace {

// Relayed input stops while the slowest reader has more than this unsent, and starts again once it
// is down to the lower number: the senders' TCP windows fill and they slow down instead.
constexpr qint64 backlogPauseBytes = 4 * 1024 * 1024;
constexpr qint64 backlogResumeBytes = 2 * 1024 * 1024;
// Relayed input never gets a connection beyond backlogPauseBytes plus one read and one frame, so
// only the owner's own sends can reach this: a hard bound on what one reader may cost.
constexpr qint64 maxUnsentBytes = 8 * 1024 * 1024;
// What one connection may hand in per turn of the event loop, so that one busy sender cannot
// starve the others and the input of a turn stays small.
constexpr qint64 readBytesPerTurn = 64 * 1024;
// Texts relayed in one turn go out as one chunk; a turn that relays more starts a new chunk.
constexpr qsizetype broadcastChunkBytes = 256 * 1024;
// How often the time bounds are checked, while any connection has bytes waiting either way.
constexpr int watchIntervalMilliseconds = 500;
// A connection being closed may still take what it was sent, for this long, then it is cut.
constexpr int closeFlushMilliseconds = 2000;
// Out of descriptors: accepting rests this long unless a connection closes first.
constexpr int acceptRetryMilliseconds = 500;
// Connections taken per turn, so that a crowd arriving at once does not stall the relaying.
constexpr int acceptsPerTurn = 64;
constexpr int maxVectorsPerWrite = 64;
// 200 clients arriving at once must not overflow the kernel's queue of unaccepted connections.
constexpr int listenBacklog = 1024;

bool sendQueued(int descriptor, SendQueue &queue, bool &peerGone)
{
    // Returns whether the kernel took everything; peerGone when the connection broke.
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

// A connection closed by the server: it takes what is still queued for it, straight from the
// shared chunks, until closeFlushMilliseconds have passed; then the descriptor is closed.
class Farewell : public QObject
{
public:
    Farewell(int descriptor, SendQueue &&queue)
        : descriptor(descriptor)
        , queue(std::move(queue))
        , notifier(descriptor, QSocketNotifier::Write)
    {
        connect(&notifier, &QSocketNotifier::activated, this, &Farewell::write);
        QTimer::singleShot(closeFlushMilliseconds, this, &Farewell::finish);
    }
    ~Farewell() override
    {
        if (descriptor >= 0)
            ::close(descriptor);
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

private:
    int descriptor;
    SendQueue queue;
    QSocketNotifier notifier;
};

// A notifier may be the one whose signal is running, so it goes at the next turn.
void discardNotifier(std::unique_ptr<QSocketNotifier> &notifier)
{
    if (!notifier)
        return;
    notifier->setEnabled(false);
    notifier->disconnect();
    notifier.release()->deleteLater();
}

} // namespace

struct CWS_TCP_S::Connection
{
    int index = 0;
    int descriptor = -1;
    std::unique_ptr<QSocketNotifier> readNotifier;
    std::unique_ptr<QSocketNotifier> writeNotifier;
    FrameReader reader;
    SendQueue queue;
    QString peer;
    QDateTime since;
    qint64 textsIn = 0;
    qint64 bytesIn = 0;
    qint64 textsOut = 0;
    qint64 bytesOut = 0;
    qint64 lastInput = 0; // clock time of the last byte received
    qint64 lastProgress = 0; // clock time the socket last took bytes, or bytes began to wait
    qint64 behindSince = -1; // since when it has been more than backlogPauseBytes behind
    qint64 unfinished = 0; // its part of unfinishedBytes
    bool open = true; // still in the component's table
    bool failed = false; // ServiceError is on its way; nothing more is read or sent
    bool peerGone = false; // the peer closed or broke the connection
};

CWS_TCP_S::Limits CWS_TCP_S::defaultLimits()
{
    // 64 MiB: 64 clients in the middle of the largest frame, or thousands of chat lines.
    // 30 s: a frame of 1 MiB takes well under a second on any LAN; a peer that stops in the
    // middle of one for half a minute has gone. 5 s: a reader may hold everyone's input back at
    // most this long. 30 s: a reader that takes nothing while bytes wait is gone or stuck.
    return Limits{64 * 1024 * 1024, 30000, 5000, 30000};
}

CWS_TCP_S::CWS_TCP_S()
{
    clock.start();
    watchTimer.setInterval(watchIntervalMilliseconds);
    connect(&watchTimer, &QTimer::timeout, this, &CWS_TCP_S::watchConnections);
    broadcastTimer.setSingleShot(true);
    broadcastTimer.setInterval(0);
    connect(&broadcastTimer, &QTimer::timeout, this, &CWS_TCP_S::flushBroadcast);
    acceptRetry.setSingleShot(true);
    acceptRetry.setInterval(acceptRetryMilliseconds);
    connect(&acceptRetry, &QTimer::timeout, this, &CWS_TCP_S::resumeAccepting);
}

CWS_TCP_S::~CWS_TCP_S()
{
    flushBroadcast();
    for (auto &entry : connections) {
        entry.second->open = false;
        closeDescriptor(*entry.second, !entry.second->failed);
    }
    connections.clear();
    for (const qintptr descriptor : acceptedDescriptors)
        ::close(int(descriptor));
    discardNotifier(acceptNotifier);
    if (server) {
        server->disconnect(this);
        server->close();
        server->setParent(nullptr);
        server->deleteLater();
    }
}

bool CWS_TCP_S::InfoVisible() const
{
    return info.isVisible();
}

void CWS_TCP_S::setInfoVisible(bool visible)
{
    info.setVisible(visible);
}

QString CWS_TCP_S::Address() const
{
    if (address.isEmpty())
        address = shownAddress(listenAddress);
    return address;
}

int CWS_TCP_S::Port() const
{
    return server && server->isListening() ? server->serverPort() : 0;
}

int CWS_TCP_S::ConnectionCount() const
{
    return int(connections.size());
}

void CWS_TCP_S::SendData(const QString &data, int index)
{
    const QByteArrayView frame = frameFor(data);
    if (frame.size() - FrameDecoder::headerBytes > qsizetype(FrameDecoder::maxPayloadBytes))
        return;
    if (index == 0) {
        pendingBroadcast.append(frame);
        ++pendingBroadcastTexts;
        if (pendingBroadcast.size() >= broadcastChunkBytes)
            flushBroadcast();
        else
            scheduleBroadcast();
        return;
    }
    // Whatever was relayed before goes first: one order for every connection.
    flushBroadcast();
    const auto found = connections.find(index);
    if (found != connections.end() && !found->second->failed && !found->second->peerGone)
        queueChunk(*found->second, std::make_shared<const QByteArray>(frame.toByteArray()), 1);
}

bool CWS_TCP_S::StartService(int port)
{
    lastError.clear();
    lastFailure = StartFailure::None;
    if (port < 0 || port > 65535) {
        lastFailure = StartFailure::InvalidPort;
        lastError = QStringLiteral("ポート番号は 0 から 65535 の範囲で指定してください");
        return false;
    }
    prepareServer();
    // Any is the dual-stack address: IPv4 peers arrive on the same socket as IPv6 ones.
    if (server->listen(listenAddress, quint16(port))) {
        startAccepting();
        return true;
    }
    switch (server->serverError()) {
    case QAbstractSocket::AddressInUseError:
        lastFailure = StartFailure::PortInUse;
        lastError = QStringLiteral("ポートは既に使用されています");
        break;
    case QAbstractSocket::SocketAccessError:
        lastFailure = StartFailure::NoPermission;
        lastError = QStringLiteral("ポートを使う権限がありません");
        break;
    default:
        lastFailure = StartFailure::Other;
        lastError = server->errorString();
        break;
    }
    return false;
}

void CWS_TCP_S::setListenAddress(const QHostAddress &listenOn)
{
    listenAddress = listenOn;
}

bool CWS_TCP_S::AdoptService(qintptr descriptor)
{
    lastError.clear();
    lastFailure = StartFailure::None;
    prepareServer();
    if (server->setSocketDescriptor(descriptor) && server->isListening()) {
        address = shownAddress(server->serverAddress());
        startAccepting();
        return true;
    }
    lastFailure = StartFailure::Other;
    lastError = server->errorString();
    return false;
}

void CWS_TCP_S::prepareServer()
{
    if (!server) {
        server = new QTcpServer(this);
        server->setListenBacklogSize(listenBacklog);
        server->setProxy(QNetworkProxy::NoProxy);
    }
    discardNotifier(acceptNotifier);
    server->close();
    acceptPaused = false;
    acceptRetry.stop();
    address = shownAddress(listenAddress);
}

QString CWS_TCP_S::shownAddress(const QHostAddress &bound)
{
    // Bound to one address, that is the only one a peer can use.
    const bool anyAddress = bound == QHostAddress::Any || bound == QHostAddress::AnyIPv4
            || bound == QHostAddress::AnyIPv6;
    return anyAddress ? lanAddress() : addressText(bound);
}

void CWS_TCP_S::CloseConnection(int index)
{
    if (index != 0) {
        removeConnection(index);
        return;
    }
    std::vector<int> indices;
    indices.reserve(connections.size());
    for (const auto &entry : connections)
        indices.push_back(entry.first);
    QPointer<CWS_TCP_S> self(this);
    for (int each : indices) {
        removeConnection(each);
        if (!self)
            return;
    }
}

void CWS_TCP_S::setReadingPaused(bool paused)
{
    readingPaused = paused;
    updateReading();
}

void CWS_TCP_S::setLimits(const Limits &limits)
{
    this->limits = limits;
    enforceInputBudget();
}

QString CWS_TCP_S::LastError() const
{
    return lastError;
}

CWS_TCP_S::StartFailure CWS_TCP_S::LastFailure() const
{
    return lastFailure;
}

void CWS_TCP_S::startAccepting()
{
    // The component accepts by itself: QTcpServer neither reports nor rests when descriptors run
    // out, and would try again at once, for ever.
    server->pauseAccepting();
    acceptNotifier =
            std::make_unique<QSocketNotifier>(server->socketDescriptor(), QSocketNotifier::Read);
    connect(acceptNotifier.get(), &QSocketNotifier::activated, this, &CWS_TCP_S::acceptDescriptors);
}

void CWS_TCP_S::acceptDescriptors()
{
    if (!server || !acceptNotifier)
        return;
    const int listening = int(server->socketDescriptor());
    for (int accepted = 0; accepted < acceptsPerTurn;) {
        const int descriptor = ::accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (descriptor >= 0) {
            acceptedDescriptors.push_back(descriptor);
            ++accepted;
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        // The kernel keeps the waiting clients queued while accepting rests.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            pauseAccepting();
        break;
    }
    // Set up, and announced, from the event loop: a handler may destroy the component, and with
    // it the notifier whose signal is running here.
    if (!acceptedDescriptors.empty() && !acceptScheduled) {
        acceptScheduled = true;
        QMetaObject::invokeMethod(this, &CWS_TCP_S::acceptConnections, Qt::QueuedConnection);
    }
}

void CWS_TCP_S::acceptConnections()
{
    acceptScheduled = false;
    // A newcomer must not receive texts relayed before it came.
    flushBroadcast();
    std::vector<qintptr> descriptors = std::exchange(acceptedDescriptors, {});
    QPointer<CWS_TCP_S> self(this);
    for (std::size_t next = 0; next < descriptors.size(); ++next) {
        const int descriptor = int(descriptors[next]);
        tuneDescriptor(descriptor);
        const int index = nextIndex();
        auto connection = std::make_shared<Connection>();
        connection->index = index;
        connection->descriptor = descriptor;
        sockaddr_storage peerAddress{};
        socklen_t peerLength = sizeof peerAddress;
        if (::getpeername(descriptor, reinterpret_cast<sockaddr *>(&peerAddress), &peerLength)
            == 0) {
            const QHostAddress host(reinterpret_cast<const sockaddr *>(&peerAddress));
            quint16 port = 0;
            if (peerAddress.ss_family == AF_INET)
                port = ntohs(reinterpret_cast<const sockaddr_in *>(&peerAddress)->sin_port);
            else if (peerAddress.ss_family == AF_INET6)
                port = ntohs(reinterpret_cast<const sockaddr_in6 *>(&peerAddress)->sin6_port);
            connection->peer = addressText(host) + QLatin1Char(':') + QString::number(port);
        }
        connection->since = QDateTime::currentDateTime();
        connection->lastInput = connection->lastProgress = clock.elapsed();
        connection->readNotifier =
                std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Read);
        connection->readNotifier->setEnabled(!readingStopped);
        connect(connection->readNotifier.get(), &QSocketNotifier::activated, this,
                [this, index] { readConnection(index); });
        connection->writeNotifier =
                std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Write);
        connection->writeNotifier->setEnabled(false);
        connect(connection->writeNotifier.get(), &QSocketNotifier::activated, this, [this, index] {
            const auto found = connections.find(index);
            if (found != connections.end())
                writeConnection(*found->second);
        });
        connections.emplace(index, connection);
        emit ServiceComplete(true, index);
        if (!self) {
            for (std::size_t rest = next + 1; rest < descriptors.size(); ++rest)
                ::close(int(descriptors[rest]));
            return;
        }
    }
}

void CWS_TCP_S::pauseAccepting()
{
    if (!acceptNotifier || acceptPaused)
        return;
    acceptPaused = true;
    acceptNotifier->setEnabled(false);
    acceptRetry.start();
}

void CWS_TCP_S::resumeAccepting()
{
    if (!acceptNotifier || !acceptPaused)
        return;
    acceptPaused = false;
    acceptRetry.stop();
    acceptNotifier->setEnabled(true);
}

int CWS_TCP_S::nextIndex()
{
    // After INT_MAX connections the numbers start again at 1, skipping those still in use.
    do
        lastIndex = lastIndex == INT_MAX ? 1 : lastIndex + 1;
    while (connections.count(lastIndex) > 0);
    return lastIndex;
}

void CWS_TCP_S::readConnection(int index)
{
    const auto found = connections.find(index);
    if (found == connections.end())
        return;
    // The handler of GetData may close this connection or destroy the component, so the loop
    // keeps its own reference and checks after every event.
    const std::shared_ptr<Connection> connection = found->second;
    if (connection->failed || connection->peerGone || connection->descriptor < 0)
        return;
    if (readingStopped) {
        connection->readNotifier->setEnabled(false);
        return;
    }
    if (readBuffer.size() < readBytesPerTurn)
        readBuffer.resize(readBytesPerTurn);
    const ssize_t received =
            ::recv(connection->descriptor, readBuffer.data(), size_t(readBytesPerTurn), 0);
    if (received > 0) {
        connection->reader.decoder.append(QByteArrayView(readBuffer.constData(), received));
        connection->bytesIn += received;
        connection->lastInput = clock.elapsed();
    } else if (received == 0 || errno == ECONNRESET) {
        // Qt reported a reset like an orderly close: both simply end the connection, after the
        // whole frames that came before.
        connection->peerGone = true;
        discardNotifier(connection->readNotifier);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        failConnection(*connection);
        return;
    }
    if (!deliverFrames(connection))
        return;
    if (connection->peerGone && connection->open && !connection->failed)
        removeConnection(index);
}

// False when the component is gone.
bool CWS_TCP_S::deliverFrames(const std::shared_ptr<Connection> &connection)
{
    QPointer<CWS_TCP_S> self(this);
    const int index = connection->index;
    const auto deliver = [&](QByteArrayView frame, QByteArrayView payload) {
        const QString text = QString::fromUtf8(payload);
        if (payload.isValidUtf8()) {
            lastFrame.resize(frame.size());
            std::memcpy(lastFrame.data(), frame.data(), size_t(frame.size()));
        } else {
            // Invalid bytes are passed on as the replacement characters they were read as, so
            // that every receiver sees the text this component saw; three bytes each, the text
            // may no longer fit in a frame, and then it is the sender's fault.
            lastFrame = encoder.encode(text).toByteArray();
            if (lastFrame.size() - FrameDecoder::headerBytes
                > qsizetype(FrameDecoder::maxPayloadBytes)) {
                lastText = QString();
                failConnection(*connection);
                return FrameReader::Step::Stop;
            }
        }
        lastText = text;
        ++connection->textsIn;
        emit GetData(index, text);
        if (!self)
            return FrameReader::Step::Gone;
        if (!connection->open || connection->failed)
            return FrameReader::Step::Stop;
        return FrameReader::Step::Next;
    };
    // More bytes come with the next turn: the read per turn is bounded.
    const FrameReader::Outcome outcome = connection->reader.read([] { return false; }, deliver);
    if (outcome == FrameReader::Outcome::Gone)
        return false;
    if (outcome == FrameReader::Outcome::Busy)
        return true; // the loop further up the stack takes the new frames
    if (outcome == FrameReader::Outcome::Oversized)
        failConnection(*connection);
    if (!connection->failed) {
        connection->reader.decoder.releaseSpare();
        countUnfinished(*connection);
        enforceInputBudget();
    }
    return true;
}

void CWS_TCP_S::endConnectionByPeer(int index)
{
    const auto found = connections.find(index);
    if (found == connections.end() || found->second->failed)
        return;
    removeConnection(index);
}

void CWS_TCP_S::failConnection(Connection &connection)
{
    if (connection.failed)
        return;
    connection.failed = true;
    closeDescriptor(connection, false);
    connection.reader.decoder.clear();
    // Reported from the event loop: failing may be noticed inside SendData, that is inside some
    // handler that should not see the table change under it.
    const int index = connection.index;
    QMetaObject::invokeMethod(
            this, [this, index] { reportFailure(index); }, Qt::QueuedConnection);
}

void CWS_TCP_S::reportFailure(int index)
{
    if (connections.find(index) == connections.end())
        return;
    QPointer<CWS_TCP_S> self(this);
    emit ServiceError(index);
    // A failed connection goes even when the handler leaves it: it is never served again.
    if (self)
        removeConnection(index);
}

void CWS_TCP_S::removeConnection(int index)
{
    const auto found = connections.find(index);
    if (found == connections.end())
        return;
    // A connection closed while relaying still gets what was relayed before its close.
    flushBroadcast();
    const std::shared_ptr<Connection> connection = found->second;
    connections.erase(found);
    connection->open = false;
    closeDescriptor(*connection, !connection->failed);
    emit ServiceComplete(false, index);
}

void CWS_TCP_S::closeDescriptor(Connection &connection, bool flush)
{
    discardNotifier(connection.readNotifier);
    discardNotifier(connection.writeNotifier);
    unfinishedBytes -= connection.unfinished;
    connection.unfinished = 0;
    if (connection.descriptor >= 0) {
        if (flush && !connection.queue.isEmpty()) {
            // The queue moves, chunks and all: nothing is copied.
            new Farewell(connection.descriptor, std::move(connection.queue));
        } else {
            if (flush)
                ::shutdown(connection.descriptor, SHUT_WR);
            ::close(connection.descriptor);
        }
        connection.descriptor = -1;
        // A descriptor came free: a listener that ran out of them may go on.
        resumeAccepting();
    }
    connection.queue.clear();
    releaseTakenChunks();
}

void CWS_TCP_S::scheduleBroadcast()
{
    // A zero timer rather than a posted call: posting wakes the event loop through a descriptor,
    // two system calls a turn on a busy relay.
    if (!broadcastTimer.isActive())
        broadcastTimer.start();
}

void CWS_TCP_S::flushBroadcast()
{
    broadcastTimer.stop();
    if (pendingBroadcastTexts == 0)
        return;
    const int textCount = std::exchange(pendingBroadcastTexts, 0);
    const auto chunk =
            std::make_shared<const QByteArray>(std::exchange(pendingBroadcast, QByteArray()));
    relayedChunks.push_back(chunk);
    relayedBytes += chunk->size();
    // Writing raises no signal, so the table cannot change under this loop; a connection that
    // fails here is only marked and reported later.
    for (auto &entry : connections) {
        if (!entry.second->failed && !entry.second->peerGone)
            queueChunk(*entry.second, chunk, textCount);
    }
    releaseTakenChunks();
}

void CWS_TCP_S::queueChunk(Connection &connection, const std::shared_ptr<const QByteArray> &chunk,
                           int textCount)
{
    connection.textsOut += textCount;
    connection.bytesOut += chunk->size();
    const bool wasEmpty = connection.queue.isEmpty();
    connection.queue.append(chunk);
    // Otherwise the write notifier is armed already.
    if (wasEmpty) {
        connection.lastProgress = clock.elapsed();
        writeConnection(connection);
    }
    if (!connection.failed && connection.queue.bytesBehind() > maxUnsentBytes)
        failConnection(connection);
}

void CWS_TCP_S::writeConnection(Connection &connection)
{
    if (connection.failed || connection.descriptor < 0)
        return;
    const qint64 before = connection.queue.bytesBehind();
    bool peerGone = false;
    const bool drained = sendQueued(connection.descriptor, connection.queue, peerGone);
    if (peerGone) {
        // The reader went away; its side ends like a close, from the event loop.
        connection.peerGone = true;
        connection.queue.clear();
        discardNotifier(connection.writeNotifier);
        discardNotifier(connection.readNotifier);
        const int index = connection.index;
        QMetaObject::invokeMethod(
                this, [this, index] { endConnectionByPeer(index); }, Qt::QueuedConnection);
        releaseTakenChunks();
        return;
    }
    if (connection.queue.bytesBehind() < before)
        connection.lastProgress = clock.elapsed();
    if (connection.writeNotifier)
        connection.writeNotifier->setEnabled(!drained);
    if (!drained)
        startWatching();
    else if (before > 0)
        releaseTakenChunks();
}

void CWS_TCP_S::countUnfinished(Connection &connection)
{
    // What the buffer holds, not what it is filled with: that is what the budget is for.
    const qint64 now = connection.reader.decoder.bufferedBytes() > 0
            ? connection.reader.decoder.heldBytes()
            : 0;
    unfinishedBytes += now - connection.unfinished;
    connection.unfinished = now;
    if (now > 0)
        startWatching();
}

void CWS_TCP_S::enforceInputBudget()
{
    if (unfinishedBytes <= limits.unfinishedBytes)
        return;
    // Past the budget, those holding the largest unfinished frames go first: they cost the most,
    // and chat lines in progress are small.
    std::vector<Connection *> holders;
    for (auto &entry : connections) {
        if (entry.second->unfinished > 0 && !entry.second->failed)
            holders.push_back(entry.second.get());
    }
    std::sort(holders.begin(), holders.end(), [](const Connection *left, const Connection *right) {
        return left->unfinished > right->unfinished;
    });
    for (Connection *holder : holders) {
        if (unfinishedBytes <= limits.unfinishedBytes)
            break;
        failConnection(*holder);
    }
}

void CWS_TCP_S::releaseTakenChunks()
{
    // A chunk only this list still holds has been taken by everyone.
    while (!relayedChunks.empty() && relayedChunks.front().use_count() == 1) {
        relayedBytes -= relayedChunks.front()->size();
        relayedChunks.pop_front();
    }
    updateReading();
}

void CWS_TCP_S::updateReading()
{
    const qint64 backlog = relayedBytes + pendingBroadcast.size();
    if (!backlogHeld && backlog > backlogPauseBytes) {
        backlogHeld = true;
        startWatching();
    } else if (backlogHeld && backlog <= backlogResumeBytes) {
        backlogHeld = false;
    }
    const bool stop = readingPaused || backlogHeld;
    if (stop == readingStopped)
        return;
    readingStopped = stop;
    for (auto &entry : connections) {
        if (entry.second->readNotifier && !entry.second->failed)
            entry.second->readNotifier->setEnabled(!stop);
    }
}

void CWS_TCP_S::startWatching()
{
    if (!watchTimer.isActive())
        watchTimer.start();
}

void CWS_TCP_S::watchConnections()
{
    const qint64 now = clock.elapsed();
    bool watching = false;
    qint64 mostBehind = 0;
    for (auto &entry : connections) {
        Connection &connection = *entry.second;
        if (connection.failed)
            continue;
        const qint64 behind = connection.queue.bytesBehind();
        const bool unfinished = connection.reader.decoder.bufferedBytes() > 0;
        // Holding everyone back: reading is stopped and this reader is what keeps it so.
        if (backlogHeld && behind > backlogResumeBytes) {
            if (connection.behindSince < 0)
                connection.behindSince = now;
        } else {
            connection.behindSince = -1;
        }
        const bool laggard = connection.behindSince >= 0
                && now - connection.behindSince >= limits.laggardMilliseconds;
        const bool stalled =
                behind > 0 && now - connection.lastProgress >= limits.stallMilliseconds;
        const bool abandoned =
                unfinished && now - connection.lastInput >= limits.unfinishedMilliseconds;
        if (laggard || stalled || abandoned) {
            failConnection(connection);
            continue;
        }
        mostBehind = std::max(mostBehind, behind);
        watching = watching || behind > 0 || unfinished;
    }
    // The kernel may have taken part of the oldest chunks: what counts is how far the slowest
    // reader still is behind.
    if (backlogHeld && mostBehind <= backlogResumeBytes) {
        backlogHeld = false;
        updateReading();
    }
    if (!watching && !backlogHeld)
        watchTimer.stop();
}

QByteArrayView CWS_TCP_S::frameFor(const QString &data)
{
    // lastText holds a reference to its characters, so equal pointer and size mean the very
    // same text, never a new string that happens to reuse freed memory.
    if (!lastText.isNull() && data.constData() == lastText.constData()
        && data.size() == lastText.size())
        return QByteArrayView(lastFrame);
    return encoder.encode(data);
}

void CWS_TCP_S::refreshInfo(ServerStatus &status)
{
    status.listening = server && server->isListening();
    status.address = Address();
    status.port = Port();
    status.connectionCount = ConnectionCount();
    status.rows.reserve(connections.size());
    for (const auto &entry : connections) {
        const Connection &connection = *entry.second;
        status.rows.push_back({connection.index, connection.peer, connection.since,
                               connection.textsIn, connection.bytesIn, connection.textsOut,
                               connection.bytesOut, connection.failed});
    }
}

} // namespace socks
