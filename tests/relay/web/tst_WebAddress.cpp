#include "relay/web/WebAddress.h"

#include <QtTest>

// The --web option's text.
class TestWebAddress : public QObject
{
    Q_OBJECT

private slots:
    void readsAddresses_data();
    void readsAddresses();
};

void TestWebAddress::readsAddresses_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");

    QTest::newRow("a port alone takes --listen's address") << "8080" << true << "10.0.0.7" << 8080;
    QTest::newRow("port 0 takes a free one") << "0" << true << "10.0.0.7" << 0;
    QTest::newRow("IPv4 and port") << "192.168.1.10:8080" << true << "192.168.1.10" << 8080;
    QTest::newRow("IPv6 in brackets") << "[::1]:8080" << true << "::1" << 8080;
    QTest::newRow("IPv6 without brackets") << "::1:8080" << false << "" << 0;
    QTest::newRow("a name") << "chatbox:8080" << false << "" << 0;
    QTest::newRow("no port after the address") << "[::1]" << false << "" << 0;
    QTest::newRow("IPv4 in brackets") << "[10.0.0.1]:80" << false << "" << 0;
    QTest::newRow("nothing before the colon") << ":8080" << false << "" << 0;
    QTest::newRow("port too large") << "65536" << false << "" << 0;
    QTest::newRow("negative") << "-1" << false << "" << 0;
    QTest::newRow("a plus sign") << "+80" << false << "" << 0;
    QTest::newRow("a blank") << " 80" << false << "" << 0;
    QTest::newRow("letters after the number") << "8080x" << false << "" << 0;
    QTest::newRow("empty") << "" << false << "" << 0;
}

void TestWebAddress::readsAddresses()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QString, address);
    QFETCH(int, port);

    const std::optional<WebAddress> read =
            WebAddress::read(text, QHostAddress(QStringLiteral("10.0.0.7")));
    QCOMPARE(read.has_value(), valid);
    if (!valid)
        return;
    QCOMPARE(read->address, QHostAddress(address));
    QCOMPARE(read->port, port);
}

QTEST_APPLESS_MAIN(TestWebAddress)
#include "tst_WebAddress.moc"
