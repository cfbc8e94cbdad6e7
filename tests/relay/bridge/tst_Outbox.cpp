#include "relay/bridge/Outbox.h"
#include "relay/bridge/RelayWatermarks.h"

#include <QtTest>

#include <vector>

Q_DECLARE_METATYPE(Outbox::Verdict)

// What waits to be written to the stream, and that every text reaches every relay once however
// often the connection is lost: all without Redis.
class TestOutbox : public QObject
{
    Q_OBJECT

private slots:
    void groupsWaitingTextsIntoEntries_data();
    void groupsWaitingTextsIntoEntries();
    void holdsClientsBackPastItsBound_data();
    void holdsClientsBackPastItsBound();
    void letsTextsGoOnlyForItsOwnEntries_data();
    void letsTextsGoOnlyForItsOwnEntries();
    void eachTextArrivesOnceAcrossReconnections_data();
    void eachTextArrivesOnceAcrossReconnections();
};

namespace {

constexpr qsizetype kib = 1024;

std::vector<QByteArrayView> views(const QByteArrayList &payloads)
{
    return std::vector<QByteArrayView>(payloads.begin(), payloads.end());
}

// One relay's outbox with a stream, a connection to it and two readers: the relay itself and
// another one. Driven by a script of one-letter steps:
//   t  a client sends a text ("t0", "t1", ...)
//   s  the writer sends every waiting text not yet sent on this connection
//   x  Redis appends what was sent, in order
//   d  the connection drops: what was sent and not yet appended is gone; a new one starts
//   l  Redis loses its newest entry, as one restarted without its data would
//   r  the relay reads every new entry; o  the other relay does
struct Chat
{
    struct Entry
    {
        quint64 relay;
        quint64 seq;
        QByteArrayList payloads;
    };
    static constexpr quint64 ownRelay = 1;

    Outbox outbox;
    RelayWatermarks otherWatermarks;
    std::vector<Entry> stream;
    std::vector<Entry> sent;
    std::size_t ownPosition = 0;
    std::size_t otherPosition = 0;
    QByteArrayList ownShown;
    QByteArrayList otherShown;
    int texts = 0;

    void run(const QString &script)
    {
        for (const QChar step : script) {
            switch (step.toLatin1()) {
            case 't':
                outbox.add("t" + QByteArray::number(texts++));
                break;
            case 's':
                while (const std::optional<Outbox::Batch> batch = outbox.nextBatch())
                    sent.push_back(
                            {ownRelay, batch->seq,
                             QByteArrayList(batch->payloads.begin(), batch->payloads.end())});
                break;
            case 'x':
                stream.insert(stream.end(), sent.begin(), sent.end());
                sent.clear();
                break;
            case 'd':
                sent.clear();
                outbox.rewind();
                break;
            case 'l':
                stream.pop_back();
                ownPosition = std::min(ownPosition, stream.size());
                otherPosition = std::min(otherPosition, stream.size());
                break;
            case 'r':
                for (; ownPosition < stream.size(); ++ownPosition) {
                    const Entry &entry = stream[ownPosition];
                    const Outbox::Reading reading =
                            outbox.readBack(entry.seq, views(entry.payloads));
                    if (reading.verdict == Outbox::Verdict::Taken)
                        ownShown << entry.payloads.mid(qsizetype(reading.firstNew));
                }
                break;
            case 'o':
                for (; otherPosition < stream.size(); ++otherPosition) {
                    const Entry &entry = stream[otherPosition];
                    const RelayWatermarks::Admission admission = otherWatermarks.admit(
                            entry.relay, entry.seq, std::size_t(entry.payloads.size()));
                    for (std::size_t index : admission.fresh)
                        otherShown << entry.payloads[qsizetype(index)];
                }
                break;
            default:
                break; // spaces group the steps for reading
            }
        }
    }
};

} // namespace

