#pragma once

#include "net/RoomSession.h"
#include "relay/web/BrowserOutbox.h"
#include "relay/web/KeepAlive.h"

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <deque>
#include <memory>

class QTcpSocket;
class QWebSocket;
class WebSocketEncoding;

// One browser in the room: the WebSocket Qt WebSockets accepted and the socket under it. Each text
// message is one text for the room; the room's turns arrive as WebSocketEncoding's shared chunks and go
// to the socket a window at a time (BrowserOutbox), so a browser's backlog is references, as a TCP
// client's is. Like a TCP session it emits nothing: the room asks and tells, and hears back
// through SessionEvents. It also pings its browser when it falls silent and gives up one that does
// not answer.
class BrowserSession : public socks::RoomSession
{
public:
    // While the room reads nothing from a browser, Qt WebSockets still hands out the texts its
    // socket holds: they wait here. Past this many bytes of them and of what the socket holds, the
    // socket is no longer read at all, and TCP slows the browser as it slows a TCP client. A
    // person's lines, or a page's burst, stay far below it.
    static constexpr qint64 heldBytes = 64 * 1024;
    // While the socket is not read, its signals are held, bytesWritten among them: its progress is
    // looked at this often instead.
    static constexpr int stoppedCheckMilliseconds = 20;

    BrowserSession(QWebSocket *socket, QTcpSocket *connection,
                   std::shared_ptr<const WebSocketEncoding> encoding,
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
    qint64 unfinishedBytes() const override;
    qint64 lastInput() const override { return inputAt; }
    qint64 bytesReceived() const override { return received; }
    socks::CloseReason failure() const override { return reason; }

    void close(Closing how) override;

private:
    void peerGone(socks::CloseReason why);
    void textArrived(const QString &text);
    void announce();
    qint64 heldInput() const; // what the browser sent that the room has not taken
    void pump();
    void wrote();
    void stopSocket(bool stop);
    void checkStopped();
    void end(socks::CloseReason why);
    void keepAlive();
    qint64 now() const;

    QPointer<QWebSocket> socket;
    QPointer<QTcpSocket> connection; // the socket under the WebSocket: turns are written here
    std::shared_ptr<const WebSocketEncoding> webSocketEncoding;
    BrowserOutbox outbox;
    KeepAlive::Limits keepAliveLimits;
    QTimer keepAliveTimer; // also the context of every connection and call that needs the session
    QTimer stoppedTimer;
    int index = 0;
    socks::SessionEvents *events = nullptr;
    const QElapsedTimer *clock = nullptr;
    QString peer;
    std::deque<QByteArray> texts; // arrived, as UTF-8, not yet taken by the room
    qint64 textBytes = 0;
    qint64 fragmentBytes = 0; // the finished frames of a message still waiting for its last one
    qint64 received = 0;
    qint64 inputAt = 0;
    qint64 progressAt = 0;
    qint64 pingSent = -1;
    qint64 lastUnsent = 0; // what the socket held unsent when it was last looked at, while stopped
    bool reading = true;
    bool socketStopped = false; // its signals are held: nothing is read from it
    bool announced = false; // the room will be told of what the browser sent
    bool closed = false;
    socks::CloseReason reason = socks::CloseReason::Open;
    socks::CloseReason ending = socks::CloseReason::Open; // closed with texts still to hand out
};
