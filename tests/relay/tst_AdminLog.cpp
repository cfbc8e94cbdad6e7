#include "relay/AdminLog.h"

#include <QtTest>

using socks::CloseReason;

Q_DECLARE_METATYPE(CloseReason)
Q_DECLARE_METATYPE(LogPriority)

// What the relay's log says about its clients, and how the journal files it.
class TestAdminLog : public QObject
{
    Q_OBJECT

private slots:
    void wordsEachDeparture_data();
    void wordsEachDeparture();
    void wordsJoinsWithTheCount_data();
    void wordsJoinsWithTheCount();
    void wordsTheBoundsInForce();
    void prefixesThePriorityOnlyForTheJournal_data();
    void prefixesThePriorityOnlyForTheJournal();
    void readsJournalStream_data();
    void readsJournalStream();
};

void TestAdminLog::wordsEachDeparture_data()
{
    QTest::addColumn<CloseReason>("why");
    QTest::addColumn<int>("clients");
    QTest::addColumn<QString>("line");
    QTest::addColumn<LogPriority>("priority");

    const QString peer = QStringLiteral("prynechat-relay: 192.0.2.7:51234 ");
    // Leaving
    QTest::newRow("an orderly close is leaving")
            << CloseReason::PeerClosed << 2 << peer + "left (2 clients)" << LogPriority::Info;
    QTest::newRow("a reset is leaving too")
            << CloseReason::PeerReset << 0 << peer + "left: the connection was reset (0 clients)"
            << LogPriority::Info;
    QTest::newRow("closed by the relay")
            << CloseReason::ClosedByOwner << 5 << peer + "left: closed by the relay (5 clients)"
            << LogPriority::Info;

    // A slow or vanished peer
    QTest::newRow("a laggard") << CloseReason::Lagging << 2
                               << peer
                    + "dropped: lagging, held a fast sender back taking nothing for 900 ms or "
                      "under 1 MB/s for 3 s, or over 12 MiB behind (2 clients)"
                               << LogPriority::Notice;
    QTest::newRow("a reader that stopped")
            << CloseReason::Stalled << 1
            << peer + "dropped: took no byte for 30 s while texts waited (1 client)"
            << LogPriority::Notice;
    QTest::newRow("half a text, then silence")
            << CloseReason::AbandonedFrame << 3
            << peer + "dropped: sent part of a text, then nothing for 30 s (3 clients)"
            << LogPriority::Notice;
    QTest::newRow("a socket error")
            << CloseReason::SocketError << 3 << peer + "dropped: connection error (3 clients)"
            << LogPriority::Notice;
    QTest::newRow("a browser that stopped answering")
            << CloseReason::Unanswered << 3
            << peer + "dropped: stopped answering, a ping unanswered for 30 s (3 clients)"
            << LogPriority::Notice;

    // A broken or hostile sender
    QTest::newRow("an oversized frame header")
            << CloseReason::OversizedFrame << 2
            << peer + "dropped: announced a text above 1 MiB (2 clients)" << LogPriority::Warning;
    QTest::newRow("the input budget") << CloseReason::InputBudget << 40
                                      << peer
                    + "dropped: held one of the largest unfinished texts when all together "
                      "passed 64 MiB (40 clients)"
                                      << LogPriority::Warning;
    QTest::newRow("invalid UTF-8 that no longer fits")
            << CloseReason::UnsendableText << 2
            << peer + "dropped: sent invalid UTF-8 too long to relay once replaced (2 clients)"
            << LogPriority::Warning;
}

void TestAdminLog::wordsEachDeparture()
{
    QFETCH(CloseReason, why);
    QFETCH(int, clients);
    QFETCH(QString, line);
    QFETCH(LogPriority, priority);

    const AdminLine said = AdminLog::departed(QStringLiteral("192.0.2.7:51234"), why, clients,
                                              socks::RelayLimits());
    QCOMPARE(said.text, line);
    QCOMPARE(said.priority, priority);
}

void TestAdminLog::wordsJoinsWithTheCount_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<int>("clients");
    QTest::addColumn<QString>("line");

    QTest::newRow("the first client")
            << "192.0.2.7:51234" << 1 << "prynechat-relay: 192.0.2.7:51234 joined (1 client)";
    QTest::newRow("a third one") << "10.0.0.3:40000" << 3
                                 << "prynechat-relay: 10.0.0.3:40000 joined (3 clients)";
    QTest::newRow("over IPv6, in brackets")
            << "fe80::1:50000" << 12 << "prynechat-relay: [fe80::1]:50000 joined (12 clients)";
    QTest::newRow("already in brackets")
            << "[::1]:50580" << 1 << "prynechat-relay: [::1]:50580 joined (1 client)";
    QTest::newRow("a peer whose address is gone")
            << "" << 2 << "prynechat-relay: a peer of unknown address joined (2 clients)";
}

void TestAdminLog::wordsJoinsWithTheCount()
{
    QFETCH(QString, peer);
    QFETCH(int, clients);
    QFETCH(QString, line);

    const AdminLine said = AdminLog::joined(peer, clients);
    QCOMPARE(said.text, line);
    QCOMPARE(said.priority, LogPriority::Info);
}

