#include "net/CWS_TCP_C.h"
#include "net/ClientStatus.h"
#include "net/InfoDisplay.h"
#include "tests/support/InfoViewLog.h"
#include "tests/support/Waits.h"
#include "tests/support/WireClient.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using socks::CWS_TCP_C;

using testsupport::frameOf;
using testsupport::waitTimeout;
using testsupport::WireServer;

namespace {

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

// A client connected to a raw server, both ends up: the set-up of most cases.
struct Link
{
    WireServer server;
    CWS_TCP_C client;
    ClientEvents events{client};

    bool open()
    {
        if (!server.listen())
            return false;
        client.OpenConnection(QStringLiteral("127.0.0.1"), server.port());
        return events.connected.wait(waitTimeout) && server.waitForPeer();
    }
};

int refusedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort(); // closed when probe goes, so nobody listens there
}

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
    void serverThatNeverReadsIsLostPastEightMiBUnsent();

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
    WireServer server;
    QVERIFY(server.listen(QHostAddress::Any));
    CWS_TCP_C client;
    ClientEvents events(client);
    client.OpenConnection(host, server.port());
    QCOMPARE(events.connected.count(), 0);
    if (!events.connected.wait(waitTimeout)
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
    WireServer server;
    QVERIFY(server.listen());
    CWS_TCP_C first;
    CWS_TCP_C second;
    QSignalSpy firstUp(&first, &CWS_TCP_C::Connect);
    QSignalSpy secondUp(&second, &CWS_TCP_C::Connect);
    QCOMPARE(first.SocketNumber(), 0);
    first.OpenConnection(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(firstUp.wait(waitTimeout));
    QVERIFY(server.waitForPeer());
    QCOMPARE(first.SocketNumber(), int(server.peer->peerPort()));
    second.OpenConnection(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(secondUp.wait(waitTimeout));
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
    QVERIFY(filler.waitForConnected(waitTimeout));

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
    Link link;
    QVERIFY(link.open());
    auto &[server, client, events] = link;
    client.SendData(QStringLiteral("あ"));
    client.SendData(QString());
    client.SendData(QStringLiteral("a\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(server.wire.size(), 7 + 4 + 7, waitTimeout);
    QCOMPARE(server.wire,
             QByteArray("\0\0\0\3\xe3\x81\x82"
                        "\0\0\0\0"
                        "\0\0\0\3a\r\n",
                        18));
}

void TestCWS_TCP_C::deliversFramesSplitAndCoalesced()
{
    Link link;
    QVERIFY(link.open());
    auto &[server, client, events] = link;
    const QByteArray stream = frameOf(QStringLiteral("日本語🎌").toUtf8()) + frameOf("")
            + frameOf("1@Default   |a|b\r\n");
    for (qsizetype at = 0; at < 9; ++at) {
        server.peer->write(stream.mid(at, 1));
        server.peer->flush();
        QCoreApplication::processEvents();
    }
    QCOMPARE(events.texts.count(), 0);
    server.peer->write(stream.mid(9));
    QTRY_COMPARE_WITH_TIMEOUT(events.texts.count(), 3, waitTimeout);
    QCOMPARE(events.texts.at(0).first().toString(), QStringLiteral("日本語🎌"));
    QCOMPARE(events.texts.at(1).first().toString(), QString());
    QCOMPARE(events.texts.at(2).first().toString(), QStringLiteral("1@Default   |a|b\r\n"));
}

void TestCWS_TCP_C::ignoresSendWhileNotConnected()
{
    WireServer server;
    QVERIFY(server.listen());
    CWS_TCP_C client;
    ClientEvents events(client);
    client.SendData(QStringLiteral("before opening"));
    client.OpenConnection(QStringLiteral("127.0.0.1"), server.port());
    client.SendData(QStringLiteral("while connecting"));
    QVERIFY(events.connected.wait(waitTimeout));
    client.SendData(QStringLiteral("connected"));
    QVERIFY(server.waitForPeer());
    QTRY_COMPARE_WITH_TIMEOUT(server.received.size(), 1, waitTimeout);
    client.CloseConnection();
    client.SendData(QStringLiteral("after closing"));
    QVERIFY(server.waitForPeerGone());
    QCOMPARE(server.received, QList<QByteArray>{"connected"});
}

void TestCWS_TCP_C::serverThatNeverReadsIsLostPastEightMiBUnsent()
{
    Link link;
    link.server.neverReads = true;
    QVERIFY(link.open());
    auto &[server, client, events] = link;
    const QString text(64 * 1024, QLatin1Char('x'));
    // 64 MiB: the 8 MiB bound plus whatever the kernel buffers on both ends, many times over.
    constexpr int maxSends = 1024;
    int sends = 0;
    while (events.closed.isEmpty() && sends < maxSends) {
        client.SendData(text);
        ++sends;
        QCoreApplication::processEvents();
    }
    QCOMPARE(events.closed.count(), 1);
    // Nothing is lost early: the kernel took its share and 8 MiB more waited before the end.
    const qint64 sentBytes = qint64(sends) * (4 + text.size());
    QVERIFY2(sentBytes > 8 * 1024 * 1024, qPrintable(QString::number(sentBytes)));
    QCOMPARE(client.SocketNumber(), 0);
    QCOMPARE(events.failed.count(), 0);
    client.SendData(text);
    QCoreApplication::processEvents();
    QCOMPARE(events.closed.count(), 1);
}

void TestCWS_TCP_C::serverCloseRaisesConnectCloseAfterTheLastTexts()
{
    Link link;
    QVERIFY(link.open());
    auto &[server, client, events] = link;
    QStringList order;
    connect(&client, &CWS_TCP_C::GetData, this, [&order](const QString &text) { order << text; });
    connect(&client, &CWS_TCP_C::ConnectClose, this,
            [&order] { order << QStringLiteral("closed"); });
    server.peer->write(frameOf("one") + frameOf("two"));
    server.peer->disconnectFromHost();
    QVERIFY(events.closed.wait(waitTimeout));
    QCOMPARE(order, (QStringList{"one", "two", "closed"}));
    QCOMPARE(client.SocketNumber(), 0);
    QCOMPARE(events.failed.count(), 0);
    // Nothing more follows the close.
    client.SendData(QStringLiteral("into the void"));
    WireServer other;
    QVERIFY(other.listen());
    client.OpenConnection(QStringLiteral("127.0.0.1"), other.port());
    QVERIFY(events.connected.wait(waitTimeout));
    QCOMPARE(events.closed.count(), 1);
}

void TestCWS_TCP_C::oversizedFrameDropsTheConnection()
{
    Link link;
    QVERIFY(link.open());
    auto &[server, client, events] = link;
    QByteArray header(4, '\0');
    qToBigEndian<quint32>(1024 * 1024 + 1, header.data());
    server.peer->write(frameOf("fine") + header + QByteArray(64, 'x'));
    QVERIFY(events.closed.wait(waitTimeout));
    QCOMPARE(events.texts.count(), 1);
    QCOMPARE(events.closed.count(), 1);
    QVERIFY(server.waitForPeerGone());
}

void TestCWS_TCP_C::ownCloseRaisesNoConnectClose()
{
    Link link;
    QVERIFY(link.open());
    auto &[server, client, events] = link;
    client.SendData(QStringLiteral("bye"));
    client.CloseConnection();
    // What was sent before the close still arrives; then the server sees the close.
    QTRY_COMPARE_WITH_TIMEOUT(server.received, QList<QByteArray>{"bye"}, waitTimeout);
    QVERIFY(server.waitForPeerGone());
    QCOMPARE(events.closed.count(), 0);
    QCOMPARE(events.failed.count(), 0);
}

void TestCWS_TCP_C::closingInsideGetDataStopsFurtherTexts()
{
    Link link;
    QVERIFY(link.open());
    auto &[server, client, events] = link;
    connect(&link.client, &CWS_TCP_C::GetData, &link.client,
            [&link] { link.client.CloseConnection(); });
    server.peer->write(frameOf("one") + frameOf("two"));
    QVERIFY(events.texts.wait(waitTimeout));
    QVERIFY(server.waitForPeerGone());
    QCOMPARE(events.texts.count(), 1);
    QCOMPARE(events.closed.count(), 0);
}

void TestCWS_TCP_C::survivesBeingDestroyedInsideGetData()
{
    WireServer server;
    QVERIFY(server.listen());
    auto client = std::make_unique<CWS_TCP_C>();
    QSignalSpy connected(client.get(), &CWS_TCP_C::Connect);
    int texts = 0;
    connect(client.get(), &CWS_TCP_C::GetData, this, [&client, &texts] {
        ++texts;
        client.reset();
    });
    client->OpenConnection(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(connected.wait(waitTimeout));
    QVERIFY(server.waitForPeer());
    server.peer->write(frameOf("one") + frameOf("two"));
    QTRY_VERIFY_WITH_TIMEOUT(!client, waitTimeout);
    QVERIFY(server.waitForPeerGone());
    QCOMPARE(texts, 1);
}

void TestCWS_TCP_C::reconnectsAfterADrop()
{
    Link link;
    QVERIFY(link.open());
    auto &[server, client, events] = link;
    server.peer->abort();
    QVERIFY(events.closed.wait(waitTimeout));
    client.OpenConnection(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(events.connected.wait(waitTimeout));
    QTRY_VERIFY_WITH_TIMEOUT(server.peer && server.peer->state() == QAbstractSocket::ConnectedState,
                             waitTimeout);
    server.peer->write(frameOf("again"));
    QVERIFY(events.texts.wait(waitTimeout));
    QCOMPARE(events.texts.last().first().toString(), QStringLiteral("again"));
    QCOMPARE(events.closed.count(), 1);
}

void TestCWS_TCP_C::infoViewFollowsInfoVisibleAndTheTraffic()
{
    testsupport::InfoViewLog<socks::ClientStatus> log;
    WireServer server;
    QVERIFY(server.listen());
    auto client = std::make_unique<CWS_TCP_C>();
    QSignalSpy connected(client.get(), &CWS_TCP_C::Connect);
    client->OpenConnection(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(connected.wait(waitTimeout));
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
    QTRY_COMPARE_WITH_TIMEOUT(log.last.traffic.textsOut, 1, waitTimeout);
    QCOMPARE(log.last.traffic.bytesOut, 7);

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
