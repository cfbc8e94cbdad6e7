#pragma once

#include "net/FrameReader.h"
#include "net/RelayPolicy.h"
#include "net/SendQueue.h"

#include <QByteArrayView>
#include <QString>

#include <functional>

class QElapsedTimer;

namespace socks {

// A connection as the room (CWS_TCP_S) sees it, whatever carries it. The room keeps one table of
// sessions, numbers them, relays every text to all of them in one order and holds each to the
// same flow rules (RelayPolicy); a session only moves bytes and reports.
//
// How a new kind of connection (a browser over WebSocket, say) joins the room:
// 1. A TurnEncoding turns the frames of one turn (the wire's 4-byte length and UTF-8, every text
//    relayed in that turn) into what its sessions send. The room asks each encoding present once
//    per turn and shares the result with every session using it: never a copy per client.
// 2. A RoomSession subclass queues those chunks (take), says how far its peer is behind and
//    when it last took bytes, hands the room each text its peer sent (readTexts), and closes with
//    a flush or an abort. It need not be a descriptor: a browser's, on a QTcpSocket, works too.
// 3. It tells the room through SessionEvents when its peer sent something, took bytes, or went.
// 4. Its owner hands it to CWS_TCP_S::joinSession, which numbers and announces it.
class TurnEncoding
{
public:
    virtual ~TurnEncoding() = default;
    // Called once per turn and encoding; `frames` holds whole frames of the wire, in relay order.
    virtual SendQueue::Chunk encodeTurn(const SendQueue::Chunk &frames) const = 0;
};

// What a session tells the room. A session may call these at any time, also from inside a call
// the room made into it (a write inside take() may find the peer gone): the room defers whatever
// must not happen there.
class SessionEvents
{
public:
    virtual void readable(int index) = 0; // the peer sent something: the room will ask readTexts
    virtual void progressed(int index) = 0; // the peer took bytes
    virtual void ended(int index, CloseReason why) = 0; // the peer closed, reset or broke
};

class RoomSession
{
public:
    enum class Closing {
        Flush, // the peer may take what is queued, for flushMilliseconds, then the session ends
        Abort, // at once, queued bytes and all: a reset for a peer that is dropped
    };
    // A closed connection may take what is still queued for it for this long, then it is cut:
    // a LAN takes megabytes in that time, and a peer that does not read is not waited for.
    static constexpr int flushMilliseconds = 2000;
    // What deliver tells the session after each text: go on, stop reading (the connection
    // ended), or touch nothing any more (the room is gone). The frame reader's own steps.
    using Step = FrameReader::Step;
    // frame: the text as a frame of the wire, when the session has it (else empty); payload:
    // the text's bytes as received, meant as UTF-8.
    using Deliver = std::function<Step(QByteArrayView frame, QByteArrayView payload)>;
    enum class ReadOutcome {
        Open, // everything taken; more may come
        Busy, // a read further up the stack is handing out this session's texts
        Stopped, // deliver said stop
        Gone, // deliver said the room is gone: nothing of the session may be touched
        Ended, // the whole texts were handed out, then the peer closed (failure() says how)
        Failed, // the peer broke the protocol or the connection failed (failure() says why)
    };

    virtual ~RoomSession() = default;

    // The room's number for the session, its events and its clock; once, before anything else.
    virtual void attach(int index, SessionEvents *events, const QElapsedTimer *clock) = 0;
    virtual const TurnEncoding &encoding() const = 0;
    virtual QString peerAddress() const = 0; // "address:port", empty when unknown

    // Queues a chunk in encoding()'s encoding and hands the peer what it takes at once.
    virtual void take(const SendQueue::Chunk &chunk) = 0;
    virtual qint64 bytesBehind() const = 0; // queued, not yet taken by the peer
    virtual qint64
    lastProgress() const = 0; // clock time the peer last took bytes, or bytes began to wait

    virtual void setReading(bool reading) = 0; // false: leave the peer's bytes where they are
    // Reads what the peer sent, a bounded amount per call, and hands out every whole text.
    virtual ReadOutcome readTexts(const Deliver &deliver) = 0;
    virtual qint64 unfinishedBytes() const = 0; // memory a started text holds
    virtual qint64 lastInput() const = 0; // clock time the peer last sent a byte
    virtual qint64 bytesReceived() const = 0;
    virtual CloseReason failure() const = 0; // after Ended or Failed

    virtual void close(Closing how) = 0; // the session does nothing more after this
};

} // namespace socks
