#include "relay/RedisBridge.h"

#include "net/FrameDecoder.h"

#include <QPointer>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QUrl>

#include <algorithm>
#include <hiredis/async.h>
#include <hiredis/hiredis.h>
#include <memory>

namespace {

// Clients may have this much text waiting for Redis; past it their reading is paused, so TCP
// slows them as it would for a slow reader, and reading resumes below half of it.
constexpr qint64 maxWaitingBytes = 8 * 1024 * 1024;
// The stream keeps about this many texts (approximate trimming is cheap for Redis): a relay that
// was away longer than it takes the chat to write them misses the oldest.
constexpr int streamLength = 100000;
// One read takes at most this many entries, so one reply holds at most 256 MiB of valid frames
// and usually a few KiB.
constexpr int readCount = 256;
// XREAD waits this long for a new entry, then asks again: a reader that does not answer within
// the wait plus answerMilliseconds is taken for lost, as is a writer silent that long.
constexpr int blockMilliseconds = 2000;
constexpr int answerMilliseconds = 5000;
constexpr int connectMilliseconds = 5000;
// Reconnecting starts after a short pause and doubles it up to a few seconds.
constexpr int firstBackoffMilliseconds = 100;
constexpr int maxBackoffMilliseconds = 4000;
// Readers remember the last text of this many relays; a relay restarts under a new number.
constexpr std::size_t maxKnownRelays = 1024;

QByteArray replyText(const redisReply *reply)
{
    if (!reply || !reply->str)
        return QByteArray();
    return QByteArray(reply->str, qsizetype(reply->len));
}

// Lets hiredis watch its socket from the Qt event loop. hiredis asks to watch for writing around
// every command it sends, so the two notifiers live as long as the connection and are only
// switched on and off; they go with deleteLater, since hiredis may drop the connection inside
// their own signal.
class EventHooks : public QObject
{
public:
    explicit EventHooks(redisAsyncContext *context)
        : context(context)
        , reader(context->c.fd, QSocketNotifier::Read, this)
        , writer(context->c.fd, QSocketNotifier::Write, this)
    {
        reader.setEnabled(false);
        writer.setEnabled(false);
        connect(&reader, &QSocketNotifier::activated, this, [this, context] {
            redisAsyncHandleRead(context);
            // A command the replies led to (the next XREAD) goes out before the relay turns to
            // its clients, so Redis can wait for the next entries meanwhile.
            writeNow();
        });
        connect(&writer, &QSocketNotifier::activated, this,
                [context] { redisAsyncHandleWrite(context); });
        context->ev.data = this;
        context->ev.addRead = [](void *data) {
            static_cast<EventHooks *>(data)->reader.setEnabled(true);
        };
        context->ev.delRead = [](void *data) {
            static_cast<EventHooks *>(data)->reader.setEnabled(false);
        };
        context->ev.addWrite = [](void *data) {
            static_cast<EventHooks *>(data)->writer.setEnabled(true);
        };
        context->ev.delWrite = [](void *data) {
            static_cast<EventHooks *>(data)->writer.setEnabled(false);
        };
        context->ev.cleanup = [](void *data) {
            auto *hooks = static_cast<EventHooks *>(data);
            hooks->gone = true;
            for (QSocketNotifier *notifier : {&hooks->reader, &hooks->writer}) {
                notifier->setEnabled(false);
                notifier->disconnect(hooks);
            }
            hooks->deleteLater();
        };
    }

    static EventHooks *of(const redisAsyncContext *context)
    {
        return static_cast<EventHooks *>(context->ev.data);
    }

