#include "forms/ChatLook.h"
#include "forms/LogBox.h"

#include <QAccessible>
#include <QAccessibleTextInterface>
#include <QClipboard>
#include <QFontInfo>
#include <QFontMetrics>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTextBlock>
#include <QtTest>

namespace {

// The box catches up on its own at the next event-loop turn (or later after a slow one); the
// tests that are not about that timing bring it up to date at once.
void showPending(LogBox &box)
{
    box.flushToDisplay();
}

// A log box and the standard read-only text box beside it, alike in size, font and text, the
// standard box selectable with the keyboard as the log is.
struct SideBySide
{
    explicit SideBySide(const QString &text, QSize size = QSize(300, 200))
    {
        for (QAbstractScrollArea *area : {static_cast<QAbstractScrollArea *>(&box),
                                          static_cast<QAbstractScrollArea *>(&standard)}) {
            area->setFont(chatFont());
            area->resize(size);
            area->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            area->show();
        }
        standard.setReadOnly(true);
        standard.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        standard.setPlainText(text);
        box.appendLog(text);
        box.flushToDisplay();
    }

    // What the standard box selects, with its paragraph separators as the log's line ends.
    QString standardSelection() const
    {
        return standard.textCursor().selectedText().replace(QChar::ParagraphSeparator, u'\n');
    }

    LogBox box;
    QPlainTextEdit standard;
};

QString numberedLines(int count)
{
    QString text;
    for (int number = 0; number < count; ++number)
        text += QStringLiteral("C%1\n").arg(number, 5, 10, QLatin1Char('0'));
    return text;
}

void sendWheel(QWidget *target, int units)
{
    const QPointF at(20, 20);
    QWheelEvent wheel(at, target->mapToGlobal(at), QPoint(), QPoint(0, units), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(target, &wheel);
}

// The middle of the scroll bar's arrow that steps down.
QPoint downArrowOf(QScrollBar *bar)
{
    QStyleOptionSlider option;
    option.initFrom(bar);
    option.orientation = bar->orientation();
    option.minimum = bar->minimum();
    option.maximum = bar->maximum();
    option.sliderPosition = bar->sliderPosition();
    option.sliderValue = bar->value();
    option.singleStep = bar->singleStep();
    option.pageStep = bar->pageStep();
    option.subControls = QStyle::SC_All;
    return bar->style()
            ->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarAddLine, bar)
            .center();
}

} // namespace

class TestLogBox : public QObject
{
    Q_OBJECT

private slots:
    // display
    void userCannotType();
    void laysOutOnlyWhatIsOnScreen();
    void showsABurstInOneUpdate();
    void followsTheEndAfterEachText();
    void keepsTheViewWhileTheUserReadsBack();

    // selecting and copying
    void selectsWithKeyboardAndMouse();

    // positions kept across a shrinking log
    void keepsEveryPositionValidWhenTheLogShrinks_data();
    void keepsEveryPositionValidWhenTheLogShrinks();

    // as the standard read-only text box
    void wheelStepsAddUp();
    void scrollBarCountsRows();
    void pagesAsTheStandardBox();
    void stepsByWordAsTheStandardBox_data();
    void stepsByWordAsTheStandardBox();
    void tripleClickSelectsTheLine();
    void mouseSelectionBecomesThePrimarySelection();
    void draggingPastTheEdgeScrollsOn();
    void readerKeepsTheLinesInViewAtTheCap();
    void screenReaderGetsTextAndCaret();

    // font
    void chatFontIsMonospacedJapanese();
};

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
    QTest::keyClick(&box, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(box.logText(), QStringLiteral("a\r\n"));
    QCOMPARE(box.toPlainText(), QStringLiteral("a\n"));
}

void TestLogBox::laysOutOnlyWhatIsOnScreen()
{
    // A megabyte without a line end: the scroll bar counts its rows without laying it out, and
    // what was on screen before is let go as the user moves through it.
    LogBox box;
    box.resize(300, 200);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    box.appendLog(QString(1 << 20, u'z'));
    showPending(box);
    box.viewport()->repaint();
    QVERIFY2(box.laidOutCount() < 40, qPrintable(QString::number(box.laidOutCount())));
    QScrollBar *bar = box.verticalScrollBar();
    for (int step = 0; step < 40; ++step) {
        bar->setValue(bar->maximum() / 40 * step);
        box.viewport()->repaint();
    }
    QVERIFY2(box.laidOutCount() < 80, qPrintable(QString::number(box.laidOutCount())));
}

