#pragma once

#include "relay/bridge/RedisCommand.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <vector>

// The texts one relay took from its clients in one turn, as it puts them into the stream: the
// payload bytes of their frames in their order, the relay and its running number for the first
// of them (the next ones follow it by one). One entry a turn, not one a text, is what keeps Redis
// and the relays' reading from setting the pace of a busy chat.
struct StreamEntry
{
    std::vector<QByteArrayView> payloads; // into the fields given to readStreamEntry
    quint64 relay = 0;
    quint64 seq = 0;

    quint64 lastSeq() const { return seq + payloads.size() - 1; }
};

// An entry holds at most this many texts and, unless it holds a single text, this many payload
// bytes; no entry holds more payload than one frame may carry.
constexpr int maxTextsPerEntry = 256;
constexpr qint64 maxEntryBytes = 256 * 1024;
// The stream keeps about this many entries (approximate trimming is cheap for Redis): a relay
// that was away longer than it takes the chat to write them misses the oldest.
constexpr int streamLength = 100000;

// The XADD that appends payloads as one entry of relay, numbered from seq.
RedisCommand addCommand(const QByteArray &streamKey, quint64 relay, quint64 seq,
                        const std::vector<QByteArray> &payloads);

// Checks the fields of a stream entry (field, value, field, value, ...) as written by a relay:
// one relay, one seq and 1 to maxTextsPerEntry payloads, no more payload bytes together than a
// frame may carry. Anything else was not written by a relay and is never relayed; reason says
// what was wrong.
std::optional<StreamEntry> readStreamEntry(const std::vector<QByteArrayView> &fieldsAndValues,
                                           QString *reason);

// Compares two stream IDs ("milliseconds-sequence"); a malformed one counts as 0-0.
int compareStreamIds(const QByteArray &left, const QByteArray &right);
