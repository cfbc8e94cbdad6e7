#include "app/ModuleMain.h"
#include "forms/LogBox.h"
#include "forms/Twips.h"
#include "forms/info/InfoWindows.h"
#include "forms/main/FormMain.h"
#include "forms/server/FormTCPServerMain.h"
#include "tests/support/Waits.h"
#include "tests/support/Windows.h"
#include "tests/support/WireClient.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>
#include <QtTest>

#include <memory>
#include <unistd.h>
#include <vector>

using testsupport::MessageBoxAnswerer;
using testsupport::visibleMessageBoxes;
using testsupport::WireClient;

namespace {

const QString startedLog = QStringLiteral("接続の監視を開始しました\r\n");

struct Caption
{
    bool matches = false;
    int count = -1;
    QString address;
    int port = -1;
};

Caption readCaption(const QString &title)
{
    static const QRegularExpression format(
            QStringLiteral("^\\[(-?\\d+)\\]-\\[(.*):(-?\\d+)\\] - サーバ$"));
    const QRegularExpressionMatch match = format.match(title);
    Caption caption;
    if (!match.hasMatch())
        return caption;
    caption.matches = true;
    caption.count = match.captured(1).toInt();
    caption.address = match.captured(2);
    caption.port = match.captured(3).toInt();
    return caption;
}

int servedPort(const FormTCPServerMain &form)
{
    return readCaption(form.windowTitle()).port;
}

// The address the component reports, asked of a component of our own.
QString componentAddress()
{
    socks::CWS_TCP_S component;
    return component.Address();
}

} // namespace

class TestFormTCPServerMain : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    // window
    void hasItsLayout();
    void showsTheServiceRightAfterLoad();
    void logBoxFillsTheClientArea();

    // relay
    void relaysToEveryConnectionIncludingSender();
    void logsTextsWithAndWithoutLineEnds();
    void relaysEmptyText();
    void closesOnlyTheFailingConnection();
    void clearsTheLogThenLogsOnlyNewText();
    void infoTwiceRestoresTheDisplay();
    void closingClosesEveryConnection();
    void switchedOffItemsCloseConnectionsButKeepTheWindow_data();
    void switchedOffItemsCloseConnectionsButKeepTheWindow();

    // port
    void readsThePortTextLeniently();
    void readsTextWithoutNumberAsAnyFreePort();
    void refusesPortsOutOfRange_data();
    void refusesPortsOutOfRange();
    void reportsAPortInUse();
    void hintsAtHighPortsWithoutPermission();

    // opening
    void commandLineOpensAServerOn555();
    void startWindowOpensServersOnItsPortField();
};

void TestFormTCPServerMain::cleanup()
{
    // Windows that Main or the start window opened close themselves; nothing may leak into the
    // next test.
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->testAttribute(Qt::WA_DeleteOnClose))
            widget->close();
    }
    QTRY_VERIFY(testsupport::windowsOf<FormTCPServerMain>().isEmpty());
}

