#include "net/RelayPolicy.h"

#include <algorithm>
#include <climits>
#include <numeric>

namespace socks {

RelayPolicy::Verdict RelayPolicy::judge(const ReaderState &reader, qint64 now) const
{
    if (tooFarBehind(reader.behind))
        return Verdict::Laggard;
    if (reader.behind > 0 && now - reader.lastProgress >= limits.stallMilliseconds)
        return Verdict::Stalled;
    if (reader.unfinished && now - reader.lastInput >= limits.unfinishedMilliseconds)
        return Verdict::Abandoned;
    return Verdict::Keep;
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
