#include "forms/LogBox.h"

#include "forms/LogBoxAccessible.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

namespace {

// Space between the box's edge and its text, as in Qt's own text boxes: at the sides always, at
// the top above the log's first row and at the bottom below its last.
constexpr int margin = 4;

// Dragging past an edge scrolls a row at a time, sooner the farther the mouse is beyond it, as
// in Qt's own text boxes.
constexpr int slowestAutoScrollMs = 100;

} // namespace

LogBox::LogBox(QWidget *parent)
    : QAbstractScrollArea(parent)
{
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
    LogBoxAccessible::install();
    rows.setFont(font(), viewport());

    refreshTimer.setSingleShot(true);
    connect(&refreshTimer, &QTimer::timeout, this, &LogBox::refresh);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &LogBox::onScrollBarMoved);
    sinceRefresh.start();
}

LogBox::~LogBox() = default;

void LogBox::setLogText(const QString &text)
{
    model.setText(text);
    for (Place place : {Place::Caret, Place::Anchor, Place::Top})
        model.setPlace(place, model.start());
    following = true;
    userReading = false;
    caretPending = false;
    announcedLength = 0;
    scheduleRefresh();
}

void LogBox::appendLog(const QString &text)
{
    if (text.isEmpty())
        return;
    model.append(text);
    scheduleRefresh();
}

void LogBox::setCaretPosition(int position)
{
    if (userHoldsView())
        return;
    const LogSpot spot = model.spotOfLogPosition(position);
    model.setPlace(Place::Caret, spot);
    model.setPlace(Place::Anchor, spot);
    desiredX = -1;
    caretPending = true;
    scheduleRefresh();
}

void LogBox::flushToDisplay()
{
    refreshTimer.stop();
    refresh();
}

QString LogBox::selectedText() const
{
    return model.shownBetween(caret(), anchor());
}

int LogBox::firstVisibleBlockNumber()
{
    syncRows();
    const qint64 top = currentTop().piece;
    int block = 0;
    for (qint64 piece = model.firstPiece(); piece < top; ++piece)
        block += model.endsLine(piece) ? 1 : 0;
    return block;
}

QString LogBox::lineAround(int position, int *lineStart) const
{
    const LogSpot spot = model.spotOfShownPosition(position);
    const qint64 first = std::max(model.lineStartPiece(spot.piece), spot.piece - 1);
    qint64 last = spot.piece;
    if (!model.endsLine(last) && last < model.lastPiece())
        ++last;
    *lineStart = model.shownPosition(LogSpot{first, 0});
    return model.shownBetween(LogSpot{first, 0}, LogSpot{last, model.shownSize(last)});
}

void LogBox::setSelection(int anchorAt, int caretAt)
{
    model.setPlace(Place::Anchor, model.spotOfShownPosition(anchorAt));
    moveCaret(model.spotOfShownPosition(caretAt), true);
}

QRect LogBox::characterRect(int position)
{
    syncRows();
    const LogSpot spot = model.spotOfShownPosition(position);
    const Row target = rows.rowOf(spot);
    Row row = currentTop();
    qreal y = topMargin(row);
    if (target < row)
        return {};
    while (row < target) {
        y += rows.rowHeight(row);
        if (y > viewport()->height() || !rows.nextRow(row))
            return {};
    }
    QTextLayout *layout = rows.layoutOf(spot.piece);
    const QTextLine line = layout->lineForTextPosition(spot.offset);
    const qreal x = line.cursorToX(spot.offset);
    const int next = layout->nextCursorPosition(spot.offset);
    const qreal width = next > spot.offset ? line.cursorToX(next) - x : 0;
    return QRectF(margin + std::min(x, x + width), y, std::abs(width), rows.rowHeight(row))
            .toAlignedRect();
}

int LogBox::positionAt(const QPoint &point)
{
    syncRows();
    return model.shownPosition(spotAt(point));
}

void LogBox::scrollToPosition(int position)
{
    syncRows();
    const LogSpot spot = model.spotOfShownPosition(position);
    const Row row = rows.rowOf(spot);
    if (row < currentTop() || currentTop() < topForBottom(row))
        setTop(row);
}

void LogBox::copy()
{
    const QString text = selectedText();
    if (!text.isEmpty())
        QApplication::clipboard()->setText(text);
}

void LogBox::selectAll()
{
    model.setPlace(Place::Anchor, model.start());
    model.setPlace(Place::Caret, model.end());
    selectionChangedByUser();
    viewport()->update();
}