void TestFormTCPServerMain::hasItsLayout()
{
    FormTCPServerMain form(QStringLiteral("0"));
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));

    QCOMPARE(form.centralWidget()->size(), QSize(twips(5595), twips(2595)));
    const QPoint screenCentre = form.screen()->availableGeometry().center();
    QVERIFY((form.geometry().center() - screenCentre).manhattanLength() <= 2);
    QVERIFY(!form.windowIcon().isNull());
    QVERIFY(form.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(form.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));

    const QList<QAction *> items = form.menuBar()->actions();
    QCOMPARE(items.size(), 4);
    QCOMPARE(items[0], form.mnuClose);
    QCOMPARE(items[1], form.mnuConnectClose);
    QCOMPARE(items[2], form.mnuInfoWSock);
    QCOMPARE(items[3], form.mnuLogClear);
    const QStringList texts{"閉じる", "接続を切断", "情報", "ログをクリア"};
    const QStringList names{"mnuClose", "mnuConnectClose", "mnuInfoWSock", "mnuLogClear"};
    const QList<bool> enabled{false, false, true, true};
    for (int index = 0; index < items.size(); ++index) {
        QCOMPARE(items[index]->text(), texts[index]);
        QCOMPARE(items[index]->objectName(), names[index]);
        QCOMPARE(items[index]->isEnabled(), enabled[index]);
        QVERIFY(items[index]->menu() == nullptr);
        QVERIFY(items[index]->shortcut().isEmpty());
    }

    QCOMPARE(form.TextLog->objectName(), QStringLiteral("TextLog"));
    QVERIFY(form.TextLog->isReadOnly());
    QCOMPARE(form.TextLog->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(form.TextLog->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(form.TextLog->palette().color(QPalette::Active, QPalette::Base),
             QColor(192, 192, 255));
    QCOMPARE(form.TextLog->palette().color(QPalette::Active, QPalette::Text), QColor(64, 64, 64));
    QCOMPARE(form.TextLog->font().family(), QStringLiteral("ＭＳ ゴシック"));
    QCOMPARE(form.TextLog->font().pointSize(), 9);
    QCOMPARE(QFontInfo(form.TextLog->font()).family(), QStringLiteral("IPAGothic"));
}

void TestFormTCPServerMain::showsTheServiceRightAfterLoad()
{
    FormTCPServerMain form(QStringLiteral("0"));

    // Before the first show: the start text is replaced, not appended to.
    QCOMPARE(form.TextLog->logText(), startedLog);
    const Caption caption = readCaption(form.windowTitle());
    QVERIFY2(caption.matches, qPrintable(form.windowTitle()));
    QCOMPARE(caption.count, 0);
    QCOMPARE(caption.address, componentAddress());
    QVERIFY(caption.port > 0);
    QCOMPARE(form.windowTitle(),
             QStringLiteral("[0]-[%1:%2] - サーバ").arg(caption.address).arg(caption.port));

    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QCOMPARE(form.TextLog->toPlainText(), QStringLiteral("接続の監視を開始しました\n"));
    QCOMPARE(form.TextLog->caretPosition(), form.TextLog->toPlainText().size());
    QCOMPARE(visibleMessageBoxes(), 0);

    // The caption follows the component's count.
    WireClient first(caption.port);
    QVERIFY(first.waitConnected());
    QTRY_COMPARE(readCaption(form.windowTitle()).count, 1);
    {
        WireClient second(caption.port);
        QVERIFY(second.waitConnected());
        QTRY_COMPARE(readCaption(form.windowTitle()).count, 2);
    }
    QTRY_COMPARE(readCaption(form.windowTitle()).count, 1);
    QCOMPARE(servedPort(form), caption.port);
}

void TestFormTCPServerMain::logBoxFillsTheClientArea()
{
    FormTCPServerMain form(QStringLiteral("0"));
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QCOMPARE(form.TextLog->geometry(), form.centralWidget()->rect());

    form.resize(600, 420);
    QTRY_COMPARE(form.centralWidget()->width(), 600);
    QCOMPARE(form.TextLog->geometry(), form.centralWidget()->rect());

    form.resize(1, 1); // no minimum of its own
    QTRY_COMPARE(form.TextLog->geometry(), form.centralWidget()->rect());

    form.showMinimized();
    QTRY_VERIFY(form.isMinimized());
    QCOMPARE(form.TextLog->geometry(), form.centralWidget()->rect());
    form.showNormal();
    form.resize(500, 300);
    QTRY_COMPARE(form.centralWidget()->width(), 500);
    QCOMPARE(form.TextLog->geometry(), form.centralWidget()->rect());
    QVERIFY(form.isVisible());
}

void TestFormTCPServerMain::relaysToEveryConnectionIncludingSender()
{
    FormTCPServerMain form(QStringLiteral("0"));
    form.show();
    const int port = servedPort(form);
    std::vector<std::unique_ptr<WireClient>> clients;
    for (int count = 0; count < 3; ++count) {
        clients.push_back(std::make_unique<WireClient>(port));
        QVERIFY(clients.back()->waitConnected());
    }
    QTRY_COMPARE(readCaption(form.windowTitle()).count, 3);

    const QStringList lines{QStringLiteral("50000@Default   |こんにちは\r\n"),
                            QStringLiteral("50001@太郎        |やあ 😀\r\n"),
                            QStringLiteral("50002@x         |third\r\n")};
    // Each from a different client; each waits for its own echo, as the chat window does.
    for (int index = 0; index < 3; ++index) {
        clients[index]->send(lines[index]);
        QTRY_COMPARE(clients[index]->received.size(), index + 1);
    }
    for (const auto &client : clients)
        QTRY_COMPARE(client->received, lines);
    QCOMPARE(form.TextLog->logText(), startedLog + lines.join(QString()));
    QTRY_COMPARE(form.TextLog->toPlainText(),
                 QString(startedLog + lines.join(QString())).remove(u'\r'));
    QCOMPARE(form.TextLog->caretPosition(), form.TextLog->toPlainText().size());

    // Several texts in one burst keep their order.
    for (int count = 0; count < 20; ++count)
        clients[count % 3]->send(QStringLiteral("burst %1\r\n").arg(count));
    QTRY_COMPARE(clients[0]->received.size(), 23);
    QTRY_COMPARE(clients[2]->received.size(), 23);
    QCOMPARE(clients[0]->received, clients[2]->received);
    QVERIFY(form.TextLog->logText().endsWith(clients[1]->received.mid(3).join(QString())));
}

void TestFormTCPServerMain::logsTextsWithAndWithoutLineEnds()
{
    FormTCPServerMain form(QStringLiteral("0"));
    form.show();
    WireClient client(servedPort(form));
    QVERIFY(client.waitConnected());

    const QStringList texts{QStringLiteral("no line end "), QStringLiteral("runs on\r\n"),
                            QStringLiteral("bare LF\n"), QStringLiteral("last")};
    for (const QString &text : texts)
        client.send(text);
    QTRY_COMPARE(client.received, texts);
    const QString log = startedLog + texts.join(QString());
    QCOMPARE(form.TextLog->logText(), log);
    QTRY_COMPARE(form.TextLog->toPlainText(),
                 QStringLiteral("接続の監視を開始しました\nno line end runs on\nbare LF\nlast"));
    QCOMPARE(form.TextLog->blockCount(), 4);
    QTRY_COMPARE(form.TextLog->caretPosition(), form.TextLog->toPlainText().size());
}

void TestFormTCPServerMain::relaysEmptyText()
{
    FormTCPServerMain form(QStringLiteral("0"));
    form.show();
    WireClient sender(servedPort(form));
    WireClient other(servedPort(form));
    QVERIFY(sender.waitConnected());
    QVERIFY(other.waitConnected());
    QTRY_COMPARE(readCaption(form.windowTitle()).count, 2);

    form.TextLog->setCaretPosition(0);
    sender.send(QString());
    QTRY_COMPARE(other.received, QStringList{QString()});
    QTRY_COMPARE(sender.received, QStringList{QString()});
    QCOMPARE(form.TextLog->logText(), startedLog);
    // The log stays, the caret goes to its end.
    QTRY_COMPARE(form.TextLog->caretPosition(), form.TextLog->toPlainText().size());
}

void TestFormTCPServerMain::closesOnlyTheFailingConnection()
{
    FormTCPServerMain form(QStringLiteral("0"));
    form.show();
    WireClient failing(servedPort(form));
    WireClient healthy(servedPort(form));
    QVERIFY(failing.waitConnected());
    QVERIFY(healthy.waitConnected());
    QTRY_COMPARE(readCaption(form.windowTitle()).count, 2);

    QSignalSpy closed(&failing.socket, &QTcpSocket::disconnected);
    failing.sendRaw(QByteArray::fromHex("ffffffff")); // announces 4 GiB: never served
    QVERIFY(closed.count() > 0 || closed.wait(testsupport::waitTimeout));
    QTRY_COMPARE(readCaption(form.windowTitle()).count, 1);

    healthy.send(QStringLiteral("still here\r\n"));
    QTRY_COMPARE(healthy.received, QStringList{QStringLiteral("still here\r\n")});
    QCOMPARE(failing.received, QStringList{});
    QCOMPARE(form.TextLog->logText(), startedLog + QStringLiteral("still here\r\n"));
}

void TestFormTCPServerMain::clearsTheLogThenLogsOnlyNewText()
{
    FormTCPServerMain form(QStringLiteral("0"));
    form.show();
    WireClient client(servedPort(form));
    QVERIFY(client.waitConnected());
    client.send(QStringLiteral("before\r\n"));
    QTRY_COMPARE(client.received.size(), 1);

    const QString caption = form.windowTitle();
    form.mnuLogClear->trigger();
    QCOMPARE(form.TextLog->logText(), QString());
    QTRY_COMPARE(form.TextLog->toPlainText(), QString());
    QCOMPARE(form.windowTitle(), caption);

    client.send(QStringLiteral("after\r\n"));
    QTRY_COMPARE(client.received.size(), 2);
    QCOMPARE(form.TextLog->logText(), QStringLiteral("after\r\n"));
    QTRY_COMPARE(form.TextLog->toPlainText(), QStringLiteral("after\n"));
}

void TestFormTCPServerMain::infoTwiceRestoresTheDisplay()
{
    InfoWindows::install(); // as the program does at its start
    FormTCPServerMain form(QStringLiteral("0"));
    form.show();
    const auto infoShown = [] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (widget->objectName() == QLatin1String("ServerInfoWindow") && widget->isVisible())
                return true;
        }
        return false;
    };
    QVERIFY(!infoShown());
    form.mnuInfoWSock->trigger();
    QVERIFY(infoShown());
    form.mnuInfoWSock->trigger();
    QVERIFY(!infoShown());
    QCOMPARE(form.TextLog->logText(), startedLog);
}

