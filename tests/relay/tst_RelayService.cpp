#include "relay/AdminLog.h"
#include "tests/support/RelayProcess.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

// Drives the prynechat-relay executable as an administrator would, with wire clients that speak
// the frame format on their own (the program's client windows with the relay are an integration
// case).
class TestRelayService : public QObject
{
    Q_OBJECT

private slots:
    // relay
    void relaysEveryTextToEveryConnectionIncludingSender();
    void quietKeepsTheTextsOffTheConsole();
    void consoleShowsEachTextAsOneEscapedLine();
    void unreadOutputNeitherBlocksNorGrows();

    // the administrator's log
    void logsWhoJoinsLeavesAndIsDroppedUnderQuiet();
    void prefixesPrioritiesOnlyForTheJournal_data();
    void prefixesPrioritiesOnlyForTheJournal();
    void startFailureIsAnErrorForTheJournal();

    // who comes in
    void refusesOthersAndTheOverLimitBeforeReadingAByte();

    // start
    void privilegedPortEndsWithStatusOneAndAdvice();
    void listensOnOneAddress();
    void takesTheSocketOfTheServiceManager();
    void refusesAPassedDescriptorThatDoesNotListen_data();
    void refusesAPassedDescriptorThatDoesNotListen();
    void showsTheLanAddressUnderProcSubsetPid();

    // reload
    void reloadKeepsEveryoneAndTellsTheServiceManager();

    // stop
    void stopSignalClosesEveryConnection_data();
    void stopSignalClosesEveryConnection();
};

namespace {

constexpr int waitMilliseconds = testsupport::waitTimeout;

using testsupport::frameOfText;
using testsupport::WireClient;

using Relay = testsupport::RelayProcess;

const QStringList anyPort{QStringLiteral("--port"), QStringLiteral("0")};

// The relay runs without any display, as it would on a LAN box without a screen.
QProcessEnvironment headlessEnvironment()
{
    return Relay().environment;
}

// The peer as the relay's log names a wire client.
QByteArray peerOf(const WireClient &client)
{
    return "127.0.0.1:" + QByteArray::number(client.socket.localPort());
}

QByteArray joinLine(const WireClient &client, const QByteArray &count)
{
    return "prynechat-relay: " + peerOf(client) + " joined (" + count + ")\n";
}

// A frame header announcing 1 MiB and one byte, one above the bound.
const QByteArray oversizedHeader("\x00\x10\x00\x01", 4);

// Both lengths in bytes, from the bound itself: FrameDecoder's is 1,048,576.
static_assert(1024 * 1024 + 1 == 0x00100001);

// A pipe for the relay's standard output or error that the test reads itself, so that the test
// knows its device and inode for JOURNAL_STREAM.
struct Pipe
{
    int ends[2] = {-1, -1};
    QByteArray read; // everything read so far

    Pipe()
    {
        if (::pipe2(ends, O_CLOEXEC) != 0)
            ends[0] = ends[1] = -1;
    }
    ~Pipe()
    {
        for (const int end : ends) {
            if (end >= 0)
                ::close(end);
        }
    }

    bool made() const { return ends[0] >= 0; }

    QByteArray journalStream() const
    {
        struct stat status = {};
        ::fstat(ends[1], &status);
        return QByteArray::number(quint64(status.st_dev)) + ':'
                + QByteArray::number(quint64(status.st_ino));
    }

    void closeWriter()
    {
        ::close(ends[1]);
        ends[1] = -1;
    }

    // Reads until `expected` has come, or to the end once the writers are gone.
    bool readUntil(const QByteArray &expected)
    {
        while (!read.contains(expected)) {
            if (!readMore())
                return false;
        }
        return true;
    }

    // Reads to the end: the writers are gone.
    void readToEnd()
    {
        while (readMore()) {}
    }

private:
    bool readMore()
    {
        // The wire clients' sockets need the event loop meanwhile.
        if (!testsupport::waitUntil([this] {
                pollfd readable{ends[0], POLLIN, 0};
                return ::poll(&readable, 1, 0) == 1;
            }))
            return false;
        char buffer[65536];
        const ssize_t got = ::read(ends[0], buffer, sizeof buffer);
        if (got <= 0)
            return false;
        read.append(buffer, got);
        return true;
    }
};

} // namespace

