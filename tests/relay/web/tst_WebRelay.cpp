#include "net/CWS_TCP_S.h"
#include "relay/web/WebRelay.h"
#include "tests/support/RelayProcess.h"

#include <QAbstractEventDispatcher>
#include <QTcpSocket>
#include <QWebSocket>
#include <QtEndian>
#include <QtTest>

#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// The relay's web port at its edge, on real sockets over 127.0.0.1: what it serves, what it
// refuses, and how browsers share the room, against Qt's own WebSocket client and raw sockets.
class TestWebRelay : public QObject
{
    Q_OBJECT

private slots:
    // page
    void servesThePageWithItsPolicy();
    void refusesAnythingElse_data();
    void refusesAnythingElse();
    void answeredRequestsLeaveNothingBehind();

    // room
    void browsersAndClientsSeeOneOrder();
    void browserThatStopsReadingAmongTcpReaders();
    void oversizedMessageClosesThatBrowserOnly();
    void binaryMessageClosesThatBrowser();
    void unmaskedFrameClosesThatBrowser();
    void textsBeforeACloseStillArrive();
    void browserThatStopsReadingIsDroppedWhileReadersGoOn();
    void stalledBrowserHoldsOnlyAWindowOfCopies();
    void browsersBehindHoldTheRoomsInput();
    void stoppedReadingHoldsBrowsersTexts();
    void browserSendingWhileReadingStopsIsSlowedByTcp();
    void unfinishedMessagesCountTowardTheRoomsBudget();
    void fragmentedMessagesCountTowardTheRoomsBudget();
    void browserThatNeverAnswersPingsIsDropped();
};

namespace {

constexpr int waitMilliseconds = testsupport::waitTimeout;
using testsupport::waitUntil;

const QByteArray upgradeFields = "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                 "Sec-WebSocket-Version: 13\r\n";

QByteArray chatHead(int port, const QByteArray &origin)
{
    const QByteArray host = "127.0.0.1:" + QByteArray::number(port);
    return "GET /chat HTTP/1.1\r\nHost: " + host + "\r\n" + upgradeFields + "Origin: " + origin
            + "\r\n\r\n";
}

// A browser's frame head for `length` bytes of a text message, its first frame or a later one,
// its last or not: the length in 7 bits below 126, else in 8 bytes (the protocol wants the
// shortest form, so only lengths past 64 KiB may take that), masked with a zero key, so the
// payload goes as it is.
QByteArray textFrameHead(quint64 length, bool last, bool first = true)
{
    QByteArray head(1, char((last ? 0x80 : 0x00) | (first ? 0x01 : 0x00)));
    if (length < 126) {
        head += char(0x80 | length);
    } else {
        head += char(0xff);
        head += QByteArray(8, '\0');
        qToBigEndian<quint64>(length, head.data() + 2);
    }
    return head + QByteArray(4, '\0');
}

QByteArray ownOrigin(int port)
{
    return "http://127.0.0.1:" + QByteArray::number(port);
}

// Sends bytes and collects everything until the relay closes the connection.
struct RawRequest
{
    QTcpSocket socket;
    QByteArray answer;

    bool send(int port, const QByteArray &bytes)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket,
                         [this] { answer += socket.readAll(); });
        socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
        if (!socket.waitForConnected(waitMilliseconds))
            return false;
        socket.write(bytes);
        return true;
    }

    bool waitClosed(int timeout = waitMilliseconds)
    {
        return waitUntil([this] { return socket.state() == QAbstractSocket::UnconnectedState; },
                         timeout);
    }
};

// A browser that opened the chat and then never reads a byte: its receive buffer is tiny, so
// what the relay sends it piles up at the relay. Never answers a ping either.
class StalledBrowser
{
public:
    ~StalledBrowser()
    {
        if (descriptor >= 0)
            ::close(descriptor);
    }

    bool open(int port)
    {
        descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int small = 4096;
        ::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            return false;
        const QByteArray head = chatHead(port, ownOrigin(port));
        if (::send(descriptor, head.constData(), size_t(head.size()), MSG_NOSIGNAL) != head.size())
            return false;
        // The relay answers in its own event loop, which the waits below keep turning.
        QByteArray answer;
        return waitUntil([&] {
            pollfd ready{descriptor, POLLIN, 0};
            char byte = 0;
            while (!answer.endsWith("\r\n\r\n") && ::poll(&ready, 1, 0) > 0
                   && ::recv(descriptor, &byte, 1, 0) == 1)
                answer += byte;
            return answer.startsWith("HTTP/1.1 101") && answer.endsWith("\r\n\r\n");
        });
    }

