#include "net/CWS_TCP_C.h"
#include "net/ClientStatus.h"
#include "net/FrameDecoder.h"
#include "net/InfoDisplay.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using socks::CWS_TCP_C;

namespace {

QByteArray frameOf(const QByteArray &payload)
{
    QByteArray frame(4, '\0');
    qToBigEndian<quint32>(quint32(payload.size()), frame.data());
    return frame + payload;
}

// A server that speaks the wire format by hand and exposes its one accepted socket.
struct RawServer
{
    QTcpServer server;
    QPointer<QTcpSocket> peer;
    socks::FrameDecoder decoder;
    QList<QByteArray> received;
    QByteArray wire; // every byte received, as it came

    bool listen(const QHostAddress &address = QHostAddress::Any)
    {
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            peer = server.nextPendingConnection();
            QObject::connect(peer, &QTcpSocket::readyRead, peer, [this] {
                const QByteArray bytes = peer->readAll();
                wire += bytes;
                decoder.append(bytes);
                while (decoder.next() == socks::FrameDecoder::Result::Frame)
                    received.append(decoder.payload().toByteArray());
            });
        });
        return server.listen(address, 0);
    }
    int port() const { return server.serverPort(); }
    bool waitForPeer()
    {
        return QTest::qWaitFor([this] { return !peer.isNull(); }, 5000);
    }
};

struct ClientEvents
{
    explicit ClientEvents(CWS_TCP_C &client)
        : connected(&client, &CWS_TCP_C::Connect)
        , closed(&client, &CWS_TCP_C::ConnectClose)
        , failed(&client, &CWS_TCP_C::ConnectError)
        , texts(&client, &CWS_TCP_C::GetData)
    {}
    QSignalSpy connected;
    QSignalSpy closed;
    QSignalSpy failed;
    QSignalSpy texts;
};

int refusedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort(); // closed when probe goes, so nobody listens there
}

// Stands in for the information window a program with widgets installs, and records what the
// component gives it.
template <typename Status> struct ViewLog
{
    struct View : socks::InfoView<Status>
    {
        explicit View(ViewLog &log)
            : log(log)
        {}
        bool isShown() const override { return log.shown; }
        void present() override { log.shown = true; }
        void dismiss() override { log.shown = false; }
        void showStatus(const Status &status) override { log.last = status; }
        ViewLog &log;
    };

    void install()
    {
        socks::InfoDisplay<Status>::setFactory([this] {
            ++made;
            return std::make_unique<View>(*this);
        });
    }

    bool shown = false;
    int made = 0;
    Status last;
};

} // namespace

class TestCWS_TCP_C : public QObject
{
    Q_OBJECT

private slots:
    // connecting
    void reportsConnectErrorOnlyAfterReturning_data();
    void reportsConnectErrorOnlyAfterReturning();
    void connectsByNameAndLiteral_data();
    void connectsByNameAndLiteral();
    void socketNumberIsTheLocalPort();
    void givesUpAfterTenSecondsWithoutAnswer();

    // framing
    void putsOneFramePerSend();
    void deliversFramesSplitAndCoalesced();
    void ignoresSendWhileNotConnected();

    // closing
    void serverCloseRaisesConnectCloseAfterTheLastTexts();
    void oversizedFrameDropsTheConnection();
    void ownCloseRaisesNoConnectClose();
    void closingInsideGetDataStopsFurtherTexts();
    void survivesBeingDestroyedInsideGetData();
    void reconnectsAfterADrop();

    // information window
    void infoViewFollowsInfoVisibleAndTheTraffic();
};

void TestCWS_TCP_C::reportsConnectErrorOnlyAfterReturning_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("nobody listens") << "127.0.0.1" << refusedPort();
    QTest::newRow("empty host") << "" << 555;
    QTest::newRow("blank host") << "  " << 555;
    QTest::newRow("negative port") << "127.0.0.1" << -1;
    QTest::newRow("port past the last") << "127.0.0.1" << 65536;
    QTest::newRow("port 0") << "127.0.0.1" << 0;
    QTest::newRow("name that cannot resolve") << "no-such-host.invalid" << 555;
}

