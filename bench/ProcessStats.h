#pragma once

#include <cstdint>
#include <optional>

namespace bench {

// What /proc tells about another process: its CPU time so far and its peak resident memory.
class ProcessStats
{
public:
    explicit ProcessStats(int pid);

    // utime + stime in microseconds; nothing when the process is gone.
    std::optional<std::uint64_t> cpuMicros() const;
    // VmHWM in KiB.
    std::optional<std::uint64_t> peakResidentKib() const;

private:
    int pid;
};

} // namespace bench
