#include "net/TextDecoder.h"

#include <QtTest>

using socks::TextDecoder;

// A payload's text is what a UTF-8 decoder makes of it, whichever way it is read.
class TestTextDecoder : public QObject
{
    Q_OBJECT

private slots:
    void readsEveryPayloadAsUtf8_data();
    void readsEveryPayloadAsUtf8();
};

void TestTextDecoder::readsEveryPayloadAsUtf8_data()
{
    QTest::addColumn<QByteArray>("payload");

    // ASCII is looked at 16 bytes at a time: one byte from 0x80 up at any place in or around
    // such a group must send the payload to the full decoder.
    for (const int length : {0, 1, 15, 16, 17, 31, 32, 47, 1024}) {
        const QByteArray ascii = QByteArray(length, 'a');
        QTest::addRow("%d ASCII bytes", length) << ascii;
        for (const int at : {0, 7, 15, 16, 17, 31, 32, 46, 1023}) {
            if (at >= length)
                continue;
            QByteArray kana = ascii;
            kana.replace(at, 1, "\xe3\x81\x82"); // あ
            QTest::addRow("あ at %d of %d", at, length) << kana;
            QByteArray lone = ascii;
            lone[at] = char(0x80);
            QTest::addRow("a lone continuation byte at %d of %d", at, length) << lone;
        }
    }
    QTest::newRow("the last ASCII byte and controls") << QByteArray("\x7f\x00\x01\r\n\x1b", 6);
    QTest::newRow("a cut sequence at the end") << QByteArray("abc\xe3\x81");
    QTest::newRow("an overlong slash") << QByteArray("\xc0\xaf");
    QTest::newRow("a surrogate") << QByteArray("\xed\xa0\x80");
    QTest::newRow("a character outside the BMP") << QByteArray("\xf0\x9f\x98\x80");
}

void TestTextDecoder::readsEveryPayloadAsUtf8()
{
    QFETCH(QByteArray, payload);

    QStringDecoder reference(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString expected = reference.decode(payload);
    TextDecoder decoder;
    // Twice: nothing of one payload may stay behind for the next.
    for (int round = 0; round < 2; ++round) {
        const auto [text, valid] = decoder.decode(payload);
        QCOMPARE(text, expected);
        QCOMPARE(valid, !reference.hasError());
    }
    const auto [next, nextValid] = decoder.decode("\xe3\x81\x82");
    QCOMPARE(next, QStringLiteral("あ"));
    QVERIFY(nextValid);
}

QTEST_APPLESS_MAIN(TestTextDecoder)
#include "tst_TextDecoder.moc"
