#pragma once

#include "relay/bridge/Outbox.h"
#include "relay/bridge/RedisUrl.h"
#include "relay/bridge/RelayWatermarks.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

class RedisCommand;
struct redisAsyncContext;
struct redisReply;

// Several relays share one chat through a Redis stream: every text a relay's clients send is
// appended to it (XADD on one connection), and each relay hands its clients what it reads back
// from it (XREAD BLOCK on a second connection), so all clients of all relays see one order.
// This class keeps the two connections alive; what waits to be written is the Outbox's, what was
// relayed of the other relays the RelayWatermarks', the entry format StreamEntry's.
class RedisBridge : public QObject
{
    Q_OBJECT

public:
    explicit RedisBridge(RedisAddress address);
    ~RedisBridge() override;

    // Checks at once that Redis answers and that the stream key is usable, warns about Redis's
    // limits, then starts both connections. False with reason when Redis cannot be reached or
    // refuses; it may be called again then.
    bool start(QString *reason);
    // After start failed: tries again every second until it passes (started) or waitSeconds
    // have gone by (gaveUp, with the last reason).
    void keepTrying(int waitSeconds);
    // Before start: the newest texts in the stream, this many and bytes at most, are handed out
    // as textRecalled at start, for the pages that will join.
    void recallTexts(int count, qint64 bytes)
    {
        recallCount = count;
        recallBytes = bytes;
    }
    void publish(const QString &text);
    // The password for the next AUTH: a connection that is up keeps the one it gave.
    void setPassword(const QByteArray &password);

    qint64 skippedEntries() const { return skipped; }
    // While held, no new read goes to the stream: the room's readers are behind, and what the
    // stream holds would only pile up for them. What a read already asked for still arrives.
    void holdReading(bool held);

signals:
    // Trouble with Redis or the stream, or its end, in a line without the relay's name; parts of
    // it come from the stream's writers and from Redis, unescaped.
    void reported(const QString &line);
    void started();
    void gaveUp(const QString &reason);
    void textArrived(const QString &text); // in stream order
    void textRecalled(const QString &text); // said before the start, oldest first
    // True once the waiting texts pass their bound, false once they have gone down again.
    void backlogFull(bool full);

private:
    using Callback = void (*)(redisAsyncContext *, void *, void *);
    static void onConnect(const redisAsyncContext *context, int status);
    static void onDisconnect(const redisAsyncContext *context, int status);
    static void onAuthReply(redisAsyncContext *context, void *reply, void *data);
    static void onWriterReply(redisAsyncContext *context, void *reply, void *data);
    static void onLastIdReply(redisAsyncContext *context, void *reply, void *data);
    static void onReadReply(redisAsyncContext *context, void *reply, void *data);

    redisAsyncContext *open();
    void connectBoth();
    void lose(const QString &why);
    void closeBoth();
    void forget(const redisAsyncContext *context); // hiredis frees it itself
    void send(redisAsyncContext *context, const RedisCommand &command, Callback callback);
    void scheduleSending();
    void sendWaiting();
    void askLastId();
    void readNext();
    void takeEntries(const redisReply *reply);
    void takeEntry(const redisReply *id, const redisReply *fields);
    void skip(const QByteArray &id, const QString &reason);
    void checkDeadlines();
    void markAnswered();
    void say(const QString &line);

    RedisAddress address;
    quint64 relayId = 0;
    QByteArray streamKey;

    redisAsyncContext *writer = nullptr;
    redisAsyncContext *reader = nullptr;
    bool lost = false; // reported, waiting for Redis to answer again
    int backoffMilliseconds = 0;
    QTimer reconnectTimer;
    QTimer watchdog;
    QTimer retryTimer;
    QElapsedTimer trying; // since keepTrying began
    int tryingSeconds = 0;

    Outbox outbox;
    QTimer sendTimer;
    int unanswered = 0; // XADDs without a reply yet
    QElapsedTimer writerSilence; // since the writer last answered while XADDs were open
    QElapsedTimer readerSilence; // since the reader's command went out or last answered
    bool readerWaiting = false;
    bool readingHeld = false;
    bool readDue = false; // a read that waits for the hold to end

    QByteArray lastReadId = "0-0";
    RelayWatermarks watermarks;
    qint64 skipped = 0;
    int recallCount = 0;
    qint64 recallBytes = 0;
    qint64 gaps = 0; // entries of other relays that skipped numbers
    qint64 missing = 0; // own texts gone from the stream before they were read back
};
