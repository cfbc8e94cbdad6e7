// Times what the windows cost beside the relay itself: appending one chat line to the server
// window's log when it is empty, half full and full (the newest 10,000 lines are kept, so a full
// log trims one line per append), display flush and repaint included; the time to show and the
// peak memory of hostile texts and of a full log, each in a process of its own; a client window
// under a flood at full speed (CPU, memory, typing-to-server latency); and the client window's
// CPU time while it waits for a logout line that the relay never sends back. With
// --standard-case NAME, a hostile case shown in Qt's standard text box fed from the same model
// instead, the other way to build the log.
#include "forms/ChatLook.h"
#include "forms/LogBox.h"
#include "forms/LogModel.h"
#include "forms/SharedSettings.h"
#include "forms/client/FormTCPClientMain.h"
#include "forms/server/FormTCPServerMain.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

constexpr int timedAppends = 400;
constexpr int fullLog = LogBox::defaultMaxLines;

// One chat line as a client puts it on the wire: socket number, handle padded to ten, text.
const QString chatLine =
        QStringLiteral("48213@Default   |ベンチマークの一行です。Hello from the load test.\r\n");

double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

bool relayOneLine(FormTCPServerMain &form)
{
    // The window's own handler: relays to its (no) connections and appends to its log.
    return QMetaObject::invokeMethod(&form, "CWS_TCP_S_GetData", Qt::DirectConnection,
                                     Q_ARG(int, 1), Q_ARG(QString, chatLine));
}

// Median time of one append with the display brought up to date, at the given fill level.
double appendMicros(FormTCPServerMain &form, int fill)
{
    QMetaObject::invokeMethod(&form, "mnuLogClear_Click", Qt::DirectConnection);
    for (int line = 0; line < fill; ++line)
        relayOneLine(form);
    QCoreApplication::processEvents();
    form.TextLog->flushToDisplay();
    QCoreApplication::processEvents();

    std::vector<double> samples;
    samples.reserve(timedAppends);
    QElapsedTimer timer;
    for (int index = 0; index < timedAppends; ++index) {
        timer.start();
        relayOneLine(form);
        form.TextLog->flushToDisplay();
        form.TextLog->viewport()->repaint();
        samples.push_back(double(timer.nsecsElapsed()) / 1000.0);
    }
    std::nth_element(samples.begin(), samples.begin() + timedAppends / 2, samples.end());
    return samples[timedAppends / 2];
}

int measureLog()
{
    auto *form = new FormTCPServerMain(QStringLiteral("0"));
    form->setAttribute(Qt::WA_DeleteOnClose);
    form->show();
    QCoreApplication::processEvents();
    if (!relayOneLine(*form)) {
        std::fprintf(stderr, "windowcost: the server window has no CWS_TCP_S_GetData handler\n");
        return 1;
    }
    const double empty = appendMicros(*form, 0);
    const double half = appendMicros(*form, fullLog / 2);
    const double full = appendMicros(*form, fullLog);
    std::printf("| Server log append (median of %d, display flush and repaint included) | µs | vs "
                "empty |\n",
                timedAppends);
    std::printf("|---|---:|---:|\n");
    std::printf("| empty | %.1f | 1.00 |\n", empty);
    std::printf("| half full (%d lines) | %.1f | %.2f |\n", fullLog / 2, half, half / empty);
    std::printf("| full (%d lines, trimming) | %.1f | %.2f |\n", fullLog, full, full / empty);
    form->close();
    QCoreApplication::processEvents();
    return 0;
}

