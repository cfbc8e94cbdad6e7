#include "relay/RedisBridge.h"
#include "tests/support/ProcessStatus.h"
#include "tests/support/Sanitizers.h"
#include "tests/support/Waits.h"
#include "tests/support/WireClient.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QtTest>

#include <hiredis/hiredis.h>
#include <memory>
#include <signal.h>
#include <vector>

using testsupport::statusKib;
using testsupport::takeFrames;
using testsupport::waitTimeout;
using testsupport::waitUntil;
using testsupport::WireClient;

// Bridged relays against a real redis-server of their own on a free port, without persistence,
// driven by raw wire clients; plus the parts of the bridge that need no socket.
class TestRedisBridge : public QObject
{
    Q_OBJECT

private slots:
    // parsing
    void readsRedisUrls_data();
    void readsRedisUrls();
    void acceptsOnlyRelayEntries_data();
    void acceptsOnlyRelayEntries();

    // bridge
    void bridgedRelaysShowEveryTextInOneOrderAcrossARestart();
    void textsSentWhileRedisIsAwayArriveOnce();
    void entriesOfOtherWritersAreSkippedAndRepeatsDropped();
    void aStalledRedisHoldsTheSendersBack();
    void unreachableRedisEndsWithStatusOne();
};

namespace {

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

struct RedisServer
{
    QProcess process;
    int port = 0;

    ~RedisServer() { stop(); }

    bool start(int onPort)
    {
        port = onPort;
        process.start(QStringLiteral(PRYNECHAT_REDIS_SERVER),
                      {QStringLiteral("--port"), QString::number(port), QStringLiteral("--bind"),
                       QStringLiteral("127.0.0.1"), QStringLiteral("--save"), QString(),
                       QStringLiteral("--appendonly"), QStringLiteral("no")});
        QByteArray output;
        return waitUntil([&] {
            output += process.readAllStandardOutput();
            return output.contains("Ready to accept connections");
        });
    }

    // SIGTERM to its PID: the stream goes with it, nothing is saved.
    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        process.waitForFinished(waitTimeout);
    }

    QString url() const { return QStringLiteral("redis://127.0.0.1:%1/test").arg(port); }

    // Writes an entry as another program might.
    bool add(const std::vector<QByteArray> &fieldsAndValues)
    {
        std::unique_ptr<redisContext, void (*)(redisContext *)> context(
                redisConnect("127.0.0.1", port), redisFree);
        if (!context || context->err)
            return false;
        std::vector<const char *> argv{"XADD", "prynechat:test", "*"};
        std::vector<size_t> lengths{4, 14, 1};
        for (const QByteArray &each : fieldsAndValues) {
            argv.push_back(each.constData());
            lengths.push_back(size_t(each.size()));
        }
        auto *reply = static_cast<redisReply *>(
                redisCommandArgv(context.get(), int(argv.size()), argv.data(), lengths.data()));
        const bool added = reply && reply->type == REDIS_REPLY_STRING;
        freeReplyObject(reply);
        return added;
    }
};

struct Relay
{
    QProcess process;
    QByteArray errors;
    int port = 0;

    ~Relay() { stop(); }

    bool start(const QString &url)
    {
        process.start(QStringLiteral(PRYNECHAT_RELAY_EXECUTABLE),
                      {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--quiet"),
                       QStringLiteral("--bridge"), url});
        static const QRegularExpression startLine(QStringLiteral("relaying on \\S+:(\\d+)\\n"));
        QByteArray output;
        QRegularExpressionMatch match;
        waitUntil([&] {
            output += process.readAllStandardOutput();
            match = startLine.match(QString::fromUtf8(output));
            return match.hasMatch() || process.state() == QProcess::NotRunning;
        });
        port = match.hasMatch() ? match.captured(1).toInt() : 0;
        return port > 0;
    }

    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        process.waitForFinished(waitTimeout);
    }

    bool says(const QByteArray &text, int times = 1)
    {
        return waitUntil([&] {
            errors += process.readAllStandardError();
            return errors.count(text) >= times;
        });
    }

    // A client the relay has certainly taken on: its greeting has come back through Redis.
    std::unique_ptr<WireClient> join(const QString &greeting)
    {
        auto client = std::make_unique<WireClient>(port);
        if (!client->waitConnected())
            return nullptr;
        client->send(greeting);
        if (!waitUntil([&] { return client->received.contains(greeting); }))
            return nullptr;
        return client;
    }
};

