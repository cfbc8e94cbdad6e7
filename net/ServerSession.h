#pragma once

#include "net/FrameReader.h"
#include "net/RoomSession.h"
#include "net/SendQueue.h"

#include <QByteArray>
#include <QString>

#include <memory>

class QSocketNotifier;

namespace socks {

// The wire's own encoding: a turn's frames go out exactly as the room built them.
class WireEncoding : public TurnEncoding
{
public:
    SendQueue::Chunk encodeTurn(const SendQueue::Chunk &frames) const override { return frames; }
    static const WireEncoding &instance();
};

// One accepted TCP connection of the relay: its descriptor and notifiers, the frame reader, the
// queue of shared chunks written straight from where they are, and the close. Emits nothing: the
// room asks it and tells it, and hears back through SessionEvents.
//
// The kernel side is bounded too: the send buffer is fixed at a modest size (the shared chunks
// are the buffer, not the kernel), and a dropped connection is reset, so that no orphan keeps
// its unsent bytes in the kernel after the drop.
class ServerSession : public RoomSession
{
public:
    explicit ServerSession(int descriptor); // takes the connected, non-blocking descriptor
    ~ServerSession() override; // aborts when close() was not called

    void attach(int index, SessionEvents *events, const QElapsedTimer *clock) override;
    const TurnEncoding &encoding() const override { return WireEncoding::instance(); }
    QString peerAddress() const override { return peer; }

    void take(const SendQueue::Chunk &chunk) override;
    qint64 bytesBehind() const override { return queue.bytesBehind(); }
    qint64 lastProgress() const override { return progressAt; }

    void setReading(bool reading) override;
    ReadOutcome readTexts(const Deliver &deliver) override;
    qint64 unfinishedBytes() const override;
    qint64 lastInput() const override { return inputAt; }
    qint64 bytesReceived() const override { return received; }
    CloseReason failure() const override { return reason; }

    void close(Closing how) override;

    // The send buffer asked of the kernel for every connection (Linux doubles it for its own
    // bookkeeping): enough for a turn's chunk in flight on a LAN.
    static constexpr int sendBufferBytes = 64 * 1024;

private:
    void write(bool tellRoom);
    void breakOff(CloseReason why);
    qint64 now() const;

    int descriptor;
    int index = 0;
    SessionEvents *events = nullptr;
    const QElapsedTimer *clock = nullptr;
    std::unique_ptr<QSocketNotifier> readNotifier;
    std::unique_ptr<QSocketNotifier> writeNotifier;
    FrameReader reader;
    SendQueue queue;
    QString peer;
    qint64 received = 0;
    qint64 inputAt = 0;
    qint64 progressAt = 0;
    CloseReason reason = CloseReason::Open;
    bool peerGone = false; // closed or reset by the peer: nothing more is read or sent
};

} // namespace socks
