#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdio>
#include <deque>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

struct redisAsyncContext;
struct redisReply;

// Where the shared stream lives: redis://[:PASSWORD@]HOST[:PORT][/ROOM].
struct RedisAddress
{
    QByteArray host;
    int port = 6379;
    QByteArray password; // empty: no AUTH
    QByteArray room = "prynechat";

    QByteArray streamKey() const { return "prynechat:" + room; }
};

// Reads a redis URL; on failure says why in reason.
std::optional<RedisAddress> parseRedisUrl(const QString &url, QString *reason);

// The texts one relay took from its clients in one turn, as it puts them into the stream: the
// payload bytes of their frames in their order, the relay and its running number for the first
// of them (the next ones follow it by one). One entry a turn, not one a text, is what keeps Redis
// and the relays' reading from setting the pace of a busy chat.
struct StreamEntry
{
    std::vector<QByteArrayView> payloads; // into the fields given to readStreamEntry
    quint64 relay = 0;
    quint64 seq = 0;
};

// An entry holds at most this many texts and, unless it holds a single text, this many payload
// bytes; no entry holds more payload than one frame may carry.
constexpr int maxTextsPerEntry = 256;
constexpr qint64 maxEntryBytes = 256 * 1024;

// Checks the fields of a stream entry (field, value, field, value, ...) as written by a relay:
// one relay, one seq and 1 to maxTextsPerEntry payloads, no more payload bytes together than a
// frame may carry. Anything else was not written by a relay and is never relayed; reason says
// what was wrong.
std::optional<StreamEntry> readStreamEntry(const std::vector<QByteArrayView> &fieldsAndValues,
                                           QString *reason);

// Compares two stream IDs ("milliseconds-sequence"); a malformed one counts as 0-0.
int compareStreamIds(const QByteArray &left, const QByteArray &right);

// Several relays share one chat through a Redis stream: every text a relay's clients send is
// appended to it (XADD on one connection), and each relay hands its clients what it reads back
// from it (XREAD BLOCK on a second connection), so all clients of all relays see one order.
// While Redis is away the texts wait in a bounded queue and go out once it is back; readers skip
// what they have already relayed, so a text sent twice across a reconnection is shown once.
class RedisBridge : public QObject
{
    Q_OBJECT

public:
    RedisBridge(RedisAddress address, std::FILE *errors);
    ~RedisBridge() override;

    // Checks at once that Redis answers and that the stream key is usable, then starts both
    // connections. False with reason when Redis cannot be reached or refuses.
    bool start(QString *reason);
    void publish(const QString &text);

    qint64 skippedEntries() const { return skipped; }

signals:
    void textArrived(const QString &text); // in stream order
    // True once the waiting texts pass their bound, false once they have gone down again.
    void backlogFull(bool full);

private:
    struct Pending
    {
        quint64 seq;
        QByteArray payload;
    };

    static void onConnect(const redisAsyncContext *context, int status);
    static void onDisconnect(const redisAsyncContext *context, int status);
    static void onWriterReply(redisAsyncContext *context, void *reply, void *data);
    static void onLastIdReply(redisAsyncContext *context, void *reply, void *data);
    static void onReadReply(redisAsyncContext *context, void *reply, void *data);
    static void onAuthReply(redisAsyncContext *context, void *reply, void *data);

    redisAsyncContext *open();
    void connectBoth();
    void lose(const QString &why);
    void closeBoth();
    void forget(const redisAsyncContext *context); // hiredis frees it itself
    void scheduleSending();
    void sendWaiting();
    void sendAdd(std::size_t first, std::size_t count);
    void readNext();
    void takeEntries(const redisReply *reply);
    void takeEntry(const redisReply *id, const redisReply *fields);
    void forgetSeenOwn(quint64 seq);
    void updateBacklog();
    void checkDeadlines();
    void markAlive();
    void say(const QString &line);

    RedisAddress address;
    std::FILE *errors;
    quint64 relayId = 0;
    quint64 nextSeq = 1;
    // The arguments every XADD shares.
    QByteArray streamKey;
    QByteArray relayField; // relayId as 16 hex digits
    QByteArray streamLengthArgument;

    redisAsyncContext *writer = nullptr;
    redisAsyncContext *reader = nullptr;
    bool lost = false; // said so on stderr, waiting to be back
    bool backlogPaused = false;
    int backoffMilliseconds = 0;
    QTimer reconnectTimer;
    QTimer watchdog;

    std::deque<Pending> waiting; // taken from clients, not yet read back from the stream
    qint64 waitingBytes = 0;
    std::size_t sentOnThisLink = 0; // how many of waiting went out on the current writer
    QTimer sendTimer;
    int unanswered = 0; // XADDs without a reply yet
    QElapsedTimer writerSilence; // since the writer last answered while XADDs were open
    QElapsedTimer readerSilence; // since the reader's XREAD went out or last answered
    bool readerWaiting = false;

    QByteArray lastReadId = "0-0";
    struct Watermark
    {
        quint64 seq;
        quint64 lastUse;
    };
    std::unordered_map<quint64, Watermark> relayed; // per relay: the highest seq relayed
    quint64 useCounter = 0;
    qint64 skipped = 0;
};