void TestLogBox::showsABurstInOneUpdate()
{
    LogBox box;
    box.appendLog(QStringLiteral("before\r\n"));
    showPending(box);
    QSignalSpy refreshes(&box, &LogBox::refreshed);
    for (int number = 0; number < 200; ++number) {
        box.appendLog(QStringLiteral("%1\r\n").arg(number));
        box.setCaretPosition(box.logLength());
    }
    QCOMPARE(refreshes.count(), 0);
    QTRY_COMPARE(refreshes.count(), 1);
    QCoreApplication::processEvents();
    QCOMPARE(refreshes.count(), 1);
    QCOMPARE(box.caretPosition(), box.toPlainText().size());
}

void TestLogBox::followsTheEndAfterEachText()
{
    LogBox box;
    box.resize(300, 120);
    box.show();
    for (int number = 0; number < 300; ++number) {
        box.appendLog(QStringLiteral("%1 ある行\r\n").arg(number));
        box.setCaretPosition(box.logLength());
        if (number % 50 == 0) {
            showPending(box);
            QCOMPARE(box.caretPosition(), box.toPlainText().size());
            QVERIFY(box.isFollowingEnd());
            QCOMPARE(box.verticalScrollBar()->value(), box.verticalScrollBar()->maximum());
        }
    }
    showPending(box);
    QVERIFY(box.verticalScrollBar()->maximum() > 250);
    QCOMPARE(box.caretPosition(), box.toPlainText().size());
}

