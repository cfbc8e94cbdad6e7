#include "relay/bridge/RelayWatermarks.h"

#include <QtTest>

// Which texts of the other relays' entries a reader relays: each once, whatever someone else
// claims in their names.
class TestRelayWatermarks : public QObject
{
    Q_OBJECT

private slots:
    void relaysEachNumberOnce_data();
    void relaysEachNumberOnce();
    void forgetsTheRelayHeardFromLeastRecently();
};

namespace {

// "relay seq count" -> which of the entry's texts are relayed, as their indices ("-" for none),
// then "!" when the entry skipped numbers of a relay seen before.
QString admit(RelayWatermarks &watermarks, const QString &entry)
{
    const QStringList parts = entry.split(u' ');
    const RelayWatermarks::Admission admission = watermarks.admit(
            parts[0].toULongLong(nullptr, 16), parts[1].toULongLong(), parts[2].toULongLong());
    QString shown;
    for (std::size_t index : admission.fresh)
        shown += QString::number(index);
    if (shown.isEmpty())
        shown = QStringLiteral("-");
    if (admission.skippedNumbers)
        shown += u'!';
    return shown;
}

} // namespace

void TestRelayWatermarks::relaysEachNumberOnce_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("relayed");

    QTest::newRow("a relay's first entry") << QStringList{"a 1 3"} << QStringList{"012"};
    QTest::newRow("the next entry goes on from it")
            << QStringList{"a 1 3", "a 4 2"} << QStringList{"012", "01"};
    QTest::newRow("sent again after a reconnection")
            << QStringList{"a 1 3", "a 1 3"} << QStringList{"012", "-"};
    QTest::newRow("sent again with new texts in the same entry")
            << QStringList{"a 1 3", "a 2 4"} << QStringList{"012", "23"};
    QTest::newRow("relays count apart") << QStringList{"a 1 2", "b 1 2"} << QStringList{"01", "01"};
    QTest::newRow("a relay first heard of in mid-chat")
            << QStringList{"a 500 1", "a 501 1"} << QStringList{"0", "0"};
    QTest::newRow("a claim far ahead mutes nothing")
            << QStringList{"a 1 2", "a 18446744073709550616 1", "a 3 2", "a 4 3"}
            << QStringList{"01", "0!", "01", "12"};
    QTest::newRow("a claim just ahead hides only the numbers it names")
            << QStringList{"a 1 2", "a 4 2", "a 3 4"} << QStringList{"01", "01!", "03"};
    QTest::newRow("after entries lost with Redis's data the new run goes on")
            << QStringList{"a 1 2", "a 10 2", "a 12 1", "a 10 3"}
            << QStringList{"01", "01!", "0", "-"};
    QTest::newRow("a number behind what was seen, not seen before")
            << QStringList{"a 10 2", "a 5 1"} << QStringList{"01", "0!"};
    QTest::newRow("a flood of claims costs repeats, never texts")
            << QStringList{"a 1 1", "a 100 1", "a 200 1", "a 300 1", "a 400 1", "a 2 1", "a 2 1"}
            << QStringList{"0", "0!", "0!", "0!", "0!", "0!", "-"};
}

void TestRelayWatermarks::relaysEachNumberOnce()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, relayed);

    RelayWatermarks watermarks;
    QStringList shown;
    for (const QString &entry : entries)
        shown << admit(watermarks, entry);
    QCOMPARE(shown, relayed);
}

void TestRelayWatermarks::forgetsTheRelayHeardFromLeastRecently()
{
    RelayWatermarks watermarks;
    for (quint64 relay = 1; relay <= RelayWatermarks::maxRelays; ++relay)
        watermarks.admit(relay, 1, 1);
    QCOMPARE(watermarks.relayCount(), RelayWatermarks::maxRelays);
    // Relay 1 is heard from again; relay 2 is now the one heard from least recently.
    QVERIFY(watermarks.admit(1, 1, 1).fresh.empty());
    QCOMPARE(watermarks.admit(5000, 1, 1).fresh, std::vector<std::size_t>{0});
    QCOMPARE(watermarks.relayCount(), RelayWatermarks::maxRelays);
    QVERIFY(watermarks.admit(1, 1, 1).fresh.empty());
    QVERIFY(watermarks.admit(3, 1, 1).fresh.empty());
    // Forgotten: its repeat is taken for new.
    QCOMPARE(watermarks.admit(2, 1, 1).fresh, std::vector<std::size_t>{0});
}

QTEST_GUILESS_MAIN(TestRelayWatermarks)
#include "tst_RelayWatermarks.moc"
