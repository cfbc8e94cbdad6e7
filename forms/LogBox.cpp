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
#include <QStringView>
#include <QTextBoundaryFinder>
#include <QTextCursor>
#include <QTextDocument>
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
    const Row target = rowOf(spot);
    Row row = currentTop();
    qreal y = topMargin(row);
    if (target < row)
        return {};
    while (row < target) {
        y += rowHeight(row);
        if (y > viewport()->height() || !nextRow(row))
            return {};
    }
    QTextLayout *layout = layoutOf(spot.piece);
    const QTextLine line = layout->lineForTextPosition(spot.offset);
    const qreal x = line.cursorToX(spot.offset);
    const int next = layout->nextCursorPosition(spot.offset);
    const qreal width = next > spot.offset ? line.cursorToX(next) - x : 0;
    return QRectF(margin + std::min(x, x + width), y, std::abs(width), rowHeight(row))
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
    const Row row = rowOf(spot);
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

int LogBox::textWidth() const
{
    return std::max(1, viewport()->width() - 2 * margin);
}

void LogBox::syncRows()
{
    // Everything the box knows of the pieces' rows follows the model here, before any use.
    const int width = textWidth();
    if (width != layoutWidth) {
        layouts.clear();
        pieceRows.clear();
        totalRows = 0;
        rowsFirst = model.firstPiece();
        layoutWidth = width;
        averageCharacterWidth = std::max<qreal>(1, QFontMetricsF(font()).averageCharWidth());
    }
    while (!pieceRows.empty() && rowsFirst < model.firstPiece()) {
        layouts.erase(rowsFirst);
        totalRows -= pieceRows.front().rows;
        pieceRows.pop_front();
        ++rowsFirst;
    }
    if (pieceRows.empty())
        rowsFirst = model.firstPiece();
    if (cutsSeen != model.frontCuts()) {
        cutsSeen = model.frontCuts();
        if (!pieceRows.empty())
            forgetPiece(rowsFirst);
    }
    if (!pieceRows.empty()) {
        const qint64 last = rowsFirst + qint64(pieceRows.size()) - 1;
        if (rowsOf(last).shownSize != model.shownSize(last))
            forgetPiece(last);
    }
    for (qint64 piece = rowsFirst + qint64(pieceRows.size()); piece <= model.lastPiece(); ++piece) {
        PieceRows entry;
        entry.rows = 0; // counted in totalRows by setRows below
        entry.shownSize = model.shownSize(piece);
        // Runs are counted from where the line began, even after its start was cut.
        entry.lineOffset = model.startsLine(piece) || pieceRows.empty()
                ? 0
                : pieceRows.back().lineOffset + model.shownSize(piece - 1);
        pieceRows.push_back(entry);
        setRows(piece, estimatedRows(piece), false);
    }
}

int LogBox::estimatedRows(qint64 piece) const
{
    const qreal width = model.shownSize(piece) * averageCharacterWidth;
    const int rows = int(std::ceil(width / layoutWidth));
    const bool ownRow = startsRow(piece);
    return ownRow ? std::max(1, rows) : rows;
}

void LogBox::setRows(qint64 piece, int rows, bool exact)
{
    PieceRows &entry = rowsOf(piece);
    totalRows += rows - entry.rows;
    entry.rows = rows;
    entry.exact = exact;
}

void LogBox::forgetPiece(qint64 piece)
{
    // A piece's text changed: its layout goes, and so does what the rest of its run took from it.
    const qint64 last = rowsFirst + qint64(pieceRows.size()) - 1;
    for (qint64 next = piece; next <= last; ++next) {
        PieceRows &entry = rowsOf(next);
        if (next != piece && !entry.carrySettled && layouts.count(next) == 0)
            break;
        layouts.erase(next);
        entry.shownSize = model.shownSize(next);
        entry.carryIn = 0;
        entry.carryOut = 0;
        entry.carrySettled = false;
        setRows(next, estimatedRows(next), false);
        if (model.endsLine(next) || next == last || startsRow(next + 1))
            break;
    }
}

