#include "tests/support/RelayProcess.h"
#include "tests/support/Waits.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <signal.h>
#include <unistd.h>
#include <vector>

using testsupport::waitTimeout;
using testsupport::waitUntil;
using testsupport::WireClient;

// prynechat-relay as an administrator runs it: what its options do once it runs (tst_RelayOptions
// reads each of them in process), the Redis password kept off the command line, a Redis that comes up after the relay, and the bridge's reports on
// an output shared with the relayed texts. The relays and a redis-server of their own run on free
// ports of 127.0.0.1.
class TestRelayCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    // options at work
    void optionsDoWhatTheHelpSays_data();
    void optionsDoWhatTheHelpSays();

    // Redis
    void credentialFileUnlocksAPasswordedRedis();
    void waitsForARedisThatStartsLater();
    void bridgeReportsStayOnLinesOfTheirOwn();

private:
    QTemporaryDir scratch;
};

namespace {

const QByteArray password = "s3cret pass";

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QString writeFile(const QString &path, const QByteArray &contents,
                  QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
        return QString();
    file.setPermissions(permissions);
    return path;
}

using testsupport::RedisServer;

struct Relay : testsupport::RelayProcess
{
    void start(const QStringList &arguments, const QStringList &settings = {})
    {
        for (const char *variable : {"CREDENTIALS_DIRECTORY", "PRYNECHAT_REDIS_PASSWORD"})
            environment.remove(QString::fromLatin1(variable));
        for (const QString &setting : settings)
            environment.insert(setting.section(u'=', 0, 0), setting.section(u'=', 1));
        launch(arguments);
    }

