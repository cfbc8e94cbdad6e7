#include "bench/DeliveryChecker.h"

#include <QStringList>
#include <QTest>

// Receipts are written "receiver<sender.sequence", in the order the tool would see them.
class TestDeliveryChecker : public QObject
{
    Q_OBJECT

private slots:
    void judgesReceipts_data();
    void judgesReceipts();
    void queuesClientsAheadOfTheReference();
};

void TestDeliveryChecker::judgesReceipts_data()
{
    QTest::addColumn<int>("clients");
    QTest::addColumn<bool>("receivesOwn");
    QTest::addColumn<int>("textsEach");
    QTest::addColumn<QString>("receipts");
    QTest::addColumn<int>("lost");
    QTest::addColumn<int>("misordered");
    QTest::addColumn<int>("corrupt");

    QTest::newRow("echo relay, one order for both")
            << 2 << true << 2 << "0<0.0 1<0.0 0<1.0 1<1.0 0<0.1 0<1.1 1<0.1 1<1.1" << 0 << 0 << 0;
    QTest::newRow("echo relay, one text missing at one client")
            << 2 << true << 2 << "0<0.0 1<0.0 0<1.0 1<1.0 0<0.1 0<1.1 1<1.1" << 1 << 0 << 0;
    QTest::newRow("echo relay, a text missing everywhere")
            << 2 << true << 1 << "0<0.0 1<0.0" << 2 << 0 << 0;
    QTest::newRow("echo relay, two clients disagree on the order")
            << 2 << true << 1 << "0<0.0 0<1.0 1<1.0 1<0.0" << 0 << 1 << 0;
    QTest::newRow("echo relay, a sender's texts swapped for everyone")
            << 2 << true << 2 << "0<0.1 0<0.0 1<0.1 1<0.0" << 4 << 2 << 0;
    QTest::newRow("echo relay, a text twice")
            << 1 << true << 2 << "0<0.0 0<0.0 0<0.1" << 0 << 1 << 0;
    QTest::newRow("echo relay, a sequence never sent")
            << 1 << true << 1 << "0<0.0 0<0.5" << 0 << 0 << 1;
    QTest::newRow("echo relay, a sender that does not exist")
            << 1 << true << 1 << "0<0.0 0<3.0" << 0 << 0 << 1;
    QTest::newRow("line relay, one order, nobody sees their own")
            << 3 << false << 1 << "1<0.0 2<0.0 0<1.0 2<1.0 0<2.0 1<2.0" << 0 << 0 << 0;
    QTest::newRow("line relay, the first receipt comes from a client that misses a text")
            << 3 << false << 1 << "0<1.0 2<0.0 2<1.0 1<0.0 0<2.0 1<2.0" << 0 << 0 << 0;
    QTest::newRow("line relay, a receiver sees the first client's text out of place")
            << 4 << false << 1
            << "1<0.0 1<2.0 1<3.0 0<2.0 0<1.0 0<3.0 2<0.0 2<1.0 2<3.0 3<2.0 3<0.0 3<1.0" << 0 << 1
            << 0;
    QTest::newRow("line relay, an echo it should not send")
            << 2 << false << 1 << "1<0.0 0<1.0 0<0.0" << 0 << 0 << 1;
    QTest::newRow("line relay, a receiver sees two others' texts swapped")
            << 4 << false << 1
            << "0<1.0 0<2.0 0<3.0 1<0.0 1<2.0 1<3.0 2<0.0 2<1.0 2<3.0 3<0.0 3<2.0 3<1.0" << 0 << 1
            << 0;
}

void TestDeliveryChecker::judgesReceipts()
{
    QFETCH(int, clients);
    QFETCH(bool, receivesOwn);
    QFETCH(int, textsEach);
    QFETCH(QString, receipts);

    bench::DeliveryChecker checker(clients, receivesOwn);
    for (int sender = 0; sender < clients; ++sender)
        for (int text = 0; text < textsEach; ++text)
            checker.noteSent(sender);
    const QStringList items = receipts.split(' ', Qt::SkipEmptyParts);
    for (const QString &item : items) {
        const int arrow = item.indexOf('<');
        const int dot = item.indexOf('.');
        checker.noteReceived(item.left(arrow).toInt(), item.mid(arrow + 1, dot - arrow - 1).toInt(),
                             item.mid(dot + 1).toUInt());
    }
    const bench::DeliveryChecker::Summary summary = checker.summarize();

    QTEST(int(summary.lost), "lost");
    QTEST(int(summary.misordered), "misordered");
    QTEST(int(summary.corrupt), "corrupt");
    const bool clean = summary.lost == 0 && summary.misordered == 0 && summary.corrupt == 0;
    QCOMPARE(summary.clean(), clean);
}

void TestDeliveryChecker::queuesClientsAheadOfTheReference()
{
    // Client 1 runs far ahead of the reference, client 0, which then reports one pair the other
    // way round: the disagreement is found once the places are known, not lost in the queue.
    bench::DeliveryChecker checker(2, true);
    for (int text = 0; text < 100; ++text) {
        checker.noteSent(0);
        checker.noteSent(1);
    }
    for (std::uint32_t sequence = 0; sequence < 100; ++sequence) {
        checker.noteReceived(1, 0, sequence);
        checker.noteReceived(1, 1, sequence);
    }
    for (std::uint32_t sequence = 0; sequence < 100; ++sequence) {
        checker.noteReceived(0, sequence == 50 ? 1 : 0, sequence);
        checker.noteReceived(0, sequence == 50 ? 0 : 1, sequence);
    }
    const bench::DeliveryChecker::Summary summary = checker.summarize();
    QCOMPARE(summary.lost, 0u);
    QCOMPARE(summary.delivered, 400u);
    QCOMPARE(summary.misordered, 1u);
}

QTEST_APPLESS_MAIN(TestDeliveryChecker)
#include "tst_DeliveryChecker.moc"