void TestRelayService::relaysEveryTextToEveryConnectionIncludingSender()
{
    Relay relay;
    QVERIFY(relay.start(anyPort));

    std::vector<std::unique_ptr<WireClient>> clients;
    const QStringList greetings{"1@first     |ログイン\r\n", "2@second    |ログイン\r\n",
                                "3@third     |ログイン\r\n"};
    for (const QString &greeting : greetings) {
        clients.push_back(relay.join(greeting));
        QVERIFY(clients.back());
    }
    // Who joined earlier saw who joined later.
    QVERIFY(clients[0]->waitForTexts(3));
    QCOMPARE(clients[0]->received, greetings);
    QVERIFY(clients[1]->waitForTexts(2));
    QCOMPARE(clients[1]->received, greetings.mid(1));

    // Two frames in one write, an empty text, text without a line end, several senders at once.
    clients[0]->sendRaw(frameOfText("1@first     |一つ目\r\n")
                        + frameOfText("1@first     |二つ目\r\n"));
    clients[2]->sendRaw(frameOfText(QString()));
    clients[1]->sendRaw(frameOfText("no line end"));
    const int total = 4;
    for (int index = 0; index < int(clients.size()); ++index)
        QVERIFY(clients[index]->waitForTexts(int(greetings.size()) - index + total));

    const QStringList relayed = clients[0]->received.mid(greetings.size());
    QCOMPARE(relayed.size(), total);
    for (const QString &text :
         {QStringLiteral("1@first     |一つ目\r\n"), QString(), QStringLiteral("no line end")})
        QCOMPARE(relayed.count(text), 1);
    QVERIFY(relayed.indexOf("1@first     |一つ目\r\n")
            < relayed.indexOf("1@first     |二つ目\r\n"));
    // Every connection sees the same texts in the same order.
    QCOMPARE(clients[1]->received.mid(clients[1]->received.size() - total), relayed);
    QCOMPARE(clients[2]->received.mid(clients[2]->received.size() - total), relayed);

    // The console shows each text on a line of its own, the empty one and the one without a
    // line end too; each client's join comes before its first text.
    QByteArray expected;
    const QByteArrayList counts{"1 client", "2 clients", "3 clients"};
    for (int index = 0; index < int(clients.size()); ++index)
        expected += joinLine(*clients[index], counts[index]) + "> "
                + greetings[index].chopped(2).toUtf8() + '\n';
    for (QString text : relayed)
        expected += "> " + (text.endsWith("\r\n") ? text.chopped(2) : text).toUtf8() + '\n';
    QVERIFY2(relay.outputHas(expected), relay.output.constData());
    QCOMPARE(relay.output, expected);
}

void TestRelayService::quietKeepsTheTextsOffTheConsole()
{
    Relay relay;
    QVERIFY(relay.start(anyPort + QStringList{QStringLiteral("--quiet")}));
    const std::unique_ptr<WireClient> client =
            relay.join(QStringLiteral("1@quiet     |しずか\r\n"));
    QVERIFY(client);
    // A quiet relay relays without making strings of the texts: invalid UTF-8 still goes out as
    // the replacement characters it was read as.
    client->sendRaw(testsupport::frameOf("a\xff"
                                         "b"));
    QVERIFY(client->waitForTexts(2, waitMilliseconds));
    QVERIFY(client->wire.endsWith(QByteArray("\0\0\0\x05"
                                             "a\xef\xbf\xbd"
                                             "b",
                                             9)));

    relay.stop();
    QVERIFY(relay.ends());
    // Its own lines are no texts: they stay.
    QCOMPARE(relay.output,
             joinLine(*client, "1 client")
                     + "prynechat-relay: SIGTERM, closing every connection\n");
}

void TestRelayService::consoleShowsEachTextAsOneEscapedLine()
{
    Relay relay;
    QVERIFY(relay.start(anyPort));
    // Colour, window title, clipboard (OSC 52), a bare CR over the line, a C1 CSI, a tab.
    const QString text = QStringLiteral("1@mallory   |\x1b[31mred\x1b]0;title\x07"
                                        "\x1b]52;c;SGVsbG8=\x1b\\ok\rover\u009b2J\tend\r\n");
    const std::unique_ptr<WireClient> client = relay.join(text);
    QVERIFY(client);
    // A line of the relay's own after CR LF, with no line end of its own to run into the next.
    const QString forged = QStringLiteral("1@mallory   |hi\r\nprynechat-relay: lost Redis at "
                                          "10.0.0.9:6379");
    client->send(forged);
    QVERIFY(client->waitForTexts(2));
    QCOMPARE(client->received.constLast(), forged);
    // A text that begins like a line of the relay's own, and one that writes out an escape.
    const QString lookalike = QStringLiteral("prynechat-relay: 10.0.0.9:4000 left (0 clients)");
    client->send(lookalike);
    const QString writtenOut = QStringLiteral("1@mallory   |x\\nprynechat-relay: SIGHUP");
    client->send(writtenOut);
    QVERIFY(client->waitForTexts(4));
    QCOMPARE(client->received.mid(2), QStringList({lookalike, writtenOut}));
    const QByteArray texts = joinLine(*client, "1 client")
            + "> 1@mallory   |\\x1b[31mred\\x1b]0;title\\x07\\x1b]52;c;SGVsbG8="
              "\\x1b\\\\ok\\rover\\u009b2J\\tend\n"
              "> 1@mallory   |hi\\r\\nprynechat-relay: lost Redis at 10.0.0.9:6379\n"
              "> \\x70rynechat-relay: 10.0.0.9:4000 left (0 clients)\n"
              "> 1@mallory   |x\\\\nprynechat-relay: SIGHUP\n";
    QVERIFY2(relay.outputHas(texts), relay.output.constData());

    relay.stop();
    QVERIFY(relay.ends());
    QCOMPARE(relay.output, texts + "prynechat-relay: SIGTERM, closing every connection\n");
}

