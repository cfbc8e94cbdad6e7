#pragma once

#include <QByteArray>

#include <deque>
#include <memory>
#include <sys/uio.h>

namespace socks {

// What one connection still has to send, as references to chunks that many connections share:
// a relayed text is held once however many readers it waits for. Knows nothing of sockets, so the
// component keeps the policy (who is too slow) and this keeps the bookkeeping.
class SendQueue
{
public:
    using Chunk = std::shared_ptr<const QByteArray>;

    void append(Chunk chunk); // an empty chunk is not kept

    // Fills up to maxCount vectors with the oldest unsent bytes, in order; returns how many.
    int takeIovecs(iovec *vectors, int maxCount) const;
    void consume(qint64 bytes); // the first `bytes` of what takeIovecs gave have been sent

    qint64 bytesBehind() const { return behind; }
    bool isEmpty() const { return chunks.empty(); }
    void clear();

private:
    std::deque<Chunk> chunks;
    qsizetype offset = 0; // bytes of the front chunk already sent
    qint64 behind = 0;
};

} // namespace socks
