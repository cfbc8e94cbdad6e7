#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM (received) and SIGHUP (reloadAsked) into Qt signals on the event loop. The handler only writes the signal
// number into a pipe, the one thing a signal handler may safely do; the event loop reads it back.
// One instance per process.
class StopSignals : public QObject
{
    Q_OBJECT

public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override; // puts the previous handlers back

    bool install(); // false when the pipe or a handler could not be set up (errno tells why)
    static const char *name(int signalNumber); // "SIGTERM"

signals:
    void received(int signalNumber); // SIGINT or SIGTERM: time to stop
    void reloadAsked(); // SIGHUP

private:
    void readPipe();

    QSocketNotifier *notifier = nullptr;
    bool installed = false;
};
