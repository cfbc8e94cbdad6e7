#include "relay/web/WebSocketEncoding.h"

#include "net/FrameDecoder.h"

#include <QtEndian>

#include <algorithm>

namespace {

constexpr qsizetype wireHead = socks::FrameDecoder::headerBytes;

qsizetype headBytes(quint64 length)
{
    return length < 126 ? 2 : length <= 0xffff ? 4 : 10;
}

void appendHead(QByteArray &into, quint64 length, quint8 opcode = 0x1)
{
    char head[10] = {char(0x80 | opcode)};
    if (length < 126) {
        head[1] = char(length);
    } else if (length <= 0xffff) {
        head[1] = 126;
        qToBigEndian(quint16(length), head + 2);
    } else {
        head[1] = 127;
        qToBigEndian(length, head + 2);
    }
    into.append(head, headBytes(length));
}

// Calls each(offset, length) for every frame of a turn of the wire, in order.
template <typename Each> void forEachFrame(const QByteArray &wire, Each &&each)
{
    for (qsizetype at = 0; at + wireHead <= wire.size();) {
        const quint32 announced = qFromBigEndian<quint32>(wire.constData() + at);
        const qsizetype length = std::min<qsizetype>(announced, wire.size() - at - wireHead);
        each(at + wireHead, length);
        at += wireHead + length;
    }
}

} // namespace

socks::SendQueue::Chunk WebSocketEncoding::encodeTurn(const socks::SendQueue::Chunk &frames) const
{
    // Sized exactly first: a reader far behind may hold the turn for long, and the memory bounds
    // count bytes.
    const QByteArray &wire = *frames;
    qsizetype size = 0;
    forEachFrame(wire, [&size](qsizetype, qsizetype length) {
        size += headBytes(quint64(length)) + length;
    });
    QByteArray messages;
    messages.reserve(size);
    forEachFrame(wire, [&messages, &wire](qsizetype at, qsizetype length) {
        appendHead(messages, quint64(length));
        messages.append(wire.constData() + at, length);
    });
    return std::make_shared<const QByteArray>(std::move(messages));
}

QByteArray WebSocketEncoding::message(Opcode opcode, QByteArrayView payload)
{
    QByteArray whole;
    whole.reserve(headBytes(quint64(payload.size())) + payload.size());
    appendHead(whole, quint64(payload.size()), quint8(opcode));
    whole.append(payload);
    return whole;
}

QByteArray WebSocketEncoding::closeMessage(quint16 code)
{
    char payload[2];
    qToBigEndian(code, payload);
    return message(Opcode::Close, QByteArrayView(payload, sizeof payload));
}
