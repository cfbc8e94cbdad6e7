#include "net/RelayPolicy.h"

#include <QtTest>

#include <climits>
#include <set>

using socks::ReaderState;
using socks::RelayPolicy;

Q_DECLARE_METATYPE(RelayPolicy::Verdict)

namespace {

constexpr qint64 mebibyte = 1024 * 1024;

} // namespace

// The rules run on the documented defaults: each row is a situation and what the room does.
class TestRelayPolicy : public QObject
{
    Q_OBJECT

private slots:
    // verdicts
    void judgesOneReader_data();
    void judgesOneReader();

    // unfinished frames
    void dropsTheLargestUnfinishedFramesFirst_data();
    void dropsTheLargestUnfinishedFramesFirst();

    // numbering
    void numbersConnectionsWithoutReuse_data();
    void numbersConnectionsWithoutReuse();
};

void TestRelayPolicy::judgesOneReader_data()
{
    QTest::addColumn<qint64>("behind");
    QTest::addColumn<qint64>("lastProgress");
    QTest::addColumn<qint64>("lastInput");
    QTest::addColumn<bool>("unfinished");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<RelayPolicy::Verdict>("verdict");
    using Verdict = RelayPolicy::Verdict;
    QTest::newRow("keeping up") << qint64(4096) << qint64(9000) << qint64(9000) << false
                                << qint64(10000) << Verdict::Keep;
    QTest::newRow("12 MiB behind: at the hard bound, kept")
            << 12 * mebibyte << qint64(9000) << qint64(9000) << false << qint64(10000)
            << Verdict::Keep;
    QTest::newRow("a byte past 12 MiB: past the hard bound, however recent its progress")
            << 12 * mebibyte + 1 << qint64(10000) << qint64(10000) << false << qint64(10000)
            << Verdict::Laggard;
    QTest::newRow("bytes waiting, none taken for 29.9 s")
            << qint64(10) << qint64(100) << qint64(30000) << false << qint64(30000)
            << Verdict::Keep;
    QTest::newRow("bytes waiting, none taken for 30 s")
            << qint64(10) << qint64(0) << qint64(30000) << false << qint64(30000)
            << Verdict::Stalled;
    QTest::newRow("silent for 30 s with nothing to take or finish")
            << qint64(0) << qint64(0) << qint64(0) << false << qint64(30000) << Verdict::Keep;
    QTest::newRow("a started frame without a byte for 30 s")
            << qint64(0) << qint64(0) << qint64(0) << true << qint64(30000) << Verdict::Abandoned;
    QTest::newRow("a started frame whose last byte came 29.9 s ago")
            << qint64(0) << qint64(0) << qint64(100) << true << qint64(30000) << Verdict::Keep;
}

void TestRelayPolicy::judgesOneReader()
{
    QFETCH(qint64, behind);
    QFETCH(qint64, lastProgress);
    QFETCH(qint64, lastInput);
    QFETCH(bool, unfinished);
    QFETCH(qint64, now);
    QFETCH(RelayPolicy::Verdict, verdict);
    ReaderState reader;
    reader.behind = behind;
    reader.lastProgress = lastProgress;
    reader.lastInput = lastInput;
    reader.unfinished = unfinished;
    QCOMPARE(RelayPolicy().judge(reader, now), verdict);
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