void TestFormTCPServerMain::closingClosesEveryConnection()
{
    QPointer<FormTCPServerMain> form = new FormTCPServerMain(QStringLiteral("0"));
    form->setAttribute(Qt::WA_DeleteOnClose);
    form->show();
    const int port = servedPort(*form);
    WireClient first(port);
    WireClient second(port);
    QVERIFY(first.waitConnected());
    QVERIFY(second.waitConnected());
    QTRY_COMPARE(readCaption(form->windowTitle()).count, 2);

    QSignalSpy firstClosed(&first.socket, &QTcpSocket::disconnected);
    QSignalSpy secondClosed(&second.socket, &QTcpSocket::disconnected);
    QVERIFY(form->close());
    QVERIFY(firstClosed.count() > 0 || firstClosed.wait(testsupport::waitTimeout));
    QVERIFY(secondClosed.count() > 0 || secondClosed.wait(testsupport::waitTimeout));
    QTRY_VERIFY(form.isNull());

    // Nobody listens any more.
    WireClient late(port);
    QSignalSpy refused(&late.socket, &QTcpSocket::errorOccurred);
    QVERIFY(refused.count() > 0 || refused.wait(testsupport::waitTimeout));
}

void TestFormTCPServerMain::switchedOffItemsCloseConnectionsButKeepTheWindow_data()
{
    QTest::addColumn<QByteArray>("procedure");

    QTest::newRow("close") << QByteArray("mnuClose_Click");
    QTest::newRow("disconnect") << QByteArray("mnuConnectClose_Click");
}

