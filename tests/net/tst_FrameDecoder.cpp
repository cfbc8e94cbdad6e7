#include "net/FrameDecoder.h"
#include "net/FrameEncoder.h"

#include <QtTest>

using socks::FrameDecoder;
using socks::FrameEncoder;

namespace {

QByteArray frameOf(const QByteArray &payload)
{
    QByteArray frame(4, '\0');
    qToBigEndian<quint32>(quint32(payload.size()), frame.data());
    return frame + payload;
}

// Feeds the stream in pieces of `chunk` bytes and collects every payload and the last result.
QList<QByteArray> decodeInChunks(const QByteArray &stream, qsizetype chunk,
                                 FrameDecoder::Result *last = nullptr)
{
    FrameDecoder decoder;
    QList<QByteArray> payloads;
    FrameDecoder::Result result = FrameDecoder::Result::NeedMore;
    for (qsizetype at = 0; at < stream.size(); at += chunk) {
        decoder.append(QByteArrayView(stream).sliced(at, qMin(chunk, stream.size() - at)));
        while ((result = decoder.next()) == FrameDecoder::Result::Frame)
            payloads.append(decoder.payload().toByteArray());
    }
    if (last)
        *last = result;
    return payloads;
}

} // namespace

class TestFrameDecoder : public QObject
{
    Q_OBJECT

private slots:
    void cutsAnyChunkingIntoTheSameFrames_data();
    void cutsAnyChunkingIntoTheSameFrames();
    void holdsBackAnUnfinishedFrame();
    void readsStraightIntoItsBuffer();
    void acceptsTheLargestFrameAndRefusesOneByteMore();
    void stopsForGoodAfterAnOversizedHeader();
    void givesBackTheMemoryOfALargeFrame();
    void encodesLengthBigEndianThenUtf8_data();
    void encodesLengthBigEndianThenUtf8();
    void encoderReusesItsBufferCorrectly();
};

void TestFrameDecoder::cutsAnyChunkingIntoTheSameFrames_data()
{
    QTest::addColumn<qsizetype>("chunk");
    QTest::newRow("byte by byte") << qsizetype(1);
    QTest::newRow("two bytes") << qsizetype(2);
    QTest::newRow("three bytes, across headers") << qsizetype(3);
    QTest::newRow("seven bytes") << qsizetype(7);
    QTest::newRow("all at once") << qsizetype(1 << 20);
}

void TestFrameDecoder::cutsAnyChunkingIntoTheSameFrames()
{
    QFETCH(qsizetype, chunk);
    const QList<QByteArray> payloads = {
            "abc", "", QStringLiteral("こんにちは🎉\r\n").toUtf8(), QByteArray(300, 'x'), "|@", ""};
    QByteArray stream;
    for (const QByteArray &payload : payloads)
        stream += frameOf(payload);
    FrameDecoder::Result last;
    QCOMPARE(decodeInChunks(stream, chunk, &last), payloads);
    QCOMPARE(last, FrameDecoder::Result::NeedMore);
}

void TestFrameDecoder::holdsBackAnUnfinishedFrame()
{
    FrameDecoder decoder;
    const QByteArray frame = frameOf("hello");
    decoder.append(QByteArrayView(frame).first(frame.size() - 1));
    QCOMPARE(decoder.next(), FrameDecoder::Result::NeedMore);
    QCOMPARE(decoder.bufferedBytes(), frame.size() - 1);
    decoder.append(QByteArrayView(frame).last(1));
    QCOMPARE(decoder.next(), FrameDecoder::Result::Frame);
    QCOMPARE(decoder.payload(), QByteArrayView("hello"));
    QCOMPARE(decoder.frame(), QByteArrayView(frame));
    QCOMPARE(decoder.bufferedBytes(), 0);
}

void TestFrameDecoder::readsStraightIntoItsBuffer()
{
    FrameDecoder decoder;
    const QByteArray stream = frameOf("one") + frameOf("two").first(5);
    char *room = decoder.prepareAppend(100);
    std::memcpy(room, stream.constData(), size_t(stream.size()));
    decoder.commitAppend(stream.size());
    QCOMPARE(decoder.next(), FrameDecoder::Result::Frame);
    QCOMPARE(decoder.payload(), QByteArrayView("one"));
    QCOMPARE(decoder.next(), FrameDecoder::Result::NeedMore);
    decoder.append(QByteArrayView("wo"));
    QCOMPARE(decoder.next(), FrameDecoder::Result::Frame);
    QCOMPARE(decoder.payload(), QByteArrayView("two"));
}

