#include "forms/LogBox.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QTextBlock>
#include <QtTest>

namespace {

// What the box should show for a log text: CRs are not shown.
QString shownText(QString text)
{
    return text.remove(u'\r');
}

// The document's text with the blocks that only continue a long line joined again; every block
// must stay within the shown limit.
QString documentText(const LogBox &box)
{
    QString text;
    for (QTextBlock block = box.document()->firstBlock(); block.isValid(); block = block.next()) {
        if (block.length() - 1 > LogBox::longestShownBlock)
            return QStringLiteral("<block %1 too long>").arg(block.blockNumber());
        if (block != box.document()->firstBlock()
            && block.userState() != LogBox::continuedLineState)
            text += u'\n';
        text += block.text();
    }
    return text;
}

// The box catches up on its own at the next event-loop turn (or later after a slow one); the
// tests that are not about that timing bring it up to date at once.
void showPending(LogBox &box)
{
    box.flushToDisplay();
}

// The newest whole lines that fit into capacity characters; when not even the last line fits,
// its last characters, a surrogate pair kept whole.
QString newestPart(const QString &all, int capacity)
{
    qsizetype start = all.size();
    while (start > 0) {
        const qsizetype lineStart = start >= 2 ? all.lastIndexOf(u'\n', start - 2) + 1 : 0;
        if (all.size() - lineStart > capacity)
            break;
        start = lineStart;
    }
    if (start == all.size()) {
        start = all.size() - capacity;
        if (all.at(start).isLowSurrogate())
            ++start;
    }
    return all.mid(start);
}

} // namespace

class TestLogBox : public QObject
{
    Q_OBJECT

private slots:
    // text
    void keepsEveryAppendedText_data();
    void keepsEveryAppendedText();
    void settingReplacesTheText();
    void clearingThenAppendingLeavesOnlyTheNewText();
    void userCannotType();

    // capacity
    void keepsTheNewestLines_data();
    void keepsTheNewestLines();
    void dropsWholeLinesForTheCharacterLimit();
    void cutsASingleHugeLineFromItsStart();
    void trimsARunOnLineFedInSmallPieces_data();
    void trimsARunOnLineFedInSmallPieces();

    // display
    void showsAnOverlongLineInBoundedBlocks();
    void showsABurstInOneUpdate();
    void putsTheCaretOnTheMatchingPlace_data();
    void putsTheCaretOnTheMatchingPlace();
    void caretSurvivesTrimmingInTheSameTurn();

    // font
    void chatFontIsMonospacedJapanese();
};

void TestLogBox::keepsEveryAppendedText_data()
{
    QTest::addColumn<QStringList>("appends");
    QTest::addColumn<QString>("log");

    QTest::newRow("chat lines") << QStringList{"1@a         |x\r\n", "2@b         |y\r\n"}
                                << "1@a         |x\r\n2@b         |y\r\n";
    QTest::newRow("text without line end runs on")
            << QStringList{"ab", "cd\r\n", "e"} << "abcd\r\ne";
    QTest::newRow("CR LF split across appends")
            << QStringList{"a\r", "\nb\r", "\n"} << "a\r\nb\r\n";
    QTest::newRow("empty text adds nothing") << QStringList{"a", "", "b"} << "ab";
    QTest::newRow("only empty texts") << QStringList{"", ""} << "";
    QTest::newRow("bare line feed") << QStringList{"a\nb"} << "a\nb";
    QTest::newRow("empty lines") << QStringList{"\r\n\r\n", "\r\n"} << "\r\n\r\n\r\n";
    QTest::newRow("japanese") << QStringList{"こんにちは\r\n", "さようなら"}
                              << "こんにちは\r\nさようなら";
    QTest::newRow("lone CR is not shown") << QStringList{"a\rb"} << "a\rb";
}

void TestLogBox::keepsEveryAppendedText()
{
    QFETCH(QStringList, appends);
    QFETCH(QString, log);

    LogBox box;
    for (const QString &text : appends)
        box.appendLog(text);

    QCOMPARE(box.logText(), log);
    QCOMPARE(box.logLength(), log.size());
    showPending(box);
    QCOMPARE(box.toPlainText(), shownText(log));
    QCOMPARE(box.blockCount(), int(shownText(log).count(u'\n')) + 1);
}