    // Writes the commands hiredis holds at once rather than after another wait for the socket.
    // Never from inside a reply callback: a failed write frees the connection. Not while
    // connecting either: hiredis would take the connection for made.
    void writeNow()
    {
        if (!gone && writer.isEnabled() && (context->c.flags & REDIS_CONNECTED))
            redisAsyncHandleWrite(context);
    }

private:
    redisAsyncContext *context;
    QSocketNotifier reader;
    QSocketNotifier writer;
    bool gone = false; // hiredis has freed the connection
};

std::pair<quint64, quint64> splitStreamId(const QByteArray &id)
{
    const qsizetype dash = id.indexOf('-');
    bool timeOk = false;
    bool seqOk = false;
    const quint64 time = id.left(dash).toULongLong(&timeOk);
    const quint64 seq = dash < 0 ? 0 : id.mid(dash + 1).toULongLong(&seqOk);
    if (!timeOk || (dash >= 0 && !seqOk))
        return {0, 0};
    return {time, seq};
}

} // namespace

std::optional<RedisAddress> parseRedisUrl(const QString &url, QString *reason)
{
    const QUrl parsed(url, QUrl::StrictMode);
    if (!parsed.isValid() || parsed.scheme() != QStringLiteral("redis")) {
        *reason = QStringLiteral("%1 is not a redis://[:PASSWORD@]HOST[:PORT][/ROOM] URL").arg(url);
        return std::nullopt;
    }
    if (parsed.host().isEmpty()) {
        *reason = QStringLiteral("%1 names no host").arg(url);
        return std::nullopt;
    }
    if (!parsed.userName().isEmpty()) {
        *reason = QStringLiteral(
                          "%1 names a user; only a password is supported (redis://:PASSWORD@HOST)")
                          .arg(url);
        return std::nullopt;
    }
    if (parsed.hasQuery() || parsed.hasFragment()) {
        *reason = QStringLiteral("%1 has a query or fragment, which mean nothing here").arg(url);
        return std::nullopt;
    }
    RedisAddress address;
    address.host = parsed.host().toUtf8();
    address.port = parsed.port(6379);
    if (address.port <= 0) {
        *reason = QStringLiteral("%1 names port 0").arg(url);
        return std::nullopt;
    }
    address.password = parsed.password(QUrl::FullyDecoded).toUtf8();
    QString room = parsed.path(QUrl::FullyDecoded);
    if (room.startsWith(QLatin1Char('/')))
        room.remove(0, 1);
    if (room.contains(QLatin1Char('/'))) {
        *reason = QStringLiteral("%1: a room name has no slash").arg(url);
        return std::nullopt;
    }
    if (!room.isEmpty())
        address.room = room.toUtf8();
    return address;
}

std::optional<StreamEntry> readStreamEntry(const std::vector<QByteArrayView> &fieldsAndValues,
                                           QString *reason)
{
    if (fieldsAndValues.size() % 2 != 0) {
        *reason = QStringLiteral("a field without a value");
        return std::nullopt;
    }
    StreamEntry entry;
    bool haveRelay = false;
    bool haveSeq = false;
    qint64 payloadBytes = 0;
    for (std::size_t index = 0; index < fieldsAndValues.size(); index += 2) {
        const QByteArrayView field = fieldsAndValues[index];
        const QByteArrayView value = fieldsAndValues[index + 1];
        bool ok = false;
        if (field == "payload") {
            payloadBytes += value.size();
            if (payloadBytes > qint64(socks::FrameDecoder::maxPayloadBytes)) {
                *reason = QStringLiteral("payloads of more than %1 bytes together, above the "
                                         "frame limit")
                                  .arg(socks::FrameDecoder::maxPayloadBytes);
                return std::nullopt;
            }
            if (entry.payloads.size() == std::size_t(maxTextsPerEntry)) {
                *reason = QStringLiteral("more than %1 payloads").arg(maxTextsPerEntry);
                return std::nullopt;
            }
            entry.payloads.push_back(value);
        } else if (field == "relay" && !haveRelay) {
            entry.relay = value.toULongLong(&ok, 16);
            if (!ok || value.size() != 16) {
                *reason = QStringLiteral("a relay that is not 16 hex digits");
                return std::nullopt;
            }
            haveRelay = true;
        } else if (field == "seq" && !haveSeq) {
            entry.seq = value.toULongLong(&ok, 10);
            // The last text's number must be a number too.
            if (!ok || entry.seq == 0 || entry.seq > ~quint64(0) - maxTextsPerEntry) {
                *reason = QStringLiteral("a seq that is not a positive number");
                return std::nullopt;
            }
            haveSeq = true;
        } else {
            *reason = QStringLiteral("an unexpected field %1")
                              .arg(QString::fromUtf8(
                                      field.first(std::min<qsizetype>(field.size(), 64))));
            return std::nullopt;
        }
    }
    if (!haveRelay || !haveSeq || entry.payloads.empty()) {
        *reason = QStringLiteral("not relay, seq and at least one payload");
        return std::nullopt;
    }
    return entry;
}

