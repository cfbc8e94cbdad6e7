#include "net/CWS_TCP_C.h"
#include "net/CWS_TCP_S.h"
#include "net/FrameDecoder.h"
#include "net/InfoDisplay.h"
#include "net/RoomSession.h"
#include "net/ServerStatus.h"
#include "tests/support/InfoViewLog.h"
#include "tests/support/Waits.h"
#include "tests/support/WireClient.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

using socks::CWS_TCP_C;
using socks::CWS_TCP_S;
using testsupport::frameOf;
using testsupport::waitTimeout;

Q_DECLARE_METATYPE(CWS_TCP_S::StartFailure)

namespace {

constexpr int maxPayload = 1024 * 1024;

QByteArray headerOf(quint32 length)
{
    QByteArray header(4, '\0');
    qToBigEndian<quint32>(length, header.data());
    return header;
}

// A client that speaks the wire format by hand, to send what the client component never would.
struct RawPeer
{
    QTcpSocket socket;
    QByteArray pending;
    QList<QByteArray> received;

    bool connectTo(int port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] {
            pending += socket.readAll();
            received += testsupport::takeFrames(pending);
        });
        socket.connectToHost(QHostAddress::LocalHost, quint16(port));
        return socket.waitForConnected(waitTimeout);
    }
    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
};

// Everything the server raised, in order, so tests can count removals and errors per index.
struct ServerEvents
{
    explicit ServerEvents(CWS_TCP_S &server)
        : texts(&server, &CWS_TCP_S::GetData)
        , changes(&server, &CWS_TCP_S::ServiceComplete)
        , errors(&server, &CWS_TCP_S::ServiceError)
    {}
    int added() const { return count(true); }
    int removed() const { return count(false); }
    int count(bool flag, int index = -1) const
    {
        int total = 0;
        for (const auto &change : changes)
            total += change.at(0).toBool() == flag && (index < 0 || change.at(1).toInt() == index);
        return total;
    }
    QSignalSpy texts;
    QSignalSpy changes;
    QSignalSpy errors;
};

// The start of most cases: a server on a port the kernel chose, with a record of everything it
// raised from its first connection on.
struct Room
{
    Room() { serving = server.StartService(0); }
    int port() const { return server.Port(); }

    CWS_TCP_S server;
    ServerEvents events{server};
    bool serving = false;
};

void relayEverything(CWS_TCP_S &server)
{
    // Index 0 reaches the sender too, as the server window relays.
    QObject::connect(&server, &CWS_TCP_S::GetData, &server,
                     [&server](int, const QString &text) { server.SendData(text, 0); });
}

std::unique_ptr<CWS_TCP_C> connectedClient(int port)
{
    auto client = std::make_unique<CWS_TCP_C>();
    QSignalSpy connected(client.get(), &CWS_TCP_C::Connect);
    client->OpenConnection(QStringLiteral("127.0.0.1"), port);
    if (!connected.wait(waitTimeout))
        return nullptr;
    return client;
}

// A kind of session the room has never seen, as a browser's would be: its turns carry a mark, and
// it counts how often the room asked it to encode one.
class MarkedEncoding : public socks::TurnEncoding
{
public:
    socks::SendQueue::Chunk encodeTurn(const socks::SendQueue::Chunk &frames) const override
    {
        ++turns;
        return std::make_shared<const QByteArray>("kind:" + *frames);
    }
    mutable int turns = 0;
};

// A session of that kind held in memory: what it is given and what it says stay in lists.
class MemorySession : public socks::RoomSession
{
public:
    explicit MemorySession(const MarkedEncoding &kind)
        : sessionEncoding(kind)
    {}

    void attach(int index, socks::SessionEvents *events, const QElapsedTimer *) override
    {
        number = index;
        room = events;
    }
    const socks::TurnEncoding &encoding() const override { return sessionEncoding; }
    QString peerAddress() const override { return QStringLiteral("memory"); }
    void take(const socks::SendQueue::Chunk &chunk) override { taken.append(chunk); }
    qint64 bytesBehind() const override { return 0; }
    qint64 lastProgress() const override { return 0; }
    void setReading(bool) override {}
    ReadOutcome readTexts(const Deliver &deliver) override
    {
        while (!inbox.isEmpty())
            if (deliver({}, inbox.takeFirst()) != Step::Next)
                return ReadOutcome::Stopped;
        return ReadOutcome::Open;
    }
    qint64 unfinishedBytes() const override { return 0; }
    qint64 lastInput() const override { return 0; }
    qint64 bytesReceived() const override { return 0; }
    socks::CloseReason failure() const override { return socks::CloseReason::Open; }
    void close(Closing how) override { *closedWith = int(how); }

    void say(const QByteArray &text)
    {
        inbox.append(text);
        room->readable(number);
    }

    QList<socks::SendQueue::Chunk> taken;
    int *closedWith = nullptr; // outlives the session, which the room destroys after closing it

private:
    const MarkedEncoding &sessionEncoding;
    socks::SessionEvents *room = nullptr;
    int number = 0;
    QList<QByteArray> inbox;
};

// A peer whose kernel receive buffer is tiny and which never reads: what the server sends it
// piles up at the server.
std::unique_ptr<QTcpSocket> stalledPeer(int port)
{
    const int descriptor = testsupport::stalledPeer(port);
    if (descriptor < 0)
        return nullptr;
    auto socket = std::make_unique<QTcpSocket>();
    socket->setReadBufferSize(1);
    socket->setSocketDescriptor(descriptor);
    return socket;
}

} // namespace

