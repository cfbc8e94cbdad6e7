#pragma once

#include "net/ClientStatus.h"
#include "net/FrameEncoder.h"
#include "net/FrameReader.h"
#include "net/InfoDisplay.h"
#include "net/Traffic.h"

#include <QAbstractSocket>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class QTcpSocket;

namespace socks {

// The chat client's side of the wire: one connection to a relay, one GetData per received frame.
// OpenConnection never reports its outcome before it has returned.
class CWS_TCP_C : public QObject
{
    Q_OBJECT

public:
    CWS_TCP_C();
    ~CWS_TCP_C() override;

    bool InfoVisible() const;
    void setInfoVisible(bool visible);

    int SocketNumber() const; // the connection's local port, 0 while not connected
    QString Address() const; // the server's address as connected
    int Port() const; // the server's port as connected

    // Does nothing while not connected; a send that would leave more than 8 MiB unsent ends the
    // connection instead, with ConnectClose after returning.
    void SendData(const QString &data);
    void OpenConnection(const QString &host, int port);
    void CloseConnection(); // raises no ConnectClose

signals:
    void Connect();
    void ConnectClose(); // the server closed the connection or it broke
    void ConnectError(); // connecting failed: bad host or port, refused, or no answer in 10 s
    void GetData(const QString &rstrData);

private:
    enum class State { Idle, Connecting, Connected };

    void startConnecting(quint64 attempt, const QString &host, int port);
    void giveUpConnecting();
    void finishConnecting();
    void handleError(QAbstractSocket::SocketError error);
    void handleDisconnected();
    bool deliverFrames(); // false when the handlers ended this connection or the component
    void dropConnection();
    void refreshInfo(ClientStatus &status);

    QPointer<QTcpSocket> socket;
    State state = State::Idle;
    quint64 attempt = 0; // outdates queued steps of an earlier OpenConnection
    FrameReader reader;
    FrameEncoder encoder;

    QString host;
    QString serverAddress;
    int serverPort = 0;
    QString localAddress;
    int localPort = 0;
    Traffic traffic;

    InfoDisplay<ClientStatus> info{[this](ClientStatus &status) {
        refreshInfo(status);
    }};
};

} // namespace socks
