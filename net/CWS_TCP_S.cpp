#include "net/CWS_TCP_S.h"

#include "net/FrameDecoder.h"
#include "net/SocketHelpers.h"

#include <QDateTime>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstring>
#include <deque>
#include <utility>
#include <vector>

namespace socks {

namespace {

// A client that stopped reading may cost the server this much outgoing memory, no more.
constexpr qint64 maxUnsentBytes = 8 * 1024 * 1024;
// What a socket's own buffer takes at a time; the rest waits, shared, in the connection's queue.
// Enough for several turns of writes, and a thousand clients still cost tens of MiB, not GiB.
constexpr qint64 socketBufferBytes = 16 * 1024;
// 200 clients arriving at once must not overflow the kernel's queue of unaccepted connections.
constexpr int listenBacklog = 1024;

QString findLanAddress()
{
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &networkInterface : interfaces) {
        const auto flags = networkInterface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp)
            || flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        const auto entries = networkInterface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            const QHostAddress ip = entry.ip();
            if (ip.protocol() == QAbstractSocket::IPv4Protocol && !ip.isLoopback())
                return ip.toString();
        }
    }
    return QStringLiteral("127.0.0.1");
}

} // namespace

struct CWS_TCP_S::Connection
{
    int index = 0;
    QPointer<QTcpSocket> socket;
    FrameDecoder decoder;
    QString peer;
    QDateTime since;
    qint64 textsIn = 0;
    qint64 bytesIn = 0;
    qint64 textsOut = 0;
    qint64 bytesOut = 0;
    bool open = true; // still in the component's table
    bool failed = false; // ServiceError is on its way; nothing more is read or sent
    bool reading = false; // GetData of this connection is being raised
    // Relayed bytes the socket has not taken yet, oldest first. A chunk is shared by every
    // connection it goes to, so a broadcast is held once however many clients lag behind.
    std::deque<std::pair<std::shared_ptr<const QByteArray>, qsizetype>> queue;
    qint64 queuedBytes = 0;
};

CWS_TCP_S::CWS_TCP_S() = default;