void LogBox::scheduleRefresh()
{
    if (refreshTimer.isActive())
        return;
    const qint64 wait = refreshIntervalMs - sinceRefresh.elapsed();
    refreshTimer.start(int(std::clamp<qint64>(wait, 0, refreshIntervalMs)));
}

void LogBox::refresh()
{
    sinceRefresh.restart();
    syncRows();
    if (caretPending) {
        caretPending = false;
        ensureCaretVisible();
    }
    updateScrollBar();
    viewport()->update();
    announceNewText();
    emit refreshed();
}

void LogBox::announceNewText()
{
    // Only while assistive technology listens: the text since the last refresh, once a frame.
    if (!QAccessible::isActive()) {
        announcedLength = -1;
        return;
    }
    const int length = model.shownPosition(model.end());
    if (announcedLength >= 0 && length > announcedLength) {
        // A line an event, as the standard box tells of each line appended, so that a reader
        // speaks each chat line on its own; past a screenful a frame, the rest goes as one.
        const QString added =
                model.shownBetween(model.spotOfShownPosition(announcedLength), model.end());
        qsizetype start = 0;
        for (int events = 1; start < added.size(); ++events) {
            const qsizetype lineEnd = added.indexOf(u'\n', start);
            const qsizetype end =
                    lineEnd < 0 || events == maxAnnouncedLines ? added.size() : lineEnd + 1;
            QAccessibleTextInsertEvent inserted(this, announcedLength + int(start),
                                                added.mid(start, end - start));
            QAccessible::updateAccessibility(&inserted);
            start = end;
        }
    }
    announcedLength = length;
}

// Rows

void LogBox::syncRows()
{
    rows.sync(std::max(1, viewport()->width() - 2 * margin));
}

qreal LogBox::topMargin(Row top)
{
    return top.piece == model.firstPiece() && top.line == 0 ? margin : 0;
}

LogBox::Row LogBox::topForBottom(Row bottom)
{
    // The highest row from which the rows down to bottom still fit on screen, the margin below
    // the log's last row (and above its first) included.
    const qreal height = viewport()->height() - margin;
    qreal used = 0;
    Row row = bottom;
    for (;;) {
        used += rows.rowHeight(row);
        Row above = row;
        if (!rows.previousRow(above))
            return row;
        if (used + rows.rowHeight(above) + topMargin(above) > height)
            return row;
        row = above;
    }
}

LogBox::Row LogBox::endTop()
{
    return topForBottom(rows.lastRow());
}

LogBox::Row LogBox::currentTop()
{
    const Row end = endTop();
    if (following)
        return end;
    const Row top = rows.rowOf(model.place(Place::Top));
    return end < top ? end : top;
}

void LogBox::setTop(Row row)
{
    const Row end = endTop();
    following = !(row < end);
    model.setPlace(Place::Top, rows.spotOfRow(following ? end : row));
    userReading = !following;
    updateScrollBar();
    viewport()->update();
}

void LogBox::scrollRows(int count)
{
    Row row = currentTop();
    for (; count < 0 && rows.previousRow(row); ++count) {}
    for (; count > 0 && rows.nextRow(row); --count) {}
    setTop(row);
}

void LogBox::updateScrollBar()
{
    syncRows();
    const Row end = endTop();
    const qint64 endIndex = rows.rowsBefore(end);
    const qint64 shown = following ? endIndex : std::min(endIndex, rows.rowsBefore(currentTop()));
    QScrollBar *bar = verticalScrollBar();
    updatingScrollBar = true;
    bar->setRange(0, int(endIndex));
    const qreal rowHeight = QFontMetricsF(font()).lineSpacing();
    bar->setPageStep(std::max(1, int(viewport()->height() / std::max<qreal>(1, rowHeight))));
    bar->setSingleStep(1);
    bar->setValue(int(shown));
    updatingScrollBar = false;
}

void LogBox::onScrollBarMoved(int value)
{
    if (updatingScrollBar)
        return;
    // The bar's range may still be the one of a longer log: the value is taken against the log
    // as it is now.
    syncRows();
    const Row end = endTop();
    if (value >= rows.rowsBefore(end)) {
        following = true;
        userReading = false;
        model.setPlace(Place::Top, rows.spotOfRow(end));
    } else {
        following = false;
        userReading = true;
        model.setPlace(Place::Top, rows.spotOfRow(rows.rowAtIndex(std::max(0, value))));
    }
    updateScrollBar();
    viewport()->update();
}

