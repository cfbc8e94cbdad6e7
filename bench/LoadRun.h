#pragma once

#include "bench/DeliveryChecker.h"

#include <cstdint>
#include <string>

namespace bench {

// One load run: N clients on one thread (non-blocking sockets, epoll), each sending its texts
// with at most `window` unanswered, and every receipt handed to a DeliveryChecker.
//
// framed: 4-byte big-endian length, then the text; the relay sends each text to everyone, the
//         sender too, and a text is answered when its sender gets it back (echo latency).
// lines:  newline-ended texts; the relay sends each to everyone else, and a text is answered when
//         the next client (id + 1) receives it, so latency is send to first chosen receipt.
// websocket: as framed, but every text is one WebSocket text message on the relay's web port
//         (the client side of the protocol, as a browser speaks it). With webPort set in framed
//         mode, every second client joins over WebSocket there: one room, both kinds.
class LoadRun
{
public:
    enum class Mode { Framed, Lines, WebSocket };

    struct Options
    {
        std::string host = "127.0.0.1";
        int port = 555;
        int otherPort = 0; // not 0: every second client joins this port (a bridged relay)
        int webPort = 0; // not 0: every second client joins over WebSocket on this port
        int clients = 10;
        std::uint64_t textsPerClient = 1000; // used when durationMillis is 0
        std::uint64_t durationMillis = 0;
        std::size_t textBytes = 48;
        int window = 8;
        Mode mode = Mode::Framed;
        std::uint64_t timeoutMillis = 30000; // whole run, set-up included
        std::uint64_t stallMillis = 5000; // no delivery for this long while texts are owed
        std::uint64_t settleMillis = 1000; // after the last answer, how long stragglers may take
    };

    struct Result
    {
        std::string error; // set-up failure: refused, bad options, no relay of the sync text
        bool timedOut = false;
        DeliveryChecker::Summary summary;
        std::uint64_t textsSent = 0;
        double seconds = 0; // from the first send to the last delivery
        std::uint64_t latencyP50 = 0, latencyP99 = 0, latencyMax = 0; // microseconds
        std::uint64_t latencySamples = 0;

        bool passed() const { return error.empty() && !timedOut && summary.clean(); }
    };

    explicit LoadRun(const Options &options);
    Result run();

private:
    Options options;
};

} // namespace bench