// Every client sends its share of count texts, interleaved; then every client must have all of
// them, each once, in one order shared by all.
void chatAndCompare(const std::vector<WireClient *> &clients, const QString &tag, int count)
{
    std::vector<qsizetype> before;
    QStringList sent;
    for (WireClient *client : clients)
        before.push_back(client->received.size());
    for (int index = 0; index < count; ++index) {
        const QString text = QStringLiteral("%1 %2 テキスト\r\n").arg(tag).arg(index);
        clients[std::size_t(index) % clients.size()]->send(text);
        sent << text;
    }
    for (std::size_t index = 0; index < clients.size(); ++index)
        QVERIFY(clients[index]->waitForTexts(int(before[index]) + count));
    const QStringList order = clients[0]->received.mid(before[0]);
    QStringList sorted = order;
    sorted.sort();
    sent.sort();
    QCOMPARE(sorted, sent);
    for (std::size_t index = 1; index < clients.size(); ++index)
        QCOMPARE(clients[index]->received.mid(before[index]), order);
}

// A client for bulk traffic: counts the numbered texts it receives and checks their order
// without keeping them.
struct CountingClient
{
    QTcpSocket socket;
    QByteArray pending;
    bool greeted = false; // "hello" came
    int numbered = 0; // texts "<number>....", received in order from 0
    bool inOrder = true;

    explicit CountingClient(int port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] {
            pending += socket.readAll();
            for (const QByteArray &frame : takeFrames(pending)) {
                const QByteArray number = frame.left(frame.indexOf('.'));
                if (frame == "hello") {
                    greeted = true;
                    continue;
                }
                inOrder = inOrder && number == QByteArray::number(numbered);
                ++numbered;
            }
        });
        socket.connectToHost(QHostAddress::LocalHost, quint16(port));
    }
};

} // namespace

void TestRedisBridge::readsRedisUrls_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QByteArray>("room");

    QTest::newRow("host alone") << "redis://box" << true << QByteArray("box") << 6379
                                << QByteArray() << QByteArray("prynechat");
    QTest::newRow("everything, escaped password")
            << "redis://:s%40cret@10.0.0.5:6380/floor2" << true << QByteArray("10.0.0.5") << 6380
            << QByteArray("s@cret") << QByteArray("floor2");
    QTest::newRow("trailing slash keeps the default room")
            << "redis://box/" << true << QByteArray("box") << 6379 << QByteArray()
            << QByteArray("prynechat");
    QTest::newRow("another scheme")
            << "http://box" << false << QByteArray() << 0 << QByteArray() << QByteArray();
    QTest::newRow("no host") << "redis://" << false << QByteArray() << 0 << QByteArray()
                             << QByteArray();
    QTest::newRow("a user name") << "redis://admin:pw@box" << false << QByteArray() << 0
                                 << QByteArray() << QByteArray();
    QTest::newRow("a room with a slash")
            << "redis://box/a/b" << false << QByteArray() << 0 << QByteArray() << QByteArray();
    QTest::newRow("port out of range")
            << "redis://box:70000" << false << QByteArray() << 0 << QByteArray() << QByteArray();
}

void TestRedisBridge::readsRedisUrls()
{
    QFETCH(QString, url);
    QFETCH(bool, valid);
    QString reason;
    const std::optional<RedisAddress> address = parseRedisUrl(url, &reason);
    QCOMPARE(bool(address), valid);
    if (!valid) {
        QVERIFY(!reason.isEmpty());
        return;
    }
    QTEST(address->host, "host");
    QTEST(address->port, "port");
    QTEST(address->password, "password");
    QTEST(address->room, "room");
}

