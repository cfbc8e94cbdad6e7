#pragma once

#include <QObject>
#include <QString>

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

    void SendData(const QString &data); // does nothing while not connected
    void OpenConnection(const QString &host, int port);
    void CloseConnection(); // raises no ConnectClose

signals:
    void Connect();
    void ConnectClose(); // the server closed the connection or it broke
    void ConnectError(); // connecting failed: bad host or port, refused, or no answer in 10 s
    void GetData(const QString &rstrData);
};

} // namespace socks