void TestFormTCPServerMain::switchedOffItemsCloseConnectionsButKeepTheWindow()
{
    // The user cannot choose them; their procedures are run the way the program itself would.
    QFETCH(QByteArray, procedure);

    FormTCPServerMain form(QStringLiteral("0"));
    form.show();
    const int port = servedPort(form);
    WireClient first(port);
    WireClient second(port);
    QVERIFY(first.waitConnected());
    QVERIFY(second.waitConnected());
    QTRY_COMPARE(readCaption(form.windowTitle()).count, 2);

    QSignalSpy firstClosed(&first.socket, &QTcpSocket::disconnected);
    QSignalSpy secondClosed(&second.socket, &QTcpSocket::disconnected);
    QVERIFY(QMetaObject::invokeMethod(&form, procedure.constData()));
    QVERIFY(firstClosed.count() > 0 || firstClosed.wait(testsupport::waitTimeout));
    QVERIFY(secondClosed.count() > 0 || secondClosed.wait(testsupport::waitTimeout));
    QVERIFY(form.isVisible());
    QCOMPARE(form.TextLog->logText(), startedLog);
    QTRY_COMPARE(readCaption(form.windowTitle()).count, 0);

    // The service itself goes on.
    WireClient later(port);
    QVERIFY(later.waitConnected());
    later.send(QStringLiteral("again\r\n"));
    QTRY_COMPARE(later.received, QStringList{QStringLiteral("again\r\n")});
}

void TestFormTCPServerMain::readsThePortTextLeniently()
{
    // The test holds the port the text should read as (PortReading's rules; one of them here):
    // the window has to report exactly that port as taken. Where the test itself may not hold it,
    // the window must meet the same refusal.
    const QString text = QStringLiteral("55.5");
    const int port = 56;

    QTcpServer holder;
    QString expectedReason;
    if (!holder.listen(QHostAddress::Any, quint16(port))) {
        expectedReason = holder.serverError() == QAbstractSocket::SocketAccessError
                ? QStringLiteral("ポートを使う権限がありません")
                : QStringLiteral("ポートは既に使用されています");
    } else {
        expectedReason = QStringLiteral("ポートは既に使用されています");
    }

    MessageBoxAnswerer answerer;
    FormTCPServerMain form(text);
    form.show();
    QCOMPARE(form.TextLog->logText(),
             QStringLiteral("接続の監視を開始できませんでした: ") + expectedReason
                     + QStringLiteral("\r\n"));
    QTRY_VERIFY(!answerer.boxes.isEmpty());

    // Let go of it, and the same text serves on it.
    if (holder.isListening()) {
        holder.close();
        FormTCPServerMain free(text);
        QCOMPARE(free.TextLog->logText(), startedLog);
        QCOMPARE(servedPort(free), port);
    }
}

