#include "relay/RelayService.h"

#include "net/CWS_TCP_S.h"
#include "net/RoomSession.h"
#include "relay/AdminLog.h"
#include "relay/ConsoleOutput.h"
#include "relay/RelayOptions.h"
#include "relay/ServiceManager.h"
#include "relay/bridge/RedisBridge.h"
#include "relay/web/WebRelay.h"

#include <cstdio>
#include <malloc.h>
#include <sys/stat.h>
#include <utility>

namespace {

constexpr int firstUnprivilegedPort = 1024;
// How often the refusals whose minute is over are summed up in the log.
constexpr int admissionLogMilliseconds = 5000;
constexpr int statusMilliseconds = 1000;
// Connections that leave free their memory in holes of the heap, which the allocator keeps for
// the process: 3,000 browsers that came and went, 1,000 at a time, left 37 MiB behind. It is
// given back this long after the first of them left, once those still taking their last bytes
// are gone too.
constexpr int memoryReturnMilliseconds = socks::RoomSession::flushMilliseconds + 1000;
// Every line of a relayed text begins so, and no line of the relay's own does: whatever a text
// holds, its line cannot pass for another kind.
const QString textMarker = QStringLiteral("> ");

// Failures to start, one line each: under the journal each line is an error of its own.
void writeErrorLines(std::FILE *stream, const QString &lines,
                     LogPriority priority = LogPriority::Error)
{
    const bool journal = AdminLog::writesToJournal(::fileno(stream));
    for (const QString &line : lines.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QByteArray bytes = AdminLog::lineBytes(priority, line, journal);
        std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    }
}

// Whether two descriptors write to one file, pipe, terminal or socket.
bool sameOutput(int first, int second)
{
    struct stat one = {}, other = {};
    return ::fstat(first, &one) == 0 && ::fstat(second, &other) == 0 && one.st_dev == other.st_dev
            && one.st_ino == other.st_ino;
}

// The component reports a cause; an administrator's console and the journal get it in English.
QString englishReason(socks::CWS_TCP_S::StartFailure failure, const QString &componentReason)
{
    switch (failure) {
    case socks::CWS_TCP_S::StartFailure::NotASocket:
        return QStringLiteral("not a socket");
    case socks::CWS_TCP_S::StartFailure::NotTcp:
        return QStringLiteral("not a TCP socket over IPv4 or IPv6");
    case socks::CWS_TCP_S::StartFailure::NotListening:
        return QStringLiteral("a TCP socket that does not listen");
    case socks::CWS_TCP_S::StartFailure::PortInUse:
        return QStringLiteral("the port is already in use");
    case socks::CWS_TCP_S::StartFailure::NoPermission:
        return QStringLiteral("no permission to use the port");
    case socks::CWS_TCP_S::StartFailure::InvalidPort:
        return QStringLiteral("not a port (0 to 65535)");
    case socks::CWS_TCP_S::StartFailure::Other:
    case socks::CWS_TCP_S::StartFailure::None:
        break;
    }
    // Qt's own message: the relay loads no translation, so it is English.
    return componentReason;
}

} // namespace

