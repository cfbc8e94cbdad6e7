#pragma once

#include "net/RoomSession.h"

#include <QByteArray>
#include <QByteArrayView>

// What the relay sends browsers: a turn as every text of it in one WebSocket text message, framed
// once for all browsers, and single messages (the history, pings, pongs, the close). A server's
// messages carry no mask and no extension is negotiated, so the same bytes are right for every
// browser (RFC 6455, 5.2: FIN set, the opcode, the payload's length in 7 bits, or 126 and 16 bits,
// or 127 and 64 bits).
class WebSocketEncoding : public socks::TurnEncoding
{
public:
    enum class Opcode : quint8 { Text = 0x1, Binary = 0x2, Close = 0x8, Ping = 0x9, Pong = 0xa };

    socks::SendQueue::Chunk encodeTurn(const socks::SendQueue::Chunk &frames) const override;

    // One message in one frame as a server sends it (control frames carry at most 125 bytes).
    static QByteArray message(Opcode opcode, QByteArrayView payload);
    // A close with its code and no reason.
    static QByteArray closeMessage(quint16 code);
};
