#include "net/RelayPolicy.h"

#include <QtTest>

#include <climits>
#include <set>

using socks::ReaderState;
using socks::RelayPolicy;
using socks::RoomCount;
using socks::Standing;

Q_DECLARE_METATYPE(Standing)
Q_DECLARE_METATYPE(RelayPolicy::Verdict)

namespace {

constexpr qint64 mebibyte = 1024 * 1024;

} // namespace

// The rules run on the documented defaults: each row is a situation and what the room does.
class TestRelayPolicy : public QObject
{
    Q_OBJECT

private slots:
    // flow control
    void placesAReaderByItsBacklog_data();
    void placesAReaderByItsBacklog();
    void stopsInputOnlyWhenTheReadersAsAWholeAreBehind_data();
    void stopsInputOnlyWhenTheReadersAsAWholeAreBehind();
    void spendsAndRefillsTheLoneReadersBudget_data();
    void spendsAndRefillsTheLoneReadersBudget();
    void slowsASenderThatReadsSlowerThanItSends_data();
    void slowsASenderThatReadsSlowerThanItSends();

    // verdicts
    void judgesOneReader_data();
    void judgesOneReader();
    void measuresTheOthersByTheirMedian_data();
    void measuresTheOthersByTheirMedian();

    // unfinished frames
    void dropsTheLargestUnfinishedFramesFirst_data();
    void dropsTheLargestUnfinishedFramesFirst();

    // numbering
    void numbersConnectionsWithoutReuse_data();
    void numbersConnectionsWithoutReuse();
};

void TestRelayPolicy::placesAReaderByItsBacklog_data()
{
    QTest::addColumn<qint64>("behind");
    QTest::addColumn<qint64>("others"); // the others' median backlog
    QTest::addColumn<qint64>("lastProgress");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<Standing>("previous");
    QTest::addColumn<Standing>("standing");
    QTest::newRow("nothing waiting") << qint64(0) << qint64(0) << qint64(0) << qint64(100)
                                     << Standing::Near << Standing::Near;
    QTest::newRow("nothing waiting for a minute is not idle")
            << qint64(0) << qint64(0) << qint64(0) << qint64(60000) << Standing::Near
            << Standing::Near;
    QTest::newRow("2 MiB waiting, taking bytes")
            << 2 * mebibyte << qint64(0) << qint64(1000) << qint64(1100) << Standing::Near
            << Standing::Near;
    QTest::newRow("one byte past 2 MiB") << 2 * mebibyte + 1 << qint64(0) << qint64(1000)
                                         << qint64(1100) << Standing::Near << Standing::Behind;
    QTest::newRow("4 MiB waiting") << 4 * mebibyte << qint64(0) << qint64(1000) << qint64(1100)
                                   << Standing::Behind << Standing::Behind;
    QTest::newRow("one byte past 4 MiB") << 4 * mebibyte + 1 << qint64(0) << qint64(1000)
                                         << qint64(1100) << Standing::Behind << Standing::FarBehind;
    QTest::newRow("6 MiB behind others who keep up")
            << 6 * mebibyte << qint64(0) << qint64(1000) << qint64(1100) << Standing::FarBehind
            << Standing::FarBehind;
    QTest::newRow("a byte past 6 MiB behind others who keep up, still taking bytes: lagging")
            << 6 * mebibyte + 1 << qint64(0) << qint64(1000) << qint64(1100) << Standing::FarBehind
            << Standing::Lagging;
    QTest::newRow("9 MiB behind while the others are 4 MiB behind: far behind with them")
            << 9 * mebibyte << 4 * mebibyte << qint64(1000) << qint64(1100) << Standing::FarBehind
            << Standing::FarBehind;
    QTest::newRow("lagging, 5 MiB behind the others: lagging until within 4 MiB of them")
            << 6 * mebibyte << 1 * mebibyte << qint64(1000) << qint64(1100) << Standing::Lagging
            << Standing::Lagging;
    QTest::newRow("lagging, within 4 MiB of the others: no longer")
            << 5 * mebibyte << 1 * mebibyte << qint64(1000) << qint64(1100) << Standing::Lagging
            << Standing::FarBehind;
    QTest::newRow("one byte waiting, nothing taken for 499 ms")
            << qint64(1) << qint64(0) << qint64(1000) << qint64(1499) << Standing::Near
            << Standing::Near;
    QTest::newRow("one byte waiting, nothing taken for 500 ms: not reading now")
            << qint64(1) << qint64(0) << qint64(1000) << qint64(1500) << Standing::Near
            << Standing::Idle;
    QTest::newRow("lagging and not reading is idle: it stops nobody")
            << 7 * mebibyte << qint64(0) << qint64(1000) << qint64(2000) << Standing::Lagging
            << Standing::Idle;
}