void LogBox::ensureCaretVisible()
{
    const Row caretRow = rows.rowOf(caret());
    const Row end = endTop();
    if (!(caretRow < end)) {
        following = true;
        return;
    }
    const Row from = currentTop();
    if (caretRow < from) {
        following = false;
        model.setPlace(Place::Top, rows.spotOfRow(caretRow));
        return;
    }
    const Row lowestTop = topForBottom(caretRow);
    if (from < lowestTop) {
        following = false;
        model.setPlace(Place::Top, rows.spotOfRow(lowestTop));
    }
}

// Painting

void LogBox::paintEvent(QPaintEvent *)
{
    syncRows();
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Text));
    const Row first = currentTop();
    const LogSpot from = std::min(caret(), anchor());
    const LogSpot to = std::max(caret(), anchor());
    QTextCharFormat selectedFormat;
    selectedFormat.setBackground(palette().brush(QPalette::Highlight));
    selectedFormat.setForeground(palette().brush(QPalette::HighlightedText));
    const QRectF clip = viewport()->rect();

    Row row = first;
    qreal y = topMargin(row);
    qint64 drawn = first.piece - 1;
    for (;;) {
        // The texts sharing a row stand on one baseline, whatever fonts each one needed.
        const std::vector<Segment> segments = rows.segmentsOf(row);
        qreal rowAscent = 0;
        for (const Segment &segment : segments)
            rowAscent = std::max(rowAscent,
                                 rows.layoutOf(segment.piece)->lineAt(segment.line).ascent());
        for (const Segment &segment : segments) {
            if (segment.piece <= drawn)
                continue;
            drawn = segment.piece;
            QTextLayout *layout = rows.layoutOf(segment.piece);
            const QTextLine line = layout->lineAt(segment.line);
            const QPointF origin(margin, y + rowAscent - line.ascent() - line.y());
            QVector<QTextLayout::FormatRange> selections;
            if (from != to && segment.piece >= from.piece && segment.piece <= to.piece) {
                const int start = segment.piece == from.piece ? from.offset : 0;
                const int end = segment.piece == to.piece ? to.offset : int(layout->text().size());
                if (end > start)
                    selections.push_back({start, end - start, selectedFormat});
            }
            layout->draw(&painter, origin, selections, clip);
            if (segment.piece == caret().piece && hasFocus() && caretShown)
                layout->drawCursor(&painter, origin, caret().offset);
        }
        y += rows.rowHeight(row);
        if (y >= viewport()->height() || !rows.nextRow(row))
            break;
    }
    // Only what was just on screen, the end of the log and the caret's piece stay laid out.
    if (rows.laidOutCount() > 4 * (drawn - first.piece + 1) + 64)
        rows.dropLayoutsExcept(first.piece, drawn, endTop().piece, caret().piece);
}

void LogBox::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBar();
}

void LogBox::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        rows.setFont(font(), viewport());
        updateScrollBar();
        viewport()->update();
    }
}

// Places and steps

LogSpot LogBox::spotAt(const QPoint &point)
{
    Row row = currentTop();
    qreal y = topMargin(row);
    for (;;) {
        y += rows.rowHeight(row);
        Row next = row;
        if (point.y() < y || !rows.nextRow(next))
            return rows.spotInRow(row, point.x() - margin);
        row = next;
    }
}

void LogBox::moveCaret(LogSpot to, bool keepAnchor)
{
    const bool selecting = keepAnchor || caret() != anchor();
    pageCaretY = -1;
    model.setPlace(Place::Caret, to);
    if (!keepAnchor)
        model.setPlace(Place::Anchor, to);
    caretShown = true;
    ensureCaretVisible();
    userReading = !following;
    updateScrollBar();
    viewport()->update();
    if (QAccessible::isActive()) {
        QAccessibleTextCursorEvent moved(this, caretPosition());
        QAccessible::updateAccessibility(&moved);
        if (selecting) {
            QAccessibleTextSelectionEvent selected(this,
                                                   std::min(anchorPosition(), caretPosition()),
                                                   std::max(anchorPosition(), caretPosition()));
            QAccessible::updateAccessibility(&selected);
        }
    }
}

void LogBox::selectionChangedByUser()
{
    // X11 desktops paste the last selection with the middle button.
    QClipboard *clipboard = QApplication::clipboard();
    if (caret() != anchor() && clipboard->supportsSelection())
        clipboard->setText(selectedText(), QClipboard::Selection);
}

