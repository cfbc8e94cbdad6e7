#include "relay/web/BrowserOutbox.h"

#include <QtTest>

// How much of a browser's backlog goes to its socket at a time: whole chunks, while the socket
// holds less than its window.
class TestBrowserOutbox : public QObject
{
    Q_OBJECT

private slots:
    void handsChunksWithinTheWindow_data();
    void handsChunksWithinTheWindow();
    void handsTheSharedChunksThemselvesInOrder();
};

namespace {

using Chunk = BrowserOutbox::Chunk;

Chunk chunkOf(int size, char fill = 'x')
{
    return std::make_shared<const QByteArray>(size, fill);
}

} // namespace

void TestBrowserOutbox::handsChunksWithinTheWindow_data()
{
    QTest::addColumn<QList<int>>("queued"); // chunk sizes, oldest first
    QTest::addColumn<qint64>("socketBytes"); // what the socket holds unsent at first
    QTest::addColumn<QList<int>>("handed"); // what a socket that takes nothing meanwhile gets
    QTest::addColumn<qint64>("left");

    QTest::newRow("an empty socket takes chunks until it holds its window")
            << QList<int>{6000, 6000, 6000, 6000} << qint64(0) << QList<int>{6000, 6000, 6000}
            << qint64(6000);
    QTest::newRow("a socket that holds its window takes none")
            << QList<int>{100} << qint64(16384) << QList<int>{} << qint64(100);
    QTest::newRow("a byte below the window takes one more")
            << QList<int>{100, 100} << qint64(16383) << QList<int>{100} << qint64(100);
    QTest::newRow("a chunk larger than the window goes whole")
            << QList<int>{300000, 10} << qint64(0) << QList<int>{300000} << qint64(10);
    QTest::newRow("nothing queued") << QList<int>{} << qint64(0) << QList<int>{} << qint64(0);
    QTest::newRow("an empty chunk is not kept")
            << QList<int>{0, 52} << qint64(0) << QList<int>{52} << qint64(0);
}

void TestBrowserOutbox::handsChunksWithinTheWindow()
{
    QFETCH(QList<int>, queued);
    QFETCH(qint64, socketBytes);
    QFETCH(QList<int>, handed);
    QFETCH(qint64, left);

    BrowserOutbox outbox;
    for (const int size : queued)
        outbox.append(chunkOf(size));
    QList<int> got;
    // Bounded: the outbox holds no more chunks than were queued.
    for (int round = 0; round <= queued.size(); ++round) {
        const Chunk chunk = outbox.next(socketBytes);
        if (!chunk)
            break;
        got << int(chunk->size());
        socketBytes += chunk->size();
    }
    QCOMPARE(got, handed);
    QCOMPARE(outbox.queuedBytes(), left);
    QCOMPARE(outbox.isEmpty(), left == 0);
}

void TestBrowserOutbox::handsTheSharedChunksThemselvesInOrder()
{
    // A browser's backlog is references to the room's chunks, not copies of them.
    const Chunk first = chunkOf(5000, 'a');
    const Chunk second = chunkOf(5000, 'b');
    BrowserOutbox outbox;
    outbox.append(first);
    outbox.append(second);
    QCOMPARE(first.use_count(), 2);
    QCOMPARE(outbox.next(0).get(), first.get());
    QCOMPARE(outbox.next(5000).get(), second.get());
    QCOMPARE(first.use_count(), 1);
    QVERIFY(outbox.next(0) == nullptr);

    outbox.append(chunkOf(7));
    outbox.clear();
    QCOMPARE(outbox.queuedBytes(), qint64(0));
    QVERIFY(outbox.next(0) == nullptr);
}

QTEST_APPLESS_MAIN(TestBrowserOutbox)
#include "tst_BrowserOutbox.moc"
