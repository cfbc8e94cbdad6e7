#pragma once

#include "net/RoomSession.h"

// How browsers are sent a turn: every text of it as one WebSocket text message, framed once for
// all browsers. A server's messages carry no mask and no extension is negotiated, so the same
// bytes are right for every browser (RFC 6455, 5.2: FIN set, opcode 1, the payload's length in
// 7 bits, or 126 and 16 bits, or 127 and 64 bits).
class WebSocketEncoding : public socks::TurnEncoding
{
public:
    socks::SendQueue::Chunk encodeTurn(const socks::SendQueue::Chunk &frames) const override;
};
