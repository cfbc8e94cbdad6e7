#include "app/ModuleMain.h"
#include "forms/ChatLook.h"
#include "forms/client/FormTCPClientMain.h"
#include "forms/main/FormMain.h"
#include "forms/server/FormTCPServerMain.h"
#include "net/CWS_TCP_S.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <functional>

namespace {

const QString localHost = QStringLiteral("127.0.0.1");

// Answers every modal message box that comes up while it lives, as a user pressing OK would, and
// remembers what each one said.
class ModalAnswerer : public QObject
{
public:
    ModalAnswerer()
    {
        timer.setInterval(20);
        connect(&timer, &QTimer::timeout, this, &ModalAnswerer::answer);
        timer.start();
    }

    QStringList texts;
    QStringList titles;
    bool plainBoxes = true; // no icon, OK only

private:
    void answer()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        texts << box->text();
        titles << box->windowTitle();
        if (box->icon() != QMessageBox::NoIcon || box->standardButtons() != QMessageBox::Ok)
            plainBoxes = false;
        box->button(QMessageBox::Ok)->click();
    }

    QTimer timer;
};

// A relay on the real server component whose answer to each received text the test decides.
class ScriptedRelay : public QObject
{
public:
    ScriptedRelay()
    {
        connect(&component, &socks::CWS_TCP_S::GetData, this,
                [this](int Index, const QString &rstrData) {
                    received << rstrData;
                    if (answer)
                        answer(rstrData);
                    else
                        component.SendData(rstrData, 0);
                    Q_UNUSED(Index);
                });
        component.StartService(0);
    }

    socks::CWS_TCP_S component;
    QStringList received;
    std::function<void(const QString &)> answer; // empty: echo to everybody at once
};

// A server that takes everything and never answers.
class SilentServer : public QObject
{
public:
    SilentServer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                peer = socket;
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                    const QByteArray bytes = socket->readAll();
                    receivedBytes += bytes.size();
                    if (onBytes)
                        onBytes(socket);
                });
                connect(socket, &QTcpSocket::disconnected, this, [this] { peerGone = true; });
            }
        });
    }

    int port() const { return server.serverPort(); }

    QTcpServer server;
    QPointer<QTcpSocket> peer;
    qint64 receivedBytes = 0;
    bool peerGone = false;
    std::function<void(QTcpSocket *)> onBytes;
};

// Types as a keyboard with an input method would: every character arrives as the text of a key.
void typeText(QComboBox *combo, const QString &text)
{
    for (const QChar character : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(character));
        QApplication::sendEvent(combo, &press);
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(character));
        QApplication::sendEvent(combo, &release);
    }
}

void typeLine(QComboBox *combo, const QString &text)
{
    typeText(combo, text);
    QTest::keyClick(combo, Qt::Key_Return);
}

QStringList historyOf(const QComboBox *combo)
{
    QStringList entries;
    for (int index = 0; index < combo->count(); ++index)
        entries << combo->itemText(index);
    return entries;
}

int portFromServerCaption(const QString &caption)
{
    static const QRegularExpression pattern(
            QStringLiteral("^\\[\\d+\\]-\\[.*:(\\d+)\\] - サーバ$"));
    const QRegularExpressionMatch match = pattern.match(caption);
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

QString loginPattern(const QString &paddedName)
{
    return QStringLiteral("(\\d+)@") + QRegularExpression::escape(paddedName)
            + QStringLiteral("\\|ログイン - \\d{4}/\\d{2}/\\d{2}/\\d{1,2}:\\d{2}:\\d{2}\\r\\n");
}

QList<FormTCPClientMain *> clientWindows()
{
    QList<FormTCPClientMain *> clients;
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (auto *client = qobject_cast<FormTCPClientMain *>(window); client && client->isVisible())
            clients << client;
    }
    return clients;
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
        const QList<FormTCPClientMain *> clients = clientWindows();
        if (clients.size() == 1 && clients.first()->TextLog->logText().contains("ログイン"))
            QTest::mouseClick(form->btnChoise[0], Qt::LeftButton);
    });
    poll.start();
    QTimer::singleShot(10000, [] { QCoreApplication::exit(3); });
    return QApplication::exec();
}

