#include "relay/web/WebSocketDecoder.h"

#include <QtTest>

// What a browser may send on the chat's WebSocket and what closes it, byte by byte.
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
    const char mask = masked ? char(0x80) : char(0);
    QByteArray bytes(1, char(first));
    if (size < 126) {
        bytes += char(mask | char(size));
    } else {
        bytes += char(mask | (size < 65536 ? 126 : 127));
        for (int shift = size < 65536 ? 8 : 56; shift >= 0; shift -= 8)
            bytes += char(size >> shift);
    }
    if (!masked)
        return bytes + payload;
    const char key[] = "\x37\xfa\x21\x3d";
    bytes.append(key, 4);
    for (qsizetype at = 0; at < payload.size(); ++at)
        bytes += char(payload[at] ^ key[at % 4]);
    return bytes;
}

QByteArray text(const QByteArray &payload)
{
    return frame(0x81, payload);
}

QByteArray closing(quint16 code, const QByteArray &reason = {})
{
    return frame(0x88, QByteArray(1, char(code >> 8)) + char(code & 0xff) + reason);
}

QByteArray failed(quint16 code)
{
    return "failed " + QByteArray::number(code);
}

} // namespace

void TestWebSocketDecoder::readsWhatABrowserSends_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArrayList>("events");

    const QByteArray day = QStringLiteral("日").toUtf8();
    const QByteArray big(65536, 'a');
    QTest::newRow("the RFC's masked Hello")
            << QByteArray("\x81\x85\x37\xfa\x21\x3d\x7f\x9f\x4d\x51\x58")
            << QByteArrayList{"text Hello"};
    QTest::newRow("unmasked") << frame(0x81, "Hello", false) << QByteArrayList{failed(1002)};
    QTest::newRow("two messages, an empty one")
            << text("a") + text("") << QByteArrayList{"text a", "text "};
    QTest::newRow("in three frames, a ping among them")
            << frame(0x01, "ab") + frame(0x89, "p") + frame(0x00, "cd") + frame(0x80, "ef")
            << QByteArrayList{"ping p", "text abcdef"};
    QTest::newRow("a pong") << frame(0x8a, "x") << QByteArrayList{"pong x"};
    QTest::newRow("a character cut between frames")
            << frame(0x01, day.left(2)) + frame(0x80, day.mid(2)) << QByteArrayList{"text " + day};
    QTest::newRow("bad UTF-8 cut between frames")
            << frame(0x01, day.left(2)) + frame(0x80, "x") << QByteArrayList{failed(1007)};
    QTest::newRow("bad UTF-8") << text("a\xff") << QByteArrayList{failed(1007)};
    QTest::newRow("a binary message") << frame(0x82, "\x01") << QByteArrayList{failed(1003)};
    QTest::newRow("a reserved bit") << frame(0xc1, "a") << QByteArrayList{failed(1002)};
    QTest::newRow("an unknown opcode") << frame(0x83, "a") << QByteArrayList{failed(1002)};
    QTest::newRow("an unknown control") << frame(0x8b, "") << QByteArrayList{failed(1002)};
    QTest::newRow("a fragmented ping") << frame(0x09, "p") << QByteArrayList{failed(1002)};
    QTest::newRow("a ping of 126 bytes")
            << frame(0x89, QByteArray(126, 'p')) << QByteArrayList{failed(1002)};
    QTest::newRow("a continuation with nothing to continue")
            << frame(0x80, "a") << QByteArrayList{failed(1002)};
    QTest::newRow("a new message inside one")
            << frame(0x01, "a") + text("b") << QByteArrayList{failed(1002)};
    QTest::newRow("a length of 64 bits") << text(big) << QByteArrayList{"text " + big};
    QTest::newRow("16 bits for a short length")
            << QByteArray("\x81\xfe\x00\x05\0\0\0\0hello", 13) << QByteArrayList{failed(1002)};
    QTest::newRow("64 bits for a 16-bit length")
            << QByteArray("\x81\xff\0\0\0\0\0\0\x01\0\0\0\0\0", 14) + QByteArray(256, 'a')
            << QByteArrayList{failed(1002)};
    QTest::newRow("the top bit of a 64-bit length")
            << QByteArray("\x81\xff\x80\0\0\0\0\x01\0\0\0\0\0\0", 14)
            << QByteArrayList{failed(1002)};
    QTest::newRow("a message of the bound in two frames")
            << frame(0x01, QByteArray(40000, 'b')) + frame(0x80, QByteArray(30000, 'b'))
            << QByteArrayList{"text " + QByteArray(bound, 'b')};
    QTest::newRow("a byte more, refused before its payload")
            << frame(0x01, QByteArray(40000, 'b')) + frame(0x80, QByteArray(30001, 'b')).left(14)
            << QByteArrayList{failed(1009)};
    QTest::newRow("a close with its code and reason, then nothing")
            << closing(1000, "bye") + text("late") << QByteArrayList{"close 1000 bye"};
    QTest::newRow("a close without a code") << frame(0x88, "") << QByteArrayList{"close 1005 "};
    QTest::newRow("a close of one byte") << frame(0x88, "\x03") << QByteArrayList{failed(1002)};
    QTest::newRow("an application's close code") << closing(4000) << QByteArrayList{"close 4000 "};
    QTest::newRow("a code that only reports a close")
            << closing(1006) << QByteArrayList{failed(1002)};
    QTest::newRow("an unassigned close code") << closing(2000) << QByteArrayList{failed(1002)};
    QTest::newRow("a close reason in bad UTF-8")
            << closing(1000, "\xc3") << QByteArrayList{failed(1007)};
    QTest::newRow("nothing after a failure")
            << frame(0x81, "a", false) + text("b") << QByteArrayList{failed(1002)};
}

void TestWebSocketDecoder::readsWhatABrowserSends()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArrayList, events);

    // All at once, then a byte at a time: frames cut anywhere read the same.
    for (const qsizetype piece : {bytes.size(), qsizetype(1)}) {
        WebSocketDecoder decoder(bound);
        QByteArrayList seen;
        bool final = false;
        for (qsizetype at = 0; at < bytes.size() && !final; at += piece) {
            decoder.append(QByteArrayView(bytes).sliced(at, qMin(piece, bytes.size() - at)));
            for (Event event; !final && (event = decoder.next()) != Event::NeedMore;) {
                final = event == Event::Close || event == Event::Failed;
                const QByteArray names[] = {"", "text", "ping", "pong", "close", "failed"};
                seen << names[int(event)] + ' '
                                + (final ? QByteArray::number(decoder.closeCode())
                                                   + (event == Event::Close ? " " : "")
                                         : QByteArray())
                                + (event == Event::Failed ? QByteArray()
                                                          : decoder.payload().toByteArray());
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
