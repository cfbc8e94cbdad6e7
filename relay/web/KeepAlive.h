#pragma once

#include <QtGlobal>

// When to ping a browser and when to give it up, from clock values alone. A browser that vanished
// from the network (a phone that left the LAN, a laptop lid closed) is noticed about as soon as TCP
// keep-alive notices a vanished client: a ping after a minute of silence, gone when half a minute
// brings no answer.
class KeepAlive
{
public:
    enum class Step { Wait, Ping, Drop };

    struct Limits
    {
        qint64 silenceMilliseconds; // nothing heard for this long: ping
        qint64 answerMilliseconds; // a ping unanswered for this long: gone
    };
    static constexpr Limits defaultLimits{60000, 30000};

    // lastHeard: when anything last came from the browser (a message or a pong); pingSent: when
    // the ping that waits for an answer was sent, negative when none waits.
    static Step judge(qint64 lastHeard, qint64 pingSent, qint64 now,
                      const Limits &limits = defaultLimits);
};