    bool send(const QByteArray &bytes)
    {
        return ::send(descriptor, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL)
                == bytes.size();
    }

    // The port the relay sees it come from.
    int localPort() const
    {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (::getsockname(descriptor, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            return 0;
        return ntohs(address.sin_port);
    }

    // Whether the relay has closed or cut the connection: the descriptor reads an end or fails
    // once what was sent before is drained.
    bool isGone()
    {
        pollfd ready{descriptor, POLLIN, 0};
        char buffer[65536];
        while (::poll(&ready, 1, 0) > 0) {
            const ssize_t got = ::recv(descriptor, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got <= 0)
                return true;
        }
        return false;
    }

private:
    int descriptor = -1;
};

struct Browser
{
    QWebSocket socket;
    QStringList received;

    explicit Browser(int port)
        : socket(QString::fromLatin1(ownOrigin(port)))
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket,
                         [this](const QString &text) { received << text; });
        socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/chat").arg(port)));
    }

    bool waitConnected()
    {
        return waitUntil([this] { return socket.state() == QAbstractSocket::ConnectedState; });
    }
};

// The room as the relay runs it, with its web port: every text goes to everyone.
struct Room
{
    socks::CWS_TCP_S room;
    WebRelay web{&room};
    QStringList arrived;

    explicit Room(const WebRelay::Limits &limits = WebRelay::defaultLimits())
    {
        web.setLimits(limits);
        QObject::connect(&room, &socks::CWS_TCP_S::GetData, &room,
                         [this](int, const QString &text) {
                             arrived << text.left(20);
                             room.SendData(text, 0);
                         });
        QObject::connect(&room, &socks::CWS_TCP_S::ServiceError, &room,
                         [this](int index) { room.CloseConnection(index); });
    }

    bool start() { return web.start(QHostAddress::LocalHost, 0); }
    int port() const { return web.port(); }
    // The browsers have connected and the room counts them, with nobody else.
    bool joined(std::initializer_list<Browser *> browsers)
    {
        for (Browser *browser : browsers) {
            if (!browser->waitConnected())
                return false;
        }
        return waitUntil([&] { return count() == int(browsers.size()); });
    }
    int count() const { return room.ConnectionCount(); }
};

// A room whose budget for unfinished input is 1 MiB, two browsers that will take part of it,
// and one that reads.
struct BudgetRoom
{
    Room room;
    StalledBrowser larger, smaller;
    std::optional<Browser> reader;

    bool start()
    {
        socks::RelayLimits limits = socks::CWS_TCP_S::defaultLimits();
        limits.unfinishedBytes = 1024 * 1024;
        room.room.setLimits(limits);
        if (!room.start() || !larger.open(room.port()) || !smaller.open(room.port()))
            return false;
        reader.emplace(room.port());
        return reader->waitConnected() && waitUntil([this] { return room.count() == 3; });
    }
};

WebRelay::Limits quickLimits()
{
    WebRelay::Limits limits = WebRelay::defaultLimits();
    limits.headMilliseconds = 300;
    return limits;
}

} // namespace

void TestWebRelay::servesThePageWithItsPolicy()
{
    Room room;
    QVERIFY(room.start());
    WebRelay &web = room.web;
    struct File
    {
        QByteArray path;
        QByteArray type;
        QByteArray content;
    };
    const File files[] = {{"/", "text/html; charset=utf-8", "<html lang=\"ja\">"},
                          {"/chat.js", "text/javascript; charset=utf-8", "textContent = item"},
                          {"/chat.css", "text/css; charset=utf-8", "#log"},
                          {"/icon.png", "image/png", "PNG"}};
    for (const File &file : files) {
        RawRequest request;
        QVERIFY(request.send(web.port(),
                             "GET " + file.path + " HTTP/1.1\r\nHost: 127.0.0.1:"
                                     + QByteArray::number(web.port()) + "\r\n\r\n"));
        QVERIFY2(request.waitClosed(), file.path.constData());
        QVERIFY2(request.answer.startsWith("HTTP/1.1 200 OK\r\n"), request.answer.left(80));
        QVERIFY(request.answer.contains("\r\nContent-Type: " + file.type + "\r\n"));
        QVERIFY(request.answer.contains(
                "\r\nContent-Security-Policy: default-src 'none'; script-src 'self'; style-src "
                "'self'; img-src 'self'; connect-src 'self'; base-uri 'none'; form-action "
                "'none'; frame-ancestors 'none'\r\n"));
        QVERIFY(request.answer.contains("\r\nX-Content-Type-Options: nosniff\r\n"));
        const qsizetype bodyStart = request.answer.indexOf("\r\n\r\n") + 4;
        const QByteArray body = request.answer.mid(bodyStart);
        QVERIFY(request.answer.contains("\r\nContent-Length: " + QByteArray::number(body.size())
                                        + "\r\n"));
        QVERIFY2(body.contains(file.content), file.path.constData());
    }
}

