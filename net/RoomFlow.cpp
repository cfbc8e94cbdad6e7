#include "net/RoomFlow.h"

#include <algorithm>

namespace socks {

RoomFlow::RoomFlow(const RelayLimits &limits)
    : limits(limits)
{}

void RoomFlow::setLimits(const RelayLimits &newLimits)
{
    limits = newLimits;
}

void RoomFlow::join(FlowParty &party, int index, qint64 now)
{
    party = FlowParty();
    party.index = index;
    party.debtAt = party.lastProgress = now;
    party.caughtUpAt = now - limits.slowHoldMilliseconds;
    party.slot = parties.size();
    party.joined = true;
    parties.push_back(&party);
    decide(party);
}

void RoomFlow::leave(FlowParty &party)
{
    if (!party.joined)
        return;
    setHeavy(party, false);
    if (party.behind) {
        party.behind = false;
        if (--behindCount == 0)
            decideHeavy();
    }
    FlowParty *last = parties.back();
    parties[party.slot] = last;
    last->slot = party.slot;
    parties.pop_back();
    party.joined = false;
    changes.erase(std::remove(changes.begin(), changes.end(), &party), changes.end());
}

void RoomFlow::settleDebt(FlowParty &party, qint64 now)
{
    const qint64 elapsed = now - party.debtAt;
    if (elapsed <= 0)
        return;
    party.debt = std::max(qint64(0), party.debt - elapsed * limits.heavyBytesPerSecond / 1000);
    party.debtAt = now;
}

void RoomFlow::received(FlowParty &party, qint64 bytes, qint64 now)
{
    settleDebt(party, now);
    party.debt += bytes;
    setHeavy(party, party.debt > limits.heavyBurstBytes);
}

void RoomFlow::setHeavy(FlowParty &party, bool heavy)
{
    if (party.heavy == heavy)
        return;
    party.heavy = heavy;
    heavyCount += heavy ? 1 : -1;
    decide(party);
}

void RoomFlow::reader(FlowParty &party, qint64 backlog, qint64 taken, qint64 lastProgress,
                      qint64 now)
{
    party.backlog = backlog;
    party.taken = taken;
    party.lastProgress = lastProgress;
    if (!party.behind && backlog > limits.pauseBytes)
        setBehind(party, true, now);
    else if (party.behind && backlog <= limits.resumeBytes)
        setBehind(party, false, now);
}

void RoomFlow::setBehind(FlowParty &party, bool behind, qint64 now)
{
    party.behind = behind;
    if (behind) {
        if (now - party.caughtUpAt >= limits.slowHoldMilliseconds)
            party.heldBefore = party.takenBefore = 0;
        party.behindSince = now;
        party.takenWhenBehind = party.taken;
    } else {
        party.heldBefore += now - party.behindSince;
        party.takenBefore += party.taken - party.takenWhenBehind;
        party.caughtUpAt = now;
    }
    behindCount += behind ? 1 : -1;
    decide(party);
    // The first reader behind holds every heavy sender, the last one back frees them; who is
    // heavy is looked at afresh first, since nobody paid back while nobody was held.
    if (behindCount == (behind ? 1 : 0)) {
        if (behind)
            tick(now);
        decideHeavy();
    }
}

void RoomFlow::setPaused(bool pause)
{
    if (paused == pause)
        return;
    paused = pause;
    for (FlowParty *party : parties)
        decide(*party);
}

void RoomFlow::decide(FlowParty &party)
{
    if (&party == &owner)
        return;
    const bool reading = !paused && !party.behind && !(party.heavy && behindCount > 0);
    if (reading == party.reading)
        return;
    party.reading = reading;
    if (!party.changed) {
        party.changed = true;
        changes.push_back(&party);
    }
}

void RoomFlow::decideHeavy()
{
    if (heavyCount == 0)
        return;
    for (FlowParty *party : parties) {
        if (party->heavy)
            decide(*party);
    }
}

void RoomFlow::tick(qint64 now)
{
    if (heavyCount == 0)
        return;
    const auto payBack = [this, now](FlowParty &party) {
        if (!party.heavy)
            return;
        settleDebt(party, now);
        if (party.debt <= limits.heavyBurstBytes)
            setHeavy(party, false);
    };
    payBack(owner);
    for (std::size_t each = 0; each < parties.size() && heavyCount > 0; ++each)
        payBack(*parties[each]);
}

bool RoomFlow::holdsOthers(const FlowParty &party) const
{
    return party.behind && heavyCount - (party.heavy ? 1 : 0) > 0;
}

std::vector<FlowParty *> RoomFlow::laggards(qint64 now)
{
    std::vector<FlowParty *> dropped;
    if (behindCount == 0 || heavyCount == 0)
        return dropped;
    for (FlowParty *party : parties) {
        if (!holdsOthers(*party))
            continue;
        const qint64 still = now - std::max(party->behindSince, party->lastProgress);
        const qint64 held = party->heldBefore + now - party->behindSince;
        const qint64 took = party->takenBefore + party->taken - party->takenWhenBehind;
        if (still >= limits.nonReaderMilliseconds
            || (held >= limits.slowHoldMilliseconds
                && took * 1000 < limits.minReaderBytesPerSecond * held))
            dropped.push_back(party);
    }
    return dropped;
}

std::vector<FlowParty *> RoomFlow::takeChanges()
{
    for (FlowParty *party : changes)
        party->changed = false;
    return std::exchange(changes, {});
}

} // namespace socks