int compareStreamIds(const QByteArray &left, const QByteArray &right)
{
    const auto a = splitStreamId(left);
    const auto b = splitStreamId(right);
    return a < b ? -1 : (b < a ? 1 : 0);
}

RedisBridge::RedisBridge(RedisAddress address, std::FILE *errors)
    : address(std::move(address))
    , errors(errors)
{
    // A restarted relay counts its texts from 1 again, so it must not pass for its old self.
    do
        relayId = QRandomGenerator::system()->generate64();
    while (relayId == 0);
    streamKey = this->address.streamKey();
    relayField = QByteArray::number(relayId, 16).rightJustified(16, '0');
    streamLengthArgument = QByteArray::number(streamLength);
    sendTimer.setSingleShot(true);
    sendTimer.setInterval(0);
    connect(&sendTimer, &QTimer::timeout, this, [this] {
        if (!writer)
            return;
        sendWaiting();
        EventHooks::of(writer)->writeNow();
    });
    reconnectTimer.setSingleShot(true);
    connect(&reconnectTimer, &QTimer::timeout, this, &RedisBridge::connectBoth);
    watchdog.setInterval(500);
    connect(&watchdog, &QTimer::timeout, this, &RedisBridge::checkDeadlines);
}

RedisBridge::~RedisBridge()
{
    closeBoth();
}

bool RedisBridge::start(QString *reason)
{
    // Checked once, synchronously: a relay that cannot reach its Redis should not start at all.
    const timeval timeout{connectMilliseconds / 1000, 0};
    std::unique_ptr<redisContext, void (*)(redisContext *)> context(
            redisConnectWithTimeout(address.host.constData(), address.port, timeout), redisFree);
    const QString where =
            QStringLiteral("Redis at %1:%2").arg(QString::fromUtf8(address.host)).arg(address.port);
    if (!context || context->err) {
        *reason = QStringLiteral("cannot reach %1: %2")
                          .arg(where,
                               context ? QString::fromUtf8(context->errstr)
                                       : QStringLiteral("out of memory"));
        return false;
    }
    redisSetTimeout(context.get(), timeout);
    const auto command = [&context](std::vector<QByteArray> arguments) {
        std::vector<const char *> argv;
        std::vector<size_t> lengths;
        for (const QByteArray &argument : arguments) {
            argv.push_back(argument.constData());
            lengths.push_back(size_t(argument.size()));
        }
        return std::unique_ptr<redisReply, void (*)(void *)>(
                static_cast<redisReply *>(redisCommandArgv(context.get(), int(argv.size()),
                                                           argv.data(), lengths.data())),
                freeReplyObject);
    };
    if (!address.password.isEmpty()) {
        const auto reply = command({"AUTH", address.password});
        if (!reply || reply->type == REDIS_REPLY_ERROR) {
            *reason = QStringLiteral("%1 refused the password: %2")
                              .arg(where,
                                   reply ? QString::fromUtf8(replyText(reply.get()))
                                         : QString::fromUtf8(context->errstr));
            return false;
        }
    }
    const auto reply = command({"XREVRANGE", address.streamKey(), "+", "-", "COUNT", "1"});
    if (!reply || reply->type != REDIS_REPLY_ARRAY) {
        *reason = QStringLiteral("%1 cannot serve the stream %2: %3")
                          .arg(where, QString::fromUtf8(address.streamKey()),
                               reply ? QString::fromUtf8(replyText(reply.get()))
                                     : QString::fromUtf8(context->errstr));
        return false;
    }
    // Only what comes after the start is relayed: the relay has no clients yet to show the past.
    if (reply->elements > 0 && reply->element[0]->type == REDIS_REPLY_ARRAY
        && reply->element[0]->elements > 0)
        lastReadId = replyText(reply->element[0]->element[0]);
    connectBoth();
    watchdog.start();
    return true;
}

