#include "relay/bridge/Outbox.h"

#include "relay/bridge/StreamEntry.h"

#include <algorithm>

quint64 Outbox::add(const QByteArray &payload)
{
    waiting.push_back({nextSeq, payload});
    waitingBytes += payload.size();
    updateFull();
    return nextSeq++;
}

std::optional<Outbox::Batch> Outbox::nextBatch()
{
    if (sent == waiting.size())
        return std::nullopt;
    Batch batch;
    batch.seq = waiting[sent].seq;
    qint64 bytes = 0;
    // A single text may be larger than an entry's bytes; more than one stay within them.
    while (sent < waiting.size() && batch.payloads.size() < std::size_t(maxTextsPerEntry)
           && (batch.payloads.empty() || bytes + waiting[sent].payload.size() <= maxEntryBytes)) {
        bytes += waiting[sent].payload.size();
        batch.payloads.push_back(waiting[sent++].payload);
    }
    return batch;
}

void Outbox::rewind()
{
    sent = 0;
}

Outbox::Reading Outbox::readBack(quint64 seq, const std::vector<QByteArrayView> &payloads)
{
    Reading reading;
    if (payloads.empty())
        return reading;
    const quint64 last = seq + payloads.size() - 1;
    if (last < seq || last >= nextSeq) {
        reading.verdict = Verdict::NotOurs;
        return reading;
    }
    const quint64 front = waiting.empty() ? nextSeq : waiting.front().seq;
    if (last < front)
        return reading; // a repeat
    const quint64 first = std::max(seq, front);
    for (quint64 number = first; number <= last; ++number) {
        if (waiting[std::size_t(number - front)].payload != payloads[std::size_t(number - seq)]) {
            reading.verdict = Verdict::NotOurs;
            return reading;
        }
    }
    reading.verdict = Verdict::Taken;
    reading.firstNew = std::size_t(first - seq);
    reading.missing = std::size_t(first - front);
    const std::size_t leaving = std::size_t(last - front + 1);
    for (std::size_t index = 0; index < leaving; ++index) {
        waitingBytes -= waiting.front().payload.size();
        waiting.pop_front();
    }
    sent = sent > leaving ? sent - leaving : 0;
    updateFull();
    return reading;
}

void Outbox::updateFull()
{
    if (!isFull && waitingBytes > maxWaitingBytes)
        isFull = true;
    else if (isFull && waitingBytes < maxWaitingBytes / 2)
        isFull = false;
}
