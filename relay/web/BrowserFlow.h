#pragma once

#include <QtGlobal>

#include <vector>

// How far a browser may fall behind, decided from numbers alone. The rule is the one the room
// keeps for its TCP readers, with the same numbers; what differs is that each browser's backlog is
// a copy of its own (each text is framed for each browser), so all browsers' backlogs together
// have a budget too.
class BrowserFlow
{
public:
    // Reading stops while the slowest browser has more than this unsent, and starts again once it
    // is down to the lower number: the senders' TCP windows fill and they slow down instead.
    static constexpr qint64 pauseBytes = 4 * 1024 * 1024;
    static constexpr qint64 resumeBytes = 2 * 1024 * 1024;
    // Relayed input never gets a browser much beyond pauseBytes, so this is a hard bound.
    static constexpr qint64 maxUnsentBytes = 8 * 1024 * 1024;
    // All browsers' unsent copies together: reading stops above the first mark and starts
    // again below the second, as for one browser's backlog; a thousand browsers a burst behind
    // are served that way instead of being dropped. Past the budget, or held above the lower
    // mark for longer than a laggard may hold reading, the furthest behind go.
    static constexpr qint64 copiesPauseBytes = 32 * 1024 * 1024;
    static constexpr qint64 copiesResumeBytes = 16 * 1024 * 1024;
    static constexpr qint64 budgetBytes = 64 * 1024 * 1024;

    struct Limits
    {
        qint64 laggardMilliseconds; // longest a browser may hold everyone's reading back
        qint64 stallMilliseconds; // bytes waiting and none taken for this long: gone
    };
    static constexpr Limits defaultLimits{5000, 30000};

    struct Reader
    {
        qint64 behind = 0; // bytes it has still to take
        qint64 lastProgress = 0; // when it last took bytes, or bytes began to wait
        qint64 behindSince = -1; // since when it has held reading back, negative when not
    };

    enum class Verdict { Keep, Laggard, Stalled, OverCap };

    static Verdict judge(const Reader &reader, qint64 now, const Limits &limits = defaultLimits);

    // Whether reading stays stopped, given whether it is stopped now, the slowest backlog and all
    // backlogs together.
    static bool holdsReading(bool holding, qint64 mostBehind, qint64 allBehind);

    // Whether this reader is one that keeps reading stopped.
    static bool isHoldingBack(bool holding, qint64 behind)
    {
        return holding && behind > resumeBytes;
    }

    // Which backlogs to give up, furthest behind first, until the rest fit the budget; indices
    // into behinds.
    static std::vector<int> overBudget(const std::vector<qint64> &behinds,
                                       qint64 budget = budgetBytes);
};