void RedisBridge::publish(const QString &text)
{
    Pending pending{nextSeq++, text.toUtf8()};
    waitingBytes += pending.payload.size();
    waiting.push_back(std::move(pending));
    // While connecting, hiredis holds the command until the connection is up.
    if (writer)
        scheduleSending();
    updateBacklog();
}

redisAsyncContext *RedisBridge::open()
{
    redisAsyncContext *context = redisAsyncConnect(address.host.constData(), address.port);
    if (!context)
        return nullptr;
    if (context->err) {
        redisAsyncFree(context);
        return nullptr;
    }
    context->data = this;
    new EventHooks(context);
    redisAsyncSetConnectCallback(context, &RedisBridge::onConnect);
    redisAsyncSetDisconnectCallback(context, &RedisBridge::onDisconnect);
    if (!address.password.isEmpty()) {
        const char *argv[] = {"AUTH", address.password.constData()};
        const size_t lengths[] = {4, size_t(address.password.size())};
        redisAsyncCommandArgv(context, &RedisBridge::onAuthReply, nullptr, 2, argv, lengths);
    }
    return context;
}

void RedisBridge::connectBoth()
{
    closeBoth();
    writer = open();
    reader = open();
    if (!writer || !reader) {
        lose(QStringLiteral("cannot open a connection"));
        return;
    }
    // Everything not yet read back goes out again; readers drop what they have relayed already.
    sentOnThisLink = 0;
    unanswered = 0;
    sendWaiting();
    // Where to go on: after the last entry relayed, unless the stream has lost entries since.
    const char *argv[] = {"XREVRANGE", streamKey.constData(), "+", "-", "COUNT", "1"};
    const size_t lengths[] = {9, size_t(streamKey.size()), 1, 1, 5, 1};
    redisAsyncCommandArgv(reader, &RedisBridge::onLastIdReply, nullptr, 6, argv, lengths);
    readerWaiting = true;
    readerSilence.start();
}

void RedisBridge::closeBoth()
{
    // Freeing answers every open command with no reply and may report the disconnection: with
    // data cleared, the callbacks know the connection is no longer ours.
    for (redisAsyncContext **context : {&writer, &reader}) {
        redisAsyncContext *gone = std::exchange(*context, nullptr);
        if (gone) {
            gone->data = nullptr;
            redisAsyncFree(gone);
        }
    }
    readerWaiting = false;
    unanswered = 0;
}

void RedisBridge::lose(const QString &why)
{
    if (!lost) {
        lost = true;
        say(QStringLiteral("lost Redis at %1:%2 (%3); clients stay connected, their texts wait "
                           "(up to 8 MiB) until it is back")
                    .arg(QString::fromUtf8(address.host))
                    .arg(address.port)
                    .arg(why));
    }
    // Inside a reply callback hiredis frees that connection when the callback returns.
    closeBoth();
    writerSilence.invalidate();
    backoffMilliseconds = backoffMilliseconds == 0
            ? firstBackoffMilliseconds
            : std::min(backoffMilliseconds * 2, maxBackoffMilliseconds);
    reconnectTimer.start(backoffMilliseconds);
}