void TestRelayPolicy::placesAReaderByItsBacklog()
{
    QFETCH(qint64, behind);
    QFETCH(qint64, others);
    QFETCH(qint64, lastProgress);
    QFETCH(qint64, now);
    QFETCH(Standing, previous);
    QFETCH(Standing, standing);
    QCOMPARE(RelayPolicy().standing(behind, others, lastProgress, now, previous), standing);
}

void TestRelayPolicy::stopsInputOnlyWhenTheReadersAsAWholeAreBehind_data()
{
    QTest::addColumn<bool>("held");
    QTest::addColumn<int>("near");
    QTest::addColumn<int>("behind"); // far behind ones included
    QTest::addColumn<int>("farBehind"); // lagging ones included
    QTest::addColumn<int>("lagging");
    QTest::addColumn<qint64>("lagBudget"); // ms lone readers may still stop everyone
    QTest::addColumn<bool>("holds");
    QTest::newRow("everyone keeping up") << false << 10 << 0 << 0 << 0 << qint64(2000) << false;
    QTest::newRow("one reader far behind among three keeps nobody waiting")
            << false << 3 << 1 << 1 << 0 << qint64(2000) << false;
    QTest::newRow("one reader lagging among thirty stops everyone while it catches up")
            << false << 30 << 1 << 1 << 1 << qint64(2000) << true;
    QTest::newRow("one reader lagging with the lone readers' budget spent stops nobody")
            << false << 30 << 1 << 1 << 1 << qint64(0) << false;
    QTest::newRow("one of two far behind is not more than half")
            << false << 1 << 1 << 1 << 0 << qint64(2000) << false;
    QTest::newRow("two of three far behind: the senders outrun the readers")
            << false << 1 << 2 << 2 << 0 << qint64(2000) << true;
    QTest::newRow("two of three far behind, the budget spent: still the whole room")
            << false << 1 << 2 << 2 << 0 << qint64(0) << true;
    QTest::newRow("a lone reader far behind is the whole room")
            << false << 0 << 1 << 1 << 0 << qint64(2000) << true;
    QTest::newRow("most readers behind but none far: reading goes on")
            << false << 1 << 3 << 0 << 0 << qint64(2000) << false;
    QTest::newRow("stopped: stays while more than half are still behind")
            << true << 1 << 2 << 0 << 0 << qint64(2000) << true;
    QTest::newRow("stopped: goes on once half are near")
            << true << 2 << 2 << 1 << 0 << qint64(2000) << false;
    QTest::newRow("stopped: goes on when every reader went idle")
            << true << 0 << 0 << 0 << 0 << qint64(2000) << false;
    QTest::newRow("a crowd of idle non-readers is not counted: three readers, none behind")
            << false << 3 << 0 << 0 << 0 << qint64(2000) << false;
}

void TestRelayPolicy::stopsInputOnlyWhenTheReadersAsAWholeAreBehind()
{
    QFETCH(bool, held);
    QFETCH(int, near);
    QFETCH(int, behind);
    QFETCH(int, farBehind);
    QFETCH(int, lagging);
    QFETCH(qint64, lagBudget);
    QFETCH(bool, holds);
    RoomCount count;
    count.near = near;
    count.behind = behind;
    count.farBehind = farBehind;
    count.lagging = lagging;
    QCOMPARE(RelayPolicy().holdsInput(held, count, lagBudget), holds);
}

