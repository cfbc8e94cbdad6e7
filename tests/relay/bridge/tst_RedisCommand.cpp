#include "relay/bridge/RedisCommand.h"

#include <QtTest>

#include <cstdlib>
#include <hiredis/hiredis.h>

// One Redis command's arguments with their lengths, as they go on the wire.
class TestRedisCommand : public QObject
{
    Q_OBJECT

private slots:
    void goesOnTheWireByteForByte_data();
    void goesOnTheWireByteForByte();
    void sharesLargeArgumentsWithoutCopying();
};

void TestRedisCommand::goesOnTheWireByteForByte_data()
{
    QTest::addColumn<QByteArrayList>("arguments");
    QTest::addColumn<QByteArray>("wire");

    QTest::newRow("words") << QByteArrayList{"XREVRANGE", "prynechat:room", "+", "-"}
                           << QByteArray("*4\r\n$9\r\nXREVRANGE\r\n$14\r\nprynechat:room\r\n"
                                         "$1\r\n+\r\n$1\r\n-\r\n");
    QTest::newRow("an empty argument")
            << QByteArrayList{"XADD", ""} << QByteArray("*2\r\n$4\r\nXADD\r\n$0\r\n\r\n");
    QTest::newRow("a NUL, a line end and a byte above 127 in a text")
            << QByteArrayList{"payload", QByteArray("a\0b\r\n\xff", 6)}
            << QByteArray("*2\r\n$7\r\npayload\r\n$6\r\na\0b\r\n\xff\r\n", 29);
}

void TestRedisCommand::goesOnTheWireByteForByte()
{
    QFETCH(QByteArrayList, arguments);
    QFETCH(QByteArray, wire);

    RedisCommand command;
    for (const QByteArray &argument : arguments)
        command << argument;
    QCOMPARE(command.count(), int(arguments.size()));
    std::vector<const char *> argv = command.argv();
    const std::vector<std::size_t> lengths = command.lengths();
    char *formatted = nullptr;
    const int length =
            redisFormatCommandArgv(&formatted, command.count(), argv.data(), lengths.data());
    const QByteArray written(formatted, length);
    std::free(formatted);
    QCOMPARE(written, wire);
}

void TestRedisCommand::sharesLargeArgumentsWithoutCopying()
{
    const QByteArray payload(1024 * 1024, 'x');
    const RedisCommand command{"XADD", "key", payload};
    QCOMPARE(command.argv()[2], payload.constData());
    QCOMPARE(command.lengths()[2], std::size_t(payload.size()));
}

QTEST_GUILESS_MAIN(TestRedisCommand)
#include "tst_RedisCommand.moc"