void RedisBridge::markAlive()
{
    if (!lost)
        return;
    lost = false;
    backoffMilliseconds = 0;
    say(QStringLiteral("Redis at %1:%2 is back; %3 waiting texts go out")
                .arg(QString::fromUtf8(address.host))
                .arg(address.port)
                .arg(waiting.size()));
}

void RedisBridge::scheduleSending()
{
    // The texts of this turn, from every client, go out together after it. A zero timer, not a
    // posted call: it needs no wake-up of the event loop.
    if (!sendTimer.isActive())
        sendTimer.start();
}

void RedisBridge::sendWaiting()
{
    while (sentOnThisLink < waiting.size()) {
        const std::size_t first = sentOnThisLink;
        qint64 bytes = waiting[first].payload.size();
        std::size_t count = 1;
        while (first + count < waiting.size() && count < std::size_t(maxTextsPerEntry)
               && bytes + waiting[first + count].payload.size() <= maxEntryBytes)
            bytes += waiting[first + count++].payload.size();
        sendAdd(first, count);
        sentOnThisLink += count;
    }
}

void RedisBridge::sendAdd(std::size_t first, std::size_t count)
{
    const QByteArray seq = QByteArray::number(waiting[first].seq);
    std::vector<const char *> argv{"XADD",
                                   streamKey.constData(),
                                   "MAXLEN",
                                   "~",
                                   streamLengthArgument.constData(),
                                   "*",
                                   "relay",
                                   relayField.constData(),
                                   "seq",
                                   seq.constData()};
    std::vector<size_t> lengths{4,
                                size_t(streamKey.size()),
                                6,
                                1,
                                size_t(streamLengthArgument.size()),
                                1,
                                5,
                                size_t(relayField.size()),
                                3,
                                size_t(seq.size())};
    argv.reserve(argv.size() + 2 * count);
    lengths.reserve(argv.size() + 2 * count);
    for (std::size_t index = first; index < first + count; ++index) {
        argv.push_back("payload");
        lengths.push_back(7);
        argv.push_back(waiting[index].payload.constData());
        lengths.push_back(size_t(waiting[index].payload.size()));
    }
    if (unanswered++ == 0)
        writerSilence.start();
    redisAsyncCommandArgv(writer, &RedisBridge::onWriterReply, nullptr, int(argv.size()),
                          argv.data(), lengths.data());
}

void RedisBridge::readNext()
{
    const QByteArray count = QByteArray::number(readCount);
    const QByteArray block = QByteArray::number(blockMilliseconds);
    const char *argv[] = {
            "XREAD",           "COUNT",   count.constData(),     "BLOCK",
            block.constData(), "STREAMS", streamKey.constData(), lastReadId.constData()};
    const size_t lengths[] = {5,
                              5,
                              size_t(count.size()),
                              5,
                              size_t(block.size()),
                              7,
                              size_t(streamKey.size()),
                              size_t(lastReadId.size())};
    redisAsyncCommandArgv(reader, &RedisBridge::onReadReply, nullptr, 8, argv, lengths);
    readerWaiting = true;
    readerSilence.start();
}

void RedisBridge::onConnect(const redisAsyncContext *context, int status)
{
    auto *bridge = static_cast<RedisBridge *>(context->data);
    if (!bridge || status == REDIS_OK)
        return;
    // hiredis frees this connection itself once this callback returns.
    bridge->forget(context);
    bridge->lose(QString::fromUtf8(context->errstr));
}

void RedisBridge::onDisconnect(const redisAsyncContext *context, int status)
{
    auto *bridge = static_cast<RedisBridge *>(context->data);
    if (!bridge)
        return;
    bridge->forget(context);
    bridge->lose(status == REDIS_OK ? QStringLiteral("connection closed")
                                    : QString::fromUtf8(context->errstr));
}