void TestLogBox::keepsTheViewWhileTheUserReadsBack()
{
    // Chosen behaviour: a user who scrolled back keeps reading the same lines while new ones
    // arrive; the caret is the user's until the view is back at the end.
    LogBox box;
    box.setCapacity(200, LogBox::defaultMaxCharacters);
    box.resize(300, 120);
    box.show();
    for (int number = 0; number < 100; ++number)
        box.appendLog(QStringLiteral("line %1\r\n").arg(number));
    box.setCaretPosition(box.logLength());
    showPending(box);

    QWheelEvent wheel(QPointF(50, 50), box.mapToGlobal(QPointF(50, 50)), QPoint(),
                      QPoint(0, 120 * 5), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(box.viewport(), &wheel);
    QVERIFY(!box.isFollowingEnd());
    const int readAt = box.verticalScrollBar()->value();
    QVERIFY(readAt < box.verticalScrollBar()->maximum());

    for (int number = 100; number < 150; ++number) {
        box.appendLog(QStringLiteral("line %1\r\n").arg(number));
        box.setCaretPosition(box.logLength());
    }
    showPending(box);
    QVERIFY(!box.isFollowingEnd());
    QCOMPARE(box.verticalScrollBar()->value(), readAt);
    QVERIFY(box.caretPosition() < box.toPlainText().size());

    // Trimming moves the scroll bar's count, not the lines in view.
    for (int number = 150; number < 230; ++number)
        box.appendLog(QStringLiteral("line %1\r\n").arg(number));
    showPending(box);
    QCOMPARE(box.verticalScrollBar()->value(), readAt - 30);

    // Back at the end, the box follows the log again.
    box.verticalScrollBar()->setValue(box.verticalScrollBar()->maximum());
    box.appendLog(QStringLiteral("last\r\n"));
    box.setCaretPosition(box.logLength());
    showPending(box);
    QVERIFY(box.isFollowingEnd());
    QCOMPARE(box.caretPosition(), box.toPlainText().size());
}

void TestLogBox::selectsWithKeyboardAndMouse()
{
    LogBox box;
    box.setFont(chatFont());
    box.resize(300, 120);
    box.show();
    box.setFocus();
    box.appendLog(QStringLiteral("abc\r\ndef\r\n"));
    box.setCaretPosition(box.logLength());
    showPending(box);

    QTest::keyClick(&box, Qt::Key_Home, Qt::ControlModifier);
    QTest::keyClick(&box, Qt::Key_Right, Qt::ShiftModifier);
    QTest::keyClick(&box, Qt::Key_Right, Qt::ShiftModifier);
    QCOMPARE(box.selectedText(), QStringLiteral("ab"));
    QTest::keyClick(&box, Qt::Key_Down, Qt::ShiftModifier);
    QCOMPARE(box.selectedText(), QStringLiteral("abc\nde"));
    QGuiApplication::clipboard()->clear();
    QTest::keyClick(&box, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("abc\nde"));
    QTest::keyClick(&box, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(box.selectedText(), QStringLiteral("abc\ndef\n"));

    // Dragging from the second character of the first line to the end of the second.
    const QFontMetrics metrics(box.font());
    const int row = metrics.height();
    const QPoint from(4 + metrics.horizontalAdvance(QStringLiteral("ab"))
                              + metrics.horizontalAdvance(u'a') / 4,
                      4 + row / 2);
    const QPoint to(4 + metrics.horizontalAdvance(QStringLiteral("def")) + 20, 4 + row * 3 / 2);
    QTest::mousePress(box.viewport(), Qt::LeftButton, Qt::NoModifier, from);
    QTest::mouseMove(box.viewport(), to);
    QTest::mouseRelease(box.viewport(), Qt::LeftButton, Qt::NoModifier, to);
    QCOMPARE(box.selectedText(), QStringLiteral("c\ndef"));
    // The user's selection stays while lines arrive.
    box.appendLog(QStringLiteral("ghi\r\n"));
    box.setCaretPosition(box.logLength());
    showPending(box);
    QCOMPARE(box.selectedText(), QStringLiteral("c\ndef"));
}

void TestLogBox::keepsEveryPositionValidWhenTheLogShrinks_data()
{
    QTest::addColumn<bool>("trim");

    QTest::newRow("the log is cleared") << false;
    QTest::newRow("one long line trims the log at capacity") << true;
}

void TestLogBox::keepsEveryPositionValidWhenTheLogShrinks()
{
    // The scroll bar, the caret and the selection were set while the log was long; the log
    // shrinks, the user moves the bar before the next refresh, and the box paints.
    QFETCH(bool, trim);

    LogBox box;
    box.setCapacity(200, 4000);
    box.resize(300, 200);
    box.show();
    box.setFocus();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    for (int number = 0; number < 200; ++number)
        box.appendLog(QStringLiteral("line %1\r\n").arg(number));
    showPending(box);
    QTest::keyClick(&box, Qt::Key_Home, Qt::ControlModifier);
    QTest::keyClick(&box, Qt::Key_Down, Qt::ShiftModifier);
    if (trim)
        box.appendLog(QString(3990, u'w'));
    else
        box.setLogText(QString());
    box.verticalScrollBar()->setValue(100);
    box.viewport()->repaint();

    const QString shown = box.toPlainText();
    if (trim)
        QVERIFY(shown.endsWith(QString(3990, u'w')) && box.logLength() <= 4000);
    else
        QCOMPARE(shown, QString());
    QVERIFY(box.caretPosition() >= 0 && box.caretPosition() <= shown.size());
    QVERIFY(shown.contains(box.selectedText()));
    QScrollBar *bar = box.verticalScrollBar();
    QVERIFY(bar->value() >= bar->minimum() && bar->value() <= bar->maximum());
    showPending(box);
    box.viewport()->repaint();
    QVERIFY(bar->value() >= bar->minimum() && bar->value() <= bar->maximum());
}

void TestLogBox::wheelStepsAddUp()
{
    // Eight events of 15 units: one notch of a touchpad or a fine-stepping wheel.
    SideBySide pair(numberedLines(100));
    pair.standard.moveCursor(QTextCursor::End);
    pair.standard.ensureCursorVisible();
    const int boxStart = pair.box.verticalScrollBar()->value();
    const int standardStart = pair.standard.verticalScrollBar()->value();
    for (int event = 0; event < 8; ++event) {
        sendWheel(pair.box.viewport(), 15);
        sendWheel(pair.standard.viewport(), 15);
    }
    const int standardRows = standardStart - pair.standard.verticalScrollBar()->value();
    QCOMPARE(standardRows, 3);
    QCOMPARE(boxStart - pair.box.verticalScrollBar()->value(), standardRows);
    QVERIFY(!pair.box.isFollowingEnd());
}

void TestLogBox::scrollBarCountsRows()
{
    // A wrapped line of 4,000 characters between short ones: its middle is reached a row at a
    // time with the bar's arrow.
    const QString text = QStringLiteral("first\n") + QString(4000, u'w') + QStringLiteral("\nlast");
    SideBySide pair(text);
    QScrollBar *bar = pair.box.verticalScrollBar();
    QTest::keyClick(&pair.box, Qt::Key_Home, Qt::ControlModifier);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->maximum(), pair.standard.verticalScrollBar()->maximum());
    QVERIFY(bar->maximum() > 20);

    const QPoint arrow = downArrowOf(bar);
    for (int click = 1; click <= 10; ++click) {
        QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, arrow);
        QCOMPARE(bar->value(), click);
        QCOMPARE(pair.box.firstVisibleBlockNumber(), 1); // still inside the long line
    }
}

