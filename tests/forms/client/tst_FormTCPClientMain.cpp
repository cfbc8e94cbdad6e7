#include "app/ModuleMain.h"
#include "forms/ChatLook.h"
#include "forms/SharedSettings.h"
#include "forms/client/FormTCPClientMain.h"
#include "forms/info/InfoWindows.h"
#include "net/CWS_TCP_S.h"
#include "tests/support/ClientWindows.h"
#include "tests/support/Waits.h"
#include "tests/support/Windows.h"
#include "tests/support/WireClient.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QCloseEvent>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QWindow>
#include <QtTest>

#include <functional>

using testsupport::itemsOf;
using testsupport::MessageBoxAnswerer;
using testsupport::RefusedPort;
using testsupport::runsTheEventLoop;
using testsupport::typeLine;
using testsupport::typeText;
using testsupport::visibleWindows;
using testsupport::WireServer;

using testsupport::loginPattern;
using testsupport::openClient;
using testsupport::socketNumberOf;

namespace {

// A relay on the real server component whose answer to each received text the test decides.
// What the window system's close button does: a close event to the window, which hands it on
// to its widget and takes the window off the screen when the widget agrees.
void closeFromTheWindowSystem(QWidget *window)
{
    QCloseEvent close;
    QCoreApplication::sendEvent(window->windowHandle(), &close);
}

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

// Whether a client information window shows this many texts received.
bool infoShowsReceived(int texts)
{
    const QString shown = QString::number(texts) + QStringLiteral(" テキスト / ");
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (window->objectName() != QStringLiteral("ClientInfoWindow") || !window->isVisible())
            continue;
        const QList<QLabel *> labels = window->findChildren<QLabel *>();
        if (std::any_of(labels.cbegin(), labels.cend(),
                        [&shown](const QLabel *label) { return label->text().startsWith(shown); }))
            return true;
    }
    return false;
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
    void opensWithItsLayout();
    void resizeKeepsLastSizesWhenTooSmall();

    // chat through a relay
    void enterSendsExactlyOnce();
    void historyFollowsWhatWasSent_data();
    void historyFollowsWhatWasSent();
    void clearsLogAndHistory();
    void laterSettingsChangeTheNextLinesOnly();

    void historyKeysWalkFromTheNewest();
    void slashCOpensAClientWithoutSettings();

    // against scripted peers
    void caretStandsBeforeTheLastLineEnd();
    void closingWaitsForTheExactEcho();
    void waitEndsWhenTheServerNeverEchoes();
    void waitEndsWhenTheConnectionDrops();
    void closingWhileConnectingClosesAtOnce();
    void failedConnectionReportsAndClosesAtOnce();
    void everyCloseDuringTheWaitKeepsTheWindow();
    void slashCReportsAFailedConnectionOnItsWindow();

    // menu bar
    void menuBarShowsTheKeyboardAndTheMouse();

private:
};

void TestFormTCPClientMain::initTestCase()
{
    // Login lines carry the date and time in the user's formats.
    QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
    InfoWindows::install(); // as the program does at its start
}

void TestFormTCPClientMain::init()
{
    testsupport::resetSettings();
}

void TestFormTCPClientMain::cleanup()
{
    MessageBoxAnswerer answerer;
    for (FormTCPClientMain *window : testsupport::windowsOf<FormTCPClientMain>())
        window->close();
    QTRY_VERIFY_WITH_TIMEOUT(testsupport::windowsOf<FormTCPClientMain>().isEmpty(), 15000);
}