void TestRelayService::unreadOutputNeitherBlocksNorGrows()
{
    // Standard output is a pipe that is read for the start line only.
    Pipe output;
    QVERIFY(output.made());
    QProcess process;
    process.setProcessEnvironment(headlessEnvironment());
    process.setChildProcessModifier([&output] { ::dup2(output.ends[1], STDOUT_FILENO); });
    process.start(Relay::executable(), {QStringLiteral("--port"), QStringLiteral("0")});
    QVERIFY(process.waitForStarted(waitMilliseconds));
    const auto stopRelay = qScopeGuard([&process] {
        process.kill();
        process.waitForFinished(waitMilliseconds);
    });
    QVERIFY(output.readUntil("\n"));
    Relay relay; // only for its join
    relay.port = QString::fromUtf8(output.read).section(u':', -1).trimmed().toInt();
    QVERIFY(relay.port > 0);
    output.read.clear();

    const std::unique_ptr<WireClient> sender = relay.join(QStringLiteral("sender"));
    QVERIFY(sender);
    const std::unique_ptr<WireClient> receiver = relay.join(QStringLiteral("receiver"));
    QVERIFY(receiver);
    QVERIFY(sender->waitForTexts(2));
    // Several times what a pipe and the relay's bound hold, one text at a time.
    const QString text = QString(1000, u'x') + QStringLiteral("\r\n");
    const int count = 4000;
    // In rounds of a few dozen texts, each relayed before the next round goes.
    const int round = 40;
    const QByteArray frames = frameOfText(text).repeated(round);
    for (int sent = round; sent <= count; sent += round) {
        sender->sendRaw(frames);
        QVERIFY2(receiver->waitForTexts(1 + sent), qPrintable(QString::number(sent)));
    }
    QVERIFY(sender->waitForTexts(2 + count));
    QCOMPARE(receiver->received.constLast(), text);

    // Once read, the output ends with the count of lines that did not fit.
    output.closeWriter();
    QCOMPARE(::kill(pid_t(process.processId()), SIGTERM), 0);
    output.readToEnd(); // the relay has exited
    // The event loop may have seen it end already.
    QVERIFY(process.state() == QProcess::NotRunning || process.waitForFinished(waitMilliseconds));
    static const QRegularExpression dropped(QStringLiteral(
            "\\nprynechat-relay: (\\d+) lines dropped: the output was not read in time\\n$"));
    const QRegularExpressionMatch match = dropped.match(QString::fromUtf8(output.read));
    QVERIFY2(match.hasMatch(), output.read.right(200).constData());
    const int shown = int(output.read.count(QString(1000, u'x').toUtf8() + '\n'));
    QVERIFY(shown > 0);
    // "receiver" may be shown or dropped too.
    const int droppedCount = match.captured(1).toInt();
    QVERIFY2(shown + droppedCount == count || shown + droppedCount == count + 1,
             qPrintable(QStringLiteral("%1 + %2").arg(shown).arg(droppedCount)));
}