CWS_TCP_S::~CWS_TCP_S()
{
    flushBroadcast();
    for (auto &entry : connections) {
        entry.second->open = false;
        if (!entry.second->failed)
            drainQueue(*entry.second);
        retireSocket(entry.second->socket,
                     entry.second->failed ? Retirement::Drop : Retirement::Flush);
    }
    connections.clear();
    if (server) {
        // Destroying the component may happen inside the server's own newConnection signal.
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
        address = findLanAddress();
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
    if (index == 0 && (batchDepth > 0 || broadcastScheduled)) {
        // Relaying the frames of one read: every connection gets them in one write at the end.
        pendingBroadcast.append(frame);
        ++pendingBroadcastTexts;
        return;
    }
    flushBroadcast();
    if (index != 0) {
        const auto found = connections.find(index);
        if (found != connections.end() && !found->second->failed)
            queueBytes(*found->second, std::make_shared<const QByteArray>(frame.toByteArray()), 1);
        return;
    }
    broadcast(std::make_shared<const QByteArray>(frame.toByteArray()), 1);
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
    if (!server) {
        server = new QTcpServer(this);
        server->setListenBacklogSize(listenBacklog);
        server->setProxy(QNetworkProxy::NoProxy);
        connect(server, &QTcpServer::newConnection, this, &CWS_TCP_S::acceptConnections);
    }
    server->close();
    address = findLanAddress();
    // Any is the dual-stack address: IPv4 peers arrive on the same socket as IPv6 ones.
    if (server->listen(QHostAddress::Any, quint16(port)))
        return true;
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
    if (readingPaused == paused)
        return;
    readingPaused = paused;
    // A socket whose buffer is full stops reading from the kernel, so the sender's window closes.
    for (const auto &entry : connections) {
        if (entry.second->socket)
            entry.second->socket->setReadBufferSize(paused ? 1 : 0);
    }
    if (paused)
        return;
    for (const auto &entry : connections) {
        const int index = entry.first;
        QMetaObject::invokeMethod(
                this, [this, index] { readConnection(index); }, Qt::QueuedConnection);
    }
}

QString CWS_TCP_S::LastError() const
{
    return lastError;
}

CWS_TCP_S::StartFailure CWS_TCP_S::LastFailure() const
{
    return lastFailure;
}

void CWS_TCP_S::acceptConnections()
{
    // A newcomer must not receive texts relayed before it came.
    flushBroadcast();
    QPointer<CWS_TCP_S> self(this);
    while (server && server->hasPendingConnections()) {
        QTcpSocket *socket = server->nextPendingConnection();
        if (!socket)
            break;
        tuneSocket(socket);
        if (readingPaused)
            socket->setReadBufferSize(1);
        const int index = ++lastIndex;
        auto connection = std::make_shared<Connection>();
        connection->index = index;
        connection->socket = socket;
        connection->peer = addressText(socket->peerAddress()) + QLatin1Char(':')
                + QString::number(socket->peerPort());
        connection->since = QDateTime::currentDateTime();
        connections.emplace(index, connection);
        connect(socket, &QTcpSocket::readyRead, this, [this, index] { readConnection(index); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, index] {
            const auto found = connections.find(index);
            if (found != connections.end())
                feedSocket(*found->second);
        });
        connect(socket, &QTcpSocket::disconnected, this,
                [this, index] { endConnectionByPeer(index); });
        connect(socket, &QTcpSocket::errorOccurred, this,
                [this, index](QAbstractSocket::SocketError error) {
                    // Qt reports a peer's reset exactly like its orderly close (the descriptor is
                    // gone by now), so both simply end the connection when disconnected follows.
                    if (error == QAbstractSocket::RemoteHostClosedError)
                        return;
                    const auto found = connections.find(index);
                    if (found != connections.end())
                        failConnection(*found->second);
                });
        emit ServiceComplete(true, index);
        if (!self)
            return;
        // Bytes that came with the connection were read before our readyRead was connected.
        if (socket->bytesAvailable() > 0)
            readConnection(index);
        if (!self)
            return;
    }
}

void CWS_TCP_S::readConnection(int index)
{
    const auto found = connections.find(index);
    if (found == connections.end())
        return;
    // The handler of GetData may close this connection or destroy the component, so the loop
    // keeps its own reference and checks after every event.
    const std::shared_ptr<Connection> connection = found->second;
    if (connection->failed || !connection->socket || readingPaused)
        return;
    QTcpSocket *socket = connection->socket;
    const auto pullAvailable = [&connection, socket] {
        qint64 available = 0;
        while ((available = socket->bytesAvailable()) > 0) {
            char *room = connection->decoder.prepareAppend(available);
            const qint64 read = socket->read(room, available);
            connection->decoder.commitAppend(read);
            if (read <= 0)
                break;
            connection->bytesIn += read;
        }
    };
    pullAvailable();
    if (connection->reading)
        return; // the outer loop further up the stack takes the new frames
    connection->reading = true;
    ++batchDepth;
    QPointer<CWS_TCP_S> self(this);
    for (;;) {
        const FrameDecoder::Result result = connection->decoder.next();
        if (result == FrameDecoder::Result::Oversized) {
            failConnection(*connection);
            break;
        }
        if (result == FrameDecoder::Result::NeedMore) {
            // Bytes may have come in while a handler ran a nested event loop.
            if (!connection->socket || connection->socket->bytesAvailable() <= 0)
                break;
            pullAvailable();
            continue;
        }
        const QByteArrayView frame = connection->decoder.frame();
        const QByteArrayView payload = connection->decoder.payload();
        const QString text = QString::fromUtf8(payload);
        // Invalid bytes are passed on as the replacement characters they were read as, so that
        // every receiver sees the text this component saw.
        if (payload.isValidUtf8()) {
            lastFrame.resize(frame.size());
            std::memcpy(lastFrame.data(), frame.data(), size_t(frame.size()));
            lastText = text;
        } else {
            lastText = QString();
        }
        ++connection->textsIn;
        emit GetData(index, text);
        if (!self) {
            connection->reading = false;
            return;
        }
        if (!connection->open || connection->failed)
            break;
    }
    connection->reading = false;
    if (--batchDepth > 0)
        return;
    // While some client lags, the texts of every read of this turn go out as one chunk at the end
    // of the turn, so that its queue grows by one entry per turn, not per read; otherwise at once.
    if (laggingConnections == 0)
        flushBroadcast();
    else if (pendingBroadcastTexts > 0 && !broadcastScheduled) {
        broadcastScheduled = true;
        QMetaObject::invokeMethod(this, &CWS_TCP_S::flushBroadcast, Qt::QueuedConnection);
    }
}

void CWS_TCP_S::endConnectionByPeer(int index)
{
    const auto found = connections.find(index);
    if (found == connections.end() || found->second->failed)
        return;
    // Whole frames sent just before the close still count.
    QPointer<CWS_TCP_S> self(this);
    readConnection(index);
    if (self)
        removeConnection(index);
}

void CWS_TCP_S::failConnection(Connection &connection)
{
    if (connection.failed)
        return;
    connection.failed = true;
    clearQueue(connection);
    retireSocket(connection.socket, Retirement::Drop);
    connection.socket = nullptr;
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
    if (!connection->failed) {
        drainQueue(*connection);
        retireSocket(connection->socket, Retirement::Flush);
    }
    connection->socket = nullptr;
    emit ServiceComplete(false, index);
}

void CWS_TCP_S::broadcast(const std::shared_ptr<const QByteArray> &frames, int textCount)
{
    // Writing raises no signal, so the table cannot change under this loop; a connection that
    // fails here is only marked and reported later.
    for (auto &entry : connections) {
        if (!entry.second->failed)
            queueBytes(*entry.second, frames, textCount);
    }
}

void CWS_TCP_S::flushBroadcast()
{
    broadcastScheduled = false;
    if (pendingBroadcastTexts == 0)
        return;
    const int textCount = pendingBroadcastTexts;
    pendingBroadcastTexts = 0;
    broadcast(std::make_shared<const QByteArray>(std::exchange(pendingBroadcast, QByteArray())),
              textCount);
}

void CWS_TCP_S::queueBytes(Connection &connection, const std::shared_ptr<const QByteArray> &bytes,
                           int textCount)
{
    QTcpSocket *socket = connection.socket;
    if (!socket) {
        failConnection(connection);
        return;
    }
    connection.textsOut += textCount;
    connection.bytesOut += bytes->size();
    // A client that keeps up gets the bytes at once; only a lagging one queues them.
    if (connection.queue.empty() && socket->bytesToWrite() + bytes->size() <= socketBufferBytes) {
        if (socket->write(bytes->constData(), bytes->size()) != bytes->size())
            failConnection(connection);
        return;
    }
    if (connection.queue.empty())
        ++laggingConnections;
    connection.queue.emplace_back(bytes, 0);
    connection.queuedBytes += bytes->size();
    feedSocket(connection);
    if (!connection.failed && connection.socket
        && connection.queuedBytes + connection.socket->bytesToWrite() > maxUnsentBytes)
        failConnection(connection);
}

void CWS_TCP_S::feedSocket(Connection &connection)
{
    QTcpSocket *socket = connection.socket;
    if (!socket || connection.failed)
        return;
    while (!connection.queue.empty()) {
        const qint64 room = socketBufferBytes - socket->bytesToWrite();
        if (room <= 0)
            return; // bytesWritten brings the socket back here
        auto &[bytes, offset] = connection.queue.front();
        const qint64 size = std::min<qint64>(room, bytes->size() - offset);
        if (socket->write(bytes->constData() + offset, size) != size) {
            failConnection(connection);
            return;
        }
        connection.queuedBytes -= size;
        offset += size;
        if (offset == bytes->size()) {
            connection.queue.pop_front();
            if (connection.queue.empty())
                --laggingConnections;
        }
    }
}

void CWS_TCP_S::drainQueue(Connection &connection)
{
    QTcpSocket *socket = connection.socket;
    for (const auto &[bytes, offset] : connection.queue) {
        if (socket)
            socket->write(bytes->constData() + offset, bytes->size() - offset);
    }
    clearQueue(connection);
}

void CWS_TCP_S::clearQueue(Connection &connection)
{
    if (!connection.queue.empty())
        --laggingConnections;
    connection.queue.clear();
    connection.queuedBytes = 0;
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