int chatWindowCount()
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    return int(std::count_if(windows.cbegin(), windows.cend(), [](QWidget *window) {
        return qobject_cast<FormTCPClientMain *>(window)
                || qobject_cast<FormTCPServerMain *>(window);
    }));
}

} // namespace

class TestFormTCPClientMain : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    // window
    void opensWithItsDesign();
    void resizeKeepsLastSizesWhenTooSmall();

    // chat through the real server window
    void loginLinesReachEveryClient();
    void typedLineReachesEveryLogAndTheHistory();
    void enterSendsExactlyOnce();
    void historyFollowsWhatWasSent_data();
    void historyFollowsWhatWasSent();
    void clearsLogAndHistory();
    void laterSettingsChangeTheNextLinesOnly();
    void closingSendsOneLogoutThatOthersSee();
    void closingTheServerReportsTheDrop();

    // from the start window and the command line
    void startWindowOpensClientWindows();
    void slashCOpensAClientWithoutSettings();
    void quitSendsNoLogoutLine();

    // against scripted peers
    void caretStandsBeforeTheLastLineEnd();
    void closingWaitsForTheExactEcho();
    void waitEndsWhenTheServerNeverEchoes();
    void waitEndsWhenTheConnectionDrops();
    void closingWhileConnectingClosesAtOnce();
    void failedConnectionReportsAndClosesAtOnce();

private:
    FormTCPServerMain *openServer();
    FormTCPClientMain *openClient(const QString &name, int port);
    int socketNumberOf(FormTCPClientMain *client, const QString &paddedName);
};

void TestFormTCPClientMain::initTestCase()
{
    // Login lines carry the date and time in the user's formats.
    QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
}

void TestFormTCPClientMain::init()
{
    ModuleMain::gintPort = 0;
    ModuleMain::gstrHandleName.clear();
    ModuleMain::gstrServerIP.clear();
}

void TestFormTCPClientMain::cleanup()
{
    ModalAnswerer answerer;
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        if (qobject_cast<FormTCPClientMain *>(window))
            window->close();
    }
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (qobject_cast<FormTCPServerMain *>(window))
            window->close();
    }
    QTRY_COMPARE_WITH_TIMEOUT(chatWindowCount(), 0, 15000);
}

FormTCPServerMain *TestFormTCPClientMain::openServer()
{
    auto *server = new FormTCPServerMain(QStringLiteral("0"));
    server->setAttribute(Qt::WA_DeleteOnClose);
    server->show();
    return server;
}

FormTCPClientMain *TestFormTCPClientMain::openClient(const QString &name, int port)
{
    ModuleMain::gintPort = port;
    ModuleMain::gstrHandleName = name;
    ModuleMain::gstrServerIP = localHost;
    auto *client = new FormTCPClientMain;
    client->setAttribute(Qt::WA_DeleteOnClose);
    client->show();
    return client;
}

