#include "net/SocketHelpers.h"
#include "relay/RedisBridge.h"
#include "relay/RelayService.h"
#include "relay/StopSignals.h"
#include "relay/web/WebAddress.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <unistd.h>
#include <variant>

namespace {

constexpr int defaultPort = 555;
constexpr int exitFailedStart = 1;
constexpr int exitUsage = 2;
// The first descriptor a service manager passes (sd_listen_fds(3)).
constexpr int firstPassedDescriptor = 3;

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
    bool quiet = false;
    std::optional<RedisAddress> bridge;
    std::optional<WebAddress> web;
};

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
            QStringLiteral("Print only the start line, not the relayed texts."));
    const QCommandLineOption bridgeOption(
            {QStringLiteral("b"), QStringLiteral("bridge")},
            QStringLiteral("Share one chat with every relay bridged to the same Redis stream: "
                           "redis://[:PASSWORD@]HOST[:PORT][/ROOM], ROOM defaults to "
                           "prynechat."),
            QStringLiteral("url"));
    const QCommandLineOption webOption(
            {QStringLiteral("w"), QStringLiteral("web")},
            QStringLiteral("Also serve the chat page for browsers on [<address>:]<port> (default "
                           "address: that of --listen); browsers join the same room."),
            QStringLiteral("[address:]port"));
    parser.addOptions({portOption, listenOption, quietOption, bridgeOption, webOption});

    if (!parser.parse(application.arguments())) {
        QString reason = parser.errorText();
        if (reason.endsWith(QLatin1Char('.')))
            reason.chop(1);
        std::fprintf(stderr, "prynechat-relay: %s; see --help\n", qUtf8Printable(reason));
        return exitUsage;
    }
    if (parser.isSet(helpOption)) {
        std::fputs(qUtf8Printable(parser.helpText()), stdout);
        return EXIT_SUCCESS;
    }
    if (parser.isSet(versionOption)) {
        std::printf("prynechat-relay %s\n", qUtf8Printable(application.applicationVersion()));
        return EXIT_SUCCESS;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "prynechat-relay: unexpected argument %s; see --help\n",
                     qUtf8Printable(parser.positionalArguments().constFirst()));
        return exitUsage;
    }

    Settings settings;
    const std::optional<int> port = readPortOption(parser.value(portOption));
    if (!port) {
        std::fprintf(stderr, "prynechat-relay: %s is not a port (0 to 65535)\n",
                     qUtf8Printable(parser.value(portOption)));
        return exitUsage;
    }
    settings.port = *port;
    if (parser.isSet(listenOption)) {
        const QString text = parser.value(listenOption);
        if (!settings.listenAddress.setAddress(text)) {
            std::fprintf(stderr, "prynechat-relay: %s is not an IPv4 or IPv6 address\n",
                         qUtf8Printable(text));
            return exitUsage;
        }
    }
    settings.quiet = parser.isSet(quietOption);
    if (parser.isSet(webOption)) {
        settings.web = WebAddress::read(parser.value(webOption), settings.listenAddress);
        if (!settings.web) {
            std::fprintf(stderr,
                         "prynechat-relay: %s is not a web port ([address:]port, port 0 to "
                         "65535, an IPv6 address in brackets)\n",
                         qUtf8Printable(parser.value(webOption)));
            return exitUsage;
        }
    }
    if (parser.isSet(bridgeOption)) {
        QString reason;
        settings.bridge = parseRedisUrl(parser.value(bridgeOption), &reason);
        if (!settings.bridge) {
            std::fprintf(stderr, "prynechat-relay: %s\n", qUtf8Printable(reason));
            return exitUsage;
        }
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
        std::fprintf(stderr, "prynechat-relay: cannot catch SIGINT, SIGTERM and SIGHUP: %s\n",
                     std::strerror(errno));
        return exitFailedStart;
    }
    RelayService relay(STDOUT_FILENO, stderr, settings.quiet);
    QObject::connect(&stopSignals, &StopSignals::received, &application, [&relay](int signal) {
        relay.say(QStringLiteral("prynechat-relay: %1, closing every connection")
                          .arg(QLatin1String(signalName(signal))));
        relay.stop();
        QCoreApplication::quit();
    });
    std::unique_ptr<RedisBridge> bridge;
    if (settings.bridge) {
        bridge = std::make_unique<RedisBridge>(*settings.bridge, stderr);
        QString reason;
        if (!bridge->start(&reason)) {
            std::fprintf(stderr, "prynechat-relay: %s\n", qUtf8Printable(reason));
            return exitFailedStart;
        }
        relay.divertTexts([&bridge](const QString &text) { bridge->publish(text); });
        QObject::connect(bridge.get(), &RedisBridge::textArrived, &relay, &RelayService::relay);
        QObject::connect(bridge.get(), &RedisBridge::backlogFull, &relay,
                         &RelayService::setReadingPaused);
    }
    if (settings.web && !relay.serveWeb(settings.web->address, settings.web->port))
        return exitFailedStart;
    // A passed socket is what the service manager listens on: --port and --listen do not apply.
    const std::optional<int> listener = passedListener();
    const bool started =
            listener ? relay.adopt(*listener) : relay.start(settings.port, settings.listenAddress);
    return started ? application.exec() : exitFailedStart;
}