RelayService::RelayService(int outputDescriptor, std::FILE *errors, bool quiet)
    : admission(std::make_shared<Admission>([this] { return clock.elapsed(); }))
    , server(std::make_unique<socks::CWS_TCP_S>())
    , output(std::make_unique<ConsoleOutput>(outputDescriptor))
    , errors(errors)
    , errorsShareOutput(sameOutput(outputDescriptor, ::fileno(errors)))
    , quiet(quiet)
{
    connect(server.get(), &socks::CWS_TCP_S::GetData, this, &RelayService::relayText);
    connect(server.get(), &socks::CWS_TCP_S::ServiceError, this,
            &RelayService::closeFailedConnection);
    connect(server.get(), &socks::CWS_TCP_S::readersBehindChanged, this,
            &RelayService::announceReadersBehind);
    connect(server.get(), &socks::CWS_TCP_S::ServiceComplete, this, &RelayService::logConnection);
    clock.start();
    server->setAdmission([this](const QHostAddress &peer) { return admit(peer); });
    admissionLog.setInterval(admissionLogMilliseconds);
    connect(&admissionLog, &QTimer::timeout, this, &RelayService::logAdmission);
    admissionLog.start();
    statusDue.setSingleShot(true);
    statusDue.setInterval(statusMilliseconds);
    memoryReturn.setSingleShot(true);
    memoryReturn.setInterval(memoryReturnMilliseconds);
    connect(&memoryReturn, &QTimer::timeout, this, [] { ::malloc_trim(0); });
    connect(&statusDue, &QTimer::timeout, this, &RelayService::tellServiceManager);
    followTexts();
}

RelayService::~RelayService()
{
    // The output goes before the component: nothing may be logged while members are destroyed.
    disconnect(server.get(), nullptr, this, nullptr);
    stop();
}

bool RelayService::serveWeb(const QHostAddress &address, int port, int historyTexts)
{
    // Browsers join the same room as TCP clients: their texts arrive as GetData, and relayed
    // texts reach them with everyone else's, under the same flow rules.
    webRelay = std::make_unique<WebRelay>(server.get());
    webRelay->setAdmission([this](const QHostAddress &peer) { return admit(peer); });
    webRelay->setHistoryTexts(historyTexts);
    for (const QString &text : std::exchange(recalled, {}))
        webRelay->remember(text);
    followTexts();
    if (!webRelay->start(address, port)) {
        writeErrorLines(errors,
                        QStringLiteral("prynechat-relay: cannot serve the web port %1: %2\n")
                                .arg(port)
                                .arg(webRelay->lastError()));
        if (port > 0 && port < firstUnprivilegedPort)
            writeErrorLines(errors,
                            QStringLiteral("Ports below 1024 need privileges; ports from 1024 "
                                           "up do not.\n"));
        std::fflush(errors);
        webRelay.reset();
        return false;
    }
    return true;
}

bool RelayService::serve(const RelaySettings &settings)
{
    // The page's port is the relay's own in any case; its line follows the start line.
    if (settings.web && !serveWeb(settings.web->address, settings.web->port, settings.historyTexts))
        return false;
    const std::optional<int> listener = servicemanager::passedListener();
    serving = listener
            ? adopt(*listener,
                    settings.portOrAddressGiven ? QStringLiteral("the service manager's socket; "
                                                                 "--port and --listen are "
                                                                 "ignored")
                                                : QString())
            : start(settings.port, settings.listenAddress);
    // Every port serves, and the bridge is up when there is one: the unit is active now.
    if (serving)
        tellServiceManager();
    return serving;
}

void RelayService::tellServiceManager()
{
    const int clients = server->ConnectionCount();
    servicemanager::notify(QByteArrayLiteral("READY=1\nSTATUS=")
                           + (clients == 1 ? QByteArrayLiteral("1 client")
                                           : QByteArray::number(clients) + " clients"));
}

void RelayService::setQuiet(bool quiet)
{
    this->quiet = quiet;
    followTexts();
}

void RelayService::reload(RelaySettings &running, const OptionReading &read, RedisBridge *bridge)
{
    for (const AdminLine &line : read.lines)
        say(line.text, line.priority);
    if (!read.settings) {
        say(QStringLiteral("prynechat-relay: SIGHUP, the settings stay as they were"),
            LogPriority::Warning);
        return;
    }
    const RelaySettings &now = *read.settings;
    setAdmissionRules(now.admission);
    setQuiet(now.quiet);
    if (bridge && now.bridge)
        bridge->setPassword(now.bridge->password);
    const QStringList waiting = running.restartNeeded(now);
    // What needs a restart stays as it runs, so that the next reload names it again.
    running.quiet = now.quiet;
    running.admission = now.admission;
    if (running.bridge && now.bridge)
        running.bridge->password = now.bridge->password;
    say(QStringLiteral("prynechat-relay: SIGHUP, settings read again%1: allowed networks, limits, "
                       "--quiet and the bridge's password apply now")
                .arg(now.configFile.isEmpty() ? QString()
                                              : QStringLiteral(" from ") + now.configFile));
    if (!waiting.isEmpty())
        say(QStringLiteral("prynechat-relay: %1 changed: restart the relay for that")
                    .arg(waiting.join(QStringLiteral(", "))),
            LogPriority::Warning);
}