// The socket number that heads the client's own login line in its log.
int TestFormTCPClientMain::socketNumberOf(FormTCPClientMain *client, const QString &paddedName)
{
    const QRegularExpression login(loginPattern(paddedName));
    const QRegularExpressionMatch match = login.match(client->TextLog->logText());
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

void TestFormTCPClientMain::opensWithItsDesign()
{
    SilentServer silent;
    FormTCPClientMain *client = openClient(QStringLiteral("Alice"), silent.port());
    QVERIFY(QTest::qWaitForWindowExposed(client));

    QCOMPARE(client->windowTitle(), QStringLiteral("クライアント"));
    QVERIFY(!client->windowIcon().isNull());
    QCOMPARE(client->centralWidget()->size(), QSize(419, 293));

    const QList<QAction *> items = client->menuBar()->actions();
    QStringList captions;
    for (const QAction *item : items) {
        captions << item->text();
        QVERIFY(!item->menu());
    }
    QCOMPARE(captions,
             QStringList({"接続", "接続を切断", "送信", "情報", "ログクリア", "ヒストリークリア"}));
    QVERIFY(!client->mnuConnect->isEnabled());
    QVERIFY(!client->mnuClose->isEnabled());
    QVERIFY(client->mnuSend->isEnabled());
    QVERIFY(client->mnuInfWSock->isEnabled());
    QVERIFY(client->mnuLogClear->isEnabled());
    QVERIFY(client->mnuHistClear->isEnabled());

    for (QWidget *control :
         {static_cast<QWidget *>(client->TextLog), static_cast<QWidget *>(client->ComboMain)}) {
        QCOMPARE(control->palette().color(QPalette::Base), QColor(192, 192, 255));
        QCOMPARE(control->palette().color(QPalette::Text), QColor(64, 64, 64));
        QCOMPARE(control->font().family(), chatFont().family());
        QCOMPARE(control->font().pointSize(), 9);
    }
    QVERIFY(client->TextLog->isReadOnly());
    QVERIFY(client->ComboMain->isEditable());
    QCOMPARE(client->ComboMain->count(), 0);
    QCOMPARE(client->ComboMain->currentText(), QString());

    // The log fills the client area above the combo box, which runs along the bottom edge.
    const QRect log = client->TextLog->geometry();
    const QRect combo = client->ComboMain->geometry();
    QCOMPARE(log, QRect(0, 0, 419, 293 - combo.height()));
    QCOMPARE(combo, QRect(0, log.bottom() + 1, 419, combo.height()));

    client->resize(600, 500);
    QTRY_COMPARE(client->TextLog->width(), client->centralWidget()->width());
    QCOMPARE(client->ComboMain->geometry().bottom(), client->centralWidget()->height() - 1);
    QCOMPARE(client->ComboMain->width(), client->centralWidget()->width());
}

void TestFormTCPClientMain::resizeKeepsLastSizesWhenTooSmall()
{
    SilentServer silent;
    FormTCPClientMain *client = openClient(QStringLiteral("Alice"), silent.port());
    QVERIFY(QTest::qWaitForWindowExposed(client));
    const int comboHeight = client->ComboMain->height();
    const int logHeight = client->TextLog->height();
    const int comboWidth = client->ComboMain->width();

    client->setMinimumSize(0, 0);
    client->centralWidget()->setMinimumSize(0, 0);
    client->resize(comboHeight - 5, client->height() - client->centralWidget()->height() + 3);
    QTRY_COMPARE(client->centralWidget()->height(), 3);
    QCOMPARE(client->centralWidget()->width(), comboHeight - 5);

    QCOMPARE(client->TextLog->width(), comboHeight - 5);
    QCOMPARE(client->TextLog->height(), logHeight);
    QCOMPARE(client->ComboMain->y(), logHeight);
    QCOMPARE(client->ComboMain->width(), comboWidth);
}

void TestFormTCPClientMain::loginLinesReachEveryClient()
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

void TestFormTCPClientMain::typedLineReachesEveryLogAndTheHistory()
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
    QCOMPARE(historyOf(bob->ComboMain), QStringList{text});
    // The own line shows only once the relay has sent it back.
    const QString line = QString::number(bobNumber) + QStringLiteral("@Bob       |") + text
            + QStringLiteral("\r\n");
    QVERIFY(!bob->TextLog->logText().contains(line));
    QTRY_VERIFY(bob->TextLog->logText().endsWith(line));
    QTRY_VERIFY(alice->TextLog->logText().endsWith(line));
    QCOMPARE(alice->ComboMain->count(), 0);
}

