#include "relay/RelayOptions.h"

#include "net/SocketHelpers.h"
#include "relay/bridge/BridgePassword.h"

#include <QCommandLineParser>
#include <QFile>

#include <algorithm>

namespace {

// A limit above this is no limit worth giving: 0 says so.
constexpr int maxLimit = 1000000;

// A whole number within bounds, written as plain decimal digits; anything else is a typing error.
std::optional<int> readWholeNumber(const QString &text, int least, int most)
{
    bool ok = false;
    const int number = text.toInt(&ok, 10);
    if (!ok || number < least || number > most || text.trimmed() != text)
        return std::nullopt;
    return number;
}

QString versionText()
{
    return QStringLiteral("%1.%2.%3")
            .arg(PRYNECHAT_VERSION_MAJOR)
            .arg(PRYNECHAT_VERSION_MINOR)
            .arg(PRYNECHAT_VERSION_PATCH);
}

// Every option, declared once: the help lists them in this order.
struct OptionTable
{
    QCommandLineOption port{
            {QStringLiteral("p"), QStringLiteral("port")},
            QStringLiteral("Listen on <port>, 0 to 65535; 0 takes a free one. Ports below 1024 "
                           "need privileges."),
            QStringLiteral("port"),
            QString::number(RelaySettings::defaultPort)};
    QCommandLineOption listen{
            {QStringLiteral("l"), QStringLiteral("listen")},
            QStringLiteral("Listen on this one IPv4 or IPv6 <address> only (default: every "
                           "interface)."),
            QStringLiteral("address")};
    QCommandLineOption quiet{
            {QStringLiteral("q"), QStringLiteral("quiet")},
            QStringLiteral("Print the relay's own lines (start, clients joining, leaving or "
                           "dropped, stop), not the relayed texts.")};
    QCommandLineOption bridge{
            {QStringLiteral("b"), QStringLiteral("bridge")},
            QStringLiteral("Share one chat with every relay bridged to the same Redis stream: "
                           "redis://[:PASSWORD@]HOST[:PORT][/ROOM], ROOM defaults to prynechat."),
            QStringLiteral("url")};
    QCommandLineOption passwordFile{
            QStringLiteral("bridge-password-file"),
            QStringLiteral("Read the Redis password from the first line of <file>, not from the "
                           "URL. Without it the relay reads $CREDENTIALS_DIRECTORY/"
                           "redis-password (systemd's LoadCredential=), else "
                           "$PRYNECHAT_REDIS_PASSWORD."),
            QStringLiteral("file")};
    QCommandLineOption bridgeWait{
            QStringLiteral("bridge-wait"),
            QStringLiteral("While Redis does not answer or refuses the relay at start, try "
                           "again every second for up to <seconds>, 0 to %1 (default: %2).")
                    .arg(RelaySettings::maxBridgeWaitSeconds)
                    .arg(RelaySettings::defaultBridgeWaitSeconds),
            QStringLiteral("seconds"), QString::number(RelaySettings::defaultBridgeWaitSeconds)};
    QCommandLineOption web{
            {QStringLiteral("w"), QStringLiteral("web")},
            QStringLiteral("Also serve the chat page for browsers on [<address>:]<port> (default "
                           "address: that of --listen); browsers join the same room."),
            QStringLiteral("[address:]port")};
    QCommandLineOption history{
            QStringLiteral("history"),
            QStringLiteral("Show browsers that join the newest <texts> relayed before them, 0 to "
                           "%1, within %2 KiB (default: %3; 0: none).")
                    .arg(RelaySettings::maxHistoryTexts)
                    .arg(TextHistory::maxBytes / 1024)
                    .arg(TextHistory::defaultTexts),
            QStringLiteral("texts"), QString::number(TextHistory::defaultTexts)};

    QCommandLineOption allow{
            QStringLiteral("allow"),
            QStringLiteral("Let in peers of this network only, IPv4 or IPv6 (192.168.1.0/24, "
                           "fd00::/8, or one address), on the chat port and the web port; "
                           "repeat it for several (default: everyone)."),
            QStringLiteral("network")};
    QCommandLineOption maxPerAddress{
            QStringLiteral("max-per-address"),
            QStringLiteral("At most <n> connections from one address, loopback included; 0: no "
                           "limit (default: %1).")
                    .arg(Admission::defaultMaxPerAddress),
            QStringLiteral("n"), QString::number(Admission::defaultMaxPerAddress)};
    QCommandLineOption maxJoinsPerMinute{
            QStringLiteral("max-joins-per-minute"),
            QStringLiteral("At most <n> new connections from one address in any minute; 0: no "
                           "limit (default: %1).")
                    .arg(Admission::defaultMaxJoinsPerMinute),
            QStringLiteral("n"), QString::number(Admission::defaultMaxJoinsPerMinute)};

