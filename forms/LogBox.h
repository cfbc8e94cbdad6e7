#pragma once

#include <QFont>
#include <QPalette>
#include <QPlainTextEdit>
#include <QString>
#include <QTimer>

#include <deque>

// The log of a chat window. The log text is what was appended since the box was last set, CR LF
// and all; the box shows it with CRs left out (CR LF is one line end) and keeps only its newest
// part, so a relay that runs for weeks or a peer that never sends a line end keeps memory bounded.
// Appending costs time in proportion to the new text: the text is kept as a queue of lines, and
// the document only grows at its end and shrinks at its start, once per event-loop turn.
// A line longer than longestShownBlock characters is shown as several blocks (each later one
// marked with continuedLineState): one block is laid out whole on every change and on every
// paint, which a line of megabytes would make take seconds and hundreds of megabytes.
class QTextCursor;

class LogBox : public QPlainTextEdit
{
    Q_OBJECT

public:
    static constexpr int defaultMaxLines = 10000;
    static constexpr int defaultMaxCharacters = 4000000;
    static constexpr int longestShownBlock = 4096;
    static constexpr int continuedLineState = 1; // QTextBlock::userState()

    explicit LogBox(QWidget *parent = nullptr);

    QString logText() const;
    int logLength() const { return modelLength; }

    void setLogText(const QString &text);
    void appendLog(const QString &text);
    // A position in the log text; the caret lands on the matching place of the display once the
    // pending text is shown.
    void setCaretPosition(int position);

    // How much the box keeps; applies from the next append on.
    void setCapacity(int lines, int characters);

    // Brings the display up to date at once instead of at the next event-loop turn.
    void flushToDisplay();

private:
    void addText(const QString &text);
    void trimToCapacity();
    void dropFrontLine();
    void cutFrontLine(int count);
    int displayPositionOf(int position) const;
    void scheduleFlush();
    void removeShownFront(QTextCursor &cursor, qint64 count);
    void insertShown(QTextCursor &cursor, const QString &text, qint64 start);
    qint64 documentPositionOf(qint64 shownPosition) const;

    // All lines but the last end in LF; the last one may be unfinished. The first line's first
    // frontSkipped characters are already gone: cutting a long line would otherwise move it all.
    std::deque<QString> lines;
    int frontSkipped = 0;
    int maxLines = defaultMaxLines;
    int maxCharacters = defaultMaxCharacters;
    int modelLength = 0;
    int carriageReturns = 0;

    // What the document still lacks: it is cleared first when resetPending, then loses
    // pendingDrop characters at its start (taken from pendingText once the document runs out),
    // then gains pendingText at its end.
    bool resetPending = false;
    qint64 pendingDrop = 0;
    QString pendingText;

    // Display positions are counted from the start of the log as last set, so that a caret set
    // before the flush survives lines trimmed away in the meantime.
    qint64 displayDropped = 0;
    qint64 pendingCaret = -1;
    // The document shows positions up to displayedEnd; softBreaks holds, in order, the positions
    // before which a block break was added that the log text does not have.
    qint64 displayedEnd = 0;
    std::deque<qint64> softBreaks;

    QTimer flushTimer;
};

// The chat log font: "ＭＳ ゴシック" 9 pt, shown with the monospaced Japanese font that the set-up
// installs, so that the ten-character handle fields of chat lines line up.
QFont chatFont();

// The chat windows' colours: dark grey text on a light blue-violet ground, kept when the window
// loses focus.
QPalette chatPalette(QPalette palette);
