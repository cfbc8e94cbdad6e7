// Times what the windows cost beside the relay itself: appending one chat line to the server
// window's log when it is empty, half full and full (the newest 10,000 lines are kept, so a full
// log trims one line per append), display flush included; and the client window's CPU time while
// it waits for a logout line that the relay never sends back.
#include "app/ModuleMain.h"
#include "forms/LogBox.h"
#include "forms/client/FormTCPClientMain.h"
#include "forms/server/FormTCPServerMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <cstdio>
#include <ctime>
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
        QCoreApplication::processEvents(); // the log shows new text once per event-loop turn
        form.TextLog->flushToDisplay();
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
    std::printf("| Server log append (median of %d, display flush included) | µs | vs empty |\n",
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
    ModuleMain::gstrServerIP = QStringLiteral("127.0.0.1");
    ModuleMain::gintPort = silent.serverPort();
    ModuleMain::gstrHandleName = QStringLiteral("bench");
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

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const int logStatus = measureLog();
    const int waitStatus = measureLogoutWait();
    return logStatus != 0 ? logStatus : waitStatus;
}