void TestRelayPolicy::spendsAndRefillsTheLoneReadersBudget_data()
{
    QTest::addColumn<qint64>("budget");
    QTest::addColumn<qint64>("elapsed");
    QTest::addColumn<bool>("spending");
    QTest::addColumn<qint64>("after");
    QTest::newRow("a lone reader stops everyone for 0.3 s")
            << qint64(2000) << qint64(300) << true << qint64(1700);
    QTest::newRow("stopping everyone longer than the budget: spent, not below nothing")
            << qint64(500) << qint64(800) << true << qint64(0);
    QTest::newRow("a second of free flow earns half a second back")
            << qint64(0) << qint64(1000) << false << qint64(500);
    QTest::newRow("refilled to 2 s at most")
            << qint64(1900) << qint64(10000) << false << qint64(2000);
    QTest::newRow("a millisecond earns nothing yet")
            << qint64(100) << qint64(1) << false << qint64(100);
}

void TestRelayPolicy::spendsAndRefillsTheLoneReadersBudget()
{
    QFETCH(qint64, budget);
    QFETCH(qint64, elapsed);
    QFETCH(bool, spending);
    QFETCH(qint64, after);
    QCOMPARE(RelayPolicy().lagBudgetAfter(budget, elapsed, spending), after);
}

void TestRelayPolicy::slowsASenderThatReadsSlowerThanItSends_data()
{
    QTest::addColumn<bool>("held");
    QTest::addColumn<qint64>("behind");
    QTest::addColumn<bool>("holds");
    QTest::newRow("4 MiB behind: still read") << false << 4 * mebibyte << false;
    QTest::newRow("past 4 MiB: its input waits") << false << 4 * mebibyte + 1 << true;
    QTest::newRow("waiting, down to 3 MiB: still waits") << true << 3 * mebibyte << true;
    QTest::newRow("waiting, down to 2 MiB: read again") << true << 2 * mebibyte << false;
}

void TestRelayPolicy::slowsASenderThatReadsSlowerThanItSends()
{
    QFETCH(bool, held);
    QFETCH(qint64, behind);
    QFETCH(bool, holds);
    QCOMPARE(RelayPolicy().holdsOwnInput(held, behind), holds);
}

