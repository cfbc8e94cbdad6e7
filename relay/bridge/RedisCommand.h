#pragma once

#include <QByteArray>
#include <QByteArrayList>

#include <cstddef>
#include <vector>

// One Redis command as hiredis takes it: every argument as bytes with its length beside it, so
// that texts with any bytes in them go out unchanged and no length is ever counted by hand.
class RedisCommand
{
public:
    RedisCommand() = default;
    RedisCommand(std::initializer_list<QByteArray> arguments);

    // Shares the argument's bytes (QByteArray is implicitly shared): a payload is not copied.
    RedisCommand &operator<<(const QByteArray &argument);

    int count() const { return int(held.size()); }
    const QByteArrayList &arguments() const { return held; }
    // For redisCommandArgv and redisAsyncCommandArgv; valid while the command lives unchanged.
    std::vector<const char *> argv() const;
    std::vector<std::size_t> lengths() const;

private:
    QByteArrayList held;
};
