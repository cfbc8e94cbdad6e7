#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <cstddef>
#include <deque>
#include <optional>
#include <vector>

// The texts this relay took from its clients and has not yet read back from the stream, with
// their running numbers. A text leaves only when the relay reads back an entry that it certainly
// wrote itself, so nothing accepted is lost across a reconnection (every waiting text goes out
// again on the new connection) and no entry that someone else wrote in this relay's name can make
// it drop a text.
class Outbox
{
public:
    // Clients may have this much text waiting for Redis; past it their reading is paused, so TCP
    // slows them as it would for a slow reader, and reading resumes below half of it. What waits
    // here still reaches every reader after the room has stopped taking input for one that lags
    // (6 MiB behind), so it stays within the 2 MiB the room leaves before it drops a reader at
    // once (8 MiB, net/RelayPolicy): a flood that comes back through Redis gives a reader that
    // keeps reading the time to catch up.
    static constexpr qint64 maxWaitingBytes = 2 * 1024 * 1024;

    quint64 add(const QByteArray &payload); // returns the text's running number

    // The waiting texts not yet written on this connection, as many as one entry holds.
    struct Batch
    {
        quint64 seq = 0; // of the first
        std::vector<QByteArray> payloads;
    };
    std::optional<Batch> nextBatch();
    void rewind(); // a new connection: every waiting text goes out again

    // An entry in this relay's name, read back from the stream.
    enum class Verdict {
        Repeat, // every text of it was read back before: sent again after a reconnection
        Taken, // ours: its texts from firstNew on are relayed now and leave the outbox
        NotOurs, // numbers this relay never gave out, or texts other than those it gave them
    };
    struct Reading
    {
        Verdict verdict = Verdict::Repeat;
        std::size_t firstNew = 0;
        // Waiting texts numbered before the entry: they went missing from the stream (Redis lost
        // or trimmed them before they were read back) and leave with it.
        std::size_t missing = 0;
    };
    Reading readBack(quint64 seq, const std::vector<QByteArrayView> &payloads);

    // Whether the clients are to be held back; it changes only in add and readBack.
    bool full() const { return isFull; }
    std::size_t size() const { return waiting.size(); }
    qint64 bytes() const { return waitingBytes; }

private:
    struct Waiting
    {
        quint64 seq;
        QByteArray payload;
    };
    void updateFull();

    std::deque<Waiting> waiting;
    qint64 waitingBytes = 0;
    std::size_t sent = 0; // how many of waiting went out on this connection
    quint64 nextSeq = 1;
    bool isFull = false;
};