bool LogBox::startsRow(qint64 piece) const
{
    return piece <= model.firstPiece() || model.startsLine(piece) || piece <= rowsFirst
            || pieceRows[size_t(piece - rowsFirst)].lineOffset / runCharacters
            != pieceRows[size_t(piece - 1 - rowsFirst)].lineOffset / runCharacters;
}

qreal LogBox::carryInOf(qint64 piece)
{
    // Known once the piece is laid out: what does not fit into the rest of a row starts one.
    if (startsRow(piece))
        return 0;
    if (!rowsOf(piece).carrySettled)
        layoutOf(piece);
    return rowsOf(piece).carryIn;
}

QTextLayout *LogBox::layoutOf(qint64 piece)
{
    const auto found = layouts.find(piece);
    if (found != layouts.end())
        return found->second.get();
    // Where the piece before left its last row; laying that out may lay out the run before it.
    qreal carry = startsRow(piece) ? 0 : (layoutOf(piece - 1), rowsOf(piece - 1).carryOut);
    // A row left full (or overfull, by a cluster that cannot break) has no room to carry on.
    if (carry > layoutWidth - averageCharacterWidth / 2)
        carry = 0;
    // The second row of a piece that carries on a row lies that row's height below it.
    const QTextLine carriedRow = carry > 0
            ? layoutOf(piece - 1)->lineAt(layoutOf(piece - 1)->lineCount() - 1)
            : QTextLine();
    const qreal carriedRowHeight = carry > 0 ? carriedRow.height() : 0;
    // On the row it carries on, the piece stands on the same baseline, whatever its fonts.
    const qreal carriedAscent = carry > 0 ? carriedRow.ascent() : 0;
    auto layout = std::make_unique<QTextLayout>(model.shown(piece), font(), viewport());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout->setTextOption(option);
    layout->setCacheEnabled(true);
    auto build = [&] {
        layout->beginLayout();
        qreal y = 0;
        for (QTextLine line = layout->createLine(); line.isValid(); line = layout->createLine()) {
            const bool carried = line.lineNumber() == 0 && carry > 0;
            line.setLineWidth(carried ? std::max<qreal>(1, layoutWidth - carry) : layoutWidth);
            line.setPosition(
                    QPointF(carried ? carry : 0, carried ? carriedAscent - line.ascent() : y));
            y += carried ? carriedRowHeight : line.height();
        }
        layout->endLayout();
    };
    build();
    // What does not fit into the rest of the row starts a row of its own.
    if (carry > 0 && layout->lineAt(0).naturalTextWidth() > layoutWidth - carry + 0.5) {
        carry = 0;
        build();
    }
    PieceRows &entry = rowsOf(piece);
    entry.carryIn = carry;
    entry.carrySettled = true;
    const QTextLine last = layout->lineAt(layout->lineCount() - 1);
    entry.carryOut = model.endsLine(piece) ? 0 : last.x() + last.naturalTextWidth();
    setRows(piece, layout->lineCount() - (carry > 0 ? 1 : 0), true);
    QTextLayout *result = layout.get();
    layouts[piece] = std::move(layout);
    return result;
}

int LogBox::firstOwnLine(qint64 piece)
{
    return carryInOf(piece) > 0 ? 1 : 0;
}

bool LogBox::nextRow(Row &row)
{
    if (row.line + 1 < layoutOf(row.piece)->lineCount()) {
        ++row.line;
        return true;
    }
    for (qint64 piece = row.piece + 1; piece <= model.lastPiece(); ++piece) {
        const int own = firstOwnLine(piece);
        if (own < layoutOf(piece)->lineCount()) {
            row = Row{piece, own};
            return true;
        }
    }
    return false;
}

bool LogBox::previousRow(Row &row)
{
    if (row.line > firstOwnLine(row.piece)) {
        --row.line;
        return true;
    }
    for (qint64 piece = row.piece - 1; piece >= model.firstPiece(); --piece) {
        const int last = layoutOf(piece)->lineCount() - 1;
        if (last >= firstOwnLine(piece)) {
            row = Row{piece, last};
            return true;
        }
    }
    return false;
}