    // A text from a client comes back to it.
    bool relaysAText()
    {
        WireClient client(port);
        if (!client.waitConnected())
            return false;
        client.send(QStringLiteral("1@admin     |hello\r\n"));
        return client.waitForTexts(1)
                && client.received.constFirst() == QStringLiteral("1@admin     |hello\r\n");
    }
};

// One way to run the relay, and what it must then do. Placeholders in the arguments and the
// environment: {taken} a port another socket holds, {redis} the port of a Redis that wants the
// password, {nowhere} a port nobody serves, {password} the password, {file} a file holding it.
struct OptionCase
{
    const char *name;
    QStringList arguments;
    QStringList environment;
    int status; // -1: it serves, relays a text, and ends with 0 on SIGTERM
    QString output; // a pattern for all of standard output
    QString errors; // a pattern for all of standard error
};

const QString startLine = QStringLiteral("prynechat-relay: relaying on \\S+:\\d+\\n");
const QString farewell = QStringLiteral("prynechat-relay: SIGTERM, closing every connection\\n");
// The one client that relaysAText brings; it may be gone before the stop, or go with it.
const QString joined =
        QStringLiteral("prynechat-relay: 127\\.0\\.0\\.1:\\d+ joined \\(1 client\\)\\n");
const QString maybeLeft =
        QStringLiteral("(?:prynechat-relay: 127\\.0\\.0\\.1:\\d+ left \\(0 clients\\)\\n)?");
const QString usage = QStringLiteral("^Usage: \\S*prynechat-relay \\[options\\]\\n[^\\0]*"
                                     "--bridge-wait <seconds>");

const std::vector<OptionCase> &optionCases()
{
    static const std::vector<OptionCase> cases{
            // Help-like: print and end with 0 without ever listening; {taken} would end it with 1.
            {"--help", {"--help", "--port", "{taken}"}, {}, 0, usage, "^$"},
            {"-v", {"-v", "--port", "{taken}"}, {}, 0, "^prynechat-relay 1\\.0\\.0\\n$", "^$"},
            // A wrong option ends it with 2 and the reason, before it listens.
            {"--port past the range",
             {"--port", "65536"},
             {},
             2,
             "^$",
             "^prynechat-relay: 65536 is not a port \\(0 to 65535\\)\\n$"},
            {"--port another socket holds",
             {"--port", "{taken}"},
             {},
             1,
             "^$",
             "^prynechat-relay: cannot serve port \\d+: the port is already in use\\n[\\s\\S]*"
             "choose another port with --port \\(ports from 1024 up need no privileges\\)"},
            {"--listen an address of no interface here",
             {"--listen", "192.0.2.1", "--port", "0"},
             {},
             1,
             "^$",
             "^prynechat-relay: cannot serve port 0: "},
            {"-w serves the page beside the port",
             {"-w", "127.0.0.1:0", "-p", "0", "-q"},
             {},
             -1,
             "^" + startLine
                     + "prynechat-relay: the chat page for browsers is at "
                       "http://127\\.0\\.0\\.1:\\d+/\\n"
                     + joined + maybeLeft + farewell + "$",
             "^$"},
            {"--web on a port another socket holds",
             {"--web", "127.0.0.1:{taken}", "--port", "0"},
             {},
             1,
             "^$",
             "^prynechat-relay: cannot serve the web port \\d+: "},
            {"-b with the password in the URL, which it warns of",
             {"-b", "redis://:{password}@127.0.0.1:{redis}/options", "-p", "0"},
             {},
             -1,
             "^" + startLine,
             "^prynechat-relay: the Redis password in the URL shows in the process list: see "
             "--bridge-password-file\\n$"},
            {"--bridge without a password is refused by Redis",
             {"--bridge", "redis://127.0.0.1:{redis}/options", "--port", "0", "--bridge-wait", "0"},
             {},
             1,
             "^$",
             "^prynechat-relay: Redis at 127\\.0\\.0\\.1:\\d+ cannot serve the stream "
             "prynechat:options: NOAUTH"},
            {"--bridge-password-file",
             {"--bridge", "redis://127.0.0.1:{redis}/options", "--bridge-password-file", "{file}",
              "--port", "0"},
             {},
             -1,
             "^" + startLine,
             "^$"},
            {"the password from the environment",
             {"--bridge", "redis://127.0.0.1:{redis}/options", "--port", "0"},
             {"PRYNECHAT_REDIS_PASSWORD={password}"},
             -1,
             "^" + startLine,
             "^$"},
            {"--bridge-wait 0 gives up at once",
             {"--bridge", "redis://127.0.0.1:{nowhere}", "--bridge-wait", "0"},
             {},
             1,
             "^$",
             "^prynechat-relay: cannot reach Redis at 127\\.0\\.0\\.1:\\d+: Connection "
             "refused\\n$"},
            {"--bridge-wait 1 tries again, then gives up",
             {"--bridge", "redis://127.0.0.1:{nowhere}", "--bridge-wait", "1"},
             {},
             1,
             "^$",
             "^prynechat-relay: cannot reach Redis at 127\\.0\\.0\\.1:\\d+: Connection refused; "
             "trying again every second for up to 1 s\\nprynechat-relay: cannot reach Redis at "
             "127\\.0\\.0\\.1:\\d+: Connection refused; gave up after 1 s\\n$"},
    };
    return cases;
}

} // namespace

void TestRelayCommandLine::initTestCase()
{
    QVERIFY(scratch.isValid());
}

void TestRelayCommandLine::optionsDoWhatTheHelpSays_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("errors");
    for (const OptionCase &each : optionCases()) {
        QTest::newRow(each.name) << each.arguments << each.environment << each.status << each.output
                                 << each.errors;
    }
}

