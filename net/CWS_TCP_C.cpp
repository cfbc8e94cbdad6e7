#include "net/CWS_TCP_C.h"

#include "net/SocketHelpers.h"

#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>

namespace socks {

namespace {

constexpr int connectTimeoutMilliseconds = 10000;
// A server that stopped reading may cost the client this much outgoing memory, no more: the same
// bound the server keeps for each of its clients. The time bound is TCP keep-alive's.
constexpr qint64 maxUnsentBytes = 8 * 1024 * 1024;

} // namespace

CWS_TCP_C::CWS_TCP_C() = default;

CWS_TCP_C::~CWS_TCP_C()
{
    retireSocket(socket, state == State::Connected ? Retirement::Flush : Retirement::Drop);
}

bool CWS_TCP_C::InfoVisible() const
{
    return info.isVisible();
}

void CWS_TCP_C::setInfoVisible(bool visible)
{
    info.setVisible(visible);
}

int CWS_TCP_C::SocketNumber() const
{
    return state == State::Connected ? localPort : 0;
}

QString CWS_TCP_C::Address() const
{
    return serverAddress;
}

int CWS_TCP_C::Port() const
{
    return serverPort;
}

void CWS_TCP_C::SendData(const QString &data)
{
    if (state != State::Connected || !socket)
        return;
    const QByteArrayView frame = encoder.encode(data);
    if (socket->bytesToWrite() + frame.size() > maxUnsentBytes) {
        // Such a server is as good as gone. Reported after returning, as a broken connection is.
        const quint64 current = attempt;
        QMetaObject::invokeMethod(
                this,
                [this, current] {
                    if (current == attempt && state == State::Connected)
                        dropConnection();
                },
                Qt::QueuedConnection);
        return;
    }
    if (socket->write(frame.data(), frame.size()) != frame.size())
        return; // the socket reports the broken connection itself
    ++traffic.textsOut;
    traffic.bytesOut += frame.size();
}

void CWS_TCP_C::OpenConnection(const QString &host, int port)
{
    retireSocket(socket, Retirement::Drop);
    socket = nullptr;
    reader.decoder.clear();
    state = State::Connecting;
    this->host = host;
    serverAddress.clear();
    serverPort = 0;
    localAddress.clear();
    localPort = 0;
    traffic = {};
    const quint64 current = ++attempt;
    // Even an outcome known at once (an empty host) is raised later: the caller finishes its own
    // bookkeeping after OpenConnection before it can take any event.
    QMetaObject::invokeMethod(
            this, [this, current, host, port] { startConnecting(current, host, port); },
            Qt::QueuedConnection);
}

void CWS_TCP_C::CloseConnection()
{
    ++attempt;
    const Retirement retirement = state == State::Connected ? Retirement::Flush : Retirement::Drop;
    state = State::Idle;
    retireSocket(socket, retirement);
    socket = nullptr;
    localPort = 0;
}

void CWS_TCP_C::startConnecting(quint64 current, const QString &host, int port)
{
    if (current != attempt || state != State::Connecting)
        return;
    QString name = host.trimmed();
    // An IPv6 literal may come written as in a URL.
    if (name.startsWith(QLatin1Char('[')) && name.endsWith(QLatin1Char(']')))
        name = name.mid(1, name.size() - 2);
    if (name.isEmpty() || !isPortNumber(port)) {
        giveUpConnecting();
        return;
    }
    socket = new QTcpSocket(this);
    // A chat on the LAN goes straight to the relay, whatever proxy the environment names.
    socket->setProxy(QNetworkProxy::NoProxy);
    connect(socket, &QTcpSocket::connected, this, &CWS_TCP_C::finishConnecting);
    connect(socket, &QTcpSocket::readyRead, this, &CWS_TCP_C::deliverFrames);
    connect(socket, &QTcpSocket::errorOccurred, this, &CWS_TCP_C::handleError);
    connect(socket, &QTcpSocket::disconnected, this, &CWS_TCP_C::handleDisconnected);
    QTimer::singleShot(connectTimeoutMilliseconds, this, [this, current] {
        if (current == attempt && state == State::Connecting)
            giveUpConnecting();
    });
    // Nothing after this line: its signals may already have ended the component.
    socket->connectToHost(name, quint16(port));
}

void CWS_TCP_C::giveUpConnecting()
{
    ++attempt;
    state = State::Idle;
    retireSocket(socket, Retirement::Drop);
    socket = nullptr;
    emit ConnectError();
}

void CWS_TCP_C::finishConnecting()
{
    if (state != State::Connecting || !socket)
        return;
    state = State::Connected;
    tuneSocket(socket);
    localAddress = addressText(socket->localAddress());
    localPort = socket->localPort();
    serverAddress = addressText(socket->peerAddress());
    serverPort = socket->peerPort();
    emit Connect();
}

void CWS_TCP_C::handleError(QAbstractSocket::SocketError error)
{
    if (state == State::Connecting) {
        giveUpConnecting();
        return;
    }
    if (state == State::Connected && error != QAbstractSocket::RemoteHostClosedError)
        handleDisconnected();
}

void CWS_TCP_C::handleDisconnected()
{
    if (state != State::Connected)
        return;
    // Frames that arrived just before the close are delivered before the close is.
    if (deliverFrames() && state == State::Connected)
        dropConnection();
}

bool CWS_TCP_C::deliverFrames()
{
    if (state != State::Connected || !socket)
        return false;
    QTcpSocket *current = socket;
    // Takes what the socket holds; asked again when a nested event loop may have brought more.
    const auto pull = [this, current] {
        bool any = false;
        qint64 available = 0;
        while ((available = current->bytesAvailable()) > 0) {
            char *room = reader.decoder.prepareAppend(available);
            const qint64 read = current->read(room, available);
            reader.decoder.commitAppend(read);
            if (read <= 0)
                break;
            traffic.bytesIn += read;
            any = true;
        }
        return any;
    };
    pull();
    QPointer<CWS_TCP_C> self(this);
    const auto deliver = [this, current, &self](QByteArrayView, QByteArrayView payload) {
        const QString text = QString::fromUtf8(payload);
        ++traffic.textsIn;
        emit GetData(text);
        // The handler may have closed the connection, opened another, or destroyed us.
        if (!self)
            return FrameReader::Step::Gone;
        if (socket != current || state != State::Connected)
            return FrameReader::Step::Stop;
        return FrameReader::Step::Next;
    };
    switch (reader.read(pull, deliver)) {
    case FrameReader::Outcome::Drained:
    case FrameReader::Outcome::Busy:
        return true;
    case FrameReader::Outcome::Oversized:
        dropConnection();
        return false;
    case FrameReader::Outcome::Stopped:
    case FrameReader::Outcome::Gone:
        break;
    }
    return false;
}

void CWS_TCP_C::dropConnection()
{
    ++attempt;
    state = State::Idle;
    retireSocket(socket, Retirement::Drop);
    socket = nullptr;
    localPort = 0;
    emit ConnectClose();
}

void CWS_TCP_C::refreshInfo(ClientStatus &status)
{
    switch (state) {
    case State::Idle:
        status.state = QStringLiteral("未接続");
        break;
    case State::Connecting:
        status.state = QStringLiteral("接続中 (%1)").arg(host);
        break;
    case State::Connected:
        status.state = QStringLiteral("接続済み");
        break;
    }
    const bool connected = state == State::Connected;
    status.server = serverAddress.isEmpty()
            ? QStringLiteral("-")
            : serverAddress + QLatin1Char(':') + QString::number(serverPort);
    status.local = connected ? localAddress + QLatin1Char(':') + QString::number(localPort)
                             : QStringLiteral("-");
    status.socketNumber = SocketNumber();
    status.traffic = traffic;
}

} // namespace socks
