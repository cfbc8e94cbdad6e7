#include "bench/ProcessStats.h"

#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace bench {

ProcessStats::ProcessStats(int pid)
    : pid(pid)
{}

std::optional<std::uint64_t> ProcessStats::cpuMicros() const
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(file, line))
        return std::nullopt;
    // The command name may hold spaces and parentheses; the fields start after the last ')'.
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    std::uint64_t user = 0, system = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14)
            user = std::stoull(field);
        else if (number == 15)
            system = std::stoull(field);
    }
    if (!fields)
        return std::nullopt;
    const long ticks = sysconf(_SC_CLK_TCK);
    return (user + system) * 1000000u / std::uint64_t(ticks > 0 ? ticks : 100);
}

std::optional<std::uint64_t> ProcessStats::peakResidentKib() const
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stoull(line.substr(6));
    }
    return std::nullopt;
}

} // namespace bench
