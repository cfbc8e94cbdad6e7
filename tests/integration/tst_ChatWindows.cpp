#include "forms/client/FormTCPClientMain.h"
#include "forms/main/FormMain.h"
#include "forms/server/FormTCPServerMain.h"
#include "net/CWS_TCP_S.h"
#include "tests/support/ClientWindows.h"
#include "tests/support/Waits.h"
#include "tests/support/Windows.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>

using testsupport::itemsOf;
using testsupport::MessageBoxAnswerer;
using testsupport::runsTheEventLoop;
using testsupport::typeLine;
using testsupport::typeText;
using testsupport::visibleWindows;

using testsupport::loginPattern;
using testsupport::openClient;
using testsupport::socketNumberOf;

namespace {

const QString localHost = QStringLiteral("127.0.0.1");

int portFromServerCaption(const QString &caption)
{
    static const QRegularExpression pattern(
            QStringLiteral("^\\[\\d+\\]-\\[.*:(\\d+)\\] - サーバ$"));
    const QRegularExpressionMatch match = pattern.match(caption);
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

// Runs in a child process: the start window opens a client on the port, and once its login line
// is back the quit button ends the process. Gives up with status 3 after ten seconds.
int pressQuitAfterLogin(const QString &port)
{
    auto *form = new FormMain;
    form->setAttribute(Qt::WA_DeleteOnClose);
    form->show();
    form->PortInp->setText(port);
    form->NameInp->setText(QStringLiteral("Quitter"));
    form->ServerIPInp->setText(localHost);
    QTest::mouseClick(form->btnChoise[2], Qt::LeftButton);

    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, form, [form] {
        const QList<FormTCPClientMain *> clients = visibleWindows<FormTCPClientMain>();
        if (clients.size() == 1 && clients.first()->TextLog->logText().contains("ログイン"))
            QTest::mouseClick(form->btnChoise[0], Qt::LeftButton);
    });
    poll.start();
    QTimer::singleShot(10000, [] { QCoreApplication::exit(3); });
    return QApplication::exec();
}

int chatWindowCount()
{
    return int(testsupport::windowsOf<FormTCPClientMain>().size()
               + testsupport::windowsOf<FormTCPServerMain>().size());
}

} // namespace

// Server and client windows chatting with each other in one process, and a whole process quitting.
class TestChatWindows : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    // through the real server window
    void loginLinesReachEveryClient();
    void typedLineReachesEveryLogAndTheHistory();
    void closingSendsOneLogoutThatOthersSee();
    void closingTheServerReportsTheDrop();

    // from the start window
    void startWindowOpensClientWindows();
    void quitSendsNoLogoutLine();

private:
    FormTCPServerMain *openServer();
};

void TestChatWindows::initTestCase()
{
    // Login lines carry the date and time in the user's formats.
    QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
}

void TestChatWindows::init()
{
    testsupport::resetSettings();
}

void TestChatWindows::cleanup()
{
    MessageBoxAnswerer answerer;
    for (FormTCPClientMain *window : testsupport::windowsOf<FormTCPClientMain>())
        window->close();
    for (FormTCPServerMain *window : testsupport::windowsOf<FormTCPServerMain>())
        window->close();
    QTRY_COMPARE_WITH_TIMEOUT(chatWindowCount(), 0, 15000);
}

FormTCPServerMain *TestChatWindows::openServer()
{
    auto *server = new FormTCPServerMain(QStringLiteral("0"));
    server->setAttribute(Qt::WA_DeleteOnClose);
    server->show();
    return server;
}