void RedisBridge::forget(const redisAsyncContext *context)
{
    if (writer == context)
        writer = nullptr;
    if (reader == context)
        reader = nullptr;
}

void RedisBridge::onAuthReply(redisAsyncContext *context, void *reply, void *)
{
    auto *bridge = static_cast<RedisBridge *>(context->data);
    const auto *answer = static_cast<redisReply *>(reply);
    if (bridge && answer && answer->type == REDIS_REPLY_ERROR)
        bridge->lose(
                QStringLiteral("password refused: %1").arg(QString::fromUtf8(replyText(answer))));
}

void RedisBridge::onWriterReply(redisAsyncContext *context, void *reply, void *)
{
    auto *bridge = static_cast<RedisBridge *>(context->data);
    const auto *answer = static_cast<redisReply *>(reply);
    if (!bridge || !answer)
        return;
    if (answer->type == REDIS_REPLY_ERROR) {
        bridge->lose(QStringLiteral("XADD refused: %1").arg(QString::fromUtf8(replyText(answer))));
        return;
    }
    bridge->markAlive();
    if (--bridge->unanswered > 0)
        bridge->writerSilence.start();
    else
        bridge->writerSilence.invalidate();
}

void RedisBridge::onLastIdReply(redisAsyncContext *context, void *reply, void *)
{
    auto *bridge = static_cast<RedisBridge *>(context->data);
    const auto *answer = static_cast<redisReply *>(reply);
    if (!bridge || !answer)
        return;
    if (answer->type != REDIS_REPLY_ARRAY) {
        bridge->lose(
                QStringLiteral("XREVRANGE refused: %1").arg(QString::fromUtf8(replyText(answer))));
        return;
    }
    QByteArray lastId = "0-0";
    if (answer->elements > 0 && answer->element[0]->type == REDIS_REPLY_ARRAY
        && answer->element[0]->elements > 0)
        lastId = replyText(answer->element[0]->element[0]);
    // A stream that ends before what was relayed has been emptied or replaced (Redis restarted
    // without its data): all of it is new.
    if (compareStreamIds(lastId, bridge->lastReadId) < 0) {
        bridge->say(QStringLiteral("the stream %1 is behind the last entry relayed: Redis lost "
                                   "data; reading it from its start")
                            .arg(QString::fromUtf8(bridge->address.streamKey())));
        bridge->lastReadId = "0-0";
    }
    bridge->markAlive();
    bridge->readNext();
}

void RedisBridge::onReadReply(redisAsyncContext *context, void *reply, void *)
{
    auto *bridge = static_cast<RedisBridge *>(context->data);
    const auto *answer = static_cast<redisReply *>(reply);
    if (!bridge || !answer)
        return;
    bridge->readerWaiting = false;
    if (answer->type == REDIS_REPLY_ERROR) {
        bridge->lose(QStringLiteral("XREAD refused: %1").arg(QString::fromUtf8(replyText(answer))));
        return;
    }
    bridge->markAlive();
    QPointer<RedisBridge> self(bridge);
    bridge->takeEntries(answer);
    if (self && bridge->reader == context && context->data)
        bridge->readNext();
}

void RedisBridge::takeEntries(const redisReply *reply)
{
    // Nil: the wait ran out. Otherwise [[key, [[id, [field, value, ...]], ...]]].
    if (reply->type != REDIS_REPLY_ARRAY || reply->elements == 0)
        return;
    const redisReply *stream = reply->element[0];
    if (stream->type != REDIS_REPLY_ARRAY || stream->elements < 2
        || stream->element[1]->type != REDIS_REPLY_ARRAY)
        return;
    const redisReply *entries = stream->element[1];
    QPointer<RedisBridge> self(this);
    for (size_t index = 0; index < entries->elements && self; ++index) {
        const redisReply *entry = entries->element[index];
        if (entry->type != REDIS_REPLY_ARRAY || entry->elements < 2
            || entry->element[0]->type != REDIS_REPLY_STRING)
            continue;
        lastReadId = replyText(entry->element[0]);
        takeEntry(entry->element[0], entry->element[1]);
    }
}

