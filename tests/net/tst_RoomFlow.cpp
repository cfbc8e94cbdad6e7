#include "net/RoomFlow.h"

#include <QtTest>

#include <memory>
#include <random>

using socks::FlowParty;
using socks::RelayLimits;
using socks::RoomFlow;

// Checked after every step of every room: the message is made only for a failure.
#define EXPECT(condition, what, value)                                                             \
    do {                                                                                           \
        if (!(condition))                                                                          \
            QFAIL(say(what, value));                                                               \
    } while (false)

namespace {

constexpr qint64 kibibyte = 1024;
constexpr qint64 mebibyte = 1024 * 1024;
constexpr qint64 stepMilliseconds = 10;
constexpr qint64 watchMilliseconds = 100; // the room's look while a reader is behind
constexpr qint64 readPerStep = 64 * kibibyte; // the room reads a sender's turn at most per step
constexpr qint64 chatText = kibibyte + 4; // 1 KiB and its header, 20 a second

enum class Kind {
    Chatter, // chats at 20 texts a second and reads fast: must never wait
    Flooder, // sends all it can and reads fast: paced, never dropped
    Hog, // sends all it can and never reads: slowed to its own pace
    Fast, // reads at 1 MB/s or more: never dropped for anyone's flood
    Slow, // reads under 1 MB/s, in random bursts and pauses
    Mute, // never reads
};

// A peer of the simulated room: what it sends, how it reads, what the room holds for it.
struct Peer
{
    Kind kind;
    qint64 rate = 0; // bytes a second it takes while it reads
    qint64 pauseEvery = 0, pauseFor = 0, phase = 0; // a rotating idle turn, in ms
    FlowParty party;
    qint64 backlog = 0, taken = 0, lastProgress = 0;
    qint64 nextText = 0; // a chatter's next text
    // Since when it holds another heavy sender back, and for how long before with breaks of
    // under the slow hold between.
    qint64 holdingSince = -1, heldEarlier = 0, lastHeld = -1000000;
    bool dropped = false;
};

struct Room
{
    explicit Room(std::mt19937 &random)
        : random(random)
    {}

    Peer &add(Kind kind, qint64 rate)
    {
        peers.push_back(std::make_unique<Peer>());
        Peer &peer = *peers.back();
        peer.kind = kind;
        peer.rate = rate;
        peer.lastProgress = now;
        flow.join(peer.party, int(peers.size()), now);
        return peer;
    }

    void drop(Peer &peer)
    {
        EXPECT(peer.kind != Kind::Chatter && peer.kind != Kind::Fast && peer.kind != Kind::Flooder,
               "a reader dropped that takes (B/s)", peer.rate);
        peer.dropped = true;
        flow.leave(peer.party);
    }

    bool reads(const Peer &peer) const
    {
        return peer.pauseEvery == 0 || (now + peer.phase) % peer.pauseEvery >= peer.pauseFor;
    }

    bool holdsOthers(const Peer &peer) const
    {
        if (!peer.party.behind)
            return false;
        for (const auto &other : peers) {
            if (other.get() != &peer && !other->dropped && other->party.heavy)
                return true;
        }
        return false;
    }

    void step()
    {
        now += stepMilliseconds;
        qint64 relayed = 0;
        for (auto &peer : peers) {
            if (peer->dropped)
                continue;
            qint64 sent = 0;
            if (peer->kind == Kind::Chatter) {
                EXPECT(peer->party.reading, "a chatter held", 0);
                for (; peer->nextText <= now; peer->nextText += 50)
                    sent += chatText;
            } else if ((peer->kind == Kind::Flooder || peer->kind == Kind::Hog)
                       && peer->party.reading) {
                sent = readPerStep;
            }
            if (sent > 0)
                flow.received(peer->party, sent, now);
            relayed += sent;
        }
        for (auto &peer : peers) {
            if (peer->dropped)
                continue;
            peer->backlog += relayed;
            const qint64 take = reads(*peer)
                    ? std::min(peer->backlog, peer->rate * stepMilliseconds / 1000)
                    : 0;
            peer->backlog -= take;
            peer->taken += take;
            if (take > 0 || peer->backlog == relayed)
                peer->lastProgress = now;
            if (peer->backlog > flow.bounds().maxBehindBytes) {
                drop(*peer);
                continue;
            }
            flow.reader(peer->party, peer->backlog, peer->taken, peer->lastProgress, now);
        }
        if (now % watchMilliseconds == 0) {
            flow.tick(now);
            for (FlowParty *party : flow.laggards(now))
                drop(*peers[std::size_t(party->index - 1)]);
        }
        flow.takeChanges();
        check();
    }

