#pragma once

#include "relay/bridge/RedisUrl.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QString>
#include <QStringList>

// What the bridge needs of Redis's limits. A text's payload is one value, so values up to a
// frame's 1 MiB must be allowed and nothing larger is needed; Redis holds one value of a command
// in a connection's query buffer while it arrives, so that buffer must take a 1 MiB value with
// the bytes around it (at exactly 1mb Redis closes a relay's connection on its largest text).
constexpr qint64 neededMaxBulkBytes = 1024 * 1024; // proto-max-bulk-len 1mb
constexpr qint64 smallestQueryBufferBytes = 1024 * 1024 + 1024;
constexpr qint64 neededQueryBufferBytes = 2 * 1024 * 1024; // client-query-buffer-limit 2mb

// Warnings about proto-max-bulk-len and client-query-buffer-limit as CONFIG GET gave them
// (name, value, name, value, ...): larger than the bridge needs, too small for it, or missing.
// None when both are as the bridge needs them.
QStringList limitWarnings(const QByteArrayList &namesAndValues);

// Checked once, synchronously, before the relay serves its port: Redis answers, takes the
// password and can serve the stream; its limits are read for warnings.
struct RedisStartCheck
{
    bool passed = false;
    QString reason; // why not
    QByteArray lastId = "0-0"; // of the stream's last entry: what comes after it is relayed
    QStringList warnings;
    QStringList recentTexts; // the newest texts up to lastId, oldest first, when asked for
};
// Also reads back the newest texts, up to recentTexts of them and until recentBytes (counted as
// two bytes a UTF-16 unit) are passed: the history a page that joins is shown.
RedisStartCheck checkRedis(const RedisAddress &address, int recentTexts = 0,
                           qint64 recentBytes = 0);