// Under --quiet, as the unit runs it, the log still says who came, who left and who was dropped
// and why, with the count of clients after each.
void TestRelayService::logsWhoJoinsLeavesAndIsDroppedUnderQuiet()
{
    Relay relay;
    QVERIFY(relay.start(anyPort + QStringList{QStringLiteral("--quiet")}));
    std::vector<std::unique_ptr<WireClient>> clients;
    for (const char *greeting : {"first", "second", "third"}) {
        clients.push_back(relay.join(QString::fromLatin1(greeting)));
        QVERIFY(clients.back());
    }
    QByteArray expected = joinLine(*clients[0], "1 client") + joinLine(*clients[1], "2 clients")
            + joinLine(*clients[2], "3 clients");
    QVERIFY(relay.outputHas(expected));

    // The third announces a frame above the bound and is dropped; the others stay.
    const QByteArray dropped = peerOf(*clients[2]);
    clients[2]->sendRaw(oversizedHeader);
    expected +=
            "prynechat-relay: " + dropped + " dropped: announced a text above 1 MiB (2 clients)\n";
    QVERIFY2(relay.outputHas(expected), relay.output.constData());
    QVERIFY(clients[2]->socket.state() == QAbstractSocket::UnconnectedState
            || clients[2]->socket.waitForDisconnected(waitMilliseconds));

    // The first leaves on its own.
    const QByteArray leaving = peerOf(*clients[0]);
    clients[0]->socket.disconnectFromHost();
    expected += "prynechat-relay: " + leaving + " left (1 client)\n";
    QVERIFY2(relay.outputHas(expected), relay.output.constData());

    // The second still gets texts relayed.
    clients[1]->send(QStringLiteral("still here"));
    QVERIFY(clients[1]->waitForTexts(2));

    relay.stop();
    QVERIFY(relay.ends());
    QCOMPARE(relay.output, expected + "prynechat-relay: SIGTERM, closing every connection\n");
}

void TestRelayService::prefixesPrioritiesOnlyForTheJournal_data()
{
    QTest::addColumn<bool>("journal");
    QTest::newRow("output and errors are the journal's stream") << true;
    QTest::newRow("JOURNAL_STREAM names another stream: redirected by the administrator") << false;
}

// As systemd runs it: standard output and error are one stream, which JOURNAL_STREAM names.
void TestRelayService::prefixesPrioritiesOnlyForTheJournal()
{
    QFETCH(bool, journal);
    const auto priority = [journal](const char *prefix) {
        return journal ? QByteArray(prefix) : QByteArray();
    };

    Pipe output;
    Pipe elsewhere;
    QVERIFY(output.made() && elsewhere.made());
    QProcessEnvironment environment = headlessEnvironment();
    environment.insert(QStringLiteral("JOURNAL_STREAM"),
                       QString::fromLatin1((journal ? output : elsewhere).journalStream()));
    QProcess process;
    process.setProcessEnvironment(environment);
    const int writer = output.ends[1];
    process.setChildProcessModifier([writer] {
        ::dup2(writer, STDOUT_FILENO);
        ::dup2(writer, STDERR_FILENO);
    });
    process.start(Relay::executable(), {QStringLiteral("--port"), QStringLiteral("0")});
    QVERIFY(process.waitForStarted(waitMilliseconds));
    const auto stopRelay = qScopeGuard([&process] {
        process.kill();
        process.waitForFinished(waitMilliseconds);
    });
    output.closeWriter();

    const QByteArray startLine = priority("<5>") + "prynechat-relay: relaying on ";
    QVERIFY(output.readUntil(startLine));
    QVERIFY(output.readUntil("\n"));
    QVERIFY2(output.read.startsWith(startLine), output.read.constData());
    Relay relay; // only for its join
    relay.port = QString::fromUtf8(output.read.left(output.read.indexOf('\n')))
                         .section(u':', -1)
                         .toInt();
    QVERIFY(relay.port > 0);
    output.read.remove(0, output.read.indexOf('\n') + 1);

    // A text cannot choose its own priority, nor pass for a line of the relay's own.
    const QString forged = QStringLiteral("<3>prynechat-relay: cannot serve port 555\r\n");
    const std::unique_ptr<WireClient> client = relay.join(forged);
    QVERIFY(client);
    const std::unique_ptr<WireClient> hostile = relay.join(QStringLiteral("prynechat-relay: hi"));
    QVERIFY(hostile);
    QByteArray expected = priority("<6>") + joinLine(*client, "1 client") + priority("<6>")
            + "> <3>prynechat-relay: cannot serve port 555\n" + priority("<6>")
            + joinLine(*hostile, "2 clients") + priority("<6>") + "> \\x70rynechat-relay: hi\n"
            + priority("<4>") + "prynechat-relay: " + peerOf(*hostile)
            + " dropped: announced a text above 1 MiB (1 client)\n";
    hostile->sendRaw(oversizedHeader);
    QVERIFY2(output.readUntil(expected), output.read.constData());

    // Past journald's line limit (48 KiB) the rest of a line would be a line of its own, with
    // the priority and words the sender chose: the relay cuts the line well before, and says so.
    const QString flood = QString(49149, u'a')
            + QStringLiteral("<3>prynechat-relay: 10.0.0.9:4000 dropped: lagging");
    client->send(flood);
    const QByteArray shown = "> " + flood.toUtf8();
    expected += priority("<6>") + shown.left(AdminLog::maxLineBytes) + " [cut: "
            + QByteArray::number(shown.size() - AdminLog::maxLineBytes) + " more bytes]\n";
    QVERIFY(output.readUntil(expected));
    for (const QByteArray &line : output.read.split('\n')) {
        const QByteArray own = journal ? line.mid(3) : line;
        QVERIFY(line.size() < 48 * 1024);
        QVERIFY2(line.isEmpty() || own.startsWith("> ") || own.startsWith("prynechat-relay: "),
                 line.left(80).constData());
    }

    QCOMPARE(::kill(pid_t(process.processId()), SIGTERM), 0);
    output.readToEnd(); // the relay has exited
    // The event loop may have seen it end already.
    QVERIFY(process.state() == QProcess::NotRunning || process.waitForFinished(waitMilliseconds));
    QCOMPARE(output.read,
             expected + priority("<5>") + "prynechat-relay: SIGTERM, closing every connection\n");
}

