#include "relay/web/BrowserOutbox.h"

#include <utility>

void BrowserOutbox::append(Chunk chunk)
{
    if (!chunk || chunk->isEmpty())
        return;
    queued += chunk->size();
    chunks.push_back(std::move(chunk));
}

BrowserOutbox::Chunk BrowserOutbox::next(qint64 socketBytes)
{
    if (chunks.empty() || socketBytes >= windowBytes)
        return nullptr;
    Chunk chunk = std::move(chunks.front());
    chunks.pop_front();
    queued -= chunk->size();
    return chunk;
}

void BrowserOutbox::clear()
{
    chunks.clear();
    queued = 0;
}
