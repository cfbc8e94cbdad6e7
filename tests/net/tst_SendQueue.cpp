#include "net/SendQueue.h"

#include <QtTest>

using socks::SendQueue;

namespace {

SendQueue::Chunk chunkOf(const QByteArray &bytes)
{
    return std::make_shared<const QByteArray>(bytes);
}

// What a writer would send now if the kernel took everything offered.
QByteArray offered(const SendQueue &queue, int maxVectors = 16)
{
    std::vector<iovec> vectors(static_cast<std::size_t>(maxVectors));
    const int count = queue.takeIovecs(vectors.data(), maxVectors);
    QByteArray bytes;
    for (int each = 0; each < count; ++each)
        bytes.append(static_cast<const char *>(vectors[std::size_t(each)].iov_base),
                     qsizetype(vectors[std::size_t(each)].iov_len));
    return bytes;
}

} // namespace

class TestSendQueue : public QObject
{
    Q_OBJECT

private slots:
    void offersTheSharedBytesInOrderWithoutCopying();
    void partialSendsResumeMidChunk_data();
    void partialSendsResumeMidChunk();
    void releasesAChunkOnceEveryQueueTookIt();
    void limitsTheVectorsOfOneWrite();
};

void TestSendQueue::offersTheSharedBytesInOrderWithoutCopying()
{
    SendQueue queue;
    const auto first = chunkOf("abc");
    queue.append(first);
    queue.append(chunkOf(QByteArray()));
    queue.append(chunkOf("de"));
    QCOMPARE(queue.bytesBehind(), 5);
    iovec vectors[4];
    QCOMPARE(queue.takeIovecs(vectors, 4), 2);
    // The vector points into the chunk itself: no copy per connection.
    QCOMPARE(vectors[0].iov_base, static_cast<const void *>(first->constData()));
    QCOMPARE(offered(queue), QByteArray("abcde"));
}

void TestSendQueue::partialSendsResumeMidChunk_data()
{
    QTest::addColumn<QList<int>>("sends");
    QTest::addColumn<QByteArray>("left");
    QTest::newRow("inside the first chunk") << QList<int>{2} << QByteArray("cdefgh");
    QTest::newRow("exactly one chunk") << QList<int>{3} << QByteArray("defgh");
    QTest::newRow("across a chunk border") << QList<int>{4} << QByteArray("efgh");
    QTest::newRow("several small sends") << QList<int>{1, 1, 3, 1} << QByteArray("gh");
    QTest::newRow("everything") << QList<int>{8} << QByteArray();
}

void TestSendQueue::partialSendsResumeMidChunk()
{
    QFETCH(QList<int>, sends);
    QFETCH(QByteArray, left);
    SendQueue queue;
    queue.append(chunkOf("abc"));
    queue.append(chunkOf("def"));
    queue.append(chunkOf("gh"));
    for (int sent : sends)
        queue.consume(sent);
    QCOMPARE(offered(queue), left);
    QCOMPARE(queue.bytesBehind(), left.size());
    QCOMPARE(queue.isEmpty(), left.isEmpty());
}

void TestSendQueue::releasesAChunkOnceEveryQueueTookIt()
{
    SendQueue fast;
    SendQueue slow;
    std::weak_ptr<const QByteArray> watched;
    {
        const auto chunk = chunkOf(QByteArray(1000, 'x'));
        watched = chunk;
        fast.append(chunk);
        slow.append(chunk);
    }
    fast.consume(1000);
    QVERIFY(!watched.expired());
    slow.consume(999);
    QVERIFY(!watched.expired());
    slow.consume(1);
    QVERIFY(watched.expired());

    const auto dropped = chunkOf("gone with the queue");
    watched = dropped;
    slow.append(dropped);
    slow.clear();
    QCOMPARE(slow.bytesBehind(), 0);
    QCOMPARE(dropped.use_count(), 1);
}

void TestSendQueue::limitsTheVectorsOfOneWrite()
{
    SendQueue queue;
    for (char letter = 'a'; letter <= 'z'; ++letter)
        queue.append(chunkOf(QByteArray(1, letter)));
    QCOMPARE(offered(queue, 3), QByteArray("abc"));
    queue.consume(25);
    QCOMPARE(offered(queue, 3), QByteArray("z"));
}

QTEST_APPLESS_MAIN(TestSendQueue)
#include "tst_SendQueue.moc"
