#include "relay/RelayService.h"

#include "net/CWS_TCP_S.h"

namespace {

constexpr int firstUnprivilegedPort = 1024;

void writeText(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
}

} // namespace

RelayService::RelayService(std::FILE *output, std::FILE *errors, bool quiet)
    : server(std::make_unique<socks::CWS_TCP_S>())
    , output(output)
    , errors(errors)
    , quiet(quiet)
{
    connect(server.get(), &socks::CWS_TCP_S::GetData, this, &RelayService::relayText);
    connect(server.get(), &socks::CWS_TCP_S::ServiceError, this,
            &RelayService::closeFailedConnection);
    // A busy relay prints in batches: the stream is flushed once the event loop has handled
    // what is pending, not once per text.
    flushTimer.setSingleShot(true);
    flushTimer.setInterval(0);
    connect(&flushTimer, &QTimer::timeout, this, &RelayService::flushOutput);
}

RelayService::~RelayService()
{
    stop();
}

bool RelayService::start(int port)
{
    if (!server->StartService(port)) {
        writeText(errors,
                  QStringLiteral("prynechat-relay: cannot serve port %1: %2\n")
                          .arg(port)
                          .arg(server->LastError()));
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
                    "relay through prynechat-relay.service, give it the capability once with "
                    "\"setcap cap_net_bind_service=+ep\" on the executable, or choose a port "
                    "from 1024 up with --port.\n");
            break;
        default:
            if (port > 0 && port < firstUnprivilegedPort)
                advice = QStringLiteral("Ports below 1024 need privileges; ports from 1024 up "
                                        "do not.\n");
            break;
        }
        writeText(errors, advice);
        std::fflush(errors);
        return false;
    }
    writeText(output,
              QStringLiteral("prynechat-relay: relaying on %1:%2\n")
                      .arg(server->Address())
                      .arg(server->Port()));
    std::fflush(output);
    return true;
}

void RelayService::stop()
{
    server->CloseConnection(0);
    flushOutput();
}

void RelayService::divertTexts(std::function<void(const QString &)> sink)
{
    this->sink = std::move(sink);
}

void RelayService::setReadingPaused(bool paused)
{
    server->setReadingPaused(paused);
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
    // Index 0 reaches the sender too: clients wait for their own line.
    server->SendData(text, 0);
    if (quiet)
        return;
    // Chat lines end in CR LF; terminals and the journal show lines ended by LF alone.
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    writeText(output, shown);
    if (!flushTimer.isActive())
        flushTimer.start();
}

void RelayService::closeFailedConnection(int index)
{
    server->CloseConnection(index);
}

void RelayService::flushOutput()
{
    flushTimer.stop();
    std::fflush(output);
}
