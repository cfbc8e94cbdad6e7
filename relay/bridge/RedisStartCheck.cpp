#include "relay/bridge/RedisStartCheck.h"

#include "relay/bridge/BoundedReplies.h"
#include "relay/bridge/RedisCommand.h"
#include "relay/bridge/StreamEntry.h"

#include <hiredis/hiredis.h>
#include <memory>
#include <optional>

namespace {

// A Redis that does not answer within this time is taken for unreachable.
constexpr int connectMilliseconds = 5000;

QString replyText(const redisReply *reply)
{
    if (!reply || !reply->str)
        return QString();
    return QString::fromUtf8(reply->str, qsizetype(reply->len));
}

std::optional<qint64> valueOf(const QByteArrayList &namesAndValues, const QByteArray &name)
{
    for (qsizetype index = 0; index + 1 < namesAndValues.size(); index += 2) {
        if (namesAndValues[index] != name)
            continue;
        bool ok = false;
        const qint64 value = namesAndValues[index + 1].toLongLong(&ok);
        return ok && value > 0 ? std::optional<qint64>(value) : std::nullopt;
    }
    return std::nullopt;
}

} // namespace

QStringList limitWarnings(const QByteArrayList &namesAndValues)
{
    QStringList warnings;
    const std::optional<qint64> maxBulk = valueOf(namesAndValues, "proto-max-bulk-len");
    if (!maxBulk)
        warnings << QStringLiteral("Redis did not tell its proto-max-bulk-len: set it to 1mb");
    else if (*maxBulk > neededMaxBulkBytes)
        warnings << QStringLiteral("Redis's proto-max-bulk-len is %1 bytes: whoever may write to "
                                   "the stream can make each relay take in values that large at "
                                   "once; 1mb (%2) is all a relay needs")
                            .arg(*maxBulk)
                            .arg(neededMaxBulkBytes);
    else if (*maxBulk < neededMaxBulkBytes)
        warnings << QStringLiteral("Redis's proto-max-bulk-len is %1 bytes: texts larger than that "
                                   "cannot pass; set it to 1mb (%2)")
                            .arg(*maxBulk)
                            .arg(neededMaxBulkBytes);
    const std::optional<qint64> queryBuffer = valueOf(namesAndValues, "client-query-buffer-limit");
    if (!queryBuffer)
        warnings << QStringLiteral(
                "Redis did not tell its client-query-buffer-limit: set it to 2mb");
    else if (*queryBuffer > neededQueryBufferBytes)
        warnings << QStringLiteral(
                            "Redis's client-query-buffer-limit is %1 bytes: Redis holds that "
                            "much of one connection's command; 2mb (%2) is all a relay "
                            "needs")
                            .arg(*queryBuffer)
                            .arg(neededQueryBufferBytes);
    else if (*queryBuffer < smallestQueryBufferBytes)
        warnings << QStringLiteral("Redis's client-query-buffer-limit is %1 bytes: Redis closes a "
                                   "relay's connection on a text of 1 MiB; set it to 2mb (%2)")
                            .arg(*queryBuffer)
                            .arg(neededQueryBufferBytes);
    return warnings;
}

