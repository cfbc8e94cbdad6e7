#pragma once

#include "forms/LogModel.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>

#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

class QTextLayout;

// The log of a chat window: a read-only text box over a LogModel, which keeps the text, trims
// it and holds every place the box keeps. The box holds only layout, painting and input.
//
// The box pays for what is on screen, not for the traffic: appending costs time in proportion
// to the new text; the screen is brought up to date at most once per refresh interval, and only
// the pieces in view (and the last screenful, to know where the end is) are laid out. The pieces
// of a long line flow into each other's rows as one text, up to piecesPerRun pieces' worth of
// characters; past that a row starts afresh, so that showing any part of a line of megabytes
// costs a bounded layout. Each text is a piece of its own: laid out alone, it cannot reorder the
// next text on its line, whatever bidi controls it ends with.
//
// The scroll bar counts rows. A piece that has not been laid out counts the rows its length
// would fill at an average character width, and its true count once it is laid out, as a
// standard text box counts lines it has not laid out yet.
//
// While the user reads back (has scrolled away from the end) or holds a selection, the box
// leaves its view, caret and selection where the user put them; new lines still arrive and the
// oldest still go. Scrolling back to the end or dropping the selection follows the log again.
class LogBox : public QAbstractScrollArea
{
    Q_OBJECT

public:
    static constexpr int defaultMaxLines = LogModel::defaultMaxLines;
    static constexpr int defaultMaxCharacters = LogModel::defaultMaxCharacters;
    static constexpr int longestShownBlock = LogModel::longestPiece;
    static constexpr int piecesPerRun = 4;
    static constexpr int runCharacters = piecesPerRun * LogModel::longestPiece;
    // One refresh per frame of a 60 Hz screen; sooner is invisible and only costs the relay.
    static constexpr int refreshIntervalMs = 16;
    // New lines are told to assistive technology one event each, up to this many a refresh.
    static constexpr int maxAnnouncedLines = 100;

    explicit LogBox(QWidget *parent = nullptr);
    ~LogBox() override;

    QString logText() const { return model.text(); }
    int logLength() const { return model.length(); }

    void setLogText(const QString &text);
    void appendLog(const QString &text);
    // A position in the log text; the view scrolls to it at the next refresh. Left alone while
    // the user reads back or holds a selection.
    void setCaretPosition(int position);

    // How much the box keeps; applies from the next append on.
    void setCapacity(int lines, int characters) { model.setCapacity(lines, characters); }

    // Brings the scroll bar and the screen up to date at once instead of at the next refresh.
    void flushToDisplay();

    // What the box shows, every line end as LF and without CRs, and places in it.
    QString toPlainText() const { return model.shownText(); }
    int blockCount() const { return model.blockCount(); }
    int caretPosition() const { return model.shownPosition(model.place(LogModel::Place::Caret)); }
    int anchorPosition() const { return model.shownPosition(model.place(LogModel::Place::Anchor)); }
    QString selectedText() const;
    bool isReadOnly() const { return true; }
    bool isFollowingEnd() const { return following; }
    // The shown line (counted from 0) that holds the top row on screen.
    int firstVisibleBlockNumber();
    // How many pieces of text are laid out and cached right now.
    int laidOutCount() const { return int(layouts.size()); }

    // For assistive technology: places in the shown text and on screen (viewport coordinates).
    int shownLength() const { return model.shownPosition(model.end()); }
    QString textBetween(int start, int end) const
    {
        return model.shownBetween(model.spotOfShownPosition(start), model.spotOfShownPosition(end));
    }
    // The shown line around a position, without its line end, at most a piece on either side
    // of the position's piece; lineStart receives where it begins.
    QString lineAround(int position, int *lineStart) const;
    void setSelection(int anchorAt, int caretAt);
    QRect characterRect(int position);
    int positionAt(const QPoint &point);
    void scrollToPosition(int position);

public slots:
    void copy();
    void selectAll();

signals:
    // The screen was brought up to date (scroll bar and a repaint scheduled).
    void refreshed();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void timerEvent(QTimerEvent *event) override;

private:
    // A visual row: the piece whose layout line starts it, and that line. A line that carries on
    // the row of the piece before (the second part of a long line) is not a row of its own.
    struct Row
    {
        qint64 piece = 0;
        int line = 0;
        bool operator<(const Row &other) const
        {
            return piece != other.piece ? piece < other.piece : line < other.line;
        }
        bool operator==(const Row &other) const
        {
            return piece == other.piece && line == other.line;
        }
    };
    // What the box knows of a piece's layout: its rows (estimated until it is laid out) and
    // where it starts on the row that the piece before leaves open.
    struct PieceRows
    {
        int rows = 1;
        int shownSize = 0;
        bool exact = false;
        qreal carryIn = 0;
        qreal carryOut = 0;
        bool carrySettled = false; // carryIn and carryOut are known: the piece was laid out
        qint64 lineOffset = 0; // characters before it in its line, also those since cut
    };
    // One part of a row: a layout line of some piece.
    struct Segment
    {
        qint64 piece = 0;
        int line = 0;
    };

