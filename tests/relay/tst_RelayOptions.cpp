#include "relay/RelayOptions.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <vector>

// The relay's options as its --help describes them, read in process: every option the help lists
// has a row, and every row says what the relay would serve with, or how it ends and what it says.
class TestRelayOptions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyListedOptionHasARow();
    void readsWhatTheHelpSays_data();
    void readsWhatTheHelpSays();

private:
    QTemporaryDir scratch;
};

namespace {

const QByteArray password = "s3cret pass";

// One command line and what comes of it. Placeholders: {file}, {empty}, {lines} and
// {credentials} name a file holding the password, one holding nothing, one holding two lines,
// and a credentials folder; {password} is the password, percent-encoded in a URL.
struct OptionRow
{
    const char *name;
    QStringList arguments;
    QByteArray environmentPassword;
    int status; // -1: it serves with `settings`
    QString settings; // as describe() words them
    QString output; // a pattern for the help or the version
    QString errors; // a pattern for the lines for standard error, one per line
    QByteArray config = {}; // the default config file's lines, {conf} its path
};

const QString usage = QStringLiteral("^Usage: \\S+ \\[options\\]\\n[^\\0]*--bridge-wait <seconds>");
const QString defaults = QStringLiteral("port 555 on any");

const std::vector<OptionRow> &rows()
{
    static const std::vector<OptionRow> table{
            // clang-format off
            // Help-like: print and end with 0, whatever else is given.
            {"-h", {"-h", "--port", "x"}, {}, 0, {}, usage, "^$"},
            {"--help", {"--help"}, {}, 0, {}, usage, "^$"},
            {"--help-all lists no option of Qt's own", {"--help-all"}, {}, 0, {},
             usage + "(?![^\\0]*qmljsdebugger)", "^$"},
            {"-v", {"-v", "--port", "x"}, {}, 0, {}, "^prynechat-relay 1\\.0\\.0\\n$", "^$"},
            {"--version", {"--version"}, {}, 0, {}, "^prynechat-relay 1\\.0\\.0\\n$", "^$"},

            // Where it listens
            {"nothing serves port 555 everywhere", {}, {}, -1, defaults, "^$", "^$"},
            {"-p", {"-p", "0"}, {}, -1, "port 0 on any, given", "^$", "^$"},
            {"--port", {"--port", "65535"}, {}, -1, "port 65535 on any, given", "^$", "^$"},
            {"--port above the range", {"--port", "65536"}, {}, 2, {}, "^$",
             "^prynechat-relay: 65536 is not a port \\(0 to 65535\\)\\n$"},
            {"--port negative", {"--port=-1"}, {}, 2, {}, "^$",
             "^prynechat-relay: -1 is not a port \\(0 to 65535\\)\\n$"},
            {"--port not a number", {"-p", "abc"}, {}, 2, {}, "^$",
             "^prynechat-relay: abc is not a port \\(0 to 65535\\)\\n$"},
            {"--port a fraction", {"--port", "55.5"}, {}, 2, {}, "^$",
             "^prynechat-relay: 55\\.5 is not a port \\(0 to 65535\\)\\n$"},
            {"--port with a space", {"--port", " 55"}, {}, 2, {}, "^$",
             "^prynechat-relay:  55 is not a port \\(0 to 65535\\)\\n$"},
            {"--port without its value", {"--port"}, {}, 2, {}, "^$",
             "^prynechat-relay: Missing value after '--port'; see --help\\n$"},
            {"-l", {"-l", "127.0.0.1"}, {}, -1, "port 555 on 127.0.0.1, given", "^$", "^$"},
            {"--listen IPv6", {"--listen", "::1"}, {}, -1, "port 555 on ::1, given", "^$", "^$"},
            {"--listen a name", {"--listen", "lan"}, {}, 2, {}, "^$",
             "^prynechat-relay: lan is not an IPv4 or IPv6 address\\n$"},
            {"--listen twice", {"-l", "127.0.0.1", "--listen", "::1"}, {}, 2, {}, "^$",
             "^prynechat-relay: --listen is given more than once; it takes one value\\n$"},
            {"--listen link-local without its interface", {"--listen", "fe80::1"}, {}, 2, {}, "^$",
             "^prynechat-relay: fe80::1 is a link-local address: name its interface too, as in " "fe80::1%eth0\\n$"},
            {"a window's switch", {"/s"}, {}, 2, {}, "^$",
             "^prynechat-relay: unexpected argument /s; see --help\\n$"},
            {"an unknown option", {"--bogus"}, {}, 2, {}, "^$",
             "^prynechat-relay: Unknown option 'bogus'; see --help\\n$"},

            // Who may come in
            {"--allow, repeated, IPv4 and IPv6",
             {"--allow", "192.168.1.0/24", "--allow", "fd00::/8", "--allow", "10.0.0.9"}, {}, -1,
             defaults + ", allow 192.168.1.0/24 fd00::/8 10.0.0.9/32", "^$", "^$"},
            {"--allow a name", {"--allow", "lan"}, {}, 2, {}, "^$",
             "^prynechat-relay: lan is not a network \\(192\\.168\\.1\\.0/24, fd00::/8 or one " "address\\)\\n$"},
            {"--max-per-address and --max-joins-per-minute",
             {"--max-per-address", "0", "--max-joins-per-minute", "5"}, {}, -1,
             "port 555 on any, 0 per address, 5 joins a minute", "^$", "^$"},
            {"--max-per-address past its bound", {"--max-per-address", "1000001"}, {}, 2, {}, "^$",
             "^prynechat-relay: 1000001 is not a limit for --max-per-address \\(0 to " "1000000\\)\\n$"},
            {"--max-joins-per-minute not a number", {"--max-joins-per-minute", "many"}, {}, 2, {},
             "^$",
             "^prynechat-relay: many is not a limit for --max-joins-per-minute \\(0 to " "1000000\\)\\n$"},

            // A config file
            {"the default config file, its flag and repeated key", {}, {}, -1,
             "port 5555 on any, given, allow 10.0.0.0/8 fd00::/8, quiet", "^$", "^$",
             "# the home network\n\nport = 5555\nquiet = yes\n  allow=10.0.0.0/8 \nallow = " "fd00::/8\n"},
            {"the command line wins, a repeatable option too",
             {"--port", "0", "--allow", "::1", "--max-per-address=3"}, {}, -1,
             "port 0 on any, given, 3 per address, 60 joins a minute, allow ::1/128", "^$", "^$",
             "port = 5555\nallow = 10.0.0.0/8\nmax-per-address = 0\n"},
            {"--config names another file", {"--config", "{conf}.other"}, {}, -1, defaults, "^$",
             "^$", "port = 5555\n"},
            {"--config that is not there", {"--config", "/nonexistent.conf"}, {}, 2, {}, "^$",
             "^prynechat-relay: cannot read /nonexistent\\.conf: "},
            {"a line that is no setting", {}, {}, 2, {}, "^$",
             "^prynechat-relay: \\S+:2: not a setting \\(key = value, the key a long option's " "name\\): colour = blue\\n$",
             "port = 5555\ncolour = blue\n"},
            {"a flag that is neither yes nor no", {}, {}, 2, {}, "^$",
             "^prynechat-relay: \\S+:1: quiet is yes or no\\n$", "quiet = maybe\n"},
            {"a bad value in the file", {}, {}, 2, {}, "^$",
             "^prynechat-relay: abc is not a port \\(0 to 65535\\)\\n$", "port = abc\n"},
            {"a single-value key twice in the file", {}, {}, 2, {}, "^$",
             "^prynechat-relay: --port is given more than once; it takes one value\\n$",
             "port = 1\nport = 2\n"},
            {"--check-config with valid settings", {"--check-config"}, {}, 0, {},
             "^prynechat-relay: the settings are valid \\(\\S+relay\\.conf\\)\\n$", "^$",
             "port = 5555\n"},
            {"--check-config with a wrong one", {"--check-config"}, {}, 2, {}, "^$",
             "^prynechat-relay: \\S+:1: not a setting", "prot = 5555\n"},

            // What it prints
            {"-q", {"-q"}, {}, -1, defaults + ", quiet", "^$", "^$"},
            {"--quiet", {"--quiet"}, {}, -1, defaults + ", quiet", "^$", "^$"},

            // The chat page for browsers
            {"-w takes --listen's address", {"-w", "8080", "-l", "127.0.0.1"}, {}, -1,
             "port 555 on 127.0.0.1, given, web 127.0.0.1:8080", "^$", "^$"},
            {"--web with an IPv6 address", {"--web", "[::1]:0"}, {}, -1, defaults + ", web ::1:0",
             "^$", "^$"},
            {"--web on the chat port", {"--web", "5601", "--port", "5601"}, {}, 2, {}, "^$",
             "^prynechat-relay: --web 5601 is the chat port too: give the page a port of its " "own\\n$"},
            {"--web with a name", {"--web", "chatbox:8080"}, {}, 2, {}, "^$",
             "^prynechat-relay: chatbox:8080 is not a web port \\(\\[address:\\]port, port 0 to " "65535, an IPv6 address in brackets\\)\\n$"},

            // The bridge and its password
            {"-b with the password in the URL, which it warns of",
             {"-b", "redis://:{password}@127.0.0.1:7000/options"}, {}, -1,
             defaults + ", bridge 127.0.0.1:7000 prynechat:options password 's3cret pass' wait 60",
             "^$",
             "^prynechat-relay: the Redis password in the URL shows in the process list: see " "--bridge-password-file\\n$"},
            {"--bridge without a password", {"--bridge", "redis://10.0.0.2"}, {}, -1,
             defaults + ", bridge 10.0.0.2:6379 prynechat:prynechat password '' wait 60", "^$", "^$"},
            {"--bridge not a redis URL", {"--bridge", "http://10.0.0.2"}, {}, 2, {}, "^$",
             "^prynechat-relay: .+\\n$"},
            {"--bridge-password-file",
             {"--bridge", "redis://h", "--bridge-password-file", "{file}"}, {}, -1,
             defaults + ", bridge h:6379 prynechat:prynechat password 's3cret pass' wait 60", "^$",
             "^$"},
            {"--bridge-password-file with nothing in it",
             {"--bridge", "redis://h", "--bridge-password-file", "{empty}"}, {}, 2, {}, "^$",
             "^prynechat-relay: \\S+ must hold the Redis password on one line\\n$"},
            {"--bridge-password-file with two lines",
             {"--bridge", "redis://h", "--bridge-password-file", "{lines}"}, {}, 2, {}, "^$",
             "^prynechat-relay: \\S+ must hold the Redis password on one line\\n$"},
            {"--bridge-password-file that is not there",
             {"--bridge", "redis://h", "--bridge-password-file", "/nonexistent"}, {}, 2, {}, "^$",
             "^prynechat-relay: cannot read the Redis password from /nonexistent: "},
            {"--bridge-password-file and a password in the URL",
             {"--bridge", "redis://:{password}@h", "--bridge-password-file", "{file}"}, {}, 2, {},
             "^$",
             "^prynechat-relay: the Redis password is in the URL and in a file: give it one " "way\\n$"},
            {"--bridge-password-file without --bridge", {"--bridge-password-file", "{file}"}, {}, 2,
             {}, "^$", "^prynechat-relay: --bridge-password-file needs --bridge\\n$"},
            {"the password from the environment", {"--bridge", "redis://h"}, password, -1,
             defaults + ", bridge h:6379 prynechat:prynechat password 's3cret pass' wait 60", "^$",
             "^$"},
            {"--history", {"--history", "0"}, {}, -1, defaults + ", history 0", "^$", "^$"},
            {"--history past its bound", {"--history", "10001"}, {}, 2, {}, "^$",
             "^prynechat-relay: 10001 is not a number of texts \\(0 to 10000\\)\\n$"},
            {"--bridge-wait", {"--bridge", "redis://h", "--bridge-wait", "3600"}, {}, -1,
             defaults + ", bridge h:6379 prynechat:prynechat password '' wait 3600", "^$", "^$"},
            {"--bridge-wait past its bound", {"--bridge", "redis://h", "--bridge-wait", "3601"}, {},
             2, {}, "^$", "^prynechat-relay: 3601 is not a number of seconds \\(0 to 3600\\)\\n$"},
            {"--bridge-wait without --bridge", {"--bridge-wait", "5"}, {}, 2, {}, "^$",
             "^prynechat-relay: --bridge-wait needs --bridge\\n$"},
            // clang-format on
    };
    return table;
}

QString describe(const RelaySettings &settings)
{
    QString words = QStringLiteral("port %1 on %2")
                            .arg(settings.port)
                            .arg(settings.listenAddress == QHostAddress::Any
                                         ? QStringLiteral("any")
                                         : settings.listenAddress.toString());
    if (settings.portOrAddressGiven)
        words += QStringLiteral(", given");
    const Admission::Rules &rules = settings.admission;
    if (rules.maxPerAddress != Admission::defaultMaxPerAddress
        || rules.maxJoinsPerMinute != Admission::defaultMaxJoinsPerMinute)
        words += QStringLiteral(", %1 per address, %2 joins a minute")
                         .arg(rules.maxPerAddress)
                         .arg(rules.maxJoinsPerMinute);
    if (!rules.allowed.isEmpty()) {
        words += QStringLiteral(", allow");
        for (const auto &[address, length] : rules.allowed)
            words += QStringLiteral(" %1/%2").arg(address.toString()).arg(length);
    }
    if (settings.quiet)
        words += QStringLiteral(", quiet");
    if (settings.web)
        words += QStringLiteral(", web %1:%2")
                         .arg(settings.web->address.toString())
                         .arg(settings.web->port);
    if (settings.historyTexts != 200)
        words += QStringLiteral(", history %1").arg(settings.historyTexts);
    if (settings.bridge)
        words += QStringLiteral(", bridge %1:%2 %3 password '%4' wait %5")
                         .arg(QString::fromUtf8(settings.bridge->host))
                         .arg(settings.bridge->port)
                         .arg(QString::fromUtf8(settings.bridge->streamKey()),
                              QString::fromUtf8(settings.bridge->password))
                         .arg(settings.bridgeWaitSeconds);
    return words;
}

QString writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
        return QString();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    return path;
}