void TestLogBox::pagesAsTheStandardBox()
{
    SideBySide pair(numberedLines(200));
    pair.box.setFocus();
    pair.standard.setFocus();
    for (QWidget *target :
         {static_cast<QWidget *>(&pair.box), static_cast<QWidget *>(&pair.standard)})
        QTest::keyClick(target, Qt::Key_Home, Qt::ControlModifier);
    const QList<Qt::Key> keys{Qt::Key_PageDown, Qt::Key_PageDown, Qt::Key_PageDown,
                              Qt::Key_PageUp,   Qt::Key_PageUp,   Qt::Key_PageUp};
    int press = 0;
    for (const Qt::Key key : keys) {
        QTest::keyClick(&pair.box, key);
        QTest::keyClick(&pair.standard, key);
        ++press;
        QVERIFY2(pair.box.verticalScrollBar()->value()
                         == pair.standard.verticalScrollBar()->value(),
                 qPrintable(QStringLiteral("press %1: view at %2, standard at %3")
                                    .arg(press)
                                    .arg(pair.box.verticalScrollBar()->value())
                                    .arg(pair.standard.verticalScrollBar()->value())));
        QVERIFY2(pair.box.caretPosition() == pair.standard.textCursor().position(),
                 qPrintable(QStringLiteral("press %1: caret at %2, standard at %3")
                                    .arg(press)
                                    .arg(pair.box.caretPosition())
                                    .arg(pair.standard.textCursor().position())));
    }
    QVERIFY(pair.standard.verticalScrollBar()->value() == 0);

    // With Shift, paging selects.
    QTest::keyClick(&pair.box, Qt::Key_PageDown, Qt::ShiftModifier);
    QTest::keyClick(&pair.standard, Qt::Key_PageDown, Qt::ShiftModifier);
    QCOMPARE(pair.box.selectedText(), pair.standardSelection());
}

void TestLogBox::stepsByWordAsTheStandardBox_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("a number is one word") << "port 55512 open\nnext";
    QTest::newRow("punctuation between words") << "foo.bar, baz!\nnext";
    QTest::newRow("several spaces") << "a   b    c\n";
    QTest::newRow("japanese") << "接続の監視を開始しました。 Hello\n";
    QTest::newRow("chat line") << "48213@Default   |こんにちは world\n";
}

void TestLogBox::stepsByWordAsTheStandardBox()
{
    // Ctrl+Shift+Right and back with Ctrl+Shift+Left select what the standard box selects, and
    // so does a double click.
    QFETCH(QString, text);

    SideBySide pair(text);
    pair.box.setFocus();
    for (QWidget *target :
         {static_cast<QWidget *>(&pair.box), static_cast<QWidget *>(&pair.standard)})
        QTest::keyClick(target, Qt::Key_Home, Qt::ControlModifier);
    const auto both = [&](Qt::Key key) {
        QTest::keyClick(&pair.box, key, Qt::ControlModifier | Qt::ShiftModifier);
        QTest::keyClick(&pair.standard, key, Qt::ControlModifier | Qt::ShiftModifier);
    };
    for (int step = 0; step < 6; ++step) {
        both(Qt::Key_Right);
        QCOMPARE(pair.box.selectedText(), pair.standardSelection());
    }
    for (int step = 0; step < 3; ++step) {
        both(Qt::Key_Left);
        QCOMPARE(pair.box.selectedText(), pair.standardSelection());
    }
    // A double click in the sixth character, then a plain Right to the end of the word.
    const QFontMetrics metrics(chatFont());
    const QPoint sixth(4 + metrics.horizontalAdvance(text.left(5))
                               + metrics.horizontalAdvance(text[5]) / 2,
                       4 + metrics.height() / 2);
    for (QWidget *target : {pair.box.viewport(), pair.standard.viewport()})
        QTest::mouseDClick(target, Qt::LeftButton, Qt::NoModifier, sixth);
    QCOMPARE(pair.box.selectedText(), pair.standardSelection());
    QTest::keyClick(&pair.box, Qt::Key_Right);
    QTest::keyClick(&pair.standard, Qt::Key_Right);
    QCOMPARE(pair.box.caretPosition(), pair.standard.textCursor().position());
}

