#include "net/FrameDecoder.h"

#include <QtEndian>

#include <utility>

namespace socks {

FrameDecoder::Result FrameDecoder::next()
{
    if (oversized)
        return Result::Oversized;
    const qsizetype available = input.size();
    if (available < headerBytes)
        return Result::NeedMore;
    const quint32 length = qFromBigEndian<quint32>(std::as_const(input).data());
    if (length > maxPayloadBytes) {
        oversized = true;
        return Result::Oversized;
    }
    if (available - headerBytes < qsizetype(length))
        return Result::NeedMore;
    currentFrame = QByteArrayView(std::as_const(input).data(), headerBytes + qsizetype(length));
    input.consume(currentFrame.size());
    return Result::Frame;
}

void FrameDecoder::clear()
{
    input.clear();
    currentFrame = QByteArrayView();
    oversized = false;
}

} // namespace socks
