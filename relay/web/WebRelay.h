#pragma once

#include "net/CWS_TCP_S.h"
#include "relay/web/KeepAlive.h"
#include "relay/web/RequestRule.h"
#include "relay/web/TextHistory.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <memory>

class WebSocketEncoding;
class QTcpServer;
class QTcpSocket;

namespace socks {
class CWS_TCP_S;
}

// The relay's web port: serves the chat page (its files are built into the program) and lets
// browsers into the room over a WebSocket, each as a BrowserSession that the room serves like a
// TCP connection: one order, one set of flow rules. This class screens the request and answers
// the WebSocket's opening; the session speaks the protocol from there.
class WebRelay : public QObject
{
    Q_OBJECT

public:
    // The page's WebSocket.
    static constexpr char chatPath[] = "/chat";

    struct Limits
    {
        int headMilliseconds; // a request head must be complete within this time
        KeepAlive::Limits keepAlive;
    };
    static Limits defaultLimits();

    // Browsers join this room, which must outlive the browsers' sessions but not this component.
    explicit WebRelay(socks::CWS_TCP_S *room);
    ~WebRelay() override;

    // Serves the port (0 takes a free one) on the address; false with lastError() on failure.
    bool start(const QHostAddress &address, int port);
    QString lastError() const { return error; }
    int port() const;
    QString pageUrl() const; // as a LAN peer would open it

    void setLimits(const Limits &limits);
    // The room's rule on who comes in, applied to each connection before a byte of it is read.
    void setAdmission(socks::CWS_TCP_S::AdmissionHook hook);
    // Keeps the newest texts up to this many (0: none) for the browsers that join.
    void setHistoryTexts(int count) { history = TextHistory(count); }
    // A text relayed to the room, for the history of the browsers that join after it.
    void remember(const QString &text) { history.add(text); }
    void stop(); // accepts nothing more; the room closes the browsers it has

private:
    void acceptConnections();
    void readHead(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const QByteArray &response);
    void openChat(QTcpSocket *socket, const RequestRule::Verdict &verdict);

    socks::CWS_TCP_S *room;
    std::shared_ptr<WebSocketEncoding>
            turnEncoding; // shared with the sessions: the room asks them for it
    QTcpServer *server = nullptr;
    RequestRule rule;
    TextHistory history;
    quint32 relayId; // drawn at start: a page that comes back tells this relay's numbers apart
    struct PageResponse
    {
        QByteArray whole;
        QByteArray etag;
        QByteArray notModified;
    };
    QHash<QByteArray, PageResponse> files; // by path
    QByteArray lastModified;
    QHostAddress listenAddress;
    QString error;
    Limits limits = defaultLimits();
    socks::CWS_TCP_S::AdmissionHook admission;
};