void TestFormTCPClientMain::opensWithItsLayout()
{
    WireServer silent;
    QVERIFY(silent.listen());
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
    WireServer silent;
    QVERIFY(silent.listen());
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

void TestFormTCPClientMain::enterSendsExactlyOnce()
{
    ScriptedRelay relay;
    FormTCPClientMain *alice = openClient(QStringLiteral("Alice"), relay.component.Port());
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
    QCOMPARE(itemsOf(alice->ComboMain), QStringList({"end", "four", "three", "two", "one"}));
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

    ScriptedRelay relay;
    FormTCPClientMain *alice = openClient(QStringLiteral("Alice"), relay.component.Port());
    QTRY_VERIFY(socketNumberOf(alice, "Alice     ") > 0);
    const QString head = QString::number(socketNumberOf(alice, "Alice     ")) + "@Alice     |";

    for (const QString &text : sent)
        typeLine(alice->ComboMain, text);

    QCOMPARE(itemsOf(alice->ComboMain), history);
    // Every Enter sent a line, the empty text and repeats included.
    QTRY_COMPARE(alice->TextLog->logText().count("\r\n" + head), sent.size());
}

void TestFormTCPClientMain::historyKeysWalkFromTheNewest()
{
    ScriptedRelay relay;
    FormTCPClientMain *alice = openClient(QStringLiteral("Alice"), relay.component.Port());
    QTRY_VERIFY(socketNumberOf(alice, "Alice     ") > 0);
    QComboBox *combo = alice->ComboMain;
    const auto sendEach = [combo](const QStringList &texts) {
        for (const QString &text : texts) {
            typeLine(combo, text);
            // Nothing stays chosen after a send.
            if (combo->currentIndex() != -1 || !combo->currentText().isEmpty())
                return false;
        }
        return true;
    };
    const auto popUpChoice = [combo] {
        combo->showPopup();
        const int row = combo->view()->currentIndex().row();
        combo->hidePopup();
        return row;
    };
    QVERIFY(sendEach({"one", "two", "three"}));
    QCOMPARE(itemsOf(combo), QStringList({"three", "two", "one"}));

    QTest::keyClick(combo, Qt::Key_Down);
    QCOMPARE(combo->currentText(), QStringLiteral("three"));
    QTest::keyClick(combo, Qt::Key_Down);
    QCOMPARE(combo->currentText(), QStringLiteral("two"));
    QTest::keyClick(combo, Qt::Key_Up);
    QCOMPARE(combo->currentText(), QStringLiteral("three"));
    // Sending the newest again leaves the list as it was, and Up too starts at the newest.
    QTest::keyClick(combo, Qt::Key_Return);
    QCOMPARE(combo->currentIndex(), -1);
    QTest::keyClick(combo, Qt::Key_Up);
    QCOMPARE(combo->currentText(), QStringLiteral("three"));
    QTest::keyClick(combo, Qt::Key_Down);
    QCOMPARE(combo->currentText(), QStringLiteral("two"));
    QTest::keyClick(combo, Qt::Key_Return);
    QCOMPARE(itemsOf(combo), QStringList({"two", "three", "two", "one"}));
    QCOMPARE(popUpChoice(), 0);

    // The drop-down opens on the entry the field shows, and Enter in it keeps that entry.
    QTest::keyClick(combo, Qt::Key_Down);
    QTest::keyClick(combo, Qt::Key_Down);
    QCOMPARE(combo->currentText(), QStringLiteral("three"));
    QTest::keyClick(combo, Qt::Key_Down, Qt::AltModifier);
    QTRY_VERIFY(combo->view()->isVisible());
    QCOMPARE(combo->view()->currentIndex().row(), 1);
    QTest::keyClick(combo->view(), Qt::Key_Return);
    QTRY_VERIFY(!combo->view()->isVisible());
    QCOMPARE(combo->currentText(), QStringLiteral("three"));
    // Typed text equal to an older entry is that entry; any other text opens on the newest.
    combo->clearEditText();
    typeText(combo, "one");
    QCOMPARE(popUpChoice(), 3);
    typeText(combo, "x");
    QCOMPARE(popUpChoice(), 0);
    combo->clearEditText();

    alice->mnuHistClear->trigger();
    QVERIFY(sendEach({"a", "b"}));
    QCOMPARE(popUpChoice(), 0);
    QTest::keyClick(combo, Qt::Key_Down);
    QCOMPARE(combo->currentText(), QStringLiteral("b"));
}

void TestFormTCPClientMain::clearsLogAndHistory()
{
    ScriptedRelay relay;
    FormTCPClientMain *alice = openClient(QStringLiteral("Alice"), relay.component.Port());
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
    QCOMPARE(itemsOf(alice->ComboMain), QStringList{"c"});
}

void TestFormTCPClientMain::laterSettingsChangeTheNextLinesOnly()
{
    ScriptedRelay relay;
    FormTCPClientMain *alice = openClient(QStringLiteral("Alice"), relay.component.Port());
    QTRY_VERIFY(socketNumberOf(alice, "Alice     ") > 0);
    const QString number = QString::number(socketNumberOf(alice, "Alice     "));
    const QString caption = alice->windowTitle();

    // Another press in the start window stores new settings for every client window.
    SharedSettings::gstrHandleName = QStringLiteral("ABCDEFGHIJ");
    SharedSettings::gintPort = 1;
    typeLine(alice->ComboMain, "hi");
    QTRY_VERIFY(alice->TextLog->logText().endsWith(number + "@ABCDEFGHIJ|hi\r\n"));
    QCOMPARE(alice->windowTitle(), caption);
}

void TestFormTCPClientMain::slashCOpensAClientWithoutSettings()
{
    // Never set by a start window: no host, port 0.
    MessageBoxAnswerer answerer;
    QVERIFY(ModuleMain::Main(QStringLiteral("/C")));
    QCOMPARE(visibleWindows<FormTCPClientMain>().size(), 1);
    QPointer<FormTCPClientMain> client = visibleWindows<FormTCPClientMain>().first();
    QVERIFY(client->testAttribute(Qt::WA_DeleteOnClose));
    QCOMPARE(client->parentWidget(), nullptr);
    QTRY_COMPARE(answerer.texts(), QStringList{"接続に失敗しました。"});
    QCOMPARE(client->windowTitle(), QStringLiteral("クライアント"));
    QVERIFY(client->close());
    QTRY_VERIFY(client.isNull());
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

    // An empty text into an empty log changes nothing the log shows: the window's own information
    // display tells when it has come.
    alice->mnuLogClear->trigger();
    alice->mnuInfWSock->trigger();
    relay.component.SendData(QString(), 0);
    QTRY_VERIFY(infoShowsReceived(3));
    alice->mnuInfWSock->trigger();
    QCOMPARE(alice->TextLog->logLength(), 0);
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

    // A second close request during the wait is ignored; the window shows that it is leaving.
    bool visibleAfterSecondRequest = false;
    bool showsLeaving = false;
    QTimer::singleShot(echoDelay / 4, this, [&] {
        alice->close();
        visibleAfterSecondRequest = alice && alice->isVisible();
        const QList<QAction *> items = alice->menuBar()->actions();
        showsLeaving = !alice->ComboMain->isEnabled() && alice->TextLog->isEnabled()
                && std::none_of(items.cbegin(), items.cend(),
                                [](const QAction *item) { return item->isEnabled(); })
                && alice->cursor().shape() == Qt::BusyCursor
                && alice->TextLog->viewport()->cursor().shape() == Qt::BusyCursor
                && alice->ComboMain->lineEdit()->cursor().shape() == Qt::BusyCursor;
    });
    QElapsedTimer elapsed;
    elapsed.start();
    alice->close();
    QVERIFY(elapsed.elapsed() >= echoDelay);
    QVERIFY(elapsed.elapsed() < FormTCPClientMain::echoWaitMilliseconds);
    QVERIFY(visibleAfterSecondRequest);
    QVERIFY(showsLeaving);
    QTRY_VERIFY(alice.isNull());

    QCOMPARE(relay.received.size(), 2);
    QVERIFY(relay.received[1].contains(QStringLiteral("@Alice     |ログアウト - ")));
    QTRY_COMPARE(relay.component.ConnectionCount(), 0);
}

void TestFormTCPClientMain::waitEndsWhenTheServerNeverEchoes()
{
    WireServer silent;
    QVERIFY(silent.listen());
    QPointer<FormTCPClientMain> alice = openClient(QStringLiteral("Alice"), silent.port());
    QTRY_VERIFY(alice->windowTitle().startsWith(QStringLiteral("[Alice:")));
    QTRY_VERIFY(silent.wire.size() > 0);
    const qsizetype loginBytes = silent.wire.size();

    QElapsedTimer elapsed;
    elapsed.start();
    alice->close();
    const qint64 waited = elapsed.elapsed();
    QVERIFY2(waited >= FormTCPClientMain::echoWaitMilliseconds - 100,
             qPrintable(QString::number(waited)));
    QVERIFY2(waited < FormTCPClientMain::echoWaitMilliseconds + 2000,
             qPrintable(QString::number(waited)));
    QTRY_VERIFY(alice.isNull());
    QVERIFY(silent.wire.size() > loginBytes);
    QVERIFY(silent.waitForPeerGone());
}

void TestFormTCPClientMain::waitEndsWhenTheConnectionDrops()
{
    WireServer silent;
    QVERIFY(silent.listen());
    QPointer<FormTCPClientMain> alice = openClient(QStringLiteral("Alice"), silent.port());
    QTRY_VERIFY(alice->windowTitle().startsWith(QStringLiteral("[Alice:")));
    QTRY_VERIFY(silent.wire.size() > 0);
    // The logout line is the next thing to come: the server goes away instead of answering.
    QTcpSocket *peer = silent.peer;
    connect(peer, &QTcpSocket::readyRead, peer, [peer] { peer->abort(); });

    MessageBoxAnswerer answerer;
    QElapsedTimer elapsed;
    elapsed.start();
    alice->close();
    // The drop ended the wait, not the wait's own limit.
    QVERIFY(elapsed.elapsed() < FormTCPClientMain::echoWaitMilliseconds);
    QCOMPARE(answerer.texts(), QStringList{"切断されました。"});
    QTRY_VERIFY(alice.isNull());
}

void TestFormTCPClientMain::closingWhileConnectingClosesAtOnce()
{
    WireServer silent;
    QVERIFY(silent.listen());
    QPointer<FormTCPClientMain> alice = openClient(QStringLiteral("Alice"), silent.port());
    // The connection is only under way until the event loop runs: nothing to wait for.
    bool closed = false;
    QVERIFY(!runsTheEventLoop([&] { closed = alice->close(); }));
    QVERIFY(closed);
    QTRY_VERIFY(alice.isNull());
}

void TestFormTCPClientMain::failedConnectionReportsAndClosesAtOnce()
{
    const RefusedPort refused;
    const int port = refused.port();
    QVERIFY(port > 0);

    MessageBoxAnswerer answerer;
    QPointer<FormTCPClientMain> alice = openClient(QStringLiteral("Alice"), port);
    QTRY_COMPARE(answerer.texts(), QStringList{"接続に失敗しました。"});
    QCOMPARE(answerer.titles(), QStringList{"Pryne Chat"});
    QVERIFY(answerer.allPlain());
    QVERIFY(alice->isVisible());
    QCOMPARE(alice->windowTitle(), QStringLiteral("クライアント"));

    // Typing still works and goes nowhere; closing neither sends nor waits.
    typeLine(alice->ComboMain, "lost");
    QCOMPARE(itemsOf(alice->ComboMain), QStringList{"lost"});
    bool closed = false;
    QVERIFY(!runsTheEventLoop([&] { closed = alice->close(); }));
    QVERIFY(closed);
    QTRY_VERIFY(alice.isNull());
    QCOMPARE(answerer.boxes.size(), 1);
}

void TestFormTCPClientMain::everyCloseDuringTheWaitKeepsTheWindow()
{
    // The window system's close button pressed again and again while the logout line is on its
    // way: the window stays, the program goes on, and the echo ends the wait as ever.
    WireServer silent;
    QVERIFY(silent.listen());
    QPointer<FormTCPClientMain> alice = openClient(QStringLiteral("Alice"), silent.port());
    QVERIFY(QTest::qWaitForWindowExposed(alice));
    QTRY_VERIFY(alice->windowTitle().startsWith(QStringLiteral("[Alice:")));
    QTRY_COMPARE(silent.received.size(), 1);
    QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);

    bool keptThroughCloses = false;
    bool stillUpLater = false;
    QTimer::singleShot(50, this, [&] {
        for (int close = 0; close < 4; ++close)
            closeFromTheWindowSystem(alice);
        // Still a window on the screen, not only a widget that thinks it is shown.
        keptThroughCloses = alice && alice->isVisible() && alice->windowHandle()
                && alice->windowHandle()->handle() && alice->windowHandle()->isVisible();
        // Some time later the window and the program are still there.
        QTimer::singleShot(600, this, [&] {
            stillUpLater = alice && alice->isVisible() && alice->windowHandle()->handle()
                    && lastClosed.isEmpty();
            silent.send(silent.received.last()); // the echo of the logout line
        });
    });
    QElapsedTimer elapsed;
    elapsed.start();
    closeFromTheWindowSystem(alice);
    QVERIFY(keptThroughCloses);
    QVERIFY(stillUpLater);
    QVERIFY(elapsed.elapsed() >= 600);
    QVERIFY(elapsed.elapsed() < FormTCPClientMain::echoWaitMilliseconds);
    QTRY_VERIFY(alice.isNull());
    QCOMPARE(silent.received.size(), 2); // one logout line, however many closes
    QVERIFY(silent.received.last().contains("ログアウト"));
}

