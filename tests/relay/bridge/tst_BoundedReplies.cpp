#include "relay/bridge/BoundedReplies.h"

#include <QtTest>

#include <hiredis/hiredis.h>
#include <memory>

// What a reader keeps of one XREAD reply, fed to hiredis's parser as Redis would send it.
class TestBoundedReplies : public QObject
{
    Q_OBJECT

private slots:
    void keepsEntriesUpToTheirBound_data();
    void keepsEntriesUpToTheirBound();
    void aWaitThatRanOutIsNotCutShort();
};

namespace {

using ReaderPointer = std::unique_ptr<redisReader, void (*)(redisReader *)>;

QByteArray bulk(const QByteArray &bytes)
{
    return '$' + QByteArray::number(bytes.size()) + "\r\n" + bytes + "\r\n";
}

QByteArray array(const QByteArrayList &items)
{
    return '*' + QByteArray::number(items.size()) + "\r\n" + items.join();
}

// [[key, [[id, [field, value, ...]], ...]]], as XREAD answers.
QByteArray readReply(const QList<QByteArrayList> &entries)
{
    QByteArrayList encoded;
    for (qsizetype index = 0; index < entries.size(); ++index) {
        QByteArrayList fields;
        for (const QByteArray &field : entries[index])
            fields << bulk(field);
        encoded << array({bulk("1700000000000-" + QByteArray::number(index)), array(fields)});
    }
    return array({array({bulk("prynechat:room"), array(encoded)})});
}

// Fed in pieces of 16 KiB, as hiredis reads a socket.
redisReply *parse(redisReader *reader, const QByteArray &wire)
{
    for (qsizetype at = 0; at < wire.size(); at += 16 * 1024) {
        const QByteArray piece = wire.mid(at, 16 * 1024);
        if (redisReaderFeed(reader, piece.constData(), std::size_t(piece.size())) != REDIS_OK)
            return nullptr;
    }
    void *reply = nullptr;
    return redisReaderGetReply(reader, &reply) == REDIS_OK ? static_cast<redisReply *>(reply)
                                                           : nullptr;
}

ReaderPointer boundedReader()
{
    ReaderPointer reader(redisReaderCreate(), redisReaderFree);
    BoundedReplies::install(reader.get());
    return reader;
}

QByteArrayList relayEntry(const QByteArrayList &payloads)
{
    QByteArrayList fields{"relay", "00000000000000ab", "seq", "1"};
    for (const QByteArray &payload : payloads)
        fields << "payload" << payload;
    return fields;
}

} // namespace

void TestBoundedReplies::keepsEntriesUpToTheirBound_data()
{
    QTest::addColumn<QList<QByteArrayList>>("entries");
    QTest::addColumn<QList<bool>>("cutShort");

    const QByteArray mebibyte(1024 * 1024, 'x');
    const QByteArrayList turn(256, QByteArray(1024, 't'));
    QTest::newRow("four entries of a 1 MiB text each")
            << QList<QByteArrayList>(4, relayEntry({mebibyte}))
            << QList<bool>{false, false, false, false};
    QTest::newRow("the largest turn: 256 texts")
            << QList<QByteArrayList>{relayEntry(turn)} << QList<bool>{false};
    QTest::newRow("an entry of three 1 MiB values, and one after it")
            << QList<QByteArrayList>{relayEntry({mebibyte, mebibyte, mebibyte}),
                                     relayEntry({"next"})}
            << QList<bool>{true, false};
    QTest::newRow("exactly as many bytes as kept")
            << QList<QByteArrayList>{{"a", QByteArray(1024 * 1024 + 64 * 1024 - 1, 'x')}}
            << QList<bool>{false};
    QTest::newRow("one byte more")
            << QList<QByteArrayList>{{"a", QByteArray(1024 * 1024 + 64 * 1024, 'x')}}
            << QList<bool>{true};
    QTest::newRow("more fields than a relay writes")
            << QList<QByteArrayList>{relayEntry(QByteArrayList(258, "p")), relayEntry({"next"})}
            << QList<bool>{true, false};
}

void TestBoundedReplies::keepsEntriesUpToTheirBound()
{
    QFETCH(QList<QByteArrayList>, entries);
    QFETCH(QList<bool>, cutShort);

    const ReaderPointer reader = boundedReader();
    redisReply *reply = parse(reader.get(), readReply(entries));
    QVERIFY(reply);
    const auto freeReply = qScopeGuard([&reader, reply] { reader->fn->freeObject(reply); });
    QCOMPARE(reply->type, REDIS_REPLY_ARRAY);
    const redisReply *kept = reply->element[0]->element[1];
    QCOMPARE(kept->elements, std::size_t(entries.size()));
    for (qsizetype index = 0; index < entries.size(); ++index) {
        const redisReply *entry = kept->element[index];
        QCOMPARE(QByteArray(entry->element[0]->str), "1700000000000-" + QByteArray::number(index));
        const redisReply *fields = entry->element[1];
        QCOMPARE(BoundedReplies::isCutShort(fields), cutShort[index]);
        if (cutShort[index])
            continue;
        QCOMPARE(fields->elements, std::size_t(entries[index].size()));
        for (std::size_t field = 0; field < fields->elements; ++field)
            QCOMPARE(
                    QByteArray(fields->element[field]->str, qsizetype(fields->element[field]->len)),
                    entries[index][qsizetype(field)]);
    }
}

void TestBoundedReplies::aWaitThatRanOutIsNotCutShort()
{
    const ReaderPointer reader = boundedReader();
    redisReply *reply = parse(reader.get(), "*-1\r\n");
    QVERIFY(reply);
    QCOMPARE(reply->type, REDIS_REPLY_NIL);
    QVERIFY(!BoundedReplies::isCutShort(reply));
    reader->fn->freeObject(reply);
}

QTEST_GUILESS_MAIN(TestBoundedReplies)
#include "tst_BoundedReplies.moc"
