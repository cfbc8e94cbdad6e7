#pragma once

#include "net/RoomSession.h"

#include <QObject>

class QTcpSocket;
class QWebSocket;
class QWebSocketServer;

// How browsers are sent a turn: every text of it as one WebSocket text message, framed by Qt
// WebSockets once for all browsers. The frames come from a server-side QWebSocket of this class's
// own, served over a local socket pair: each turn's texts are sent through it and read back from
// the other end, and every browser's socket is handed those bytes, shared. A server's messages
// carry no mask and Qt WebSockets negotiates no extension, so the same bytes are right for every
// browser; the protocol stays Qt's.
class WebSocketEncoding : public QObject, public socks::TurnEncoding
{
    Q_OBJECT

public:
    WebSocketEncoding(); // starts Qt WebSockets' handshake on the pair; ready() follows
    ~WebSocketEncoding() override;

    bool isOpen() const { return peer >= 0; } // false: the pair could not be made
    bool isReady() const; // the handshake is done: turns can be encoded

    // Null when the texts could not be framed (the pair broke).
    socks::SendQueue::Chunk encodeTurn(const socks::SendQueue::Chunk &frames) const override;

signals:
    void ready();

private:
    void adoptEncoder();
    bool drain(QByteArray *into) const;
    qint64 readPeer(QByteArray *into) const;

    int peer = -1; // this class's end of the pair: what Qt WebSockets wrote comes out here
    QTcpSocket *socket = nullptr; // Qt's end
    QWebSocketServer *server = nullptr;
    QWebSocket *encoder = nullptr;
};