RedisStartCheck checkRedis(const RedisAddress &address, int recentTexts, qint64 recentBytes)
{
    RedisStartCheck check;
    const timeval timeout{connectMilliseconds / 1000, 0};
    std::unique_ptr<redisContext, void (*)(redisContext *)> context(
            redisConnectWithTimeout(address.host.constData(), address.port, timeout), redisFree);
    const QString where =
            QStringLiteral("Redis at %1:%2").arg(QString::fromUtf8(address.host)).arg(address.port);
    if (!context || context->err) {
        check.reason = QStringLiteral("cannot reach %1: %2")
                               .arg(where,
                                    context ? QString::fromUtf8(context->errstr)
                                            : QStringLiteral("out of memory"));
        return check;
    }
    redisSetTimeout(context.get(), timeout);
    // The stream's last entry comes whole: whoever wrote it decided its size.
    BoundedReplies::install(context->reader);
    const auto run = [&context](const RedisCommand &command) {
        std::vector<const char *> argv = command.argv();
        const std::vector<std::size_t> lengths = command.lengths();
        return std::unique_ptr<redisReply, void (*)(void *)>(
                static_cast<redisReply *>(redisCommandArgv(context.get(), command.count(),
                                                           argv.data(), lengths.data())),
                freeReplyObject);
    };
    const auto failure = [&context](const redisReply *reply) {
        return reply ? replyText(reply) : QString::fromUtf8(context->errstr);
    };

    if (!address.password.isEmpty()) {
        const auto reply = run({"AUTH", address.password});
        if (!reply || reply->type == REDIS_REPLY_ERROR) {
            check.reason =
                    QStringLiteral("%1 refused the password: %2").arg(where, failure(reply.get()));
            return check;
        }
    }

    const auto limits = run({"CONFIG", "GET", "proto-max-bulk-len", "client-query-buffer-limit"});
    if (!limits) {
        check.reason = QStringLiteral("%1 did not answer: %2").arg(where, failure(nullptr));
        return check;
    }
    if (limits->type != REDIS_REPLY_ARRAY) {
        check.warnings << QStringLiteral("cannot read Redis's limits (%1): set proto-max-bulk-len "
                                         "to 1mb and client-query-buffer-limit to 2mb there, and "
                                         "give only the relays write access to the stream")
                                  .arg(failure(limits.get()));
    } else {
        QByteArrayList namesAndValues;
        for (std::size_t index = 0; index < limits->elements; ++index)
            namesAndValues << replyText(limits->element[index]).toUtf8();
        check.warnings = limitWarnings(namesAndValues);
    }

    const auto last = run({"XREVRANGE", address.streamKey(), "+", "-", "COUNT", "1"});
    if (!last || last->type != REDIS_REPLY_ARRAY) {
        check.reason =
                QStringLiteral("%1 cannot serve the stream %2: %3")
                        .arg(where, QString::fromUtf8(address.streamKey()), failure(last.get()));
        return check;
    }
    // Only what comes after the start is relayed: the relay has no clients yet to show the past.
    if (last->elements > 0 && last->element[0]->type == REDIS_REPLY_ARRAY
        && last->element[0]->elements > 0)
        check.lastId = replyText(last->element[0]->element[0]).toUtf8();
    // One entry a command, newest first: an entry may hold a frame's worth of texts, and the
    // bytes wanted are few. Entries no relay wrote are passed over, as the reader skips them.
    QByteArray before = check.lastId;
    qint64 bytes = 0;
    for (int entries = 0; entries < recentTexts && check.recentTexts.size() < recentTexts
         && bytes < recentBytes && before != "0-0";
         ++entries) {
        const auto older = run({"XREVRANGE", address.streamKey(),
                                entries == 0 ? before : "(" + before, "-", "COUNT", "1"});
        if (!older || older->type != REDIS_REPLY_ARRAY || older->elements == 0
            || older->element[0]->type != REDIS_REPLY_ARRAY || older->element[0]->elements < 2)
            break;
        const redisReply *fields = older->element[0]->element[1];
        before = replyText(older->element[0]->element[0]).toUtf8();
        if (fields->type != REDIS_REPLY_ARRAY || BoundedReplies::isCutShort(fields))
            continue;
        std::vector<QByteArrayView> fieldsAndValues;
        bool strings = true;
        for (std::size_t index = 0; strings && index < fields->elements; ++index) {
            strings = fields->element[index]->type == REDIS_REPLY_STRING;
            fieldsAndValues.emplace_back(fields->element[index]->str,
                                         qsizetype(fields->element[index]->len));
        }
        QString reason;
        const std::optional<StreamEntry> entry =
                strings ? readStreamEntry(fieldsAndValues, &reason) : std::nullopt;
        if (!entry)
            continue;
        for (auto payload = entry->payloads.rbegin(); payload != entry->payloads.rend()
             && check.recentTexts.size() < recentTexts && bytes < recentBytes;
             ++payload) {
            check.recentTexts.prepend(QString::fromUtf8(*payload));
            bytes += qint64(check.recentTexts.constFirst().size()) * qint64(sizeof(QChar));
        }
    }
    check.passed = true;
    return check;
}