void TestOutbox::groupsWaitingTextsIntoEntries_data()
{
    QTest::addColumn<QList<qsizetype>>("sizes");
    QTest::addColumn<QList<int>>("entries"); // texts per entry

    QTest::newRow("one text") << QList<qsizetype>{10} << QList<int>{1};
    QTest::newRow("a turn's texts in one entry") << QList<qsizetype>{10, 0, 30} << QList<int>{3};
    QTest::newRow("257 texts: 256 in one entry, then one")
            << QList<qsizetype>(257, 1) << QList<int>{256, 1};
    QTest::newRow("exactly 256 KiB together in one entry")
            << QList<qsizetype>{128 * kib, 128 * kib, 1} << QList<int>{2, 1};
    QTest::newRow("not a byte more than 256 KiB")
            << QList<qsizetype>{128 * kib, 128 * kib + 1} << QList<int>{1, 1};
    QTest::newRow("a frame of 1 MiB alone")
            << QList<qsizetype>{10, 1024 * kib, 10} << QList<int>{1, 1, 1};
}

void TestOutbox::groupsWaitingTextsIntoEntries()
{
    QFETCH(QList<qsizetype>, sizes);
    QFETCH(QList<int>, entries);

    Outbox outbox;
    for (qsizetype size : sizes)
        outbox.add(QByteArray(size, 'x'));
    QList<int> counts;
    quint64 nextSeq = 1;
    while (const std::optional<Outbox::Batch> batch = outbox.nextBatch()) {
        QCOMPARE(batch->seq, nextSeq);
        nextSeq += batch->payloads.size();
        counts << int(batch->payloads.size());
    }
    QCOMPARE(counts, entries);
    // Written once per connection: nothing more until a new one.
    QVERIFY(!outbox.nextBatch());
    outbox.rewind();
    QCOMPARE(outbox.nextBatch()->seq, quint64(1));
}

void TestOutbox::holdsClientsBackPastItsBound_data()
{
    // A positive step adds a text of that many KiB, a negative one reads back that many of the
    // oldest waiting texts.
    QTest::addColumn<QList<int>>("steps");
    QTest::addColumn<QList<bool>>("heldBack"); // after each step

    QTest::newRow("up to 2 MiB waiting: not held back")
            << QList<int>{1024, 1024} << QList<bool>{false, false};
    QTest::newRow("past 2 MiB: held back")
            << QList<int>{1024, 1024, 1} << QList<bool>{false, false, true};
    QTest::newRow("still held back at 1 MiB, let go below it")
            << QList<int>{1, 1023, 1024, 1, -1, -1, -1}
            << QList<bool>{false, false, false, true, true, true, false};
    QTest::newRow("held back while above 1 MiB, texts coming and going")
            << QList<int>{1024, 1024, 1, -1, 1024} << QList<bool>{false, false, true, true, true};
}

void TestOutbox::holdsClientsBackPastItsBound()
{
    QFETCH(QList<int>, steps);
    QFETCH(QList<bool>, heldBack);

    Outbox outbox;
    std::vector<std::pair<quint64, QByteArray>> waiting;
    std::size_t readBack = 0;
    for (qsizetype index = 0; index < steps.size(); ++index) {
        const int step = steps[index];
        if (step > 0) {
            const QByteArray payload(step * kib, char('a' + index % 26));
            waiting.emplace_back(outbox.add(payload), payload);
        }
        for (int count = 0; count < -step; ++count, ++readBack) {
            const auto &[seq, payload] = waiting[readBack];
            QCOMPARE(outbox.readBack(seq, {payload}).verdict, Outbox::Verdict::Taken);
        }
        QVERIFY2(outbox.full() == heldBack[index], qPrintable(QString::number(index)));
    }
}