    // The failing seed and moment, to make a table row of.
    const char *say(const char *what, qint64 value)
    {
        message = QStringLiteral("seed %1 at %2 ms: %3 %4")
                          .arg(seed)
                          .arg(now)
                          .arg(QLatin1String(what))
                          .arg(value)
                          .toUtf8();
        return message.constData();
    }

    void check()
    {
        for (auto &peer : peers) {
            if (peer->dropped)
                continue;
            QVERIFY2(peer->backlog <= flow.bounds().maxBehindBytes, "over the hard bound");
            if (!holdsOthers(*peer)) {
                if (peer->holdingSince >= 0) {
                    peer->heldEarlier += now - peer->holdingSince;
                    peer->lastHeld = now;
                }
                peer->holdingSince = -1;
                continue;
            }
            if (peer->holdingSince < 0) {
                if (now - peer->lastHeld >= flow.bounds().slowHoldMilliseconds)
                    peer->heldEarlier = 0;
                peer->holdingSince = now;
            }
            const qint64 held = peer->heldEarlier + now - peer->holdingSince;
            // A reader that takes nothing holds anyone back for a second at most, one slower
            // than 1 MB/s for the slow hold and two looks (a held sender that paid its debt
            // back at one look is read, and held again, before the next); a crowd of them as
            // long as one.
            if (peer->kind == Kind::Mute || peer->kind == Kind::Hog)
                EXPECT(now - peer->holdingSince <= 1000, "a non-reader held others (ms)",
                       now - peer->holdingSince);
            if (peer->kind == Kind::Slow)
                EXPECT(held <= flow.bounds().slowHoldMilliseconds + 2 * watchMilliseconds,
                       "a slow reader held others (ms)", held);
        }
        // What a chatter sends reaches every other honest reader within a quarter second.
        for (auto &peer : peers) {
            if (!peer->dropped && (peer->kind == Kind::Chatter || peer->kind == Kind::Flooder))
                EXPECT(peer->backlog * 1000 / peer->rate <= 250, "an honest reader behind (ms)",
                       peer->backlog * 1000 / peer->rate);
        }
    }

    std::mt19937 &random;
    RoomFlow flow;
    std::vector<std::unique_ptr<Peer>> peers;
    qint64 now = 0;
    unsigned seed = 0;
    QByteArray message;
};

qint64 between(std::mt19937 &random, qint64 low, qint64 high)
{
    return std::uniform_int_distribution<qint64>(low, high)(random);
}

} // namespace

// The room's flow rule as properties over random rooms: floods, non-readers, slow readers in
// crowds that come and go, readers that take turns to pause. After every step of every room:
// a chatter is never held and reaches the honest readers within 250 ms, a reader at 1 MB/s or
// more is never dropped, a non-reader holds anyone back for a second at most, a slower reader
// for three, and no queue passes its hard bound.
class TestRoomFlow : public QObject
{
    Q_OBJECT

private slots:
    void keepsTheRoomFairWhateverThePeersDo();
    void decidesWhoIsReadFromOneSituation_data();
    void decidesWhoIsReadFromOneSituation();
};