    QCommandLineOption config{
            QStringLiteral("config"),
            QStringLiteral("Read settings from <file>, \"key = value\" lines named like the long "
                           "options (default: %1 when it exists); the command line wins. "
                           "SIGHUP reads it again.")
                    .arg(RelaySettings::defaultConfigFile),
            QStringLiteral("file")};
    QCommandLineOption checkConfig{
            QStringLiteral("check-config"),
            QStringLiteral("Read the settings, say whether they are valid, and end.")};

    // Those a config file may hold, and the relay read again.
    QList<QCommandLineOption> settings() const
    {
        return {port, listen,  quiet, bridge,        passwordFile,     bridgeWait,
                web,  history, allow, maxPerAddress, maxJoinsPerMinute};
    }

    QList<QCommandLineOption> all() const
    {
        return settings() + QList<QCommandLineOption>{config, checkConfig};
    }
};

class Reader
{
public:
    OptionReading reading;

    void fail(const QString &what)
    {
        reading.lines << AdminLine{LogPriority::Error, QStringLiteral("prynechat-relay: ") + what};
        reading.status = OptionReading::exitUsage;
        reading.settings.reset();
    }

    void warn(const QString &what)
    {
        reading.lines << AdminLine{LogPriority::Warning,
                                   QStringLiteral("prynechat-relay: ") + what};
    }

    // False once the reading has failed.
    bool readBridge(const QCommandLineParser &parser, const OptionTable &options,
                    const OptionSources &sources, RelaySettings &settings)
    {
        for (const QCommandLineOption &option : {options.passwordFile, options.bridgeWait}) {
            if (parser.isSet(option) && !parser.isSet(options.bridge)) {
                fail(QStringLiteral("--%1 needs --bridge").arg(option.names().constFirst()));
                return false;
            }
        }
        if (!parser.isSet(options.bridge))
            return true;
        QString reason;
        settings.bridge = parseRedisUrl(parser.value(options.bridge), &reason);
        if (!settings.bridge) {
            fail(reason);
            return false;
        }
        QString warning;
        const std::optional<QByteArray> password =
                choosePassword({settings.bridge->password, parser.value(options.passwordFile),
                                sources.credentialsDirectory, sources.environmentPassword},
                               &reason, &warning);
        if (!password) {
            fail(reason);
            return false;
        }
        if (!settings.bridge->password.isEmpty())
            warning = QStringLiteral("the Redis password in the URL shows in the process list: "
                                     "see --bridge-password-file");
        if (!warning.isEmpty())
            warn(warning);
        settings.bridge->password = *password;
        const std::optional<int> wait = readWholeNumber(parser.value(options.bridgeWait), 0,
                                                        RelaySettings::maxBridgeWaitSeconds);
        if (!wait) {
            fail(QStringLiteral("%1 is not a number of seconds (0 to %2)")
                         .arg(parser.value(options.bridgeWait))
                         .arg(RelaySettings::maxBridgeWaitSeconds));
            return false;
        }
        settings.bridgeWaitSeconds = *wait;
        return true;
    }
};

void describe(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
            "Relays every PryneChat text to every connected client, the sender too, without a "
            "window.\nSIGINT or SIGTERM closes every connection and ends the relay; SIGHUP reads "
            "the settings again."));
}

// A flag's value in a config file.
std::optional<bool> readYesNo(const QString &text)
{
    static const QStringList yes{"yes", "true", "on", "1"}, no{"no", "false", "off", "0"};
    if (yes.contains(text.toLower()))
        return true;
    if (no.contains(text.toLower()))
        return false;
    return std::nullopt;
}

