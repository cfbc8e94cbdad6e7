#pragma once

#include <atomic>
#include <thread>

// A relay for the load tool's own tests, on 127.0.0.1 and a free port, that can be told to do one
// thing wrong with one data text, so that the tool's checker is seen to catch it.
class FaultyRelay
{
public:
    enum class Framing { Framed, Lines };
    enum class Fault {
        None,
        Drop, // the text goes to nobody
        SwapForOne, // one connection gets it after the next text of another sender
        Cut, // everyone gets it one byte short
        StopAfter, // from this text on, nothing is relayed
    };

    FaultyRelay(Framing framing, Fault fault, int faultAt);
    ~FaultyRelay();

    int port() const { return boundPort; }

private:
    void serve();

    Framing framing;
    Fault fault;
    // Counts, from 0 in relay order, the data texts of clients 2 and up: the checker relates a
    // line relay's texts of clients 0 and 1 to each other only through the other clients.
    int faultAt;
    int listener = -1;
    int boundPort = 0;
    std::atomic<bool> stopping{false};
    std::thread worker;
};
