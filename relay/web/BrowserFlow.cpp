#include "relay/web/BrowserFlow.h"

#include <algorithm>
#include <numeric>

BrowserFlow::Verdict BrowserFlow::judge(const Reader &reader, qint64 now, const Limits &limits)
{
    if (reader.behind > maxUnsentBytes)
        return Verdict::OverCap;
    if (reader.behindSince >= 0 && now - reader.behindSince >= limits.laggardMilliseconds)
        return Verdict::Laggard;
    if (reader.behind > 0 && now - reader.lastProgress >= limits.stallMilliseconds)
        return Verdict::Stalled;
    return Verdict::Keep;
}

bool BrowserFlow::holdsReading(bool holding, qint64 mostBehind, qint64 allBehind)
{
    if (!holding)
        return mostBehind > pauseBytes || allBehind > copiesPauseBytes;
    return mostBehind > resumeBytes || allBehind > copiesResumeBytes;
}

std::vector<int> BrowserFlow::overBudget(const std::vector<qint64> &behinds, qint64 budget)
{
    qint64 total = std::accumulate(behinds.begin(), behinds.end(), qint64(0));
    if (total <= budget)
        return {};
    std::vector<int> order(behinds.size());
    std::iota(order.begin(), order.end(), 0);
    // Ties go to the earlier index, so that the outcome does not depend on the sort.
    std::stable_sort(order.begin(), order.end(),
                     [&behinds](int left, int right) { return behinds[left] > behinds[right]; });
    std::vector<int> dropped;
    for (const int index : order) {
        if (total <= budget)
            break;
        total -= behinds[std::size_t(index)];
        dropped.push_back(index);
    }
    return dropped;
}
