#pragma once

#include "relay/web/BrowserFlow.h"
#include "relay/web/KeepAlive.h"
#include "relay/web/RequestRule.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <map>
#include <memory>

class QTcpServer;
class QTcpSocket;
class QWebSocket;
class QWebSocketServer;

// The relay's web port: serves the chat page (its files are built into the program) and lets
// browsers take part in the room over a WebSocket. Everything the room sees of browsers passes
// through three members: textArrived (a browser's message is one text), relay (a relayed text
// goes to every browser as one message) and lagging (browsers are far behind, the room should
// stop reading). Qt WebSockets speaks the WebSocket protocol; this class only screens what comes
// before it and applies the bounds.
class WebRelay : public QObject
{
    Q_OBJECT

public:
    // The page's WebSocket.
    static constexpr char chatPath[] = "/chat";
    // A message above this many bytes of UTF-8 closes that browser's connection, as an oversized
    // frame closes a TCP client's: the wire's bound.
    static constexpr quint64 maxMessageBytes = 1024 * 1024;

    struct Limits
    {
        int headMilliseconds; // a request head must be complete within this time
        KeepAlive::Limits keepAlive;
        BrowserFlow::Limits flow;
    };
    static Limits defaultLimits();

    WebRelay();
    ~WebRelay() override; // closes every browser's connection

    // Serves the port (0 takes a free one) on the address; false with lastError() on failure.
    bool start(const QHostAddress &address, int port);
    QString lastError() const { return error; }
    int port() const;
    QString pageUrl() const; // as a LAN peer would open it
    int browserCount() const { return int(browsers.size()); }

    void setLimits(const Limits &limits);

    // The room's side.
    void relay(const QString &text);
    void setReadingPaused(bool paused); // the room has stopped reading: so do the browsers
    void closeAll();

signals:
    void textArrived(const QString &text);
    void lagging(bool behind); // true: the slowest browser holds the room's reading back

private:
    struct Browser;

    void acceptConnections();
    void readHead(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const QByteArray &response);
    void openChat(QTcpSocket *socket);
    void adoptBrowsers();
    void dropBrowser(QWebSocket *socket);
    void forgetBrowser(QWebSocket *socket);
    void applyPause(Browser &browser);
    void handOnWaiting(QWebSocket *socket);
    void updateHold();
    void watchBrowsers();

    QTcpServer *server = nullptr;
    QWebSocketServer *chatServer = nullptr;
    RequestRule rule;
    QHash<QByteArray, QByteArray> files; // path -> whole response
    QHostAddress listenAddress;
    QString error;
    Limits limits = defaultLimits();
    QElapsedTimer clock;
    QTimer watchTimer;
    std::map<QWebSocket *, std::unique_ptr<Browser>> browsers;
    // Sockets handed to the WebSocket server, by peer, until their WebSocket comes.
    QHash<QString, QPointer<QTcpSocket>> upgrading;
    bool pausedByRoom = false;
    bool holding = false; // browsers hold reading back
    qint64 copiesHeldSince = -1; // since when all copies together hold it, -1: they do not
};