void TestCWS_TCP_C::reportsConnectErrorOnlyAfterReturning()
{
    QFETCH(QString, host);
    QFETCH(int, port);
    CWS_TCP_C client;
    ClientEvents events(client);
    client.OpenConnection(host, port);
    QCOMPARE(events.failed.count(), 0);
    QVERIFY(events.failed.wait(15000));
    QCOMPARE(events.failed.count(), 1);
    QCOMPARE(events.connected.count(), 0);
    QCOMPARE(events.closed.count(), 0);
    QCOMPARE(client.SocketNumber(), 0);
}

void TestCWS_TCP_C::connectsByNameAndLiteral_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("address");
    QTest::newRow("IPv4 literal") << "127.0.0.1"
                                  << "127.0.0.1";
    QTest::newRow("IPv6 literal") << "::1"
                                  << "::1";
    QTest::newRow("IPv6 literal in brackets") << "[::1]"
                                              << "::1";
    QTest::newRow("host name") << "localhost"
                               << "";
}

void TestCWS_TCP_C::connectsByNameAndLiteral()
{
    QFETCH(QString, host);
    QFETCH(QString, address);
    RawServer server;
    QVERIFY(server.listen());
    CWS_TCP_C client;
    ClientEvents events(client);
    client.OpenConnection(host, server.port());
    QCOMPARE(events.connected.count(), 0);
    if (!events.connected.wait(5000)
        && QHostAddress(address).protocol() == QAbstractSocket::IPv6Protocol)
        QSKIP("no IPv6 loopback on this machine");
    QCOMPARE(events.connected.count(), 1);
    QCOMPARE(client.Port(), server.port());
    if (!address.isEmpty())
        QCOMPARE(client.Address(), address);
    else
        QVERIFY(QHostAddress(client.Address()).isLoopback());
}