LogSpot LogBox::stepVertically(LogSpot from, int count)
{
    if (desiredX < 0)
        desiredX = rows.xOf(from);
    Row row = rows.rowOf(from);
    for (; count < 0; ++count) {
        if (!rows.previousRow(row))
            return from;
    }
    for (; count > 0; --count) {
        if (!rows.nextRow(row))
            return from;
    }
    return rows.spotInRow(row, desiredX);
}

void LogBox::pageUpDown(bool down, bool keepAnchor)
{
    // As the standard text box: the view moves by what fits on screen, and the caret keeps its
    // height on screen as near as the rows allow.
    ensureCaretVisible();
    auto screenY = [this](LogSpot spot) {
        const Row target = rows.rowOf(spot);
        Row row = currentTop();
        qreal y = topMargin(row);
        if (target < row) {
            while (target < row && rows.previousRow(row))
                y -= rows.rowHeight(row);
            return y;
        }
        while (row < target && y < 4 * viewport()->height()) {
            y += rows.rowHeight(row);
            if (!rows.nextRow(row))
                break;
        }
        return y;
    };
    const qreal height = viewport()->height();
    // Pages in a row keep the caret at the height on screen where the first one found it.
    if (pageCaretY < 0)
        pageCaretY = screenY(caret());
    qreal wantedY = pageCaretY;
    Row top = currentTop();
    if (down) {
        qreal y = topMargin(top);
        bool atEnd = false;
        while (y + rows.rowHeight(top) <= height) {
            y += rows.rowHeight(top);
            if (!rows.nextRow(top)) {
                atEnd = true;
                break;
            }
        }
        // On the last page the caret goes down to the last row.
        if (atEnd)
            wantedY = height;
        else
            setTop(top);
    } else {
        // Already at the top, the caret goes up to the first row.
        Row above = top;
        if (!rows.previousRow(above))
            wantedY = 0;
        // Up by the rows that fit on screen whole.
        qreal y = 0;
        for (Row row = top; rows.previousRow(row) && y + rows.rowHeight(row) <= height;) {
            y += rows.rowHeight(row);
            top = row;
        }
        setTop(top);
    }
    LogSpot spot = caret();
    for (int step = 0; step < int(height) + 2; ++step) {
        const qreal y = screenY(spot);
        if (down ? y >= wantedY : y <= wantedY)
            break;
        const LogSpot next = stepVertically(spot, down ? 1 : -1);
        if (next == spot)
            break;
        spot = next;
    }
    const qreal keepX = desiredX;
    const qreal keepY = pageCaretY;
    moveCaret(spot, keepAnchor);
    desiredX = keepX;
    pageCaretY = keepY;
}

void LogBox::selectWordAt(LogSpot at)
{
    const auto [start, end] = rows.wordAt(at);
    model.setPlace(Place::Anchor, start);
    model.setPlace(Place::Caret, end);
    selectionChangedByUser();
    viewport()->update();
}

void LogBox::selectLineAt(LogSpot at)
{
    // The whole shown line with its line end, as a triple click in the standard text box.
    model.setPlace(Place::Anchor, LogSpot{model.lineStartPiece(at.piece), 0});
    model.setPlace(Place::Caret, model.nextLineStart(at.piece));
    selectionChangedByUser();
    viewport()->update();
}

void LogBox::autoScroll()
{
    const QRect visible = viewport()->rect();
    const int beyond = std::max(dragPoint.y() - visible.bottom(), visible.top() - dragPoint.y());
    if (!dragging || beyond <= 0) {
        autoScrollTimer.stop();
        return;
    }
    const int distance = std::max(beyond, 7);
    autoScrollTimer.start(std::min(slowestAutoScrollMs, 4900 / (distance * distance)), this);
    scrollRows(dragPoint.y() < visible.top() ? -1 : 1);
    model.setPlace(Place::Caret, spotAt(dragPoint));
    viewport()->update();
}

// Input

