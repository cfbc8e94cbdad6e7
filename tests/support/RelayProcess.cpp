#include "tests/support/RelayProcess.h"

#include <QRegularExpression>
#include <QTcpServer>

namespace testsupport {

RelayProcess::RelayProcess()
    : environment(QProcessEnvironment::systemEnvironment())
{
    for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(variable));
}

RelayProcess::~RelayProcess()
{
    stop();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(waitTimeout);
    }
}

QString RelayProcess::executable()
{
    return QStringLiteral(PRYNECHAT_RELAY_EXECUTABLE);
}

QStringList RelayProcess::unlimited()
{
    return {QStringLiteral("--port"),  QStringLiteral("0"),
            QStringLiteral("--quiet"), QStringLiteral("--max-per-address"),
            QStringLiteral("0"),       QStringLiteral("--max-joins-per-minute"),
            QStringLiteral("0")};
}

QStringList RelayProcess::web()
{
    return {QStringLiteral("--web"), QStringLiteral("127.0.0.1:0")};
}

void RelayProcess::launch(const QStringList &arguments, const QString &program)
{
    servesWeb = arguments.contains(QStringLiteral("--web"));
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
}

bool RelayProcess::serves(int timeout)
{
    static const QRegularExpression startLine(
            QStringLiteral("prynechat-relay: relaying on (\\S+):(\\d+)(?: \\((.+)\\))?\\n"));
    static const QRegularExpression pageLine(
            QStringLiteral("the chat page for browsers is at \\S+:(\\d+)/\\n"));
    QRegularExpressionMatch start;
    QRegularExpressionMatch page;
    waitUntil(
            [&] {
                readBoth();
                start = startLine.match(QString::fromUtf8(output));
                page = pageLine.match(QString::fromUtf8(output));
                return (start.hasMatch() && (!servesWeb || page.hasMatch()))
                        || process.state() == QProcess::NotRunning;
            },
            timeout);
    if (!start.hasMatch() || (servesWeb && !page.hasMatch()))
        return false;
    address = start.captured(1);
    port = start.captured(2).toInt();
    note = start.captured(3);
    webPort = servesWeb ? page.captured(1).toInt() : 0;
    // Offsets of QString matches are in UTF-16 units; the lines before are ASCII but a warning
    // may not be, so cut at the byte offset of the same text.
    const QByteArray last =
            (servesWeb && page.capturedEnd() > start.capturedEnd() ? page.captured(0)
                                                                   : start.captured(0))
                    .toUtf8();
    const qsizetype end = output.indexOf(last) + last.size();
    startLines += output.left(end);
    output.remove(0, end);
    return port > 0;
}

bool RelayProcess::start(const QStringList &arguments, const QString &program)
{
    launch(arguments, program);
    return serves();
}

void RelayProcess::readBoth()
{
    output += process.readAllStandardOutput();
    errors += process.readAllStandardError();
}

bool RelayProcess::outputHas(const QByteArray &text, int timeout)
{
    return waitUntil(
            [&] {
                readBoth();
                return output.contains(text);
            },
            timeout);
}

bool RelayProcess::says(const QByteArray &text, int times, int timeout)
{
    return waitUntil(
            [&] {
                readBoth();
                return errors.count(text) >= times;
            },
            timeout);
}

bool RelayProcess::ends(int timeout)
{
    const bool ended = process.state() == QProcess::NotRunning || process.waitForFinished(timeout);
    readBoth();
    return ended && process.exitStatus() == QProcess::NormalExit;
}

void RelayProcess::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    process.waitForFinished(waitTimeout);
}

std::unique_ptr<WireClient> RelayProcess::join(const QString &greeting)
{
    auto client = std::make_unique<WireClient>(port);
    if (!client->waitConnected())
        return nullptr;
    client->send(greeting);
    if (!waitUntil([&] { return client->received.contains(greeting); }))
        return nullptr;
    return client;
}

QStringList RedisServer::readmeLimits()
{
    return {QStringLiteral("--proto-max-bulk-len"), QStringLiteral("1mb"),
            QStringLiteral("--client-query-buffer-limit"), QStringLiteral("2mb")};
}

bool RedisServer::start(int onPort)
{
    for (int attempt = 0; attempt < 10; ++attempt) {
        port = onPort;
        if (port == 0) {
            QTcpServer probe;
            if (!probe.listen(QHostAddress::LocalHost, 0))
                return false;
            port = probe.serverPort();
        }
        log.clear();
        process.start(QStringLiteral(PRYNECHAT_REDIS_SERVER),
                      QStringList{QStringLiteral("--port"), QString::number(port),
                                  QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                                  QStringLiteral("--save"), QString(),
                                  QStringLiteral("--appendonly"), QStringLiteral("no")}
                              + options);
        waitUntil([&] {
            log += process.readAllStandardOutput();
            return log.contains("Ready to accept connections")
                    || process.state() == QProcess::NotRunning;
        });
        if (log.contains("Ready to accept connections"))
            return true;
        process.waitForFinished(waitTimeout);
        log += process.readAllStandardOutput();
        if (onPort != 0 || !log.contains("Failed listening on port"))
            break; // not a port taken meanwhile: trying again would not help
    }
    qWarning("redis-server did not start:\n%s", log.constData());
    return false;
}

void RedisServer::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    process.waitForFinished(waitTimeout);
}

QString RedisServer::url(const QString &database) const
{
    return QStringLiteral("redis://127.0.0.1:%1/%2").arg(port).arg(database);
}

} // namespace testsupport
