#include "app/ModuleMain.h"
#include "forms/main/FormMain.h"
#include "tests/support/Windows.h"

#include <QMessageBox>
#include <QPushButton>
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

    // dispatch
    void opensStartWindowWithoutArguments();
    void endsWithoutWindowForOtherArguments_data();
    void endsWithoutWindowForOtherArguments();
    void helpBoxShowsTheSwitches();

    // the program itself
    void programEndsAtOnceForOtherArguments_data();
    void programEndsAtOnceForOtherArguments();
    void qtOptionsAreNotArguments();
};

namespace {

QList<QWidget *> visibleWindows()
{
    QList<QWidget *> windows;
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (window->isVisible())
            windows.append(window);
    }
    return windows;
}

QProcessEnvironment environmentWithoutDisplay()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return environment;
}

} // namespace

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

void TestModuleMain::opensStartWindowWithoutArguments()
{
    QVERIFY(visibleWindows().isEmpty());

    QVERIFY(Main(QString()));

    const QList<QWidget *> windows = visibleWindows();
    QCOMPARE(windows.size(), 1);
    auto *form = qobject_cast<FormMain *>(windows.first());
    QVERIFY(form);
    QVERIFY(form->testAttribute(Qt::WA_DeleteOnClose));
    QCOMPARE(form->parentWidget(), nullptr);
    delete form;
}

void TestModuleMain::endsWithoutWindowForOtherArguments_data()
{
    QTest::addColumn<QString>("argumentText");

    QTest::newRow("unknown switch") << "/x";
    QTest::newRow("dash instead of slash") << "-s";
    QTest::newRow("longer word") << "/server";
    QTest::newRow("empty first argument") << " /s";
    QTest::newRow("empty quoted first argument") << "\"\" /c";
    QTest::newRow("help with more after it") << "/?x";
}

void TestModuleMain::endsWithoutWindowForOtherArguments()
{
    QFETCH(QString, argumentText);

    QVERIFY(!Main(argumentText));
    QVERIFY(visibleWindows().isEmpty());
}

void TestModuleMain::helpBoxShowsTheSwitches()
{
    testsupport::MessageBoxAnswerer answerer;
    QVERIFY(!Main(QStringLiteral("/?")));

    QCOMPARE(answerer.titles(), QStringList{"Pryne Chat"});
    QCOMPARE(answerer.texts(),
             QStringList{"Exe Command Lines\r\n\r\n[/s] = Auto Server Mode Command\r\n"
                         "[/c] = Auto Client Mode Command\r\n[/?] = This Message Box"});
    QVERIFY(answerer.allPlain());
    QVERIFY(visibleWindows().isEmpty());
}

void TestModuleMain::programEndsAtOnceForOtherArguments_data()
{
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("unknown switch") << QStringList{"/x"};
    QTest::newRow("empty first argument") << QStringList{"", "/s"};
    QTest::newRow("after Qt's own options") << QStringList{"-platform", "offscreen", "/x"};
}

void TestModuleMain::programEndsAtOnceForOtherArguments()
{
    QFETCH(QStringList, arguments);

    QProcess program;
    if (arguments.first() == QLatin1String("-platform"))
        program.setProcessEnvironment(environmentWithoutDisplay());
    program.start(QStringLiteral(PRYNECHAT_EXECUTABLE), arguments);
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
}

void TestModuleMain::qtOptionsAreNotArguments()
{
    // Were "-platform" left in the arguments, it would be an unknown switch and the program
    // would end at once; taken out, no arguments remain and the start window keeps it running.
    QProcess program;
    program.setProcessEnvironment(environmentWithoutDisplay());
    program.start(QStringLiteral(PRYNECHAT_EXECUTABLE),
                  {QStringLiteral("-platform"), QStringLiteral("offscreen")});
    QVERIFY(program.waitForStarted(10000));
    QVERIFY(!program.waitForFinished(1500));
    QCOMPARE(program.state(), QProcess::Running);
    program.kill();
    QVERIFY(program.waitForFinished(10000));
}

QTEST_MAIN(TestModuleMain)
#include "tst_ModuleMain.moc"
