#pragma once

#include "net/InputBuffer.h"

namespace socks {

// Cuts a received byte stream into frames: a 4-byte big-endian payload length, then the payload.
// It knows nothing of sockets, so a fuzzer and the tests can feed it any bytes they like.
class FrameDecoder
{
public:
    static constexpr qsizetype headerBytes = 4;
    static constexpr quint32 maxPayloadBytes = 1024 * 1024;

    enum class Result { Frame, NeedMore, Oversized };

    void append(QByteArrayView bytes) { input.append(bytes); }
    // Lets a socket read straight into the buffer: room for `size` bytes, then the count written.
    char *prepareAppend(qsizetype size) { return input.prepareAppend(size); }
    void commitAppend(qsizetype written) { input.commitAppend(written); }

    // After Frame, frame() and payload() view that frame until the next append or clear.
    // Oversized is final: a peer that announces more than maxPayloadBytes is not read any further.
    Result next();
    QByteArrayView frame() const { return currentFrame; }
    QByteArrayView payload() const { return frame().sliced(headerBytes); }

    qsizetype bufferedBytes() const { return input.size(); }
    qsizetype heldBytes() const { return input.capacity(); } // memory the buffer takes
    bool failed() const { return oversized; }
    void clear();
    // Forgets the frames handed out and gives back memory a large frame left behind, so that a
    // connection that once sent 1 MiB does not keep that much for the rest of its life.
    void releaseSpare() { input.releaseSpare(); }

private:
    InputBuffer input;
    QByteArrayView currentFrame;
    bool oversized = false;
};

} // namespace socks