bool RelayService::start(int port, const QHostAddress &listenAddress)
{
    server->setListenAddress(listenAddress);
    if (!server->StartService(port)) {
        reportFailure(QStringLiteral("cannot serve port %1").arg(port), port);
        return false;
    }
    announce();
    return true;
}

bool RelayService::adopt(int descriptor, const QString &note)
{
    if (!server->AdoptService(descriptor)) {
        reportFailure(QStringLiteral("cannot serve the socket passed by the service manager"), 0);
        return false;
    }
    announce(note);
    return true;
}

void RelayService::reportFailure(const QString &what, int port)
{
    writeErrorLines(errors,
                    QStringLiteral("prynechat-relay: %1: %2\n")
                            .arg(what, englishReason(server->LastFailure(), server->LastError())));
    QString advice;
    switch (server->LastFailure()) {
    case socks::CWS_TCP_S::StartFailure::PortInUse:
        advice = QStringLiteral("Another program is already serving this port: stop it, or "
                                "choose another port with --port (ports from 1024 up need "
                                "no privileges).\n");
        break;
    case socks::CWS_TCP_S::StartFailure::NoPermission:
        advice = QStringLiteral(
                "Ports below 1024 need privileges; ports from 1024 up do not. Start the "
                "relay through prynechat-relay.socket or prynechat-relay.service, give it the "
                "capability once with \"setcap cap_net_bind_service=+ep\" on the executable, or "
                "choose a port from 1024 up with --port.\n");
        break;
    default:
        if (port > 0 && port < firstUnprivilegedPort)
            advice = QStringLiteral("Ports below 1024 need privileges; ports from 1024 up "
                                    "do not.\n");
        break;
    }
    writeErrorLines(errors, advice);
    std::fflush(errors);
}

void RelayService::announce(const QString &note)
{
    say(QStringLiteral("prynechat-relay: relaying on %1:%2%3")
                .arg(server->Address())
                .arg(server->Port())
                .arg(note.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(note)));
    if (webRelay)
        say(QStringLiteral("prynechat-relay: the chat page for browsers is at %1")
                    .arg(webRelay->pageUrl()));
    output->flush();
}

void RelayService::say(const QString &line, LogPriority priority)
{
    output->writeOwnLine(AdminLog::lineBytes(priority, line, output->toJournal()));
}

void RelayService::warn(const QString &report)
{
    const QString line = QStringLiteral("prynechat-relay: ")
            + consoleText(report).replace(QLatin1Char('\n'), QLatin1String("\\n"));
    if (errorsShareOutput) {
        say(line, LogPriority::Warning);
        return;
    }
    writeErrorLines(errors, line, LogPriority::Warning);
    std::fflush(errors);
}

void RelayService::setAdmissionRules(const Admission::Rules &rules)
{
    admission->setRules(rules);
}

int RelayService::clientCount() const
{
    return server->ConnectionCount();
}

std::shared_ptr<void> RelayService::admit(const QHostAddress &peer)
{
    // Refused or not, the peer is gone from the relay before anything of it is read.
    const Admission::Verdict verdict = admission->admit(peer);
    logAdmission();
    if (verdict != Admission::Verdict::Admitted)
        return nullptr;
    struct Ticket
    {
        std::weak_ptr<Admission> admission;
        QHostAddress peer;
        ~Ticket()
        {
            if (const std::shared_ptr<Admission> rule = admission.lock())
                rule->release(peer);
        }
    };
    auto ticket = std::make_shared<Ticket>();
    ticket->admission = admission;
    ticket->peer = peer;
    return ticket;
}