int measureLogoutWait()
{
    // A relay that accepts and never sends anything back.
    QTcpServer silent;
    if (!silent.listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "windowcost: cannot listen on 127.0.0.1\n");
        return 1;
    }
    SharedSettings::gstrServerIP = QStringLiteral("127.0.0.1");
    SharedSettings::gintPort = silent.serverPort();
    SharedSettings::gstrHandleName = QStringLiteral("bench");
    QPointer<FormTCPClientMain> client = new FormTCPClientMain();
    client->setAttribute(Qt::WA_DeleteOnClose);
    client->show();

    QElapsedTimer timer;
    timer.start();
    QTcpSocket *peer = nullptr;
    while (!peer && timer.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        if (silent.hasPendingConnections())
            peer = silent.nextPendingConnection();
    }
    // The login line arrives once the client has seen itself connected.
    while (peer && peer->bytesAvailable() == 0 && timer.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (!peer || peer->bytesAvailable() == 0) {
        std::fprintf(stderr, "windowcost: the client window did not connect and log in\n");
        return 1;
    }

    const double cpuBefore = processCpuSeconds();
    timer.restart();
    client->close(); // sends the logout line, then waits for it in a nested event loop
    while (client && timer.elapsed() < 15000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const double wall = double(timer.nsecsElapsed()) / 1e9;
    const double cpu = processCpuSeconds() - cpuBefore;
    // Only a wait for a logout line that was really sent counts.
    QCoreApplication::processEvents();
    if (!peer->readAll().contains(QStringLiteral("ログアウト - ").toUtf8())) {
        std::fprintf(stderr, "windowcost: the client window sent no logout line\n");
        return 1;
    }
    std::printf("\n| Client logout wait (relay never echoes) | value |\n|---|---:|\n");
    std::printf("| wait, s | %.2f |\n| process CPU time, s | %.3f |\n| CPU share | %.1f %% |\n",
                wall, cpu, 100.0 * cpu / wall);
    if (client) {
        std::fprintf(stderr, "windowcost: the client window was still open after 15 s\n");
        return 1;
    }
    return 0;
}

double peakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

qint64 monotonicNanos()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

constexpr int hostileSize = 1 << 20; // characters (UTF-16 code units) per frame

QString repeatedTo(const QString &pattern, int size)
{
    QString text;
    text.reserve(size + pattern.size());
    while (text.size() < size)
        text += pattern;
    return text;
}

// The frames that one case relays through the server window.
std::vector<QString> framesOf(const QString &name)
{
    if (name == u"full-log") {
        // 10,000 lines of 400 characters, CR LF included.
        const QString line = repeatedTo(QStringLiteral("ログの一行 full log line "), 398).left(398)
                + QStringLiteral("\r\n");
        return std::vector<QString>(fullLog, line);
    }
    if (name == u"u2029-x14")
        return std::vector<QString>(14, QString(hostileSize, QChar::ParagraphSeparator));
    if (name == u"lf-x14")
        return std::vector<QString>(14, QString(hostileSize, u'\n'));
    if (name == u"long-line")
        return {QString(hostileSize, u'x')};
    if (name == u"cr")
        return {QString(hostileSize, u'\r')};
    if (name == u"u2029")
        return {QString(hostileSize, QChar::ParagraphSeparator)};
    if (name == u"combining")
        return {QStringLiteral("a") + QString(hostileSize - 1, QChar(0x0301))};
    if (name == u"bidi")
        return {repeatedTo(QStringLiteral("\u202eabc \u05d0\u05d1\u05d2 \u2067\u0645\u0631\u062d"
                                          "\u0628\u0627\u2069 \u200f123\u202c "),
                           hostileSize)};
    if (name == u"emoji")
        return {repeatedTo(QStringLiteral("😀👍🏽👨‍👩‍👧🇯🇵"), hostileSize)};
    return {};
}

// Relays the case's frames through a server window, each one shown (flush and repaint) before
// the next; prints the slowest frame, the whole time and the peak memory.
int runServerCase(const QString &name)
{
    const std::vector<QString> frames = framesOf(name);
    if (frames.empty())
        return 2;
    auto *form = new FormTCPServerMain(QStringLiteral("0"));
    form->show();
    // A window that is already up: fonts loaded and the first paint done.
    QMetaObject::invokeMethod(form, "CWS_TCP_S_GetData", Qt::DirectConnection, Q_ARG(int, 1),
                              Q_ARG(QString, QStringLiteral("1@warm      |ウォームアップ\r\n")));
    form->TextLog->flushToDisplay();
    form->TextLog->viewport()->repaint();
    QCoreApplication::processEvents();
    double slowest = 0;
    QElapsedTimer all;
    all.start();
    for (const QString &frame : frames) {
        QElapsedTimer one;
        one.start();
        QMetaObject::invokeMethod(form, "CWS_TCP_S_GetData", Qt::DirectConnection, Q_ARG(int, 1),
                                  Q_ARG(QString, frame));
        form->TextLog->flushToDisplay();
        form->TextLog->viewport()->repaint();
        slowest = std::max(slowest, double(one.nsecsElapsed()) / 1e6);
    }
    QCoreApplication::processEvents();
    std::printf("%s %.1f %.1f %.1f %d\n", qPrintable(name), slowest,
                double(all.nsecsElapsed()) / 1e6, peakRssMiB(), form->TextLog->logLength());
    return 0;
}

// The other way to build the log, measured for the choice between the two: the standard
// read-only text box fed once a frame from the same bounded model, with what the model took in
// since the last frame appended and what it trimmed removed. Same frames, same box size and font
// as the server window's log; prints as runServerCase does.
int runStandardCase(const QString &name)
{
    const std::vector<QString> frames = framesOf(name);
    if (frames.empty())
        return 2;
    QPlainTextEdit edit;
    edit.setReadOnly(true);
    edit.setFont(chatFont());
    edit.resize(174, 85); // the server window's log, 2610 x 1275 twips
    edit.show();
    LogModel model;
    int shownLength = 0;
    LogSpot fedEnd = model.end();
    auto feed = [&](const QString &frame) {
        model.append(frame);
        const LogSpot end = model.end();
        // Whatever was trimmed goes from the front; all of it when nothing shown is kept.
        const bool anyKept = fedEnd.piece >= model.firstPiece();
        const int keptOld = anyKept ? model.shownPosition(fedEnd) : 0;
        if (keptOld < shownLength) {
            QTextCursor cursor(edit.document());
            cursor.movePosition(QTextCursor::Start);
            cursor.movePosition(QTextCursor::NextCharacter, QTextCursor::KeepAnchor,
                                shownLength - keptOld);
            cursor.removeSelectedText();
            shownLength = keptOld;
            if (!anyKept)
                fedEnd = model.start();
        }
        const QString added = model.shownBetween(fedEnd, end);
        QTextCursor cursor(edit.document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(added);
        shownLength += int(added.size());
        fedEnd = end;
        edit.moveCursor(QTextCursor::End);
        edit.ensureCursorVisible();
        edit.viewport()->repaint();
    };
    feed(QStringLiteral("1@warm      |ウォームアップ\r\n"));
    QCoreApplication::processEvents();
    double slowest = 0;
    QElapsedTimer all;
    all.start();
    for (const QString &frame : frames) {
        QElapsedTimer one;
        one.start();
        feed(frame);
        slowest = std::max(slowest, double(one.nsecsElapsed()) / 1e6);
    }
    QCoreApplication::processEvents();
    std::printf("%s %.1f %.1f %.1f %d\n", qPrintable(name), slowest,
                double(all.nsecsElapsed()) / 1e6, peakRssMiB(), model.length());
    return 0;
}

// A relay that floods its one client with chat lines as fast as the socket takes them and
// prints, with the system's monotonic clock, when each typed line arrives.
int runFloodServer()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 1;
    std::printf("%d\n", server.serverPort());
    std::fflush(stdout);
    QTcpSocket *peer = nullptr;
    // Texts travel as frames: a 4-byte big-endian length, then the UTF-8 bytes.
    const QByteArray text =
            QStringLiteral("48213@flood     |ベンチの洪水です。flood line\r\n").toUtf8();
    QByteArray line(4, '\0');
    qToBigEndian(quint32(text.size()), line.data());
    line += text;
    const QByteArray chunk = line.repeated(64 * 1024 / line.size());
    QByteArray received;
    auto fill = [&] {
        // Enough queued to keep the socket busy, bounded so the flood cannot eat memory.
        while (peer && peer->bytesToWrite() < 256 * 1024)
            peer->write(chunk);
    };
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        peer = server.nextPendingConnection();
        QObject::connect(peer, &QTcpSocket::bytesWritten, fill);
        QObject::connect(peer, &QTcpSocket::readyRead, [&] {
            received += peer->readAll();
            while (received.size() >= 4) {
                const qsizetype size = qFromBigEndian<quint32>(received.constData());
                if (received.size() < 4 + size)
                    break;
                const QByteArray text = received.mid(4, size);
                received.remove(0, 4 + size);
                const qsizetype mark = text.indexOf("typed#");
                if (mark >= 0) {
                    std::printf("%s %lld\n", text.mid(mark + 6).trimmed().constData(),
                                static_cast<long long>(monotonicNanos()));
                    std::fflush(stdout);
                }
            }
        });
        QObject::connect(peer, &QTcpSocket::disconnected, qApp, &QCoreApplication::quit);
        fill();
    });
    return QCoreApplication::exec();
}