void TestFrameDecoder::acceptsTheLargestFrameAndRefusesOneByteMore()
{
    const QByteArray largest(1024 * 1024, 'L');
    FrameDecoder::Result last;
    const QList<QByteArray> payloads = decodeInChunks(frameOf(largest), 65536, &last);
    QCOMPARE(payloads.size(), 1);
    QCOMPARE(payloads.first(), largest);

    FrameDecoder decoder;
    QByteArray header(4, '\0');
    qToBigEndian<quint32>(1024 * 1024 + 1, header.data());
    decoder.append(header);
    QCOMPARE(decoder.next(), FrameDecoder::Result::Oversized);
    QVERIFY(decoder.failed());
}

void TestFrameDecoder::stopsForGoodAfterAnOversizedHeader()
{
    FrameDecoder decoder;
    decoder.append(frameOf("before") + QByteArray("\xff\xff\xff\xff", 4) + frameOf("after"));
    QCOMPARE(decoder.next(), FrameDecoder::Result::Frame);
    QCOMPARE(decoder.payload(), QByteArrayView("before"));
    QCOMPARE(decoder.next(), FrameDecoder::Result::Oversized);
    decoder.append(frameOf("later"));
    QCOMPARE(decoder.next(), FrameDecoder::Result::Oversized);
    decoder.clear();
    decoder.append(frameOf("fresh"));
    QCOMPARE(decoder.next(), FrameDecoder::Result::Frame);
}

void TestFrameDecoder::givesBackTheMemoryOfALargeFrame()
{
    FrameDecoder decoder;
    QByteArray large(4, '\0');
    qToBigEndian<quint32>(1024 * 1024, large.data());
    large.append(QByteArray(1024 * 1024, 'L'));
    decoder.append(large + QByteArray("\0\0\0\5sm", 6));
    QCOMPARE(decoder.next(), FrameDecoder::Result::Frame);
    QCOMPARE(decoder.next(), FrameDecoder::Result::NeedMore);
    decoder.releaseSpare();
    QVERIFY2(decoder.heldBytes() <= 64 * 1024, qPrintable(QString::number(decoder.heldBytes())));
    // What was not handed out yet survives.
    decoder.append("all");
    QCOMPARE(decoder.next(), FrameDecoder::Result::Frame);
    QCOMPARE(decoder.payload(), QByteArrayView("small"));
}

void TestFrameDecoder::encodesLengthBigEndianThenUtf8_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty text is a bare header") << QString() << QByteArray("\0\0\0\0", 4);
    QTest::newRow("ascii") << "a|@" << QByteArray("\0\0\0\3a|@", 7);
    QTest::newRow("hiragana takes three bytes")
            << QStringLiteral("あ") << QByteArray("\0\0\0\3\xe3\x81\x82", 7);
    QTest::newRow("emoji takes four bytes")
            << QStringLiteral("😀") << QByteArray("\0\0\0\4\xf0\x9f\x98\x80", 8);
    QTest::newRow("line end kept") << "\r\n" << QByteArray("\0\0\0\2\r\n", 6);
    QTest::newRow("length above 255 spans two bytes")
            << QString(258, QLatin1Char('z')) << QByteArray("\0\0\1\2", 4) + QByteArray(258, 'z');
}

void TestFrameDecoder::encodesLengthBigEndianThenUtf8()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    FrameEncoder encoder;
    QCOMPARE(encoder.encode(text).toByteArray(), bytes);
}

void TestFrameDecoder::encoderReusesItsBufferCorrectly()
{
    FrameEncoder encoder;
    const QByteArray longFrame = encoder.encode(QString(1000, QLatin1Char('y'))).toByteArray();
    QCOMPARE(longFrame.size(), 1004);
    QCOMPARE(encoder.encode(QStringLiteral("ok")).toByteArray(), QByteArray("\0\0\0\2ok", 6));
}

QTEST_APPLESS_MAIN(TestFrameDecoder)
#include "tst_FrameDecoder.moc"
