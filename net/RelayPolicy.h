#pragma once

#include <QtGlobal>

#include <functional>
#include <vector>

namespace socks {

// The bounds on what one client may cost the relay; the defaults are the documented ones (see
// docs/protocol.md), tests shorten the waits.
struct RelayLimits
{
    // 64 MiB: 64 clients in the middle of the largest frame, or thousands of chat lines.
    qint64 unfinishedBytes = 64 * 1024 * 1024; // all connections' unfinished frames together
    // A frame of 1 MiB takes well under a second on any LAN; a peer that stops in the middle of
    // one for half a minute has gone.
    int unfinishedMilliseconds = 30000; // a started frame that sees no byte for this long fails
    // Longest the readers as a whole may keep everyone's input stopped without a break: a crowd of
    // slow readers is served, a crowd that trickles to keep the room waiting is not. The clock
    // starts again whenever input goes on.
    int laggardMilliseconds = 5000;
    int stallMilliseconds =
            30000; // a reader with bytes waiting that takes none for this long fails
    // Relayed input stops while more than half of the readers are more than pauseBytes behind
    // (the senders outrun the readers) and starts again once no more than half are more than
    // resumeBytes behind. The same two bounds hold one reader's own input.
    qint64 pauseBytes = 4 * 1024 * 1024;
    qint64 resumeBytes = 2 * 1024 * 1024;
    // A reader further behind the others (the median of the counted readers) than this is dropped,
    // while the others go on at their own pace: a non-reader, or one that reads slower than the
    // texts come. Measured from the others, not from zero, because the same real lag shows as
    // different backlogs here: loopback and a LAN put bytes straight into the reader's receive
    // buffer, which the kernel sizes per socket from 128 KiB to megabytes.
    qint64 behindOthersBytes = 8 * 1024 * 1024;
    // The hard bound on what one reader's queue may hold, whatever the others do: the others are
    // at most pauseBytes behind (and a turn) before input stops, so a reader within
    // behindOthersBytes of them stays below this.
    qint64 maxBehindBytes = 12 * 1024 * 1024;
    // A reader still taking bytes that falls further behind the others than this stops everyone's
    // input until it is within pauseBytes of them again: a reader that paused for a moment (a
    // descheduled program, a busy machine) catches up instead of being dropped, where a flood
    // puts 8 MiB on it within a few dozen milliseconds. One that needs longer than
    // lagHoldMilliseconds for it is dropped: a reader slower than the texts holds the others
    // below its own speed for at most that long.
    qint64 lagBytes = 6 * 1024 * 1024;
    int lagHoldMilliseconds = 1000;
    // Lone readers together may stop everyone's input for at most lagBudgetMilliseconds at a
    // stretch, and the budget refills at 1 ms per lagRefillMilliseconds: at most a third of the
    // time, so that a stream of fresh slow readers cannot keep the room stopped. With the budget
    // spent, a lagging reader stops nobody and goes once behindOthersBytes behind. The benchmark's
    // one-threaded load tool with 300 clients spent 0.6 s of it in 3 s.
    int lagBudgetMilliseconds = 2000;
    int lagRefillMilliseconds = 2;
    // A reader with bytes waiting that has taken none for this long is not reading at the moment:
    // it does not count among the readers whose pace the room follows, nor does it stop anyone.
    int idleMilliseconds = 500;
};

// Where one reader stands for the room's flow control.
enum class Standing {
    Near, // at most resumeBytes behind
    Behind, // more than resumeBytes behind
    FarBehind, // more than pauseBytes behind
    Lagging, // more than lagBytes behind the others, and not yet back within pauseBytes of them
    Idle, // bytes waiting, none taken for idleMilliseconds: not counted
};

// Why a connection ended; the relay's log reports it with the peer's address.
enum class CloseReason {
    Open, // still connected
    ClosedByOwner, // CloseConnection, or the component went away
    PeerClosed, // an orderly close by the peer
    PeerReset, // the peer reset the connection, or it broke while sending
    Lagging, // too far behind the others, or held everyone's input back too long as one of most
    Stalled, // took no byte for stallMilliseconds while bytes waited
    AbandonedFrame, // a started frame saw no byte for unfinishedMilliseconds
    OversizedFrame, // announced a frame above 1 MiB
    InputBudget, // held one of the largest unfinished frames when all of them passed the budget
    UnsendableText, // sent invalid UTF-8 that, replaced, no longer fits in a frame
    SocketError, // the system reported another error on the connection
    Unanswered, // a browser left a ping unanswered (KeepAlive)
};

// One reader as the room's rules see it, in bytes and clock milliseconds.
struct ReaderState
{
    qint64 behind = 0; // bytes relayed to it that its peer has not taken yet
    qint64 lastProgress = 0; // when the peer last took bytes, or bytes began to wait
    qint64 lastInput = 0; // when the peer last sent a byte
    qint64 heldSince = -1; // since when it has been holding everyone's input back; -1: it is not
    bool lagging = false; // holds it as a lone reader past lagBytes, not as one of a slow crowd
    bool unfinished = false; // holds part of a frame
};

// The readers counted by standing; idle ones are not among them.
struct RoomCount
{
    int near = 0;
    int behind = 0; // more than resumeBytes behind, far behind ones included
    int farBehind = 0; // lagging ones included when far behind
    int lagging = 0; // each one stops the input on its own while the budget lasts

