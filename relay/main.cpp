#include "net/SocketHelpers.h"
#include "relay/AdminLog.h"
#include "relay/RelayOptions.h"
#include "relay/RelayService.h"
#include "relay/ServiceManager.h"
#include "relay/StopSignals.h"
#include "relay/bridge/RedisBridge.h"

#include <QCoreApplication>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

constexpr int exitFailedStart = 1;

// Lines of the relay's own on standard error, with their priority under the journal.
void complain(const QList<AdminLine> &lines)
{
    static const bool journal = AdminLog::writesToJournal(STDERR_FILENO);
    for (const AdminLine &line : lines) {
        const QByteArray bytes = AdminLog::lineBytes(line.priority, line.text, journal);
        std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stderr);
    }
    std::fflush(stderr);
}

void complain(const QString &what, LogPriority priority = LogPriority::Error)
{
    complain({AdminLine{priority, QStringLiteral("prynechat-relay: ") + what}});
}

// The password in the environment is read once and wiped, in /proc/PID/environ too, so that
// neither a child nor another reader of the process finds it; a reload finds it in memory.
OptionSources takeOptionSources()
{
    OptionSources sources{qgetenv("PRYNECHAT_REDIS_PASSWORD"),
                          qEnvironmentVariable("CREDENTIALS_DIRECTORY"),
                          QString::fromLatin1(RelaySettings::defaultConfigFile)};
    if (char *password = std::getenv("PRYNECHAT_REDIS_PASSWORD"))
        std::memset(password, 0, std::strlen(password));
    qunsetenv("PRYNECHAT_REDIS_PASSWORD");
    return sources;
}

} // namespace

int main(int argc, char *argv[])
{
    const OptionSources sources = takeOptionSources();
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

    const OptionReading options = readRelayOptions(application.arguments(), sources);
    std::fputs(options.output.constData(), stdout);
    complain(options.lines);
    if (!options.settings)
        return options.status;
    RelaySettings settings = *options.settings;

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
    relay.setAdmissionRules(settings.admission);
    QObject::connect(&stopSignals, &StopSignals::received, &application, [&relay](int signal) {
        relay.say(QStringLiteral("prynechat-relay: %1, closing every connection")
                          .arg(QLatin1String(StopSignals::name(signal))));
        relay.stop();
        QCoreApplication::quit();
    });

    std::unique_ptr<RedisBridge> bridge;
    QObject::connect(&stopSignals, &StopSignals::reloadAsked, &application, [&] {
        servicemanager::notify("RELOADING=1");
        relay.reload(settings, readRelayOptions(application.arguments(), sources), bridge.get());
        servicemanager::notify("READY=1");
    });
    if (!settings.bridge)
        return relay.serve(settings) ? application.exec() : exitFailedStart;

    bridge = std::make_unique<RedisBridge>(*settings.bridge);
    relay.shareThrough(*bridge);
    // Pages that join see the newest texts of the stream, on every relay and after a restart.
    if (settings.web)
        bridge->recallTexts(settings.historyTexts, TextHistory::maxBytes);
    // The port is served only once Redis answers: a client that joined earlier would see nothing.
    // The first try runs before the event loop, so that a relay that will not wait ends at once.
    QString reason;
    if (bridge->start(&reason))
        return relay.serve(settings) ? application.exec() : exitFailedStart;
    if (settings.bridgeWaitSeconds == 0) {
        complain(reason);
        return exitFailedStart;
    }
    complain(QStringLiteral("%1; trying again every second for up to %2 s")
                     .arg(reason)
                     .arg(settings.bridgeWaitSeconds),
             LogPriority::Warning);
    QObject::connect(bridge.get(), &RedisBridge::started, &application, [&relay, &settings] {
        if (!relay.serve(settings))
            QCoreApplication::exit(exitFailedStart);
    });
    QObject::connect(bridge.get(), &RedisBridge::gaveUp, &application,
                     [&settings](const QString &why) {
                         complain(QStringLiteral("%1; gave up after %2 s")
                                          .arg(why)
                                          .arg(settings.bridgeWaitSeconds));
                         QCoreApplication::exit(exitFailedStart);
                     });
    bridge->keepTrying(settings.bridgeWaitSeconds);
    return application.exec();
}
