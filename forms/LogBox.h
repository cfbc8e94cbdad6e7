#pragma once

#include "forms/LogModel.h"
#include "forms/LogRows.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>

// The log of a chat window: a read-only text box over a LogModel, which keeps the text, trims
// it and holds every place the box keeps, and LogRows, which lays it out in rows. The box holds
// the view (which row is on top), painting and input.
//
// The box pays for what is on screen, not for the traffic: appending costs time in proportion
// to the new text; the screen is brought up to date at most once per refresh interval, and only
// the pieces in view (and the last screenful, to know where the end is) are laid out. The
// scroll bar counts rows.
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
    int laidOutCount() const { return rows.laidOutCount(); }

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
    using Row = LogRows::Row;
    using Segment = LogRows::Segment;
    using Place = LogModel::Place;
    LogSpot caret() const { return model.place(Place::Caret); }
    LogSpot anchor() const { return model.place(Place::Anchor); }

    void scheduleRefresh();
    void refresh();
    void announceNewText();

    void syncRows();
    qreal topMargin(Row top);
    Row topForBottom(Row bottom);
    Row endTop();
    Row currentTop();
    void setTop(Row top);
    void scrollRows(int count);
    void updateScrollBar();
    void onScrollBarMoved(int value);
    void ensureCaretVisible();

    LogSpot spotAt(const QPoint &point);
    void moveCaret(LogSpot to, bool keepAnchor);
    void selectionChangedByUser();
    LogSpot stepVertically(LogSpot from, int count);
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

    LogRows rows{model};

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
