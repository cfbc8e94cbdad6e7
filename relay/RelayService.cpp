#include "relay/RelayService.h"

#include "net/CWS_TCP_S.h"
#include "relay/AdminLog.h"
#include "relay/ConsoleOutput.h"
#include "relay/web/WebRelay.h"

#include <cstdio>
#include <utility>

namespace {

constexpr int firstUnprivilegedPort = 1024;

// Failures to start, one line each: under the journal each line is an error of its own.
void writeErrorLines(std::FILE *stream, const QString &lines)
{
    const bool journal = AdminLog::writesToJournal(::fileno(stream));
    for (const QString &line : lines.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QByteArray bytes = AdminLog::lineBytes(LogPriority::Error, line, journal);
        std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    }
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
    : server(std::make_unique<socks::CWS_TCP_S>())
    , output(std::make_unique<ConsoleOutput>(outputDescriptor))
    , errors(errors)
    , quiet(quiet)
{
    connect(server.get(), &socks::CWS_TCP_S::GetData, this, &RelayService::relayText);
    connect(server.get(), &socks::CWS_TCP_S::ServiceError, this,
            &RelayService::closeFailedConnection);
    connect(server.get(), &socks::CWS_TCP_S::readersBehindChanged, this,
            &RelayService::announceReadersBehind);
    connect(server.get(), &socks::CWS_TCP_S::ServiceComplete, this, &RelayService::logConnection);
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
    webRelay->setHistoryTexts(historyTexts);
    for (const QString &text : std::exchange(recalled, {}))
        webRelay->remember(text);
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

void RelayService::logConnection(bool added, int index)
{
    // The stop line says that everyone goes: one line each would only repeat it.
    if (stopping)
        return;
    const QString peer = server->peerAddress(index);
    const int clients = server->ConnectionCount();
    const AdminLine line = added ? AdminLog::joined(peer, clients)
                                 : AdminLog::departed(peer, server->closeReason(index), clients,
                                                      socks::CWS_TCP_S::defaultLimits());
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
        output->writeLine(
                AdminLog::lineBytes(LogPriority::Info, consoleText(text), output->toJournal()));
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