void TestRelayCommandLine::optionsDoWhatTheHelpSays()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, environment);
    QFETCH(int, status);
    QFETCH(QString, output);
    QFETCH(QString, errors);

    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::Any, 0));
    RedisServer redis;
    redis.options << QStringLiteral("--requirepass") << QString::fromUtf8(password);
    const bool wantsRedis = (arguments + environment).join(u' ').contains("{redis}");
    if (wantsRedis)
        QVERIFY(redis.start());
    const QMap<QString, QString> values{
            {"{taken}", QString::number(occupant.serverPort())},
            {"{redis}", QString::number(redis.port)},
            {"{nowhere}", QString::number(freePort())},
            {"{password}", QString::fromUtf8(QUrl::toPercentEncoding(password))},
            {"{file}", writeFile(scratch.filePath("password"), password + "\n")},
    };
    for (QStringList *list : {&arguments, &environment}) {
        for (QString &each : *list) {
            for (auto value = values.begin(); value != values.end(); ++value)
                each.replace(value.key(),
                             value.key() == "{password}" && list == &environment
                                     ? QString::fromUtf8(password)
                                     : value.value());
        }
    }

    Relay relay;
    relay.start(arguments, environment);
    if (status < 0) {
        QVERIFY2(relay.serves(), relay.errors.constData());
        QVERIFY(relay.relaysAText());
        // The password given in the environment is wiped where other readers of the process
        // would find it.
        QFile environ(QStringLiteral("/proc/%1/environ").arg(relay.process.processId()));
        QVERIFY(environ.open(QIODevice::ReadOnly));
        QVERIFY(!environ.readAll().contains(password));
        QCOMPARE(::kill(pid_t(relay.process.processId()), SIGTERM), 0);
        QVERIFY(relay.ends());
        QCOMPARE(relay.process.exitCode(), 0);
    } else {
        QVERIFY(relay.ends(3 * waitTimeout));
        QVERIFY2(relay.process.exitCode() == status, relay.errors.constData());
    }
    const QByteArray wholeOutput = relay.startLines + relay.output;
    QVERIFY2(QRegularExpression(output).match(QString::fromUtf8(wholeOutput)).hasMatch(),
             wholeOutput.constData());
    QVERIFY2(QRegularExpression(errors).match(QString::fromUtf8(relay.errors)).hasMatch(),
             relay.errors.constData());
}

// What systemd's LoadCredential=redis-password:/etc/prynechat/redis-password hands over: a
// folder of the service's own, named in $CREDENTIALS_DIRECTORY, holding a file only it may read.
void TestRelayCommandLine::credentialFileUnlocksAPasswordedRedis()
{
    RedisServer redis;
    redis.options << QStringLiteral("--requirepass") << QString::fromUtf8(password);
    QVERIFY(redis.start());
    QVERIFY(QDir(scratch.path()).mkpath("credentials"));
    const QString credentials = scratch.filePath("credentials");
    QVERIFY(!writeFile(credentials + "/redis-password", password + "\n", QFile::ReadOwner)
                     .isEmpty());
    const QString url = QStringLiteral("redis://127.0.0.1:%1/credential").arg(redis.port);

    Relay first;
    first.start({"--port", "0", "--quiet", "--bridge", url},
                {"CREDENTIALS_DIRECTORY=" + credentials});
    QVERIFY2(first.serves(), first.errors.constData());
    Relay second;
    second.start({"--port", "0", "--quiet", "--bridge", url},
                 {"CREDENTIALS_DIRECTORY=" + credentials});
    QVERIFY2(second.serves(), second.errors.constData());
    QCOMPARE(first.errors, QByteArray());

    // A text on one relay reaches a client of the other through the passworded Redis; that
    // client's own greeting came back first, so its relay has certainly taken it on.
    WireClient here(first.port);
    WireClient there(second.port);
    QVERIFY(here.waitConnected() && there.waitConnected());
    there.send(QStringLiteral("2@there     |ログイン\r\n"));
    QVERIFY(there.waitForTexts(1));
    here.send(QStringLiteral("1@here      |through Redis\r\n"));
    QVERIFY(there.waitForTexts(2));
    QCOMPARE(there.received.constLast(), QStringLiteral("1@here      |through Redis\r\n"));

    // Without the credential Redis refuses the relay.
    Relay refused;
    refused.start({"--port", "0", "--bridge", url, "--bridge-wait", "0"});
    QVERIFY(refused.ends());
    QCOMPARE(refused.process.exitCode(), 1);
    QVERIFY2(refused.errors.contains("NOAUTH"), refused.errors.constData());
}

