#pragma once

#include <QByteArrayView>

#include <cstddef>
#include <cstdint>

// Hands a decoder a fuzzer's input the way a socket would: in pieces whose size the input's first
// byte picks (so every way of cutting frames is explored), every second piece written straight
// into the decoder's buffer as a socket read does, with a piece's worth of room to spare.
// `afterEach` runs after every piece and returns false to stop.
template <typename Decoder, typename AfterEach>
void feedInPieces(Decoder &decoder, const uint8_t *data, size_t size, AfterEach afterEach)
{
    if (size == 0)
        return;
    const size_t piece = size_t(data[0] % 16) + 1;
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    const size_t length = size - 1;
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
        if (!afterEach())
            return;
    }
}