void TestWebRelay::refusesAnythingElse_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status");

    const QByteArray fill = "X-Fill: " + QByteArray(1000, 'a') + "\r\n";
    QTest::newRow("unknown path") << QByteArray(
            "GET /etc/passwd HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                                  << QByteArray("404");
    QTest::newRow("oversized head")
            << "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + fill.repeated(9) << QByteArray("431");
    QTest::newRow("head not finished in time")
            << QByteArray("GET / HTTP/1.1\r\nHost: 127.0") << QByteArray("408");
    QTest::newRow("foreign origin") << chatHead(0, "http://evil.example") << QByteArray("403");
    QTest::newRow("foreign host name")
            << QByteArray("GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n") << QByteArray("421");
    QTest::newRow("a body") << QByteArray("POST / HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                          "Content-Length: 4\r\n\r\nabcd")
                            << QByteArray("400");
}

void TestWebRelay::answeredRequestsLeaveNothingBehind()
{
    // A request's deadlines go with its socket. Timers left to run out after their socket had
    // gone held memory for 10 s after each request: under a stream of requests, tens of MiB.
    Room room;
    QVERIFY(room.start());
    const auto timers = [] {
        return QAbstractEventDispatcher::instance()->findChildren<QObject *>().size();
    };
    const qsizetype before = timers();
    for (int request = 0; request < 20; ++request) {
        RawRequest page;
        QVERIFY(page.send(room.port(),
                          "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(room.port())
                                  + "\r\n\r\n"));
        QVERIFY(page.waitClosed());
    }
    QVERIFY2(waitUntil([&] { return timers() <= before; }),
             qPrintable(QStringLiteral("%1 timers left of %2 before").arg(timers()).arg(before)));
}

void TestWebRelay::refusesAnythingElse()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);

    Room room(quickLimits());
    QVERIFY(room.start());
    RawRequest raw;
    QVERIFY(raw.send(
            room.port(),
            request.replace("127.0.0.1:0", "127.0.0.1:" + QByteArray::number(room.port()))));
    // The relay closes the connection after its answer: nothing else is read or served.
    QVERIFY(raw.waitClosed());
    QVERIFY2(raw.answer.startsWith("HTTP/1.1 " + status + ' '), raw.answer.left(80));
    QCOMPARE(room.count(), 0);
}