void TestRelayPolicy::judgesOneReader_data()
{
    QTest::addColumn<qint64>("behind");
    QTest::addColumn<qint64>("others"); // the others' median backlog
    QTest::addColumn<qint64>("lastProgress");
    QTest::addColumn<qint64>("lastInput");
    QTest::addColumn<qint64>("heldSince");
    QTest::addColumn<bool>("lagging"); // catching up in a hold of its own
    QTest::addColumn<bool>("unfinished");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<RelayPolicy::Verdict>("verdict");
    using Verdict = RelayPolicy::Verdict;
    QTest::newRow("keeping up") << qint64(4096) << qint64(0) << qint64(9000) << qint64(9000)
                                << qint64(-1) << false << false << qint64(10000) << Verdict::Keep;
    QTest::newRow("8 MiB behind others who keep up is kept")
            << 8 * mebibyte << qint64(0) << qint64(9000) << qint64(9000) << qint64(-1) << false
            << false << qint64(10000) << Verdict::Keep;
    QTest::newRow("one byte past 8 MiB behind others who keep up: a laggard, however recent "
                  "its progress")
            << 8 * mebibyte + 1 << qint64(0) << qint64(10000) << qint64(10000) << qint64(-1)
            << false << false << qint64(10000) << Verdict::Laggard;
    QTest::newRow("11 MiB behind while the others are 4 MiB behind: 7 MiB behind them, kept")
            << 11 * mebibyte << 4 * mebibyte << qint64(9000) << qint64(9000) << qint64(-1) << false
            << false << qint64(10000) << Verdict::Keep;
    QTest::newRow("a byte past 8 MiB behind others who are 3 MiB behind")
            << 11 * mebibyte + 1 << 3 * mebibyte << qint64(9000) << qint64(9000) << qint64(-1)
            << false << false << qint64(10000) << Verdict::Laggard;
    QTest::newRow("12 MiB behind with everyone: at the hard bound, kept")
            << 12 * mebibyte << 12 * mebibyte << qint64(9000) << qint64(9000) << qint64(-1) << false
            << false << qint64(10000) << Verdict::Keep;
    QTest::newRow("a byte past 12 MiB with everyone: past the hard bound")
            << 12 * mebibyte + 1 << 12 * mebibyte << qint64(9000) << qint64(9000) << qint64(-1)
            << false << false << qint64(10000) << Verdict::Laggard;
    QTest::newRow("held everyone's input for 4.9 s without a break")
            << 3 * mebibyte << 3 * mebibyte << qint64(9900) << qint64(0) << qint64(5100) << false
            << false << qint64(10000) << Verdict::Keep;
    QTest::newRow("held everyone's input for 5 s without a break")
            << 3 * mebibyte << 3 * mebibyte << qint64(9900) << qint64(0) << qint64(5000) << false
            << false << qint64(10000) << Verdict::Laggard;
    QTest::newRow("lagging alone, 10 MiB behind others who keep up: catching up in its hold")
            << 10 * mebibyte << qint64(0) << qint64(9900) << qint64(0) << qint64(9500) << true
            << false << qint64(10000) << Verdict::Keep;
    QTest::newRow("lagging alone, stopping everyone for 0.9 s")
            << 7 * mebibyte << qint64(0) << qint64(9900) << qint64(0) << qint64(9100) << true
            << false << qint64(10000) << Verdict::Keep;
    QTest::newRow("lagging alone, stopping everyone for 1 s: slower than the texts")
            << 7 * mebibyte << qint64(0) << qint64(9900) << qint64(0) << qint64(9000) << true
            << false << qint64(10000) << Verdict::Laggard;
    QTest::newRow("lagging in a hold of its own, past the hard bound")
            << 12 * mebibyte + 1 << qint64(0) << qint64(9900) << qint64(0) << qint64(9900) << true
            << false << qint64(10000) << Verdict::Laggard;
    QTest::newRow("bytes waiting, none taken for 29.9 s")
            << qint64(10) << qint64(0) << qint64(100) << qint64(30000) << qint64(-1) << false
            << false << qint64(30000) << Verdict::Keep;
    QTest::newRow("bytes waiting, none taken for 30 s")
            << qint64(10) << qint64(0) << qint64(0) << qint64(30000) << qint64(-1) << false << false
            << qint64(30000) << Verdict::Stalled;
    QTest::newRow("silent for 30 s with nothing to take or finish")
            << qint64(0) << qint64(0) << qint64(0) << qint64(0) << qint64(-1) << false << false
            << qint64(30000) << Verdict::Keep;
    QTest::newRow("a started frame without a byte for 30 s")
            << qint64(0) << qint64(0) << qint64(0) << qint64(0) << qint64(-1) << false << true
            << qint64(30000) << Verdict::Abandoned;
    QTest::newRow("a started frame whose last byte came 29.9 s ago")
            << qint64(0) << qint64(0) << qint64(0) << qint64(100) << qint64(-1) << false << true
            << qint64(30000) << Verdict::Keep;
}

void TestRelayPolicy::judgesOneReader()
{
    QFETCH(qint64, behind);
    QFETCH(qint64, others);
    QFETCH(qint64, lastProgress);
    QFETCH(qint64, lastInput);
    QFETCH(qint64, heldSince);
    QFETCH(bool, lagging);
    QFETCH(bool, unfinished);
    QFETCH(qint64, now);
    QFETCH(RelayPolicy::Verdict, verdict);
    ReaderState reader;
    reader.behind = behind;
    reader.lastProgress = lastProgress;
    reader.lastInput = lastInput;
    reader.heldSince = heldSince;
    reader.lagging = lagging;
    reader.unfinished = unfinished;
    QCOMPARE(RelayPolicy().judge(reader, others, now), verdict);
}