LogBox::Row LogBox::lastRow()
{
    for (qint64 piece = model.lastPiece();; --piece) {
        const int last = layoutOf(piece)->lineCount() - 1;
        if (last >= firstOwnLine(piece))
            return Row{piece, last};
    }
}

LogBox::Row LogBox::rowOf(LogSpot spot)
{
    spot = model.clamp(spot);
    QTextLayout *layout = layoutOf(spot.piece);
    int line = layout->lineForTextPosition(spot.offset).lineNumber();
    if (line < 0)
        line = layout->lineCount() - 1;
    qint64 piece = spot.piece;
    while (line < firstOwnLine(piece)) {
        --piece;
        line = layoutOf(piece)->lineCount() - 1;
    }
    return Row{piece, line};
}

LogSpot LogBox::spotOfRow(Row row)
{
    return LogSpot{row.piece, layoutOf(row.piece)->lineAt(row.line).textStart()};
}

std::vector<LogBox::Segment> LogBox::segmentsOf(Row row)
{
    std::vector<Segment> segments{Segment{row.piece, row.line}};
    qint64 piece = row.piece;
    int line = row.line;
    while (line == layoutOf(piece)->lineCount() - 1 && piece < model.lastPiece()
           && carryInOf(piece + 1) > 0) {
        ++piece;
        line = 0;
        segments.push_back(Segment{piece, 0});
    }
    return segments;
}

qreal LogBox::rowHeight(Row row)
{
    return layoutOf(row.piece)->lineAt(row.line).height();
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
        used += rowHeight(row);
        Row above = row;
        if (!previousRow(above))
            return row;
        if (used + rowHeight(above) + topMargin(above) > height)
            return row;
        row = above;
    }
}

LogBox::Row LogBox::endTop()
{
    return topForBottom(lastRow());
}

LogBox::Row LogBox::currentTop()
{
    const Row end = endTop();
    if (following)
        return end;
    const Row top = rowOf(model.place(Place::Top));
    return end < top ? end : top;
}

qint64 LogBox::rowsBefore(Row row)
{
    // Counted from the nearer end: the usual row is near the end of the log.
    qint64 rows = 0;
    if (row.piece - model.firstPiece() <= model.lastPiece() - row.piece) {
        for (qint64 piece = model.firstPiece(); piece < row.piece; ++piece)
            rows += rowsOf(piece).rows;
    } else {
        rows = totalRows;
        for (qint64 piece = model.lastPiece(); piece >= row.piece; --piece)
            rows -= rowsOf(piece).rows;
    }
    return rows + row.line - firstOwnLine(row.piece);
}

LogBox::Row LogBox::rowAtIndex(qint64 index)
{
    qint64 before = 0;
    for (qint64 piece = model.firstPiece(); piece <= model.lastPiece(); ++piece) {
        if (index < before + rowsOf(piece).rows) {
            layoutOf(piece); // the estimate becomes the true count
            const int rows = rowsOf(piece).rows;
            if (index < before + rows)
                return Row{piece, firstOwnLine(piece) + int(std::max<qint64>(0, index - before))};
        }
        before += rowsOf(piece).rows;
    }
    return lastRow();
}

void LogBox::setTop(Row row)
{
    const Row end = endTop();
    following = !(row < end);
    model.setPlace(Place::Top, spotOfRow(following ? end : row));
    userReading = !following;
    updateScrollBar();
    viewport()->update();
}

void LogBox::scrollRows(int rows)
{
    Row row = currentTop();
    for (; rows < 0 && previousRow(row); ++rows) {}
    for (; rows > 0 && nextRow(row); --rows) {}
    setTop(row);
}

void LogBox::updateScrollBar()
{
    syncRows();
    const Row end = endTop();
    const qint64 endIndex = rowsBefore(end);
    const qint64 shown = following ? endIndex : std::min(endIndex, rowsBefore(currentTop()));
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
    if (value >= rowsBefore(end)) {
        following = true;
        userReading = false;
        model.setPlace(Place::Top, spotOfRow(end));
    } else {
        following = false;
        userReading = true;
        model.setPlace(Place::Top, spotOfRow(rowAtIndex(std::max(0, value))));
    }
    updateScrollBar();
    viewport()->update();
}