void TestWebRelay::browsersAndClientsSeeOneOrder()
{
    // The whole relay, as an administrator starts it: browsers and the program's clients in one
    // room.
    testsupport::RelayProcess relay;
    QVERIFY(relay.start(relay.unlimited() + relay.web()));
    const int tcpPort = relay.port;
    const int webPort = relay.webPort;

    std::vector<std::unique_ptr<Browser>> browsers;
    std::vector<std::unique_ptr<testsupport::WireClient>> clients;
    for (int each = 0; each < 2; ++each) {
        browsers.push_back(std::make_unique<Browser>(webPort));
        clients.push_back(std::make_unique<testsupport::WireClient>(tcpPort));
    }
    for (int each = 0; each < 2; ++each) {
        QVERIFY(browsers[std::size_t(each)]->waitConnected());
        QVERIFY(clients[std::size_t(each)]->waitConnected());
    }
    // Wait until the relay has taken every connection: a first text reaches all four.
    clients[0]->send(QStringLiteral("ready"));
    QVERIFY(waitUntil([&] {
        for (const auto &browser : browsers)
            if (browser->received.size() < 1)
                return false;
        return clients[1]->received.size() >= 1;
    }));
    constexpr int textsEach = 25;
    for (int round = 0; round < textsEach; ++round) {
        for (int each = 0; each < 2; ++each) {
            browsers[std::size_t(each)]->socket.sendTextMessage(
                    QStringLiteral("browser %1 text %2\r\n").arg(each).arg(round));
            clients[std::size_t(each)]->send(
                    QStringLiteral("client %1 text %2\r\n").arg(each).arg(round));
        }
    }
    const int expected = 1 + 4 * textsEach;
    QVERIFY(waitUntil(
            [&] {
                for (const auto &browser : browsers)
                    if (browser->received.size() < expected)
                        return false;
                for (const auto &client : clients)
                    if (client->received.size() < expected)
                        return false;
                return true;
            },
            2 * waitMilliseconds));
    const QStringList order = clients[0]->received;
    QCOMPARE(order.size(), expected);
    QCOMPARE(clients[1]->received, order);
    QCOMPARE(browsers[0]->received, order);
    QCOMPARE(browsers[1]->received, order);
    // Each sender's own texts keep the order they were sent in.
    for (const QString &sender : {QStringLiteral("browser 0"), QStringLiteral("client 1")}) {
        int next = 0;
        for (const QString &text : order) {
            if (text.startsWith(sender)) {
                QCOMPARE(text, QStringLiteral("%1 text %2\r\n").arg(sender).arg(next));
                ++next;
            }
        }
        QCOMPARE(next, textsEach);
    }
}

void TestWebRelay::browserThatStopsReadingAmongTcpReaders()
{
    // One browser takes nothing while a TCP client floods 24 MiB: the readers of both kinds get
    // every text in order and the browser is dropped, as a TCP client that stopped reading is.
    testsupport::RelayProcess relay;
    QVERIFY(relay.start(relay.unlimited() + relay.web()));
    StalledBrowser stalled;
    QVERIFY(stalled.open(relay.webPort));
    Browser browser(relay.webPort);
    testsupport::WireClient reader(relay.port), sender(relay.port);
    QVERIFY(browser.waitConnected());
    QVERIFY(reader.waitConnected());
    QVERIFY(sender.waitConnected());
    sender.send(QStringLiteral("ready"));
    QVERIFY(waitUntil([&] { return browser.received.size() == 1 && reader.received.size() == 1; }));

    constexpr int texts = 384;
    const QString chunk(64 * 1024 - 8, u'x');
    int sent = 0;
    QVERIFY(waitUntil(
            [&] {
                // The sender keeps its own socket's buffer short: TCP slows it when the relay
                // stops reading.
                while (sent < texts && sender.socket.bytesToWrite() < 256 * 1024)
                    sender.send(QString::number(sent++) + u' ' + chunk);
                return sent == texts && browser.received.size() == 1 + texts
                        && reader.received.size() == 1 + texts;
            },
            12 * waitMilliseconds));
    for (int index = 0; index < texts; ++index) {
        QVERIFY(browser.received[1 + index].startsWith(QString::number(index) + u' '));
        QCOMPARE(reader.received[1 + index], browser.received[1 + index]);
    }
    QVERIFY(waitUntil([&] { return stalled.isGone(); }));
}

void TestWebRelay::oversizedMessageClosesThatBrowserOnly()
{
    Room room;
    QVERIFY(room.start());
    Browser big(room.port()), other(room.port());
    QVERIFY(room.joined({&big, &other}));

    // Exactly 1 MiB still passes; a byte more does not.
    big.socket.sendTextMessage(QString(1024 * 1024, u'a'));
    QVERIFY(waitUntil([&] { return other.received.size() == 1; }));
    QCOMPARE(other.received.constFirst().size(), 1024 * 1024);
    big.socket.sendTextMessage(QString(1024 * 1024 + 1, u'b'));
    QVERIFY(waitUntil([&] { return big.socket.state() == QAbstractSocket::UnconnectedState; }));
    QCOMPARE(big.socket.closeCode(), QWebSocketProtocol::CloseCodeTooMuchData);
    QVERIFY(waitUntil([&] { return room.count() == 1; }));
    // Its sockets go with it, not only when the relay ends.
    QVERIFY(waitUntil([&] { return room.web.findChildren<QTcpSocket *>().size() == 1; }));

    other.socket.sendTextMessage(QStringLiteral("still here"));
    QVERIFY(waitUntil([&] { return other.received.size() == 2; }));
    QCOMPARE(other.received.constLast(), QStringLiteral("still here"));
    QCOMPARE(room.arrived, QStringList({QString(20, u'a'), QStringLiteral("still here")}));
}