// The option names a help text lists: "  -p, --port <port>  Listen on ..." gives -p and --port.
QStringList listedOptions(const QString &help)
{
    QStringList names;
    static const QRegularExpression optionLine(QStringLiteral("^  (-[^ ,]+(?:, -[^ ,]+)*)"),
                                               QRegularExpression::MultilineOption);
    for (const QRegularExpressionMatch &match : optionLine.globalMatch(help)) {
        for (const QString &name : match.captured(1).split(QStringLiteral(", ")))
            names << name.section(u'=', 0, 0).section(u' ', 0, 0);
    }
    return names;
}

} // namespace

void TestRelayOptions::initTestCase()
{
    QVERIFY(scratch.isValid());
}

void TestRelayOptions::everyListedOptionHasARow()
{
    const OptionReading help = readRelayOptions({"prynechat-relay", "--help"}, {});
    const QStringList listed = listedOptions(QString::fromUtf8(help.output));
    QVERIFY2(listed.contains(QStringLiteral("--bridge-wait")), help.output.constData());
    QStringList covered;
    for (const OptionRow &row : rows()) {
        for (const QString &argument : row.arguments) {
            if (argument.startsWith(u'-'))
                covered << argument.section(u'=', 0, 0);
        }
    }
    for (const QString &name : listed)
        QVERIFY2(covered.contains(name), qPrintable(name + " is listed but has no row"));
}

