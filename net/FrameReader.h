#pragma once

#include "net/FrameDecoder.h"

namespace socks {

// The loop both components run over their received bytes: hands out every whole frame once and
// in order, also when a handler runs a nested event loop that brings more bytes for the same
// connection (those are only appended; the loop further up the stack hands them out).
class FrameReader
{
public:
    // What the deliver step tells the loop: go on, stop (the connection ended), or stop without
    // touching the reader again (its owner was destroyed).
    enum class Step { Next, Stop, Gone };
    enum class Outcome { Drained, Busy, Stopped, Gone, Oversized };

    FrameDecoder decoder;

    // pull() appends more bytes to the decoder and returns whether any came; it is asked only when
    // the buffered bytes hold no whole frame. deliver(frame, payload) takes one frame.
    template <typename Pull, typename Deliver> Outcome read(Pull &&pull, Deliver &&deliver)
    {
        if (reading)
            return Outcome::Busy;
        reading = true;
        for (;;) {
            const FrameDecoder::Result result = decoder.next();
            if (result == FrameDecoder::Result::Oversized) {
                reading = false;
                return Outcome::Oversized;
            }
            if (result == FrameDecoder::Result::NeedMore) {
                if (pull())
                    continue;
                reading = false;
                return Outcome::Drained;
            }
            switch (deliver(decoder.frame(), decoder.payload())) {
            case Step::Next:
                break;
            case Step::Stop:
                reading = false;
                return Outcome::Stopped;
            case Step::Gone:
                return Outcome::Gone;
            }
        }
    }

    bool isReading() const { return reading; }

private:
    bool reading = false;
};

} // namespace socks
