#include "forms/ChatLook.h"
#include "forms/LogRows.h"

#include <QFontMetricsF>
#include <QtTest>

#include <cmath>
#include <vector>

namespace {

using Row = LogRows::Row;

// Appended in place of a text, clears the log.
const QString clearLog = QStringLiteral("<clear>");

// The chat font is monospaced: a half-width character takes one cell, a kana two.
qreal cell()
{
    return QFontMetricsF(chatFont()).horizontalAdvance(u'x');
}

int widthOf(int columns)
{
    return int(std::ceil(columns * cell()));
}

// Positions from `from` on, `step` apart, below `to`.
QList<int> every(int step, int from, int to)
{
    QList<int> positions;
    for (int position = from; position < to; position += step)
        positions << position;
    return positions;
}

// The rows from the first on, each walked to once, up to a bound.
std::vector<Row> walk(LogRows &rows)
{
    std::vector<Row> seen;
    Row row = rows.firstRow();
    do
        seen.push_back(row);
    while (rows.nextRow(row) && seen.size() < 100000);
    return seen;
}

} // namespace

class TestLogRows : public QObject
{
    Q_OBJECT

private slots:
    void laysTheLogOutInRows_data();
    void laysTheLogOutInRows();
    void findsPlacesOnTheRows_data();
    void findsPlacesOnTheRows();
};

void TestLogRows::laysTheLogOutInRows_data()
{
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<int>("maxLines");
    QTest::addColumn<int>("maxCharacters");
    QTest::addColumn<int>("columns");
    QTest::addColumn<QList<int>>("rowStarts"); // shown positions

    const QString run(20000, u'x');
    QTest::newRow("short lines") << QStringList{"ab\r\n", "cd\n", "e"} << 100 << 1000 << 10
                                 << QList<int>{0, 3, 6};
    QTest::newRow("a line wraps, also after it grew on screen")
            << QStringList{"ab\n", QString(25, u'x') + "\n", "e"} << 100 << 1000 << 10
            << QList<int>{0, 3, 13, 23, 29};
    QTest::newRow("kana take two cells")
            << QStringList{QString(12, u'あ')} << 100 << 1000 << 10 << QList<int>{0, 5, 10};
    QTest::newRow("texts of one line share rows")
            << QStringList{"abc", "defgh", "ij\n"} << 100 << 1000 << 4 << QList<int>{0, 4, 8, 11};
    QTest::newRow("pieces of a long line flow as one text")
            << QStringList{"a\nb\nc\n" + run.left(10000)} << 100 << 100000 << 80
            << QList<int>{0, 2, 4} + every(80, 6, 10006);
    QTest::newRow("a run of four pieces ends a row")
            << QStringList{run} << 100 << 100000 << 80
            << every(80, 0, 16384) + every(80, 16384, 20000);
    // The second text cuts 2,000 characters from the line's start; its last piece still begins
    // 18,192 characters into the line as it came, past the first run.
    QTest::newRow("runs count from where a cut line began")
            << QStringList{run.left(10000), run.left(10000)} << 100 << 18000 << 80
            << every(80, 0, 16192) + every(80, 16192, 18000);
    QTest::newRow("whole lines go at the line limit")
            << QStringList{"a\n", "b\n", "c\n", QString(15, u'd') + "\n", "e"} << 3 << 1000 << 10
            << QList<int>{0, 2, 12, 18};
    QTest::newRow("cleared and filled again")
            << QStringList{"old\n", QString(30, u'o'), clearLog, QString(15, u'n')} << 100 << 1000
            << 10 << QList<int>{0, 10};
}

void TestLogRows::laysTheLogOutInRows()
{
    // The rows follow the log as it changes: after each text every row so far is laid out, so
    // that what the rows keep of the log before has to follow it.
    QFETCH(QStringList, texts);
    QFETCH(int, maxLines);
    QFETCH(int, maxCharacters);
    QFETCH(int, columns);
    QFETCH(QList<int>, rowStarts);

    LogModel model;
    model.setCapacity(maxLines, maxCharacters);
    LogRows rows(model);
    rows.setFont(chatFont(), nullptr);
    std::vector<Row> seen;
    for (const QString &text : texts) {
        if (text == clearLog)
            model.setText(QString());
        else
            model.append(text);
        rows.sync(widthOf(columns));
        seen = walk(rows);
    }

    QList<int> starts;
    for (const Row &row : seen)
        starts << model.shownPosition(rows.spotOfRow(row));
    QCOMPARE(starts, rowStarts);
    // Back from the end the same rows, each counted and found again where it is.
    Row row = rows.lastRow();
    for (int index = int(seen.size()) - 1; index >= 0; --index) {
        QVERIFY2(row == seen[size_t(index)], qPrintable(QString::number(index)));
        QCOMPARE(rows.rowsBefore(row), qint64(index));
        QVERIFY(rows.rowAtIndex(index) == row);
        QVERIFY(rows.rowOf(rows.spotOfRow(row)) == row);
        QCOMPARE(rows.previousRow(row), index > 0);
    }
}

void TestLogRows::findsPlacesOnTheRows_data()
{
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<int>("columns");
    QTest::addColumn<int>("position"); // in the shown text
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("x"); // in cells
    // Where a step from the position goes: a character on, a word on, a word back.
    QTest::addColumn<QList<int>>("steps");

    QTest::newRow("second row of a wrapped line")
            << QStringList{"abc def ghijklm no\n"} << 10 << 13 << 1 << 5 << QList<int>{14, 16, 8};
    QTest::newRow("a word across pieces of a long line")
            << QStringList{QString(5000, u'x') + " y"} << 80 << 4090 << 51 << 10
            << QList<int>{4091, 5001, 0};
    QTest::newRow("where two pieces meet, one place")
            << QStringList{QString(5000, u'x')} << 80 << 4096 << 51 << 16
            << QList<int>{4097, 5000, 0};
    // Laid out together, the override would turn the second text around.
    QTest::newRow("a right-to-left override ends with its text")
            << QStringList{"abc\u202E", "pay 5678\n"} << 40 << 5 << 0 << 4 << QList<int>{6, 8, 4};
}

void TestLogRows::findsPlacesOnTheRows()
{
    QFETCH(QStringList, texts);
    QFETCH(int, columns);
    QFETCH(int, position);
    QFETCH(int, row);
    QFETCH(int, x);
    QFETCH(QList<int>, steps);

    LogModel model;
    for (const QString &text : texts)
        model.append(text);
    LogRows rows(model);
    rows.setFont(chatFont(), nullptr);
    rows.sync(widthOf(columns));

    const LogSpot spot = model.spotOfShownPosition(position);
    const Row found = rows.rowOf(spot);
    QCOMPARE(rows.rowsBefore(found), qint64(row));
    QCOMPARE(rows.xOf(spot), x * cell());
    QCOMPARE(model.shownPosition(rows.spotInRow(found, (x + 0.2) * cell())), position);
    const QList<int> reached{model.shownPosition(rows.stepCharacter(spot, true)),
                             model.shownPosition(rows.stepWord(spot, true)),
                             model.shownPosition(rows.stepWord(spot, false))};
    QCOMPARE(reached, steps);
}

QTEST_MAIN(TestLogRows)
#include "tst_LogRows.moc"