// A client window under the flood: types a line every 100 ms from another thread (so that a
// busy event loop shows as latency) and reports CPU, peak memory and the typing latency.
int runClientFlood(const QString &program)
{
    QProcess flood;
    flood.start(program, {QStringLiteral("--flood-server")});
    if (!flood.waitForReadyRead(5000))
        return 1;
    SharedSettings::gstrServerIP = QStringLiteral("127.0.0.1");
    SharedSettings::gintPort = flood.readLine().trimmed().toInt();
    SharedSettings::gstrHandleName = QStringLiteral("bench");
    auto *client = new FormTCPClientMain();
    client->show();

    constexpr int typedLines = 50;
    std::vector<qint64> typedAt(typedLines, 0);
    std::atomic<bool> stop{false};
    QObject target;
    std::thread typist([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500)); // connected and flooding
        for (int index = 0; index < typedLines && !stop; ++index) {
            const qint64 at = monotonicNanos();
            QMetaObject::invokeMethod(&target, [&, index, at] {
                typedAt[size_t(index)] = at;
                client->ComboMain->setCurrentText(QStringLiteral("typed#%1").arg(index));
                QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, u"\r"_qs);
                QCoreApplication::sendEvent(client->ComboMain, &enter);
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const double cpuBefore = processCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    while (wall.elapsed() < 500 + typedLines * 100 + 300)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    stop = true;
    typist.join();
    const double cpu = processCpuSeconds() - cpuBefore;
    const double seconds = double(wall.nsecsElapsed()) / 1e9;
    const int logLength = client->TextLog->logLength();
    flood.kill();
    flood.waitForFinished(3000);

    std::vector<double> latencies;
    for (const QByteArray &reply : flood.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> fields = reply.split(' ');
        if (fields.size() != 2)
            continue;
        const int index = fields[0].toInt();
        if (index >= 0 && index < typedLines && typedAt[size_t(index)] > 0)
            latencies.push_back(double(fields[1].toLongLong() - typedAt[size_t(index)]) / 1e6);
    }
    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double share) {
        return latencies.empty() ? -1.0 : latencies[size_t(share * double(latencies.size() - 1))];
    };
    std::printf("client-flood %.1f %.1f %zu %.1f %.1f %.1f %d\n", 100.0 * cpu / seconds,
                peakRssMiB(), latencies.size(), at(0.5), at(0.99), at(1.0), logLength);
    return 0;
}

// Runs one case in a fresh process, so that its peak memory is its own.
QList<QByteArray> runCase(const QString &program, const QString &name)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::SeparateChannels);
    child.start(program, {QStringLiteral("--case"), name});
    if (!child.waitForFinished(180000) || child.exitCode() != 0)
        return {};
    const QByteArray out = child.readAllStandardOutput().trimmed();
    return out.mid(out.lastIndexOf('\n') + 1).split(' ');
}

