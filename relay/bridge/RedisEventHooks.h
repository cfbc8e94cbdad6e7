#pragma once

#include <QObject>
#include <QSocketNotifier>

struct redisAsyncContext;

// Lets hiredis watch its socket from the Qt event loop. hiredis asks to watch for writing around
// every command it sends, so the two notifiers live as long as the connection and are only
// switched on and off; they go with deleteLater, since hiredis may drop the connection inside
// their own signal. Created for a new connection, owned by it: hiredis's cleanup retires it.
class RedisEventHooks : public QObject
{
public:
    explicit RedisEventHooks(redisAsyncContext *context);

    static RedisEventHooks *of(const redisAsyncContext *context);

    // Writes the commands hiredis holds at once rather than after another wait for the socket.
    // Never from inside a reply callback: a failed write frees the connection. Not while
    // connecting either: hiredis would take the connection for made.
    void writeNow();

private:
    redisAsyncContext *context;
    QSocketNotifier reader;
    QSocketNotifier writer;
    bool gone = false; // hiredis has freed the connection
};