void TestRedisBridge::acceptsOnlyRelayEntries_data()
{
    QTest::addColumn<QList<QByteArray>>("fields");
    QTest::addColumn<bool>("valid");

    const QByteArray relay = "00000000000000ab";
    const QByteArray largest(1024 * 1024, 'x');
    QTest::newRow("as a relay writes it")
            << QList<QByteArray>{"payload", "hi", "relay", relay, "seq", "7"} << true;
    QTest::newRow("fields in another order")
            << QList<QByteArray>{"seq", "7", "payload", "", "relay", relay} << true;
    QTest::newRow("the largest frame")
            << QList<QByteArray>{"payload", largest, "relay", relay, "seq", "1"} << true;
    QTest::newRow("one byte above the frame limit")
            << QList<QByteArray>{"payload", largest + "x", "relay", relay, "seq", "1"} << false;
    QTest::newRow("another program's field")
            << QList<QByteArray>{"message", "hi", "relay", relay, "seq", "1"} << false;
    QTest::newRow("the texts of one turn")
            << QList<QByteArray>{"relay", relay, "seq", "7", "payload", "a", "payload", "b"}
            << true;
    QTest::newRow("a frame's worth in two payloads")
            << QList<QByteArray>{"relay",   relay,
                                 "seq",     "1",
                                 "payload", largest.left(1024),
                                 "payload", largest.mid(1024)}
            << true;
    QTest::newRow("two payloads above the frame limit together")
            << QList<QByteArray>{"relay", relay, "seq", "1", "payload", largest, "payload", "x"}
            << false;
    QTest::newRow("relay twice") << QList<QByteArray>{"payload", "a",   "relay", relay,
                                                      "relay",   relay, "seq",   "1"}
                                 << false;
    QTest::newRow("no payload") << QList<QByteArray>{"relay", relay, "seq", "1"} << false;
    QTest::newRow("no seq") << QList<QByteArray>{"payload", "hi", "relay", relay} << false;
    QTest::newRow("seq zero") << QList<QByteArray>{"payload", "hi", "relay", relay, "seq", "0"}
                              << false;
    QTest::newRow("relay not hex")
            << QList<QByteArray>{"payload", "hi", "relay", "zz", "seq", "1"} << false;
}

void TestRedisBridge::acceptsOnlyRelayEntries()
{
    QFETCH(QList<QByteArray>, fields);
    QFETCH(bool, valid);
    QString reason;
    const std::optional<StreamEntry> entry =
            readStreamEntry(std::vector<QByteArrayView>(fields.begin(), fields.end()), &reason);
    QCOMPARE(bool(entry), valid);
    QCOMPARE(reason.isEmpty(), valid);
    if (valid) {
        QCOMPARE(entry->relay, 0xabULL);
        QVERIFY(entry->seq > 0);
    }
}

void TestRedisBridge::bridgedRelaysShowEveryTextInOneOrderAcrossARestart()
{
    RedisServer redis;
    QVERIFY(redis.start(freePort()));
    Relay first;
    auto second = std::make_unique<Relay>();
    QVERIFY(first.start(redis.url()));
    QVERIFY(second->start(redis.url()));

    std::vector<std::unique_ptr<WireClient>> clients;
    for (Relay *relay : {&first, second.get(), &first, second.get()}) {
        clients.push_back(relay->join(QStringLiteral("join %1\r\n").arg(clients.size())));
        QVERIFY(clients.back());
    }
    // Who joined earlier on either relay sees who joined later on the other.
    QVERIFY(clients[0]->waitForTexts(4));
    QCOMPARE(clients[0]->received.mid(0, 4),
             (QStringList{"join 0\r\n", "join 1\r\n", "join 2\r\n", "join 3\r\n"}));
    chatAndCompare({clients[0].get(), clients[1].get(), clients[2].get(), clients[3].get()},
                   QStringLiteral("before"), 200);

    // The second relay goes mid-chat and comes back on a new port; its clients join it again.
    second->stop();
    clients[1] = nullptr;
    clients[3] = nullptr;
    second = std::make_unique<Relay>();
    QVERIFY(second->start(redis.url()));
    clients[1] = second->join(QStringLiteral("back 1\r\n"));
    clients[3] = second->join(QStringLiteral("back 3\r\n"));
    QVERIFY(clients[1] && clients[3]);
    QVERIFY(clients[0]->waitForTexts(clients[0]->received.indexOf("back 3\r\n") + 1));
    chatAndCompare({clients[0].get(), clients[1].get(), clients[2].get(), clients[3].get()},
                   QStringLiteral("after"), 200);
}

