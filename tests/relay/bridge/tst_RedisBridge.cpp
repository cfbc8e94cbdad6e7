#include "tests/support/ProcessStatus.h"
#include "tests/support/RelayProcess.h"
#include "tests/support/Sanitizers.h"
#include "tests/support/Waits.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QWebSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <hiredis/hiredis.h>
#include <memory>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using testsupport::statusKib;
using testsupport::takeFrames;
using testsupport::waitTimeout;
using testsupport::waitUntil;
using testsupport::WireClient;

// Bridged relays (the prynechat-relay executable) against a real redis-server of their own,
// without persistence, driven by raw wire clients.
class TestRedisBridge : public QObject
{
    Q_OBJECT

private slots:
    // sharing
    void bridgedRelaysShowEveryTextInOneOrderAcrossARestart();
    void entriesOfOtherWritersAreSkippedAndRepeatsDropped();
    void theLargestTextCrossesRedisWithTheReadmesLimits();
    void anEntryInAnotherRelaysNameMutesNoRelay();
    void skippedEntriesAreReportedWithControlsEscaped();

    // Redis away, stalled or rewound
    void textsSentWhileRedisIsAwayArriveOnce();
    void aStalledRedisHoldsTheSendersBack();
    void aHungRedisIsTriedAgainAndBackOnlyOnceItAnswers();
    void aStreamThatWentBackwardsIsReadAgain();

    // bounds
    void oneReadKeepsAFewMebibytesAtMost();
    void warnsAtStartAboutRedisLimits_data();
    void warnsAtStartAboutRedisLimits();
};

namespace {

using ReplyPointer = std::unique_ptr<redisReply, void (*)(void *)>;

// The limits the README's Redis setup shows.
const QStringList readmeLimits = testsupport::RedisServer::readmeLimits();

// A redis-server of the test's own, and what the tests ask it directly.
struct RedisServer : testsupport::RedisServer
{
    ReplyPointer command(const std::vector<QByteArray> &arguments) const
    {
        std::unique_ptr<redisContext, void (*)(redisContext *)> context(
                redisConnect("127.0.0.1", port), redisFree);
        if (!context || context->err)
            return ReplyPointer(nullptr, freeReplyObject);
        std::vector<const char *> argv;
        std::vector<size_t> lengths;
        for (const QByteArray &argument : arguments) {
            argv.push_back(argument.constData());
            lengths.push_back(size_t(argument.size()));
        }
        return ReplyPointer(static_cast<redisReply *>(redisCommandArgv(
                                    context.get(), int(argv.size()), argv.data(), lengths.data())),
                            freeReplyObject);
    }

    // Writes an entry as another program might.
    bool add(const std::vector<QByteArray> &fieldsAndValues, const QByteArray &id = "*") const
    {
        std::vector<QByteArray> arguments{"XADD", "prynechat:test", id};
        arguments.insert(arguments.end(), fieldsAndValues.begin(), fieldsAndValues.end());
        const ReplyPointer reply = command(arguments);
        return reply && reply->type == REDIS_REPLY_STRING;
    }

    // The relay field of the entry that carries payload.
    QByteArray relayThatWrote(const QByteArray &payload) const
    {
        const ReplyPointer reply = command({"XRANGE", "prynechat:test", "-", "+"});
        for (size_t index = 0; reply && index < reply->elements; ++index) {
            const redisReply *fields = reply->element[index]->element[1];
            QByteArray relay;
            bool found = false;
            for (size_t field = 0; field + 1 < fields->elements; field += 2) {
                const QByteArray name(fields->element[field]->str);
                const QByteArray value(fields->element[field + 1]->str,
                                       qsizetype(fields->element[field + 1]->len));
                if (name == "relay")
                    relay = value;
                found = found || (name == "payload" && value == payload);
            }
            if (found)
                return relay;
        }
        return QByteArray();
    }
};

// Stands between the relays and Redis on a port of the kernel's choosing that the test holds all
// along, so that Redis can go away and come back on another port while the relays' address is
// never free for another program to take.
class RedisGate
{
public:
    bool listen(int redisPort)
    {
        target = redisPort;
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] { admit(); });
        return server.listen(QHostAddress::LocalHost, 0);
    }

    QString url() const
    {
        return QStringLiteral("redis://127.0.0.1:%1/test").arg(server.serverPort());
    }

    // Cuts every connection, and closes new ones at once, as a Redis that has gone away.
    void shut()
    {
        closed = true;
        for (const QPointer<QTcpSocket> &inside : links) {
            if (inside)
                inside->abort();
        }
        links.clear();
    }

    void openTo(int redisPort)
    {
        target = redisPort;
        closed = false;
    }

    int connections = 0; // accepted so far, turned away ones included

