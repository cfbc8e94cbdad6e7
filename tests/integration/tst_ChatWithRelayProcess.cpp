#include "forms/SharedSettings.h"
#include "forms/client/FormTCPClientMain.h"
#include "tests/support/RelayProcess.h"

#include <QRegularExpression>
#include <QtTest>

#include <memory>
#include <vector>

// The program's client windows chatting through the prynechat-relay executable, as users on a
// LAN would with a relay on a box without a screen.
class TestChatWithRelayProcess : public QObject
{
    Q_OBJECT

private slots:
    void clientWindowsChatThroughTheRelay();
};

void TestChatWithRelayProcess::clientWindowsChatThroughTheRelay()
{
    testsupport::RelayProcess relay;
    QVERIFY(relay.start({QStringLiteral("--port"), QStringLiteral("0")}));
    SharedSettings::gintPort = relay.port;
    SharedSettings::gstrServerIP = QStringLiteral("127.0.0.1");

    // Deleted, not closed, should the test fail half-way: a window that loses its relay would
    // otherwise stop the next test with a message box.
    std::vector<std::unique_ptr<FormTCPClientMain>> windows;
    for (const QString &name : {QStringLiteral("Alice"), QStringLiteral("Bob")}) {
        SharedSettings::gstrHandleName = name;
        windows.push_back(std::make_unique<FormTCPClientMain>());
        windows.back()->show();
        QTRY_VERIFY(windows.back()->TextLog->logText().contains(name.leftJustified(10)
                                                                + "|ログイン - "));
    }
    FormTCPClientMain *alice = windows[0].get();
    FormTCPClientMain *bob = windows[1].get();
    QTRY_VERIFY(alice->TextLog->logText().contains("@Bob       |ログイン - "));

    QTest::keyClicks(bob->ComboMain, QStringLiteral("hello"));
    QTest::keyClick(bob->ComboMain, Qt::Key_Return);
    const QRegularExpression line(QStringLiteral("\\d+@Bob       \\|hello\\r\\n$"));
    QTRY_VERIFY(line.match(bob->TextLog->logText()).hasMatch());
    QTRY_VERIFY(line.match(alice->TextLog->logText()).hasMatch());

    // Closing waits for the own logout line, which the relay sends back.
    bob->close();
    QVERIFY(!bob->isVisible());
    QVERIFY(bob->TextLog->logText().contains("@Bob       |ログアウト - "));
    QTRY_VERIFY(alice->TextLog->logText().contains("@Bob       |ログアウト - "));
    alice->close();

    relay.stop();
    QVERIFY(relay.ends());
    QCOMPARE(relay.process.exitCode(), 0);
    const QString console = QString::fromUtf8(relay.output);
    QVERIFY2(console.contains(QRegularExpression(QStringLiteral("\\d+@Bob       \\|hello\\n"))),
             qPrintable(console));
    // Both logout lines carry the handle name set last: the settings are shared.
    QVERIFY2(console.count("@Bob       |ログアウト - ") == 2, qPrintable(console));
}

QTEST_MAIN(TestChatWithRelayProcess)
#include "tst_ChatWithRelayProcess.moc"
