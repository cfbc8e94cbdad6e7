#include "relay/bridge/RedisStartCheck.h"

#include <QtTest>

// What the relay says at start about Redis's limits, from what CONFIG GET answered.
class TestRedisStartCheck : public QObject
{
    Q_OBJECT

private slots:
    void warnsAboutLimitsOtherThanNeeded_data();
    void warnsAboutLimitsOtherThanNeeded();
};

void TestRedisStartCheck::warnsAboutLimitsOtherThanNeeded_data()
{
    QTest::addColumn<QByteArrayList>("config");
    QTest::addColumn<QStringList>("warnings"); // the start of each

    QTest::newRow("as the README sets them")
            << QByteArrayList{"proto-max-bulk-len", "1048576", "client-query-buffer-limit",
                              "2097152"}
            << QStringList();
    QTest::newRow("in the other order, a query buffer between the two")
            << QByteArrayList{"client-query-buffer-limit", "1572864", "proto-max-bulk-len",
                              "1048576"}
            << QStringList();
    QTest::newRow("Redis's defaults")
            << QByteArrayList{"proto-max-bulk-len", "536870912", "client-query-buffer-limit",
                              "1073741824"}
            << QStringList{"Redis's proto-max-bulk-len is 536870912 bytes: whoever may write",
                           "Redis's client-query-buffer-limit is 1073741824 bytes: Redis holds"};
    QTest::newRow("a query buffer of 1mb cuts off a relay's largest text")
            << QByteArrayList{"proto-max-bulk-len", "1048576", "client-query-buffer-limit",
                              "1048576"}
            << QStringList{"Redis's client-query-buffer-limit is 1048576 bytes: Redis closes"};
    QTest::newRow("values smaller than a frame")
            << QByteArrayList{"proto-max-bulk-len", "524288", "client-query-buffer-limit",
                              "2097152"}
            << QStringList{"Redis's proto-max-bulk-len is 524288 bytes: texts larger"};
    QTest::newRow("a limit not told")
            << QByteArrayList{"proto-max-bulk-len", "1048576"}
            << QStringList{"Redis did not tell its client-query-buffer-limit"};
    QTest::newRow("a limit that is not a number")
            << QByteArrayList{"proto-max-bulk-len", "1mb", "client-query-buffer-limit", "2097152"}
            << QStringList{"Redis did not tell its proto-max-bulk-len"};
}

void TestRedisStartCheck::warnsAboutLimitsOtherThanNeeded()
{
    QFETCH(QByteArrayList, config);
    QFETCH(QStringList, warnings);

    const QStringList said = limitWarnings(config);
    QCOMPARE(said.size(), warnings.size());
    for (qsizetype index = 0; index < said.size(); ++index)
        QVERIFY2(said[index].startsWith(warnings[index]), qPrintable(said[index]));
}

QTEST_GUILESS_MAIN(TestRedisStartCheck)
#include "tst_RedisStartCheck.moc"