void TestCWS_TCP_C::socketNumberIsTheLocalPort()
{
    RawServer server;
    QVERIFY(server.listen());
    CWS_TCP_C first;
    CWS_TCP_C second;
    QSignalSpy firstUp(&first, &CWS_TCP_C::Connect);
    QSignalSpy secondUp(&second, &CWS_TCP_C::Connect);
    QCOMPARE(first.SocketNumber(), 0);
    first.OpenConnection(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(firstUp.wait(5000));
    QVERIFY(server.waitForPeer());
    QCOMPARE(first.SocketNumber(), int(server.peer->peerPort()));
    second.OpenConnection(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(secondUp.wait(5000));
    QVERIFY(second.SocketNumber() > 0);
    QVERIFY(second.SocketNumber() != first.SocketNumber());
    first.CloseConnection();
    QCOMPARE(first.SocketNumber(), 0);
}

void TestCWS_TCP_C::givesUpAfterTenSecondsWithoutAnswer()
{
    // A listener with a full accept queue drops further handshakes unanswered, as a host that
    // vanished would.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(listener >= 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), length) == 0);
    QVERIFY(::listen(listener, 0) == 0);
    QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0);
    const int port = ntohs(address.sin_port);
    QTcpSocket filler;
    filler.connectToHost(QHostAddress::LocalHost, quint16(port));
    QVERIFY(filler.waitForConnected(5000));

    CWS_TCP_C client;
    ClientEvents events(client);
    QElapsedTimer clock;
    clock.start();
    client.OpenConnection(QStringLiteral("127.0.0.1"), port);
    QVERIFY(events.failed.wait(15000));
    const qint64 waited = clock.elapsed();
    ::close(listener);
    if (events.connected.count() > 0)
        QSKIP("this kernel answered the handshake despite the full queue");
    QVERIFY2(waited >= 9500 && waited < 12000, qPrintable(QString::number(waited)));
    QCOMPARE(events.failed.count(), 1);
}

void TestCWS_TCP_C::putsOneFramePerSend()
{
    RawServer server;
    QVERIFY(server.listen());
    CWS_TCP_C client;
    ClientEvents events(client);
    client.OpenConnection(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(events.connected.wait(5000));
    QVERIFY(server.waitForPeer());
    client.SendData(QStringLiteral("あ"));
    client.SendData(QString());
    client.SendData(QStringLiteral("a\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(server.wire.size(), 7 + 4 + 7, 5000);
    QCOMPARE(server.wire,
             QByteArray("\0\0\0\3\xe3\x81\x82"
                        "\0\0\0\0"
                        "\0\0\0\3a\r\n",
                        18));
}

void TestCWS_TCP_C::deliversFramesSplitAndCoalesced()
{
    RawServer server;
    QVERIFY(server.listen());
    CWS_TCP_C client;
    ClientEvents events(client);
    client.OpenConnection(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(events.connected.wait(5000));
    QVERIFY(server.waitForPeer());
    const QByteArray stream = frameOf(QStringLiteral("日本語🎌").toUtf8()) + frameOf("")
            + frameOf("1@Default   |a|b\r\n");
    for (qsizetype at = 0; at < 9; ++at) {
        server.peer->write(stream.mid(at, 1));
        server.peer->flush();
        QCoreApplication::processEvents();
    }
    QCOMPARE(events.texts.count(), 0);
    server.peer->write(stream.mid(9));
    QTRY_COMPARE_WITH_TIMEOUT(events.texts.count(), 3, 5000);
    QCOMPARE(events.texts.at(0).first().toString(), QStringLiteral("日本語🎌"));
    QCOMPARE(events.texts.at(1).first().toString(), QString());
    QCOMPARE(events.texts.at(2).first().toString(), QStringLiteral("1@Default   |a|b\r\n"));
}

void TestCWS_TCP_C::ignoresSendWhileNotConnected()
{
    RawServer server;
    QVERIFY(server.listen());
    CWS_TCP_C client;
    ClientEvents events(client);
    client.SendData(QStringLiteral("before opening"));
    client.OpenConnection(QStringLiteral("127.0.0.1"), server.port());
    client.SendData(QStringLiteral("while connecting"));
    QVERIFY(events.connected.wait(5000));
    client.SendData(QStringLiteral("connected"));
    QVERIFY(server.waitForPeer());
    QTRY_COMPARE_WITH_TIMEOUT(server.received.size(), 1, 5000);
    client.CloseConnection();
    client.SendData(QStringLiteral("after closing"));
    QTRY_COMPARE_WITH_TIMEOUT(server.peer->state(), QAbstractSocket::UnconnectedState, 5000);
    QCOMPARE(server.received, QList<QByteArray>{"connected"});
}

void TestCWS_TCP_C::serverCloseRaisesConnectCloseAfterTheLastTexts()
{
    RawServer server;
    QVERIFY(server.listen());
    CWS_TCP_C client;
    ClientEvents events(client);
    QStringList order;
    connect(&client, &CWS_TCP_C::GetData, this, [&order](const QString &text) { order << text; });
    connect(&client, &CWS_TCP_C::ConnectClose, this,
            [&order] { order << QStringLiteral("closed"); });
    client.OpenConnection(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(events.connected.wait(5000));
    QVERIFY(server.waitForPeer());
    server.peer->write(frameOf("one") + frameOf("two"));
    server.peer->disconnectFromHost();
    QVERIFY(events.closed.wait(5000));
    QCOMPARE(order, (QStringList{"one", "two", "closed"}));
    QCOMPARE(client.SocketNumber(), 0);
    QCOMPARE(events.failed.count(), 0);
    // Nothing more follows the close.
    client.SendData(QStringLiteral("into the void"));
    RawServer other;
    QVERIFY(other.listen());
    client.OpenConnection(QStringLiteral("127.0.0.1"), other.port());
    QVERIFY(events.connected.wait(5000));
    QCOMPARE(events.closed.count(), 1);
}

void TestCWS_TCP_C::oversizedFrameDropsTheConnection()
{
    RawServer server;
    QVERIFY(server.listen());
    CWS_TCP_C client;
    ClientEvents events(client);
    client.OpenConnection(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(events.connected.wait(5000));
    QVERIFY(server.waitForPeer());
    QByteArray header(4, '\0');
    qToBigEndian<quint32>(1024 * 1024 + 1, header.data());
    server.peer->write(frameOf("fine") + header + QByteArray(64, 'x'));
    QVERIFY(events.closed.wait(5000));
    QCOMPARE(events.texts.count(), 1);
    QCOMPARE(events.closed.count(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(server.peer->state(), QAbstractSocket::UnconnectedState, 5000);
}

void TestCWS_TCP_C::ownCloseRaisesNoConnectClose()
{
    RawServer server;
    QVERIFY(server.listen());
    CWS_TCP_C client;
    ClientEvents events(client);
    client.OpenConnection(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(events.connected.wait(5000));
    QVERIFY(server.waitForPeer());
    client.SendData(QStringLiteral("bye"));
    client.CloseConnection();
    // What was sent before the close still arrives; then the server sees the close.
    QTRY_COMPARE_WITH_TIMEOUT(server.received, QList<QByteArray>{"bye"}, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(server.peer->state(), QAbstractSocket::UnconnectedState, 5000);
    QCOMPARE(events.closed.count(), 0);
    QCOMPARE(events.failed.count(), 0);
}

void TestCWS_TCP_C::closingInsideGetDataStopsFurtherTexts()
{
    RawServer server;
    QVERIFY(server.listen());
    CWS_TCP_C client;
    ClientEvents events(client);
    connect(&client, &CWS_TCP_C::GetData, &client, [&client] { client.CloseConnection(); });
    client.OpenConnection(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(events.connected.wait(5000));
    QVERIFY(server.waitForPeer());
    server.peer->write(frameOf("one") + frameOf("two"));
    QVERIFY(events.texts.wait(5000));
    QTRY_COMPARE_WITH_TIMEOUT(server.peer->state(), QAbstractSocket::UnconnectedState, 5000);
    QCOMPARE(events.texts.count(), 1);
    QCOMPARE(events.closed.count(), 0);
}

void TestCWS_TCP_C::survivesBeingDestroyedInsideGetData()
{
    RawServer server;
    QVERIFY(server.listen());
    auto client = std::make_unique<CWS_TCP_C>();
    QSignalSpy connected(client.get(), &CWS_TCP_C::Connect);
    int texts = 0;
    connect(client.get(), &CWS_TCP_C::GetData, this, [&client, &texts] {
        ++texts;
        client.reset();
    });
    client->OpenConnection(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(connected.wait(5000));
    QVERIFY(server.waitForPeer());
    server.peer->write(frameOf("one") + frameOf("two"));
    QTRY_VERIFY_WITH_TIMEOUT(!client, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(server.peer->state(), QAbstractSocket::UnconnectedState, 5000);
    QCOMPARE(texts, 1);
}

void TestCWS_TCP_C::reconnectsAfterADrop()
{
    RawServer server;
    QVERIFY(server.listen());
    CWS_TCP_C client;
    ClientEvents events(client);
    client.OpenConnection(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(events.connected.wait(5000));
    QVERIFY(server.waitForPeer());
    server.peer->abort();
    QVERIFY(events.closed.wait(5000));
    client.OpenConnection(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(events.connected.wait(5000));
    QTRY_VERIFY_WITH_TIMEOUT(server.peer && server.peer->state() == QAbstractSocket::ConnectedState,
                             5000);
    server.peer->write(frameOf("again"));
    QVERIFY(events.texts.wait(5000));
    QCOMPARE(events.texts.last().first().toString(), QStringLiteral("again"));
    QCOMPARE(events.closed.count(), 1);
}

void TestCWS_TCP_C::infoViewFollowsInfoVisibleAndTheTraffic()
{
    ViewLog<socks::ClientStatus> log;
    RawServer server;
    QVERIFY(server.listen());
    auto client = std::make_unique<CWS_TCP_C>();
    QSignalSpy connected(client.get(), &CWS_TCP_C::Connect);
    client->OpenConnection(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(connected.wait(5000));
    // Without a view factory, as in a program without widgets, there is nothing to show.
    socks::InfoDisplay<socks::ClientStatus>::setFactory({});
    client->setInfoVisible(true);
    QVERIFY(!client->InfoVisible());

    log.install();
    client->setInfoVisible(true);
    QVERIFY(client->InfoVisible());
    QCOMPARE(log.made, 1);
    QCOMPARE(log.last.state, QStringLiteral("接続済み"));
    QCOMPARE(log.last.socketNumber, client->SocketNumber());
    client->SendData(QStringLiteral("abc"));
    QTRY_COMPARE_WITH_TIMEOUT(log.last.textsOut, 1, 5000);
    QCOMPARE(log.last.bytesOut, 7);

    client->setInfoVisible(false);
    QVERIFY(!client->InfoVisible());
    client->setInfoVisible(true);
    QCOMPARE(log.made, 1);
    log.shown = false; // the user closed it
    QVERIFY(!client->InfoVisible());
    socks::InfoDisplay<socks::ClientStatus>::setFactory({});
}

QTEST_MAIN(TestCWS_TCP_C)
#include "tst_CWS_TCP_C.moc"
