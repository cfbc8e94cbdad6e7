#include "net/InputBuffer.h"

#include <cstring>

namespace socks {

namespace {

// Capacity kept between frames without asking: room for a few turns of chat lines.
constexpr qsizetype keptCapacityBytes = 64 * 1024;

} // namespace

void InputBuffer::append(QByteArrayView more)
{
    if (more.isEmpty())
        return;
    char *room = prepareAppend(more.size());
    std::memcpy(room, more.data(), size_t(more.size()));
    commitAppend(more.size());
}

char *InputBuffer::prepareAppend(qsizetype size)
{
    compact();
    appendStart = bytes.size();
    bytes.resize(appendStart + size);
    return bytes.data() + appendStart;
}

void InputBuffer::commitAppend(qsizetype written)
{
    bytes.resize(appendStart + qMax<qsizetype>(written, 0));
}

void InputBuffer::clear()
{
    bytes = QByteArray();
    start = appendStart = 0;
}

void InputBuffer::releaseSpare()
{
    compact();
    if (bytes.capacity() > keptCapacityBytes && bytes.capacity() > 2 * bytes.size())
        bytes.squeeze();
}

void InputBuffer::compact()
{
    if (start == 0)
        return;
    const qsizetype rest = bytes.size() - start;
    if (rest > 0)
        std::memmove(bytes.data(), bytes.constData() + start, size_t(rest));
    bytes.truncate(rest);
    start = 0;
}

} // namespace socks
