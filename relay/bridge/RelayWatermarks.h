#pragma once

#include <QtGlobal>

#include <cstddef>
#include <unordered_map>
#include <vector>

// What a reader has relayed of every other relay, so that texts sent again after a reconnection
// are shown once. A relay numbers its texts without gaps, so what was seen of it is kept as a few
// runs of numbers. An entry that continues or repeats a run extends it; one that starts past
// every run of a known relay (it skipped numbers: entries lost with Redis's data, or an entry
// someone else wrote in that relay's name) starts a run of its own and moves no other run, so no
// entry can make the reader take numbers it never saw for relayed.
class RelayWatermarks
{
public:
    // Relays restart under new numbers; a reader keeps the runs of this many, the least recently
    // heard from going first.
    static constexpr std::size_t maxRelays = 1024;
    // Runs kept per relay, the least recently extended going first.
    static constexpr std::size_t maxRunsPerRelay = 4;

    struct Admission
    {
        std::vector<std::size_t> fresh; // indices of the entry's texts not relayed before
        bool skippedNumbers = false; // touches no run of a relay seen before
        quint64 lastSeen = 0; // then: the end of that relay's run extended last
    };
    // An entry of relay holding count texts numbered from seq (count >= 1, no wrap-around).
    Admission admit(quint64 relay, quint64 seq, std::size_t count);

    std::size_t relayCount() const { return relays.size(); }

private:
    struct Run
    {
        quint64 first;
        quint64 last;
        quint64 lastUse;
    };
    struct Known
    {
        std::vector<Run> runs;
        quint64 lastUse = 0;
    };

    std::unordered_map<quint64, Known> relays;
    quint64 useCounter = 0;
};
