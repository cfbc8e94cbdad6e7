#include "relay/bridge/BoundedReplies.h"

#include "relay/bridge/StreamEntry.h"

#include <cstdlib>
#include <cstring>
#include <hiredis/hiredis.h>

namespace BoundedReplies {

namespace {

static_assert(maxArrayElements >= 2 * (maxTextsPerEntry + 2), "an entry of a relay fits");

// An array cut short is handed over as nil with this mark.
constexpr long long cutShortMark = -1;

// Stands for every value read into an array that was cut short: never linked, never freed.
redisReply dropped{};

redisReply *parentOf(const redisReadTask *task)
{
    return task->parent ? static_cast<redisReply *>(task->parent->obj) : nullptr;
}

void freeObject(void *object)
{
    auto *reply = static_cast<redisReply *>(object);
    if (!reply || reply == &dropped)
        return;
    if (reply->type == REDIS_REPLY_ARRAY) {
        for (std::size_t index = 0; index < reply->elements; ++index)
            freeObject(reply->element[index]);
        std::free(reply->element);
    }
    std::free(reply->str);
    std::free(reply);
}

void cutShort(redisReply *array)
{
    for (std::size_t index = 0; index < array->elements; ++index)
        freeObject(array->element[index]);
    std::free(array->element);
    array->element = nullptr;
    array->elements = 0;
    array->type = REDIS_REPLY_NIL;
    array->integer = cutShortMark;
}

// Whether a value of this many bytes may join its array; an array that would grow past its
// bound is cut short instead. For arrays, integer counts the string bytes they hold.
bool admits(const redisReadTask *task, std::size_t bytes)
{
    redisReply *parent = parentOf(task);
    if (!parent)
        return true; // the reply itself
    if (parent == &dropped || isCutShort(parent))
        return false;
    if (bytes > std::size_t(maxArrayBytes) || parent->integer + qint64(bytes) > maxArrayBytes) {
        cutShort(parent);
        return false;
    }
    parent->integer += qint64(bytes);
    return true;
}

void *link(const redisReadTask *task, redisReply *reply)
{
    if (!reply)
        return nullptr; // hiredis reports it as out of memory
    if (redisReply *parent = parentOf(task))
        parent->element[task->idx] = reply;
    return reply;
}

redisReply *newReply(int type)
{
    auto *reply = static_cast<redisReply *>(std::calloc(1, sizeof(redisReply)));
    if (reply)
        reply->type = type;
    return reply;
}

void *createString(const redisReadTask *task, char *text, std::size_t length)
{
    if (!admits(task, length))
        return &dropped;
    redisReply *reply = newReply(task->type);
    if (!reply)
        return nullptr;
    reply->str = static_cast<char *>(std::malloc(length + 1));
    if (!reply->str) {
        std::free(reply);
        return nullptr;
    }
    std::memcpy(reply->str, text, length);
    reply->str[length] = '\0';
    reply->len = length;
    return link(task, reply);
}

void *createArray(const redisReadTask *task, int elements)
{
    if (!admits(task, 0))
        return &dropped;
    redisReply *reply = newReply(REDIS_REPLY_ARRAY);
    if (!reply)
        return nullptr;
    if (elements > maxArrayElements) {
        reply->type = REDIS_REPLY_NIL;
        reply->integer = cutShortMark;
    } else if (elements > 0) {
        reply->element = static_cast<redisReply **>(
                std::calloc(std::size_t(elements), sizeof(redisReply *)));
        if (!reply->element) {
            std::free(reply);
            return nullptr;
        }
        reply->elements = std::size_t(elements);
    }
    return link(task, reply);
}

void *createInteger(const redisReadTask *task, long long value)
{
    if (!admits(task, 0))
        return &dropped;
    redisReply *reply = newReply(REDIS_REPLY_INTEGER);
    if (reply)
        reply->integer = value;
    return link(task, reply);
}

void *createNil(const redisReadTask *task)
{
    if (!admits(task, 0))
        return &dropped;
    return link(task, newReply(REDIS_REPLY_NIL));
}

redisReplyObjectFunctions functions{createString, createArray, createInteger, createNil,
                                    freeObject};

} // namespace

void install(redisReader *reader)
{
    reader->fn = &functions;
}

bool isCutShort(const redisReply *reply)
{
    return reply && reply->type == REDIS_REPLY_NIL && reply->integer == cutShortMark;
}

} // namespace BoundedReplies
