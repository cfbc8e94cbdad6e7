#include "net/SocketHelpers.h"
#include "relay/AdminLog.h"
#include "relay/BridgePassword.h"
#include "relay/RedisBridge.h"
#include "relay/RelayService.h"
#include "relay/StopSignals.h"
#include "relay/web/TextHistory.h"
#include "relay/web/WebAddress.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <variant>

namespace {

constexpr int defaultPort = 555;
constexpr int exitFailedStart = 1;
constexpr int exitUsage = 2;
// The first descriptor a service manager passes (sd_listen_fds(3)).
constexpr int firstPassedDescriptor = 3;
// At boot Redis may start after the relay, or still be loading its data: a bridged relay tries
// again for this long before it gives up, time enough for a local Redis to come up.
constexpr int defaultBridgeWaitSeconds = 60;
constexpr int maxBridgeWaitSeconds = 3600;
constexpr int bridgeRetryMilliseconds = 1000;
// The byte bound keeps the history small whatever the count; past this a count is a typing error.
constexpr int maxHistoryTexts = 10000;

// A line of the relay's own on standard error: an error unless said otherwise, with its priority
// under the journal.
void complain(const QString &what, LogPriority priority = LogPriority::Error)
{
    static const bool journal = AdminLog::writesToJournal(STDERR_FILENO);
    const QByteArray line =
            AdminLog::lineBytes(priority, QStringLiteral("prynechat-relay: ") + what, journal);
    std::fwrite(line.constData(), 1, std::size_t(line.size()), stderr);
    std::fflush(stderr);
}

// A port on the command line is a plain decimal number; anything else is a typing error.
std::optional<int> readPortOption(const QString &text)
{
    bool ok = false;
    const int port = text.toInt(&ok, 10);
    if (!ok || port < 0 || port > 65535 || text.trimmed() != text)
        return std::nullopt;
    return port;
}

struct Settings
{
    int port = defaultPort;
    QHostAddress listenAddress = QHostAddress::Any;
    bool portOrAddressGiven = false; // what a passed socket overrides
    bool quiet = false;
    std::optional<RedisAddress> bridge;
    int bridgeWaitSeconds = defaultBridgeWaitSeconds;
    std::optional<WebAddress> web;
    int historyTexts = TextHistory::defaultTexts;
};

// A whole number of seconds within a bound; anything else is a typing error.
std::optional<int> readSecondsOption(const QString &text, int most)
{
    bool ok = false;
    const int seconds = text.toInt(&ok, 10);
    if (!ok || seconds < 0 || seconds > most || text.trimmed() != text)
        return std::nullopt;
    return seconds;
}

// The settings, or the exit status when the command line is wrong or asked for help or version.
// Every option is declared and read here, one block each.
std::variant<Settings, int> readCommandLine(const QCoreApplication &application)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Relays every PryneChat text to every connected client, the sender too, without a "
            "window.\nSIGINT, SIGTERM or SIGHUP closes every connection and ends the relay."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption portOption(
            {QStringLiteral("p"), QStringLiteral("port")},
            QStringLiteral("Listen on <port>, 0 to 65535; 0 takes a free one. Ports below 1024 "
                           "need privileges."),
            QStringLiteral("port"), QString::number(defaultPort));
    const QCommandLineOption listenOption(
            {QStringLiteral("l"), QStringLiteral("listen")},
            QStringLiteral("Listen on this one IPv4 or IPv6 <address> only (default: every "
                           "interface)."),
            QStringLiteral("address"));
    const QCommandLineOption quietOption(
            {QStringLiteral("q"), QStringLiteral("quiet")},
            QStringLiteral("Print the relay's own lines (start, clients joining, leaving or "
                           "dropped, stop), not the relayed texts."));
    const QCommandLineOption bridgeOption(
            {QStringLiteral("b"), QStringLiteral("bridge")},
            QStringLiteral("Share one chat with every relay bridged to the same Redis stream: "
                           "redis://[:PASSWORD@]HOST[:PORT][/ROOM], ROOM defaults to "
                           "prynechat."),
            QStringLiteral("url"));
    const QCommandLineOption passwordFileOption(
            QStringLiteral("bridge-password-file"),
            QStringLiteral("Read the Redis password from the first line of <file>, not from the "
                           "URL. Without it the relay reads $CREDENTIALS_DIRECTORY/"
                           "redis-password (systemd's LoadCredential=), else "
                           "$PRYNECHAT_REDIS_PASSWORD."),
            QStringLiteral("file"));
    const QCommandLineOption bridgeWaitOption(
            QStringLiteral("bridge-wait"),
            QStringLiteral("While Redis does not answer or refuses the relay at start, try "
                           "again every second for up to <seconds>, 0 to %1 (default: %2).")
                    .arg(maxBridgeWaitSeconds)
                    .arg(defaultBridgeWaitSeconds),
            QStringLiteral("seconds"), QString::number(defaultBridgeWaitSeconds));
    const QCommandLineOption webOption(
            {QStringLiteral("w"), QStringLiteral("web")},
            QStringLiteral("Also serve the chat page for browsers on [<address>:]<port> (default "
                           "address: that of --listen); browsers join the same room."),
            QStringLiteral("[address:]port"));
    const QCommandLineOption historyOption(
            QStringLiteral("history"),
            QStringLiteral("Show browsers that join the newest <texts> relayed before them, 0 to "
                           "%1, within %2 KiB (default: %3; 0: none).")
                    .arg(maxHistoryTexts)
                    .arg(TextHistory::maxBytes / 1024)
                    .arg(TextHistory::defaultTexts),
            QStringLiteral("texts"), QString::number(TextHistory::defaultTexts));
    parser.addOptions({portOption, listenOption, quietOption, bridgeOption, passwordFileOption,
                       bridgeWaitOption, webOption, historyOption});