void RedisBridge::takeEntry(const redisReply *id, const redisReply *fields)
{
    std::vector<QByteArrayView> fieldsAndValues;
    bool strings = fields->type == REDIS_REPLY_ARRAY;
    for (size_t index = 0; strings && index < fields->elements; ++index) {
        const redisReply *field = fields->element[index];
        strings = field->type == REDIS_REPLY_STRING;
        fieldsAndValues.emplace_back(field->str, qsizetype(field->len));
    }
    QString reason = QStringLiteral("fields that are not strings");
    const std::optional<StreamEntry> entry =
            strings ? readStreamEntry(fieldsAndValues, &reason) : std::nullopt;
    if (!entry) {
        ++skipped;
        // Said for the first few and then now and then, so a flood cannot fill the journal.
        if (skipped <= 10 || skipped % 1000 == 0)
            say(QStringLiteral("skipped stream entry %1, not relayed texts: %2 (%3 skipped so "
                               "far)")
                        .arg(QString::fromLatin1(replyText(id)), reason)
                        .arg(skipped));
        return;
    }
    auto found = relayed.find(entry->relay);
    if (found == relayed.end()) {
        if (relayed.size() >= maxKnownRelays) {
            auto oldest = std::min_element(relayed.begin(), relayed.end(),
                                           [](const auto &left, const auto &right) {
                                               return left.second.lastUse < right.second.lastUse;
                                           });
            relayed.erase(oldest);
        }
        found = relayed.emplace(entry->relay, Watermark{0, 0}).first;
    }
    found->second.lastUse = ++useCounter;
    const quint64 lastSeq = entry->seq + entry->payloads.size() - 1;
    // Sent again across a reconnection: what was relayed already is skipped.
    const quint64 relayedSeq = found->second.seq;
    if (lastSeq <= relayedSeq)
        return;
    found->second.seq = lastSeq;
    if (entry->relay == relayId)
        forgetSeenOwn(lastSeq);
    QPointer<RedisBridge> self(this);
    for (std::size_t index = 0; index < entry->payloads.size() && self; ++index) {
        if (entry->seq + index > relayedSeq)
            emit textArrived(QString::fromUtf8(entry->payloads[index]));
    }
}

void RedisBridge::forgetSeenOwn(quint64 seq)
{
    while (!waiting.empty() && waiting.front().seq <= seq) {
        waitingBytes -= waiting.front().payload.size();
        waiting.pop_front();
        if (sentOnThisLink > 0)
            --sentOnThisLink;
    }
    updateBacklog();
}

void RedisBridge::updateBacklog()
{
    if (!backlogPaused && waitingBytes > maxWaitingBytes) {
        backlogPaused = true;
        emit backlogFull(true);
    } else if (backlogPaused && waitingBytes < maxWaitingBytes / 2) {
        backlogPaused = false;
        emit backlogFull(false);
    }
}

void RedisBridge::checkDeadlines()
{
    if (lost || !writer || !reader)
        return;
    if (unanswered > 0 && writerSilence.isValid() && writerSilence.elapsed() > answerMilliseconds)
        lose(QStringLiteral("no answer to XADD for %1 ms").arg(answerMilliseconds));
    else if (readerWaiting && readerSilence.elapsed() > blockMilliseconds + answerMilliseconds)
        lose(QStringLiteral("no answer to XREAD for %1 ms")
                     .arg(blockMilliseconds + answerMilliseconds));
}

void RedisBridge::say(const QString &line)
{
    std::fprintf(errors, "prynechat-relay: %s\n", qUtf8Printable(line));
    std::fflush(errors);
}
