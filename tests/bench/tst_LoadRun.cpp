#include "FaultyRelay.h"
#include "bench/LoadRun.h"
#include "tests/support/RelayProcess.h"

#include <QTest>

// The load tool against relays that are right, and against ones that drop, swap, cut or stall a
// single text: a checker that passes them all would be worthless.
class TestLoadRun : public QObject
{
    Q_OBJECT

private slots:
    void judgesRelay_data();
    void judgesRelay();
    void runsForADuration();
    void refusesOtherHosts();
    void measuresBrowsers_data();
    void measuresBrowsers();
};

Q_DECLARE_METATYPE(FaultyRelay::Framing)
Q_DECLARE_METATYPE(FaultyRelay::Fault)

namespace {

constexpr int clients = 4;
constexpr int textsEach = 40;

bench::LoadRun::Options optionsFor(FaultyRelay::Framing framing, int port)
{
    bench::LoadRun::Options options;
    options.port = port;
    options.clients = clients;
    options.textsPerClient = textsEach;
    options.textBytes = 48;
    options.window = 4;
    options.mode = framing == FaultyRelay::Framing::Framed ? bench::LoadRun::Mode::Framed
                                                           : bench::LoadRun::Mode::Lines;
    options.timeoutMillis = 10000;
    options.stallMillis = 1000;
    options.settleMillis = 300;
    return options;
}

} // namespace

void TestLoadRun::judgesRelay_data()
{
    QTest::addColumn<FaultyRelay::Framing>("framing");
    QTest::addColumn<FaultyRelay::Fault>("fault");
    QTest::addColumn<bool>("passes");
    QTest::addColumn<int>("lost");
    QTest::addColumn<bool>("misordered");
    QTest::addColumn<bool>("corrupt");
    QTest::addColumn<bool>("timedOut");

    using Fault = FaultyRelay::Fault;
    const auto framed = FaultyRelay::Framing::Framed;
    const auto lines = FaultyRelay::Framing::Lines;
    QTest::newRow("framed, faultless")
            << framed << Fault::None << true << 0 << false << false << false;
    QTest::newRow("lines, faultless")
            << lines << Fault::None << true << 0 << false << false << false;
    QTest::newRow("framed, one text dropped") // everyone misses it, the sender too
            << framed << Fault::Drop << false << clients << false << false << false;
    QTest::newRow("lines, one text dropped")
            << lines << Fault::Drop << false << clients - 1 << false << false << false;
    QTest::newRow("framed, one client gets a text after a later one")
            << framed << Fault::SwapForOne << false << 0 << true << false << false;
    QTest::newRow("lines, one client gets a text after a later one")
            << lines << Fault::SwapForOne << false << 0 << true << false << false;
    QTest::newRow("framed, one text cut short")
            << framed << Fault::Cut << false << clients << false << true << false;
    QTest::newRow("lines, one text cut short") // the line end goes, so it runs into the next
            << lines << Fault::Cut << false << -1 << false << true << false;
    QTest::newRow("framed, relay stops")
            << framed << Fault::StopAfter << false << -1 << false << false << true;
}

void TestLoadRun::judgesRelay()
{
    QFETCH(FaultyRelay::Framing, framing);
    QFETCH(FaultyRelay::Fault, fault);
    QFETCH(int, lost);

    FaultyRelay relay(framing, fault, 25);
    QVERIFY(relay.port() > 0);
    bench::LoadRun load(optionsFor(framing, relay.port()));
    const bench::LoadRun::Result result = load.run();

    QVERIFY2(result.error.empty() || fault == FaultyRelay::Fault::StopAfter, result.error.c_str());
    QTEST(result.passed(), "passes");
    if (lost >= 0)
        QCOMPARE(int(result.summary.lost), lost);
    else
        QVERIFY(result.summary.lost > 0);
    QTEST(result.summary.misordered > 0, "misordered");
    QTEST(result.summary.corrupt > 0, "corrupt");
    QTEST(result.timedOut, "timedOut");
    if (fault == FaultyRelay::Fault::None) {
        QCOMPARE(result.textsSent, quint64(clients * textsEach));
        QCOMPARE(result.summary.delivered, result.summary.expected);
        QCOMPARE(result.latencySamples, quint64(clients * textsEach));
        QVERIFY(result.latencyP50 <= result.latencyP99);
        QVERIFY(result.latencyP99 <= result.latencyMax);
    }
}

void TestLoadRun::runsForADuration()
{
    FaultyRelay relay(FaultyRelay::Framing::Framed, FaultyRelay::Fault::None, 0);
    bench::LoadRun::Options options = optionsFor(FaultyRelay::Framing::Framed, relay.port());
    options.durationMillis = 300;
    bench::LoadRun load(options);
    const bench::LoadRun::Result result = load.run();

    QVERIFY2(result.passed(), result.error.c_str());
    QVERIFY(result.textsSent > 0);
    QCOMPARE(result.summary.delivered, result.textsSent * clients);
    QVERIFY(result.seconds >= 0.3);
    QVERIFY(result.seconds < 5);
}

void TestLoadRun::refusesOtherHosts()
{
    for (const char *host : {"localhost", "127.0.0.2", "10.0.0.1", "::1"}) {
        bench::LoadRun::Options options;
        options.host = host;
        bench::LoadRun load(options);
        const bench::LoadRun::Result result = load.run();
        QVERIFY2(!result.passed(), host);
        QCOMPARE(QString::fromStdString(result.error),
                 QStringLiteral("only 127.0.0.1 is allowed as host"));
    }
}

void TestLoadRun::measuresBrowsers_data()
{
    QTest::addColumn<bool>("mixed");

    QTest::newRow("every client a browser") << false;
    QTest::newRow("every second client a browser, one room") << true;
}

void TestLoadRun::measuresBrowsers()
{
    QFETCH(bool, mixed);

    // The real relay with its web port: the tool's WebSocket side against the relay's own.
    testsupport::RelayProcess relay;
    QVERIFY(relay.start(relay.unlimited() + relay.web()));

    bench::LoadRun::Options options = optionsFor(FaultyRelay::Framing::Framed, 0);
    if (mixed) {
        options.port = relay.port;
        options.webPort = relay.webPort;
    } else {
        options.port = relay.webPort;
        options.mode = bench::LoadRun::Mode::WebSocket;
    }
    bench::LoadRun load(options);
    const bench::LoadRun::Result result = load.run();
    relay.stop();

    QVERIFY2(result.passed(), result.error.c_str());
    QCOMPARE(result.textsSent, quint64(clients * textsEach));
    // Every text reached every client of either kind, in one order.
    QCOMPARE(result.summary.delivered, quint64(clients * clients * textsEach));
    QCOMPARE(result.summary.misordered, quint64(0));
}

QTEST_GUILESS_MAIN(TestLoadRun)
#include "tst_LoadRun.moc"