// Tests and other relays shorten the bounds: the words give the ones in force.
void TestAdminLog::wordsTheBoundsInForce()
{
    socks::RelayLimits limits;
    limits.stallMilliseconds = 1500;
    limits.unfinishedMilliseconds = 2000;
    limits.unfinishedBytes = 256 * 1024;
    limits.maxBehindBytes = 1000;
    QCOMPARE(AdminLog::departed(QStringLiteral("10.0.0.3:4000"), CloseReason::Stalled, 0, limits)
                     .text,
             QStringLiteral("prynechat-relay: 10.0.0.3:4000 dropped: took no byte for 1500 ms "
                            "while texts waited (0 clients)"));
    QCOMPARE(AdminLog::departed(QStringLiteral("10.0.0.3:4000"), CloseReason::AbandonedFrame, 0,
                                limits)
                     .text,
             QStringLiteral("prynechat-relay: 10.0.0.3:4000 dropped: sent part of a text, then "
                            "nothing for 2 s (0 clients)"));
    QCOMPARE(
            AdminLog::departed(QStringLiteral("10.0.0.3:4000"), CloseReason::InputBudget, 0, limits)
                    .text,
            QStringLiteral("prynechat-relay: 10.0.0.3:4000 dropped: held one of the largest "
                           "unfinished texts when all together passed 256 KiB (0 clients)"));
    QVERIFY(AdminLog::departed(QStringLiteral("10.0.0.3:4000"), CloseReason::Lagging, 0, limits)
                    .text.contains(QStringLiteral("over 1000 bytes behind")));
}

void TestAdminLog::prefixesThePriorityOnlyForTheJournal_data()
{
    QTest::addColumn<LogPriority>("priority");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("journal");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("an error") << LogPriority::Error << "prynechat-relay: cannot serve port 555"
                              << true << QByteArray("<3>prynechat-relay: cannot serve port 555\n");
    QTest::newRow("a warning") << LogPriority::Warning << "w" << true << QByteArray("<4>w\n");
    QTest::newRow("a notice") << LogPriority::Notice << "n" << true << QByteArray("<5>n\n");
    QTest::newRow("information") << LogPriority::Info << "i" << true << QByteArray("<6>i\n");
    QTest::newRow("a text that names a priority of its own keeps it as text")
            << LogPriority::Info << "<3>forged" << true << QByteArray("<6><3>forged\n");
    QTest::newRow("a terminal gets plain lines")
            << LogPriority::Error << "prynechat-relay: cannot serve port 555" << false
            << QByteArray("prynechat-relay: cannot serve port 555\n");
    QTest::newRow("in UTF-8") << LogPriority::Info << "1@太郎" << false
                              << QByteArray("1@\xe5\xa4\xaa\xe9\x83\x8e\n");
}

void TestAdminLog::prefixesThePriorityOnlyForTheJournal()
{
    QFETCH(LogPriority, priority);
    QFETCH(QString, text);
    QFETCH(bool, journal);
    QFETCH(QByteArray, bytes);
    QCOMPARE(AdminLog::lineBytes(priority, text, journal), bytes);
}

void TestAdminLog::readsJournalStream_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<quint64>("device");
    QTest::addColumn<quint64>("inode");

    QTest::newRow("as systemd sets it") << QByteArray("9:31876") << true << 9ull << 31876ull;
    QTest::newRow("the largest numbers")
            << QByteArray("18446744073709551615:18446744073709551615") << true
            << 18446744073709551615ull << 18446744073709551615ull;
    QTest::newRow("leading zeros") << QByteArray("007:08") << true << 7ull << 8ull;
    QTest::newRow("unset") << QByteArray() << false << 0ull << 0ull;
    QTest::newRow("no inode") << QByteArray("9") << false << 0ull << 0ull;
    QTest::newRow("an empty inode") << QByteArray("9:") << false << 0ull << 0ull;
    QTest::newRow("an empty device") << QByteArray(":31876") << false << 0ull << 0ull;
    QTest::newRow("a third number") << QByteArray("9:31876:1") << false << 0ull << 0ull;
    QTest::newRow("a sign") << QByteArray("-9:31876") << false << 0ull << 0ull;
    QTest::newRow("spaces") << QByteArray(" 9:31876") << false << 0ull << 0ull;
    QTest::newRow("a trailing line end") << QByteArray("9:31876\n") << false << 0ull << 0ull;
    QTest::newRow("hexadecimal") << QByteArray("0x9:31876") << false << 0ull << 0ull;
    QTest::newRow("past 64 bits") << QByteArray("18446744073709551616:1") << false << 0ull << 0ull;
    QTest::newRow("far past 64 bits")
            << QByteArray("1:999999999999999999999") << false << 0ull << 0ull;
}

void TestAdminLog::readsJournalStream()
{
    QFETCH(QByteArray, value);
    QFETCH(bool, valid);
    QFETCH(quint64, device);
    QFETCH(quint64, inode);

    const std::optional<AdminLog::Stream> stream = AdminLog::readJournalStream(value);
    QCOMPARE(stream.has_value(), valid);
    if (stream) {
        QCOMPARE(stream->device, device);
        QCOMPARE(stream->inode, inode);
    }
}

QTEST_GUILESS_MAIN(TestAdminLog)
#include "tst_AdminLog.moc"