void TestWebRelay::binaryMessageClosesThatBrowser()
{
    Room room;
    QVERIFY(room.start());
    Browser browser(room.port());
    QVERIFY(browser.waitConnected());
    browser.socket.sendBinaryMessage(QByteArray("\x00\x01\x02", 3));
    QVERIFY(waitUntil([&] { return browser.socket.state() == QAbstractSocket::UnconnectedState; }));
    QCOMPARE(browser.socket.closeCode(), QWebSocketProtocol::CloseCodeDatatypeNotSupported);
    QVERIFY(room.arrived.isEmpty());
    QVERIFY(waitUntil([&] { return room.count() == 0; }));
}

void TestWebRelay::unmaskedFrameClosesThatBrowser()
{
    // Only a client that masks its frames is a browser's page (RFC 6455, 5.1): 1002 for others.
    Room room;
    QVERIFY(room.start());
    RawRequest raw;
    QVERIFY(raw.send(room.port(), chatHead(room.port(), ownOrigin(room.port())) + "\x81\x05hello"));
    QVERIFY(raw.waitClosed());
    QVERIFY2(raw.answer.endsWith("\x88\x02\x03\xea"), raw.answer.toHex().right(40));
    QCOMPARE(room.count(), 0);
    QVERIFY(room.arrived.isEmpty());
}

void TestWebRelay::textsBeforeACloseStillArrive()
{
    // A tab being closed sends its logout line and closes at once.
    Room room;
    QVERIFY(room.start());
    Browser leaving(room.port()), staying(room.port());
    QVERIFY(room.joined({&leaving, &staying}));
    for (int each = 0; each < 3; ++each)
        leaving.socket.sendTextMessage(QStringLiteral("line %1").arg(each));
    leaving.socket.close();
    QVERIFY(waitUntil([&] { return staying.received.size() == 3; }));
    QCOMPARE(staying.received,
             QStringList({QStringLiteral("line 0"), QStringLiteral("line 1"),
                          QStringLiteral("line 2")}));
    QVERIFY(waitUntil([&] { return room.count() == 1; }));
}

void TestWebRelay::browserThatStopsReadingIsDroppedWhileReadersGoOn()
{
    // The room relays 16 MiB while one browser takes nothing: it is dropped as a TCP client
    // would be, and the reader of each kind keeps receiving, in order.
    Room room;
    QVERIFY(room.start());
    QVERIFY(room.room.StartService(0));
    StalledBrowser stalled;
    QVERIFY(stalled.open(room.port()));
    Browser reader(room.port());
    testsupport::WireClient client(room.room.Port());
    QVERIFY(reader.waitConnected());
    QVERIFY(client.waitConnected());
    QVERIFY(waitUntil([&] { return room.count() == 3; }));

    const QString chunk(64 * 1024, u'x');
    constexpr int texts = 256;
    for (int sent = 0; sent < texts; ++sent) {
        room.room.SendData(QString::number(sent) + chunk, 0);
        // A reader that keeps up is never far behind: the room goes on at its pace.
        QVERIFY2(waitUntil([&] {
                     return reader.received.size() + 32 >= sent
                             && client.received.size() + 32 >= sent;
                 }),
                 qPrintable(QStringLiteral("reader has %1 of %2")
                                    .arg(reader.received.size())
                                    .arg(sent)));
    }
    QVERIFY(waitUntil(
            [&] { return reader.received.size() == texts && client.received.size() == texts; },
            3 * waitMilliseconds));
    for (int index = 0; index < texts; ++index) {
        QVERIFY(reader.received[index].startsWith(QString::number(index) + u'x'));
        QCOMPARE(client.received[index], reader.received[index]);
    }
    QVERIFY(waitUntil([&] { return stalled.isGone(); }));
    QCOMPARE(room.count(), 2);
}