    if (!parser.parse(application.arguments())) {
        QString reason = parser.errorText();
        if (reason.endsWith(QLatin1Char('.')))
            reason.chop(1);
        complain(QStringLiteral("%1; see --help").arg(reason));
        return exitUsage;
    }
    if (parser.isSet(helpOption)) {
        std::fputs(qUtf8Printable(parser.helpText()), stdout);
        return EXIT_SUCCESS;
    }
    // Only the parser can add Qt's own options to the help; it prints it and exits with 0.
    if (parser.isSet(QStringLiteral("help-all")))
        parser.process(application.arguments());
    if (parser.isSet(versionOption)) {
        std::printf("prynechat-relay %s\n", qUtf8Printable(application.applicationVersion()));
        return EXIT_SUCCESS;
    }
    if (!parser.positionalArguments().isEmpty()) {
        complain(QStringLiteral("unexpected argument %1; see --help")
                         .arg(parser.positionalArguments().constFirst()));
        return exitUsage;
    }

    Settings settings;
    const std::optional<int> port = readPortOption(parser.value(portOption));
    if (!port) {
        complain(QStringLiteral("%1 is not a port (0 to 65535)").arg(parser.value(portOption)));
        return exitUsage;
    }
    settings.port = *port;
    if (parser.isSet(listenOption)) {
        const QString text = parser.value(listenOption);
        if (!settings.listenAddress.setAddress(text)) {
            complain(QStringLiteral("%1 is not an IPv4 or IPv6 address").arg(text));
            return exitUsage;
        }
    }
    settings.portOrAddressGiven = parser.isSet(portOption) || parser.isSet(listenOption);
    settings.quiet = parser.isSet(quietOption);
    if (parser.isSet(webOption)) {
        settings.web = WebAddress::read(parser.value(webOption), settings.listenAddress);
        if (!settings.web) {
            complain(QStringLiteral("%1 is not a web port ([address:]port, port 0 to 65535, "
                                    "an IPv6 address in brackets)")
                             .arg(parser.value(webOption)));
            return exitUsage;
        }
    }
    if (parser.isSet(historyOption)) {
        bool ok = false;
        const int texts = parser.value(historyOption).toInt(&ok, 10);
        if (!ok || texts < 0 || texts > maxHistoryTexts) {
            complain(QStringLiteral("%1 is not a number of texts (0 to %2)")
                             .arg(parser.value(historyOption))
                             .arg(maxHistoryTexts));
            return exitUsage;
        }
        settings.historyTexts = texts;
    }
    for (const QCommandLineOption &option : {passwordFileOption, bridgeWaitOption}) {
        if (parser.isSet(option) && !parser.isSet(bridgeOption)) {
            complain(QStringLiteral("--%1 needs --bridge").arg(option.names().constFirst()));
            return exitUsage;
        }
    }
    if (parser.isSet(bridgeOption)) {
        QString reason;
        settings.bridge = parseRedisUrl(parser.value(bridgeOption), &reason);
        if (!settings.bridge) {
            complain(reason);
            return exitUsage;
        }
        // Read once and dropped, so that no child would inherit it.
        const QByteArray environmentPassword = qgetenv("PRYNECHAT_REDIS_PASSWORD");
        qunsetenv("PRYNECHAT_REDIS_PASSWORD");
        QString warning;
        const std::optional<QByteArray> password =
                choosePassword({settings.bridge->password, parser.value(passwordFileOption),
                                qEnvironmentVariable("CREDENTIALS_DIRECTORY"), environmentPassword},
                               &reason, &warning);
        if (!password) {
            complain(reason);
            return exitUsage;
        }
        if (!settings.bridge->password.isEmpty())
            warning = QStringLiteral("the Redis password in the URL shows in the process list: "
                                     "see --bridge-password-file");
        if (!warning.isEmpty())
            complain(warning, LogPriority::Warning);
        settings.bridge->password = *password;
        const std::optional<int> wait =
                readSecondsOption(parser.value(bridgeWaitOption), maxBridgeWaitSeconds);
        if (!wait) {
            complain(QStringLiteral("%1 is not a number of seconds (0 to %2)")
                             .arg(parser.value(bridgeWaitOption))
                             .arg(maxBridgeWaitSeconds));
            return exitUsage;
        }
        settings.bridgeWaitSeconds = *wait;
    }
    return settings;
}

