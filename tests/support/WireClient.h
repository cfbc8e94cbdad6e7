#pragma once

#include "tests/support/Waits.h"

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

namespace testsupport {

// The wire spelled out independently of the program: a 4-byte big-endian length, then the bytes.
QByteArray frameOf(const QByteArray &payload);
QByteArray frameOfText(const QString &text);

// Takes whole frames off the front of buffer; a partial frame stays for the next bytes.
QList<QByteArray> takeFrames(QByteArray &buffer);

// A raw descriptor connected to 127.0.0.1:port whose kernel receive buffer is tiny and which the
// test never reads: what a server sends it piles up at the server. -1 when connecting failed.
int stalledPeer(int port);

// A descriptor of the named kind, for what a service manager might pass: "tcp4 listening",
// "tcp6 listening", "tcp4 unbound", "tcp4 bound" (not listening), "tcp4 connected", "udp",
// "unix listening", "file", "pipe", or "closed" (a number no descriptor has). -1 when making it
// failed, -2 when the machine has no IPv6 loopback.
int descriptorOfKind(const QString &kind);

// A port on 127.0.0.1 where every connection is refused: bound for as long as this lives and never
// listening, so that nothing else can take it meanwhile, as it could a port found free and let go.
class RefusedPort
{
public:
    RefusedPort();
    ~RefusedPort();
    RefusedPort(const RefusedPort &) = delete;
    RefusedPort &operator=(const RefusedPort &) = delete;

    int port() const { return boundPort; } // 0 when binding failed

private:
    int descriptor = -1;
    int boundPort = 0;
};

// A chat client reduced to the wire, on a real socket to 127.0.0.1.
class WireClient
{
public:
    explicit WireClient(int port);

    bool waitConnected(int timeout = waitTimeout);
    bool waitForTexts(int count, int timeout = waitTimeout);

    void send(const QString &text);
    void sendRaw(const QByteArray &bytes);

    QTcpSocket socket;
    QStringList received;
    QByteArray wire; // every byte received, as it came

private:
    QByteArray pending;
};

// A server reduced to the wire: listens on a free port and keeps the last accepted connection.
// With neverReads set before a client comes, it takes that client's bytes off the wire no more
// than the kernel must, as a stalled relay would.
class WireServer
{
public:
    bool listen(const QHostAddress &address = QHostAddress::LocalHost);
    int port() const { return server.serverPort(); }
    bool waitForPeer(int timeout = waitTimeout);
    bool waitForPeerGone(int timeout = waitTimeout);
    void send(const QByteArray &payload);

    QTcpServer server;
    QPointer<QTcpSocket> peer;
    QList<QByteArray> received;
    QByteArray wire; // every byte received, as it came
    bool neverReads = false;

private:
    QByteArray pending;
};

} // namespace testsupport
