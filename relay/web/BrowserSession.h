#pragma once

#include "net/RoomSession.h"
#include "relay/web/BrowserOutbox.h"
#include "relay/web/KeepAlive.h"
#include "relay/web/WebSocketDecoder.h"

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>

class QTcpSocket;
class WebSocketEncoding;

// One browser in the room: its socket once the WebSocket is open. What it sends is read when the
// room asks, a bounded amount at a time, and WebSocketDecoder holds it to the protocol's rules;
// while the room reads nothing the socket's bounded buffer fills and TCP slows the browser, as it
// slows a TCP client. The room's turns arrive as WebSocketEncoding's shared chunks and go to the
// socket a window at a time (BrowserOutbox), so a browser's backlog is references, as a TCP
// client's is. Like a TCP session it emits nothing: the room asks and tells, and hears back
// through SessionEvents. It also pings its browser when it falls silent and gives up one that does
// not answer.
class BrowserSession : public socks::RoomSession
{
public:
    // A message above this many bytes of UTF-8 closes that browser's connection, as an oversized
    // frame closes a TCP client's: the wire's bound.
    static constexpr qsizetype maxMessageBytes = 1024 * 1024;
    // One read takes at most this much, so that one busy browser cannot starve the others; the
    // socket holds no more unread, so that is all that waits at the relay, besides a message not
    // yet whole, for a browser the room does not read before TCP slows it.
    static constexpr qint64 readBytesPerTurn = 64 * 1024;

    // Takes the socket with the WebSocket open on it; the socket's parent keeps owning it.
    BrowserSession(QTcpSocket *socket, std::shared_ptr<const WebSocketEncoding> encoding,
                   const KeepAlive::Limits &keepAlive = KeepAlive::defaultLimits);
    ~BrowserSession() override; // aborts when close() was not called

    void attach(int index, socks::SessionEvents *events, const QElapsedTimer *clock) override;
    const socks::TurnEncoding &encoding() const override;
    QString peerAddress() const override { return peer; }

    void take(const socks::SendQueue::Chunk &chunk) override;
    qint64 bytesBehind() const override;
    qint64 lastProgress() const override { return progressAt; }

    void setReading(bool reading) override;
    ReadOutcome readTexts(const Deliver &deliver) override;
    qint64 unfinishedBytes() const override { return decoder.unfinishedBytes(); }
    qint64 lastInput() const override { return inputAt; }
    qint64 bytesReceived() const override { return received; }
    socks::CloseReason failure() const override { return reason; }

    void close(Closing how) override;

private:
    void arrived();
    void disconnected();
    void askToRead();
    void pump();
    void wrote();
    ReadOutcome refuse(quint16 closeCode);
    void end(socks::CloseReason why);
    void keepAlive();
    qint64 now() const;

    QPointer<QTcpSocket> socket;
    std::shared_ptr<const WebSocketEncoding> webSocketEncoding;
    WebSocketDecoder decoder{maxMessageBytes};
    BrowserOutbox outbox;
    KeepAlive::Limits keepAliveLimits;
    QTimer keepAliveTimer; // also the context of every connection and call that needs the session
    QTimer readLater; // what the socket still holds, in a later turn of the event loop
    int index = 0;
    socks::SessionEvents *events = nullptr;
    const QElapsedTimer *clock = nullptr;
    QString peer;
    QByteArray closeAnswer; // the close the browser sent, echoed (RFC 6455, 5.5.1)
    qint64 received = 0;
    qint64 inputAt = 0;
    qint64 progressAt = 0;
    qint64 pingSent = -1;
    bool reading = true;
    bool delivering = false; // a read further up the stack is handing out texts
    bool peerGone = false; // the connection ended: what it holds is read, then the session ends
    bool browserClosed = false; // its close came: it is sent nothing more but the answer
    bool closed = false;
    socks::CloseReason reason = socks::CloseReason::Open;
};