// The listening socket a service manager passed (socket activation), as sd_listen_fds(3) finds
// it: LISTEN_PID names this process and LISTEN_FDS counts from descriptor 3. The variables are
// removed so that no child would take the socket for its own.
std::optional<int> passedListener()
{
    const QByteArray pid = qgetenv("LISTEN_PID");
    const QByteArray count = qgetenv("LISTEN_FDS");
    qunsetenv("LISTEN_PID");
    qunsetenv("LISTEN_FDS");
    qunsetenv("LISTEN_FDNAMES");
    bool pidOk = false, countOk = false;
    if (pid.toLongLong(&pidOk) != ::getpid() || !pidOk || count.toInt(&countOk) < 1 || !countOk)
        return std::nullopt;
    ::fcntl(firstPassedDescriptor, F_SETFD, FD_CLOEXEC);
    return firstPassedDescriptor;
}

// Whether two descriptors write to one file, pipe, terminal or socket.
bool sameOutput(int first, int second)
{
    struct stat one = {}, other = {};
    return ::fstat(first, &one) == 0 && ::fstat(second, &other) == 0 && one.st_dev == other.st_dev
            && one.st_ino == other.st_ino;
}

// A stdio stream whose complete lines go to the relay's output as lines of its own. When
// standard error is standard output (one terminal, one pipe, the journal's stream), the bridge
// reports through it, so that none of its lines lands inside a line the output is still writing,
// nor waits for a reader that the output does not wait for.
std::FILE *linesToRelayOutput(RelayService &relay)
{
    struct Lines
    {
        RelayService *relay;
        QByteArray partial;
    };
    cookie_io_functions_t functions = {};
    functions.write = [](void *cookie, const char *data, size_t size) -> ssize_t {
        auto *lines = static_cast<Lines *>(cookie);
        lines->partial.append(data, qsizetype(size));
        for (qsizetype end; (end = lines->partial.indexOf('\n')) >= 0;) {
            // The bridge reports trouble with Redis and the stream.
            lines->relay->say(QString::fromUtf8(lines->partial.left(end)), LogPriority::Warning);
            lines->partial.remove(0, end + 1);
        }
        return ssize_t(size);
    };
    functions.close = [](void *cookie) {
        delete static_cast<Lines *>(cookie);
        return 0;
    };
    auto *lines = new Lines{&relay, {}};
    std::FILE *stream = ::fopencookie(lines, "w", functions);
    if (!stream)
        delete lines;
    return stream;
}

const char *signalName(int signal)
{
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    default:
        return "SIGHUP";
    }
}

} // namespace

