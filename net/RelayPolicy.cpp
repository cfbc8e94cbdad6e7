#include "net/RelayPolicy.h"

#include <algorithm>
#include <climits>
#include <numeric>

namespace socks {

Standing RelayPolicy::standing(qint64 behind, qint64 others, qint64 lastProgress, qint64 now,
                               Standing previous) const
{
    if (behind > 0 && now - lastProgress >= limits.idleMilliseconds)
        return Standing::Idle;
    const qint64 beyond = behind - others;
    if (beyond > limits.lagBytes || (previous == Standing::Lagging && beyond > limits.pauseBytes))
        return Standing::Lagging;
    if (behind > limits.pauseBytes)
        return Standing::FarBehind;
    if (behind > limits.resumeBytes)
        return Standing::Behind;
    return Standing::Near;
}

bool RelayPolicy::holdsInput(bool held, const RoomCount &count, qint64 lagBudget) const
{
    // More than half: one reader of two, or a lone non-reader among a crowd, never stops the room
    // for longer than the lone readers' budget.
    const int readers = count.readers();
    if (count.lagging > 0 && lagBudget > 0)
        return true;
    if (!held)
        return count.farBehind * 2 > readers;
    return count.behind * 2 > readers;
}

qint64 RelayPolicy::lagBudgetAfter(qint64 budget, qint64 elapsed, bool spending) const
{
    if (spending)
        return std::max(qint64(0), budget - elapsed);
    return std::min(qint64(limits.lagBudgetMilliseconds),
                    budget + elapsed / std::max(1, limits.lagRefillMilliseconds));
}

RelayPolicy::Verdict RelayPolicy::judge(const ReaderState &reader, qint64 others, qint64 now) const
{
    if (tooFarBehind(reader.behind, others, reader.lagging))
        return Verdict::Laggard;
    const int holdLimit = reader.lagging ? limits.lagHoldMilliseconds : limits.laggardMilliseconds;
    if (reader.heldSince >= 0 && now - reader.heldSince >= holdLimit)
        return Verdict::Laggard;
    if (reader.behind > 0 && now - reader.lastProgress >= limits.stallMilliseconds)
        return Verdict::Stalled;
    if (reader.unfinished && now - reader.lastInput >= limits.unfinishedMilliseconds)
        return Verdict::Abandoned;
    return Verdict::Keep;
}

qint64 RelayPolicy::othersBehind(std::vector<qint64> &backlogs)
{
    if (backlogs.empty())
        return 0;
    const auto middle = backlogs.begin() + std::ptrdiff_t(backlogs.size() / 2);
    std::nth_element(backlogs.begin(), middle, backlogs.end());
    return *middle;
}

std::vector<std::size_t> RelayPolicy::overBudget(const std::vector<qint64> &held) const
{
    qint64 total = std::accumulate(held.begin(), held.end(), qint64(0));
    std::vector<std::size_t> order(held.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    // Equal holders keep their order: the older connection goes first, deterministically.
    std::stable_sort(order.begin(), order.end(), [&held](std::size_t left, std::size_t right) {
        return held[left] > held[right];
    });
    std::vector<std::size_t> dropped;
    for (const std::size_t each : order) {
        if (total <= limits.unfinishedBytes || held[each] <= 0)
            break;
        dropped.push_back(each);
        total -= held[each];
    }
    return dropped;
}

int RelayPolicy::nextNumber(int last, const std::function<bool(int)> &inUse)
{
    int next = last;
    do
        next = next >= INT_MAX || next < 0 ? 1 : next + 1;
    while (inUse(next));
    return next;
}

} // namespace socks