void TestFormTCPServerMain::readsTextWithoutNumberAsAnyFreePort()
{
    // "abc" reads as 0, which the component answers with a free port of its choice.
    FormTCPServerMain form(QStringLiteral("abc"));
    form.show();
    QCOMPARE(form.TextLog->logText(), startedLog);
    const int port = servedPort(form);
    QVERIFY(port > 0);
    QVERIFY(port != 555);
    WireClient client(port);
    QVERIFY(client.waitConnected());
    QTRY_COMPARE(readCaption(form.windowTitle()).count, 1);
    QCOMPARE(visibleMessageBoxes(), 0);
}

void TestFormTCPServerMain::refusesPortsOutOfRange_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shownPort");

    QTest::newRow("negative") << "-1"
                              << "-1";
    QTest::newRow("above 65535") << " 65536"
                                 << "65536";
    QTest::newRow("read as a number") << "6.5536e4"
                                      << "65536";
    QTest::newRow("beyond 32 bits") << "99999999999"
                                    << "99999999999";
    QTest::newRow("hexadecimal beyond 32 bits") << "&H1FFFFFFFF"
                                                << "&H1FFFFFFFF";
}

void TestFormTCPServerMain::refusesPortsOutOfRange()
{
    QFETCH(QString, text);
    QFETCH(QString, shownPort);

    MessageBoxAnswerer answerer;
    FormTCPServerMain form(text);
    form.show();
    const QString message =
            QStringLiteral("接続の監視を開始できませんでした: ポート番号は 0 から 65535 の範囲で"
                           "指定してください");
    QCOMPARE(form.TextLog->logText(), message + QStringLiteral("\r\n"));
    // The caption names the port that was asked for, never a port 0 that nothing serves.
    QCOMPARE(form.windowTitle(),
             QStringLiteral("[0]-[%1:%2] - サーバ").arg(componentAddress(), shownPort));
    QTRY_VERIFY(!answerer.boxes.isEmpty());
    QCOMPARE(answerer.boxes.first().text, message);
    QVERIFY(form.isVisible());
}

void TestFormTCPServerMain::reportsAPortInUse()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    const int port = holder.serverPort();

    MessageBoxAnswerer answerer;
    QPointer<FormTCPServerMain> form = new FormTCPServerMain(QString::number(port));
    form->setAttribute(Qt::WA_DeleteOnClose);
    form->show();

    const QString message =
            QStringLiteral("接続の監視を開始できませんでした: ポートは既に使用されています");
    QCOMPARE(form->TextLog->logText(), message + QStringLiteral("\r\n"));
    QCOMPARE(form->windowTitle(),
             QStringLiteral("[0]-[%1:%2] - サーバ").arg(componentAddress()).arg(port));
    QTRY_VERIFY(!answerer.boxes.isEmpty());
    QCOMPARE(answerer.boxes.first().title, QStringLiteral("Pryne Chat"));
    QCOMPARE(answerer.boxes.first().text, message);
    QCOMPARE(answerer.boxes.first().icon, QMessageBox::NoIcon);
    QCOMPARE(answerer.boxes.first().buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(answerer.boxes.first().parent, form.data());
    QTRY_COMPARE(visibleMessageBoxes(), 0);

    // The window stays open and usable, and closes as usual.
    QVERIFY(form->isVisible());
    form->mnuLogClear->trigger();
    QCOMPARE(form->TextLog->logText(), QString());
    QVERIFY(form->close());
    QTRY_VERIFY(form.isNull());
}