void TestRedisBridge::textsSentWhileRedisIsAwayArriveOnce()
{
    RedisServer redis;
    QVERIFY(redis.start(freePort()));
    Relay first;
    Relay second;
    QVERIFY(first.start(redis.url()));
    QVERIFY(second.start(redis.url()));
    const auto one = first.join(QStringLiteral("one\r\n"));
    const auto two = second.join(QStringLiteral("two\r\n"));
    QVERIFY(one && two);
    QVERIFY(one->waitForTexts(2));

    redis.stop();
    QVERIFY(first.says("lost Redis"));
    QVERIFY(second.says("lost Redis"));
    const qsizetype oneBefore = one->received.size();
    const qsizetype twoBefore = two->received.size();
    QStringList sent;
    for (int index = 0; index < 20; ++index) {
        const QString text = QStringLiteral("gap %1\r\n").arg(index);
        (index % 2 ? two : one)->send(text);
        sent << text;
    }
    // Redis stays away for two seconds; the clients stay connected all the while.
    QTest::qWait(2000);
    QCOMPARE(one->socket.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(two->socket.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(one->received.size(), oneBefore);
    QVERIFY(redis.start(redis.port));
    QVERIFY(first.says("is back"));

    QVERIFY(one->waitForTexts(int(oneBefore) + 20, 3 * waitTimeout));
    QVERIFY(two->waitForTexts(int(twoBefore) + 20, 3 * waitTimeout));
    const QStringList order = one->received.mid(oneBefore);
    QCOMPARE(two->received.mid(twoBefore), order);
    QStringList sorted = order;
    sorted.sort();
    sent.sort();
    QCOMPARE(sorted, sent);
    // Nothing comes twice: the next text after the gap's is a new one.
    one->send(QStringLiteral("after\r\n"));
    QVERIFY(two->waitForTexts(int(twoBefore) + 21));
    QCOMPARE(two->received.constLast(), QStringLiteral("after\r\n"));
    QCOMPARE(one->received.size(), oneBefore + 21);
}

void TestRedisBridge::entriesOfOtherWritersAreSkippedAndRepeatsDropped()
{
    RedisServer redis;
    QVERIFY(redis.start(freePort()));
    Relay relay;
    QVERIFY(relay.start(redis.url()));
    const auto client = relay.join(QStringLiteral("hello\r\n"));
    QVERIFY(client);

    const QByteArray other = "00000000000000ab";
    QVERIFY(redis.add({"message", "not ours"}));
    QVERIFY(redis.add({"payload", QByteArray(1024 * 1024 + 1, 'x'), "relay", other, "seq", "1"}));
    QVERIFY(redis.add({"payload", "elsewhere\r\n", "relay", other, "seq", "1"}));
    // The same text again, as a relay sends it after a reconnection: shown once.
    QVERIFY(redis.add({"payload", "elsewhere\r\n", "relay", other, "seq", "1"}));
    // A turn's texts sent again with one more: only the new one is shown.
    QVERIFY(redis.add(
            {"relay", other, "seq", "1", "payload", "elsewhere\r\n", "payload", "then\r\n"}));
    client->send(QStringLiteral("mine\r\n"));
    QVERIFY(client->waitForTexts(4));
    QCOMPARE(client->received, (QStringList{"hello\r\n", "elsewhere\r\n", "then\r\n", "mine\r\n"}));
    QVERIFY(relay.says("(2 skipped so far)"));
    QCOMPARE(client->socket.state(), QAbstractSocket::ConnectedState);
}

// While Redis does not answer, a relay keeps at most 8 MiB of its clients' texts and then stops
// reading them, so TCP holds the senders back instead of the relay's memory growing; once Redis
// answers again every text goes out, in order.
void TestRedisBridge::aStalledRedisHoldsTheSendersBack()
{
    if (testsupport::quarantineHoldsFreedMemory())
        QSKIP("AddressSanitizer's quarantine keeps the relay's freed buffers resident; "
              "tst_RedisBridge_memory runs this case with the quarantine off");
    RedisServer redis;
    QVERIFY(redis.start(freePort()));
    Relay relay;
    QVERIFY(relay.start(redis.url()));
    CountingClient sender(relay.port);
    CountingClient receiver(relay.port);
    QVERIFY(sender.socket.waitForConnected(waitTimeout));
    QVERIFY(receiver.socket.waitForConnected(waitTimeout));
    sender.socket.write(testsupport::frameOf("hello"));
    QVERIFY(waitUntil([&] { return receiver.greeted && sender.greeted; }));

    QCOMPARE(::kill(pid_t(redis.process.processId()), SIGSTOP), 0);
    const qint64 residentBefore = statusKib("VmRSS:", relay.process.processId());
    // 64 MiB: more than the relay's 8 MiB and the kernel's buffers on both sides can hold.
    constexpr int count = 512;
    constexpr qsizetype textBytes = 128 * 1024;
    for (int index = 0; index < count; ++index)
        sender.socket.write(testsupport::frameOf(
                (QByteArray::number(index) + '.').leftJustified(textBytes, '.')));
    // Until the relay takes no more for half a second (well before it would give Redis up for
    // lost, after 5 s without an answer).
    qint64 last = -1;
    for (int round = 0; round < 8; ++round) {
        QTest::qWait(500);
        const qint64 now = sender.socket.bytesToWrite();
        if (std::exchange(last, now) == now || now == 0)
            break;
    }
    const qint64 growthKiB = statusKib("VmRSS:", relay.process.processId()) - residentBefore;
    ::kill(pid_t(redis.process.processId()), SIGCONT);
    qDebug("held back %lld of %lld bytes, relay grew by %lld KiB", last, count * (textBytes + 4),
           growthKiB);
    QVERIFY2(last > 0, "the relay took every byte while Redis was stopped");
    // What waits for Redis, once as texts and at most once more in the outgoing command buffer,
    // plus read buffers; taking all 64 MiB would cost twice that.
    QVERIFY2(growthKiB < 48 * 1024, qPrintable(QStringLiteral("grew by %1 KiB").arg(growthKiB)));

    QVERIFY(waitUntil([&] { return receiver.numbered == count && sender.numbered == count; },
                      6 * waitTimeout));
    QVERIFY(receiver.inOrder && sender.inOrder);
    QCOMPARE(sender.socket.state(), QAbstractSocket::ConnectedState);
}

void TestRedisBridge::unreachableRedisEndsWithStatusOne()
{
    QProcess relay;
    relay.start(QStringLiteral(PRYNECHAT_RELAY_EXECUTABLE),
                {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--bridge-wait"),
                 QStringLiteral("0"), QStringLiteral("--bridge"),
                 QStringLiteral("redis://127.0.0.1:%1").arg(freePort())});
    QVERIFY(relay.waitForFinished(2 * waitTimeout));
    QCOMPARE(relay.exitCode(), 1);
    QVERIFY(relay.readAllStandardError().startsWith(
            "prynechat-relay: cannot reach Redis at 127.0.0.1:"));
    QVERIFY(!relay.readAllStandardOutput().contains("relaying on"));
}

QTEST_GUILESS_MAIN(TestRedisBridge)
#include "tst_RedisBridge.moc"