// The file's settings as arguments, leaving out those the command line gives; false with the
// reason when the file cannot be read or holds a line that is no setting.
bool readConfigFile(const QString &path, const OptionTable &options,
                    const QCommandLineParser &commandLine, QStringList *arguments, QString *reason)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *reason = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    if (file.size() > RelaySettings::maxConfigFileBytes) {
        *reason = QStringLiteral("%1 is larger than a config file (%2 bytes at most)")
                          .arg(path)
                          .arg(RelaySettings::maxConfigFileBytes);
        return false;
    }
    const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
    for (qsizetype number = 1; number <= lines.size(); ++number) {
        const QString line = lines[number - 1].trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const QString where = QStringLiteral("%1:%2").arg(path).arg(number);
        const qsizetype equals = line.indexOf(u'=');
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        const QList<QCommandLineOption> known = options.settings();
        const auto option = std::find_if(known.begin(), known.end(), [&key](const auto &each) {
            return each.names().constLast() == key;
        });
        if (equals < 0 || option == known.end()) {
            *reason = QStringLiteral("%1: not a setting (key = value, the key a long option's "
                                     "name): %2")
                              .arg(where, line);
            return false;
        }
        if (commandLine.isSet(*option))
            continue;
        if (!option->valueName().isEmpty()) {
            *arguments << QStringLiteral("--") + key << value;
            continue;
        }
        const std::optional<bool> flag = readYesNo(value);
        if (!flag) {
            *reason = QStringLiteral("%1: %2 is yes or no").arg(where, key);
            return false;
        }
        if (*flag)
            *arguments << QStringLiteral("--") + key;
    }
    return true;
}

} // namespace

