// Feeds arbitrary bytes to the frame decoder the way a socket would: in pieces whose sizes come
// from the input itself, reading frames after every piece and decoding them as text.
#include "fuzz/SocketPieces.h"
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
    size_t frames = 0;
    size_t payloadBytes = 0;
    feedInPieces(decoder, data, size, [&] {
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
        return !decoder.failed();
    });
    // Every byte is either inside a frame, a header, or still buffered.
    if (!decoder.failed()
        && payloadBytes + frames * socks::FrameDecoder::headerBytes
                        + size_t(decoder.bufferedBytes())
                != size - 1)
        std::abort();
    return 0;
}
