#pragma once

#include "net/SendQueue.h"

#include <deque>

// What one browser still has to be sent: the room's shared chunks, each a turn's texts as WebSocket
// messages, held by reference. Only a small window of them goes to the browser's socket at a
// time: Qt's socket keeps a chunk of 4 KiB or more by reference but copies a smaller one, so a
// browser that falls behind costs a reference per turn, as a TCP client does, and never more than
// the window in copies.
class BrowserOutbox
{
public:
    using Chunk = socks::SendQueue::Chunk;

    // Chunks go to the socket while it holds less than this unsent. The kernel's send buffer
    // holds more than this again, so a browser that keeps up is never kept waiting by it.
    static constexpr qint64 windowBytes = 16 * 1024;

    void append(Chunk chunk); // an empty chunk is not kept

    // The next chunk for a socket that holds socketBytes unsent, whole: a ping, a pong or the
    // close goes between chunks, never inside one. Null when none waits or the socket holds its
    // window.
    Chunk next(qint64 socketBytes);

    qint64 queuedBytes() const { return queued; } // not yet handed to the socket
    bool isEmpty() const { return chunks.empty(); }
    void clear();

private:
    std::deque<Chunk> chunks;
    qint64 queued = 0;
};
