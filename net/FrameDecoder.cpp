#include "net/FrameDecoder.h"

#include <QtEndian>

#include <cstring>

namespace socks {

namespace {

// Capacity a decoder keeps between frames without asking: room for a few turns of chat lines.
constexpr qsizetype keptCapacityBytes = 64 * 1024;

} // namespace

void FrameDecoder::append(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return;
    char *room = prepareAppend(bytes.size());
    std::memcpy(room, bytes.data(), size_t(bytes.size()));
    commitAppend(bytes.size());
}

char *FrameDecoder::prepareAppend(qsizetype size)
{
    compact();
    appendStart = buffer.size();
    buffer.resize(appendStart + size);
    return buffer.data() + appendStart;
}

void FrameDecoder::commitAppend(qsizetype written)
{
    buffer.resize(appendStart + qMax<qsizetype>(written, 0));
}

FrameDecoder::Result FrameDecoder::next()
{
    if (oversized)
        return Result::Oversized;
    const qsizetype available = buffer.size() - start;
    if (available < headerBytes)
        return Result::NeedMore;
    const quint32 length = qFromBigEndian<quint32>(buffer.constData() + start);
    if (length > maxPayloadBytes) {
        oversized = true;
        return Result::Oversized;
    }
    if (available - headerBytes < qsizetype(length))
        return Result::NeedMore;
    frameStart = start;
    frameSize = headerBytes + qsizetype(length);
    start += frameSize;
    return Result::Frame;
}

void FrameDecoder::clear()
{
    buffer.clear();
    start = appendStart = frameStart = frameSize = 0;
    oversized = false;
}

void FrameDecoder::releaseSpare()
{
    compact();
    if (buffer.capacity() > keptCapacityBytes && buffer.capacity() > 2 * buffer.size())
        buffer.squeeze();
}

// Moves the unfinished tail to the front but keeps the capacity, so a steady stream of small
// frames reuses one allocation.
void FrameDecoder::compact()
{
    if (start == 0)
        return;
    const qsizetype rest = buffer.size() - start;
    if (rest > 0)
        std::memmove(buffer.data(), buffer.constData() + start, size_t(rest));
    buffer.truncate(rest);
    start = frameStart = frameSize = 0;
}

} // namespace socks
