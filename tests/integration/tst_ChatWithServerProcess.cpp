#include "forms/client/FormTCPClientMain.h"
#include "forms/main/FormMain.h"
#include "tests/support/Waits.h"
#include "tests/support/Windows.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using testsupport::MessageBoxAnswerer;
using testsupport::runsTheEventLoop;
using testsupport::typeLine;
using testsupport::visibleWindows;
using testsupport::waitTimeout;

namespace {

// The port that "/s" serves on and the start window offers.
constexpr int defaultPort = 555;

bool acceptsConnections(int port)
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, quint16(port));
    const bool connected = probe.waitForConnected(200);
    probe.abort();
    return connected;
}

FormTCPClientMain *openClientFrom(FormMain &form, const QString &name)
{
    const QList<FormTCPClientMain *> before = visibleWindows<FormTCPClientMain>();
    form.NameInp->setText(name);
    QTest::mouseClick(form.btnChoise[2], Qt::LeftButton);
    for (FormTCPClientMain *client : visibleWindows<FormTCPClientMain>()) {
        if (!before.contains(client))
            return client;
    }
    return nullptr;
}

int loginNumber(const QString &log, const QString &paddedName)
{
    const QRegularExpression login(QStringLiteral("(\\d+)@")
                                   + QRegularExpression::escape(paddedName)
                                   + QStringLiteral("\\|ログイン - [^\\r]+\\r\\n"));
    const QRegularExpressionMatch match = login.match(log);
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

} // namespace

// The real executable started with "/s" as the relay, client windows of this process as users.
class TestChatWithServerProcess : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void chatsThroughTheServerProcess();
    void endingTheServerDropsTheClients();

private:
    QProcess server;
    FormMain *form = nullptr;
    QPointer<FormTCPClientMain> alice;
    QPointer<FormTCPClientMain> bob;
};

void TestChatWithServerProcess::initTestCase()
{
    QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::Any, defaultPort))
            QSKIP("port 555 cannot be bound here (needs root, or it is taken)");
    }

    server.setProcessChannelMode(QProcess::ForwardedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    server.setProcessEnvironment(environment);
    server.start(QStringLiteral(PRYNECHAT_EXECUTABLE), {QStringLiteral("/s")});
    QVERIFY(server.waitForStarted(waitTimeout));
    QTRY_VERIFY_WITH_TIMEOUT(acceptsConnections(defaultPort), 10000);

    // The start window's own defaults: port 555, server localhost.
    form = new FormMain;
    form->setAttribute(Qt::WA_DeleteOnClose);
    form->show();
    QCOMPARE(form->PortInp->text(), QStringLiteral("555"));
}

void TestChatWithServerProcess::cleanupTestCase()
{
    for (FormTCPClientMain *client : visibleWindows<FormTCPClientMain>()) {
        QPointer<FormTCPClientMain> closing(client);
        client->close();
        QTRY_VERIFY(closing.isNull());
    }
    delete form;
    if (server.state() != QProcess::NotRunning) {
        server.kill();
        server.waitForFinished(waitTimeout);
    }
}

void TestChatWithServerProcess::chatsThroughTheServerProcess()
{
    alice = openClientFrom(*form, QStringLiteral("Alice"));
    QVERIFY(alice);
    QTRY_VERIFY(loginNumber(alice->TextLog->logText(), "Alice     ") > 0);
    QVERIFY(alice->windowTitle().startsWith(QStringLiteral("[Alice:")));
    QVERIFY(alice->windowTitle().endsWith(QStringLiteral(":555] - クライアント")));

    bob = openClientFrom(*form, QStringLiteral("ボブ"));
    QVERIFY(bob);
    QTRY_VERIFY(loginNumber(alice->TextLog->logText(), "ボブ        ") > 0);
    const int bobNumber = loginNumber(bob->TextLog->logText(), "ボブ        ");
    QVERIFY(bobNumber > 0);

    typeLine(bob->ComboMain, QStringLiteral("サーバ経由で届きますか？"));
    const QString line = QString::number(bobNumber)
            + QStringLiteral("@ボブ        |サーバ経由で届きますか？\r\n");
    QTRY_VERIFY(alice->TextLog->logText().endsWith(line));
    QTRY_VERIFY(bob->TextLog->logText().endsWith(line));

    // Bob leaves: Alice sees his one logout line.
    QPointer<FormTCPClientMain> leaving(bob);
    bob->close();
    QTRY_VERIFY(leaving.isNull());
    const QString logoutHead =
            QString::number(bobNumber) + QStringLiteral("@ボブ        |ログアウト - ");
    QTRY_COMPARE(alice->TextLog->logText().count(logoutHead), 1);
}

void TestChatWithServerProcess::endingTheServerDropsTheClients()
{
    QVERIFY(alice);
    MessageBoxAnswerer answerer;
    server.terminate();
    QTRY_COMPARE(answerer.texts(), QStringList{"切断されました。"});
    QVERIFY(alice->isVisible());

    // Nothing is left to say goodbye to: the window goes at once, without waiting for anything.
    bool closed = false;
    QVERIFY(!runsTheEventLoop([&] { closed = alice->close(); }));
    QVERIFY(closed);
    QTRY_VERIFY(alice.isNull());
}

QTEST_MAIN(TestChatWithServerProcess)
#include "tst_ChatWithServerProcess.moc"
