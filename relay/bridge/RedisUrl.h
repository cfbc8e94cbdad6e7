#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

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
