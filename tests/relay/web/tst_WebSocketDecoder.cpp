#include "relay/web/WebSocketDecoder.h"

#include <QtTest>

// What a browser may send on the chat's WebSocket and what closes it, whole and byte by byte.
class TestWebSocketDecoder : public QObject
{
    Q_OBJECT

private slots:
    void readsWhatABrowserSends_data();
    void readsWhatABrowserSends();
};

namespace {

using Event = WebSocketDecoder::Event;

constexpr qsizetype bound = 70000; // past 64 KiB, so that lengths of 64 bits are in it

// A browser's frame: the first byte as given, the length in its shortest form, the payload
// masked with the key of RFC 6455's own example (5.7).
QByteArray frame(int first, const QByteArray &payload, bool masked = true)
{
    const quint64 size = quint64(payload.size());
    QByteArray bytes(1, char(first));
    bytes += char((masked ? 0x80 : 0) | (size < 126 ? size : size < 65536 ? 126 : 127));
    for (int shift = size < 126 ? -8 : size < 65536 ? 8 : 56; shift >= 0; shift -= 8)
        bytes += char(size >> shift);
    const char key[] = "\x37\xfa\x21\x3d";
    if (masked)
        bytes.append(key, 4);
    for (qsizetype at = 0; at < payload.size(); ++at)
        bytes += char(payload[at] ^ (masked ? key[at % 4] : 0));
    return bytes;
}

QByteArray closing(quint16 code, const QByteArray &reason = {})
{
    return frame(0x88, QByteArray(1, char(code >> 8)) + char(code & 0xff) + reason);
}

} // namespace

void TestWebSocketDecoder::readsWhatABrowserSends_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArrayList>("events");

    const QByteArrayList broken{"failed 1002"}, badText{"failed 1007"};
    const QByteArray day = QStringLiteral("日").toUtf8(), big(65536, 'a');
    const QByteArray part(40000, 'b'), rest(30000, 'b');
    QTest::newRow("the RFC's masked Hello")
            << QByteArray("\x81\x85\x37\xfa\x21\x3d\x7f\x9f\x4d\x51\x58")
            << QByteArrayList{"text Hello"};
    QTest::newRow("unmasked") << frame(0x81, "Hello", false) << broken;
    QTest::newRow("two, one empty")
            << frame(0x81, "a") + frame(0x81, "") << QByteArrayList{"text a", "text "};
    QTest::newRow("three frames, a ping among them")
            << frame(0x01, "ab") + frame(0x89, "p") + frame(0x00, "cd") + frame(0x80, "ef")
            << QByteArrayList{"ping p", "text abcdef"};
    QTest::newRow("a pong") << frame(0x8a, "x") << QByteArrayList{"pong x"};
    QTest::newRow("a character cut between frames")
            << frame(0x01, day.left(2)) + frame(0x80, day.mid(2)) << QByteArrayList{"text " + day};
    QTest::newRow("bad UTF-8 cut between frames")
            << frame(0x01, day.left(2)) + frame(0x80, "x") << badText;
    QTest::newRow("bad UTF-8") << frame(0x81, "a\xff") << badText;
    QTest::newRow("binary") << frame(0x82, "\x01") << QByteArrayList{"failed 1003"};
    QTest::newRow("a reserved bit") << frame(0xc1, "a") << broken;
    QTest::newRow("an unknown opcode") << frame(0x83, "a") << broken;
    QTest::newRow("an unknown control") << frame(0x8b, "") << broken;
    QTest::newRow("a fragmented ping") << frame(0x09, "p") << broken;
    QTest::newRow("a ping of 126 bytes") << frame(0x89, QByteArray(126, 'p')) << broken;
    QTest::newRow("a continuation of nothing") << frame(0x80, "a") << broken;
    QTest::newRow("a new message inside one") << frame(0x01, "a") + frame(0x81, "b") << broken;
    QTest::newRow("a length of 64 bits") << frame(0x81, big) << QByteArrayList{"text " + big};
    QTest::newRow("16 bits for 5") << QByteArray("\x81\xfe\x00\x05\0\0\0\0hello", 13) << broken;
    QTest::newRow("64 bits for 256")
            << QByteArray("\x81\xff\0\0\0\0\0\0\x01\0\0\0\0\0", 14) << broken;
    QTest::newRow("64 bits, the top one set")
            << QByteArray("\x81\xff\x80\0\0\0\0\x01\0\0\0\0\0\0", 14) << broken;
    QTest::newRow("the bound in two frames")
            << frame(0x01, part) + frame(0x80, rest) << QByteArrayList{"text " + part + rest};
    QTest::newRow("a byte more, refused at its head")
            << frame(0x01, part) + frame(0x80, rest + 'b').left(8) << QByteArrayList{"failed 1009"};
    QTest::newRow("a close, then nothing")
            << closing(1000, "bye") + frame(0x81, "late") << QByteArrayList{"close 1000 bye"};
    QTest::newRow("a close without a code") << frame(0x88, "") << QByteArrayList{"close 1005 "};
    QTest::newRow("a close of one byte") << frame(0x88, "\x03") << broken;
    QTest::newRow("an application's code") << closing(4000) << QByteArrayList{"close 4000 "};
    QTest::newRow("a code that only reports a close") << closing(1006) << broken;
    QTest::newRow("an unassigned code") << closing(2000) << broken;
    QTest::newRow("a reason in bad UTF-8") << closing(1000, "\xc3") << badText;
    QTest::newRow("nothing after a failure")
            << frame(0x81, "a", false) + frame(0x81, "b") << broken;
}

void TestWebSocketDecoder::readsWhatABrowserSends()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArrayList, events);

    const QByteArray names[] = {"", "text ", "ping ", "pong ", "close ", "failed "};
    for (const qsizetype piece : {bytes.size(), qsizetype(1)}) {
        WebSocketDecoder decoder(bound);
        QByteArrayList seen;
        bool final = false;
        for (qsizetype at = 0; at < bytes.size() && !final; at += piece) {
            decoder.append(QByteArrayView(bytes).sliced(at, qMin(piece, bytes.size() - at)));
            for (Event event; !final && (event = decoder.next()) != Event::NeedMore;) {
                final = event == Event::Close || event == Event::Failed;
                const QByteArray code = QByteArray::number(decoder.closeCode());
                seen << names[int(event)]
                                + (event == Event::Failed
                                           ? code
                                           : (event == Event::Close ? code + ' ' : "")
                                                   + decoder.payload().toByteArray());
            }
        }
        QCOMPARE(seen, events);
        // What was read is let go once handed out, the earlier frames of a message too.
        if (!final)
            QCOMPARE(decoder.unfinishedBytes(), 0);
    }
}

QTEST_APPLESS_MAIN(TestWebSocketDecoder)
#include "tst_WebSocketDecoder.moc"
