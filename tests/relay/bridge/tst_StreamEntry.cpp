#include "relay/bridge/StreamEntry.h"

#include <QtTest>

// The stream entry as relays write and read it, and the order of stream IDs.
class TestStreamEntry : public QObject
{
    Q_OBJECT

private slots:
    void acceptsOnlyRelayEntries_data();
    void acceptsOnlyRelayEntries();
    void writesEntriesThatReadBackAsWritten_data();
    void writesEntriesThatReadBackAsWritten();
    void ordersStreamIds_data();
    void ordersStreamIds();
};

void TestStreamEntry::acceptsOnlyRelayEntries_data()
{
    QTest::addColumn<QList<QByteArray>>("fields");
    QTest::addColumn<bool>("valid");

    const QByteArray relay = "00000000000000ab";
    const QByteArray largest(1024 * 1024, 'x');
    QTest::newRow("as a relay writes it")
            << QList<QByteArray>{"payload", "hi", "relay", relay, "seq", "7"} << true;
    QTest::newRow("fields in another order")
            << QList<QByteArray>{"seq", "7", "payload", "", "relay", relay} << true;
    QTest::newRow("the largest frame")
            << QList<QByteArray>{"payload", largest, "relay", relay, "seq", "1"} << true;
    QTest::newRow("one byte above the frame limit")
            << QList<QByteArray>{"payload", largest + "x", "relay", relay, "seq", "1"} << false;
    QTest::newRow("another program's field")
            << QList<QByteArray>{"message", "hi", "relay", relay, "seq", "1"} << false;
    QTest::newRow("the texts of one turn")
            << QList<QByteArray>{"relay", relay, "seq", "7", "payload", "a", "payload", "b"}
            << true;
    QTest::newRow("a frame's worth in two payloads")
            << QList<QByteArray>{"relay",   relay,
                                 "seq",     "1",
                                 "payload", largest.left(1024),
                                 "payload", largest.mid(1024)}
            << true;
    QTest::newRow("two payloads above the frame limit together")
            << QList<QByteArray>{"relay", relay, "seq", "1", "payload", largest, "payload", "x"}
            << false;
    QList<QByteArray> tooMany{"relay", relay, "seq", "1"};
    for (int index = 0; index < 257; ++index)
        tooMany << "payload"
                << "t";
    QTest::newRow("257 texts") << tooMany << false;
    QTest::newRow("256 texts") << tooMany.mid(0, tooMany.size() - 2) << true;
    QTest::newRow("relay twice") << QList<QByteArray>{"payload", "a",   "relay", relay,
                                                      "relay",   relay, "seq",   "1"}
                                 << false;
    QTest::newRow("no payload") << QList<QByteArray>{"relay", relay, "seq", "1"} << false;
    QTest::newRow("no seq") << QList<QByteArray>{"payload", "hi", "relay", relay} << false;
    QTest::newRow("seq zero") << QList<QByteArray>{"payload", "hi", "relay", relay, "seq", "0"}
                              << false;
    QTest::newRow("a seq far ahead: the watermarks judge it, not the format")
            << QList<QByteArray>{"payload", "x", "relay", relay, "seq", "18446744073709550616"}
            << true;
    QTest::newRow("a seq with room for 256 texts above it")
            << QList<QByteArray>{"payload", "x", "relay", relay, "seq", "18446744073709551359"}
            << true;
    QTest::newRow("a seq whose 256th text would pass the largest number")
            << QList<QByteArray>{"payload", "x", "relay", relay, "seq", "18446744073709551360"}
            << false;
    QTest::newRow("relay not hex")
            << QList<QByteArray>{"payload", "hi", "relay", "zz", "seq", "1"} << false;
}

void TestStreamEntry::acceptsOnlyRelayEntries()
{
    QFETCH(QList<QByteArray>, fields);
    QFETCH(bool, valid);
    QString reason;
    const std::optional<StreamEntry> entry =
            readStreamEntry(std::vector<QByteArrayView>(fields.begin(), fields.end()), &reason);
    QCOMPARE(bool(entry), valid);
    QCOMPARE(reason.isEmpty(), valid);
    if (valid) {
        QCOMPARE(entry->relay, 0xabULL);
        QVERIFY(entry->seq > 0);
    }
}

