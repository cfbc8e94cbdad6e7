#pragma once

#include <QtGlobal>

namespace testsupport {

// A memory figure of /proc/PID/status ("VmRSS:", "VmHWM:", ...) in KiB; pid 0 is this process.
// -1 when it cannot be read.
qint64 statusKib(const char *key, qint64 pid = 0);

} // namespace testsupport