void TestFormTCPClientMain::enterSendsExactlyOnce()
{
    const int port = portFromServerCaption(openServer()->windowTitle());
    FormTCPClientMain *alice = openClient(QStringLiteral("Alice"), port);
    QTRY_VERIFY(socketNumberOf(alice, "Alice     ") > 0);
    const QString head = QString::number(socketNumberOf(alice, "Alice     ")) + "@Alice     |";

    // Return on the combo box, Return on its line edit, keypad Enter, the menu item.
    QTest::keyClicks(alice->ComboMain, "one");
    QTest::keyClick(alice->ComboMain, Qt::Key_Return);
    QTest::keyClicks(alice->ComboMain, "two");
    QTest::keyClick(alice->ComboMain->lineEdit(), Qt::Key_Return);
    QTest::keyClicks(alice->ComboMain, "three");
    QTest::keyClick(alice->ComboMain, Qt::Key_Enter, Qt::KeypadModifier);
    QTest::keyClicks(alice->ComboMain, "four");
    alice->mnuSend->trigger();
    QTest::keyClicks(alice->ComboMain, "end");
    QTest::keyClick(alice->ComboMain, Qt::Key_Return);

    QTRY_VERIFY(alice->TextLog->logText().endsWith(head + "end\r\n"));
    const QString log = alice->TextLog->logText();
    for (const QString text : {"one", "two", "three", "four"})
        QCOMPARE(log.count(head + text + "\r\n"), 1);
    QCOMPARE(log.count("\r\n"), 6);
    QCOMPARE(historyOf(alice->ComboMain), QStringList({"end", "four", "three", "two", "one"}));
}

void TestFormTCPClientMain::historyFollowsWhatWasSent_data()
{
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QStringList>("history");

    QTest::newRow("a b a") << QStringList{"a", "b", "a"} << QStringList{"a", "b", "a"};
    QTest::newRow("a a") << QStringList{"a", "a"} << QStringList{"a"};
    QTest::newRow("case matters") << QStringList{"a", "A"} << QStringList{"A", "a"};
    QTest::newRow("empty into an empty list") << QStringList{""} << QStringList{};
    QTest::newRow("empty after a") << QStringList{"a", ""} << QStringList{"", "a"};
    QTest::newRow("Japanese twice")
            << QStringList{"日本語", "日本語", "x"} << QStringList{"x", "日本語"};
}

void TestFormTCPClientMain::historyFollowsWhatWasSent()
{
    QFETCH(QStringList, sent);
    QFETCH(QStringList, history);

    const int port = portFromServerCaption(openServer()->windowTitle());
    FormTCPClientMain *alice = openClient(QStringLiteral("Alice"), port);
    QTRY_VERIFY(socketNumberOf(alice, "Alice     ") > 0);
    const QString head = QString::number(socketNumberOf(alice, "Alice     ")) + "@Alice     |";

    for (const QString &text : sent)
        typeLine(alice->ComboMain, text);

    QCOMPARE(historyOf(alice->ComboMain), history);
    // Every Enter sent a line, the empty text and repeats included.
    QTRY_COMPARE(alice->TextLog->logText().count("\r\n" + head), sent.size());
}

void TestFormTCPClientMain::clearsLogAndHistory()
{
    const int port = portFromServerCaption(openServer()->windowTitle());
    FormTCPClientMain *alice = openClient(QStringLiteral("Alice"), port);
    QTRY_VERIFY(socketNumberOf(alice, "Alice     ") > 0);
    const QString head = QString::number(socketNumberOf(alice, "Alice     ")) + "@Alice     |";

    typeLine(alice->ComboMain, "a");
    typeLine(alice->ComboMain, "b");
    typeText(alice->ComboMain, "half typed");
    QTRY_VERIFY(alice->TextLog->logText().endsWith(head + "b\r\n"));

    alice->mnuHistClear->trigger();
    QCOMPARE(alice->ComboMain->count(), 0);
    QCOMPARE(alice->ComboMain->currentText(), QString());

    alice->mnuLogClear->trigger();
    QCOMPARE(alice->TextLog->logText(), QString());
    typeLine(alice->ComboMain, "c");
    QTRY_COMPARE(alice->TextLog->logText(), head + "c\r\n");
    QCOMPARE(historyOf(alice->ComboMain), QStringList{"c"});
}

