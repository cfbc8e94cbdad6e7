#include "net/LanAddress.h"

#include <QtTest>

class TestLanAddress : public QObject
{
    Q_OBJECT

private slots:
    void findsTheDefaultRoutesInterface_data();
    void findsTheDefaultRoutesInterface();
};

void TestLanAddress::findsTheDefaultRoutesInterface_data()
{
    QTest::addColumn<QByteArray>("table");
    QTest::addColumn<QString>("interface");

    const QByteArray header =
            "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU"
            "\tWindow\tIRTT\n";
    // docker0 is listed first, as on a host with Docker; its route is no default one.
    QTest::newRow("docker host") << header
                    + "docker0\t000011AC\t00000000\t0001\t0\t0\t0\t0000FFFF\t0\t0\t0\n"
                      "wlp2s0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                      "wlp2s0\t0001A8C0\t00000000\t0001\t0\t0\t600\t00FFFFFF\t0\t0\t0\n"
                                 << "wlp2s0";
    QTest::newRow("the lower metric wins") << header
                    + "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                      "eth0\t00000000\t0100000A\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                                           << "eth0";
    QTest::newRow("a default destination with a mask is a network")
            << header + "tun0\t00000000\t00000000\t0001\t0\t0\t0\t00000080\t0\t0\t0\n"
            << QString();
    QTest::newRow("no route") << header << QString();
    QTest::newRow("cut short") << header + "eth0\t00000000\t0100000A\t0003" << QString();
}

void TestLanAddress::findsTheDefaultRoutesInterface()
{
    QFETCH(QByteArray, table);
    QFETCH(QString, interface);
    QCOMPARE(socks::defaultRouteInterface(table), interface);
}

QTEST_MAIN(TestLanAddress)
#include "tst_LanAddress.moc"
