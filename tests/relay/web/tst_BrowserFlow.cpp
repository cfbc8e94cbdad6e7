#include "relay/web/BrowserFlow.h"

#include <QtTest>

// How far a browser may fall behind: the room's reader rule applied to browsers' own copies.
class TestBrowserFlow : public QObject
{
    Q_OBJECT

private slots:
    void judgesReaders_data();
    void judgesReaders();
    void holdsReadingBetweenItsMarks_data();
    void holdsReadingBetweenItsMarks();
    void keepsAllCopiesWithinTheBudget_data();
    void keepsAllCopiesWithinTheBudget();
};

namespace {

constexpr qint64 mebibyte = 1024 * 1024;

} // namespace

void TestBrowserFlow::judgesReaders_data()
{
    QTest::addColumn<qint64>("behind");
    QTest::addColumn<qint64>("lastProgress");
    QTest::addColumn<qint64>("behindSince");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<int>("verdict");

    using Verdict = BrowserFlow::Verdict;
    QTest::newRow("keeping up") << qint64(1000) << qint64(99000) << qint64(-1) << qint64(100000)
                                << int(Verdict::Keep);
    QTest::newRow("nothing waits, long silent")
            << qint64(0) << qint64(0) << qint64(-1) << qint64(600000) << int(Verdict::Keep);
    QTest::newRow("at the hard bound")
            << 8 * mebibyte << qint64(0) << qint64(-1) << qint64(1) << int(Verdict::Keep);
    QTest::newRow("a byte over the hard bound")
            << 8 * mebibyte + 1 << qint64(0) << qint64(-1) << qint64(1) << int(Verdict::OverCap);
    QTest::newRow("holding reading back 4.9 s") << 3 * mebibyte << qint64(10000) << qint64(10000)
                                                << qint64(14900) << int(Verdict::Keep);
    QTest::newRow("holding reading back 5 s") << 3 * mebibyte << qint64(14000) << qint64(10000)
                                              << qint64(15000) << int(Verdict::Laggard);
    QTest::newRow("bytes wait, none taken 29.9 s")
            << qint64(10) << qint64(100) << qint64(-1) << qint64(30000) << int(Verdict::Keep);
    QTest::newRow("bytes wait, none taken 30 s")
            << qint64(10) << qint64(100) << qint64(-1) << qint64(30100) << int(Verdict::Stalled);
}

void TestBrowserFlow::judgesReaders()
{
    QFETCH(qint64, behind);
    QFETCH(qint64, lastProgress);
    QFETCH(qint64, behindSince);
    QFETCH(qint64, now);
    QFETCH(int, verdict);

    BrowserFlow::Reader reader;
    reader.behind = behind;
    reader.lastProgress = lastProgress;
    reader.behindSince = behindSince;
    QCOMPARE(int(BrowserFlow::judge(reader, now)), verdict);
}

void TestBrowserFlow::holdsReadingBetweenItsMarks_data()
{
    QTest::addColumn<bool>("holding");
    QTest::addColumn<qint64>("mostBehind");
    QTest::addColumn<qint64>("allBehind");
    QTest::addColumn<bool>("holds");

    QTest::newRow("reading, at 4 MiB") << false << 4 * mebibyte << 4 * mebibyte << false;
    QTest::newRow("reading, a byte over 4 MiB")
            << false << 4 * mebibyte + 1 << 4 * mebibyte + 1 << true;
    QTest::newRow("stopped, down to 3 MiB") << true << 3 * mebibyte << 3 * mebibyte << true;
    QTest::newRow("stopped, a byte over 2 MiB")
            << true << 2 * mebibyte + 1 << 2 * mebibyte + 1 << true;
    QTest::newRow("stopped, down to 2 MiB") << true << 2 * mebibyte << 2 * mebibyte << false;
    QTest::newRow("reading, 3 MiB") << false << 3 * mebibyte << 3 * mebibyte << false;
    QTest::newRow("reading, a crowd at 32 MiB together")
            << false << qint64(64 * 1024) << 32 * mebibyte << false;
    QTest::newRow("reading, a crowd a byte over 32 MiB")
            << false << qint64(64 * 1024) << 32 * mebibyte + 1 << true;
    QTest::newRow("stopped, the crowd down to 20 MiB")
            << true << qint64(64 * 1024) << 20 * mebibyte << true;
    QTest::newRow("stopped, the crowd down to 16 MiB")
            << true << qint64(64 * 1024) << 16 * mebibyte << false;
}

void TestBrowserFlow::holdsReadingBetweenItsMarks()
{
    QFETCH(bool, holding);
    QFETCH(qint64, mostBehind);
    QFETCH(qint64, allBehind);
    QFETCH(bool, holds);

    QCOMPARE(BrowserFlow::holdsReading(holding, mostBehind, allBehind), holds);
}

void TestBrowserFlow::keepsAllCopiesWithinTheBudget_data()
{
    QTest::addColumn<QList<qint64>>("behinds");
    QTest::addColumn<qint64>("budget");
    QTest::addColumn<QList<int>>("dropped");

    QTest::newRow("within") << QList<qint64>{10, 20, 30} << qint64(60) << QList<int>{};
    QTest::newRow("the furthest behind goes")
            << QList<qint64>{10, 40, 30} << qint64(50) << QList<int>{1};
    QTest::newRow("as many as it takes")
            << QList<qint64>{25, 40, 30, 5} << qint64(35) << QList<int>{1, 2};
    QTest::newRow("ties: the earlier first")
            << QList<qint64>{30, 30, 30} << qint64(70) << QList<int>{0};
    QTest::newRow("nobody behind") << QList<qint64>{} << qint64(0) << QList<int>{};
}

void TestBrowserFlow::keepsAllCopiesWithinTheBudget()
{
    QFETCH(QList<qint64>, behinds);
    QFETCH(qint64, budget);
    QFETCH(QList<int>, dropped);

    const std::vector<int> result =
            BrowserFlow::overBudget(std::vector<qint64>(behinds.begin(), behinds.end()), budget);
    QCOMPARE(QList<int>(result.begin(), result.end()), dropped);
}

QTEST_APPLESS_MAIN(TestBrowserFlow)
#include "tst_BrowserFlow.moc"