// A relay that cannot start says why as errors, its advice too.
void TestRelayService::startFailureIsAnErrorForTheJournal()
{
    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::Any, 0));
    const QByteArray port = QByteArray::number(occupant.serverPort());

    Pipe errors;
    QVERIFY(errors.made());
    QProcessEnvironment environment = headlessEnvironment();
    environment.insert(QStringLiteral("JOURNAL_STREAM"),
                       QString::fromLatin1(errors.journalStream()));
    QProcess process;
    process.setProcessEnvironment(environment);
    const int writer = errors.ends[1];
    process.setChildProcessModifier([writer] { ::dup2(writer, STDERR_FILENO); });
    process.start(Relay::executable(), {QStringLiteral("--port"), QString::fromLatin1(port)});
    QVERIFY(process.waitForStarted(waitMilliseconds));
    errors.closeWriter();
    errors.readToEnd(); // the relay has exited
    QVERIFY(process.state() == QProcess::NotRunning || process.waitForFinished(waitMilliseconds));
    QCOMPARE(process.exitCode(), 1);
    QCOMPARE(errors.read,
             "<3>prynechat-relay: cannot serve port " + port
                     + ": the port is already in use\n"
                       "<3>Another program is already serving this port: stop it, or choose "
                       "another port with --port (ports from 1024 up need no privileges).\n");
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
}

// Peers from elsewhere than --allow, on both ports, and one over --max-per-address are closed
// before the relay reads a byte of theirs; the log tells of each address once.
void TestRelayService::refusesOthersAndTheOverLimitBeforeReadingAByte()
{
    Relay relay;
    QVERIFY(relay.start(anyPort
                        + QStringList{"--quiet", "--allow", "127.0.0.2", "--max-per-address", "2",
                                      "--web", "127.0.0.1:0"}));
    const int webPort = relay.webPort;
    const auto connectFrom = [](const char *address, int port) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->bind(QHostAddress(QString::fromLatin1(address)));
        socket->connectToHost(QHostAddress::LocalHost, quint16(port));
        return socket;
    };
    // Refused at once, though it sends: closed without an answer, on either port.
    for (const int port : {relay.port, webPort}) {
        const std::unique_ptr<QTcpSocket> stranger = connectFrom("127.0.0.1", port);
        QVERIFY(stranger->waitForConnected(waitMilliseconds));
        stranger->write(frameOfText(QStringLiteral("let me in")));
        QVERIFY(stranger->state() == QAbstractSocket::UnconnectedState
                || stranger->waitForDisconnected(waitMilliseconds));
        QCOMPARE(stranger->bytesAvailable(), 0);
    }
    QVERIFY2(relay.outputHas("prynechat-relay: refused 127.0.0.1: not in an allowed network "
                             "(--allow); more refusals from it are counted for a minute\n"),
             relay.output.constData());
    QCOMPARE(relay.output.count("refused"), 1);

    // Two from the allowed address are in; the third is refused, the two stay served.
    std::vector<std::unique_ptr<QTcpSocket>> allowed;
    for (int count = 0; count < 2; ++count) {
        allowed.push_back(connectFrom("127.0.0.2", relay.port));
        QVERIFY(allowed.back()->waitForConnected(waitMilliseconds));
    }
    QVERIFY(relay.outputHas("(2 clients)\n"));
    const std::unique_ptr<QTcpSocket> third = connectFrom("127.0.0.2", relay.port);
    QVERIFY(third->state() == QAbstractSocket::UnconnectedState
            || third->waitForDisconnected(waitMilliseconds));
    QVERIFY(relay.outputHas("prynechat-relay: refused 127.0.0.2: already has 2 connections "
                            "(--max-per-address)"));
    allowed.front()->write(frameOfText(QStringLiteral("still served")));
    QVERIFY(allowed.front()->waitForBytesWritten(waitMilliseconds));
    QVERIFY(allowed.back()->waitForReadyRead(waitMilliseconds));
}

