#include "relay/bridge/RedisUrl.h"

#include <QtTest>

// Reading the --bridge URL.
class TestRedisUrl : public QObject
{
    Q_OBJECT

private slots:
    void readsRedisUrls_data();
    void readsRedisUrls();
};

void TestRedisUrl::readsRedisUrls_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QByteArray>("room");

    QTest::newRow("host alone") << "redis://box" << true << QByteArray("box") << 6379
                                << QByteArray() << QByteArray("prynechat");
    QTest::newRow("everything, escaped password")
            << "redis://:s%40cret@10.0.0.5:6380/floor2" << true << QByteArray("10.0.0.5") << 6380
            << QByteArray("s@cret") << QByteArray("floor2");
    QTest::newRow("trailing slash keeps the default room")
            << "redis://box/" << true << QByteArray("box") << 6379 << QByteArray()
            << QByteArray("prynechat");
    QTest::newRow("another scheme")
            << "http://box" << false << QByteArray() << 0 << QByteArray() << QByteArray();
    QTest::newRow("no host") << "redis://" << false << QByteArray() << 0 << QByteArray()
                             << QByteArray();
    QTest::newRow("a user name") << "redis://admin:pw@box" << false << QByteArray() << 0
                                 << QByteArray() << QByteArray();
    QTest::newRow("a room with a slash")
            << "redis://box/a/b" << false << QByteArray() << 0 << QByteArray() << QByteArray();
    QTest::newRow("port zero") << "redis://box:0" << false << QByteArray() << 0 << QByteArray()
                               << QByteArray();
    QTest::newRow("a query") << "redis://box/room?db=2" << false << QByteArray() << 0
                             << QByteArray() << QByteArray();
    QTest::newRow("port out of range")
            << "redis://box:70000" << false << QByteArray() << 0 << QByteArray() << QByteArray();
}

void TestRedisUrl::readsRedisUrls()
{
    QFETCH(QString, url);
    QFETCH(bool, valid);
    QString reason;
    const std::optional<RedisAddress> address = parseRedisUrl(url, &reason);
    QCOMPARE(bool(address), valid);
    if (!valid) {
        QVERIFY(!reason.isEmpty());
        return;
    }
    QTEST(address->host, "host");
    QTEST(address->port, "port");
    QTEST(address->password, "password");
    QTEST(address->room, "room");
}

QTEST_GUILESS_MAIN(TestRedisUrl)
#include "tst_RedisUrl.moc"