void TestWebRelay::stalledBrowserHoldsOnlyAWindowOfCopies()
{
    // A browser that takes nothing falls behind by references to the room's chunks: its socket
    // holds no more than the window of them, whatever its backlog.
    Room room;
    QVERIFY(room.start());
    StalledBrowser stalled;
    QVERIFY(stalled.open(room.port()));
    Browser reader(room.port());
    QVERIFY(reader.waitConnected());
    QVERIFY(waitUntil([&] { return room.count() == 2; }));

    // One text a turn, each a chunk of its own that the socket would copy: 1 MiB in all.
    const QString text(4000, u'w');
    constexpr int texts = 256;
    for (int sent = 0; sent < texts; ++sent) {
        room.room.SendData(text, 0);
        QVERIFY(waitUntil([&] { return reader.received.size() > sent; }));
    }
    QTcpSocket *toStalled = nullptr;
    for (QTcpSocket *each : room.web.findChildren<QTcpSocket *>()) {
        if (each->peerPort() == stalled.localPort())
            toStalled = each;
    }
    QVERIFY(toStalled);
    // The window, 16 KiB, and the one message (4 bytes of head) that crossed it.
    QVERIFY2(toStalled->bytesToWrite() <= 16 * 1024 + 4004,
             qPrintable(QString::number(toStalled->bytesToWrite())));
    // 1 MiB behind is within the room's rules: it is still there.
    QCOMPARE(room.count(), 2);
    QVERIFY(!stalled.isGone());
}

void TestWebRelay::browsersBehindHoldTheRoomsInput()
{
    // Browsers are readers of the room like TCP clients: when one is far behind while the
    // owner's own texts come faster than anyone chats, the room tells its owner to hold them (a
    // bridge then stops reading its stream), and tells it again once they have caught up.
    Room room;
    QVERIFY(room.start());
    Browser first(room.port()), second(room.port());
    QVERIFY(room.joined({&first, &second}));
    QSignalSpy behind(&room.room, &socks::CWS_TCP_S::readersBehindChanged);

    // 6 MiB relayed at once, before either browser can take any of it: both are more than the
    // room's 4 MiB behind.
    const QString chunk(64 * 1024, u'x');
    constexpr int texts = 96;
    for (int sent = 0; sent < texts; ++sent)
        room.room.SendData(QString::number(sent) + u' ' + chunk, 0);
    QVERIFY(room.room.readersBehind());
    QVERIFY(waitUntil([&] { return behind.size() == 2; }, 3 * waitMilliseconds));
    QCOMPARE(behind.at(0).at(0).toBool(), true);
    QCOMPARE(behind.at(1).at(0).toBool(), false);
    QVERIFY(!room.room.readersBehind());
    QVERIFY(waitUntil(
            [&] { return first.received.size() == texts && second.received.size() == texts; }));
    for (int index = 0; index < texts; ++index)
        QVERIFY(first.received[index].startsWith(QString::number(index) + u' '));
    QCOMPARE(second.received, first.received);
    QCOMPARE(room.count(), 2);
}

void TestWebRelay::stoppedReadingHoldsBrowsersTexts()
{
    // When the room stops reading (a bridge that cannot keep up), browsers are not read either:
    // their texts come once it reads again.
    Room room;
    QVERIFY(room.start());
    Browser browser(room.port()), other(room.port());
    QVERIFY(room.joined({&browser, &other}));
    browser.socket.sendTextMessage(QStringLiteral("before"));
    QVERIFY(waitUntil([&] { return other.received.size() == 1; }));

    room.room.setReadingPaused(true);
    browser.socket.sendTextMessage(QStringLiteral("while stopped"));
    // A text relayed meanwhile still goes out; the browser's own text waits behind it.
    room.room.SendData(QStringLiteral("from the room"), 0);
    QVERIFY(waitUntil([&] { return other.received.size() == 2; }));
    QCOMPARE(room.arrived, QStringList{QStringLiteral("before")});
    room.room.setReadingPaused(false);
    QVERIFY(waitUntil([&] { return other.received.size() == 3; }));
    QCOMPARE(other.received,
             QStringList({QStringLiteral("before"), QStringLiteral("from the room"),
                          QStringLiteral("while stopped")}));
}