void TestStreamEntry::writesEntriesThatReadBackAsWritten_data()
{
    QTest::addColumn<quint64>("relay");
    QTest::addColumn<quint64>("seq");
    QTest::addColumn<QByteArrayList>("payloads");
    QTest::addColumn<QByteArray>("relayField");

    QTest::newRow("one text") << quint64(0xab) << quint64(7) << QByteArrayList{"1@a |hi\r\n"}
                              << QByteArray("00000000000000ab");
    QTest::newRow("a turn's texts, an empty one among them")
            << quint64(0xfedcba9876543210) << quint64(1) << QByteArrayList{"a", "", "c"}
            << QByteArray("fedcba9876543210");
    QTest::newRow("any bytes, a NUL and line ends among them")
            << quint64(1) << quint64(18446744073709551359ULL)
            << QByteArrayList{QByteArray("\0x\r\n\xff", 5)} << QByteArray("0000000000000001");
    QTest::newRow("the largest frame")
            << quint64(2) << quint64(3) << QByteArrayList{QByteArray(1024 * 1024, 'x')}
            << QByteArray("0000000000000002");
}

void TestStreamEntry::writesEntriesThatReadBackAsWritten()
{
    QFETCH(quint64, relay);
    QFETCH(quint64, seq);
    QFETCH(QByteArrayList, payloads);
    QFETCH(QByteArray, relayField);

    const RedisCommand command =
            addCommand("prynechat:room", relay, seq,
                       std::vector<QByteArray>(payloads.begin(), payloads.end()));
    const QByteArrayList arguments = command.arguments();
    QCOMPARE(arguments.mid(0, 10),
             (QByteArrayList{"XADD", "prynechat:room", "MAXLEN", "~", "100000", "*", "relay",
                             relayField, "seq", QByteArray::number(seq)}));
    QCOMPARE(arguments.size(), 10 + 2 * payloads.size());

    const QByteArrayList fields = arguments.mid(6);
    QString reason;
    const std::optional<StreamEntry> entry =
            readStreamEntry(std::vector<QByteArrayView>(fields.begin(), fields.end()), &reason);
    QVERIFY2(entry, qPrintable(reason));
    QCOMPARE(entry->relay, relay);
    QCOMPARE(entry->seq, seq);
    QCOMPARE(entry->lastSeq(), seq + quint64(payloads.size()) - 1);
    QByteArrayList read;
    for (QByteArrayView payload : entry->payloads)
        read << payload.toByteArray();
    QCOMPARE(read, payloads);
}

void TestStreamEntry::ordersStreamIds_data()
{
    QTest::addColumn<QByteArray>("left");
    QTest::addColumn<QByteArray>("right");
    QTest::addColumn<int>("order");

    QTest::newRow("same") << QByteArray("1700000000000-3") << QByteArray("1700000000000-3") << 0;
    QTest::newRow("a later millisecond")
            << QByteArray("1700000000001-0") << QByteArray("1700000000000-9") << 1;
    QTest::newRow("numbers, not text: 10 after 9")
            << QByteArray("1700000000000-9") << QByteArray("1700000000000-10") << -1;
    QTest::newRow("the largest ID after any other")
            << QByteArray("18446744073709551615-18446744073709551615")
            << QByteArray("1700000000000-0") << 1;
    QTest::newRow("an empty stream's 0-0 before any entry")
            << QByteArray("0-0") << QByteArray("1-0") << -1;
    QTest::newRow("a malformed ID counts as 0-0") << QByteArray("abc") << QByteArray("0-0") << 0;
    QTest::newRow("a milliseconds-only ID") << QByteArray("5") << QByteArray("5-0") << 0;
}

void TestStreamEntry::ordersStreamIds()
{
    QFETCH(QByteArray, left);
    QFETCH(QByteArray, right);
    QFETCH(int, order);
    QCOMPARE(compareStreamIds(left, right), order);
    QCOMPARE(compareStreamIds(right, left), -order);
}

QTEST_GUILESS_MAIN(TestStreamEntry)
#include "tst_StreamEntry.moc"