void TestLogBox::settingReplacesTheText()
{
    LogBox box;
    box.setLogText(QStringLiteral("接続の監視準備中...\n"));
    box.setLogText(QStringLiteral("接続の監視を開始しました\r\n"));
    QCOMPARE(box.logText(), QStringLiteral("接続の監視を開始しました\r\n"));
    showPending(box);
    QCOMPARE(box.toPlainText(), QStringLiteral("接続の監視を開始しました\n"));

    // Set again after the display caught up: the old document must go too.
    box.setLogText(QStringLiteral("x"));
    box.appendLog(QStringLiteral("y\r\n"));
    showPending(box);
    QCOMPARE(box.logText(), QStringLiteral("xy\r\n"));
    QCOMPARE(box.toPlainText(), QStringLiteral("xy\n"));
}

void TestLogBox::clearingThenAppendingLeavesOnlyTheNewText()
{
    LogBox box;
    box.appendLog(QStringLiteral("old\r\n"));
    showPending(box);
    box.setLogText(QString());
    QCOMPARE(box.logText(), QString());
    QCOMPARE(box.logLength(), 0);
    showPending(box);
    QCOMPARE(box.toPlainText(), QString());

    box.appendLog(QStringLiteral("new\r\n"));
    QCOMPARE(box.logText(), QStringLiteral("new\r\n"));
    showPending(box);
    QCOMPARE(box.toPlainText(), QStringLiteral("new\n"));
}

