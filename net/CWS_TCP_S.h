#pragma once

#include "net/FrameEncoder.h"
#include "net/InfoDisplay.h"
#include "net/ServerStatus.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <map>
#include <memory>

class QTcpServer;

namespace socks {

// The relay's side of the wire: listens on one port, numbers every accepted connection from 1
// (never reused while the component lives; 0 means "all"), and turns each length-prefixed frame
// into one GetData text. Events are raised on the thread that owns the component.
class CWS_TCP_S : public QObject
{
    Q_OBJECT

public:
    // Why the last StartService failed, so that a window can add advice for the common cases.
    enum class StartFailure { None, PortInUse, NoPermission, InvalidPort, Other };

    CWS_TCP_S();
    ~CWS_TCP_S() override; // closes every connection

    bool InfoVisible() const;
    void setInfoVisible(bool visible);

    QString Address() const; // the IPv4 address a LAN peer would use, else "127.0.0.1"
    int Port() const; // the port actually bound, 0 before a successful StartService
    int ConnectionCount() const;

    void SendData(const QString &data, int index); // index 0: every open connection
    bool StartService(int port); // every interface, IPv4 and IPv6; port 0 binds a free one
    void CloseConnection(int index); // index 0: every connection; the service keeps accepting

    // Stops (true) or resumes reading from every connection: senders are then slowed by TCP's own
    // flow control. Connections stay open and relayed texts still go out.
    void setReadingPaused(bool paused);

    QString LastError() const; // reason of the last failed StartService, empty after success
    StartFailure LastFailure() const;

signals:
    void GetData(int Index, const QString &rstrData);
    void ServiceComplete(bool vblnFlag, int Index); // vblnFlag: true when Index was added
    void ServiceError(int Index);

private:
    struct Connection;

    void acceptConnections();
    void readConnection(int index);
    void endConnectionByPeer(int index);
    void failConnection(Connection &connection);
    void reportFailure(int index);
    void removeConnection(int index);
    void broadcast(const std::shared_ptr<const QByteArray> &frames, int textCount);
    void flushBroadcast();
    void queueBytes(Connection &connection, const std::shared_ptr<const QByteArray> &bytes,
                    int textCount);
    void feedSocket(Connection &connection); // as much of the queue as the socket's buffer takes
    void drainQueue(Connection &connection); // all of it, before a closing flush
    void clearQueue(Connection &connection);
    QByteArrayView frameFor(const QString &data);
    void refreshInfo(ServerStatus &status);

    QTcpServer *server = nullptr;
    std::map<int, std::shared_ptr<Connection>> connections;
    int lastIndex = 0;
    QString lastError;
    StartFailure lastFailure = StartFailure::None;
    mutable QString address; // looked up once per StartService: the caption reads it often

    // The last text handed to GetData and its frame as received: a handler that relays that very
    // string gets the received bytes sent on without encoding them again.
    QString lastText;
    QByteArray lastFrame;
    FrameEncoder encoder;

    // While GetData is raised for the frames of one read, texts for every connection collect
    // here and go out in one write per connection (a relay sends each text it receives).
    int batchDepth = 0;
    QByteArray pendingBroadcast;
    int pendingBroadcastTexts = 0;
    bool broadcastScheduled = false; // flushBroadcast is queued for the end of this turn
    int laggingConnections = 0;
    bool readingPaused = false; // connections whose queue holds bytes their socket did not take

    InfoDisplay<ServerStatus> info{[this](ServerStatus &status) {
        refreshInfo(status);
    }};
};

} // namespace socks
