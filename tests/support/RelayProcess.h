#pragma once

#include "tests/support/Waits.h"
#include "tests/support/WireClient.h"

#include <QProcess>
#include <QStringList>

#include <memory>

namespace testsupport {

// The relay executable in a process of the test's own, without a display (as on a LAN box with no
// screen), on ports of the kernel's choosing read back from its start lines. Ended by its PID when
// the test is done with it: SIGTERM first, SIGKILL if that is not enough.
struct RelayProcess
{
    QProcess process;
    QProcessEnvironment environment;
    QByteArray startLines; // standard output up to the start line (and the page's line with --web)
    QByteArray output; // standard output after that
    QByteArray errors;
    QString address; // as the start line shows it
    QString note; // what the start line says in brackets after the port
    int port = 0;
    int webPort = 0;

    RelayProcess();
    ~RelayProcess();

    // Starts the relay (or a program that execs it) without waiting for anything.
    void launch(const QStringList &arguments, const QString &program = executable());
    // Waits for the start line, and for the page's line when the arguments serve a web port.
    bool serves(int timeout = waitTimeout);
    // launch and serves.
    bool start(const QStringList &arguments, const QString &program = executable());

    void readBoth();
    bool outputHas(const QByteArray &text, int timeout = waitTimeout);
    bool says(const QByteArray &text, int times = 1, int timeout = waitTimeout);
    // Waits for the end; true for a normal exit (the status is process.exitCode()).
    bool ends(int timeout = waitTimeout);
    void stop();

    // A client the relay has certainly taken on: its greeting came back to it.
    std::unique_ptr<WireClient> join(const QString &greeting);

    static QString executable();
    // A quiet relay on a free port that admits any number of clients from one address, at any
    // pace (the tests' clients all come from loopback), and its web port on a free port too.
    static QStringList unlimited();
    static QStringList web();

private:
    bool servesWeb = false;
};

// A redis-server of the test's own, without persistence, with the limits the README sets. It can
// neither take a listening socket from the test nor bind port 0, so it is started on a port that the
// kernel had free a moment ago; should another program take that port first, redis-server says so
// and ends, and another is tried. So the port it answers on is certainly its own.
struct RedisServer
{
    QProcess process;
    int port = 0;
    QByteArray log;
    // Given after the port and the settings that keep nothing on disk.
    QStringList options = readmeLimits();

    ~RedisServer() { stop(); }

    // On `onPort` if given (a port the test keeps for it), else on a free one.
    bool start(int onPort = 0);
    // SIGTERM to its PID: the stream goes with it, nothing is saved.
    void stop();
    QString url(const QString &database = QStringLiteral("test")) const;

    // The limits the README sets, with which the relays start without a warning.
    static QStringList readmeLimits();
};

} // namespace testsupport