class TestCWS_TCP_S : public QObject
{
    Q_OBJECT

private slots:
    // starting
    void bindsAFreePortForPortZero();
    void refusesAPortInUseWithAReason();
    void refusesPortsOutOfRange_data();
    void refusesPortsOutOfRange();
    void acceptsIPv6PeersOnTheSamePort();
    void adoptsOnlyAListeningTcpSocket_data();
    void adoptsOnlyAListeningTcpSocket();

    // framing
    void joinsAFrameSentByteByByte();
    void splitsCoalescedFrames();
    void roundTripsTextsExactly_data();
    void roundTripsTextsExactly();
    void replacesInvalidUtf8();
    void acceptsTheLargestFrameAndFailsOnlyTheOversizedConnection();

    // relay
    void relaysToEveryConnectionInOneOrder();
    void sendsToOneIndexOnly();
    void sendsOtherTextsThanTheReceivedOneAsThemselves();
    void keepsTheOrderOfSendsMadeWhileRelaying();
    void relaysTheTextAsReceivedWhenItsHandlerLetsTheLoopRun();
    void dropsAClientThatStoppedReadingWhileOthersKeepReceiving();
    void aLaggingClientCatchesUpWithEverythingInOrder();
    void broadcastReachesTwoHundredClients();
    void aSessionOfAnotherKindSharesTheRoomAndItsTurns();

    // connections
    void numbersConnectionsFromOneWithoutReuse();
    void closeAllLeavesTheServiceAccepting();
    void peerCloseRemovesTheConnectionOnce();
    void peerResetEndsOnlyThatConnection();
    void failedConnectionIsRemovedOnceWhateverTheHandlerDoes_data();
    void failedConnectionIsRemovedOnceWhateverTheHandlerDoes();
    void closingInsideGetDataStopsFurtherTexts();
    void survivesBeingDestroyedInsideGetData();
    void survivesBeingDestroyedInsideServiceComplete();

    // information window
    void infoViewFollowsInfoVisibleAndTheTraffic();
};

void TestCWS_TCP_S::bindsAFreePortForPortZero()
{
    CWS_TCP_S server;
    QCOMPARE(server.Port(), 0);
    QVERIFY(server.StartService(0));
    QVERIFY(server.Port() > 0);
    QCOMPARE(server.LastError(), QString());
    QCOMPARE(server.LastFailure(), CWS_TCP_S::StartFailure::None);
    QVERIFY(!QHostAddress(server.Address()).isNull());
    QCOMPARE(QHostAddress(server.Address()).protocol(), QAbstractSocket::IPv4Protocol);
}

void TestCWS_TCP_S::refusesAPortInUseWithAReason()
{
    CWS_TCP_S first;
    QVERIFY(first.StartService(0));
    CWS_TCP_S second;
    QVERIFY(!second.StartService(first.Port()));
    QCOMPARE(second.LastFailure(), CWS_TCP_S::StartFailure::PortInUse);
    // The cause for the windows to word, and Qt's own reason for a log.
    QVERIFY(!second.LastError().isEmpty());
    QCOMPARE(second.Port(), 0);
    // A later success clears both.
    QVERIFY(second.StartService(0));
    QCOMPARE(second.LastFailure(), CWS_TCP_S::StartFailure::None);
    QCOMPARE(second.LastError(), QString());
}

void TestCWS_TCP_S::refusesPortsOutOfRange_data()
{
    QTest::addColumn<int>("port");
    QTest::newRow("negative") << -1;
    QTest::newRow("one past the last port") << 65536;
    QTest::newRow("far out") << 100000;
}

void TestCWS_TCP_S::refusesPortsOutOfRange()
{
    QFETCH(int, port);
    CWS_TCP_S server;
    QVERIFY(!server.StartService(port));
    QCOMPARE(server.LastFailure(), CWS_TCP_S::StartFailure::InvalidPort);
    QCOMPARE(server.Port(), 0);
}

void TestCWS_TCP_S::acceptsIPv6PeersOnTheSamePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHostIPv6, 0))
        QSKIP("no IPv6 loopback on this machine");
    probe.close();
    Room room;
    QVERIFY(room.serving);
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHostIPv6, quint16(room.port()));
    QVERIFY(peer.waitForConnected(waitTimeout));
    peer.write(frameOf("v6"));
    QVERIFY(room.events.texts.wait(waitTimeout));
    QCOMPARE(room.events.texts.first().at(1).toString(), QStringLiteral("v6"));
}

void TestCWS_TCP_S::adoptsOnlyAListeningTcpSocket_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<CWS_TCP_S::StartFailure>("failure");
    using Failure = CWS_TCP_S::StartFailure;
    QTest::newRow("listening on IPv4") << "tcp4 listening" << Failure::None;
    QTest::newRow("listening on IPv6") << "tcp6 listening" << Failure::None;
    QTest::newRow("a file") << "file" << Failure::NotASocket;
    QTest::newRow("a pipe") << "pipe" << Failure::NotASocket;
    QTest::newRow("a closed descriptor") << "closed" << Failure::NotASocket;
    QTest::newRow("a listening UNIX socket") << "unix listening" << Failure::NotTcp;
    QTest::newRow("a UDP socket") << "udp" << Failure::NotTcp;
    QTest::newRow("a TCP socket never bound") << "tcp4 unbound" << Failure::NotListening;
    QTest::newRow("a TCP socket bound, not listening") << "tcp4 bound" << Failure::NotListening;
    QTest::newRow("a connected TCP socket") << "tcp4 connected" << Failure::NotListening;
}

