#include "relay/RedisBridge.h"
#include "relay/RelayService.h"
#include "relay/StopSignals.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

namespace {

constexpr int defaultPort = 555;
constexpr int exitFailedStart = 1;
constexpr int exitUsage = 2;

// A port on the command line is a plain decimal number; anything else is a typing error.
std::optional<int> readPortOption(const QString &text)
{
    bool ok = false;
    const int port = text.toInt(&ok, 10);
    if (!ok || port < 0 || port > 65535 || text.trimmed() != text)
        return std::nullopt;
    return port;
}

} // namespace

int main(int argc, char *argv[])
{
    // The relay flushes its output itself, in batches (RelayService); this has to come before
    // anything is written to stdout.
    static char outputBuffer[1 << 16];
    std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);

    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("prynechat-relay"));
    QCoreApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                                    .arg(PRYNECHAT_VERSION_MAJOR)
                                                    .arg(PRYNECHAT_VERSION_MINOR)
                                                    .arg(PRYNECHAT_VERSION_PATCH));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Relays every PryneChat text to every connected client, the sender too, without a "
            "window.\nSIGINT or SIGTERM closes every connection and ends the relay."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOption(
            {QStringLiteral("p"), QStringLiteral("port")},
            QStringLiteral("Listen on <port>, 0 to 65535; 0 takes a free one. Ports below 1024 "
                           "need privileges."),
            QStringLiteral("port"), QString::number(defaultPort));
    const QCommandLineOption quietOption(
            {QStringLiteral("q"), QStringLiteral("quiet")},
            QStringLiteral("Print only the start line, not the relayed texts."));
    const QCommandLineOption bridgeOption(
            {QStringLiteral("b"), QStringLiteral("bridge")},
            QStringLiteral("Share one chat with every relay bridged to the same Redis stream: "
                           "redis://[:PASSWORD@]HOST[:PORT][/ROOM], ROOM defaults to "
                           "prynechat."),
            QStringLiteral("url"));
    parser.addOption(portOption);
    parser.addOption(quietOption);
    parser.addOption(bridgeOption);
    parser.process(application);

    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "prynechat-relay: unexpected argument %s; see --help\n",
                     qUtf8Printable(parser.positionalArguments().constFirst()));
        return exitUsage;
    }
    const std::optional<int> port = readPortOption(parser.value(portOption));
    if (!port) {
        std::fprintf(stderr, "prynechat-relay: %s is not a port (0 to 65535)\n",
                     qUtf8Printable(parser.value(portOption)));
        return exitUsage;
    }

    std::optional<RedisAddress> bridgeAddress;
    if (parser.isSet(bridgeOption)) {
        QString reason;
        bridgeAddress = parseRedisUrl(parser.value(bridgeOption), &reason);
        if (!bridgeAddress) {
            std::fprintf(stderr, "prynechat-relay: %s\n", qUtf8Printable(reason));
            return exitUsage;
        }
    }

    // A reader that went away must not take the relay and its clients down with it.
    std::signal(SIGPIPE, SIG_IGN);

    StopSignals stopSignals;
    if (!stopSignals.install()) {
        std::fprintf(stderr, "prynechat-relay: cannot catch SIGINT and SIGTERM: %s\n",
                     std::strerror(errno));
        return exitFailedStart;
    }
    RelayService relay(stdout, stderr, parser.isSet(quietOption));
    QObject::connect(&stopSignals, &StopSignals::received, &application, [&relay](int signal) {
        std::printf("prynechat-relay: %s, closing every connection\n",
                    signal == SIGINT ? "SIGINT" : "SIGTERM");
        relay.stop();
        QCoreApplication::quit();
    });
    std::unique_ptr<RedisBridge> bridge;
    if (bridgeAddress) {
        bridge = std::make_unique<RedisBridge>(*bridgeAddress, stderr);
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
    if (!relay.start(*port))
        return exitFailedStart;
    return application.exec();
}