void LogBox::ensureCaretVisible()
{
    const Row caretRow = rowOf(caret());
    const Row end = endTop();
    if (!(caretRow < end)) {
        following = true;
        return;
    }
    const Row from = currentTop();
    if (caretRow < from) {
        following = false;
        model.setPlace(Place::Top, spotOfRow(caretRow));
        return;
    }
    const Row lowestTop = topForBottom(caretRow);
    if (from < lowestTop) {
        following = false;
        model.setPlace(Place::Top, spotOfRow(lowestTop));
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
        const std::vector<Segment> segments = segmentsOf(row);
        qreal rowAscent = 0;
        for (const Segment &segment : segments)
            rowAscent = std::max(rowAscent, layoutOf(segment.piece)->lineAt(segment.line).ascent());
        for (const Segment &segment : segments) {
            if (segment.piece <= drawn)
                continue;
            drawn = segment.piece;
            QTextLayout *layout = layoutOf(segment.piece);
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
        y += rowHeight(row);
        if (y >= viewport()->height() || !nextRow(row))
            break;
    }
    // Only what was just on screen, the end of the log and the caret's piece stay laid out.
    if (layouts.size() > size_t(4 * (drawn - first.piece + 1) + 64)) {
        const qint64 endPiece = endTop().piece;
        for (auto entry = layouts.begin(); entry != layouts.end();) {
            const bool keep = (entry->first >= first.piece && entry->first <= drawn)
                    || entry->first >= endPiece || entry->first == caret().piece;
            entry = keep ? std::next(entry) : layouts.erase(entry);
        }
    }
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
        layoutWidth = -1;
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
        y += rowHeight(row);
        Row next = row;
        if (point.y() < y || !nextRow(next))
            return spotInRow(row, point.x() - margin);
        row = next;
    }
}

LogSpot LogBox::spotInRow(Row row, qreal x)
{
    const std::vector<Segment> segments = segmentsOf(row);
    Segment chosen = segments.front();
    for (size_t index = 1; index < segments.size(); ++index) {
        if (x >= carryInOf(segments[index].piece))
            chosen = segments[index];
    }
    const QTextLine line = layoutOf(chosen.piece)->lineAt(chosen.line);
    return LogSpot{chosen.piece, line.xToCursor(x)};
}

