#pragma once

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>

#include <deque>
#include <memory>
#include <unordered_map>

class QTextLayout;

// The log of a chat window. The log text is what was appended since the box was last set, CR LF
// and all; the box shows it with CRs left out and keeps only its newest part (every character
// that the box shows as a line break ends a line), so a relay that runs for weeks or a peer that
// never sends a line end keeps memory bounded.
//
// The box pays for what is on screen, not for the traffic: appending stores the text as a queue
// of lines and costs time in proportion to the new text; the screen is brought up to date at
// most once per refresh interval, and only the lines in view (and the last screenful, to know
// where the end is) are laid out. A line longer than longestShownBlock characters is kept as
// several pieces, each laid out on its own, so that a line of megabytes costs no more on screen
// than a screenful of short ones.
//
// While the user reads back (has scrolled away from the end) or holds a selection, the box
// leaves its view, caret and selection where the user put them; new lines still arrive and the
// oldest still go. Scrolling back to the end or dropping the selection follows the log again.
class LogBox : public QAbstractScrollArea
{
    Q_OBJECT

public:
    static constexpr int defaultMaxLines = 10000;
    static constexpr int defaultMaxCharacters = 4000000;
    static constexpr int longestShownBlock = 4096;
    // One refresh per frame of a 60 Hz screen; sooner is invisible and only costs the relay.
    static constexpr int refreshIntervalMs = 16;

    explicit LogBox(QWidget *parent = nullptr);
    ~LogBox() override;

    QString logText() const;
    int logLength() const { return modelLength; }

    void setLogText(const QString &text);
    void appendLog(const QString &text);
    // A position in the log text; the view scrolls to it at the next refresh. Left alone while
    // the user reads back or holds a selection.
    void setCaretPosition(int position);

    // How much the box keeps; applies from the next append on.
    void setCapacity(int lines, int characters);

    // Brings the scroll bar and the screen up to date at once instead of at the next refresh.
    void flushToDisplay();

    // What the box shows, every line end as LF and without CRs, and places in it.
    QString toPlainText() const;
    int blockCount() const { return lineEnds + 1; }
    int caretPosition() const;
    QString selectedText() const;
    bool isReadOnly() const { return true; }
    bool isFollowingEnd() const { return following; }
    // How many pieces of text are laid out and cached right now.
    int laidOutCount() const { return int(layouts.size()); }

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
    void wheelEvent(QWheelEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void timerEvent(QTimerEvent *event) override;

private:
    // A place in the shown text: a piece (numbered since the log was last set) and a character
    // within the piece's shown text.
    struct Spot
    {
        qint64 piece = 0;
        int offset = 0;
        bool operator<(const Spot &other) const
        {
            return piece != other.piece ? piece < other.piece : offset < other.offset;
        }
        bool operator==(const Spot &other) const
        {
            return piece == other.piece && offset == other.offset;
        }
        bool operator!=(const Spot &other) const { return !(*this == other); }
    };
    // A visual row: a piece and a line of its layout.
    struct Row
    {
        qint64 piece = 0;
        int line = 0;
    };
    // The log text as received; lineEnd when its last character is a line break. The last piece
    // never ends a line (it is the line being filled, maybe empty).
    struct Piece
    {
        QString raw;
        bool lineEnd = false;
    };

    void addText(QStringView text);
    void trimToCapacity();
    void dropFront();
    void cutFront(int count);
    void clampSpots();
    int lineCount() const;
    qint64 lastPiece() const { return firstPiece + qint64(pieces.size()) - 1; }
    const Piece &pieceAt(qint64 piece) const { return pieces[size_t(piece - firstPiece)]; }
    QString shownOf(qint64 piece) const;
    Spot spotOfLogPosition(int position) const;

    void scheduleRefresh();
    void refresh();
    void forgetLayout(qint64 piece);
    QTextLayout *layoutOf(qint64 piece);
    int textWidth() const;
    Row lastRow();
    Row topForBottom(Row bottom);
    Row currentTop();
    void scrollRows(int rows);
    void setTop(Row top);
    void updateScrollBar();
    void onScrollBarMoved(int value);
    void ensureCaretVisible();

    Spot spotAt(const QPoint &point);
    void moveCaret(Spot to, bool keepAnchor);
    Spot stepVertically(Spot from, int rows);
    bool userHoldsView() const { return userReading || caret != anchor; }

    std::deque<Piece> pieces;
    qint64 firstPiece = 0;
    int lineEnds = 0;
    int modelLength = 0;
    int maxLines = defaultMaxLines;
    int maxCharacters = defaultMaxCharacters;

    Spot caret;
    Spot anchor;
    bool caretPending = false;
    bool following = true;
    // The user moved the view away from the end (the program's own caret moves do not count).
    bool userReading = false;
    Row top;
    qreal desiredX = -1;

    // Layouts of the pieces that were on screen lately, at layoutWidth.
    std::unordered_map<qint64, std::unique_ptr<QTextLayout>> layouts;
    int layoutWidth = -1;

    QTimer refreshTimer;
    QElapsedTimer sinceRefresh;
    bool updatingScrollBar = false;
    int blinkTimer = 0;
    bool caretShown = true;
};
