#include "relay/web/TextHistory.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

// Which texts a joining browser is shown, and how they are numbered.
class TestTextHistory : public QObject
{
    Q_OBJECT

private slots:
    void keepsTheNewestWithinBounds_data();
    void keepsTheNewestWithinBounds();
};

void TestTextHistory::keepsTheNewestWithinBounds_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QList<int>>("lengths"); // of the texts added, in UTF-16 units
    QTest::addColumn<QList<int>>("held"); // their numbers, oldest first; 64 KiB are 32,768 units

    QTest::newRow("the count drops the oldest") << 2 << QList<int>{5, 6, 7} << QList<int>{1, 2};
    QTest::newRow("0 keeps nothing, still numbers") << 0 << QList<int>{5, 6} << QList<int>{};
    QTest::newRow("exactly 64 KiB stays") << 200 << QList<int>{16384, 16384} << QList<int>{0, 1};
    QTest::newRow("a unit over drops the oldest")
            << 200 << QList<int>{16384, 16384, 1} << QList<int>{1, 2};
    QTest::newRow("a text over the bound is not held, nor what came before it")
            << 200 << QList<int>{10, 32769, 3} << QList<int>{2};
}

void TestTextHistory::keepsTheNewestWithinBounds()
{
    QFETCH(int, count);
    QFETCH(QList<int>, lengths);
    QFETCH(QList<int>, held);

    TextHistory history(count);
    for (int number = 0; number < lengths.size(); ++number)
        history.add(QString(lengths[number], QChar(u'a' + number)));
    const QJsonObject message = QJsonDocument::fromJson(history.message(77)).object();
    QCOMPARE(message.value("first").toInteger(), lengths.size() - held.size());
    QJsonArray expected;
    for (int number : held)
        expected.append(QString(lengths[number], QChar(u'a' + number)));
    QCOMPARE(message.value("texts").toArray(), expected);
}

QTEST_APPLESS_MAIN(TestTextHistory)
#include "tst_TextHistory.moc"