void TestFormTCPServerMain::hintsAtHighPortsWithoutPermission()
{
    QTcpServer probe;
    if (probe.listen(QHostAddress::Any, 1)
        || probe.serverError() != QAbstractSocket::SocketAccessError) {
        probe.close();
        // Root may listen anywhere: the refusal is met by this test run again as nobody.
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (::geteuid() != 0 || setpriv.isEmpty())
            QSKIP("this user may listen on port 1 and cannot become another");
        QProcess child;
        child.start(setpriv,
                    {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                     QStringLiteral("--clear-groups"), QCoreApplication::applicationFilePath(),
                     QStringLiteral("hintsAtHighPortsWithoutPermission")});
        QVERIFY(child.waitForFinished(30000));
        const QString output = QString::fromUtf8(child.readAllStandardOutput());
        if (output.contains(QStringLiteral("SKIP   :")))
            QSKIP("nobody may listen on port 1 too");
        QVERIFY2(child.exitCode() == 0, qPrintable(output));
        QVERIFY2(output.contains(QStringLiteral(
                         "PASS   : TestFormTCPServerMain::hintsAtHighPortsWithoutPermission()")),
                 qPrintable(output));
        return;
    }
    probe.close();

    MessageBoxAnswerer answerer;
    FormTCPServerMain form(QStringLiteral("1"));
    form.show();
    const QString message =
            QStringLiteral("接続の監視を開始できませんでした: ポートを使う権限がありません");
    QCOMPARE(form.TextLog->logText(), message + QStringLiteral("\r\n"));
    QTRY_VERIFY(!answerer.boxes.isEmpty());
    QCOMPARE(answerer.boxes.first().text,
             message + QStringLiteral("\n\n1024 以上のポートなら管理者の権限がなくても使えます。"));
}

void TestFormTCPServerMain::commandLineOpensAServerOn555()
{
    // Holding 555 makes the window tell which port it tried; if another program has it, the
    // window meets the same refusal.
    QTcpServer holder;
    if (!holder.listen(QHostAddress::Any, 555)
        && holder.serverError() == QAbstractSocket::SocketAccessError)
        QSKIP("this user may not listen on port 555");

    MessageBoxAnswerer answerer;
    QVERIFY(ModuleMain::Main(QStringLiteral("/S extra")));
    const QList<FormTCPServerMain *> windows = testsupport::windowsOf<FormTCPServerMain>();
    QCOMPARE(windows.size(), 1);
    QVERIFY(windows[0]->isVisible());
    QVERIFY(windows[0]->testAttribute(Qt::WA_DeleteOnClose));
    QCOMPARE(windows[0]->TextLog->logText(),
             QStringLiteral("接続の監視を開始できませんでした: ポートは既に使用されています\r\n"));
    QCOMPARE(windows[0]->windowTitle(),
             QStringLiteral("[0]-[%1:555] - サーバ").arg(componentAddress()));
    QTRY_VERIFY(!answerer.boxes.isEmpty());
}

void TestFormTCPServerMain::startWindowOpensServersOnItsPortField()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    const QString heldPort = QString::number(holder.serverPort());

    FormMain start;
    start.show();

    // The field's text goes to the window: a held port is refused.
    start.PortInp->setText(heldPort);
    MessageBoxAnswerer answerer;
    QTest::mouseClick(start.btnChoise[1], Qt::LeftButton);
    QCOMPARE(testsupport::windowsOf<FormTCPServerMain>().size(), 1);
    QCOMPARE(testsupport::windowsOf<FormTCPServerMain>()[0]->TextLog->logText(),
             QStringLiteral("接続の監視を開始できませんでした: ポートは既に使用されています\r\n"));
    QCOMPARE(testsupport::windowsOf<FormTCPServerMain>()[0]->windowTitle(),
             QStringLiteral("[0]-[%1:%2] - サーバ").arg(componentAddress(), heldPort));
    QTRY_VERIFY(!answerer.boxes.isEmpty());

    // Every press opens one more, each with its own service.
    start.PortInp->setText(QStringLiteral("0"));
    QTest::mouseClick(start.btnChoise[1], Qt::LeftButton);
    QTest::mouseClick(start.btnChoise[1], Qt::LeftButton);
    const QList<FormTCPServerMain *> windows = testsupport::windowsOf<FormTCPServerMain>();
    QCOMPARE(windows.size(), 3);
    std::vector<int> ports;
    for (FormTCPServerMain *window : windows) {
        QVERIFY(window->isVisible());
        if (window->TextLog->logText() == startedLog)
            ports.push_back(servedPort(*window));
    }
    QCOMPARE(ports.size(), size_t(2));
    QVERIFY(ports[0] > 0 && ports[1] > 0 && ports[0] != ports[1]);
    QVERIFY(start.isVisible());
}

QTEST_MAIN(TestFormTCPServerMain)
#include "tst_FormTCPServerMain.moc"