private:
    void admit()
    {
        while (QTcpSocket *inside = server.nextPendingConnection()) {
            ++connections;
            if (closed) {
                inside->abort();
                inside->deleteLater();
                continue;
            }
            auto *outside = new QTcpSocket(inside);
            QObject::connect(inside, &QTcpSocket::readyRead, outside,
                             [inside, outside] { outside->write(inside->readAll()); });
            QObject::connect(outside, &QTcpSocket::readyRead, inside,
                             [inside, outside] { inside->write(outside->readAll()); });
            QObject::connect(outside, &QTcpSocket::connected, outside,
                             [inside, outside] { outside->write(inside->readAll()); });
            for (QTcpSocket *end : {inside, outside})
                QObject::connect(end, &QTcpSocket::disconnected, inside, [inside] {
                    inside->abort();
                    inside->deleteLater();
                });
            QObject::connect(outside, &QTcpSocket::errorOccurred, inside, [inside] {
                inside->abort();
                inside->deleteLater();
            });
            outside->connectToHost(QHostAddress::LocalHost, quint16(target));
            links.push_back(inside);
        }
    }

    QTcpServer server;
    int target = 0;
    bool closed = false;
    std::vector<QPointer<QTcpSocket>> links;
};

struct Relay : testsupport::RelayProcess
{
    bool start(const QString &url,
               QProcess::ProcessChannelMode channels = QProcess::SeparateChannels,
               const QStringList &more = {})
    {
        process.setProcessChannelMode(channels);
        return RelayProcess::start(QStringList{QStringLiteral("--port"), QStringLiteral("0"),
                                               QStringLiteral("--quiet"),
                                               QStringLiteral("--bridge"), url}
                                   + more);
    }

    // With both outputs merged: what the relay said before serving.
    QByteArray beforeStartLine() const
    {
        return startLines.left(startLines.indexOf("prynechat-relay: relaying on"));
    }

    qint64 peakKib() { return statusKib("VmHWM:", process.processId()); }
};

// Two relays bridged through one Redis, each with a client it has certainly taken on.
struct TwoRelays
{
    Relay first;
    Relay second;
    std::unique_ptr<WireClient> one;
    std::unique_ptr<WireClient> two;

