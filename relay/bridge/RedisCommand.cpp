#include "relay/bridge/RedisCommand.h"

RedisCommand::RedisCommand(std::initializer_list<QByteArray> arguments)
    : held(arguments)
{}

RedisCommand &RedisCommand::operator<<(const QByteArray &argument)
{
    held.append(argument);
    return *this;
}

std::vector<const char *> RedisCommand::argv() const
{
    std::vector<const char *> pointers;
    pointers.reserve(std::size_t(held.size()));
    for (const QByteArray &argument : held)
        pointers.push_back(argument.constData());
    return pointers;
}

std::vector<std::size_t> RedisCommand::lengths() const
{
    std::vector<std::size_t> sizes;
    sizes.reserve(std::size_t(held.size()));
    for (const QByteArray &argument : held)
        sizes.push_back(std::size_t(argument.size()));
    return sizes;
}