int measureCases(const QString &program)
{
    int status = 0;
    std::printf(
            "\n| Server window, one process each | slowest frame shown, ms | all, ms | peak RSS, "
            "MiB | log length kept |\n|---|---:|---:|---:|---:|\n");
    for (const char *name : {"full-log", "u2029-x14", "lf-x14", "long-line", "cr", "u2029",
                             "combining", "bidi", "emoji"}) {
        const QList<QByteArray> fields = runCase(program, QString::fromLatin1(name));
        if (fields.size() != 5) {
            std::printf("| %s | failed | | | |\n", name);
            status = 1;
            continue;
        }
        std::printf("| %s | %s | %s | %s | %s |\n", name, fields[1].constData(),
                    fields[2].constData(), fields[3].constData(), fields[4].constData());
    }
    const QList<QByteArray> flood = runCase(program, QStringLiteral("client-flood"));
    std::printf("\n| Client window under a flood at full speed (5 s) | value |\n|---|---:|\n");
    if (flood.size() != 8) {
        std::printf("| failed | |\n");
        return 1;
    }
    std::printf("| process CPU share | %s %% |\n| peak RSS | %s MiB |\n| typed lines that "
                "reached the server | %s of 50 |\n| typing-to-server latency p50 / p99 / max | "
                "%s / %s / %s ms |\n| log length kept | %s |\n",
                flood[1].constData(), flood[2].constData(), flood[3].constData(),
                flood[4].constData(), flood[5].constData(), flood[6].constData(),
                flood[7].constData());
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const QString program = QCoreApplication::applicationFilePath();
    if (arguments.size() == 2 && arguments[1] == u"--flood-server")
        return runFloodServer();
    if (arguments.size() == 2 && arguments[1] == u"--append")
        return measureLog();
    if (arguments.size() == 3 && arguments[1] == u"--standard-case")
        return runStandardCase(arguments[2]);
    if (arguments.size() == 3 && arguments[1] == u"--case")
        return arguments[2] == u"client-flood" ? runClientFlood(program)
                                               : runServerCase(arguments[2]);
    const int logStatus = measureLog();
    const int caseStatus = measureCases(program);
    const int waitStatus = measureLogoutWait();
    return logStatus != 0 ? logStatus : caseStatus != 0 ? caseStatus : waitStatus;
}