void TestChatWindows::loginLinesReachEveryClient()
{
    FormTCPServerMain *server = openServer();
    const int port = portFromServerCaption(server->windowTitle());
    QVERIFY(port > 0);

    FormTCPClientMain *alice = openClient(QStringLiteral("Alice"), port);
    const QString aliceCaption = QStringLiteral("[Alice:127.0.0.1:%1] - クライアント").arg(port);
    QTRY_COMPARE(alice->windowTitle(), aliceCaption);
    QTRY_VERIFY(socketNumberOf(alice, "Alice     ") > 0);

    FormTCPClientMain *bob = openClient(QStringLiteral("Bob"), port);
    QTRY_COMPARE(bob->windowTitle(), QStringLiteral("[Bob:127.0.0.1:%1] - クライアント").arg(port));
    QTRY_VERIFY(socketNumberOf(bob, "Bob       ") > 0);
    QTRY_VERIFY(socketNumberOf(alice, "Bob       ") > 0);

    // Alice's window shows exactly her login and then Bob's, each a whole line.
    const QRegularExpression both(QStringLiteral("^") + loginPattern("Alice     ")
                                  + loginPattern("Bob       ") + QStringLiteral("$"));
    QVERIFY2(both.match(alice->TextLog->logText()).hasMatch(),
             qPrintable(alice->TextLog->logText()));
    // Bob joined later and never sees Alice's login.
    QCOMPARE(socketNumberOf(bob, "Alice     "), -1);
    QCOMPARE(alice->windowTitle(), aliceCaption);
    QVERIFY(server->windowTitle().startsWith(QStringLiteral("[2]-[")));
}

void TestChatWindows::typedLineReachesEveryLogAndTheHistory()
{
    const int port = portFromServerCaption(openServer()->windowTitle());
    FormTCPClientMain *alice = openClient(QStringLiteral("Alice"), port);
    QTRY_VERIFY(socketNumberOf(alice, "Alice     ") > 0);
    FormTCPClientMain *bob = openClient(QStringLiteral("Bob"), port);
    QTRY_VERIFY(socketNumberOf(alice, "Bob       ") > 0);
    const int bobNumber = socketNumberOf(bob, "Bob       ");

    const QString text = QStringLiteral("こんにちは、世界 | @ です");
    typeText(bob->ComboMain, text);
    QCOMPARE(bob->ComboMain->currentText(), text);
    QTest::keyClick(bob->ComboMain, Qt::Key_Return);

    QCOMPARE(bob->ComboMain->currentText(), QString());
    QCOMPARE(itemsOf(bob->ComboMain), QStringList{text});
    // The own line shows only once the relay has sent it back.
    const QString line = QString::number(bobNumber) + QStringLiteral("@Bob       |") + text
            + QStringLiteral("\r\n");
    QVERIFY(!bob->TextLog->logText().contains(line));
    QTRY_VERIFY(bob->TextLog->logText().endsWith(line));
    QTRY_VERIFY(alice->TextLog->logText().endsWith(line));
    QCOMPARE(alice->ComboMain->count(), 0);
}

void TestChatWindows::closingSendsOneLogoutThatOthersSee()
{
    const int port = portFromServerCaption(openServer()->windowTitle());
    FormTCPClientMain *alice = openClient(QStringLiteral("Alice"), port);
    QTRY_VERIFY(socketNumberOf(alice, "Alice     ") > 0);
    FormTCPClientMain *bob = openClient(QStringLiteral("Bob"), port);
    QTRY_VERIFY(socketNumberOf(alice, "Bob       ") > 0);
    const QString bobHead = QString::number(socketNumberOf(bob, "Bob       ")) + "@Bob       |";

    QPointer<FormTCPClientMain> closing(bob);
    QVERIFY(bob->close());
    // close() came back after the wait: the own logout line is already in the log.
    QVERIFY(closing);
    const QRegularExpression logout(QRegularExpression::escape(bobHead)
                                    + QStringLiteral("ログアウト - \\d{4}/\\d{2}/\\d{2}/"
                                                     "\\d{1,2}:\\d{2}:\\d{2}\\r\\n$"));
    QVERIFY2(logout.match(bob->TextLog->logText()).hasMatch(), qPrintable(bob->TextLog->logText()));
    QTRY_VERIFY(closing.isNull());

    QTRY_VERIFY(logout.match(alice->TextLog->logText()).hasMatch());
    // Alice goes on chatting: Bob's single logout stays the only one.
    typeLine(alice->ComboMain, "still here");
    QTRY_VERIFY(alice->TextLog->logText().endsWith("|still here\r\n"));
    QCOMPARE(alice->TextLog->logText().count(bobHead + QStringLiteral("ログアウト")), 1);
    QVERIFY(alice->isVisible());
}

