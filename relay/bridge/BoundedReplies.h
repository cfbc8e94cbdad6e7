#pragma once

#include <QtGlobal>

struct redisReader;
struct redisReply;

// hiredis takes a whole reply before the relay sees any of it, and Redis bounds one value
// (proto-max-bulk-len) but not how many values one entry holds. With these reply functions a
// reader keeps at most maxArrayBytes of strings and maxArrayElements elements in any one array;
// an array that holds more is cut short: what it held so far is freed, the rest is dropped as it
// is read, and it is handed over empty, marked (isCutShort). Nothing a relay writes comes near
// either bound, so one read of n entries keeps at most n * maxArrayBytes of them.
namespace BoundedReplies {

// One entry's fields: a relay's seq and relay fields, its payload field names and a frame's
// worth of payload, with room to spare.
constexpr qint64 maxArrayBytes = 1024 * 1024 + 64 * 1024;
// relay, seq and 256 payloads, each a name and a value.
constexpr int maxArrayElements = 2 * (256 + 2);

void install(redisReader *reader);
bool isCutShort(const redisReply *reply);

} // namespace BoundedReplies
