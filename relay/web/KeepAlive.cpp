#include "relay/web/KeepAlive.h"

KeepAlive::Step KeepAlive::judge(qint64 lastHeard, qint64 pingSent, qint64 now,
                                 const Limits &limits)
{
    // Anything heard after the ping answers it as well as the pong would.
    if (pingSent >= 0 && pingSent >= lastHeard)
        return now - pingSent >= limits.answerMilliseconds ? Step::Drop : Step::Wait;
    return now - lastHeard >= limits.silenceMilliseconds ? Step::Ping : Step::Wait;
}
