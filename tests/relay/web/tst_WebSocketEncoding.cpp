#include "relay/web/WebSocketEncoding.h"
#include "tests/support/WireClient.h"

#include <QSignalSpy>
#include <QtTest>

// How a turn reaches browsers: the room's frames in, every text as one WebSocket text message
// out, as a server sends it (no mask), built once for all browsers.
class TestWebSocketEncoding : public QObject
{
    Q_OBJECT

private slots:
    void framesEveryTextAsOneMessage_data();
    void framesEveryTextAsOneMessage();
};

namespace {

using testsupport::frameOfText;

// A server's text message head, spelled out: FIN and opcode 1, then the length in the shortest
// form, no mask.
QByteArray messageHead(qint64 length)
{
    QByteArray head("\x81", 1);
    if (length < 126) {
        head += char(length);
    } else if (length < 65536) {
        head += char(126);
        head += char(length >> 8);
        head += char(length & 0xff);
    } else {
        head += char(127);
        for (int shift = 56; shift >= 0; shift -= 8)
            head += char((length >> shift) & 0xff);
    }
    return head;
}

socks::SendQueue::Chunk turnOf(const QStringList &texts)
{
    QByteArray frames;
    for (const QString &text : texts)
        frames += frameOfText(text);
    return std::make_shared<const QByteArray>(frames);
}

} // namespace

void TestWebSocketEncoding::framesEveryTextAsOneMessage_data()
{
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QByteArray>("messages");

    QTest::newRow("one chat line")
            << QStringList{QStringLiteral("hello")} << QByteArray("\x81\x05hello");
    QTest::newRow("an empty text is an empty message")
            << QStringList{QString()} << QByteArray("\x81\x00", 2);
    QTest::newRow("Japanese, counted in UTF-8 bytes")
            << QStringList{QStringLiteral("日本")}
            << QByteArray("\x81\x06") + QStringLiteral("日本").toUtf8();
    QTest::newRow("three texts keep their order")
            << QStringList{QStringLiteral("a"), QStringLiteral("bc"), QStringLiteral("d")}
            << QByteArray("\x81\x01"
                          "a"
                          "\x81\x02"
                          "bc"
                          "\x81\x01"
                          "d");
    QTest::newRow("126 bytes take the two-byte length")
            << QStringList{QString(126, u'x')}
            << QByteArray("\x81\x7e\x00\x7e", 4) + QByteArray(126, 'x');
    QTest::newRow("65536 bytes take the eight-byte length")
            << QStringList{QString(65536, u'y')}
            << QByteArray("\x81\x7f\x00\x00\x00\x00\x00\x01\x00\x00", 10) + QByteArray(65536, 'y');
    QTest::newRow("a chat line as the program sends it")
            << QStringList{QStringLiteral("40000@Default   |こんにちは\r\n")}
            << messageHead(QStringLiteral("40000@Default   |こんにちは\r\n").toUtf8().size())
                    + QStringLiteral("40000@Default   |こんにちは\r\n").toUtf8();
}

void TestWebSocketEncoding::framesEveryTextAsOneMessage()
{
    QFETCH(QStringList, texts);
    QFETCH(QByteArray, messages);

    const WebSocketEncoding encoding;
    const socks::SendQueue::Chunk encoded = encoding.encodeTurn(turnOf(texts));
    QVERIFY(encoded);
    QCOMPARE(*encoded, messages);
    // Nothing of one turn is left over for the next.
    const socks::SendQueue::Chunk next = encoding.encodeTurn(turnOf({QStringLiteral("next")}));
    QVERIFY(next);
    QCOMPARE(*next, QByteArray("\x81\x04next"));
}

QTEST_MAIN(TestWebSocketEncoding)
#include "tst_WebSocketEncoding.moc"