void TestFormTCPClientMain::slashCReportsAFailedConnectionOnItsWindow()
{
    // With /c the settings are empty, so connecting fails on the first turn of the event loop,
    // before the window system has put the window on the screen.
    struct BoxWatcher : QObject
    {
        bool eventFilter(QObject *watched, QEvent *event) override
        {
            auto *box = qobject_cast<QMessageBox *>(watched);
            if (box && event->type() == QEvent::Show && !seen) {
                seen = true;
                QWidget *owner = box->parentWidget() ? box->parentWidget()->window() : nullptr;
                ownerOnScreen = owner && owner->windowHandle()->isExposed();
                // Where the box stands once it has placed itself.
                QTimer::singleShot(0, box, [this, box, owner] {
                    if (owner)
                        offCentre = box->geometry().center() - owner->geometry().center();
                    placed = true;
                    box->accept();
                });
            }
            return false;
        }
        bool seen = false;
        bool placed = false;
        bool ownerOnScreen = false;
        QPoint offCentre;
    } watcher;
    qApp->installEventFilter(&watcher);
    const auto removeWatcher = qScopeGuard([&] { qApp->removeEventFilter(&watcher); });

    QVERIFY(ModuleMain::Main(QStringLiteral("/c")));
    QTRY_VERIFY(watcher.placed);
    QVERIFY(watcher.ownerOnScreen);
    QVERIFY2(watcher.offCentre.manhattanLength() <= 2,
             qPrintable(QStringLiteral("%1, %2")
                                .arg(watcher.offCentre.x())
                                .arg(watcher.offCentre.y())));
}