void TestFormTCPClientMain::laterSettingsChangeTheNextLinesOnly()
{
    const int port = portFromServerCaption(openServer()->windowTitle());
    FormTCPClientMain *alice = openClient(QStringLiteral("Alice"), port);
    QTRY_VERIFY(socketNumberOf(alice, "Alice     ") > 0);
    const QString number = QString::number(socketNumberOf(alice, "Alice     "));
    const QString caption = alice->windowTitle();

    // Another press in the start window stores new settings for every client window.
    ModuleMain::gstrHandleName = QStringLiteral("ABCDEFGHIJ");
    ModuleMain::gintPort = 1;
    typeLine(alice->ComboMain, "hi");
    QTRY_VERIFY(alice->TextLog->logText().endsWith(number + "@ABCDEFGHIJ|hi\r\n"));
    QCOMPARE(alice->windowTitle(), caption);
}

void TestFormTCPClientMain::closingSendsOneLogoutThatOthersSee()
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

void TestFormTCPClientMain::closingTheServerReportsTheDrop()
{
    FormTCPServerMain *server = openServer();
    const int port = portFromServerCaption(server->windowTitle());
    QPointer<FormTCPClientMain> alice = openClient(QStringLiteral("Alice"), port);
    QTRY_VERIFY(socketNumberOf(alice, "Alice     ") > 0);
    QPointer<FormTCPClientMain> bob = openClient(QStringLiteral("Bob"), port);
    QTRY_VERIFY(socketNumberOf(alice, "Bob       ") > 0);
    const QString caption = bob->windowTitle();

    ModalAnswerer answerer;
    server->close();
    QTRY_COMPARE(answerer.texts, QStringList({"切断されました。", "切断されました。"}));
    QCOMPARE(answerer.titles, QStringList({"Pryne Chat", "Pryne Chat"}));
    QVERIFY(answerer.plainBoxes);
    // Both stay open with their last caption and log.
    QVERIFY(alice->isVisible() && bob->isVisible());
    QCOMPARE(bob->windowTitle(), caption);

    // Closing after the drop neither sends nor waits.
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(alice->close());
    QVERIFY(bob->close());
    QVERIFY(elapsed.elapsed() < 1000);
    QTRY_VERIFY(alice.isNull() && bob.isNull());
    QCOMPARE(answerer.texts.size(), 2);
}

void TestFormTCPClientMain::startWindowOpensClientWindows()
{
    const int port = portFromServerCaption(openServer()->windowTitle());
    FormMain form;
    form.show();
    form.PortInp->setText(QString::number(port));
    form.NameInp->setText(QStringLiteral("Alice"));
    form.ServerIPInp->setText(localHost);
    QTest::mouseClick(form.btnChoise[2], Qt::LeftButton);
    QTRY_COMPARE(clientWindows().size(), 1);
    FormTCPClientMain *alice = clientWindows().first();
    QTRY_VERIFY(socketNumberOf(alice, "Alice     ") > 0);
    const QString aliceCaption = alice->windowTitle();
    QCOMPARE(aliceCaption, QStringLiteral("[Alice:127.0.0.1:%1] - クライアント").arg(port));

    // A second press with another name: a second window, and new lines of the first carry it.
    form.NameInp->setText(QStringLiteral("太郎"));
    QTest::mouseClick(form.btnChoise[2], Qt::LeftButton);
    QTRY_COMPARE(clientWindows().size(), 2);
    QTRY_VERIFY(socketNumberOf(alice, "太郎        ") > 0);
    QVERIFY(form.isVisible());

    typeLine(alice->ComboMain, QStringLiteral("やあ"));
    const QString line = QString::number(socketNumberOf(alice, "Alice     "))
            + QStringLiteral("@太郎        |やあ\r\n");
    QTRY_VERIFY(alice->TextLog->logText().endsWith(line));
    QCOMPARE(alice->windowTitle(), aliceCaption);
    for (FormTCPClientMain *client : clientWindows())
        QTRY_VERIFY(client->TextLog->logText().endsWith(line));
}

