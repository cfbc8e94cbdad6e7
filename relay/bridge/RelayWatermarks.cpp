#include "relay/bridge/RelayWatermarks.h"

#include <algorithm>

RelayWatermarks::Admission RelayWatermarks::admit(quint64 relay, quint64 seq, std::size_t count)
{
    Admission admission;
    if (count == 0)
        return admission;
    auto found = relays.find(relay);
    if (found == relays.end()) {
        if (relays.size() >= maxRelays) {
            relays.erase(std::min_element(relays.begin(), relays.end(),
                                          [](const auto &left, const auto &right) {
                                              return left.second.lastUse < right.second.lastUse;
                                          }));
        }
        found = relays.emplace(relay, Known()).first;
    }
    Known &known = found->second;
    known.lastUse = ++useCounter;
    const quint64 last = seq + (count - 1);

    for (std::size_t index = 0; index < count; ++index) {
        const quint64 number = seq + index;
        const bool seen =
                std::any_of(known.runs.begin(), known.runs.end(), [number](const Run &run) {
                    return run.first <= number && number <= run.last;
                });
        if (!seen)
            admission.fresh.push_back(index);
    }

    // Runs that the entry overlaps or continues (numbers are far from the top: no overflow).
    Run merged{seq, last, useCounter};
    const auto touches = [&](const Run &run) {
        return run.first <= last + 1 && seq <= run.last + 1;
    };
    if (!known.runs.empty() && std::none_of(known.runs.begin(), known.runs.end(), touches)) {
        admission.skippedNumbers = true;
        admission.lastSeen = std::max_element(known.runs.begin(), known.runs.end(),
                                              [](const Run &left, const Run &right) {
                                                  return left.lastUse < right.lastUse;
                                              })
                                     ->last;
    }
    for (const Run &run : known.runs) {
        if (touches(run)) {
            merged.first = std::min(merged.first, run.first);
            merged.last = std::max(merged.last, run.last);
        }
    }
    known.runs.erase(std::remove_if(known.runs.begin(), known.runs.end(), touches),
                     known.runs.end());
    if (known.runs.size() >= maxRunsPerRelay) {
        known.runs.erase(std::min_element(
                known.runs.begin(), known.runs.end(),
                [](const Run &left, const Run &right) { return left.lastUse < right.lastUse; }));
    }
    known.runs.push_back(merged);
    return admission;
}
