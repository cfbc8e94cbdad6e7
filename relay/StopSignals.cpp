#include "relay/StopSignals.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// SIGHUP asks for the settings to be read again, as daemons do (systemctl reload).
constexpr std::array<int, 3> stopSignals{SIGINT, SIGTERM, SIGHUP};

// [0] is read by the event loop, [1] written by the handler; -1 while not installed.
int pipeEnds[2] = {-1, -1};
struct sigaction previousActions[stopSignals.size()];

void writeSignalNumber(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds a stop request, so a lost byte loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(pipeEnds[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

StopSignals::StopSignals(QObject *parent)
    : QObject(parent)
{}

StopSignals::~StopSignals()
{
    if (!installed)
        return;
    notifier->setEnabled(false); // its descriptor is about to close
    for (std::size_t index = 0; index < stopSignals.size(); ++index)
        ::sigaction(stopSignals[index], &previousActions[index], nullptr);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    pipeEnds[0] = pipeEnds[1] = -1;
}

bool StopSignals::install()
{
    Q_ASSERT(!installed && pipeEnds[0] == -1);
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = writeSignalNumber;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t index = 0; index < stopSignals.size(); ++index) {
        if (::sigaction(stopSignals[index], &action, &previousActions[index]) != 0) {
            const int savedErrno = errno;
            while (index-- > 0)
                ::sigaction(stopSignals[index], &previousActions[index], nullptr);
            ::close(pipeEnds[0]);
            ::close(pipeEnds[1]);
            pipeEnds[0] = pipeEnds[1] = -1;
            errno = savedErrno;
            return false;
        }
    }
    installed = true;
    notifier = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &StopSignals::readPipe);
    return true;
}

void StopSignals::readPipe()
{
    unsigned char byte = 0;
    while (::read(pipeEnds[0], &byte, 1) == 1) {
        if (byte == SIGHUP)
            emit reloadAsked();
        else
            emit received(byte);
    }
}

const char *StopSignals::name(int signalNumber)
{
    switch (signalNumber) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "a signal";
    }
}
