#include "relay/RelayOptions.h"

#include "relay/bridge/BridgePassword.h"

#include <QCommandLineParser>

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

    QList<QCommandLineOption> all() const
    {
        return {port,       listen, quiet, bridge,        passwordFile,
                bridgeWait, web,    allow, maxPerAddress, maxJoinsPerMinute};
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

} // namespace

OptionReading readRelayOptions(const QStringList &arguments, const OptionSources &sources)
{
    Reader reader;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Relays every PryneChat text to every connected client, the sender too, without a "
            "window.\nSIGINT, SIGTERM or SIGHUP closes every connection and ends the relay."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const OptionTable options;
    parser.addOptions(options.all());

    if (!parser.parse(arguments)) {
        QString reason = parser.errorText();
        if (reason.endsWith(QLatin1Char('.')))
            reason.chop(1);
        reader.fail(QStringLiteral("%1; see --help").arg(reason));
        return reader.reading;
    }
    // --help-all would add Qt's own options, which the relay has no use for: the help is one.
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) {
        reader.reading.output = parser.helpText().toUtf8();
        return reader.reading;
    }
    if (parser.isSet(versionOption)) {
        reader.reading.output = "prynechat-relay " + versionText().toUtf8() + '\n';
        return reader.reading;
    }
    if (!parser.positionalArguments().isEmpty()) {
        reader.fail(QStringLiteral("unexpected argument %1; see --help")
                            .arg(parser.positionalArguments().constFirst()));
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
    const std::optional<int> port = readWholeNumber(parser.value(options.port), 0, 65535);
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
    reader.reading.settings = settings;
    return reader.reading;
}
