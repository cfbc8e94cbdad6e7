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
    int stallMilliseconds =
            30000; // a reader with bytes waiting that takes none for this long fails
    // A reader is behind from more than pauseBytes waiting until it is back at resumeBytes; while
    // any reader is behind, the heavy senders are not read (RoomFlow).
    qint64 pauseBytes = 4 * 1024 * 1024;
    qint64 resumeBytes = 2 * 1024 * 1024;
    // The hard bound on what one reader's queue may hold, whatever anyone does: heavy senders
    // stop at pauseBytes, so past this the reader cannot take even what chat pace brings.
    qint64 maxBehindBytes = 12 * 1024 * 1024;
    // Chat pace: twenty texts of 1 KiB a second is 20 KiB/s. A sender whose input runs more than
    // heavyBurstBytes past heavyBytesPerSecond is heavy; a paste of a few dozen lines is not.
    qint64 heavyBytesPerSecond = 32 * 1024;
    qint64 heavyBurstBytes = 64 * 1024;
    // A reader behind while a heavy sender waits for it goes once it has taken nothing for
    // nonReaderMilliseconds of that (the check runs every 0.1 s then: within a second in all),
    // or once it has been behind for slowHoldMilliseconds at less than minReaderBytesPerSecond.
    int nonReaderMilliseconds = 900;
    int slowHoldMilliseconds = 3000;
    qint64 minReaderBytesPerSecond = 1000 * 1000;
};

// Why a connection ended; the relay's log reports it with the peer's address.
enum class CloseReason {
    Open, // still connected
    ClosedByOwner, // CloseConnection, or the component went away
    PeerClosed, // an orderly close by the peer
    PeerReset, // the peer reset the connection, or it broke while sending
    Lagging, // held a heavy sender back without taking its texts fast enough, or over the hard bound
    Stalled, // took no byte for stallMilliseconds while bytes waited
    AbandonedFrame, // a started frame saw no byte for unfinishedMilliseconds
    OversizedFrame, // announced a frame above 1 MiB
    InputBudget, // held one of the largest unfinished frames when all of them passed the budget
    UnsendableText, // sent invalid UTF-8 that, replaced, no longer fits in a frame
    SocketError, // the system reported another error on the connection
    Unanswered, // a browser left a ping unanswered (KeepAlive)
};

// One reader as the room's time and byte bounds see it, in bytes and clock milliseconds.
struct ReaderState
{
    qint64 behind = 0; // bytes relayed to it that its peer has not taken yet
    qint64 lastProgress = 0; // when the peer last took bytes, or bytes began to wait
    qint64 lastInput = 0; // when the peer last sent a byte
    bool unfinished = false; // holds part of a frame
};

// The relay's bounds on numbers and a clock value alone: who stalled, who goes when unfinished
// frames take too much, how connections are numbered. The room asks and applies the answer.
class RelayPolicy
{
public:
    enum class Verdict { Keep, Laggard, Stalled, Abandoned };

    explicit RelayPolicy(const RelayLimits &limits = RelayLimits())
        : limits(limits)
    {}

    const RelayLimits &bounds() const { return limits; }

    // Past the hard bound on a reader's queue: dropped at once, wherever the bytes came from.
    bool tooFarBehind(qint64 behind) const { return behind > limits.maxBehindBytes; }
    // The bounds that hold for every reader alone; who holds others back is RoomFlow's.
    Verdict judge(const ReaderState &reader, qint64 now) const;

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
