#include "net/SendQueue.h"

#include <utility>

namespace socks {

void SendQueue::append(Chunk chunk)
{
    if (!chunk || chunk->isEmpty())
        return;
    behind += chunk->size();
    chunks.push_back(std::move(chunk));
}

int SendQueue::takeIovecs(iovec *vectors, int maxCount) const
{
    int count = 0;
    qsizetype skip = offset;
    for (auto chunk = chunks.begin(); chunk != chunks.end() && count < maxCount; ++chunk) {
        // writev takes non-const pointers but only reads through them.
        vectors[count].iov_base = const_cast<char *>((*chunk)->constData() + skip);
        vectors[count].iov_len = size_t((*chunk)->size() - skip);
        skip = 0;
        ++count;
    }
    return count;
}

void SendQueue::consume(qint64 bytes)
{
    Q_ASSERT(bytes >= 0 && bytes <= behind);
    behind -= bytes;
    while (bytes > 0 && !chunks.empty()) {
        const qsizetype rest = chunks.front()->size() - offset;
        if (bytes < rest) {
            offset += bytes;
            return;
        }
        bytes -= rest;
        chunks.pop_front();
        offset = 0;
    }
}

void SendQueue::clear()
{
    chunks.clear();
    offset = 0;
    behind = 0;
}

} // namespace socks
