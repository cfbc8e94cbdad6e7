#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace bench {

// Judges what the clients received against what they sent, one text at a time, so that a run of
// millions of deliveries needs memory per text sent, not per delivery.
//
// Order: a reference client's receipts give every text it sees a place in the one global order,
// and every client must see those places rising and each sender's texts in sequence. A client
// ahead of the reference keeps its receipts in a queue until their places are known. Client 0 is
// the reference; when senders do not receive their own texts, client 1 is a second one for client
// 0's texts (only the order of a text of client 0 against one of client 1 then goes unchecked).
// A text seen out of place counts once as misordered. A gap is not yet a fault (the text may
// still come): what never came is counted as lost at the end.
class DeliveryChecker
{
public:
    struct Summary
    {
        std::uint64_t expected = 0; // deliveries a faultless relay makes for the texts sent
        std::uint64_t delivered = 0; // data texts received, whatever their fate
        std::uint64_t lost = 0;
        std::uint64_t misordered = 0;
        std::uint64_t corrupt = 0; // cut, spliced, foreign, or an echo that should not come

        bool clean() const { return lost == 0 && misordered == 0 && corrupt == 0; }
    };

    // senderReceivesOwn: the relay sends each text back to its sender too.
    DeliveryChecker(int clients, bool senderReceivesOwn);

    // Sequences are counted from 0 per sender, in sending order.
    void noteSent(int sender);
    void noteReceived(int receiver, int sender, std::uint32_t sequence);
    void noteCorrupt();

    std::uint64_t sentBy(int sender) const { return sentCounts[std::size_t(sender)]; }
    // Judges what is still queued, so call it once, when the run is over.
    Summary summarize();

private:
    struct Pair
    {
        std::uint32_t nextSequence = 0;
        std::uint32_t received = 0;
    };

    Pair &pair(int receiver, int sender)
    {
        return pairs[std::size_t(receiver) * std::size_t(clientCount) + std::size_t(sender)];
    }

    struct Reference
    {
        int client = 0;
        std::vector<std::vector<std::uint32_t>> places; // per sender, per sequence; 0: not yet
        std::vector<std::uint32_t> lastPlaces; // per receiver; 0: nothing seen yet
        std::uint32_t nextPlace = 1;
    };

    bool sees(const Reference &reference, int sender) const
    {
        return receivesOwn || sender != reference.client;
    }
    void judgeQueued(int receiver, bool final);

    int clientCount;
    bool receivesOwn;
    std::vector<std::uint64_t> sentCounts;
    std::vector<Pair> pairs; // receiver-major
    std::vector<Reference> references;
    // Per receiver: receipts awaiting their place, packed as sender << 33 | sequence << 1 | faulted.
    std::vector<std::deque<std::uint64_t>> queued;
    std::uint64_t delivered = 0;
    std::uint64_t misordered = 0;
    std::uint64_t corrupt = 0;
};

} // namespace bench