// At boot a bridged relay may start before Redis: it tries again and serves once Redis answers.
void TestRelayCommandLine::waitsForARedisThatStartsLater()
{
    const int redisPort = freePort();
    Relay relay;
    relay.start({"--port", "0", "--quiet", "--bridge",
                 QStringLiteral("redis://127.0.0.1:%1/late").arg(redisPort), "--bridge-wait",
                 "30"});
    QVERIFY(relay.says("Connection refused; trying again every second for up to 30 s\n"));
    QVERIFY(relay.output.isEmpty()); // the port is not served yet

    RedisServer redis;
    QVERIFY(redis.start(redisPort));
    QVERIFY2(relay.serves(3 * waitTimeout), relay.errors.constData());
    QVERIFY(relay.relaysAText());
}

// A relay whose standard output and error are one pipe that nobody reads for a while: once
// read, every line is whole, the bridge's report of the lost Redis among them.
void TestRelayCommandLine::bridgeReportsStayOnLinesOfTheirOwn()
{
    RedisServer redis;
    QVERIFY(redis.start());
    int pipeEnds[2];
    QCOMPARE(::pipe2(pipeEnds, O_CLOEXEC), 0);
    const auto closePipe = qScopeGuard([&pipeEnds] {
        ::close(pipeEnds[0]);
        if (pipeEnds[1] >= 0)
            ::close(pipeEnds[1]);
    });
    Relay relay;
    relay.process.setChildProcessModifier([&pipeEnds] {
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        ::dup2(pipeEnds[1], STDERR_FILENO);
    });
    relay.start(
            {"--port", "0", "--bridge", QStringLiteral("redis://127.0.0.1:%1").arg(redis.port)});
    QVERIFY(relay.process.waitForStarted(waitTimeout));
    ::close(pipeEnds[1]);
    pipeEnds[1] = -1;
    QByteArray output;
    const auto readSome = [&] {
        pollfd readable{pipeEnds[0], POLLIN, 0};
        if (::poll(&readable, 1, waitTimeout) != 1)
            return false;
        char buffer[65536];
        const ssize_t got = ::read(pipeEnds[0], buffer, sizeof buffer);
        if (got > 0)
            output.append(buffer, got);
        return got > 0;
    };
    while (!output.contains('\n'))
        QVERIFY(readSome());
    static const QRegularExpression startLine(QStringLiteral("relaying on \\S+:(\\d+)\\n"));
    relay.port = startLine.match(QString::fromUtf8(output)).captured(1).toInt();
    QVERIFY(relay.port > 0);

    // More lines than the pipe holds, so that one is left half written.
    WireClient sender(relay.port);
    WireClient receiver(relay.port);
    QVERIFY(sender.waitConnected() && receiver.waitConnected());
    receiver.send(QString(999, u'x'));
    QVERIFY(receiver.waitForTexts(1));
    const QString text = QString(999, u'x') + QStringLiteral("\r\n");
    const int count = 400;
    for (int sent = 0; sent < count; ++sent)
        sender.send(text);
    QVERIFY(receiver.waitForTexts(1 + count));
    redis.stop();
    // The report waits for the reader, as the texts do; the rest comes when the relay ends.
    while (!output.contains("lost Redis"))
        QVERIFY(readSome());
    QCOMPARE(::kill(pid_t(relay.process.processId()), SIGTERM), 0);
    while (readSome()) {}
    QVERIFY(relay.ends());
    QVERIFY(output.endsWith("prynechat-relay: SIGTERM, closing every connection\n"));
    const QList<QByteArray> lines = output.split('\n');
    for (qsizetype index = 0; index + 1 < lines.size(); ++index) {
        const QByteArray &line = lines[index];
        QVERIFY2(line == "> " + QByteArray(999, 'x') || line.startsWith("prynechat-relay: "),
                 line.left(80).constData());
        QVERIFY2(line.count("prynechat-relay: ") <= 1, line.left(80).constData());
    }
    QVERIFY(output.contains("\nprynechat-relay: lost Redis at 127.0.0.1:"));
}

QTEST_GUILESS_MAIN(TestRelayCommandLine)
#include "tst_RelayCommandLine.moc"
