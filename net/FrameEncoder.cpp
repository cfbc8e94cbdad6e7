#include "net/FrameEncoder.h"

#include "net/FrameDecoder.h"

#include <QtEndian>

namespace socks {

QByteArrayView FrameEncoder::encode(QStringView text)
{
    buffer.resize(FrameDecoder::headerBytes + utf8.requiredSpace(text.size()));
    char *payload = buffer.data() + FrameDecoder::headerBytes;
    const char *end = utf8.appendToBuffer(payload, text);
    const qsizetype payloadSize = end - payload;
    qToBigEndian<quint32>(quint32(payloadSize), buffer.data());
    return QByteArrayView(buffer.constData(), FrameDecoder::headerBytes + payloadSize);
}

} // namespace socks