void TestFormTCPClientMain::slashCOpensAClientWithoutSettings()
{
    // Never set by a start window: no host, port 0.
    ModalAnswerer answerer;
    QVERIFY(ModuleMain::Main(QStringLiteral("/C")));
    QCOMPARE(clientWindows().size(), 1);
    QPointer<FormTCPClientMain> client = clientWindows().first();
    QVERIFY(client->testAttribute(Qt::WA_DeleteOnClose));
    QCOMPARE(client->parentWidget(), nullptr);
    QTRY_COMPARE(answerer.texts, QStringList{"接続に失敗しました。"});
    QCOMPARE(client->windowTitle(), QStringLiteral("クライアント"));
    QVERIFY(client->close());
    QTRY_VERIFY(client.isNull());
}

void TestFormTCPClientMain::quitSendsNoLogoutLine()
{
    ScriptedRelay relay;
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QSignalSpy finished(&child, &QProcess::finished);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--quit-after-login"), QString::number(relay.component.Port())});
    // The relay lives in this process: wait with the event loop running.
    QVERIFY(finished.wait(20000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);

    QTRY_COMPARE(relay.component.ConnectionCount(), 0);
    QCOMPARE(relay.received.size(), 1);
    QVERIFY(relay.received.first().contains(QStringLiteral("@Quitter   |ログイン - ")));
}

void TestFormTCPClientMain::caretStandsBeforeTheLastLineEnd()
{
    ScriptedRelay relay;
    relay.answer = [](const QString &) {
    }; // keeps the log empty
    FormTCPClientMain *alice = openClient(QStringLiteral("Alice"), relay.component.Port());
    QTRY_COMPARE(relay.received.size(), 1);

    relay.component.SendData(QString(), 0);
    relay.component.SendData(QStringLiteral("x"), 0);
    QTRY_COMPARE(alice->TextLog->logText(), QStringLiteral("x"));
    alice->TextLog->flushToDisplay();
    QCOMPARE(alice->TextLog->caretPosition(), 0);

    alice->mnuLogClear->trigger();
    relay.component.SendData(QString(), 0);
    QTRY_COMPARE(alice->TextLog->logLength(), 0);
    QTest::qWait(50);
    alice->TextLog->flushToDisplay();
    QCOMPARE(alice->TextLog->caretPosition(), 0);

    relay.component.SendData(QStringLiteral("1@Bob       |abc\r\n"), 0);
    QTRY_COMPARE(alice->TextLog->logText(), QStringLiteral("1@Bob       |abc\r\n"));
    alice->TextLog->flushToDisplay();
    // Shown without the CR: the caret stands before the final line feed.
    QCOMPARE(alice->TextLog->toPlainText(), QStringLiteral("1@Bob       |abc\n"));
    QCOMPARE(alice->TextLog->caretPosition(), 16);
    relay.answer = nullptr;
}

void TestFormTCPClientMain::closingWaitsForTheExactEcho()
{
    ScriptedRelay relay;
    constexpr int echoDelay = 400;
    relay.answer = [&relay](const QString &text) {
        if (!text.contains(QStringLiteral("ログアウト"))) {
            relay.component.SendData(text, 0);
            return;
        }
        // Near misses first: more than the line, less than it, another socket number.
        relay.component.SendData(text + QStringLiteral("x"), 0);
        relay.component.SendData(text.chopped(2), 0);
        relay.component.SendData(QStringLiteral("1") + text, 0);
        QTimer::singleShot(echoDelay, &relay,
                           [&relay, text] { relay.component.SendData(text, 0); });
    };
    QPointer<FormTCPClientMain> alice = openClient(QStringLiteral("Alice"), relay.component.Port());
    QTRY_VERIFY(socketNumberOf(alice, "Alice     ") > 0);

    // A second close request during the wait is ignored.
    bool visibleAfterSecondRequest = false;
    QTimer::singleShot(echoDelay / 4, this, [&] {
        alice->close();
        visibleAfterSecondRequest = alice && alice->isVisible();
    });
    QElapsedTimer elapsed;
    elapsed.start();
    alice->close();
    QVERIFY(elapsed.elapsed() >= echoDelay);
    QVERIFY(elapsed.elapsed() < FormTCPClientMain::echoWaitMilliseconds);
    QVERIFY(visibleAfterSecondRequest);
    QTRY_VERIFY(alice.isNull());

    QCOMPARE(relay.received.size(), 2);
    QVERIFY(relay.received[1].contains(QStringLiteral("@Alice     |ログアウト - ")));
    QTRY_COMPARE(relay.component.ConnectionCount(), 0);
}

void TestFormTCPClientMain::waitEndsWhenTheServerNeverEchoes()
{
    SilentServer silent;
    QPointer<FormTCPClientMain> alice = openClient(QStringLiteral("Alice"), silent.port());
    QTRY_VERIFY(alice->windowTitle().startsWith(QStringLiteral("[Alice:")));
    QTRY_VERIFY(silent.receivedBytes > 0);
    const qint64 loginBytes = silent.receivedBytes;

    QElapsedTimer elapsed;
    elapsed.start();
    alice->close();
    const qint64 waited = elapsed.elapsed();
    QVERIFY2(waited >= FormTCPClientMain::echoWaitMilliseconds - 100,
             qPrintable(QString::number(waited)));
    QVERIFY2(waited < FormTCPClientMain::echoWaitMilliseconds + 2000,
             qPrintable(QString::number(waited)));
    QTRY_VERIFY(alice.isNull());
    QVERIFY(silent.receivedBytes > loginBytes);
    QTRY_VERIFY(silent.peerGone);
}

void TestFormTCPClientMain::waitEndsWhenTheConnectionDrops()
{
    SilentServer silent;
    QPointer<FormTCPClientMain> alice = openClient(QStringLiteral("Alice"), silent.port());
    QTRY_VERIFY(alice->windowTitle().startsWith(QStringLiteral("[Alice:")));
    QTRY_VERIFY(silent.receivedBytes > 0);
    // The logout line is the next thing to come: the server goes away instead of answering.
    silent.onBytes = [](QTcpSocket *socket) {
        socket->abort();
    };

    ModalAnswerer answerer;
    QElapsedTimer elapsed;
    elapsed.start();
    alice->close();
    QVERIFY(elapsed.elapsed() < 3000);
    QCOMPARE(answerer.texts, QStringList{"切断されました。"});
    QTRY_VERIFY(alice.isNull());
}

void TestFormTCPClientMain::closingWhileConnectingClosesAtOnce()
{
    SilentServer silent;
    QPointer<FormTCPClientMain> alice = openClient(QStringLiteral("Alice"), silent.port());
    // The connection is only under way until the event loop runs.
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(alice->close());
    QVERIFY2(elapsed.elapsed() < 1000, qPrintable(QString::number(elapsed.elapsed())));
    QTRY_VERIFY(alice.isNull());
}

void TestFormTCPClientMain::failedConnectionReportsAndClosesAtOnce()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const int port = probe.serverPort();
    probe.close(); // nobody listens there now

    ModalAnswerer answerer;
    QPointer<FormTCPClientMain> alice = openClient(QStringLiteral("Alice"), port);
    QTRY_COMPARE(answerer.texts, QStringList{"接続に失敗しました。"});
    QCOMPARE(answerer.titles, QStringList{"Pryne Chat"});
    QVERIFY(answerer.plainBoxes);
    QVERIFY(alice->isVisible());
    QCOMPARE(alice->windowTitle(), QStringLiteral("クライアント"));

    // Typing still works and goes nowhere; closing neither sends nor waits.
    typeLine(alice->ComboMain, "lost");
    QCOMPARE(historyOf(alice->ComboMain), QStringList{"lost"});
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(alice->close());
    QVERIFY(elapsed.elapsed() < 1000);
    QTRY_VERIFY(alice.isNull());
    QCOMPARE(answerer.texts.size(), 1);
}

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--quit-after-login") == 0)
        return pressQuitAfterLogin(QString::fromLocal8Bit(argv[2]));
    TestFormTCPClientMain test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_FormTCPClientMain.moc"