void TestRelayService::privilegedPortEndsWithStatusOneAndAdvice()
{
    QFile firstUnprivileged(QStringLiteral("/proc/sys/net/ipv4/ip_unprivileged_port_start"));
    if (firstUnprivileged.open(QIODevice::ReadOnly)
        && firstUnprivileged.readAll().trimmed().toInt() <= 555)
        QSKIP("this machine lets everyone bind port 555");

    // As root the relay would succeed, so it is started as nobody.
    QString program = Relay::executable();
    QStringList arguments{QStringLiteral("--port"), QStringLiteral("555")};
    if (::geteuid() == 0) {
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty())
            QSKIP("running as root without setpriv to drop privileges");
        arguments = QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                QStringLiteral("--clear-groups"), program}
                + arguments;
        program = setpriv;
    }
    QProcess relay;
    relay.setProcessEnvironment(headlessEnvironment());
    relay.start(program, arguments);
    QVERIFY(relay.waitForFinished(waitMilliseconds));

    QCOMPARE(relay.exitStatus(), QProcess::NormalExit);
    const QString errors = QString::fromUtf8(relay.readAllStandardError());
    QVERIFY2(relay.exitCode() == 1, qPrintable(errors));
    QVERIFY2(errors.startsWith("prynechat-relay: cannot serve port 555: no permission to use the "
                               "port\n"),
             qPrintable(errors));
    QVERIFY2(errors.contains("Ports below 1024 need privileges; ports from 1024 up do not."),
             qPrintable(errors));
    QVERIFY2(errors.contains("setcap cap_net_bind_service=+ep"), qPrintable(errors));
}

void TestRelayService::listensOnOneAddress()
{
    Relay relay;
    QVERIFY(relay.start(anyPort
                        + QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1")}));
    QCOMPARE(relay.address, QStringLiteral("127.0.0.1"));
    QVERIFY(relay.join(QStringLiteral("local")));

    // Bound to IPv4 loopback only, the IPv6 one is not served.
    QTcpSocket other;
    other.connectToHost(QHostAddress::LocalHostIPv6, quint16(relay.port));
    QVERIFY(!other.waitForConnected(waitMilliseconds));
}

void TestRelayService::takesTheSocketOfTheServiceManager()
{
    // What systemd does for prynechat-relay.socket: a listening socket on descriptor 3 and
    // LISTEN_PID/LISTEN_FDS naming the relay's process; the shell's exec keeps its pid.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QVERIFY(listener >= 0);
    const auto closeListener = qScopeGuard([listener] { ::close(listener); });
    sockaddr_in bound = {};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof bound;
    QCOMPARE(::bind(listener, reinterpret_cast<sockaddr *>(&bound), sizeof bound), 0);
    QCOMPARE(::listen(listener, 16), 0);
    QCOMPARE(::getsockname(listener, reinterpret_cast<sockaddr *>(&bound), &length), 0);

    Relay relay;
    relay.process.setChildProcessModifier([listener] { ::fcntl(listener, F_SETFD, 0); });
    // --port 1 would fail: with a passed socket it does not apply.
    const QString script = QStringLiteral("LISTEN_PID=$$ LISTEN_FDS=1; export LISTEN_PID "
                                          "LISTEN_FDS; exec \"$0\" \"$@\" 3<&%1")
                                   .arg(listener);
    QVERIFY(relay.start({QStringLiteral("-c"), script, Relay::executable(),
                         QStringLiteral("--port"), QStringLiteral("1")},
                        QStringLiteral("/bin/sh")));
    QCOMPARE(relay.port, int(ntohs(bound.sin_port)));
    QCOMPARE(relay.address, QStringLiteral("127.0.0.1"));
    QCOMPARE(relay.note,
             QStringLiteral("the service manager's socket; --port and --listen are "
                            "ignored"));
    const std::unique_ptr<WireClient> first = relay.join(QStringLiteral("first"));
    QVERIFY(first);
    const std::unique_ptr<WireClient> second = relay.join(QStringLiteral("second"));
    QVERIFY(second);
    QVERIFY(first->waitForTexts(2));
    QCOMPARE(first->received, QStringList({"first", "second"}));
}

void TestRelayService::refusesAPassedDescriptorThatDoesNotListen_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("a file") << "file"
                            << "not a socket";
    QTest::newRow("a UNIX socket, whose path is no address")
            << "unix listening"
            << "not a TCP socket over IPv4 or IPv6";
    QTest::newRow("a connected TCP socket") << "tcp4 connected"
                                            << "a TCP socket that does not listen";
    QTest::newRow("a TCP socket never bound") << "tcp4 unbound"
                                              << "a TCP socket that does not listen";
}

// Anything else on descriptor 3 used to leave the relay serving nothing and spinning: it ends.
void TestRelayService::refusesAPassedDescriptorThatDoesNotListen()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    const int passed = testsupport::descriptorOfKind(kind);
    QVERIFY(passed >= 0);
    const auto closePassed = qScopeGuard([passed] { ::close(passed); });
    QProcess relay;
    relay.setProcessEnvironment(headlessEnvironment());
    relay.setChildProcessModifier([passed] { ::fcntl(passed, F_SETFD, 0); });
    const QString script = QStringLiteral("LISTEN_PID=$$ LISTEN_FDS=1; export LISTEN_PID "
                                          "LISTEN_FDS; exec \"$0\" \"$@\" 3<&%1")
                                   .arg(passed);
    relay.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"), script, Relay::executable(), QStringLiteral("--port"),
                 QStringLiteral("0")});
    QVERIFY(relay.waitForFinished(waitMilliseconds));
    QCOMPARE(relay.exitStatus(), QProcess::NormalExit);
    QCOMPARE(relay.exitCode(), 1);
    QCOMPARE(QString::fromUtf8(relay.readAllStandardError()),
             "prynechat-relay: cannot serve the socket passed by the service manager: " + reason
                     + "\n");
    QCOMPARE(relay.readAllStandardOutput(), QByteArray());
}

