#include "forms/PortReading.h"

#include <QtTest>

using namespace PortReading;

class TestPortReading : public QObject
{
    Q_OBJECT

private slots:
    void readsPortField_data();
    void readsPortField();
    void readsNumbersLeniently_data();
    void readsNumbersLeniently();
};

void TestPortReading::readsPortField_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port"); // -1: refused

    QTest::newRow("plain") << "555" << 555;
    QTest::newRow("zero") << "0" << 0;
    QTest::newRow("highest port") << "65535" << 65535;
    QTest::newRow("half goes up to the even neighbour") << "55.5" << 56;
    QTest::newRow("half goes down to the even neighbour") << "54.5" << 54;
    QTest::newRow("fraction below a half") << "600.4" << 600;
    QTest::newRow("beyond 16-bit signed") << "40000" << 40000;
    QTest::newRow("one past the highest port") << "65536" << -1;
    QTest::newRow("rounds past the highest port") << "65535.5" << -1;
    QTest::newRow("negative") << "-1" << -1;
    QTest::newRow("not a number") << "abc" << -1;
    QTest::newRow("number then letters") << "55a" << -1;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("blank") << "   " << -1;
}

void TestPortReading::readsPortField()
{
    QFETCH(QString, text);
    QFETCH(int, port);

    const std::optional<int> read = readPortField(text);
    QCOMPARE(read.value_or(-1), port);
}

void TestPortReading::readsNumbersLeniently_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("fits");
    QTest::addColumn<int>("number");

    QTest::newRow("plain") << "555" << true << 555;
    QTest::newRow("half up to even") << "55.5" << true << 56;
    QTest::newRow("half down to even") << "54.5" << true << 54;
    QTest::newRow("exponent") << "2e2" << true << 200;
    QTest::newRow("hexadecimal") << "&H10" << true << 16;
    QTest::newRow("octal") << "&o17" << true << 15;
    QTest::newRow("blanks anywhere") << " 5 5 5" << true << 555;
    QTest::newRow("tabs and line feeds") << "\t5\n5" << true << 55;
    QTest::newRow("no number") << "abc" << true << 0;
    QTest::newRow("empty") << "" << true << 0;
    QTest::newRow("negative") << "-1" << true << -1;
    QTest::newRow("stops at a letter") << "12ab3" << true << 12;
    QTest::newRow("dangling exponent") << "7e" << true << 7;
    QTest::newRow("leading point") << ".6" << true << 1;
    QTest::newRow("largest 32-bit") << "2147483647" << true << 2147483647;
    QTest::newRow("past 32-bit") << "2147483648" << false << 0;
    QTest::newRow("huge exponent") << "1e400" << false << 0;
}

void TestPortReading::readsNumbersLeniently()
{
    QFETCH(QString, text);
    QFETCH(bool, fits);
    QFETCH(int, number);

    const std::optional<int> read = readNumberLeniently(text);
    QCOMPARE(read.has_value(), fits);
    if (fits)
        QCOMPARE(*read, number);
}

QTEST_APPLESS_MAIN(TestPortReading)
#include "tst_PortReading.moc"