void TestRelayPolicy::measuresTheOthersByTheirMedian_data()
{
    QTest::addColumn<QList<qint64>>("backlogs"); // KiB, of the counted readers
    QTest::addColumn<qint64>("others"); // KiB
    QTest::newRow("no reader counted: measured from zero") << QList<qint64>{} << qint64(0);
    QTest::newRow("a lone reader is the others") << QList<qint64>{700} << qint64(700);
    QTest::newRow("one far reader among three does not move them")
            << QList<qint64>{9000, 10, 30} << qint64(30);
    QTest::newRow("two of four: the upper middle") << QList<qint64>{40, 10, 30, 20} << qint64(30);
    QTest::newRow("receive buffers of all sizes, a crowd behind")
            << QList<qint64>{2500, 128, 6000, 2600, 2400} << qint64(2500);
}

void TestRelayPolicy::measuresTheOthersByTheirMedian()
{
    QFETCH(QList<qint64>, backlogs);
    QFETCH(qint64, others);
    std::vector<qint64> bytes;
    for (const qint64 each : backlogs)
        bytes.push_back(each * 1024);
    QCOMPARE(RelayPolicy::othersBehind(bytes), others * 1024);
}

void TestRelayPolicy::dropsTheLargestUnfinishedFramesFirst_data()
{
    QTest::addColumn<QList<qint64>>("held"); // MiB each connection's unfinished frame holds
    QTest::addColumn<QList<int>>("dropped"); // positions, in the order they go
    QTest::newRow("64 MiB in all fit the budget") << QList<qint64>{32, 16, 16} << QList<int>{};
    QTest::newRow("one MiB over: the largest goes") << QList<qint64>{10, 40, 15} << QList<int>{1};
    QTest::newRow("largest first until the rest fit")
            << QList<qint64>{27, 30, 20, 28} << QList<int>{1, 3};
    QTest::newRow("equal holders: the older connection first")
            << QList<qint64>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                             1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                             1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}
            << QList<int>{0, 1};
}

void TestRelayPolicy::dropsTheLargestUnfinishedFramesFirst()
{
    QFETCH(QList<qint64>, held);
    QFETCH(QList<int>, dropped);
    std::vector<qint64> bytes;
    for (const qint64 each : held)
        bytes.push_back(each * mebibyte);
    QList<int> chosen;
    for (const std::size_t each : RelayPolicy().overBudget(bytes))
        chosen.append(int(each));
    QCOMPARE(chosen, dropped);
}

void TestRelayPolicy::numbersConnectionsWithoutReuse_data()
{
    QTest::addColumn<int>("last");
    QTest::addColumn<QList<int>>("inUse");
    QTest::addColumn<int>("next");
    QTest::newRow("the first connection is 1") << 0 << QList<int>{} << 1;
    QTest::newRow("the next number after the last one given") << 7 << QList<int>{3} << 8;
    QTest::newRow("numbers still in use are skipped") << 1 << QList<int>{2, 3} << 4;
    QTest::newRow("after INT_MAX: 1 again, never 0") << INT_MAX << QList<int>{} << 1;
    QTest::newRow("after INT_MAX: skipping those still in use")
            << INT_MAX << QList<int>{1, 2, 4} << 3;
}

void TestRelayPolicy::numbersConnectionsWithoutReuse()
{
    QFETCH(int, last);
    QFETCH(QList<int>, inUse);
    QFETCH(int, next);
    const std::set<int> used(inUse.begin(), inUse.end());
    QCOMPARE(RelayPolicy::nextNumber(last, [&used](int number) { return used.count(number) > 0; }),
             next);
}

QTEST_APPLESS_MAIN(TestRelayPolicy)
#include "tst_RelayPolicy.moc"