void TestLogBox::userCannotType()
{
    LogBox box;
    box.appendLog(QStringLiteral("a\r\n"));
    box.show();
    box.setFocus();
    showPending(box);
    QTest::keyClicks(&box, QStringLiteral("typed"));
    QTest::keyClick(&box, Qt::Key_Backspace);
    QTest::keyClick(&box, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(box.logText(), QStringLiteral("a\r\n"));
    QCOMPARE(box.toPlainText(), QStringLiteral("a\n"));
}

void TestLogBox::keepsTheNewestLines_data()
{
    QTest::addColumn<bool>("shownBeforeTheLastLine");

    QTest::newRow("all in one turn") << false;
    QTest::newRow("last line after the display caught up") << true;
}

void TestLogBox::keepsTheNewestLines()
{
    QFETCH(bool, shownBeforeTheLastLine);

    LogBox box;
    const auto line = [](int number) {
        return QStringLiteral("line %1\r\n").arg(number);
    };
    for (int number = 1; number <= 10000; ++number)
        box.appendLog(line(number));
    if (shownBeforeTheLastLine) {
        showPending(box);
        QCOMPARE(box.blockCount(), 10001); // the empty line after the last line end
    }
    box.appendLog(line(10001));

    QString expected;
    for (int number = 2; number <= 10001; ++number)
        expected += line(number);
    QCOMPARE(box.logText(), expected);
    QCOMPARE(box.logLength(), expected.size());
    showPending(box);
    QCOMPARE(box.toPlainText(), shownText(expected));

    // An unfinished line counts as a line too.
    box.appendLog(QStringLiteral("tail"));
    QVERIFY(box.logText().startsWith(QStringLiteral("line 3\r\n")));
    QVERIFY(box.logText().endsWith(QStringLiteral("line 10001\r\ntail")));
}

void TestLogBox::dropsWholeLinesForTheCharacterLimit()
{
    LogBox box;
    QString expected;
    for (const QChar letter : QStringLiteral("abcde")) {
        const QString line = QString(1000000, letter) + QStringLiteral("\r\n");
        box.appendLog(line);
        if (letter >= u'c')
            expected += line;
    }
    // Five lines of 1,000,002: keeping four would pass 4,000,000, so only three stay.
    QCOMPARE(box.logLength(), 3000006);
    QVERIFY(box.logText() == expected);
    showPending(box);
    QVERIFY(documentText(box) == shownText(expected));
}

void TestLogBox::cutsASingleHugeLineFromItsStart()
{
    LogBox box;
    box.appendLog(QStringLiteral("first\r\n"));
    box.appendLog(QString(3000000, u'a'));
    box.appendLog(QString(2000000, u'b'));
    QCOMPARE(box.logLength(), LogBox::defaultMaxCharacters);
    const QString expected = QString(2000000, u'a') + QString(2000000, u'b');
    QVERIFY(box.logText() == expected);

    // It runs on, still cut from its start; once it has ended, the next line pushes it out whole.
    box.appendLog(QStringLiteral("c\r\n"));
    QVERIFY(box.logText() == expected.mid(3) + QStringLiteral("c\r\n"));
    showPending(box);
    QVERIFY(documentText(box) == expected.mid(3) + QStringLiteral("c\n"));
    box.appendLog(QStringLiteral("d"));
    QCOMPARE(box.logText(), QStringLiteral("d"));
    showPending(box);
    QCOMPARE(documentText(box), QStringLiteral("d"));
}

void TestLogBox::trimsARunOnLineFedInSmallPieces_data()
{
    QTest::addColumn<int>("shownEvery");

    QTest::newRow("display catches up after every piece") << 1;
    QTest::newRow("display catches up now and then") << 7;
    QTest::newRow("display catches up at the end") << 1000;
}

void TestLogBox::trimsARunOnLineFedInSmallPieces()
{
    // A peer that sends text without line ends, piece by piece: the cut moves through the line,
    // CRs, CR LF pairs and surrogate pairs inside it included, and so do the shown blocks. A
    // smaller capacity keeps the test quick; the rule is the same.
    QFETCH(int, shownEvery);

    LogBox box;
    box.setCapacity(LogBox::defaultMaxLines, 10000);
    QString all;
    for (int piece = 0; piece < 400; ++piece) {
        QString text =
                QString(piece % 13 * 97 + 1, QChar(u'A' + piece % 26)) + QStringLiteral("\r");
        if (piece % 9 == 0)
            text += QStringLiteral("😀");
        if (piece % 50 == 0)
            text += QStringLiteral("\r\n");
        all += text;
        box.appendLog(text);
        if (piece % shownEvery == 0) {
            showPending(box);
            QCOMPARE(documentText(box), shownText(box.logText()));
        }

        const QString expected = newestPart(all, 10000);
        QCOMPARE(box.logText(), expected);
        QCOMPARE(box.logLength(), expected.size());
    }
    showPending(box);
    QCOMPARE(documentText(box), shownText(box.logText()));
}

void TestLogBox::showsAnOverlongLineInBoundedBlocks()
{
    LogBox box;
    const QString longLine = QString(10000, u'x') + QStringLiteral("\r\n");
    box.appendLog(longLine.left(5000));
    showPending(box);
    box.appendLog(longLine.mid(5000));
    box.appendLog(QStringLiteral("short\r\n"));
    showPending(box);

    QCOMPARE(box.blockCount(), 5); // 4096 + 4096 + 1808, "short", the empty last line
    QCOMPARE(documentText(box), shownText(longLine + QStringLiteral("short\r\n")));
    QCOMPARE(box.document()->findBlockByNumber(3).text(), QStringLiteral("short"));
    QVERIFY(box.document()->findBlockByNumber(3).userState() != LogBox::continuedLineState);

    // The caret finds its place across the added breaks.
    box.setCaretPosition(5000);
    QCOMPARE(box.textCursor().blockNumber(), 1);
    QCOMPARE(box.textCursor().positionInBlock(), 5000 - 4096);
    box.setCaretPosition(10002 + 2);
    QCOMPARE(box.textCursor().blockNumber(), 3);
    QCOMPARE(box.textCursor().positionInBlock(), 2);

    // Cutting through the long line takes its added breaks along.
    box.setCapacity(LogBox::defaultMaxLines, 5000);
    box.appendLog(QStringLiteral("y"));
    QCOMPARE(box.logText(), QStringLiteral("short\r\ny"));
    showPending(box);
    QCOMPARE(box.blockCount(), 2);
    QCOMPARE(documentText(box), QStringLiteral("short\ny"));
    box.setCaretPosition(box.logLength());
    QCOMPARE(box.textCursor().position(), 7);
}

void TestLogBox::showsABurstInOneUpdate()
{
    LogBox box;
    box.appendLog(QStringLiteral("before\r\n"));
    showPending(box);
    QSignalSpy changes(box.document(), &QTextDocument::contentsChange);
    for (int number = 0; number < 200; ++number) {
        box.appendLog(QStringLiteral("%1\r\n").arg(number));
        box.setCaretPosition(box.logLength());
    }
    QCOMPARE(changes.count(), 0);
    QCoreApplication::processEvents();
    QCOMPARE(changes.count(), 1);
    QCOMPARE(box.textCursor().position(), box.document()->characterCount() - 1);
}

void TestLogBox::putsTheCaretOnTheMatchingPlace_data()
{
    QTest::addColumn<QString>("log");
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("shownPosition");

    QTest::newRow("end after CR LF lines") << "a\r\nb\r\n" << 6 << 4;
    QTest::newRow("between CR and LF") << "a\r\nb\r\n" << 5 << 3;
    QTest::newRow("start") << "a\r\nb\r\n" << 0 << 0;
    QTest::newRow("early in a long log") << "ab\r\n" + QString(100, u'x') << 3 << 2;
    QTest::newRow("beyond the end") << "ab" << 10 << 2;
    QTest::newRow("before the start") << "ab" << -1 << 0;
}

void TestLogBox::putsTheCaretOnTheMatchingPlace()
{
    QFETCH(QString, log);
    QFETCH(int, position);
    QFETCH(int, shownPosition);

    LogBox box;
    box.appendLog(log);
    box.setCaretPosition(position);
    QCoreApplication::processEvents();
    QCOMPARE(box.textCursor().position(), shownPosition);

    // Once the display has caught up the caret moves at once.
    box.setCaretPosition(0);
    QCOMPARE(box.textCursor().position(), 0);
}

void TestLogBox::caretSurvivesTrimmingInTheSameTurn()
{
    LogBox box;
    for (int number = 0; number < 10000; ++number)
        box.appendLog(QStringLiteral("x\r\n"));
    showPending(box);
    box.appendLog(QStringLiteral("y\r\n"));
    box.setCaretPosition(box.logLength());
    // Five more lines push five old ones out before the display catches up.
    for (int number = 0; number < 5; ++number)
        box.appendLog(QStringLiteral("z\r\n"));
    showPending(box);
    const QTextCursor caret = box.textCursor();
    QCOMPARE(caret.positionInBlock(), 0);
    QCOMPARE(caret.block().text(), QStringLiteral("z"));
    QCOMPARE(caret.block().previous().text(), QStringLiteral("y"));
    QCOMPARE(box.blockCount(), 10001);
}

void TestLogBox::chatFontIsMonospacedJapanese()
{
    const QFont font = chatFont();
    QCOMPARE(font.family(), QStringLiteral("ＭＳ ゴシック"));
    QCOMPARE(font.pointSize(), 9);
    QCOMPARE(QFontInfo(font).family(), QStringLiteral("IPAGothic"));

    // Handles are padded to ten characters: every half-width character must take the same
    // width, and a full-width one twice that.
    const QFontMetricsF metrics(font);
    const qreal half = metrics.horizontalAdvance(u'i');
    QCOMPARE(metrics.horizontalAdvance(u'W'), half);
    QCOMPARE(metrics.horizontalAdvance(u' '), half);
    QCOMPARE(metrics.horizontalAdvance(QStringLiteral("あ")), 2 * half);

    LogBox box;
    box.setFont(font);
    QCOMPARE(QFontInfo(box.font()).family(), QStringLiteral("IPAGothic"));
}

QTEST_MAIN(TestLogBox)
#include "tst_LogBox.moc"
