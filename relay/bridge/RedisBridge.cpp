#include "relay/bridge/RedisBridge.h"

#include "relay/bridge/BoundedReplies.h"
#include "relay/bridge/RedisCommand.h"
#include "relay/bridge/RedisEventHooks.h"
#include "relay/bridge/RedisStartCheck.h"
#include "relay/bridge/StreamEntry.h"

#include <QPointer>
#include <QRandomGenerator>

#include <algorithm>
#include <hiredis/async.h>
#include <hiredis/hiredis.h>
#include <utility>

namespace {

// One read takes at most this many entries. Each keeps at most BoundedReplies::maxArrayBytes
// (1 MiB of payload and its fields), so one reply keeps at most 4.25 MiB however large the
// entries someone wrote; under load an entry holds a turn's texts, so a read still carries many.
constexpr int readCount = 4;
// XREAD waits this long for a new entry, then asks again: a reader that does not answer within
// the wait plus answerMilliseconds is taken for lost, as is a writer silent that long.
constexpr int blockMilliseconds = 2000;
constexpr int answerMilliseconds = 5000;
// Reconnecting starts after a short pause and doubles it up to a few seconds.
constexpr int firstBackoffMilliseconds = 100;
constexpr int maxBackoffMilliseconds = 4000;
// A Redis that does not answer at start is asked again this often.
constexpr int startRetryMilliseconds = 1000;
// The first few reports of a kind are said, then one in this many, so that a flood of odd entries
// cannot fill the journal.
constexpr qint64 reportsInFull = 10;
constexpr qint64 reportEvery = 1000;

bool worthSaying(qint64 count)
{
    return count <= reportsInFull || count % reportEvery == 0;
}

QByteArray replyText(const redisReply *reply)
{
    if (!reply || !reply->str)
        return QByteArray();
    return QByteArray(reply->str, qsizetype(reply->len));
}

} // namespace

RedisBridge::RedisBridge(RedisAddress address)
    : address(std::move(address))
{
    // A restarted relay counts its texts from 1 again, so it must not pass for its old self.
    do
        relayId = QRandomGenerator::system()->generate64();
    while (relayId == 0);
    streamKey = this->address.streamKey();
    sendTimer.setSingleShot(true);
    sendTimer.setInterval(0);
    connect(&sendTimer, &QTimer::timeout, this, [this] {
        if (!writer)
            return;
        sendWaiting();
        RedisEventHooks::of(writer)->writeNow();
    });
    reconnectTimer.setSingleShot(true);
    connect(&reconnectTimer, &QTimer::timeout, this, &RedisBridge::connectBoth);
    retryTimer.setSingleShot(true);
    retryTimer.setInterval(startRetryMilliseconds);
    connect(&retryTimer, &QTimer::timeout, this, [this] {
        QString reason;
        if (start(&reason))
            emit started();
        else if (trying.hasExpired(qint64(tryingSeconds) * 1000))
            emit gaveUp(reason);
        else
            retryTimer.start();
    });
    watchdog.setInterval(500);
    connect(&watchdog, &QTimer::timeout, this, &RedisBridge::checkDeadlines);
}

RedisBridge::~RedisBridge()
{
    closeBoth();
}

bool RedisBridge::start(QString *reason)
{
    // A relay that cannot reach its Redis should not start at all.
    const RedisStartCheck check = checkRedis(address, recallCount, recallBytes);
    if (!check.passed) {
        *reason = check.reason;
        return false;
    }
    for (const QString &warning : check.warnings)
        say(warning);
    for (const QString &text : check.recentTexts)
        emit textRecalled(text);
    lastReadId = check.lastId;
    connectBoth();
    watchdog.start();
    return true;
}

void RedisBridge::keepTrying(int waitSeconds)
{
    tryingSeconds = waitSeconds;
    trying.start();
    retryTimer.start();
}