// What systemd's ProcSubset=pid leaves the relay: a /proc with process folders only. The start
// line must still show the address of the interface holding the default route, not the first
// one listed. Run in network and mount namespaces of its own, where nothing is dialled.
void TestRelayService::showsTheLanAddressUnderProcSubsetPid()
{
    const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
    const QString ip = QStandardPaths::findExecutable(QStringLiteral("ip"));
    if (::geteuid() != 0 || unshare.isEmpty() || ip.isEmpty())
        QSKIP("needs root, unshare and ip for namespaces of its own");
    // A bridge listed first, as docker0 is, and the LAN behind a veth pair; documentation
    // addresses, never reached.
    const QString script = QStringLiteral(
            "set -e; ip link set lo up; ip link add decoy0 type bridge; "
            "ip addr add 192.0.2.1/24 dev decoy0; ip link set decoy0 up; "
            "ip link add lan0 type veth peer name lan1; ip addr add 198.51.100.7/24 dev lan0; "
            "ip link set lan1 up; ip link set lan0 up; "
            "ip route add default via 198.51.100.1 dev lan0; "
            "mount -t proc -o subset=pid proc /proc; test ! -e /proc/net/route; "
            "exec \"$0\" --port 0");
    Relay relay;
    if (!relay.start({QStringLiteral("--net"), QStringLiteral("--mount"), QStringLiteral("--fork"),
                      QStringLiteral("--kill-child"), QStringLiteral("sh"), QStringLiteral("-c"),
                      script, Relay::executable()},
                     unshare)) {
        relay.ends();
        const QByteArray errors = relay.errors;
        if (errors.contains("Operation not permitted") || errors.contains("Unknown device type"))
            QSKIP(qPrintable("cannot make the namespaces here: " + errors));
        QFAIL(errors.constData());
    }
    QCOMPARE(relay.address, QStringLiteral("198.51.100.7"));
}