    using Place = LogModel::Place;
    LogSpot caret() const { return model.place(Place::Caret); }
    LogSpot anchor() const { return model.place(Place::Anchor); }

    void scheduleRefresh();
    void refresh();
    void announceNewText();

    void syncRows();
    PieceRows &rowsOf(qint64 piece) { return pieceRows[size_t(piece - rowsFirst)]; }
    int estimatedRows(qint64 piece) const;
    void setRows(qint64 piece, int rows, bool exact);
    void forgetPiece(qint64 piece);
    bool startsRow(qint64 piece) const;
    qreal carryInOf(qint64 piece);
    QTextLayout *layoutOf(qint64 piece);
    int textWidth() const;
    int firstOwnLine(qint64 piece);
    bool nextRow(Row &row);
    bool previousRow(Row &row);
    Row lastRow();
    Row rowOf(LogSpot spot);
    LogSpot spotOfRow(Row row);
    std::vector<Segment> segmentsOf(Row row);
    qreal rowHeight(Row row);
    qreal topMargin(Row top);
    Row topForBottom(Row bottom);
    Row endTop();
    Row currentTop();
    qint64 rowsBefore(Row row);
    Row rowAtIndex(qint64 index);
    void setTop(Row top);
    void scrollRows(int rows);
    void updateScrollBar();
    void onScrollBarMoved(int value);
    void ensureCaretVisible();

    LogSpot spotAt(const QPoint &point);
    LogSpot spotInRow(Row row, qreal x);
    qreal xOf(LogSpot spot);
    void moveCaret(LogSpot to, bool keepAnchor);
    void selectionChangedByUser();
    LogSpot stepVertically(LogSpot from, int rows);
    LogSpot stepCharacter(LogSpot from, bool forward);
    LogSpot stepWord(LogSpot from, bool forward);
    void pageUpDown(bool down, bool keepAnchor);
    void selectWordAt(LogSpot at);
    void selectLineAt(LogSpot at);
    void autoScroll();
    bool userHoldsView() const { return userReading || caret() != anchor(); }

    LogModel model;

    bool caretPending = false;
    bool following = true;
    // The user moved the view away from the end (the program's own caret moves do not count).
    bool userReading = false;
    qreal desiredX = -1;
    qreal pageCaretY = -1;

    // What is known of each kept piece's rows, from rowsFirst on, and their sum.
    std::deque<PieceRows> pieceRows;
    qint64 rowsFirst = 0;
    qint64 totalRows = 0;
    qint64 cutsSeen = -1;
    // Layouts of the pieces that were on screen lately, at layoutWidth.
    std::unordered_map<qint64, std::unique_ptr<QTextLayout>> layouts;
    int layoutWidth = -1;
    qreal averageCharacterWidth = 1;

    QTimer refreshTimer;
    QElapsedTimer sinceRefresh;
    bool updatingScrollBar = false;
    int blinkTimer = 0;
    bool caretShown = true;

    // Mouse selection: a triple click selects the line; dragging past an edge scrolls on.
    QBasicTimer tripleClickTimer;
    QPoint tripleClickPoint;
    QBasicTimer autoScrollTimer;
    QPoint dragPoint;
    bool dragging = false;

    // Where the shown text ended at the last refresh, for assistive technology.
    int announcedLength = 0;
};