void TestWebRelay::browserSendingWhileReadingStopsIsSlowedByTcp()
{
    // While the room reads nothing (a bridge that cannot keep up), a browser that goes on sending
    // is held as a TCP client is: a bounded part waits at the relay, TCP keeps the rest with the
    // browser, and everything comes, in order, once the room reads again.
    Room room;
    QVERIFY(room.start());
    Browser sender(room.port()), other(room.port());
    QVERIFY(room.joined({&sender, &other}));
    room.room.setReadingPaused(true);

    constexpr int texts = 384; // 24 MiB, more than the kernel's buffers on both sides take
    const QString chunk(64 * 1024, u'z');
    for (int index = 0; index < texts; ++index)
        sender.socket.sendTextMessage(QString::number(index) + u' ' + chunk);
    // The relay's socket for it is no longer read: it holds its 64 KiB unread, and no more.
    QVERIFY(waitUntil([&] {
        for (QTcpSocket *each : room.web.findChildren<QTcpSocket *>()) {
            if (each->bytesAvailable() == 64 * 1024)
                return true;
        }
        return false;
    }));
    QVERIFY(room.arrived.isEmpty());
    QVERIFY2(sender.socket.bytesToWrite() > 4 * 1024 * 1024,
             qPrintable(QString::number(sender.socket.bytesToWrite())));

    room.room.setReadingPaused(false);
    QVERIFY(waitUntil([&] { return other.received.size() == texts; }, 6 * waitMilliseconds));
    for (int index = 0; index < texts; ++index)
        QVERIFY(other.received[index].startsWith(QString::number(index) + u' '));
    QCOMPARE(room.count(), 2);
}

void TestWebRelay::unfinishedMessagesCountTowardTheRoomsBudget()
{
    // Browsers that start large messages and never finish them hold the room's memory for
    // unfinished input, as TCP clients in the middle of a frame do: past the budget (1 MiB here)
    // the largest holder goes, and the others stay.
    BudgetRoom budget;
    QVERIFY(budget.start());
    Room &room = budget.room;
    StalledBrowser &larger = budget.larger, &smaller = budget.smaller;
    Browser &reader = *budget.reader;

    const QByteArray head = textFrameHead(1024 * 1024, true);
    QVERIFY(larger.send(head + QByteArray(600 * 1024, 'a')));
    QVERIFY(smaller.send(head + QByteArray(500 * 1024, 'b')));
    QVERIFY(waitUntil([&] { return larger.isGone() && room.count() == 2; }));
    QVERIFY(!smaller.isGone());
    reader.socket.sendTextMessage(QStringLiteral("still here"));
    QVERIFY(waitUntil([&] { return reader.received.size() == 1; }));
}

void TestWebRelay::fragmentedMessagesCountTowardTheRoomsBudget()
{
    // The first frames of a message in several wait at the relay for its last one: they hold
    // memory as an unfinished frame does, and count toward the same budget (1 MiB here). 700 and
    // 500 KiB of text hold 1.2 MiB: the larger goes.
    BudgetRoom budget;
    QVERIFY(budget.start());
    Room &room = budget.room;
    StalledBrowser &larger = budget.larger, &smaller = budget.smaller;
    Browser &reader = *budget.reader;

    QVERIFY(larger.send(textFrameHead(700 * 1024, false) + QByteArray(700 * 1024, 'a')));
    QVERIFY(smaller.send(textFrameHead(500 * 1024, false) + QByteArray(500 * 1024, 'b')));
    QVERIFY(waitUntil([&] { return larger.isGone() && room.count() == 2; }));
    QVERIFY(!smaller.isGone());
    // Its last frame makes the message whole: relayed as one text.
    QVERIFY(smaller.send(textFrameHead(3, true, false) + "end"));
    QVERIFY(waitUntil([&] { return reader.received.size() == 1; }));
    QCOMPARE(reader.received.constFirst(), QString(500 * 1024, u'b') + QStringLiteral("end"));
    reader.socket.sendTextMessage(QStringLiteral("still here"));
    QVERIFY(waitUntil([&] { return reader.received.size() == 2; }));
    QCOMPARE(room.count(), 2);
}

void TestWebRelay::browserThatNeverAnswersPingsIsDropped()
{
    WebRelay::Limits limits = WebRelay::defaultLimits();
    limits.keepAlive = {300, 300};
    Room room(limits);
    QVERIFY(room.start());
    StalledBrowser silent;
    QVERIFY(silent.open(room.port()));
    Browser answering(room.port());
    QVERIFY(answering.waitConnected());
    QVERIFY(waitUntil([&] { return room.count() == 2; }));

    // Qt's client answers pings by itself; the raw one does not and is given up. Both were silent
    // equally long.
    QVERIFY(waitUntil([&] { return silent.isGone(); }));
    QCOMPARE(room.count(), 1);
    QCOMPARE(answering.socket.state(), QAbstractSocket::ConnectedState);
}

QTEST_MAIN(TestWebRelay)
#include "tst_WebRelay.moc"