int main(int argc, char *argv[])
{
    // Qt's GLib-based event loop writes to its wake-up descriptor whenever a socket is watched or
    // unwatched, which a busy relay does several times per text. The relay uses nothing from
    // GLib, so it runs Qt's own loop.
    const bool glibChosen = qEnvironmentVariableIsSet("QT_NO_GLIB");
    if (!glibChosen)
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication application(argc, argv);
    if (!glibChosen)
        qunsetenv("QT_NO_GLIB");
    QCoreApplication::setApplicationName(QStringLiteral("prynechat-relay"));
    QCoreApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                                    .arg(PRYNECHAT_VERSION_MAJOR)
                                                    .arg(PRYNECHAT_VERSION_MINOR)
                                                    .arg(PRYNECHAT_VERSION_PATCH));

    const std::variant<Settings, int> commandLine = readCommandLine(application);
    if (const int *status = std::get_if<int>(&commandLine))
        return *status;
    const Settings &settings = std::get<Settings>(commandLine);

    // A reader that went away must not take the relay and its clients down with it.
    std::signal(SIGPIPE, SIG_IGN);
    socks::raiseDescriptorLimit(); // every client costs a descriptor

    StopSignals stopSignals;
    if (!stopSignals.install()) {
        complain(QStringLiteral("cannot catch SIGINT, SIGTERM and SIGHUP: %1")
                         .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return exitFailedStart;
    }
    RelayService relay(STDOUT_FILENO, stderr, settings.quiet);
    QObject::connect(&stopSignals, &StopSignals::received, &application, [&relay](int signal) {
        relay.say(QStringLiteral("prynechat-relay: %1, closing every connection")
                          .arg(QLatin1String(signalName(signal))));
        relay.stop();
        QCoreApplication::quit();
    });

    // A passed socket is what the service manager listens on: --port and --listen do not apply,
    // and the start line says so when they were given.
    const auto serve = [&relay, &settings] {
        // The page's port is the relay's own in any case; its line follows the start line.
        if (settings.web
            && !relay.serveWeb(settings.web->address, settings.web->port, settings.historyTexts))
            return false;
        const std::optional<int> listener = passedListener();
        if (!listener)
            return relay.start(settings.port, settings.listenAddress);
        return relay.adopt(*listener,
                           settings.portOrAddressGiven
                                   ? QStringLiteral("the service manager's socket; --port and "
                                                    "--listen are ignored")
                                   : QString());
    };
    if (!settings.bridge)
        return serve() ? application.exec() : exitFailedStart;

    std::unique_ptr<std::FILE, int (*)(std::FILE *)> bridgeReports(nullptr, std::fclose);
    if (sameOutput(STDOUT_FILENO, STDERR_FILENO))
        bridgeReports.reset(linesToRelayOutput(relay));
    const auto bridge = std::make_unique<RedisBridge>(*settings.bridge,
                                                      bridgeReports ? bridgeReports.get() : stderr);
    relay.divertTexts([&bridge](const QString &text) { bridge->publish(text); });
    QObject::connect(bridge.get(), &RedisBridge::textArrived, &relay, &RelayService::relay);
    QObject::connect(bridge.get(), &RedisBridge::textRecalled, &relay, &RelayService::recall);
    if (settings.web)
        bridge->recallTexts(settings.historyTexts, TextHistory::maxBytes);
    QObject::connect(bridge.get(), &RedisBridge::backlogFull, &relay,
                     &RelayService::setReadingPaused);
    QObject::connect(&relay, &RelayService::readersBehind, bridge.get(), &RedisBridge::holdReading);

    // The port is served only once Redis answers: a client that joined earlier would see nothing.
    // The first try runs before the event loop, so that a relay that will not wait ends at once.
    QString reason;
    if (bridge->start(&reason))
        return serve() ? application.exec() : exitFailedStart;
    if (settings.bridgeWaitSeconds == 0) {
        complain(reason);
        return exitFailedStart;
    }
    complain(QStringLiteral("%1; trying again every second for up to %2 s")
                     .arg(reason)
                     .arg(settings.bridgeWaitSeconds),
             LogPriority::Warning);
    QElapsedTimer waited;
    waited.start();
    QTimer retry;
    retry.setSingleShot(true);
    retry.setInterval(bridgeRetryMilliseconds);
    QObject::connect(&retry, &QTimer::timeout, &application, [&] {
        if (bridge->start(&reason)) {
            if (!serve())
                QCoreApplication::exit(exitFailedStart);
            return;
        }
        if (waited.hasExpired(qint64(settings.bridgeWaitSeconds) * 1000)) {
            complain(QStringLiteral("%1; gave up after %2 s")
                             .arg(reason)
                             .arg(settings.bridgeWaitSeconds));
            QCoreApplication::exit(exitFailedStart);
            return;
        }
        retry.start();
    });
    retry.start();
    return application.exec();
}
