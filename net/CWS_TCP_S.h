#pragma once

#include "net/FrameEncoder.h"
#include "net/InfoDisplay.h"
#include "net/ServerStatus.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <map>
#include <memory>
#include <vector>

class QSocketNotifier;
class QTcpServer;

namespace socks {

// The relay's side of the wire: listens on one port, numbers every accepted connection (never 0,
// which means "all", and never a number in use), and turns each length-prefixed frame into one
// GetData text. Events are raised on the thread that owns the component.
//
// One client cannot hurt the others: reading is bounded per connection and turn and stops while
// the slowest reader is far behind, a reader that makes no progress is dropped, and unfinished
// input is bounded in bytes and time. The numbers are below and in docs/protocol.md.
class CWS_TCP_S : public QObject
{
    Q_OBJECT

public:
    // Why the last StartService failed, so that a window can add advice for the common cases.
    enum class StartFailure { None, PortInUse, NoPermission, InvalidPort, Other };

    // The bounds on what clients may cost; the defaults are the documented ones, tests shorten
    // the waits.
    struct Limits
    {
        qint64 unfinishedBytes; // all connections' unfinished frames together
        int unfinishedMilliseconds; // a started frame that sees no byte for this long fails
        int laggardMilliseconds; // longest a reader may hold the others' reading back
        int stallMilliseconds; // a reader with bytes waiting that takes none for this long fails
    };
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
    // Serves a socket that already listens, e.g. one handed over by the service manager.
    bool AdoptService(qintptr descriptor);
    void CloseConnection(int index); // index 0: every connection; the service keeps accepting

    // Stops (true) or resumes reading from every connection: senders are then slowed by TCP's own
    // flow control. Connections stay open and relayed texts still go out.
    void setReadingPaused(bool paused);

    void setLimits(const Limits &limits);

    QString LastError() const; // reason of the last failed StartService, empty after success
    StartFailure LastFailure() const;

signals:
    void GetData(int Index, const QString &rstrData);
    void ServiceComplete(bool vblnFlag, int Index); // vblnFlag: true when Index was added
    void ServiceError(int Index);

private:
    struct Connection;

    void prepareServer();
    static QString shownAddress(const QHostAddress &bound);
    void startAccepting();
    void acceptDescriptors();
    void acceptConnections();
    void pauseAccepting();
    void resumeAccepting();
    int nextIndex();
    void readConnection(int index);
    bool deliverFrames(const std::shared_ptr<Connection> &connection);
    void endConnectionByPeer(int index);
    void failConnection(Connection &connection);
    void reportFailure(int index);
    void removeConnection(int index);
    void closeDescriptor(Connection &connection, bool flush);
    void scheduleBroadcast();
    void flushBroadcast();
    void queueChunk(Connection &connection, const std::shared_ptr<const QByteArray> &chunk,
                    int textCount);
    void writeConnection(Connection &connection);
    void countUnfinished(Connection &connection);
    void enforceInputBudget();
    void releaseTakenChunks();
    void updateReading();
    void watchConnections();
    void startWatching();
    QByteArrayView frameFor(const QString &data);
    void refreshInfo(ServerStatus &status);

    QTcpServer *server = nullptr;
    std::unique_ptr<QSocketNotifier> acceptNotifier;
    std::vector<qintptr> acceptedDescriptors; // accepted, not yet connections
    bool acceptScheduled = false;
    bool acceptPaused = false; // out of descriptors: the listener rests
    QTimer acceptRetry;
    std::map<int, std::shared_ptr<Connection>> connections;
    int lastIndex = 0;
    QString lastError;
    StartFailure lastFailure = StartFailure::None;
    mutable QString address; // looked up once per StartService: the caption reads it often
    QHostAddress listenAddress = QHostAddress::Any;
    Limits limits = defaultLimits();
    QElapsedTimer clock;
    QTimer watchTimer;
    QByteArray readBuffer;

    // The last text handed to GetData and its frame as it is relayed: a handler that relays that
    // very string gets the bytes sent on without encoding them again.
    QString lastText;
    QByteArray lastFrame;
    FrameEncoder encoder;

    // Texts for every connection collect here and go out once per turn of the event loop as one
    // chunk shared by every connection's queue.
    QByteArray pendingBroadcast;
    int pendingBroadcastTexts = 0;
    QTimer broadcastTimer;
    // Relayed chunks, oldest first, while some connection still has to take them: their bytes are
    // the backlog of the slowest reader.
    std::deque<std::shared_ptr<const QByteArray>> relayedChunks;
    qint64 relayedBytes = 0;
    qint64 unfinishedBytes = 0; // all connections' unfinished frames together
    bool readingPaused = false; // asked for by the owner
    bool backlogHeld = false; // the slowest reader is too far behind
    bool readingStopped = false; // either of the two

    InfoDisplay<ServerStatus> info{[this](ServerStatus &status) {
        refreshInfo(status);
    }};
};

} // namespace socks