void TestLogBox::tripleClickSelectsTheLine()
{
    SideBySide pair(QStringLiteral("one two\nthree four five\nsix\n"));
    const QFontMetrics metrics(chatFont());
    const QPoint inSecondLine(4 + metrics.horizontalAdvance(QStringLiteral("three fo")),
                              4 + metrics.height() * 3 / 2);
    // A double click alone takes the word; one more click on the same spot, the line.
    for (QWidget *target : {pair.box.viewport(), pair.standard.viewport()})
        QTest::mouseDClick(target, Qt::LeftButton, Qt::NoModifier, inSecondLine);
    QCOMPARE(pair.box.selectedText(), QStringLiteral("four"));
    QCOMPARE(pair.box.selectedText(), pair.standardSelection());
    for (QWidget *target : {pair.box.viewport(), pair.standard.viewport()})
        QTest::mouseClick(target, Qt::LeftButton, Qt::NoModifier, inSecondLine);
    QCOMPARE(pair.box.selectedText(), QStringLiteral("three four five\n"));
    QCOMPARE(pair.box.selectedText(), pair.standardSelection());
}

void TestLogBox::mouseSelectionBecomesThePrimarySelection()
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (!clipboard->supportsSelection()) {
        if (qEnvironmentVariableIsSet("PRYNECHAT_EXPECT_PRIMARY_SELECTION"))
            QFAIL("no primary selection on a platform that should have one");
        QSKIP("this platform has no primary selection (tst_LogBox_x11 checks it on X11)");
    }
    LogBox box;
    box.setFont(chatFont());
    box.resize(300, 120);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    box.appendLog(QStringLiteral("abc def\r\n"));
    box.flushToDisplay();
    clipboard->clear(QClipboard::Selection);
    const QFontMetrics metrics(chatFont());
    const int middle = 4 + metrics.height() / 2;
    QTest::mousePress(box.viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(4, middle));
    QTest::mouseMove(box.viewport(),
                     QPoint(4 + metrics.horizontalAdvance(QStringLiteral("abc")), middle));
    QTest::mouseRelease(box.viewport(), Qt::LeftButton, Qt::NoModifier,
                        QPoint(4 + metrics.horizontalAdvance(QStringLiteral("abc")), middle));
    QCOMPARE(box.selectedText(), QStringLiteral("abc"));
    QTRY_COMPARE(clipboard->text(QClipboard::Selection), QStringLiteral("abc"));
    // The keyboard's selection too.
    QTest::keyClick(&box, Qt::Key_End, Qt::ShiftModifier);
    QTRY_COMPARE(clipboard->text(QClipboard::Selection), QStringLiteral("abc def"));
}