void RedisBridge::publish(const QString &text)
{
    const bool wasFull = outbox.full();
    outbox.add(text.toUtf8());
    // While connecting, hiredis holds the command until the connection is up.
    if (writer)
        scheduleSending();
    if (outbox.full() != wasFull)
        emit backlogFull(outbox.full());
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
    new RedisEventHooks(context);
    redisAsyncSetConnectCallback(context, &RedisBridge::onConnect);
    redisAsyncSetDisconnectCallback(context, &RedisBridge::onDisconnect);
    if (!address.password.isEmpty())
        send(context, {"AUTH", address.password}, &RedisBridge::onAuthReply);
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
    // Whatever the stream's writers made of its entries, the reader keeps a few MiB of a reply.
    BoundedReplies::install(reader->c.reader);
    // Everything not yet read back goes out again; readers drop what they have relayed already.
    outbox.rewind();
    unanswered = 0;
    sendWaiting();
    // Where to go on: after the last entry relayed, unless the stream has lost entries since.
    askLastId();
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
    readDue = false;
    unanswered = 0;
}

void RedisBridge::lose(const QString &why)
{
    // Said once until Redis answers again, however often the new connections fail meanwhile.
    if (!lost) {
        lost = true;
        say(QStringLiteral("lost Redis at %1:%2 (%3); clients stay connected, their texts wait "
                           "(up to %4 MiB) until it is back")
                    .arg(QString::fromUtf8(address.host))
                    .arg(address.port)
                    .arg(why)
                    .arg(Outbox::maxWaitingBytes / (1024 * 1024)));
    }
    // Inside a reply callback hiredis frees that connection when the callback returns.
    closeBoth();
    writerSilence.invalidate();
    backoffMilliseconds = backoffMilliseconds == 0
            ? firstBackoffMilliseconds
            : std::min(backoffMilliseconds * 2, maxBackoffMilliseconds);
    reconnectTimer.start(backoffMilliseconds);
}

// Called for replies Redis sent, never for the empty ones hiredis hands out when it drops a
// connection: a Redis that takes connections but answers nothing is not back.
void RedisBridge::markAnswered()
{
    if (!lost)
        return;
    lost = false;
    backoffMilliseconds = 0;
    say(QStringLiteral("Redis at %1:%2 is back; %3 waiting texts go out")
                .arg(QString::fromUtf8(address.host))
                .arg(address.port)
                .arg(outbox.size()));
}

void RedisBridge::send(redisAsyncContext *context, const RedisCommand &command, Callback callback)
{
    std::vector<const char *> argv = command.argv();
    const std::vector<std::size_t> lengths = command.lengths();
    redisAsyncCommandArgv(context, callback, nullptr, command.count(), argv.data(), lengths.data());
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
    while (const std::optional<Outbox::Batch> batch = outbox.nextBatch()) {
        if (unanswered++ == 0)
            writerSilence.start();
        send(writer, addCommand(streamKey, relayId, batch->seq, batch->payloads),
             &RedisBridge::onWriterReply);
    }
}

void RedisBridge::askLastId()
{
    send(reader, {"XREVRANGE", streamKey, "+", "-", "COUNT", "1"}, &RedisBridge::onLastIdReply);
    readerWaiting = true;
    readerSilence.start();
}

void RedisBridge::holdReading(bool held)
{
    readingHeld = held;
    if (!held && std::exchange(readDue, false) && reader && !readerWaiting)
        readNext();
}

void RedisBridge::readNext()
{
    if (readingHeld) {
        readDue = true;
        return;
    }
    send(reader,
         {"XREAD", "COUNT", QByteArray::number(readCount), "BLOCK",
          QByteArray::number(blockMilliseconds), "STREAMS", streamKey, lastReadId},
         &RedisBridge::onReadReply);
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
    bridge->markAnswered();
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
    bridge->markAnswered();
    QByteArray lastId = "0-0";
    if (answer->elements > 0 && answer->element[0]->type == REDIS_REPLY_ARRAY
        && answer->element[0]->elements > 0)
        lastId = replyText(answer->element[0]->element[0]);
    // A stream that ends before what was relayed has been emptied or replaced (Redis restarted
    // without its data, the key deleted): all of it is new.
    if (compareStreamIds(lastId, bridge->lastReadId) < 0) {
        bridge->say(QStringLiteral("the stream %1 is behind the last entry relayed: Redis lost "
                                   "data; reading it from its start")
                            .arg(QString::fromUtf8(bridge->streamKey)));
        bridge->lastReadId = "0-0";
    }
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
    bridge->markAnswered();
    // Nil: the wait ran out. A stream that now ends before the last entry read has nothing after
    // it either, so this is where it shows: look before reading on.
    if (answer->type == REDIS_REPLY_NIL) {
        bridge->askLastId();
        return;
    }
    QPointer<RedisBridge> self(bridge);
    bridge->takeEntries(answer);
    if (self && bridge->reader == context && context->data)
        bridge->readNext();
}