// As systemd runs a Type=notify unit: NOTIFY_SOCKET names a datagram socket that hears when the
// relay serves, how many clients it has, and when it reloads. SIGHUP reads the config file
// again: what can change applies to newcomers at once, nobody is dropped, the log says what
// waits for a restart, and a wrong file changes nothing.
void TestRelayService::reloadKeepsEveryoneAndTellsTheServiceManager()
{
    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    const QByteArray socketPath = QFile::encodeName(scratch.filePath("notify"));
    const int listener = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    QVERIFY(listener >= 0);
    const auto closeListener = qScopeGuard([listener] { ::close(listener); });
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.constData(), sizeof address.sun_path - 1);
    QCOMPARE(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    const auto heard = [listener] {
        QByteArray message;
        testsupport::waitUntil([&] {
            char buffer[512];
            const ssize_t got = ::recv(listener, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0)
                message = QByteArray(buffer, got);
            return got > 0;
        });
        return message;
    };
    const QString config = scratch.filePath("relay.conf");
    const auto writeConfig = [&config](const QByteArray &lines) {
        QFile file(config);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(lines) > 0;
    };
    QVERIFY(writeConfig("quiet = yes\n"));

    Relay relay;
    relay.environment.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromLocal8Bit(socketPath));
    QVERIFY(relay.start(anyPort + QStringList{"--config", config}));
    QCOMPARE(heard(), QByteArray("READY=1\nSTATUS=0 clients"));
    const std::unique_ptr<WireClient> client = relay.join(QStringLiteral("before"));
    QVERIFY(client);
    QCOMPARE(heard(), QByteArray("READY=1\nSTATUS=1 client"));

    QVERIFY(writeConfig("# from now on\nallow = 127.0.0.2\nweb = 127.0.0.1:0\n"));
    QCOMPARE(::kill(pid_t(relay.process.processId()), SIGHUP), 0);
    QCOMPARE(heard(), QByteArray("RELOADING=1"));
    QCOMPARE(heard(), QByteArray("READY=1"));
    QVERIFY2(relay.outputHas("prynechat-relay: SIGHUP, settings read again from "
                             + QFile::encodeName(config)
                             + ": allowed networks, limits, --quiet and the bridge's password "
                               "apply now\nprynechat-relay: --web changed: restart the relay for "
                               "that\n"),
             relay.output.constData());
    // The one who was in stays; a newcomer from elsewhere is not let in; the texts show now.
    client->send(QStringLiteral("after"));
    QVERIFY(client->waitForTexts(2));
    QVERIFY(relay.outputHas("\n> after\n"));
    QTcpSocket stranger;
    stranger.connectToHost(QHostAddress::LocalHost, quint16(relay.port));
    QVERIFY(stranger.waitForConnected(waitMilliseconds));
    QVERIFY(stranger.state() == QAbstractSocket::UnconnectedState
            || stranger.waitForDisconnected(waitMilliseconds));
    QVERIFY(relay.outputHas("prynechat-relay: refused 127.0.0.1: not in an allowed network"));

    // A file that does not read changes nothing.
    QVERIFY(writeConfig("colour = blue\n"));
    QCOMPARE(::kill(pid_t(relay.process.processId()), SIGHUP), 0);
    QVERIFY(relay.outputHas(": not a setting (key = value, the key a long option's name): colour "
                            "= blue\nprynechat-relay: SIGHUP, the settings stay as they were\n"));
    client->send(QStringLiteral("still"));
    QVERIFY(client->waitForTexts(3));
}

void TestRelayService::stopSignalClosesEveryConnection_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QByteArray>("farewell");

    QTest::newRow("SIGTERM") << int(SIGTERM)
                             << QByteArray("prynechat-relay: SIGTERM, closing every connection\n");
    QTest::newRow("SIGINT") << int(SIGINT)
                            << QByteArray("prynechat-relay: SIGINT, closing every connection\n");
}

void TestRelayService::stopSignalClosesEveryConnection()
{
    QFETCH(int, signal);
    QFETCH(QByteArray, farewell);

    Relay relay;
    QVERIFY(relay.start(anyPort + QStringList{QStringLiteral("--quiet")}));
    const std::unique_ptr<WireClient> first = relay.join(QStringLiteral("first"));
    QVERIFY(first);
    const std::unique_ptr<WireClient> second = relay.join(QStringLiteral("second"));
    QVERIFY(second);

    QCOMPARE(::kill(pid_t(relay.process.processId()), signal), 0);
    QVERIFY(relay.ends());
    QCOMPARE(relay.process.exitCode(), 0);
    // One line says that everyone goes, none for each client.
    QCOMPARE(relay.output,
             joinLine(*first, "1 client") + joinLine(*second, "2 clients") + farewell);

    for (WireClient *client : {first.get(), second.get()}) {
        if (client->socket.state() != QAbstractSocket::UnconnectedState)
            QVERIFY(client->socket.waitForDisconnected(waitMilliseconds));
    }
}

QTEST_GUILESS_MAIN(TestRelayService)
#include "tst_RelayService.moc"