void TestLogBox::draggingPastTheEdgeScrollsOn()
{
    // The mouse stops below the box with the button held: the view and the selection go on.
    SideBySide pair(numberedLines(300));
    LogBox &box = pair.box;
    QTest::keyClick(&box, Qt::Key_Home, Qt::ControlModifier);
    QScrollBar *bar = box.verticalScrollBar();
    QCOMPARE(bar->value(), 0);
    QTest::mousePress(box.viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(1, 10));
    QTest::mouseMove(box.viewport(), QPoint(10, box.viewport()->height() + 30));
    const int afterMove = bar->value();
    QTRY_VERIFY(bar->value() >= afterMove + 5);
    QVERIFY(box.selectedText().count(u'\n')
            >= box.viewport()->height() / QFontMetrics(chatFont()).height() + 4);
    QTest::mouseRelease(box.viewport(), Qt::LeftButton, Qt::NoModifier,
                        QPoint(10, box.viewport()->height() + 30));
    // Released: the view stays where it is. The scrolling steps come at least every 100 ms, so
    // three of them would have moved it.
    const int released = bar->value();
    QSignalSpy moved(bar, &QScrollBar::valueChanged);
    QVERIFY(!moved.wait(300));
    QCOMPARE(bar->value(), released);
    QVERIFY(box.selectedText().startsWith(QStringLiteral("C00000\n")));

    // And up past the top edge.
    QTest::mousePress(box.viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    QTest::mouseMove(box.viewport(), QPoint(10, -30));
    QTRY_COMPARE(bar->value(), 0);
    QTest::mouseRelease(box.viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(10, -30));
}

void TestLogBox::readerKeepsTheLinesInViewAtTheCap()
{
    LogBox box;
    box.setFont(chatFont());
    box.resize(300, 200);
    box.show();
    box.appendLog(numberedLines(10000));
    box.flushToDisplay();
    // The user drags the bar to line C05000.
    box.verticalScrollBar()->setValue(5000);
    QCOMPARE(box.firstVisibleBlockNumber(), 5000);
    for (int number = 0; number < 30; ++number) {
        box.appendLog(QStringLiteral("D%1\n").arg(number));
        box.setCaretPosition(box.logLength());
    }
    box.flushToDisplay();
    box.viewport()->repaint();
    const int top = box.firstVisibleBlockNumber();
    QCOMPARE(box.toPlainText().section(u'\n', top, top), QStringLiteral("C05000"));
    QCOMPARE(box.verticalScrollBar()->value(), 4970);

    // At the very top, the first line kept is what can be shown.
    QTest::keyClick(&box, Qt::Key_Home, Qt::ControlModifier);
    box.appendLog(QStringLiteral("E\n"));
    box.flushToDisplay();
    QCOMPARE(box.firstVisibleBlockNumber(), 0);
    QCOMPARE(box.toPlainText().section(u'\n', 0, 0), QStringLiteral("C00031"));
}

void TestLogBox::screenReaderGetsTextAndCaret()
{
    SideBySide pair(QStringLiteral("first line\nsecond line\n"));
    pair.box.setAccessibleName(QStringLiteral("チャットのログ"));
    QAccessibleInterface *log = QAccessible::queryAccessibleInterface(&pair.box);
    QAccessibleInterface *standard = QAccessible::queryAccessibleInterface(&pair.standard);
    QVERIFY(log && standard);
    QCOMPARE(log->role(), standard->role());
    QCOMPARE(log->text(QAccessible::Name), QStringLiteral("チャットのログ"));
    QCOMPARE(log->text(QAccessible::Value), QStringLiteral("first line\nsecond line\n"));
    QVERIFY(log->state().readOnly && log->state().multiLine);

    QAccessibleTextInterface *text = log->textInterface();
    QAccessibleTextInterface *standardText = standard->textInterface();
    QVERIFY(text && standardText);
    QCOMPARE(text->characterCount(), standardText->characterCount());
    QCOMPARE(text->text(6, 17), QStringLiteral("line\nsecond"));

    // The caret as the keyboard moves it, and the selection it makes.
    pair.box.setFocus();
    QTest::keyClick(&pair.box, Qt::Key_Home, Qt::ControlModifier);
    QTest::keyClick(&pair.box, Qt::Key_Down);
    QCOMPARE(text->cursorPosition(), 11);
    QTest::keyClick(&pair.box, Qt::Key_Right, Qt::ControlModifier | Qt::ShiftModifier);
    int start = -1;
    int end = -1;
    QCOMPARE(text->selectionCount(), 1);
    text->selection(0, &start, &end);
    QCOMPARE(pair.box.selectedText(), text->text(start, end));

    // What a reader says for a word and for a line.
    QCOMPARE(text->textAtOffset(13, QAccessible::WordBoundary, &start, &end),
             QStringLiteral("second"));
    QCOMPARE(start, 11);
    QCOMPARE(text->textAtOffset(13, QAccessible::LineBoundary, &start, &end),
             QStringLiteral("second line\n"));
    QCOMPARE(text->textAfterOffset(2, QAccessible::LineBoundary, &start, &end),
             QStringLiteral("second line\n"));
    QCOMPARE(text->textBeforeOffset(13, QAccessible::LineBoundary, &start, &end),
             QStringLiteral("first line\n"));

    // A reader can move the caret itself and find characters on screen.
    text->setCursorPosition(3);
    QCOMPARE(pair.box.caretPosition(), 3);
    const QRect third = text->characterRect(3);
    QVERIFY(third.isValid());
    QCOMPARE(text->offsetAtPoint(third.center()), 3);
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