void RedisBridge::takeEntries(const redisReply *reply)
{
    // [[key, [[id, [field, value, ...]], ...]]]
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
    const QByteArray entryId = replyText(id);
    if (BoundedReplies::isCutShort(fields)) {
        skip(entryId,
             QStringLiteral("more than %1 fields and values or %2 bytes of them")
                     .arg(BoundedReplies::maxArrayElements)
                     .arg(BoundedReplies::maxArrayBytes));
        return;
    }
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
        skip(entryId, reason);
        return;
    }

    std::vector<std::size_t> fresh;
    if (entry->relay == relayId) {
        // In this relay's name: it leaves the outbox only if this relay certainly wrote it.
        const bool wasFull = outbox.full();
        const Outbox::Reading reading = outbox.readBack(entry->seq, entry->payloads);
        if (reading.verdict == Outbox::Verdict::NotOurs) {
            skip(entryId,
                 QStringLiteral("this relay's name on numbers %1 to %2 or texts it did not write")
                         .arg(entry->seq)
                         .arg(entry->lastSeq()));
            return;
        }
        if (reading.missing > 0 && worthSaying(++missing))
            say(QStringLiteral("%1 of this relay's texts went from the stream before it read "
                               "them back (%2 times so far)")
                        .arg(reading.missing)
                        .arg(missing));
        if (reading.verdict == Outbox::Verdict::Taken) {
            for (std::size_t index = reading.firstNew; index < entry->payloads.size(); ++index)
                fresh.push_back(index);
        }
        if (outbox.full() != wasFull)
            emit backlogFull(outbox.full());
    } else {
        RelayWatermarks::Admission admission =
                watermarks.admit(entry->relay, entry->seq, entry->payloads.size());
        if (admission.skippedNumbers && worthSaying(++gaps))
            say(QStringLiteral("stream entry %1 of relay %2 starts at number %3, the last seen "
                               "was %4: the numbers between are not taken for relayed (%5 such "
                               "entries so far)")
                        .arg(QString::fromUtf8(entryId))
                        .arg(entry->relay, 16, 16, QLatin1Char('0'))
                        .arg(entry->seq)
                        .arg(admission.lastSeen)
                        .arg(gaps));
        fresh = std::move(admission.fresh);
    }
    QPointer<RedisBridge> self(this);
    for (std::size_t index : fresh) {
        if (!self)
            return;
        emit textArrived(QString::fromUtf8(entry->payloads[index]));
    }
}

void RedisBridge::skip(const QByteArray &id, const QString &reason)
{
    ++skipped;
    if (worthSaying(skipped))
        say(QStringLiteral("skipped stream entry %1, not relayed texts: %2 (%3 skipped so far)")
                    .arg(QString::fromUtf8(id), reason)
                    .arg(skipped));
}

void RedisBridge::checkDeadlines()
{
    // Also while reconnecting: a Redis that takes connections but never answers them is given up
    // again and again, not waited for on the first connection that it took.
    if (!writer || !reader)
        return;
    if (unanswered > 0 && writerSilence.isValid() && writerSilence.elapsed() > answerMilliseconds)
        lose(QStringLiteral("no answer to XADD for %1 ms").arg(answerMilliseconds));
    else if (readerWaiting && readerSilence.elapsed() > blockMilliseconds + answerMilliseconds)
        lose(QStringLiteral("no answer to XREAD for %1 ms")
                     .arg(blockMilliseconds + answerMilliseconds));
}

void RedisBridge::say(const QString &line)
{
    emit reported(line);
}

void RedisBridge::setPassword(const QByteArray &password)
{
    address.password = password;
}
