#include "relay/bridge/RedisUrl.h"

#include <QUrl>

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