qreal LogBox::xOf(LogSpot spot)
{
    QTextLayout *layout = layoutOf(spot.piece);
    return layout->lineForTextPosition(spot.offset).cursorToX(spot.offset);
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

LogSpot LogBox::stepVertically(LogSpot from, int rows)
{
    if (desiredX < 0)
        desiredX = xOf(from);
    Row row = rowOf(from);
    for (; rows < 0; ++rows) {
        if (!previousRow(row))
            return from;
    }
    for (; rows > 0; --rows) {
        if (!nextRow(row))
            return from;
    }
    return spotInRow(row, desiredX);
}

LogSpot LogBox::stepCharacter(LogSpot from, bool forward)
{
    // Where two pieces of one line meet, the end of the first and the start of the second are
    // one place: the step goes over a character either way.
    QTextLayout *layout = layoutOf(from.piece);
    if (forward) {
        if (from.offset < layout->text().size())
            return LogSpot{from.piece, layout->nextCursorPosition(from.offset)};
        if (from.piece == model.lastPiece())
            return from;
        if (model.endsLine(from.piece))
            return LogSpot{from.piece + 1, 0};
        return stepCharacter(LogSpot{from.piece + 1, 0}, true);
    }
    if (from.offset > 0)
        return LogSpot{from.piece, layout->previousCursorPosition(from.offset)};
    if (from.piece == model.firstPiece())
        return from;
    const LogSpot before{from.piece - 1, model.shownSize(from.piece - 1)};
    return model.startsLine(from.piece) ? before : stepCharacter(before, false);
}

LogSpot LogBox::stepWord(LogSpot from, bool forward)
{
    // The words of the standard text box: the next word's start, the previous word's start; a
    // line end is a step of its own.
    auto isWordCharacter = [](QChar character) {
        return character.isLetterOrNumber() || character.isMark();
    };
    QTextLayout *layout = layoutOf(from.piece);
    const QString text = layout->text();
    if (forward) {
        if (from.offset >= text.size()) {
            if (from.piece == model.lastPiece())
                return from;
            if (model.endsLine(from.piece))
                return LogSpot{from.piece + 1, 0};
            return stepWord(LogSpot{from.piece + 1, 0}, true);
        }
        const int next = layout->nextCursorPosition(from.offset, QTextLayout::SkipWords);
        // A word that runs on into the next piece goes on there.
        if (next == text.size() && !model.endsLine(from.piece) && from.piece < model.lastPiece()
            && !text.isEmpty() && isWordCharacter(text.back()))
            return stepWord(LogSpot{from.piece + 1, 0}, true);
        return LogSpot{from.piece, next};
    }
    if (from.offset == 0) {
        if (from.piece == model.firstPiece())
            return from;
        const LogSpot before{from.piece - 1, model.shownSize(from.piece - 1)};
        return model.startsLine(from.piece) ? before : stepWord(before, false);
    }
    const int previous = layout->previousCursorPosition(from.offset, QTextLayout::SkipWords);
    if (previous == 0 && !model.startsLine(from.piece) && isWordCharacter(text.front())) {
        const LogSpot before{from.piece - 1, model.shownSize(from.piece - 1)};
        const QString earlier = layoutOf(before.piece)->text();
        if (!earlier.isEmpty() && isWordCharacter(earlier.back()))
            return stepWord(before, false);
    }
    return LogSpot{from.piece, previous};
}

void LogBox::pageUpDown(bool down, bool keepAnchor)
{
    // As the standard text box: the view moves by what fits on screen, and the caret keeps its
    // height on screen as near as the rows allow.
    ensureCaretVisible();
    auto screenY = [this](LogSpot spot) {
        const Row target = rowOf(spot);
        Row row = currentTop();
        qreal y = topMargin(row);
        if (target < row) {
            while (target < row && previousRow(row))
                y -= rowHeight(row);
            return y;
        }
        while (row < target && y < 4 * viewport()->height()) {
            y += rowHeight(row);
            if (!nextRow(row))
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
        while (y + rowHeight(top) <= height) {
            y += rowHeight(top);
            if (!nextRow(top)) {
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
        if (!previousRow(above))
            wantedY = 0;
        // Up by the rows that fit on screen whole.
        qreal y = 0;
        for (Row row = top; previousRow(row) && y + rowHeight(row) <= height;) {
            y += rowHeight(row);
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
    // The word the standard text box selects on a double click, found by its own cursor over
    // the piece, so that double clicks and Ctrl+Shift+Right agree on Japanese as they do there.
    QTextDocument piece(layoutOf(at.piece)->text());
    QTextCursor word(&piece);
    word.setPosition(at.offset);
    word.select(QTextCursor::WordUnderCursor);
    model.setPlace(Place::Anchor, LogSpot{at.piece, word.selectionStart()});
    model.setPlace(Place::Caret, LogSpot{at.piece, word.selectionEnd()});
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
    QTextLayout *layout = layoutOf(caret().piece);
    const LogSpot from = caret();
    LogSpot to = from;
    bool keepsColumn = false;
    switch (event->key()) {
    // With a selection, a plain Left or Right goes to its start or end, as in the standard box.
    case Qt::Key_Left:
        to = control ? stepWord(from, false)
                     : (!extend && from != anchor() ? std::min(from, anchor())
                                                    : stepCharacter(from, false));
        break;
    case Qt::Key_Right:
        to = control ? stepWord(from, true)
                     : (!extend && from != anchor() ? std::max(from, anchor())
                                                    : stepCharacter(from, true));
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
