#include "relay/web/KeepAlive.h"

#include <QtTest>

// When a browser is pinged and when it is given up.
class TestKeepAlive : public QObject
{
    Q_OBJECT

private slots:
    void judgesSilence_data();
    void judgesSilence();
};

void TestKeepAlive::judgesSilence_data()
{
    QTest::addColumn<qint64>("lastHeard");
    QTest::addColumn<qint64>("pingSent");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<int>("step");

    using Step = KeepAlive::Step;
    QTest::newRow("just heard") << qint64(1000) << qint64(-1) << qint64(1000) << int(Step::Wait);
    QTest::newRow("silent 59.9 s")
            << qint64(1000) << qint64(-1) << qint64(60900) << int(Step::Wait);
    QTest::newRow("silent a minute")
            << qint64(1000) << qint64(-1) << qint64(61000) << int(Step::Ping);
    QTest::newRow("ping unanswered 29.9 s")
            << qint64(1000) << qint64(61000) << qint64(90900) << int(Step::Wait);
    QTest::newRow("ping unanswered 30 s")
            << qint64(1000) << qint64(61000) << qint64(91000) << int(Step::Drop);
    QTest::newRow("answered after the ping")
            << qint64(62000) << qint64(61000) << qint64(100000) << int(Step::Wait);
    QTest::newRow("answered, then silent a minute again")
            << qint64(62000) << qint64(61000) << qint64(122000) << int(Step::Ping);
    QTest::newRow("a message in the ping's own millisecond does not answer it")
            << qint64(61000) << qint64(61000) << qint64(91000) << int(Step::Drop);
}

void TestKeepAlive::judgesSilence()
{
    QFETCH(qint64, lastHeard);
    QFETCH(qint64, pingSent);
    QFETCH(qint64, now);
    QFETCH(int, step);

    QCOMPARE(int(KeepAlive::judge(lastHeard, pingSent, now)), step);
}

QTEST_APPLESS_MAIN(TestKeepAlive)
#include "tst_KeepAlive.moc"