void TestCWS_TCP_S::adoptsOnlyAListeningTcpSocket()
{
    QFETCH(QString, kind);
    QFETCH(CWS_TCP_S::StartFailure, failure);
    const int descriptor = testsupport::descriptorOfKind(kind);
    if (descriptor == -2)
        QSKIP("no IPv6 loopback on this machine");
    QVERIFY(kind == QStringLiteral("closed") || descriptor >= 0);
    const auto closeIt = qScopeGuard([descriptor] {
        if (descriptor >= 0)
            ::close(descriptor);
    });
    CWS_TCP_S server;
    QCOMPARE(server.AdoptService(descriptor), failure == CWS_TCP_S::StartFailure::None);
    QCOMPARE(server.LastFailure(), failure);
    if (failure != CWS_TCP_S::StartFailure::None) {
        QCOMPARE(server.Port(), 0);
        return;
    }
    // Adopted, it serves: a text comes back relayed.
    QVERIFY(server.Port() > 0);
    relayEverything(server);
    QTcpSocket peer;
    peer.connectToHost(kind.startsWith(QStringLiteral("tcp6")) ? QHostAddress::LocalHostIPv6
                                                               : QHostAddress::LocalHost,
                       quint16(server.Port()));
    QVERIFY(peer.waitForConnected(waitTimeout));
    peer.write(frameOf("adopted"));
    QByteArray wire;
    QTRY_VERIFY_WITH_TIMEOUT((wire += peer.readAll()) == frameOf("adopted"), waitTimeout);
}

void TestCWS_TCP_S::joinsAFrameSentByteByByte()
{
    Room room;
    QVERIFY(room.serving);
    RawPeer peer;
    QVERIFY(peer.connectTo(room.port()));
    const QByteArray frame = frameOf(QStringLiteral("一字ずつ").toUtf8());
    for (qsizetype at = 0; at + 1 < frame.size(); ++at) {
        peer.send(frame.mid(at, 1));
        QCoreApplication::processEvents();
    }
    QCOMPARE(room.events.texts.count(), 0);
    peer.send(frame.right(1));
    QVERIFY(room.events.texts.wait(waitTimeout));
    QCOMPARE(room.events.texts.count(), 1);
    QCOMPARE(room.events.texts.first().at(0).toInt(), 1);
    QCOMPARE(room.events.texts.first().at(1).toString(), QStringLiteral("一字ずつ"));
}

void TestCWS_TCP_S::splitsCoalescedFrames()
{
    Room room;
    QVERIFY(room.serving);
    RawPeer peer;
    QVERIFY(peer.connectTo(room.port()));
    // The third frame's tail arrives later, so one read ends in the middle of a frame.
    const QByteArray stream = frameOf("first") + frameOf("") + frameOf("third");
    peer.send(stream.left(stream.size() - 2));
    QTRY_COMPARE_WITH_TIMEOUT(room.events.texts.count(), 2, waitTimeout);
    peer.send(stream.right(2));
    QTRY_COMPARE_WITH_TIMEOUT(room.events.texts.count(), 3, waitTimeout);
    QCOMPARE(room.events.texts.at(0).at(1).toString(), QStringLiteral("first"));
    QCOMPARE(room.events.texts.at(1).at(1).toString(), QString());
    QCOMPARE(room.events.texts.at(2).at(1).toString(), QStringLiteral("third"));
}

void TestCWS_TCP_S::roundTripsTextsExactly_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("japanese") << QStringLiteral("こんにちは、世界。漢字とカタカナ");
    QTest::newRow("emoji outside the basic plane") << QStringLiteral("🎉😀👍🏽");
    QTest::newRow("line ends") << QStringLiteral("a\r\nb\r\n\r\n");
    QTest::newRow("separators of a chat line") << QStringLiteral("|@||@@|");
    QTest::newRow("chat line") << QStringLiteral(
            "51234@Default   |ログイン - 2026/12/09/8:05:09\r\n");
    QTest::newRow("nul and tab") << QString::fromUtf16(u"a\0b\tc", 5);
}

// Client to server, relayed, back to both clients: each direction keeps every code unit.
void TestCWS_TCP_S::roundTripsTextsExactly()
{
    QFETCH(QString, text);
    Room room;
    QVERIFY(room.serving);
    relayEverything(room.server);
    auto sender = connectedClient(room.port());
    auto other = connectedClient(room.port());
    QVERIFY(sender && other);
    QSignalSpy sentBack(sender.get(), &CWS_TCP_C::GetData);
    QSignalSpy relayed(other.get(), &CWS_TCP_C::GetData);
    const QString copy = text;
    sender->SendData(text);
    QCOMPARE(text, copy);
    QVERIFY(sentBack.wait(waitTimeout));
    QTRY_COMPARE_WITH_TIMEOUT(relayed.count(), 1, waitTimeout);
    QCOMPARE(room.events.texts.count(), 1);
    QCOMPARE(room.events.texts.first().at(1).toString(), text);
    QCOMPARE(sentBack.count(), 1);
    QCOMPARE(sentBack.first().first().toString(), text);
    QCOMPARE(relayed.first().first().toString(), text);
}

