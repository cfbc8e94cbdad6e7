#pragma once

#include "net/RelayPolicy.h"

#include <QtGlobal>

#include <vector>

namespace socks {

// One connection as the room's flow rule sees it, kept by the room beside its session: as a
// sender, how far its input runs past chat pace; as a reader, how far behind it is, since when,
// and what it took meanwhile.
struct FlowParty
{
    int index = 0;

    // As a sender: input beyond what chat pace pays back, as of debtAt.
    qint64 debt = 0;
    qint64 debtAt = 0;
    bool heavy = false; // its debt passed the burst: it sends faster than anyone chats

    // As a reader.
    qint64 backlog = 0; // relayed to it, not taken yet
    qint64 taken = 0; // taken in all
    qint64 lastProgress = 0; // when it last took bytes, or bytes began to wait
    bool behind = false; // past pauseBytes, not yet back at resumeBytes
    qint64 behindSince = 0;
    qint64 takenWhenBehind = 0;
    // Earlier stretches behind, kept until it stays caught up for slowHoldMilliseconds: catching
    // up for a moment between holds does not start its clock again.
    qint64 heldBefore = 0; // milliseconds
    qint64 takenBefore = 0; // bytes taken in them
    qint64 caughtUpAt = 0;

    // The room's answer: whether its input is read. `changed` until the room applies it.
    bool reading = true;
    bool changed = false;

    std::size_t slot = 0; // its place in the flow's list
    bool joined = false;
};

// The room's flow rule, on numbers and clock values alone:
//
// - A sender is heavy while its input runs past chat pace: more than heavyBurstBytes beyond
//   heavyBytesPerSecond. A reader is behind from more than pauseBytes waiting until it is back
//   at resumeBytes.
// - While any reader is behind, the heavy senders are not read: the ones whose texts fill the
//   queues wait, TCP slows them, and a sender at chat pace is read whatever anyone does. A reader
//   that is behind is not read from either: a sender that reads slower than it sends is slowed to
//   its own pace.
// - A reader that is behind while a heavy sender other than itself waits holds that sender back.
//   It goes once it has taken nothing for nonReaderMilliseconds of that, or once it has been
//   behind for slowHoldMilliseconds and took less than minReaderBytesPerSecond over that time.
//   A reader at that pace or faster paces the heavy senders and is never dropped for them.
// - Nothing resets those clocks but staying caught up for slowHoldMilliseconds: not an idle
//   moment, not a quick catch-up between two holds, not others coming or going.
//
// The owner's own texts (SendData for all that is not a received text) are one more sender,
// the owner's party, held as any other.
class RoomFlow
{
public:
    explicit RoomFlow(const RelayLimits &limits = RelayLimits());

    const RelayLimits &bounds() const { return limits; }
    void setLimits(const RelayLimits &limits);

    void join(FlowParty &party, int index, qint64 now);
    void leave(FlowParty &party);

    // The sender handed in `bytes` of input.
    void received(FlowParty &party, qint64 bytes, qint64 now);
    // The reader's queue changed: what it holds now and what the reader took in all.
    void reader(FlowParty &party, qint64 backlog, qint64 taken, qint64 lastProgress, qint64 now);
    // The owner stops (true) or resumes reading from everyone.
    void setPaused(bool paused);

    // Heavy senders pay back their debt with time; call now and then while anything is held.
    void tick(qint64 now);
    // Readers to drop now for holding others back (never for holding only themselves).
    std::vector<FlowParty *> laggards(qint64 now);

    // The parties whose `reading` changed since the last call; their `changed` is cleared.
    std::vector<FlowParty *> takeChanges();
    bool hasChanges() const { return !changes.empty(); }

    bool ownerHeld() const { return owner.heavy && behindCount > 0; }
    FlowParty &ownerParty() { return owner; }
    bool anyBehind() const { return behindCount > 0; }
    bool anyHeavy() const { return heavyCount > 0; }

private:
    void settleDebt(FlowParty &party, qint64 now);
    void setHeavy(FlowParty &party, bool heavy);
    void setBehind(FlowParty &party, bool behind, qint64 now);
    void decide(FlowParty &party);
    void decideHeavy();
    bool holdsOthers(const FlowParty &party) const;

    RelayLimits limits;
    std::vector<FlowParty *> parties;
    std::vector<FlowParty *> changes;
    FlowParty owner;
    int behindCount = 0;
    int heavyCount = 0; // the owner's party included
    bool paused = false;
};

} // namespace socks