void TestChatWindows::closingTheServerReportsTheDrop()
{
    FormTCPServerMain *server = openServer();
    const int port = portFromServerCaption(server->windowTitle());
    QPointer<FormTCPClientMain> alice = openClient(QStringLiteral("Alice"), port);
    QTRY_VERIFY(socketNumberOf(alice, "Alice     ") > 0);
    QPointer<FormTCPClientMain> bob = openClient(QStringLiteral("Bob"), port);
    QTRY_VERIFY(socketNumberOf(alice, "Bob       ") > 0);
    const QString caption = bob->windowTitle();

    MessageBoxAnswerer answerer;
    server->close();
    QTRY_COMPARE(answerer.texts(), QStringList({"切断されました。", "切断されました。"}));
    QCOMPARE(answerer.titles(), QStringList({"Pryne Chat", "Pryne Chat"}));
    QVERIFY(answerer.allPlain());
    // Both stay open with their last caption and log.
    QVERIFY(alice->isVisible() && bob->isVisible());
    QCOMPARE(bob->windowTitle(), caption);

    // Closing after the drop neither sends nor waits.
    bool closed = false;
    QVERIFY(!runsTheEventLoop([&] { closed = alice->close() && bob->close(); }));
    QVERIFY(closed);
    QTRY_VERIFY(alice.isNull() && bob.isNull());
    QCOMPARE(answerer.boxes.size(), 2);
}

void TestChatWindows::startWindowOpensClientWindows()
{
    const int port = portFromServerCaption(openServer()->windowTitle());
    FormMain form;
    form.show();
    form.PortInp->setText(QString::number(port));
    form.NameInp->setText(QStringLiteral("Alice"));
    form.ServerIPInp->setText(localHost);
    QTest::mouseClick(form.btnChoise[2], Qt::LeftButton);
    QTRY_COMPARE(visibleWindows<FormTCPClientMain>().size(), 1);
    FormTCPClientMain *alice = visibleWindows<FormTCPClientMain>().first();
    QTRY_VERIFY(socketNumberOf(alice, "Alice     ") > 0);
    const QString aliceCaption = alice->windowTitle();
    QCOMPARE(aliceCaption, QStringLiteral("[Alice:127.0.0.1:%1] - クライアント").arg(port));

    // A second press with another name: a second window, and new lines of the first carry it.
    form.NameInp->setText(QStringLiteral("太郎"));
    QTest::mouseClick(form.btnChoise[2], Qt::LeftButton);
    QTRY_COMPARE(visibleWindows<FormTCPClientMain>().size(), 2);
    QTRY_VERIFY(socketNumberOf(alice, "太郎        ") > 0);
    QVERIFY(form.isVisible());

    typeLine(alice->ComboMain, QStringLiteral("やあ"));
    const QString line = QString::number(socketNumberOf(alice, "Alice     "))
            + QStringLiteral("@太郎        |やあ\r\n");
    QTRY_VERIFY(alice->TextLog->logText().endsWith(line));
    QCOMPARE(alice->windowTitle(), aliceCaption);
    for (FormTCPClientMain *client : visibleWindows<FormTCPClientMain>())
        QTRY_VERIFY(client->TextLog->logText().endsWith(line));
}

void TestChatWindows::quitSendsNoLogoutLine()
{
    // A relay on the real server component, kept in this process to count what arrives.
    socks::CWS_TCP_S relay;
    QVERIFY(relay.StartService(0));
    QStringList received;
    connect(&relay, &socks::CWS_TCP_S::GetData, this,
            [&relay, &received](int, const QString &text) {
                received << text;
                relay.SendData(text, 0);
            });
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QSignalSpy finished(&child, &QProcess::finished);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--quit-after-login"), QString::number(relay.Port())});
    // The relay lives in this process: wait with the event loop running.
    QVERIFY(finished.wait(20000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);

    QTRY_COMPARE(relay.ConnectionCount(), 0);
    QCOMPARE(received.size(), 1);
    QVERIFY(received.first().contains(QStringLiteral("@Quitter   |ログイン - ")));
}

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--quit-after-login") == 0)
        return pressQuitAfterLogin(QString::fromLocal8Bit(argv[2]));
    TestChatWindows test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_ChatWindows.moc"