void LogBox::keyPressEvent(QKeyEvent *event)
{
    syncRows();
    if (event->matches(QKeySequence::Copy)) {
        copy();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    const bool extend = event->modifiers() & Qt::ShiftModifier;
    const bool control = event->modifiers() & Qt::ControlModifier;
    QTextLayout *layout = rows.layoutOf(caret().piece);
    const LogSpot from = caret();
    LogSpot to = from;
    bool keepsColumn = false;
    switch (event->key()) {
    // With a selection, a plain Left or Right goes to its start or end, as in the standard box.
    case Qt::Key_Left:
        to = control ? rows.stepWord(from, false)
                     : (!extend && from != anchor() ? std::min(from, anchor())
                                                    : rows.stepCharacter(from, false));
        break;
    case Qt::Key_Right:
        to = control ? rows.stepWord(from, true)
                     : (!extend && from != anchor() ? std::max(from, anchor())
                                                    : rows.stepCharacter(from, true));
        break;
    case Qt::Key_Up:
        to = stepVertically(from, -1);
        keepsColumn = true;
        break;
    case Qt::Key_Down:
        to = stepVertically(from, 1);
        keepsColumn = true;
        break;
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
        pageUpDown(event->key() == Qt::Key_PageDown, extend);
        if (extend)
            selectionChangedByUser();
        return;
    case Qt::Key_Space:
        // A read-only text box pages with the space bar.
        pageUpDown(!extend, false);
        return;
    case Qt::Key_Home:
        to = control ? model.start()
                     : LogSpot{from.piece, layout->lineForTextPosition(from.offset).textStart()};
        break;
    case Qt::Key_End:
        if (control) {
            to = model.end();
        } else {
            const QTextLine line = layout->lineForTextPosition(from.offset);
            to = LogSpot{from.piece, line.textStart() + line.textLength()};
            if (line.lineNumber() + 1 < layout->lineCount() && to.offset > line.textStart())
                to.offset = layout->previousCursorPosition(to.offset);
        }
        break;
    default:
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    if (!keepsColumn)
        desiredX = -1;
    moveCaret(to, extend);
    if (extend)
        selectionChangedByUser();
}

void LogBox::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    syncRows();
    desiredX = -1;
    const QPoint point = event->position().toPoint();
    if (tripleClickTimer.isActive()
        && (point - tripleClickPoint).manhattanLength() < QApplication::startDragDistance()) {
        tripleClickTimer.stop();
        selectLineAt(spotAt(point));
        return;
    }
    dragging = true;
    dragPoint = point;
    moveCaret(spotAt(point), event->modifiers() & Qt::ShiftModifier);
}

void LogBox::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton) || !dragging)
        return;
    syncRows();
    dragPoint = event->position().toPoint();
    if (!viewport()->rect().contains(QPoint(viewport()->rect().left(), dragPoint.y()))) {
        if (!autoScrollTimer.isActive())
            autoScroll();
    } else {
        autoScrollTimer.stop();
    }
    model.setPlace(Place::Caret, spotAt(dragPoint));
    viewport()->update();
}

void LogBox::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    autoScrollTimer.stop();
    if (dragging)
        selectionChangedByUser();
    dragging = false;
    event->accept();
}

void LogBox::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    syncRows();
    dragging = false;
    tripleClickPoint = event->position().toPoint();
    tripleClickTimer.start(QApplication::doubleClickInterval(), this);
    selectWordAt(spotAt(tripleClickPoint));
}

void LogBox::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu menu(this);
    QAction *copyAction = menu.addAction(QCoreApplication::translate("QWidgetTextControl", "&Copy"),
                                         this, &LogBox::copy);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setEnabled(caret() != anchor());
    menu.addSeparator();
    QAction *allAction =
            menu.addAction(QCoreApplication::translate("QWidgetTextControl", "Select All"), this,
                           &LogBox::selectAll);
    allAction->setShortcut(QKeySequence::SelectAll);
    menu.exec(event->globalPos());
}

void LogBox::focusInEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusInEvent(event);
    const int flash = QApplication::cursorFlashTime();
    if (flash > 0 && blinkTimer == 0)
        blinkTimer = startTimer(flash / 2);
    caretShown = true;
    viewport()->update();
}

void LogBox::focusOutEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusOutEvent(event);
    if (blinkTimer != 0)
        killTimer(blinkTimer);
    blinkTimer = 0;
    viewport()->update();
}

void LogBox::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == autoScrollTimer.timerId()) {
        syncRows();
        autoScroll();
        return;
    }
    if (event->timerId() == tripleClickTimer.timerId()) {
        tripleClickTimer.stop();
        return;
    }
    if (event->timerId() != blinkTimer) {
        QAbstractScrollArea::timerEvent(event);
        return;
    }
    caretShown = !caretShown;
    viewport()->update();
}

#include "moc_LogBox.cpp"
