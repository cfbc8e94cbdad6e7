#include "relay/ServiceManager.h"

#include <QByteArray>
#include <QtGlobal>

#include <fcntl.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace {

// The first descriptor a service manager passes (sd_listen_fds(3)).
constexpr int firstPassedDescriptor = 3;

} // namespace

std::optional<int> servicemanager::passedListener()
{
    const QByteArray pid = qgetenv("LISTEN_PID");
    const QByteArray count = qgetenv("LISTEN_FDS");
    qunsetenv("LISTEN_PID");
    qunsetenv("LISTEN_FDS");
    qunsetenv("LISTEN_FDNAMES");
    bool pidOk = false, countOk = false;
    if (pid.toLongLong(&pidOk) != ::getpid() || !pidOk || count.toInt(&countOk) < 1 || !countOk)
        return std::nullopt;
    ::fcntl(firstPassedDescriptor, F_SETFD, FD_CLOEXEC);
    return firstPassedDescriptor;
}

void servicemanager::notify(const QByteArray &state)
{
    ::sd_notify(0, state.constData());
}
