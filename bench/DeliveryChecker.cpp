#include "bench/DeliveryChecker.h"

namespace bench {

DeliveryChecker::DeliveryChecker(int clients, bool senderReceivesOwn)
    : clientCount(clients)
    , receivesOwn(senderReceivesOwn)
    , sentCounts(std::size_t(clients), 0)
    , pairs(std::size_t(clients) * std::size_t(clients))
    , queued(std::size_t(clients))
{
    const int referenceCount = receivesOwn || clients < 2 ? 1 : 2;
    references.resize(std::size_t(referenceCount));
    for (int index = 0; index < referenceCount; ++index) {
        references[std::size_t(index)].client = index;
        references[std::size_t(index)].places.resize(std::size_t(clients));
        references[std::size_t(index)].lastPlaces.assign(std::size_t(clients), 0);
    }
}

void DeliveryChecker::noteSent(int sender)
{
    ++sentCounts[std::size_t(sender)];
}

void DeliveryChecker::noteReceived(int receiver, int sender, std::uint32_t sequence)
{
    if (sender < 0 || sender >= clientCount || (!receivesOwn && sender == receiver)
        || sequence >= sentCounts[std::size_t(sender)]) {
        ++corrupt;
        return;
    }
    ++delivered;
    Pair &fromSender = pair(receiver, sender);
    ++fromSender.received;
    bool faulted = false;
    if (sequence >= fromSender.nextSequence) {
        fromSender.nextSequence = sequence + 1;
    } else {
        faulted = true; // late, or a duplicate
        ++misordered;
    }

    for (Reference &reference : references) {
        if (receiver != reference.client)
            continue;
        std::vector<std::uint32_t> &senderPlaces = reference.places[std::size_t(sender)];
        if (senderPlaces.size() <= sequence)
            senderPlaces.resize(std::size_t(sequence) + 1 + senderPlaces.size() / 2, 0);
        if (senderPlaces[sequence] == 0)
            senderPlaces[sequence] = reference.nextPlace++;
    }
    queued[std::size_t(receiver)].push_back(std::uint64_t(sender) << 33
                                            | std::uint64_t(sequence) << 1 | (faulted ? 1u : 0u));
    judgeQueued(receiver, false);
}

void DeliveryChecker::judgeQueued(int receiver, bool final)
{
    std::deque<std::uint64_t> &waiting = queued[std::size_t(receiver)];
    while (!waiting.empty()) {
        const std::uint64_t receipt = waiting.front();
        const auto sender = int(receipt >> 33);
        const auto sequence = std::size_t((receipt >> 1) & 0xffffffffu);
        if (!final) {
            for (const Reference &reference : references) {
                const std::vector<std::uint32_t> &senderPlaces =
                        reference.places[std::size_t(sender)];
                if (sees(reference, sender)
                    && (sequence >= senderPlaces.size() || senderPlaces[sequence] == 0))
                    return; // this reference has not seen it yet
            }
        }
        waiting.pop_front();
        bool inPlace = true;
        for (Reference &reference : references) {
            const std::vector<std::uint32_t> &senderPlaces = reference.places[std::size_t(sender)];
            const std::uint32_t place = sequence < senderPlaces.size() ? senderPlaces[sequence] : 0;
            if (place == 0)
                continue; // never seen there: a loss at the reference, counted as such
            std::uint32_t &lastPlace = reference.lastPlaces[std::size_t(receiver)];
            if (place > lastPlace)
                lastPlace = place;
            else
                inPlace = false;
        }
        if (!inPlace && (receipt & 1u) == 0)
            ++misordered;
    }
}

void DeliveryChecker::noteCorrupt()
{
    ++corrupt;
}

DeliveryChecker::Summary DeliveryChecker::summarize()
{
    for (int receiver = 0; receiver < clientCount; ++receiver)
        judgeQueued(receiver, true);
    Summary summary;
    summary.delivered = delivered;
    summary.misordered = misordered;
    summary.corrupt = corrupt;
    for (int receiver = 0; receiver < clientCount; ++receiver) {
        for (int sender = 0; sender < clientCount; ++sender) {
            if (!receivesOwn && sender == receiver)
                continue;
            const std::uint64_t sent = sentCounts[std::size_t(sender)];
            const std::uint64_t received = pair(receiver, sender).received;
            summary.expected += sent;
            if (received < sent)
                summary.lost += sent - received;
        }
    }
    return summary;
}

} // namespace bench