void TestCWS_TCP_S::replacesInvalidUtf8()
{
    Room room;
    QVERIFY(room.serving);
    RawPeer peer;
    QVERIFY(peer.connectTo(room.port()));
    peer.send(frameOf("a\xff"
                      "b")
              + frameOf("still here"));
    QTRY_COMPARE_WITH_TIMEOUT(room.events.texts.count(), 2, waitTimeout);
    QCOMPARE(room.events.texts.at(0).at(1).toString(), QStringLiteral("a\uFFFDb"));
    QCOMPARE(room.events.texts.at(1).at(1).toString(), QStringLiteral("still here"));
    QCOMPARE(room.events.errors.count(), 0);
}

void TestCWS_TCP_S::acceptsTheLargestFrameAndFailsOnlyTheOversizedConnection()
{
    Room room;
    QVERIFY(room.serving);
    RawPeer good;
    RawPeer bad;
    QVERIFY(good.connectTo(room.port()));
    QVERIFY(bad.connectTo(room.port()));
    QTRY_COMPARE_WITH_TIMEOUT(room.server.ConnectionCount(), 2, waitTimeout);

    good.send(frameOf(QByteArray(maxPayload, 'm')));
    QTRY_COMPARE_WITH_TIMEOUT(room.events.texts.count(), 1, 10000);
    QCOMPARE(room.events.texts.first().at(0).toInt(), 1);
    QCOMPARE(room.events.texts.first().at(1).toString().size(), maxPayload);

    bad.send(headerOf(maxPayload + 1) + QByteArray(100, 'o'));
    QVERIFY(room.events.errors.wait(waitTimeout));
    QCOMPARE(room.events.errors.first().first().toInt(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(room.events.count(false, 2), 1, waitTimeout);
    QCOMPARE(room.server.ConnectionCount(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(bad.socket.state(), QAbstractSocket::UnconnectedState, waitTimeout);

    good.send(frameOf("after"));
    QTRY_COMPARE_WITH_TIMEOUT(room.events.texts.count(), 2, waitTimeout);
    QCOMPARE(room.events.texts.last().at(1).toString(), QStringLiteral("after"));
    room.server.SendData(QStringLiteral("to all"), 0);
    QTRY_COMPARE_WITH_TIMEOUT(good.received.size(), 1, waitTimeout);
    QCOMPARE(room.events.count(false, 1), 0);
}

void TestCWS_TCP_S::relaysToEveryConnectionInOneOrder()
{
    Room room;
    QVERIFY(room.serving);
    relayEverything(room.server);
    std::vector<std::unique_ptr<CWS_TCP_C>> clients;
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (int index = 0; index < 4; ++index) {
        clients.push_back(connectedClient(room.port()));
        QVERIFY(clients.back());
        spies.push_back(std::make_unique<QSignalSpy>(clients.back().get(), &CWS_TCP_C::GetData));
    }
    constexpr int rounds = 25;
    for (int round = 0; round < rounds; ++round) {
        for (int index = 0; index < 4; ++index)
            clients[size_t(index)]->SendData(QStringLiteral("%1:%2").arg(index).arg(round));
        if (round % 5 == 0)
            QCoreApplication::processEvents();
    }
    for (const auto &spy : spies)
        QTRY_COMPARE_WITH_TIMEOUT(spy->count(), 4 * rounds, 10000);
    QStringList order;
    for (const auto &text : room.events.texts)
        order.append(text.at(1).toString());
    QCOMPARE(order.size(), 4 * rounds);
    for (const auto &spy : spies) {
        QStringList seen;
        for (const auto &text : *spy)
            seen.append(text.first().toString());
        QCOMPARE(seen, order);
    }
    // Each sender's own texts keep the order in which it sent them.
    for (int index = 0; index < 4; ++index) {
        const QStringList own = order.filter(QRegularExpression(QStringLiteral("^%1:").arg(index)));
        for (int round = 0; round < rounds; ++round)
            QCOMPARE(own.at(round), QStringLiteral("%1:%2").arg(index).arg(round));
    }
}

void TestCWS_TCP_S::sendsToOneIndexOnly()
{
    Room room;
    QVERIFY(room.serving);
    RawPeer first;
    RawPeer second;
    QVERIFY(first.connectTo(room.port()));
    QVERIFY(second.connectTo(room.port()));
    QTRY_COMPARE_WITH_TIMEOUT(room.server.ConnectionCount(), 2, waitTimeout);
    room.server.SendData(QStringLiteral("only two"), 2);
    room.server.SendData(QStringLiteral("nobody"), 99);
    room.server.SendData(QStringLiteral("both"), 0);
    QTRY_COMPARE_WITH_TIMEOUT(second.received.size(), 2, waitTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(first.received.size(), 1, waitTimeout);
    QCOMPARE(second.received, (QList<QByteArray>{"only two", "both"}));
    QCOMPARE(first.received, QList<QByteArray>{"both"});
}

// The received bytes are reused only for the very string GetData carried; a text of the same
// length, or an equal copy, is encoded from its own characters.
void TestCWS_TCP_S::sendsOtherTextsThanTheReceivedOneAsThemselves()
{
    Room room;
    QVERIFY(room.serving);
    connect(&room.server, &CWS_TCP_S::GetData, &room.server, [&room](int, const QString &text) {
        room.server.SendData(text, 0);
        room.server.SendData(text.toUpper(), 0);
        room.server.SendData(QString(text.constData(), text.size()), 0);
        room.server.SendData(text.left(2), 0);
    });
    RawPeer peer;
    QVERIFY(peer.connectTo(room.port()));
    peer.send(frameOf("abc") + frameOf("\xff\xfeok"));
    QTRY_COMPARE_WITH_TIMEOUT(peer.received.size(), 8, waitTimeout);
    // Invalid bytes go on as the replacement characters the room.server read them as.
    const QByteArray replaced = QStringLiteral("\uFFFD\uFFFDok").toUtf8();
    QCOMPARE(peer.received,
             (QList<QByteArray>{"abc", "ABC", "abc", "ab", replaced, replaced.toUpper(), replaced,
                                replaced.left(6)}));
}

// Texts to all and to one connection, sent from GetData handlers for several frames of one read,
// arrive in the order of the calls; a connection closed in between still gets what preceded it.
void TestCWS_TCP_S::keepsTheOrderOfSendsMadeWhileRelaying()
{
    Room room;
    QVERIFY(room.serving);
    connect(&room.server, &CWS_TCP_S::GetData, &room.server,
            [&room](int index, const QString &text) {
                room.server.SendData(text, 0);
                if (text == QStringLiteral("b"))
                    room.server.SendData(QStringLiteral("only you"), index);
                if (text == QStringLiteral("c"))
                    room.server.CloseConnection(2);
                room.server.SendData(text + QStringLiteral("!"), 0);
            });
    RawPeer sender;
    RawPeer watcher;
    QVERIFY(sender.connectTo(room.port()));
    QVERIFY(watcher.connectTo(room.port()));
    QTRY_COMPARE_WITH_TIMEOUT(room.server.ConnectionCount(), 2, waitTimeout);
    sender.send(frameOf("a") + frameOf("b") + frameOf("c") + frameOf("d"));
    QTRY_COMPARE_WITH_TIMEOUT(sender.received.size(), 9, waitTimeout);
    QCOMPARE(sender.received,
             (QList<QByteArray>{"a", "a!", "b", "only you", "b!", "c", "c!", "d", "d!"}));
    QTRY_COMPARE_WITH_TIMEOUT(watcher.socket.state(), QAbstractSocket::UnconnectedState,
                              waitTimeout);
    QCOMPARE(watcher.received, (QList<QByteArray>{"a", "a!", "b", "b!", "c"}));
}

// A GetData handler that lets the event loop run before it relays its text (a dialog, say)
// relays that text as it came, although the sender's next bytes were read in the meantime and
// moved within the buffer the text was read from.
void TestCWS_TCP_S::relaysTheTextAsReceivedWhenItsHandlerLetsTheLoopRun()
{
    testsupport::InfoViewLog<socks::ServerStatus> log;
    log.install();
    CWS_TCP_S server;
    QVERIFY(server.StartService(0));
    server.setInfoVisible(true);
    RawPeer sender;
    RawPeer watcher;
    QVERIFY(sender.connectTo(server.Port()));
    QVERIFY(watcher.connectTo(server.Port()));
    QTRY_COMPARE_WITH_TIMEOUT(server.ConnectionCount(), 2, waitTimeout);
    const QByteArray first = frameOf("first");
    // Longer than the first frame: its front half lands where the first frame's bytes were.
    const QByteArray second = frameOf(QByteArray(300, 'x'));
    const qsizetype half = second.size() / 2;
    const auto bytesIn = [&log](int index) {
        for (const auto &row : log.last.rows)
            if (row.index == index)
                return row.traffic.bytesIn;
        return qint64(-1);
    };
    bool letLoopRun = true;
    connect(&server, &CWS_TCP_S::GetData, &server, [&](int index, const QString &text) {
        if (std::exchange(letLoopRun, false)) {
            sender.send(second.mid(half));
            QTRY_COMPARE_WITH_TIMEOUT(bytesIn(index), qint64(first.size() + second.size()),
                                      waitTimeout);
        }
        server.SendData(text, 0);
    });
    sender.send(first + second.left(half));
    QTRY_COMPARE_WITH_TIMEOUT(watcher.received.size(), 2, waitTimeout);
    QCOMPARE(watcher.received, (QList<QByteArray>{"first", QByteArray(300, 'x')}));
    server.setInfoVisible(false);
    socks::InfoDisplay<socks::ServerStatus>::setFactory({});
}

void TestCWS_TCP_S::dropsAClientThatStoppedReadingWhileOthersKeepReceiving()
{
    Room room;
    QVERIFY(room.serving);
    auto reader = connectedClient(room.port());
    QVERIFY(reader);
    auto stalled = stalledPeer(room.port());
    QVERIFY(stalled);
    QTRY_COMPARE_WITH_TIMEOUT(room.server.ConnectionCount(), 2, waitTimeout);
    QSignalSpy readerTexts(reader.get(), &CWS_TCP_C::GetData);
    QSignalSpy readerClosed(reader.get(), &CWS_TCP_C::ConnectClose);

    const QString chunk(256 * 1024, QLatin1Char('s'));
    int sent = 0;
    // Bounded: 50 MiB is far beyond what the kernel buffers and 8 MiB can hide.
    while (room.events.errors.isEmpty() && sent < 200) {
        room.server.SendData(chunk, 0);
        ++sent;
        QTRY_COMPARE_WITH_TIMEOUT(readerTexts.count(), sent, waitTimeout);
    }
    QCOMPARE(room.events.errors.count(), 1);
    QCOMPARE(room.events.errors.first().first().toInt(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(room.events.count(false, 2), 1, waitTimeout);
    QCOMPARE(room.server.ConnectionCount(), 1);
    qInfo("the stalled client failed after %d texts of 256 KiB", sent);

    room.server.SendData(QStringLiteral("still served"), 0);
    QTRY_COMPARE_WITH_TIMEOUT(readerTexts.count(), sent + 1, waitTimeout);
    QCOMPARE(readerTexts.last().first().toString(), QStringLiteral("still served"));
    QCOMPARE(readerClosed.count(), 0);
    QCOMPARE(room.events.count(false, 1), 0);
}

// What a slow reader cannot take yet waits at the server, and reaches it whole and in order once it
// reads again, while a reader that keeps up is served meanwhile.
void TestCWS_TCP_S::aLaggingClientCatchesUpWithEverythingInOrder()
{
    Room room;
    QVERIFY(room.serving);
    auto reader = connectedClient(room.port());
    QVERIFY(reader);
    auto lagging = stalledPeer(room.port());
    QVERIFY(lagging);
    QTRY_COMPARE_WITH_TIMEOUT(room.server.ConnectionCount(), 2, waitTimeout);
    QSignalSpy readerTexts(reader.get(), &CWS_TCP_C::GetData);

    // 2 MiB in all: far beyond the kernel's buffers for the lagging peer, well within 8 MiB.
    constexpr int textCount = 128;
    const auto numbered = [](int number) {
        return QString::number(number).rightJustified(6, QLatin1Char('0'))
                + QString(16 * 1024 - 6, QLatin1Char('l'));
    };
    for (int number = 0; number < textCount; ++number)
        room.server.SendData(numbered(number), 0);
    QTRY_COMPARE_WITH_TIMEOUT(readerTexts.count(), textCount, waitTimeout);

    QList<QByteArray> received;
    socks::FrameDecoder decoder;
    const auto take = [&] {
        decoder.append(lagging->readAll());
        while (decoder.next() == socks::FrameDecoder::Result::Frame)
            received.append(decoder.payload().toByteArray());
    };
    QObject::connect(lagging.get(), &QTcpSocket::readyRead, lagging.get(), take);
    lagging->setReadBufferSize(0);
    take();
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), textCount, 10000);
    for (int number = 0; number < textCount; ++number)
        QVERIFY2(received.at(number) == numbered(number).toUtf8(),
                 qPrintable(QString::number(number)));
    QCOMPARE(room.events.errors.count(), 0);
    QCOMPARE(room.server.ConnectionCount(), 2);
}

void TestCWS_TCP_S::broadcastReachesTwoHundredClients()
{
    constexpr int clientCount = 200;
    Room room;
    QVERIFY(room.serving);
    std::vector<std::unique_ptr<CWS_TCP_C>> clients;
    int connected = 0;
    int received = 0;
    QSet<int> socketNumbers;
    for (int index = 0; index < clientCount; ++index) {
        clients.push_back(std::make_unique<CWS_TCP_C>());
        CWS_TCP_C *client = clients.back().get();
        connect(client, &CWS_TCP_C::Connect, this, [&connected] { ++connected; });
        connect(client, &CWS_TCP_C::GetData, this, [&received](const QString &text) {
            if (text == QStringLiteral("全員へ"))
                ++received;
        });
        client->OpenConnection(QStringLiteral("127.0.0.1"), room.port());
    }
    QTRY_COMPARE_WITH_TIMEOUT(connected, clientCount, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(room.server.ConnectionCount(), clientCount, 20000);
    QCOMPARE(room.events.added(), clientCount);
    for (const auto &client : clients)
        socketNumbers.insert(client->SocketNumber());
    QCOMPARE(socketNumbers.size(), clientCount);
    room.server.SendData(QStringLiteral("全員へ"), 0);
    QTRY_COMPARE_WITH_TIMEOUT(received, clientCount, 20000);
}

void TestCWS_TCP_S::aSessionOfAnotherKindSharesTheRoomAndItsTurns()
{
    // Declared first: the room closes its sessions when it goes.
    MarkedEncoding kind;
    int closedWith = -1;
    int otherClosedWith = -1;
    Room room;
    QVERIFY(room.serving);
    relayEverything(room.server);
    auto first = std::make_unique<MemorySession>(kind);
    auto second = std::make_unique<MemorySession>(kind);
    MemorySession &memory = *first;
    MemorySession &other = *second;
    first->closedWith = &closedWith;
    second->closedWith = &otherClosedWith;
    QCOMPARE(room.server.joinSession(std::move(first)), 1);
    QCOMPARE(room.server.joinSession(std::move(second)), 2);
    RawPeer peer;
    QVERIFY(peer.connectTo(room.port()));
    QTRY_COMPARE_WITH_TIMEOUT(room.server.ConnectionCount(), 3, waitTimeout);
    QCOMPARE(room.events.added(), 3);
    QCOMPARE(room.server.peerAddress(1), QStringLiteral("memory"));

    memory.say("from memory");
    QTRY_COMPARE_WITH_TIMEOUT(peer.received, QList<QByteArray>{"from memory"}, waitTimeout);
    peer.send(frameOf("from the wire"));
    QTRY_COMPARE_WITH_TIMEOUT(peer.received.size(), 2, waitTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(other.taken.size(), 2, waitTimeout);
    // One order for every kind, each in its own encoding, built once per turn and shared.
    QCOMPARE(room.events.texts.at(0), (QList<QVariant>{1, QStringLiteral("from memory")}));
    QCOMPARE(room.events.texts.at(1), (QList<QVariant>{3, QStringLiteral("from the wire")}));
    QCOMPARE(*other.taken.at(0), "kind:" + frameOf("from memory"));
    QCOMPARE(*other.taken.at(1), "kind:" + frameOf("from the wire"));
    QCOMPARE(memory.taken.size(), 2);
    QCOMPARE(memory.taken.at(1).get(), other.taken.at(1).get());
    QCOMPARE(kind.turns, 2);

    room.server.CloseConnection(1);
    QCOMPARE(closedWith, int(socks::RoomSession::Closing::Flush));
    QCOMPARE(otherClosedWith, -1);
    QCOMPARE(room.events.count(false, 1), 1);
    QCOMPARE(room.server.ConnectionCount(), 2);
}

void TestCWS_TCP_S::numbersConnectionsFromOneWithoutReuse()
{
    Room room;
    QVERIFY(room.serving);
    auto first = connectedClient(room.port());
    auto second = connectedClient(room.port());
    QVERIFY(first && second);
    QTRY_COMPARE_WITH_TIMEOUT(room.events.added(), 2, waitTimeout);
    QCOMPARE(room.events.changes.at(0), (QList<QVariant>{true, 1}));
    QCOMPARE(room.events.changes.at(1), (QList<QVariant>{true, 2}));
    first->CloseConnection();
    QTRY_COMPARE_WITH_TIMEOUT(room.events.removed(), 1, waitTimeout);
    QCOMPARE(room.events.changes.at(2), (QList<QVariant>{false, 1}));
    auto third = connectedClient(room.port());
    QVERIFY(third);
    QTRY_COMPARE_WITH_TIMEOUT(room.events.added(), 3, waitTimeout);
    QCOMPARE(room.events.changes.at(3), (QList<QVariant>{true, 3}));
    QCOMPARE(room.server.ConnectionCount(), 2);
}

void TestCWS_TCP_S::closeAllLeavesTheServiceAccepting()
{
    Room room;
    QVERIFY(room.serving);
    auto first = connectedClient(room.port());
    auto second = connectedClient(room.port());
    QVERIFY(first && second);
    QTRY_COMPARE_WITH_TIMEOUT(room.server.ConnectionCount(), 2, waitTimeout);
    QSignalSpy firstClosed(first.get(), &CWS_TCP_C::ConnectClose);
    QSignalSpy secondClosed(second.get(), &CWS_TCP_C::ConnectClose);

    room.server.CloseConnection(0);
    QCOMPARE(room.server.ConnectionCount(), 0);
    QCOMPARE(room.events.count(false, 1), 1);
    QCOMPARE(room.events.count(false, 2), 1);
    QVERIFY(firstClosed.count() > 0 || firstClosed.wait(waitTimeout));
    QVERIFY(secondClosed.count() > 0 || secondClosed.wait(waitTimeout));

    auto third = connectedClient(room.port());
    QVERIFY(third);
    QTRY_COMPARE_WITH_TIMEOUT(room.server.ConnectionCount(), 1, waitTimeout);
    QCOMPARE(room.events.changes.last(), (QList<QVariant>{true, 3}));
    QCOMPARE(room.events.removed(), 2);
    QCOMPARE(room.events.errors.count(), 0);
}

void TestCWS_TCP_S::peerCloseRemovesTheConnectionOnce()
{
    Room room;
    QVERIFY(room.serving);
    RawPeer peer;
    QVERIFY(peer.connectTo(room.port()));
    QTRY_COMPARE_WITH_TIMEOUT(room.server.ConnectionCount(), 1, waitTimeout);
    // Frames sent right before the close are still delivered.
    peer.send(frameOf("last words"));
    peer.socket.disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(room.events.removed(), 1, waitTimeout);
    QCOMPARE(room.events.texts.count(), 1);
    QCOMPARE(room.events.texts.first().at(1).toString(), QStringLiteral("last words"));
    QCOMPARE(room.server.ConnectionCount(), 0);
    QCOMPARE(room.events.errors.count(), 0);
    // A later connection proves the event loop ran on without a second removal.
    RawPeer next;
    QVERIFY(next.connectTo(room.port()));
    QTRY_COMPARE_WITH_TIMEOUT(room.events.added(), 2, waitTimeout);
    QCOMPARE(room.events.removed(), 1);
}

void TestCWS_TCP_S::peerResetEndsOnlyThatConnection()
{
    Room room;
    QVERIFY(room.serving);
    connect(&room.server, &CWS_TCP_S::ServiceError, &room.server,
            [&room](int index) { room.server.CloseConnection(index); });
    RawPeer other;
    QVERIFY(other.connectTo(room.port()));
    const int descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(descriptor >= 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(room.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QVERIFY(::connect(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
    QTRY_COMPARE_WITH_TIMEOUT(room.server.ConnectionCount(), 2, waitTimeout);
    // Half a frame, then a close that lingers for no time: a reset.
    ::send(descriptor, "\0\0\0\x10half", 8, 0);
    const linger abortive{1, 0};
    ::setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(descriptor);
    QTRY_COMPARE_WITH_TIMEOUT(room.events.count(false, 2), 1, waitTimeout);
    QCOMPARE(room.server.ConnectionCount(), 1);
    room.server.SendData(QStringLiteral("others go on"), 0);
    QTRY_COMPARE_WITH_TIMEOUT(other.received, QList<QByteArray>{"others go on"}, waitTimeout);
    QCOMPARE(room.events.removed(), 1);
    QCOMPARE(room.events.texts.count(), 0);
}

void TestCWS_TCP_S::failedConnectionIsRemovedOnceWhateverTheHandlerDoes_data()
{
    QTest::addColumn<bool>("closeInHandler");
    QTest::newRow("handler closes it, as the server window does") << true;
    QTest::newRow("handler ignores it") << false;
}

void TestCWS_TCP_S::failedConnectionIsRemovedOnceWhateverTheHandlerDoes()
{
    QFETCH(bool, closeInHandler);
    Room room;
    QVERIFY(room.serving);
    if (closeInHandler)
        connect(&room.server, &CWS_TCP_S::ServiceError, &room.server,
                [&room](int index) { room.server.CloseConnection(index); });
    RawPeer bad;
    QVERIFY(bad.connectTo(room.port()));
    QTRY_COMPARE_WITH_TIMEOUT(room.server.ConnectionCount(), 1, waitTimeout);
    bad.send(headerOf(0xffffffffu));
    QVERIFY(room.events.errors.wait(waitTimeout));
    QTRY_COMPARE_WITH_TIMEOUT(room.events.removed(), 1, waitTimeout);
    QCOMPARE(room.server.ConnectionCount(), 0);
    RawPeer next;
    QVERIFY(next.connectTo(room.port()));
    QTRY_COMPARE_WITH_TIMEOUT(room.events.added(), 2, waitTimeout);
    QCOMPARE(room.events.removed(), 1);
    QCOMPARE(room.events.errors.count(), 1);
    QCOMPARE(room.server.ConnectionCount(), 1);
}

void TestCWS_TCP_S::closingInsideGetDataStopsFurtherTexts()
{
    Room room;
    QVERIFY(room.serving);
    connect(&room.server, &CWS_TCP_S::GetData, &room.server,
            [&room](int index, const QString &) { room.server.CloseConnection(index); });
    RawPeer peer;
    QVERIFY(peer.connectTo(room.port()));
    peer.send(frameOf("one") + frameOf("two") + frameOf("three"));
    QVERIFY(room.events.texts.wait(waitTimeout));
    QTRY_COMPARE_WITH_TIMEOUT(peer.socket.state(), QAbstractSocket::UnconnectedState, waitTimeout);
    QCOMPARE(room.events.texts.count(), 1);
    QCOMPARE(room.events.removed(), 1);
    QCOMPARE(room.events.errors.count(), 0);
}

void TestCWS_TCP_S::survivesBeingDestroyedInsideGetData()
{
    auto server = std::make_unique<CWS_TCP_S>();
    QVERIFY(server->StartService(0));
    int texts = 0;
    connect(server.get(), &CWS_TCP_S::GetData, this, [&server, &texts](int, const QString &) {
        ++texts;
        server.reset();
    });
    RawPeer peer;
    QVERIFY(peer.connectTo(server->Port()));
    peer.send(frameOf("one") + frameOf("two"));
    QTRY_VERIFY_WITH_TIMEOUT(!server, waitTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(peer.socket.state(), QAbstractSocket::UnconnectedState, waitTimeout);
    QCOMPARE(texts, 1);
}

void TestCWS_TCP_S::survivesBeingDestroyedInsideServiceComplete()
{
    auto server = std::make_unique<CWS_TCP_S>();
    QVERIFY(server->StartService(0));
    const int port = server->Port();
    connect(server.get(), &CWS_TCP_S::ServiceComplete, this,
            [&server](bool, int) { server.reset(); });
    RawPeer first;
    RawPeer second;
    QVERIFY(first.connectTo(port));
    QVERIFY(second.connectTo(port));
    QTRY_VERIFY_WITH_TIMEOUT(!server, waitTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(first.socket.state(), QAbstractSocket::UnconnectedState, waitTimeout);
    // The port is free again once the deferred clean-up has run.
    CWS_TCP_S again;
    QTRY_VERIFY_WITH_TIMEOUT(again.StartService(port), waitTimeout);
}

void TestCWS_TCP_S::infoViewFollowsInfoVisibleAndTheTraffic()
{
    testsupport::InfoViewLog<socks::ServerStatus> log;
    auto server = std::make_unique<CWS_TCP_S>();
    QVERIFY(server->StartService(0));
    // Without a view factory, as in the headless relay, there is nothing to show.
    socks::InfoDisplay<socks::ServerStatus>::setFactory({});
    server->setInfoVisible(true);
    QVERIFY(!server->InfoVisible());

    log.install();
    server->setInfoVisible(true);
    QVERIFY(server->InfoVisible());
    QCOMPARE(log.made, 1);
    QVERIFY(log.last.listening);
    QCOMPARE(log.last.port, server->Port());

    RawPeer peer;
    QVERIFY(peer.connectTo(server->Port()));
    peer.send(frameOf("abc"));
    // The view is kept current while it shows: connection 1 with one text of seven bytes.
    QTRY_VERIFY_WITH_TIMEOUT(log.last.rows.size() == 1 && log.last.rows[0].traffic.textsIn == 1,
                             waitTimeout);
    QCOMPARE(log.last.rows[0].index, 1);
    QCOMPARE(log.last.rows[0].traffic.bytesIn, 7);
    QCOMPARE(log.last.connectionCount, 1);

    server->setInfoVisible(false);
    QVERIFY(!server->InfoVisible());
    server->setInfoVisible(true);
    QVERIFY(server->InfoVisible());
    QCOMPARE(log.made, 1);
    log.shown = false; // the user closed it
    QVERIFY(!server->InfoVisible());
    socks::InfoDisplay<socks::ServerStatus>::setFactory({});
}

QTEST_MAIN(TestCWS_TCP_S)
#include "tst_CWS_TCP_S.moc"