    int readers() const { return near + behind; }
};

// The relay's rules on numbers and a clock value alone: who is too slow, when reading stops and
// starts again, who goes when unfinished frames take too much, how connections are numbered.
// The room asks and applies the answer.
class RelayPolicy
{
public:
    enum class Verdict { Keep, Laggard, Stalled, Abandoned };

    explicit RelayPolicy(const RelayLimits &limits = RelayLimits())
        : limits(limits)
    {}

    const RelayLimits &bounds() const { return limits; }

    // others: the others' median backlog (othersBehind); previous: the standing before, for the
    // hysteresis of Lagging.
    Standing standing(qint64 behind, qint64 others, qint64 lastProgress, qint64 now,
                      Standing previous = Standing::Near) const;
    // Whether relayed input stays stopped, given whether it is stopped now: the readers as a
    // whole are behind, or one reader lags while the budget for lone readers lasts. Hysteresis
    // keeps it from flapping with every chunk.
    bool holdsInput(bool held, const RoomCount &count, qint64 lagBudget) const;
    // The lone readers' budget after `elapsed` ms, during which they held everyone's input
    // (spending) or did not.
    qint64 lagBudgetAfter(qint64 budget, qint64 elapsed, bool spending) const;
    // Whether this reader's own input stays stopped, given whether it is stopped now: a sender
    // that reads slower than it sends is slowed to its own pace, not dropped for it.
    bool holdsOwnInput(bool held, qint64 behind) const
    {
        return held ? behind > limits.resumeBytes : behind > limits.pauseBytes;
    }
    // Whether this reader keeps the room's input stopped: counted, and behind.
    bool holdsRoom(Standing standing) const
    {
        return standing == Standing::Behind || standing == Standing::FarBehind
                || standing == Standing::Lagging;
    }
    // Past the hard bound, or too far behind the others (`others`: their median backlog, see
    // othersBehind) while not catching up in a hold of its own: dropped at once, wherever the
    // bytes came from.
    bool tooFarBehind(qint64 behind, qint64 others, bool lagging) const
    {
        return behind > limits.maxBehindBytes
                || (!lagging && behind - others > limits.behindOthersBytes);
    }
    // `others`: as for tooFarBehind.
    Verdict judge(const ReaderState &reader, qint64 others, qint64 now) const;
    // How far behind the others are: the median of the counted readers' backlogs (the upper
    // one of an even count), 0 when none is counted. Reorders `backlogs`.
    static qint64 othersBehind(std::vector<qint64> &backlogs);

    // When all unfinished frames together pass the budget: the positions (in `held`, the bytes
    // each connection's unfinished frame holds) of those to drop, largest first, until the rest
    // fit. They cost the most, and chat lines in progress are small.
    std::vector<std::size_t> overBudget(const std::vector<qint64> &held) const;

    // The number after `last` that inUse does not claim: from 1 up, back to 1 after INT_MAX,
    // never 0, which means "all".
    static int nextNumber(int last, const std::function<bool(int)> &inUse);

private:
    RelayLimits limits;
};

} // namespace socks