void TestOutbox::letsTextsGoOnlyForItsOwnEntries_data()
{
    // The outbox holds t1 to t4 (numbers 1 to 4); readBefore of them were read back already.
    QTest::addColumn<int>("readBefore");
    QTest::addColumn<quint64>("seq");
    QTest::addColumn<QByteArrayList>("payloads");
    QTest::addColumn<Outbox::Verdict>("verdict");
    QTest::addColumn<int>("firstNew");
    QTest::addColumn<int>("missing");
    QTest::addColumn<int>("stillWaiting");

    QTest::newRow("its entry") << 0 << quint64(1) << QByteArrayList{"t1", "t2"}
                               << Outbox::Verdict::Taken << 0 << 0 << 2;
    QTest::newRow("its entry sent again after a reconnection")
            << 2 << quint64(1) << QByteArrayList{"t1", "t2"} << Outbox::Verdict::Repeat << 0 << 0
            << 2;
    QTest::newRow("a turn sent again with one more text")
            << 2 << quint64(1) << QByteArrayList{"t1", "t2", "t3"} << Outbox::Verdict::Taken << 2
            << 0 << 1;
    QTest::newRow("entries before it gone from the stream")
            << 0 << quint64(3) << QByteArrayList{"t3", "t4"} << Outbox::Verdict::Taken << 0 << 2
            << 0;
    QTest::newRow("a number far beyond any it gave out")
            << 0 << quint64(18446744073709550616ULL) << QByteArrayList{"x"}
            << Outbox::Verdict::NotOurs << 0 << 0 << 4;
    QTest::newRow("the next number, not given out yet")
            << 0 << quint64(5) << QByteArrayList{"t5"} << Outbox::Verdict::NotOurs << 0 << 0 << 4;
    QTest::newRow("its numbers on texts it did not write")
            << 0 << quint64(1) << QByteArrayList{"t1", "forged"} << Outbox::Verdict::NotOurs << 0
            << 0 << 4;
    QTest::newRow("its waiting number on another text")
            << 2 << quint64(3) << QByteArrayList{"forged"} << Outbox::Verdict::NotOurs << 0 << 0
            << 2;
    QTest::newRow("numbers read back long ago, on other texts: a repeat, never shown")
            << 2 << quint64(1) << QByteArrayList{"forged"} << Outbox::Verdict::Repeat << 0 << 0
            << 2;
}

void TestOutbox::letsTextsGoOnlyForItsOwnEntries()
{
    QFETCH(int, readBefore);
    QFETCH(quint64, seq);
    QFETCH(QByteArrayList, payloads);

    Outbox outbox;
    for (const QByteArray text : {"t1", "t2", "t3", "t4"})
        outbox.add(text);
    if (readBefore > 0) {
        const QByteArrayList before = QByteArrayList{"t1", "t2", "t3", "t4"}.mid(0, readBefore);
        QCOMPARE(outbox.readBack(1, views(before)).verdict, Outbox::Verdict::Taken);
    }
    const Outbox::Reading reading = outbox.readBack(seq, views(payloads));
    QTEST(reading.verdict, "verdict");
    if (reading.verdict == Outbox::Verdict::Taken) {
        QTEST(int(reading.firstNew), "firstNew");
        QTEST(int(reading.missing), "missing");
    }
    QTEST(int(outbox.size()), "stillWaiting");
}

void TestOutbox::eachTextArrivesOnceAcrossReconnections_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QByteArrayList>("shown"); // at both relays

    QTest::newRow("written and read back") << "t sx r o" << QByteArrayList{"t0"};
    QTest::newRow("the reply lost with the connection: written twice")
            << "t sx d sx r o" << QByteArrayList{"t0"};
    QTest::newRow("lost before Redis took it") << "t s d sx r o" << QByteArrayList{"t0"};
    QTest::newRow("the other relay reads between the two copies")
            << "t sx o d sx r o" << QByteArrayList{"t0"};
    QTest::newRow("a turn written again with a new text in the same entry")
            << "ttt sx d t sx r o" << QByteArrayList{"t0", "t1", "t2", "t3"};
    QTest::newRow("two reconnections before anything is read")
            << "tt sx d sx d t sx r o" << QByteArrayList{"t0", "t1", "t2"};
    QTest::newRow("read back in part, then a reconnection")
            << "t sx r t s x d sx r o" << QByteArrayList{"t0", "t1"};
    QTest::newRow("Redis lost its newest entry before anyone read it")
            << "t sx t sx l d sx r o" << QByteArrayList{"t0", "t1"};
    QTest::newRow("the other relay reads at every step")
            << "t o s o x o d o t s o x o r o" << QByteArrayList{"t0", "t1"};
}

void TestOutbox::eachTextArrivesOnceAcrossReconnections()
{
    QFETCH(QString, script);
    QFETCH(QByteArrayList, shown);

    Chat chat;
    chat.run(script);
    QCOMPARE(chat.ownShown, shown);
    QCOMPARE(chat.otherShown, shown);
    QCOMPARE(chat.outbox.size(), std::size_t(0));
}

QTEST_GUILESS_MAIN(TestOutbox)
#include "tst_Outbox.moc"