void TestFormTCPClientMain::menuBarShowsTheKeyboardAndTheMouse()
{
    WireServer silent;
    QVERIFY(silent.listen());
    FormTCPClientMain *client = openClient(QStringLiteral("Alice"), silent.port());
    QVERIFY(QTest::qWaitForWindowActive(client));
    QMenuBar *bar = client->menuBar();
    // How much of an item is drawn in the highlight colour.
    const auto highlighted = [bar](QAction *item) {
        const QImage image = bar->grab(bar->actionGeometry(item)).toImage();
        const QRgb highlight = bar->palette().color(QPalette::Highlight).rgb();
        int count = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x)
                count += image.pixel(x, y) == highlight ? 1 : 0;
        }
        return count * 3 >= image.width() * image.height(); // at least a third of it
    };
    QVERIFY(!highlighted(client->mnuSend));

    // F10 starts on the first item that can be chosen (connect and disconnect cannot).
    QTest::keyClick(client->ComboMain, Qt::Key_F10);
    QTRY_VERIFY(bar->hasFocus());
    QCOMPARE(bar->activeAction(), client->mnuSend);
    QVERIFY(highlighted(client->mnuSend));
    QTest::keyClick(bar, Qt::Key_Right);
    QCOMPARE(bar->activeAction(), client->mnuInfWSock);
    QVERIFY(highlighted(client->mnuInfWSock));
    QVERIFY(!highlighted(client->mnuSend));
    QTest::keyClick(bar, Qt::Key_Escape);
    QTRY_COMPARE(QApplication::focusWidget(), client->ComboMain);
    QVERIFY(!highlighted(client->mnuInfWSock));

    // Alt alone does the same.
    QTest::keyClick(client->ComboMain, Qt::Key_Alt, Qt::AltModifier);
    QTRY_VERIFY(bar->hasFocus());
    QCOMPARE(bar->activeAction(), client->mnuSend);
    QTest::keyClick(bar, Qt::Key_Escape);

    // The mouse over an item highlights it (sent straight to the bar: the offscreen platform
    // has no pointer of its own to move).
    const QPoint over = bar->actionGeometry(client->mnuLogClear).center();
    QMouseEvent move(QEvent::MouseMove, over, bar->mapToGlobal(over), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(bar, &move);
    QCOMPARE(bar->activeAction(), client->mnuLogClear);
    QVERIFY(highlighted(client->mnuLogClear));
}

QTEST_MAIN(TestFormTCPClientMain)
#include "tst_FormTCPClientMain.moc"