void TestRelayOptions::readsWhatTheHelpSays_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("environmentPassword");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("errors");
    QTest::addColumn<QByteArray>("config");
    for (const OptionRow &row : rows())
        QTest::newRow(row.name) << row.arguments << row.environmentPassword << row.status
                                << row.settings << row.output << row.errors << row.config;
}

void TestRelayOptions::readsWhatTheHelpSays()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, environmentPassword);
    QFETCH(int, status);
    QFETCH(QString, settings);
    QFETCH(QString, output);
    QFETCH(QString, errors);
    QFETCH(QByteArray, config);

    const QString conf = scratch.filePath("relay.conf");
    QFile::remove(conf);
    if (!config.isEmpty())
        QVERIFY(!writeFile(conf, config).isEmpty());
    QFile::remove(conf + ".other");
    QVERIFY(!writeFile(conf + ".other", {}).isEmpty());
    const QMap<QString, QString> values{
            {"{conf}", conf},
            {"{password}", QString::fromUtf8(QUrl::toPercentEncoding(password))},
            {"{file}", writeFile(scratch.filePath("password"), password + "\n")},
            {"{empty}", writeFile(scratch.filePath("empty"), "\n")},
            {"{lines}", writeFile(scratch.filePath("lines"), password + "\nmore\n")},
    };
    for (QString &argument : arguments) {
        for (auto value = values.begin(); value != values.end(); ++value)
            argument.replace(value.key(), value.value());
    }
    const OptionReading reading =
            readRelayOptions(QStringList{QStringLiteral("prynechat-relay")} + arguments,
                             {environmentPassword, {}, conf});
    QString lines;
    for (const AdminLine &line : reading.lines)
        lines += line.text + u'\n';
    QVERIFY2(QRegularExpression(errors).match(lines).hasMatch(), qPrintable(lines));
    QVERIFY2(QRegularExpression(output).match(QString::fromUtf8(reading.output)).hasMatch(),
             reading.output.constData());
    if (status < 0) {
        QVERIFY(reading.settings);
        QCOMPARE(describe(*reading.settings), settings);
    } else {
        QVERIFY(!reading.settings);
        QCOMPARE(reading.status, status);
    }
}

QTEST_GUILESS_MAIN(TestRelayOptions)
#include "tst_RelayOptions.moc"
