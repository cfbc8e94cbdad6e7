#pragma once

#include "net/Acceptor.h"
#include "net/FrameEncoder.h"
#include "net/InfoDisplay.h"
#include "net/RelayPolicy.h"
#include "net/RoomFlow.h"
#include "net/RoomSession.h"
#include "net/ServerStatus.h"
#include "net/TextDecoder.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace socks {

// The relay's side of the wire, and its room: listens on one port, numbers every connection
// (never 0, which means "all", and never a number in use), turns each frame into one GetData
// text and relays what it is given to every session in one order. Events are raised on the
// thread that owns the component.
//
// One client cannot hurt the others: reading is bounded per connection and turn, a sender that
// outruns the readers is the one slowed while anyone chatting is read on, a reader that holds
// such a sender back without taking its texts goes, and unfinished input is bounded in bytes and
// time. The rules are RoomFlow's and RelayPolicy's, the numbers are in docs/protocol.md.
class CWS_TCP_S : public QObject, private SessionEvents
{
    Q_OBJECT

public:
    // Why the last StartService or AdoptService failed; the windows and the relay word it.
    using StartFailure = Acceptor::Failure;
    // The bounds on what clients may cost; the defaults are the documented ones, tests shorten
    // the waits.
    using Limits = RelayLimits;
    static Limits defaultLimits();

    CWS_TCP_S();
    ~CWS_TCP_S() override; // closes every connection

    bool InfoVisible() const;
    void setInfoVisible(bool visible);

    QString Address() const; // the IPv4 address a LAN peer would use, else "127.0.0.1"
    int Port() const; // the port actually bound, 0 before a successful StartService
    int ConnectionCount() const;

    // index 0: every open connection. A text above 1 MiB in UTF-8 is not sent: every receiver
    // would drop the connection.
    void SendData(const QString &data, int index);
    bool StartService(int port); // every interface, IPv4 and IPv6; port 0 binds a free one
    // StartService binds only this address from then on (Any, the default: every interface).
    void setListenAddress(const QHostAddress &listenOn);
    // Serves a socket that already listens, e.g. one handed over by the service manager; anything
    // but a listening TCP socket (IPv4 or IPv6) is refused.
    bool AdoptService(qintptr descriptor);
    void CloseConnection(int index); // index 0: every connection; the service keeps accepting

    // Stops (true) or resumes reading from every connection: senders are then slowed by TCP's own
    // flow control. Connections stay open and relayed texts still go out.
    void setReadingPaused(bool paused);

    void setLimits(const Limits &limits);

    // Decides on each accepted connection before a byte of it is read: a null ticket closes it
    // at once, any other is kept as long as the connection is open (to count it).
    using AdmissionHook = std::function<std::shared_ptr<void>(const QHostAddress &peer)>;
    void setAdmission(AdmissionHook hook);

    // Whether the owner's own texts (SendData of anything but a received text) run past chat
    // pace while a reader is behind: the room holds such senders back, and an owner that feeds
    // it should hold its feed too until readersBehindChanged(false).
    bool readersBehind() const;

    // Qt's reason for the last failed start, for a log; empty where Qt gave none (a port out of
    // range, a passed descriptor that is not a listening TCP socket) and after a success.
    QString LastError() const;
    StartFailure LastFailure() const;

    // For a log: the peer of a connection, and why it ended. Both can be read from
    // ServiceComplete(true) until ServiceComplete(false) for that index has returned; the reason
    // is set during ServiceError already. Empty and Open for a connection not known.
    QString peerAddress(int index) const;
    CloseReason closeReason(int index) const;

    // true: the room relays every text it receives to every connection itself, as a handler of
    // GetData would with SendData(text, 0), and raises no GetData: an owner that does nothing
    // else with the texts spares them becoming strings at all.
    void setRelayingEverything(bool relaying);

    // Takes in a session of another kind (see RoomSession.h): numbered, announced with
    // ServiceComplete, served like every connection. Returns its index.
    int joinSession(std::unique_ptr<RoomSession> session);

signals:
    void GetData(int Index, const QString &rstrData);
    void ServiceComplete(bool vblnFlag, int Index); // vblnFlag: true when Index was added
    void ServiceError(int Index);
    // readersBehind() changed; raised from the event loop.
    void readersBehindChanged(bool behind);

private:
    struct Member;

    // SessionEvents
    void readable(int index) override;
    void progressed(int index) override;
    void ended(int index, CloseReason why) override;

    static QString shownAddress(const QHostAddress &bound);
    void takeAccepted();
    bool admit(std::unique_ptr<RoomSession> session, int &index);
    void readMember(int index);
    void endByPeer(int index, CloseReason why);
    void failMember(Member &member, CloseReason why);
    void reportFailure(int index);
    void removeMember(int index, CloseReason why);
    void followReader(Member &member, qint64 now);
    void applyFlow();
    void scheduleBroadcast();
    void broadcast(QByteArrayView frame);
    void flushBroadcast();
    void queueChunk(Member &member, const SendQueue::Chunk &chunk, int textCount, qint64 now);
    void countUnfinished(Member &member);
    void enforceInputBudget();
    void announceReadersBehind();
    void watchMembers();
    void startWatching();
    // deliveredText holds a reference to its characters, so equal pointer and size mean the
    // very same text, never a new string that happens to reuse freed memory.
    bool isDelivered(const QString &data) const
    {
        return !deliveredFrame.isNull() && data.constData() == deliveredText.constData()
                && data.size() == deliveredText.size();
    }
    void forgetDeliveredFrame();
    void refreshInfo(ServerStatus &status);

    std::unique_ptr<Acceptor> acceptor;
    AdmissionHook admission;
    std::map<int, std::shared_ptr<Member>> members;
    int lastIndex = 0;
    QString lastError;
    StartFailure lastFailure = StartFailure::None;
    mutable QString address; // looked up once per StartService: the caption reads it often
    QHostAddress listenAddress = QHostAddress::Any;
    RelayPolicy policy;
    QElapsedTimer clock;
    QTimer watchTimer;
    // The connection whose ServiceComplete(false) is being raised: gone from the table, still
    // known to a log.
    int departingIndex = 0;
    QString departingPeer;
    CloseReason departingReason = CloseReason::Open;

    // The text GetData is handing out and its frame as it is relayed, while the handler runs: a
    // handler that relays that very string gets the received bytes sent on without encoding or
    // copying them again. Forgotten when the handler returns, reads or closes a connection.
    QString deliveredText;
    QByteArrayView deliveredFrame;
    bool relayingEverything = false;
    QByteArray builtFrame; // the frame of a text that came without one, or as invalid UTF-8
    FrameEncoder encoder;
    TextDecoder decoder;

    // Texts for every connection collect here and go out once per turn of the event loop as one
    // chunk shared by every connection's queue (one per kind of session).
    QByteArray pendingBroadcast;
    int pendingBroadcastTexts = 0;
    // About the most the recent turns relayed (up to a chunk's size): what a turn starts with
    // room for, so that its texts are not copied again and again as it grows.
    qsizetype turnBytesHint = 0;
    QTimer broadcastTimer;
    qint64 unfinishedBytes = 0; // all connections' unfinished frames together
    // Who is read and who holds whom back: the room's flow rule and its state.
    RoomFlow flow;
    bool announcedBehind = false; // readersBehind() as readersBehindChanged last told it
    bool announcing = false; // readersBehindChanged is on its way

    InfoDisplay<ServerStatus> info{[this](ServerStatus &status) {
        refreshInfo(status);
    }};
};

} // namespace socks
