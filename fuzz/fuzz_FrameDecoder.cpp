// Feeds arbitrary bytes to the frame decoder the way a socket would: in pieces whose sizes come
// from the input itself, reading frames after every piece and decoding them as text.
#include "net/FrameDecoder.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    socks::FrameDecoder decoder;
    // The first byte picks the piece size, so the fuzzer explores every way of splitting frames.
    const size_t piece = size_t(data[0] % 16) + 1;
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    const size_t length = size - 1;
    size_t frames = 0;
    size_t payloadBytes = 0;
    for (size_t at = 0; at < length; at += piece) {
        const size_t count = length - at < piece ? length - at : piece;
        if (at / piece % 2 == 0) {
            decoder.append(QByteArrayView(bytes + at, qsizetype(count)));
        } else {
            char *room = decoder.prepareAppend(qsizetype(count) + 3);
            for (size_t index = 0; index < count; ++index)
                room[index] = bytes[at + index];
            decoder.commitAppend(qsizetype(count));
        }
        socks::FrameDecoder::Result result;
        while ((result = decoder.next()) == socks::FrameDecoder::Result::Frame) {
            const QByteArrayView payload = decoder.payload();
            if (payload.size() > qsizetype(socks::FrameDecoder::maxPayloadBytes)
                || decoder.frame().size() != payload.size() + socks::FrameDecoder::headerBytes)
                std::abort();
            const QString text = QString::fromUtf8(payload);
            if (payload.size() > 0 && text.isEmpty())
                std::abort();
            ++frames;
            payloadBytes += size_t(payload.size());
        }
        if (result == socks::FrameDecoder::Result::Oversized && !decoder.failed())
            std::abort();
        if (decoder.failed())
            break;
    }
    // Every byte is either inside a frame, a header, or still buffered.
    if (!decoder.failed()
        && payloadBytes + frames * socks::FrameDecoder::headerBytes
                        + size_t(decoder.bufferedBytes())
                != length)
        std::abort();
    return 0;
}