    bool start(const QString &url)
    {
        if (!first.start(url) || !second.start(url))
            return false;
        one = first.join(QStringLiteral("one\r\n"));
        two = second.join(QStringLiteral("two\r\n"));
        return one && two;
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

void TestRedisBridge::bridgedRelaysShowEveryTextInOneOrderAcrossARestart()
{
    RedisServer redis;
    QVERIFY(redis.start());
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
    // Back with a page, which is shown the newest text from the stream, not from memory.
    second = std::make_unique<Relay>();
    QVERIFY(second->start(redis.url(), QProcess::SeparateChannels,
                          {"--web", "127.0.0.1:0", "--history", "1"}));
    QWebSocket browser(QStringLiteral("http://127.0.0.1:%1").arg(second->webPort));
    QByteArray history;
    QObject::connect(&browser, &QWebSocket::binaryMessageReceived,
                     [&history](const QByteArray &message) { history = message; });
    browser.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/chat").arg(second->webPort)));
    QVERIFY(waitUntil([&] { return !history.isEmpty(); }));
    QCOMPARE(QJsonDocument::fromJson(history).object().value("texts").toArray(),
             QJsonArray{clients[0]->received.constLast()});
    clients[1] = second->join(QStringLiteral("back 1\r\n"));
    clients[3] = second->join(QStringLiteral("back 3\r\n"));
    QVERIFY(clients[1] && clients[3]);
    QVERIFY(clients[0]->waitForTexts(clients[0]->received.indexOf("back 3\r\n") + 1));
    chatAndCompare({clients[0].get(), clients[1].get(), clients[2].get(), clients[3].get()},
                   QStringLiteral("after"), 200);
}

void TestRedisBridge::entriesOfOtherWritersAreSkippedAndRepeatsDropped()
{
    RedisServer redis;
    QVERIFY(redis.start());
    Relay relay;
    QVERIFY(relay.start(redis.url()));
    const auto client = relay.join(QStringLiteral("hello\r\n"));
    QVERIFY(client);

    const QByteArray other = "00000000000000ab";
    QVERIFY(redis.add({"message", "not ours"}));
    QVERIFY(redis.add({"relay", other, "seq", "1", "payload", QByteArray(512 * 1024, 'x'),
                       "payload", QByteArray(512 * 1024 + 1, 'x')}));
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

// One frame's worth of text in one value: what proto-max-bulk-len and client-query-buffer-limit
// must let through.
void TestRedisBridge::theLargestTextCrossesRedisWithTheReadmesLimits()
{
    RedisServer redis;
    QVERIFY(redis.start());
    TwoRelays relays;
    QVERIFY(relays.start(redis.url()));
    Relay &first = relays.first;
    WireClient *const one = relays.one.get();
    WireClient *const two = relays.two.get();

    const QString largest(1024 * 1024, u'x');
    one->send(largest);
    one->send(QStringLiteral("after it\r\n"));
    QVERIFY(two->waitForTexts(3, 2 * waitTimeout));
    QCOMPARE(two->received.mid(1), (QStringList{largest, "after it\r\n"}));
    first.errors += first.process.readAllStandardError();
    QCOMPARE(first.errors, QByteArray());
}

// Anyone who may write to the stream can claim to be one of the relays, with a running number far
// ahead of its own. That relay skips the entry and says so once; no relay takes the claim for the
// other's numbers, so every text of that relay still reaches every client, its own included.
void TestRedisBridge::anEntryInAnotherRelaysNameMutesNoRelay()
{
    RedisServer redis;
    QVERIFY(redis.start());
    TwoRelays relays;
    QVERIFY(relays.start(redis.url()));
    Relay &first = relays.first;
    WireClient *const one = relays.one.get();
    WireClient *const two = relays.two.get();
    QVERIFY(one->waitForTexts(2));
    const QByteArray firstRelay = redis.relayThatWrote("one\r\n");
    QCOMPARE(firstRelay.size(), 16);

    QVERIFY(redis.add(
            {"relay", firstRelay, "seq", "18446744073709550616", "payload", "forged\r\n"}));
    QVERIFY(first.says("skipped stream entry"));
    const qsizetype oneBefore = one->received.size();
    QStringList sent;
    for (int index = 0; index < 20; ++index) {
        sent << QStringLiteral("after the claim %1\r\n").arg(index);
        one->send(sent.constLast());
    }
    QVERIFY(one->waitForTexts(int(oneBefore) + 20));
    QCOMPARE(one->received.mid(oneBefore), sent);
    QVERIFY(waitUntil([&] { return two->received.mid(two->received.size() - 20) == sent; }));
    QVERIFY(!one->received.contains("forged\r\n"));
    first.errors += first.process.readAllStandardError();
    QCOMPARE(first.errors.count("skipped stream entry"), 1);
}

void TestRedisBridge::skippedEntriesAreReportedWithControlsEscaped()
{
    RedisServer redis;
    QVERIFY(redis.start());
    Relay relay;
    QVERIFY(relay.start(redis.url()));
    QVERIFY(relay.join(QStringLiteral("hello\r\n")));

    // Window title, clearing the screen, colour, a line of its own.
    QVERIFY(redis.add({"\x1b]0;owned\x07\x1b[2J\x1b[31mred\nprynechat-relay: fake", "x"}));
    QVERIFY(relay.says("(1 skipped so far)"));
    QVERIFY2(
            relay.errors.contains(
                    "an unexpected field \\x1b]0;owned\\x07\\x1b[2J\\x1b[31mred\\nprynechat-relay: "
                    "fake"),
            relay.errors.constData());
    QVERIFY(!relay.errors.contains('\x1b'));
    QVERIFY(!relay.errors.contains('\x07'));
    QVERIFY(!relay.errors.contains("\nprynechat-relay: fake"));
}

void TestRedisBridge::textsSentWhileRedisIsAwayArriveOnce()
{
    RedisServer redis;
    QVERIFY(redis.start());
    RedisGate gate;
    QVERIFY(gate.listen(redis.port));
    TwoRelays relays;
    QVERIFY(relays.start(gate.url()));
    Relay &first = relays.first;
    Relay &second = relays.second;
    WireClient *const one = relays.one.get();
    WireClient *const two = relays.two.get();
    QVERIFY(one->waitForTexts(2));

    // Redis ends; every relay reconnecting is turned away until a new, empty one answers.
    redis.stop();
    gate.shut();
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
    // Both relays have tried again more than once meanwhile (two connections a try).
    const int connectionsBefore = gate.connections;
    QVERIFY(waitUntil([&] { return gate.connections >= connectionsBefore + 8; }));
    QCOMPARE(one->socket.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(two->socket.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(one->received.size(), oneBefore);
    RedisServer restarted;
    QVERIFY(restarted.start());
    gate.openTo(restarted.port);
    QVERIFY(first.says("is back;", 1, 3 * waitTimeout));

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

// While Redis does not answer, a relay keeps at most 2 MiB of its clients' texts and then stops
// reading them, so TCP holds the senders back instead of the relay's memory growing; once Redis
// answers again every text goes out, in order.
void TestRedisBridge::aStalledRedisHoldsTheSendersBack()
{
    if (testsupport::quarantineHoldsFreedMemory())
        QSKIP("AddressSanitizer's quarantine keeps the relay's freed buffers resident; "
              "tst_RedisBridge_memory runs this case with the quarantine off");
    RedisServer redis;
    QVERIFY(redis.start());
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
    // 64 MiB: more than the relay's 2 MiB and the kernel's buffers on both sides can hold.
    constexpr int count = 512;
    constexpr qsizetype textBytes = 128 * 1024;
    for (int index = 0; index < count; ++index)
        sender.socket.write(testsupport::frameOf(
                (QByteArray::number(index) + '.').leftJustified(textBytes, '.')));
    // Until the relay has taken no more for half a second (well before it would give Redis up
    // for lost, after 5 s without an answer).
    qint64 last = -1;
    QElapsedTimer unchanged;
    waitUntil([&] {
        const qint64 now = sender.socket.bytesToWrite();
        if (now != last || !unchanged.isValid())
            unchanged.start();
        last = now;
        return now == 0 || unchanged.hasExpired(500);
    });
    const qint64 growthKiB = statusKib("VmRSS:", relay.process.processId()) - residentBefore;
    ::kill(pid_t(redis.process.processId()), SIGCONT);
    qDebug("held back %lld of %lld bytes, relay grew by %lld KiB", last, count * (textBytes + 4),
           growthKiB);
    QVERIFY2(last > 0, "the relay took every byte while Redis was stopped");
    // What waits for Redis, once as texts and at most once more in the outgoing command buffer,
    // plus read buffers; taking all 64 MiB would cost twice that.
    QVERIFY2(growthKiB < 16 * 1024, qPrintable(QStringLiteral("grew by %1 KiB").arg(growthKiB)));

    QVERIFY(waitUntil([&] { return receiver.numbered == count && sender.numbered == count; },
                      6 * waitTimeout));
    QVERIFY(receiver.inOrder && sender.inOrder);
    QCOMPARE(sender.socket.state(), QAbstractSocket::ConnectedState);
}

// A Redis that takes connections but answers nothing (stopped with SIGSTOP): the relay gives it up,
// tries again and again, and says it is back only once Redis has answered.
void TestRedisBridge::aHungRedisIsTriedAgainAndBackOnlyOnceItAnswers()
{
    RedisServer redis;
    QVERIFY(redis.start());
    RedisGate gate;
    QVERIFY(gate.listen(redis.port));
    Relay relay;
    QVERIFY(relay.start(gate.url()));
    const auto client = relay.join(QStringLiteral("hello\r\n"));
    QVERIFY(client);

    QCOMPARE(::kill(pid_t(redis.process.processId()), SIGSTOP), 0);
    auto resume = qScopeGuard([&redis] { ::kill(pid_t(redis.process.processId()), SIGCONT); });
    client->send(QStringLiteral("while stopped\r\n"));
    QVERIFY(relay.says("lost Redis", 1, 2 * waitTimeout));
    // Each try is two connections; the ones after the loss go unanswered as well.
    const int connectionsAtLoss = gate.connections;
    QVERIFY(waitUntil([&] { return gate.connections >= connectionsAtLoss + 4; }, 4 * waitTimeout));
    relay.errors += relay.process.readAllStandardError();
    QVERIFY2(!relay.errors.contains("is back;"), relay.errors.constData());
    QCOMPARE(client->received, QStringList{"hello\r\n"});

    resume.dismiss();
    ::kill(pid_t(redis.process.processId()), SIGCONT);
    QVERIFY(relay.says("is back;", 1, 3 * waitTimeout));
    QVERIFY(client->waitForTexts(2, 2 * waitTimeout));
    QCOMPARE(client->received.constLast(), QStringLiteral("while stopped\r\n"));
    QCOMPARE(relay.errors.count("lost Redis"), 1);
    QCOMPARE(relay.errors.count("is back;"), 1);
}

// An entry with the largest stream ID leaves no ID for anyone after it, and once it is gone the
// stream starts again below it: every relay notices when it next waits for entries and reads the
// new stream from its start, not only after reconnecting.
void TestRedisBridge::aStreamThatWentBackwardsIsReadAgain()
{
    RedisServer redis;
    QVERIFY(redis.start());
    TwoRelays relays;
    QVERIFY(relays.start(redis.url()));
    Relay &first = relays.first;
    Relay &second = relays.second;
    WireClient *const one = relays.one.get();
    WireClient *const two = relays.two.get();

    QVERIFY(redis.add({"payload", "x"}, "18446744073709551615-18446744073709551615"));
    QVERIFY(first.says("(1 skipped so far)"));
    QVERIFY(second.says("(1 skipped so far)"));
    one->send(QStringLiteral("while it stands\r\n"));
    QVERIFY(first.says("lost Redis"));
    const ReplyPointer deleted = redis.command({"DEL", "prynechat:test"});
    QVERIFY(deleted && deleted->integer == 1);

    QVERIFY(two->waitForTexts(2, 3 * waitTimeout));
    QCOMPARE(two->received.constLast(), QStringLiteral("while it stands\r\n"));
    two->send(QStringLiteral("and after\r\n"));
    QVERIFY(one->waitForTexts(4, 3 * waitTimeout));
    QCOMPARE(one->received.mid(2), (QStringList{"while it stands\r\n", "and after\r\n"}));
    QVERIFY(second.says("reading it from its start"));
}

// However large the entries that someone wrote, one read of the stream holds a few of them: many
// entries of 1 MiB each, and entries of many 1 MiB values, which a relay never writes.
void TestRedisBridge::oneReadKeepsAFewMebibytesAtMost()
{
    if (testsupport::quarantineHoldsFreedMemory())
        QSKIP("AddressSanitizer's quarantine keeps the relay's freed replies resident; "
              "tst_RedisBridge_memory runs this case with the quarantine off");
    RedisServer redis;
    QVERIFY(redis.start());
    Relay relay;
    QVERIFY(relay.start(redis.url()));
    const auto client = relay.join(QStringLiteral("hello\r\n"));
    QVERIFY(client);
    const qint64 peakBefore = relay.peakKib();
    QVERIFY(peakBefore > 0);

    // Piled up while the relay does not read, so that they come in as few replies as it asks for.
    QCOMPARE(::kill(pid_t(relay.process.processId()), SIGSTOP), 0);
    auto resume = qScopeGuard([&relay] { ::kill(pid_t(relay.process.processId()), SIGCONT); });
    const QByteArray mebibyte(1024 * 1024, 'x');
    for (int index = 0; index < 48; ++index)
        QVERIFY(redis.add({"payload", mebibyte}));
    std::vector<QByteArray> manyValues;
    for (int index = 0; index < 32; ++index)
        manyValues.insert(manyValues.end(), {"payload", mebibyte});
    QVERIFY(redis.add(manyValues));
    QVERIFY(redis.add({"relay", "00000000000000ab", "seq", "1", "payload", "done\r\n"}));
    resume.dismiss();
    ::kill(pid_t(relay.process.processId()), SIGCONT);

    QVERIFY(client->waitForTexts(2, 4 * waitTimeout));
    QCOMPARE(client->received.constLast(), QStringLiteral("done\r\n"));
    const qint64 growthKib = relay.peakKib() - peakBefore;
    qDebug("peak grew by %lld KiB", growthKib);
    QVERIFY2(growthKib < 16 * 1024, qPrintable(QStringLiteral("grew by %1 KiB").arg(growthKib)));
    QVERIFY(relay.says("(10 skipped so far)"));
}

void TestRedisBridge::warnsAtStartAboutRedisLimits_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArrayList>("warnings");

    QTest::newRow("as the README sets them") << readmeLimits << QByteArrayList();
    QTest::newRow("Redis's defaults") << QStringList()
                                      << QByteArrayList{"proto-max-bulk-len is 536870912",
                                                        "client-query-buffer-limit is "
                                                        "1073741824"};
    QTest::newRow("CONFIG not available") << readmeLimits
                    + QStringList{QStringLiteral("--rename-command"), QStringLiteral("CONFIG"),
                                  QString()}
                                          << QByteArrayList{"cannot read Redis's limits"};
}

void TestRedisBridge::warnsAtStartAboutRedisLimits()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArrayList, warnings);

    RedisServer redis;
    redis.options = options;
    QVERIFY(redis.start());
    Relay relay;
    // Standard error and output as one stream, in the order they were written.
    QVERIFY(relay.start(redis.url(), QProcess::MergedChannels));
    for (const QByteArray &warning : warnings)
        QVERIFY2(relay.beforeStartLine().contains(warning), relay.beforeStartLine().constData());
    QCOMPARE(relay.beforeStartLine().count('\n'), warnings.size());
    QVERIFY(relay.join(QStringLiteral("hello\r\n")));
}

QTEST_GUILESS_MAIN(TestRedisBridge)
#include "tst_RedisBridge.moc"