OptionReading readRelayOptions(const QStringList &arguments, const OptionSources &sources)
{
    Reader reader;
    const OptionTable options;
    QCommandLineParser commandLine;
    describe(commandLine);
    const QCommandLineOption helpOption = commandLine.addHelpOption();
    const QCommandLineOption versionOption = commandLine.addVersionOption();
    commandLine.addOptions(options.all());

    if (!commandLine.parse(arguments)) {
        QString reason = commandLine.errorText();
        if (reason.endsWith(QLatin1Char('.')))
            reason.chop(1);
        reader.fail(QStringLiteral("%1; see --help").arg(reason));
        return reader.reading;
    }
    // --help-all would add Qt's own options, which the relay has no use for: the help is one.
    if (commandLine.isSet(helpOption) || commandLine.isSet(QStringLiteral("help-all"))) {
        reader.reading.output = commandLine.helpText().toUtf8();
        return reader.reading;
    }
    if (commandLine.isSet(versionOption)) {
        reader.reading.output = "prynechat-relay " + versionText().toUtf8() + '\n';
        return reader.reading;
    }
    if (!commandLine.positionalArguments().isEmpty()) {
        reader.fail(QStringLiteral("unexpected argument %1; see --help")
                            .arg(commandLine.positionalArguments().constFirst()));
        return reader.reading;
    }
    if (commandLine.values(options.config).size() > 1) {
        reader.fail(QStringLiteral("--config is given more than once; it takes one value"));
        return reader.reading;
    }

    // The file's settings first, so that the command line's stand for them.
    QString configFile = commandLine.value(options.config);
    if (configFile.isEmpty() && QFile::exists(sources.defaultConfigFile))
        configFile = sources.defaultConfigFile;
    QStringList merged{arguments.value(0)};
    QString reason;
    if (!configFile.isEmpty()
        && !readConfigFile(configFile, options, commandLine, &merged, &reason)) {
        reader.fail(reason);
        return reader.reading;
    }
    merged += arguments.mid(1);
    QCommandLineParser parser;
    describe(parser);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions(options.all());
    if (!parser.parse(merged)) {
        reader.fail(QStringLiteral("%1: %2").arg(configFile, parser.errorText()));
        return reader.reading;
    }

    // Only --allow adds up; any other option given twice would silently lose one of its values.
    for (const QCommandLineOption &option : options.all()) {
        if (option.names() != options.allow.names() && parser.values(option).size() > 1) {
            reader.fail(QStringLiteral("--%1 is given more than once; it takes one value")
                                .arg(option.names().constLast()));
            return reader.reading;
        }
    }

    RelaySettings settings;
    const std::optional<int> port = socks::readPortNumber(parser.value(options.port));
    if (!port) {
        reader.fail(
                QStringLiteral("%1 is not a port (0 to 65535)").arg(parser.value(options.port)));
        return reader.reading;
    }
    settings.port = *port;
    if (parser.isSet(options.listen)) {
        const QString text = parser.value(options.listen);
        if (!settings.listenAddress.setAddress(text)) {
            reader.fail(QStringLiteral("%1 is not an IPv4 or IPv6 address").arg(text));
            return reader.reading;
        }
        if (settings.listenAddress.isLinkLocal()
            && settings.listenAddress.protocol() == QAbstractSocket::IPv6Protocol
            && settings.listenAddress.scopeId().isEmpty()) {
            reader.fail(QStringLiteral("%1 is a link-local address: name its interface too, as "
                                       "in %2")
                                .arg(text, text + QStringLiteral("%eth0")));
            return reader.reading;
        }
    }
    settings.portOrAddressGiven = parser.isSet(options.port) || parser.isSet(options.listen);
    settings.quiet = parser.isSet(options.quiet);
    if (parser.isSet(options.web)) {
        settings.web = WebAddress::read(parser.value(options.web), settings.listenAddress);
        if (!settings.web) {
            reader.fail(QStringLiteral("%1 is not a web port ([address:]port, port 0 to 65535, "
                                       "an IPv6 address in brackets)")
                                .arg(parser.value(options.web)));
            return reader.reading;
        }
        const auto everywhere = [](const QHostAddress &address) {
            return address == QHostAddress::Any || address == QHostAddress::AnyIPv4
                    || address == QHostAddress::AnyIPv6;
        };
        if (settings.web->port == settings.port && settings.port != 0
            && (settings.web->address == settings.listenAddress || everywhere(settings.web->address)
                || everywhere(settings.listenAddress))) {
            reader.fail(QStringLiteral("--web %1 is the chat port too: give the page a port "
                                       "of its own")
                                .arg(parser.value(options.web)));
            return reader.reading;
        }
    }
    const std::optional<int> history =
            readWholeNumber(parser.value(options.history), 0, RelaySettings::maxHistoryTexts);
    if (!history) {
        reader.fail(QStringLiteral("%1 is not a number of texts (0 to %2)")
                            .arg(parser.value(options.history))
                            .arg(RelaySettings::maxHistoryTexts));
        return reader.reading;
    }
    settings.historyTexts = *history;
    for (const QString &text : parser.values(options.allow)) {
        const QPair<QHostAddress, int> network = QHostAddress::parseSubnet(text);
        if (network.first.isNull()) {
            reader.fail(QStringLiteral("%1 is not a network (192.168.1.0/24, fd00::/8 or one "
                                       "address)")
                                .arg(text));
            return reader.reading;
        }
        settings.admission.allowed << network;
    }
    for (const auto &[option, limit] :
         {std::pair{&options.maxPerAddress, &settings.admission.maxPerAddress},
          std::pair{&options.maxJoinsPerMinute, &settings.admission.maxJoinsPerMinute}}) {
        const std::optional<int> number = readWholeNumber(parser.value(*option), 0, maxLimit);
        if (!number) {
            reader.fail(QStringLiteral("%1 is not a limit for --%2 (0 to %3)")
                                .arg(parser.value(*option), option->names().constFirst())
                                .arg(maxLimit));
            return reader.reading;
        }
        *limit = *number;
    }
    if (!reader.readBridge(parser, options, sources, settings))
        return reader.reading;
    settings.configFile = configFile;
    if (parser.isSet(options.checkConfig)) {
        reader.reading.output = "prynechat-relay: the settings are valid"
                + (configFile.isEmpty() ? QByteArray(" (no config file)")
                                        : " (" + configFile.toUtf8() + ")")
                + '\n';
        return reader.reading;
    }
    reader.reading.settings = settings;
    return reader.reading;
}

QStringList RelaySettings::restartNeeded(const RelaySettings &read) const
{
    QStringList names;
    if (read.port != port)
        names << QStringLiteral("--port");
    if (read.listenAddress != listenAddress)
        names << QStringLiteral("--listen");
    if (read.web.has_value() != web.has_value()
        || (web && (read.web->address != web->address || read.web->port != web->port)))
        names << QStringLiteral("--web");
    if (read.historyTexts != historyTexts)
        names << QStringLiteral("--history");
    if (read.bridge.has_value() != bridge.has_value()
        || (bridge
            && (read.bridge->host != bridge->host || read.bridge->port != bridge->port
                || read.bridge->room != bridge->room)))
        names << QStringLiteral("--bridge");
    return names;
}
