#include "app/ModuleMain.h"

#include <QtTest>

using namespace ModuleMain;

class TestModuleMain : public QObject
{
    Q_OBJECT

private slots:
    void splitsArgumentText_data();
    void splitsArgumentText();
    void cutsTokens();
    void argvSurvivesTheRoundTrip_data();
    void argvSurvivesTheRoundTrip();
    void readsPortField_data();
    void readsPortField();
    void readsNumbersLeniently_data();
    void readsNumbersLeniently();
};

void TestModuleMain::splitsArgumentText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("empty") << "" << QStringList{};
    QTest::newRow("one word") << "a" << QStringList{"a"};
    QTest::newRow("two words") << "a b" << QStringList{"a", "b"};
    QTest::newRow("two spaces make an empty argument") << "a  b" << QStringList{"a", "", "b"};
    QTest::newRow("trailing space adds nothing") << "a " << QStringList{"a"};
    QTest::newRow("leading space is an empty first argument") << " a" << QStringList{"", "a"};
    QTest::newRow("quoted first") << "\"a b\" c" << QStringList{"a b", "c"};
    QTest::newRow("quoted last") << "c \"a b\"" << QStringList{"c", "a b"};
    QTest::newRow("quote inside a word") << "ab\"c d" << QStringList{"ab\"c", "d"};
    QTest::newRow("quote runs to the next space") << "\"a b\"c d" << QStringList{"a b\"", "d"};
    QTest::newRow("two quotes are empty") << "\"\"" << QStringList{""};
    QTest::newRow("unclosed quote takes the rest") << "\"a b c" << QStringList{"a b c"};
    QTest::newRow("unclosed quote after a word") << "x \"a b" << QStringList{"x", "a b"};
    QTest::newRow("lone quote is empty") << "\"" << QStringList{""};
    QTest::newRow("tabs are ordinary characters") << "a\tb" << QStringList{"a\tb"};
    QTest::newRow("quoted switch") << "\"/c\"" << QStringList{"/c"};
}

void TestModuleMain::splitsArgumentText()
{
    QFETCH(QString, text);
    QFETCH(QStringList, arguments);

    QStringList args{"stale"};
    const int count = GetCommandArgs(args, text);

    QCOMPARE(count, arguments.size());
    QCOMPARE(args.size(), arguments.size() + 1);
    QCOMPARE(args.mid(0, count), arguments);
    QCOMPARE(args.last(), QString());
}

void TestModuleMain::cutsTokens()
{
    QString text = "abc def";
    QString head;
    CutToken(text, head, 4);
    QCOMPARE(head, QString("abc "));
    QCOMPARE(text, QString("def"));

    CutToken(text, head, 3);
    QCOMPARE(head, QString("def"));
    QCOMPARE(text, QString());

    text = "xy";
    CutToken(text, head, 10);
    QCOMPARE(head, QString("xy"));
    QCOMPARE(text, QString());
}

void TestModuleMain::argvSurvivesTheRoundTrip_data()
{
    QTest::addColumn<QStringList>("argv");

    QTest::newRow("plain switches") << QStringList{"/s", "x"};
    QTest::newRow("argument with a space") << QStringList{"/c", "a b"};
    QTest::newRow("empty argument") << QStringList{"", "/s"};
    QTest::newRow("Japanese") << QStringList{"サーバ", "チャット の"};
}

void TestModuleMain::argvSurvivesTheRoundTrip()
{
    QFETCH(QStringList, argv);

    QStringList args;
    const int count = GetCommandArgs(args, argumentTextFromArguments(argv));

    QCOMPARE(args.mid(0, count), argv);
}

void TestModuleMain::readsPortField_data()
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

void TestModuleMain::readsPortField()
{
    QFETCH(QString, text);
    QFETCH(int, port);

    const std::optional<int> read = readPortField(text);
    QCOMPARE(read.value_or(-1), port);
}

void TestModuleMain::readsNumbersLeniently_data()
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

void TestModuleMain::readsNumbersLeniently()
{
    QFETCH(QString, text);
    QFETCH(bool, fits);
    QFETCH(int, number);

    const std::optional<int> read = readNumberLeniently(text);
    QCOMPARE(read.has_value(), fits);
    if (fits)
        QCOMPARE(*read, number);
}

QTEST_MAIN(TestModuleMain)
#include "tst_ModuleMain.moc"
