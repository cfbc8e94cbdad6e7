#include "relay/web/WebSocketDecoder.h"

#include "net/TextDecoder.h"

#include <QtEndian>

#include <cstring>
#include <utility>

namespace {

constexpr quint8 finalFrame = 0x80;
constexpr quint8 reservedBits = 0x70;
constexpr quint8 opcodeBits = 0x0f;
constexpr quint8 controlOpcode = 0x08;
constexpr quint8 masked = 0x80;
constexpr quint8 continuation = 0x0;
constexpr quint8 binaryOpcode = 0x2;
constexpr quint8 closeOpcode = 0x8;
constexpr quint8 pingOpcode = 0x9;
constexpr quint8 pongOpcode = 0xa;
constexpr quint64 maxControlPayload = 125;
constexpr qsizetype maskBytes = 4;

// 1004 to 1006 and 1015 only ever describe a close, and 1016 to 2999 are unassigned.
bool maySend(quint16 code)
{
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014)
            || (code >= 3000 && code <= 4999);
}

void unmask(char *data, qsizetype size, const char *key)
{
    char repeated[8];
    std::memcpy(repeated, key, maskBytes);
    std::memcpy(repeated + maskBytes, key, maskBytes);
    quint64 wide = 0;
    std::memcpy(&wide, repeated, sizeof wide);
    // Test tools and some clients mask with zeros.
    if (wide == 0)
        return;
    qsizetype at = 0;
    for (; at + 8 <= size; at += 8) {
        quint64 word = 0;
        std::memcpy(&word, data + at, sizeof word);
        word ^= wide;
        std::memcpy(data + at, &word, sizeof word);
    }
    for (; at < size; ++at)
        data[at] = char(data[at] ^ key[at % maskBytes]);
}

} // namespace

WebSocketDecoder::WebSocketDecoder(qsizetype maxMessageBytes)
    : maxMessage(maxMessageBytes)
{}

WebSocketDecoder::Event WebSocketDecoder::next()
{
    if (final != Event::NeedMore)
        return final;
    if (std::exchange(messageHandedOut, false))
        message.clear();
    current = QByteArrayView();
    for (;;) {
        const qsizetype available = input.size();
        if (available < 2)
            return Event::NeedMore;
        const auto *head = reinterpret_cast<const uchar *>(std::as_const(input).data());
        const quint8 opcode = head[0] & opcodeBits;
        const bool last = head[0] & finalFrame;
        const bool control = opcode & controlOpcode;
        if ((head[0] & reservedBits) || !(head[1] & masked))
            return fail(protocolError);
        if (control ? opcode > pongOpcode || !last : opcode > binaryOpcode)
            return fail(protocolError);
        if ((opcode == continuation) != inMessage && !control)
            return fail(protocolError);
        if (opcode == binaryOpcode)
            return fail(unsupportedData);
        quint64 length = head[1] & 0x7f;
        qsizetype headBytes = 2;
        if (length == 126) {
            if (available < 4)
                return Event::NeedMore;
            length = qFromBigEndian<quint16>(head + 2);
            headBytes = 4;
            if (length < 126)
                return fail(protocolError);
        } else if (length == 127) {
            if (available < 10)
                return Event::NeedMore;
            length = qFromBigEndian<quint64>(head + 2);
            headBytes = 10;
            if (length <= 0xffff || (length >> 63) != 0)
                return fail(protocolError);
        }
        if (control && length > maxControlPayload)
            return fail(protocolError);
        if (!control && quint64(message.size()) + length > quint64(maxMessage))
            return fail(tooBig);
        headBytes += maskBytes;
        if (available - headBytes < qsizetype(length))
            return Event::NeedMore;
        char *payload = input.data() + headBytes;
        unmask(payload, qsizetype(length), payload - maskBytes);
        input.consume(headBytes + qsizetype(length));
        const QByteArrayView bytes(payload, qsizetype(length));
        switch (opcode) {
        case pingOpcode:
            current = bytes;
            return Event::Ping;
        case pongOpcode:
            current = bytes;
            return Event::Pong;
        case closeOpcode:
            return closing(bytes);
        default:
            break;
        }
        // A chat line comes in one frame and is handed out from where it lies.
        if (last && !inMessage) {
            if (!socks::TextDecoder::isValid(bytes))
                return fail(invalidText);
            current = bytes;
            return Event::Text;
        }
        message.append(bytes);
        inMessage = !last;
        if (last) {
            // A character may be cut between frames: the whole message is what must be UTF-8.
            if (!socks::TextDecoder::isValid(message))
                return fail(invalidText);
            messageHandedOut = true;
            current = message;
            return Event::Text;
        }
    }
}

WebSocketDecoder::Event WebSocketDecoder::closing(QByteArrayView closePayload)
{
    if (closePayload.size() == 1)
        return fail(protocolError);
    code = noStatus;
    if (!closePayload.isEmpty()) {
        code = qFromBigEndian<quint16>(closePayload.data());
        if (!maySend(code))
            return fail(protocolError);
        current = closePayload.sliced(2);
        if (!socks::TextDecoder::isValid(current))
            return fail(invalidText);
    }
    final = Event::Close;
    return final;
}

WebSocketDecoder::Event WebSocketDecoder::fail(quint16 closeCode)
{
    code = closeCode;
    current = QByteArrayView();
    final = Event::Failed;
    // Nothing more is read: what is held goes at once.
    input.clear();
    message = QByteArray();
    return final;
}

qsizetype WebSocketDecoder::unfinishedBytes() const
{
    // What the buffers hold, not what they are filled with: that is what the budget is for.
    return (input.size() > 0 ? input.capacity() : 0) + message.capacity();
}
