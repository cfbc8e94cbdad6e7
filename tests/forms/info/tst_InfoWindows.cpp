#include "forms/info/InfoWindows.h"
#include "net/CWS_TCP_C.h"
#include "net/CWS_TCP_S.h"
#include "tests/support/Waits.h"

#include <QLabel>
#include <QTableWidget>
#include <QtTest>

#include <algorithm>
#include <memory>

using socks::CWS_TCP_C;
using socks::CWS_TCP_S;
using testsupport::waitTimeout;

class TestInfoWindows : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void serverWindowFollowsInfoVisibleAndTheTraffic();
    void clientWindowFollowsInfoVisibleAndTheTraffic();
};

void TestInfoWindows::initTestCase()
{
    InfoWindows::install();
}

void TestInfoWindows::serverWindowFollowsInfoVisibleAndTheTraffic()
{
    auto server = std::make_unique<CWS_TCP_S>();
    QVERIFY(server->StartService(0));
    QVERIFY(!server->InfoVisible());
    server->setInfoVisible(true);
    QVERIFY(server->InfoVisible());
    QPointer<QWidget> window;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == QStringLiteral("ServerInfoWindow") && widget->isVisible())
            window = widget;
    }
    QVERIFY(window);
    QCOMPARE(window->windowTitle(), QStringLiteral("サーバ情報"));
    QVERIFY(!window->testAttribute(Qt::WA_QuitOnClose));

    CWS_TCP_C client;
    QSignalSpy connected(&client, &CWS_TCP_C::Connect);
    client.OpenConnection(QStringLiteral("127.0.0.1"), server->Port());
    QVERIFY(connected.wait(waitTimeout));
    client.SendData(QStringLiteral("abc"));
    // The display follows the traffic: the connection count label and the row of connection 1.
    auto *table = window->findChild<QTableWidget *>();
    QVERIFY(table);
    QTRY_COMPARE_WITH_TIMEOUT(table->rowCount(), 1, waitTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(table->item(0, 3)->text(), QStringLiteral("1"), waitTimeout);
    QCOMPARE(table->item(0, 4)->text(), QStringLiteral("7"));

    server->setInfoVisible(false);
    QVERIFY(!server->InfoVisible());
    server->setInfoVisible(true);
    QVERIFY(server->InfoVisible());
    window->close();
    QVERIFY(!server->InfoVisible());
    server.reset();
    QVERIFY(!window);
}

void TestInfoWindows::clientWindowFollowsInfoVisibleAndTheTraffic()
{
    CWS_TCP_S server;
    QVERIFY(server.StartService(0));
    auto client = std::make_unique<CWS_TCP_C>();
    QSignalSpy connected(client.get(), &CWS_TCP_C::Connect);
    client->OpenConnection(QStringLiteral("127.0.0.1"), server.Port());
    QVERIFY(connected.wait(waitTimeout));
    QVERIFY(!client->InfoVisible());
    client->setInfoVisible(true);
    QVERIFY(client->InfoVisible());
    QPointer<QWidget> window;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == QStringLiteral("ClientInfoWindow") && widget->isVisible())
            window = widget;
    }
    QVERIFY(window);
    QCOMPARE(window->windowTitle(), QStringLiteral("クライアント情報"));
    QVERIFY(!window->testAttribute(Qt::WA_QuitOnClose));
    const QList<QLabel *> labels = window->findChildren<QLabel *>();
    const auto showsText = [&labels](const QString &text) {
        return std::any_of(labels.begin(), labels.end(),
                           [&text](const QLabel *label) { return label->text() == text; });
    };
    QVERIFY(showsText(QStringLiteral("接続済み")));
    QVERIFY(showsText(QString::number(client->SocketNumber())));
    client->SendData(QStringLiteral("abc"));
    QTRY_VERIFY_WITH_TIMEOUT(showsText(QStringLiteral("1 テキスト / 7 バイト")), waitTimeout);

    client->setInfoVisible(false);
    QVERIFY(!client->InfoVisible());
    client->setInfoVisible(true);
    window->close();
    QVERIFY(!client->InfoVisible());
    client.reset();
    QVERIFY(!window);
}

QTEST_MAIN(TestInfoWindows)
#include "tst_InfoWindows.moc"
