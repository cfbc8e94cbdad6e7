#include "forms/client/ChatLine.h"

#include <QtTest>

class TestChatLine : public QObject
{
    Q_OBJECT

private slots:
    // lines
    void buildsLines_data();
    void buildsLines();
    void loginLineHasFortyTwoCharacters();

    // announcements
    void announcesWithJapaneseDateAndTime();
    void announcesWithOtherLocales_data();
    void announcesWithOtherLocales();
    void addsSecondsAndDropsTheZone_data();
    void addsSecondsAndDropsTheZone();
};

namespace {

const QDateTime morning(QDate(2026, 12, 9), QTime(8, 5, 9));

} // namespace

void TestChatLine::buildsLines_data()
{
    QTest::addColumn<int>("socketNumber");
    QTest::addColumn<QString>("handleName");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("line");

    QTest::newRow("short name is padded") << 123 << "Default"
                                          << "abc"
                                          << "123@Default   |abc\r\n";
    QTest::newRow("empty text is still a line") << 123 << "Default"
                                                << ""
                                                << "123@Default   |\r\n";
    QTest::newRow("ten characters stand unchanged") << 7 << "ABCDEFGHIJ"
                                                    << "hi"
                                                    << "7@ABCDEFGHIJ|hi\r\n";
    QTest::newRow("empty name is ten spaces") << 123 << ""
                                              << "abc"
                                              << "123@          |abc\r\n";
    QTest::newRow("separators in the text are sent as they are") << 5 << "a|b"
                                                                 << "x|y@z"
                                                                 << "5@a|b       |x|y@z\r\n";
    QTest::newRow("line ends in the text stay") << 5 << "n"
                                                << "one\r\ntwo"
                                                << "5@n         |one\r\ntwo\r\n";
    QTest::newRow("blanks are not trimmed") << 5 << " n "
                                            << "  t  "
                                            << "5@ n        |  t  \r\n";
    QTest::newRow("negative number keeps its sign") << -42 << "Default"
                                                    << "a"
                                                    << "-42@Default   |a\r\n";
    QTest::newRow("zero") << 0 << "Default"
                          << "a"
                          << "0@Default   |a\r\n";
    QTest::newRow("Japanese name and text") << 50123 << "太郎"
                                            << "こんにちは"
                                            << "50123@太郎        |こんにちは\r\n";
}

void TestChatLine::buildsLines()
{
    QFETCH(int, socketNumber);
    QFETCH(QString, handleName);
    QFETCH(QString, text);
    QFETCH(QString, line);

    const QString built = ChatLine::build(socketNumber, handleName, text);
    QCOMPARE(built, line);
    // The sender compares whole lines, so rebuilding must give the very same text.
    QCOMPARE(ChatLine::build(socketNumber, handleName, text), built);
}

void TestChatLine::loginLineHasFortyTwoCharacters()
{
    const QLocale japanese(QLocale::Japanese, QLocale::Japan);
    const QString text = ChatLine::loginText(morning, japanese);
    QCOMPARE(text.size(), 25);
    const QString line = ChatLine::build(123, QStringLiteral("Default"), text);
    QCOMPARE(line, QStringLiteral("123@Default   |ログイン - 2026/12/09/8:05:09\r\n"));
    QCOMPARE(line.size(), 42);
}

void TestChatLine::announcesWithJapaneseDateAndTime()
{
    const QLocale japanese(QLocale::Japanese, QLocale::Japan);
    QCOMPARE(ChatLine::loginText(morning, japanese),
             QStringLiteral("ログイン - 2026/12/09/8:05:09"));
    QCOMPARE(ChatLine::logoutText(morning, japanese),
             QStringLiteral("ログアウト - 2026/12/09/8:05:09"));
    const QDateTime evening(QDate(2026, 1, 2), QTime(23, 59, 0));
    QCOMPARE(ChatLine::logoutText(evening, japanese),
             QStringLiteral("ログアウト - 2026/01/02/23:59:00"));
}

void TestChatLine::announcesWithOtherLocales_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("dateTime");

    QTest::newRow("C keeps its own seconds") << QLocale::c() << "9 Dec 2026/08:05:09";
    QTest::newRow("US English with AM/PM")
            << QLocale(QLocale::English, QLocale::UnitedStates) << "12/9/26/8:05:09 AM";
    QTest::newRow("Finnish dots") << QLocale(QLocale::Finnish, QLocale::Finland)
                                  << "9.12.2026/8.05.09";
    QTest::newRow("German") << QLocale(QLocale::German, QLocale::Germany) << "09.12.26/08:05:09";
}

void TestChatLine::announcesWithOtherLocales()
{
    QFETCH(QLocale, locale);
    QFETCH(QString, dateTime);

    QCOMPARE(ChatLine::dateTimeText(morning, locale), dateTime);
    QCOMPARE(ChatLine::loginText(morning, locale), QStringLiteral("ログイン - ") + dateTime);
    QCOMPARE(ChatLine::logoutText(morning, locale), QStringLiteral("ログアウト - ") + dateTime);
}

void TestChatLine::addsSecondsAndDropsTheZone_data()
{
    QTest::addColumn<QString>("shortFormat");
    QTest::addColumn<QString>("timeOfDay");

    QTest::newRow("hours and minutes") << "H:mm"
                                       << "H:mm:ss";
    QTest::newRow("seconds already there") << "HH:mm:ss"
                                           << "HH:mm:ss";
    QTest::newRow("AM/PM after the minutes") << "h:mm AP"
                                             << "h:mm:ss AP";
    QTest::newRow("AM/PM in front") << "AP h:mm"
                                    << "AP h:mm:ss";
    QTest::newRow("dot separator") << "H.mm"
                                   << "H.mm.ss";
    QTest::newRow("quoted text after the minutes") << "H:mm 'h'."
                                                   << "H:mm:ss 'h'.";
    QTest::newRow("quoted separator") << "HH 'h' mm"
                                      << "HH 'h' mm 'h' ss";
    QTest::newRow("zone after") << "HH:mm t"
                                << "HH:mm:ss";
    QTest::newRow("zone in front") << "t HH:mm"
                                   << "HH:mm:ss";
    QTest::newRow("zone with seconds") << "HH:mm:ss t"
                                       << "HH:mm:ss";
    QTest::newRow("quoted t is not a zone") << "H:mm 't'"
                                            << "H:mm:ss 't'";
}

void TestChatLine::addsSecondsAndDropsTheZone()
{
    QFETCH(QString, shortFormat);
    QFETCH(QString, timeOfDay);

    QCOMPARE(ChatLine::timeOfDayFormat(shortFormat), timeOfDay);
}

QTEST_GUILESS_MAIN(TestChatLine)
#include "tst_ChatLine.moc"