void RelayService::logAdmission()
{
    // Bounded like the lines of joins: a flood of refusals costs the output no more.
    for (const QString &line : admission->takeLines())
        output->writeLine(AdminLog::lineBytes(LogPriority::Notice, line, output->toJournal()));
}

void RelayService::logConnection(bool added, int index)
{
    if (!added && !memoryReturn.isActive())
        memoryReturn.start();
    // The stop line says that everyone goes: one line each would only repeat it.
    if (stopping)
        return;
    const QString peer = server->peerAddress(index);
    const int clients = server->ConnectionCount();
    const AdminLine line = added ? AdminLog::joined(peer, clients)
                                 : AdminLog::departed(peer, server->closeReason(index), clients,
                                                      socks::CWS_TCP_S::defaultLimits());
    if (serving && !statusDue.isActive())
        statusDue.start();
    // Bounded like the texts: clients that come and go by the thousand must not grow the
    // output without end; what is dropped is counted on the output.
    output->writeLine(AdminLog::lineBytes(line.priority, line.text, output->toJournal()));
}

void RelayService::stop()
{
    stopping = true;
    // No browser comes in while the room closes the ones it has.
    if (webRelay)
        webRelay->stop();
    server->CloseConnection(0);
    output->finish();
}

void RelayService::divertTexts(std::function<void(const QString &)> sink)
{
    this->sink = std::move(sink);
    followTexts();
}

void RelayService::shareThrough(RedisBridge &bridge)
{
    divertTexts([&bridge](const QString &text) { bridge.publish(text); });
    connect(&bridge, &RedisBridge::reported, this, &RelayService::warn);
    connect(&bridge, &RedisBridge::textArrived, this, &RelayService::relay);
    connect(&bridge, &RedisBridge::textRecalled, this, &RelayService::recall);
    connect(&bridge, &RedisBridge::backlogFull, this, &RelayService::setReadingPaused);
    connect(this, &RelayService::readersBehind, &bridge, &RedisBridge::holdReading);
}

void RelayService::setReadingPaused(bool paused)
{
    server->setReadingPaused(paused);
}

void RelayService::announceReadersBehind()
{
    // Browsers are readers of the room like TCP clients: its count covers both kinds.
    const bool behind = server->readersBehind();
    if (behind != std::exchange(announcedBehind, behind))
        emit readersBehind(behind);
}

void RelayService::followTexts()
{
    // A quiet relay that hands its texts to no one only relays them: the room does that itself,
    // and the texts need not become strings (a fifth of the relay's work under 1 KiB texts).
    server->setRelayingEverything(quiet && !sink && !webRelay);
}

void RelayService::relayText(int index, const QString &text)
{
    Q_UNUSED(index)
    if (sink) {
        sink(text);
        return;
    }
    relay(text);
}

void RelayService::relay(const QString &text)
{
    // Index 0 reaches the sender too: clients wait for their own line, browsers included.
    server->SendData(text, 0);
    if (webRelay)
        webRelay->remember(text);
    // One line a text, whatever it holds, so that no text runs into the next or into a line of
    // the relay's own. Written when the event loop finds the reader ready, in batches.
    // Under the journal each text carries its priority, so that one beginning with "<3>" is
    // filed as information like every other text.
    if (!quiet)
        output->writeLine(AdminLog::lineBytes(LogPriority::Info, textMarker + consoleText(text),
                                              output->toJournal()));
}

void RelayService::recall(const QString &text)
{
    if (webRelay)
        webRelay->remember(text);
    else
        recalled << text;
}

void RelayService::closeFailedConnection(int index)
{
    server->CloseConnection(index);
}
