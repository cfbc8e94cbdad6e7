#include "relay/Admission.h"

#include <QtTest>

// Who comes in and what the log says of those who do not, step by step on a clock of its own.
class TestAdmission : public QObject
{
    Q_OBJECT

private slots:
    void admitsAndLogsByTheRules_data();
    void admitsAndLogsByTheRules();
};

namespace {

// Steps, separated by spaces: "t=MS" sets the clock; "+ADDRESS" is admitted, "+ADDRESS!net",
// "!many" or "!fast" is refused for that reason; "N*" before a step repeats it; "-ADDRESS" releases one; "rules=..." changes the rules (the
// rules' own words, below); "log" takes the lines due.
Admission::Rules readRules(const QString &words)
{
    Admission::Rules rules;
    for (const QString &word : words.split(u',', Qt::SkipEmptyParts)) {
        const QString value = word.section(u'=', 1);
        if (word.startsWith(QLatin1String("allow=")))
            rules.allowed << QHostAddress::parseSubnet(value);
        else if (word.startsWith(QLatin1String("max=")))
            rules.maxPerAddress = value.toInt();
        else if (word.startsWith(QLatin1String("rate=")))
            rules.maxJoinsPerMinute = value.toInt();
    }
    return rules;
}

QString verdictName(Admission::Verdict verdict)
{
    switch (verdict) {
    case Admission::Verdict::Admitted:
        return QString();
    case Admission::Verdict::NotAllowed:
        return QStringLiteral("net");
    case Admission::Verdict::TooMany:
        return QStringLiteral("many");
    case Admission::Verdict::TooFast:
        return QStringLiteral("fast");
    }
    return QString();
}

const QString refusalTail = QStringLiteral("; more refusals from it are counted for a minute");

} // namespace

void TestAdmission::admitsAndLogsByTheRules_data()
{
    QTest::addColumn<QString>("rules");
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QStringList>("lines");

    const QString p = QStringLiteral("prynechat-relay: ");
    QTest::newRow("everyone by default, up to 10 each")
            << ""
            << "10*+10.0.0.9 +10.0.0.9!many +10.0.0.8 log"
            << QStringList{p + "refused 10.0.0.9: already has 10 connections (--max-per-address)"
                           + refusalTail};
    QTest::newRow("an allowed IPv4 network, seen through an IPv6 socket too")
            << "allow=192.168.1.0/24,max=0,rate=0"
            << "+192.168.1.7 +::ffff:192.168.1.8 +192.168.2.1!net +::ffff:10.0.0.9!net log"
            << QStringList{
                       p + "refused 192.168.2.1: not in an allowed network (--allow)" + refusalTail,
                       p + "refused 10.0.0.9: not in an allowed network (--allow)" + refusalTail};
    QTest::newRow("IPv6 networks, in brackets, a scope no part of the address")
            << "allow=fd00::/8,allow=fe80::/10,allow=127.0.0.1"
            << "+fd12::1 +fe80::1%eth0 +127.0.0.1 +127.0.0.2!net +2001:db8::1!net log"
            << QStringList{p + "refused 127.0.0.2: not in an allowed network (--allow)"
                                   + refusalTail,
                           p + "refused [2001:db8::1]: not in an allowed network (--allow)"
                                   + refusalTail};
    QTest::newRow("the limit counts open connections, loopback too")
            << "max=2,rate=0"
            << "+127.0.0.1 +127.0.0.1 +127.0.0.1!many -127.0.0.1 +127.0.0.1 +::1 +::1 +::1!many"
            << QStringList();
    const QString tooFast = p
            + "refused 10.0.0.9: joined 3 times within a minute (--max-joins-per-minute)"
            + refusalTail;
    QTest::newRow("joins refill over the minute")
            << "max=0,rate=3"
            << "+10.0.0.9 +10.0.0.9 +10.0.0.9 +10.0.0.9!fast t=19999 +10.0.0.9!fast "
               "t=20000 +10.0.0.9 +10.0.0.9!fast +10.0.0.8 t=80000 3*+10.0.0.9 +10.0.0.9!fast log"
            << QStringList{tooFast, p + "2 more refusals from 10.0.0.9 in the last minute",
                           tooFast};
    QTest::newRow("one line per address per minute, then the count")
            << "allow=10.0.0.0/8"
            << "1000*+192.0.2.1!net log t=59999 log t=60000 log +192.0.2.1!net log"
            << QStringList{
                       p + "refused 192.0.2.1: not in an allowed network (--allow)" + refusalTail,
                       p + "999 more refusals from 192.0.2.1 in the last minute",
                       p + "refused 192.0.2.1: not in an allowed network (--allow)" + refusalTail};
    QTest::newRow("new rules apply to newcomers; who is in stays")
            << "max=1"
            << "+10.0.0.9 rules=max=1,allow=192.168.1.0/24 +10.0.0.8!net -10.0.0.9 "
               "rules=max=0 +10.0.0.9 +10.0.0.9 log"
            << QStringList{p + "refused 10.0.0.8: not in an allowed network (--allow)"
                           + refusalTail};
    QTest::newRow("no limits at all") << "max=0,rate=0"
                                      << "1000*+127.0.0.1 log" << QStringList();
}

void TestAdmission::admitsAndLogsByTheRules()
{
    QFETCH(QString, rules);
    QFETCH(QString, steps);
    QFETCH(QStringList, lines);

    qint64 now = 0;
    Admission admission([&now] { return now; });
    admission.setRules(readRules(rules));
    QStringList logged;
    for (QString step : steps.split(u' ')) {
        int repeat = 1;
        if (step.contains(u'*')) {
            repeat = step.section(u'*', 0, 0).toInt();
            step = step.section(u'*', 1);
        }
        for (int round = 0; round < repeat; ++round) {
            if (step.startsWith(QLatin1String("t="))) {
                now = step.mid(2).toLongLong();
            } else if (step.startsWith(QLatin1String("rules="))) {
                admission.setRules(readRules(step.mid(6)));
            } else if (step == QLatin1String("log")) {
                logged += admission.takeLines();
            } else if (step.startsWith(u'-')) {
                admission.release(QHostAddress(step.mid(1)));
            } else {
                const QString address = step.mid(1).section(u'!', 0, 0);
                const QString expected = step.section(u'!', 1);
                QCOMPARE(verdictName(admission.admit(QHostAddress(address))), expected);
            }
        }
    }
    QCOMPARE(logged, lines);
}

QTEST_GUILESS_MAIN(TestAdmission)
#include "tst_Admission.moc"