void TestRoomFlow::keepsTheRoomFairWhateverThePeersDo()
{
    constexpr unsigned rooms = 200;
    constexpr qint64 roomMilliseconds = 20000;
    qint64 steps = 0;
    for (unsigned seed = 1; seed <= rooms; ++seed) {
        std::mt19937 random(seed);
        Room room(random);
        room.seed = seed;
        // Honest readers here outrun a flood: the relay reads a sender 6.4 MB/s at most.
        for (qint64 each = between(random, 1, 3); each > 0; --each)
            room.add(Kind::Chatter, between(random, 14, 100) * 1000 * 1000);
        for (qint64 each = between(random, 0, 2); each > 0; --each)
            room.add(Kind::Flooder, between(random, 14, 100) * 1000 * 1000);
        if (between(random, 0, 3) == 0)
            room.add(Kind::Hog, 0);
        if (between(random, 0, 1) == 0)
            room.add(Kind::Fast, between(random, 1000, 3000) * 1000);
        // Crowds of slow and silent readers, renewed at a random pace; some take turns to
        // pause, in two groups.
        const qint64 renewEvery = between(random, 300, 6000);
        const qint64 crowd = between(random, 0, 12);
        for (qint64 next = 0; room.now < roomMilliseconds; room.step(), ++steps) {
            if (QTest::currentTestFailed())
                return;
            if (room.now < next)
                continue;
            next = room.now + renewEvery;
            for (qint64 each = 0; each < crowd; ++each) {
                const bool mute = between(random, 0, 4) == 0;
                Peer &peer = room.add(mute ? Kind::Mute : Kind::Slow,
                                      mute ? 0 : between(random, 10, 990) * 1000);
                if (!mute && between(random, 0, 1) == 0) {
                    peer.pauseEvery = between(random, 500, 3000);
                    peer.pauseFor = between(random, 100, peer.pauseEvery / 2);
                    peer.phase = each % 2 == 0 ? 0 : peer.pauseEvery / 2;
                }
            }
        }
    }
    qInfo("%u rooms, %lld steps of %lld ms", rooms, steps, stepMilliseconds);
}

void TestRoomFlow::decidesWhoIsReadFromOneSituation_data()
{
    // One sender and one reader apart from it; the sender's input in the last second and the
    // reader's backlog: is the sender read?
    QTest::addColumn<qint64>("sent"); // in one go, a second ago
    QTest::addColumn<qint64>("sentNow");
    QTest::addColumn<qint64>("readerBacklog");
    QTest::addColumn<bool>("read");
    QTest::newRow("a paste of 60 KiB while a reader is behind")
            << qint64(0) << 60 * kibibyte << 5 * mebibyte << true;
    QTest::newRow("past the burst while a reader is behind: held")
            << qint64(0) << 65 * kibibyte << 5 * mebibyte << false;
    QTest::newRow("past the burst, nobody behind") << qint64(0) << mebibyte << 4 * mebibyte << true;
    QTest::newRow("past the burst a second ago, paid back 32 KiB since")
            << 96 * kibibyte << qint64(0) << 5 * mebibyte << true;
    QTest::newRow("past the burst a second ago, not paid back yet")
            << 97 * kibibyte << qint64(0) << 5 * mebibyte << false;
}

void TestRoomFlow::decidesWhoIsReadFromOneSituation()
{
    QFETCH(qint64, sent);
    QFETCH(qint64, sentNow);
    QFETCH(qint64, readerBacklog);
    QFETCH(bool, read);
    RoomFlow flow;
    FlowParty sender, reader;
    flow.join(sender, 1, 0);
    flow.join(reader, 2, 0);
    flow.received(sender, sent, 0);
    flow.received(sender, sentNow, 1000);
    flow.reader(reader, readerBacklog, 0, 1000, 1000);
    QCOMPARE(sender.reading, read);
    // A reader behind is never read itself: it sends faster than it reads.
    QCOMPARE(reader.reading, readerBacklog <= flow.bounds().pauseBytes);
}

QTEST_APPLESS_MAIN(TestRoomFlow)
#include "tst_RoomFlow.moc"
