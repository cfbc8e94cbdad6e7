#include "relay/bridge/RedisEventHooks.h"

#include <hiredis/async.h>

RedisEventHooks::RedisEventHooks(redisAsyncContext *context)
    : context(context)
    , reader(context->c.fd, QSocketNotifier::Read, this)
    , writer(context->c.fd, QSocketNotifier::Write, this)
{
    reader.setEnabled(false);
    writer.setEnabled(false);
    connect(&reader, &QSocketNotifier::activated, this, [this, context] {
        redisAsyncHandleRead(context);
        // A command the replies led to (the next XREAD) goes out before the relay turns to its
        // clients, so Redis can wait for the next entries meanwhile.
        writeNow();
    });
    connect(&writer, &QSocketNotifier::activated, this,
            [context] { redisAsyncHandleWrite(context); });
    context->ev.data = this;
    context->ev.addRead = [](void *data) {
        static_cast<RedisEventHooks *>(data)->reader.setEnabled(true);
    };
    context->ev.delRead = [](void *data) {
        static_cast<RedisEventHooks *>(data)->reader.setEnabled(false);
    };
    context->ev.addWrite = [](void *data) {
        static_cast<RedisEventHooks *>(data)->writer.setEnabled(true);
    };
    context->ev.delWrite = [](void *data) {
        static_cast<RedisEventHooks *>(data)->writer.setEnabled(false);
    };
    context->ev.cleanup = [](void *data) {
        auto *hooks = static_cast<RedisEventHooks *>(data);
        hooks->gone = true;
        for (QSocketNotifier *notifier : {&hooks->reader, &hooks->writer}) {
            notifier->setEnabled(false);
            notifier->disconnect(hooks);
        }
        hooks->deleteLater();
    };
}

RedisEventHooks *RedisEventHooks::of(const redisAsyncContext *context)
{
    return static_cast<RedisEventHooks *>(context->ev.data);
}

void RedisEventHooks::writeNow()
{
    if (!gone && writer.isEnabled() && (context->c.flags & REDIS_CONNECTED))
        redisAsyncHandleWrite(context);
}
