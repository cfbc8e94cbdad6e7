#include "forms/LogBox.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QStringView>
#include <QTextBoundaryFinder>
#include <QTextLayout>

#include <algorithm>
#include <vector>

namespace {

const QChar carriageReturn = u'\r';

// Every character that Qt's text views show as the start of a new line: LF, VT, FF, NEL, the
// line and paragraph separators and the two non-characters that QTextDocument takes as block
// ends. Each one ends a line of the log, so none of them can grow the display past the limit.
bool isLineBreak(QChar character)
{
    const char16_t code = character.unicode();
    if (code > 0x0c && code < 0x85)
        return false;
    return code == 0x0a || code == 0x0b || code == 0x0c || code == 0x85 || code == 0x2028
            || code == 0x2029 || code == 0xfdd0 || code == 0xfdd1;
}

// Space between the box's edge and its text, as in Qt's own text boxes.
constexpr int margin = 4;

} // namespace

LogBox::LogBox(QWidget *parent)
    : QAbstractScrollArea(parent)
{
    pieces.emplace_back();
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);

    refreshTimer.setSingleShot(true);
    connect(&refreshTimer, &QTimer::timeout, this, &LogBox::refresh);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &LogBox::onScrollBarMoved);
    sinceRefresh.start();
}

LogBox::~LogBox() = default;

QString LogBox::logText() const
{
    QString text;
    text.reserve(modelLength);
    for (const Piece &piece : pieces)
        text += piece.raw;
    return text;
}

void LogBox::setLogText(const QString &text)
{
    pieces.clear();
    pieces.emplace_back();
    firstPiece = 0;
    lineEnds = 0;
    modelLength = 0;
    layouts.clear();
    caret = anchor = Spot{};
    top = Row{};
    following = true;
    userReading = false;
    caretPending = false;
    addText(text);
    scheduleRefresh();
}

void LogBox::appendLog(const QString &text)
{
    if (text.isEmpty())
        return;
    addText(text);
    scheduleRefresh();
}

void LogBox::setCaretPosition(int position)
{
    if (userHoldsView())
        return;
    caret = anchor = spotOfLogPosition(std::clamp(position, 0, modelLength));
    desiredX = -1;
    caretPending = true;
    scheduleRefresh();
}

void LogBox::setCapacity(int lines, int characters)
{
    Q_ASSERT(lines >= 1 && characters >= 2);
    maxLines = lines;
    maxCharacters = characters;
}

void LogBox::flushToDisplay()
{
    refreshTimer.stop();
    refresh();
}

void LogBox::addText(QStringView text)
{
    // A text with more line ends than the box keeps pushes out everything before its newest
    // lines: skip that part rather than storing and dropping it line by line.
    qsizetype start = 0;
    int ends = 0;
    for (qsizetype index = text.size() - 1; index >= 0; --index) {
        if (isLineBreak(text.at(index)) && ++ends > maxLines) {
            start = index + 1;
            break;
        }
    }
    if (text.size() - start > maxCharacters) {
        // Only the newest maxCharacters characters can stay; whole lines before the line that
        // holds the cut go in any case.
        qsizetype cut = text.size() - maxCharacters;
        qsizetype lineStart = cut;
        while (lineStart > start && !isLineBreak(text.at(lineStart - 1)))
            --lineStart;
        start = lineStart;
    }
    if (start > 0) {
        firstPiece += qint64(pieces.size());
        pieces.clear();
        pieces.emplace_back();
        lineEnds = 0;
        modelLength = 0;
        layouts.clear();
        clampSpots();
    }

    forgetLayout(lastPiece());
    qsizetype index = start;
    while (index < text.size()) {
        Piece *back = &pieces.back();
        if (back->raw.size() >= longestShownBlock
            && !(back->raw.back().isHighSurrogate() && text.at(index).isLowSurrogate())) {
            pieces.emplace_back();
            back = &pieces.back();
        }
        const qsizetype room = longestShownBlock - back->raw.size();
        qsizetype end = index;
        const qsizetype limit = std::min(text.size(), index + std::max<qsizetype>(room, 1));
        bool broke = false;
        while (end < limit) {
            if (isLineBreak(text.at(end++))) {
                broke = true;
                break;
            }
        }
        back->raw.append(text.mid(index, end - index));
        index = end;
        if (broke) {
            back->lineEnd = true;
            ++lineEnds;
            pieces.emplace_back();
        }
    }
    modelLength += int(text.size() - start);
    trimToCapacity();
}

int LogBox::lineCount() const
{
    return lineEnds + (pieces.back().raw.isEmpty() ? 0 : 1);
}

void LogBox::trimToCapacity()
{
    const qint64 firstBefore = firstPiece;
    while (lineCount() > maxLines) {
        while (!pieces.front().lineEnd)
            dropFront();
        dropFront();
    }
    while (modelLength > maxCharacters && lineCount() > 1) {
        while (!pieces.front().lineEnd)
            dropFront();
        dropFront();
    }
    if (modelLength > maxCharacters)
        cutFront(modelLength - maxCharacters);
    if (firstPiece != firstBefore)
        clampSpots();
}

void LogBox::dropFront()
{
    Piece &front = pieces.front();
    modelLength -= int(front.raw.size());
    if (front.lineEnd)
        --lineEnds;
    forgetLayout(firstPiece);
    pieces.pop_front();
    ++firstPiece;
    if (pieces.empty())
        pieces.emplace_back();
}

void LogBox::cutFront(int count)
{
    // Only one line is left here, and it is longer than the limit.
    while (pieces.size() > 1 && pieces.front().raw.size() <= count) {
        count -= int(pieces.front().raw.size());
        dropFront();
    }
    QString &front = pieces.front().raw;
    // Never leave half of a surrogate pair behind.
    if (count < front.size() && front.at(count).isLowSurrogate())
        ++count;
    const int shownCut = count - int(QStringView(front).left(count).count(carriageReturn));
    front.remove(0, count);
    modelLength -= count;
    forgetLayout(firstPiece);
    for (Spot *spot : {&caret, &anchor}) {
        if (spot->piece == firstPiece)
            spot->offset = std::max(0, spot->offset - shownCut);
    }
    clampSpots();
}

void LogBox::clampSpots()
{
    for (Spot *spot : {&caret, &anchor}) {
        if (spot->piece < firstPiece)
            *spot = Spot{firstPiece, 0};
    }
    if (top.piece < firstPiece)
        top = Row{firstPiece, 0};
}

QString LogBox::shownOf(qint64 piece) const
{
    const Piece &kept = pieceAt(piece);
    QStringView raw = kept.raw;
    if (kept.lineEnd)
        raw.chop(1);
    QString shown;
    shown.reserve(raw.size());
    for (const QChar character : raw) {
        if (character != carriageReturn)
            shown.append(character);
    }
    return shown;
}

LogBox::Spot LogBox::spotOfLogPosition(int position) const
{
    // Walks from the nearer end, so that the usual caret at (or near) the end costs little.
    auto spotIn = [this](qint64 piece, int rawOffset) {
        const Piece &kept = pieceAt(piece);
        rawOffset = std::min<int>(rawOffset, int(kept.raw.size()) - (kept.lineEnd ? 1 : 0));
        const QStringView before = QStringView(kept.raw).left(rawOffset);
        return Spot{piece, int(before.size() - before.count(carriageReturn))};
    };
    if (position >= modelLength)
        return spotIn(lastPiece(), int(pieces.back().raw.size()));
    if (position <= modelLength / 2) {
        int remaining = position;
        for (qint64 piece = firstPiece;; ++piece) {
            const int size = int(pieceAt(piece).raw.size());
            if (remaining < size)
                return spotIn(piece, remaining);
            remaining -= size;
        }
    }
    int start = modelLength;
    for (qint64 piece = lastPiece();; --piece) {
        start -= int(pieceAt(piece).raw.size());
        if (start <= position)
            return spotIn(piece, position - start);
    }
}

QString LogBox::toPlainText() const
{
    QString text;
    for (qint64 piece = firstPiece; piece <= lastPiece(); ++piece) {
        text += shownOf(piece);
        if (pieceAt(piece).lineEnd)
            text += u'\n';
    }
    return text;
}

int LogBox::caretPosition() const
{
    int position = caret.offset;
    for (qint64 piece = firstPiece; piece < caret.piece; ++piece)
        position += int(shownOf(piece).size()) + (pieceAt(piece).lineEnd ? 1 : 0);
    return position;
}

QString LogBox::selectedText() const
{
    const Spot from = std::min(caret, anchor);
    const Spot to = std::max(caret, anchor);
    QString text;
    for (qint64 piece = from.piece; piece <= to.piece; ++piece) {
        const QString shown = shownOf(piece);
        const int start = piece == from.piece ? from.offset : 0;
        const int end = piece == to.piece ? to.offset : int(shown.size());
        text += QStringView(shown).mid(start, end - start);
        if (piece < to.piece && pieceAt(piece).lineEnd)
            text += u'\n';
    }
    return text;
}

void LogBox::copy()
{
    const QString text = selectedText();
    if (!text.isEmpty())
        QApplication::clipboard()->setText(text);
}

void LogBox::selectAll()
{
    anchor = Spot{firstPiece, 0};
    caret = Spot{lastPiece(), int(shownOf(lastPiece()).size())};
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
    if (caretPending) {
        caretPending = false;
        ensureCaretVisible();
    }
    updateScrollBar();
    viewport()->update();
    emit refreshed();
}

void LogBox::forgetLayout(qint64 piece)
{
    layouts.erase(piece);
}

int LogBox::textWidth() const
{
    return std::max(1, viewport()->width() - 2 * margin);
}

QTextLayout *LogBox::layoutOf(qint64 piece)
{
    if (layoutWidth != textWidth()) {
        layouts.clear();
        layoutWidth = textWidth();
    }
    std::unique_ptr<QTextLayout> &slot = layouts[piece];
    if (!slot) {
        slot = std::make_unique<QTextLayout>(shownOf(piece), font(), viewport());
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        slot->setTextOption(option);
        slot->setCacheEnabled(true);
        slot->beginLayout();
        qreal y = 0;
        for (QTextLine line = slot->createLine(); line.isValid(); line = slot->createLine()) {
            line.setLineWidth(layoutWidth);
            line.setPosition(QPointF(0, y));
            y += line.height();
        }
        slot->endLayout();
    }
    return slot.get();
}

LogBox::Row LogBox::lastRow()
{
    return Row{lastPiece(), layoutOf(lastPiece())->lineCount() - 1};
}

LogBox::Row LogBox::topForBottom(Row bottom)
{
    // The highest row from which the rows down to bottom still fit on screen.
    const qreal height = viewport()->height() - 2 * margin;
    qreal used = 0;
    Row row = bottom;
    for (;;) {
        QTextLayout *layout = layoutOf(row.piece);
        const qreal lineHeight = layout->lineAt(row.line).height();
        if (used + lineHeight > height && (row.piece != bottom.piece || row.line != bottom.line))
            return row.line + 1 < layout->lineCount() ? Row{row.piece, row.line + 1}
                                                      : Row{row.piece + 1, 0};
        used += lineHeight;
        if (row.line > 0) {
            --row.line;
        } else if (row.piece > firstPiece) {
            --row.piece;
            row.line = layoutOf(row.piece)->lineCount() - 1;
        } else {
            return row;
        }
    }
}

LogBox::Row LogBox::currentTop()
{
    if (following)
        return topForBottom(lastRow());
    top.line = std::min(top.line, layoutOf(top.piece)->lineCount() - 1);
    return top;
}

void LogBox::setTop(Row row)
{
    const Row end = topForBottom(lastRow());
    following = !(row.piece < end.piece || (row.piece == end.piece && row.line < end.line));
    top = following ? end : row;
    userReading = !following;
    updateScrollBar();
    viewport()->update();
}

void LogBox::scrollRows(int rows)
{
    Row row = currentTop();
    while (rows < 0) {
        if (row.line > 0) {
            --row.line;
        } else if (row.piece > firstPiece) {
            --row.piece;
            row.line = layoutOf(row.piece)->lineCount() - 1;
        } else {
            break;
        }
        ++rows;
    }
    while (rows > 0 && row.piece <= lastPiece()) {
        if (row.line + 1 < layoutOf(row.piece)->lineCount()) {
            ++row.line;
        } else if (row.piece < lastPiece()) {
            ++row.piece;
            row.line = 0;
        } else {
            break;
        }
        --rows;
    }
    setTop(row);
}

void LogBox::updateScrollBar()
{
    // The scroll bar counts pieces: its range follows the kept log without laying it out.
    const Row end = topForBottom(lastRow());
    const Row shown = following ? end : top;
    QScrollBar *bar = verticalScrollBar();
    updatingScrollBar = true;
    bar->setRange(0, int(end.piece - firstPiece) + (end.line > 0 ? 1 : 0));
    bar->setPageStep(std::max(1, viewport()->height() / std::max(1, fontMetrics().height())));
    bar->setSingleStep(1);
    bar->setValue(following ? bar->maximum() : int(shown.piece - firstPiece));
    updatingScrollBar = false;
}

void LogBox::onScrollBarMoved(int value)
{
    if (updatingScrollBar)
        return;
    QScrollBar *bar = verticalScrollBar();
    if (value >= bar->maximum()) {
        following = true;
        userReading = false;
        viewport()->update();
        return;
    }
    following = false;
    userReading = true;
    top = Row{firstPiece + value, 0};
    viewport()->update();
}

void LogBox::ensureCaretVisible()
{
    QTextLayout *layout = layoutOf(caret.piece);
    const Row caretRow{caret.piece, layout->lineForTextPosition(caret.offset).lineNumber()};
    const Row end = topForBottom(lastRow());
    if (caretRow.piece > end.piece || (caretRow.piece == end.piece && caretRow.line >= end.line)) {
        following = true;
        return;
    }
    const Row from = currentTop();
    if (caretRow.piece < from.piece
        || (caretRow.piece == from.piece && caretRow.line < from.line)) {
        following = false;
        top = caretRow;
        return;
    }
    const Row lowestTop = topForBottom(caretRow);
    if (from.piece < lowestTop.piece
        || (from.piece == lowestTop.piece && from.line < lowestTop.line)) {
        following = false;
        top = lowestTop;
    }
}

void LogBox::paintEvent(QPaintEvent *)
{
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Text));
    const Row first = currentTop();
    const Spot from = std::min(caret, anchor);
    const Spot to = std::max(caret, anchor);
    QTextCharFormat selectedFormat;
    selectedFormat.setBackground(palette().brush(QPalette::Highlight));
    selectedFormat.setForeground(palette().brush(QPalette::HighlightedText));

    qreal y = margin - layoutOf(first.piece)->lineAt(first.line).y();
    const qreal bottom = viewport()->height();
    qint64 piece = first.piece;
    for (; piece <= lastPiece() && y < bottom; ++piece) {
        QTextLayout *layout = layoutOf(piece);
        QVector<QTextLayout::FormatRange> selections;
        if (from != to && piece >= from.piece && piece <= to.piece) {
            const int start = piece == from.piece ? from.offset : 0;
            const int end = piece == to.piece ? to.offset : int(layout->text().size());
            if (end > start)
                selections.push_back({start, end - start, selectedFormat});
        }
        const QPointF position(margin, y);
        layout->draw(&painter, position, selections);
        if (piece == caret.piece && hasFocus() && caretShown)
            layout->drawCursor(&painter, position, caret.offset);
        y += layout->boundingRect().height();
    }
    // Only what was just on screen and the end of the log stay laid out.
    if (layouts.size() > size_t(4 * (piece - first.piece) + 64)) {
        const Row end = topForBottom(lastRow());
        for (auto entry = layouts.begin(); entry != layouts.end();) {
            const bool keep = (entry->first >= first.piece && entry->first < piece)
                    || entry->first >= end.piece || entry->first == caret.piece;
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
        layouts.clear();
        updateScrollBar();
        viewport()->update();
    }
}

LogBox::Spot LogBox::spotAt(const QPoint &point)
{
    const Row first = currentTop();
    qreal y = margin - layoutOf(first.piece)->lineAt(first.line).y();
    for (qint64 piece = first.piece; piece <= lastPiece(); ++piece) {
        QTextLayout *layout = layoutOf(piece);
        const qreal height = layout->boundingRect().height();
        if (point.y() < y + height || piece == lastPiece()) {
            const qreal inside = std::clamp<qreal>(point.y() - y, 0, height - 1);
            for (int line = 0; line < layout->lineCount(); ++line) {
                const QTextLine row = layout->lineAt(line);
                if (inside < row.y() + row.height() || line == layout->lineCount() - 1)
                    return Spot{piece, row.xToCursor(point.x() - margin)};
            }
        }
        y += height;
    }
    return caret;
}

void LogBox::moveCaret(Spot to, bool keepAnchor)
{
    caret = to;
    if (!keepAnchor)
        anchor = to;
    caretShown = true;
    ensureCaretVisible();
    userReading = !following;
    updateScrollBar();
    viewport()->update();
}

LogBox::Spot LogBox::stepVertically(Spot from, int rows)
{
    QTextLayout *layout = layoutOf(from.piece);
    QTextLine line = layout->lineForTextPosition(from.offset);
    if (desiredX < 0)
        desiredX = line.cursorToX(from.offset);
    Row row{from.piece, line.lineNumber()};
    for (; rows < 0; ++rows) {
        if (row.line > 0)
            --row.line;
        else if (row.piece > firstPiece)
            row = Row{row.piece - 1, layoutOf(row.piece - 1)->lineCount() - 1};
        else
            return Spot{firstPiece, 0};
    }
    for (; rows > 0; --rows) {
        if (row.line + 1 < layoutOf(row.piece)->lineCount())
            ++row.line;
        else if (row.piece < lastPiece())
            row = Row{row.piece + 1, 0};
        else
            return Spot{lastPiece(), int(layoutOf(lastPiece())->text().size())};
    }
    return Spot{row.piece, layoutOf(row.piece)->lineAt(row.line).xToCursor(desiredX)};
}

void LogBox::keyPressEvent(QKeyEvent *event)
{
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
    const int pageRows =
            std::max(1, viewport()->height() / std::max(1, fontMetrics().height()) - 1);
    QTextLayout *layout = layoutOf(caret.piece);
    Spot to = caret;
    switch (event->key()) {
    case Qt::Key_Left:
        if (caret.offset > 0)
            to.offset = layout->previousCursorPosition(caret.offset);
        else if (caret.piece > firstPiece)
            to = Spot{caret.piece - 1, int(layoutOf(caret.piece - 1)->text().size())};
        break;
    case Qt::Key_Right:
        if (caret.offset < layout->text().size())
            to.offset = layout->nextCursorPosition(caret.offset);
        else if (caret.piece < lastPiece())
            to = Spot{caret.piece + 1, 0};
        break;
    case Qt::Key_Up:
        to = stepVertically(caret, -1);
        break;
    case Qt::Key_Down:
        to = stepVertically(caret, 1);
        break;
    case Qt::Key_PageUp:
        to = stepVertically(caret, -pageRows);
        break;
    case Qt::Key_PageDown:
        to = stepVertically(caret, pageRows);
        break;
    case Qt::Key_Home:
        to = control ? Spot{firstPiece, 0}
                     : Spot{caret.piece, layout->lineForTextPosition(caret.offset).textStart()};
        break;
    case Qt::Key_End:
        if (control) {
            to = Spot{lastPiece(), int(layoutOf(lastPiece())->text().size())};
        } else {
            const QTextLine line = layout->lineForTextPosition(caret.offset);
            to = Spot{caret.piece, line.textStart() + line.textLength()};
            if (line.lineNumber() + 1 < layout->lineCount() && to.offset > line.textStart())
                to.offset = layout->previousCursorPosition(to.offset);
        }
        break;
    default:
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    if (event->key() != Qt::Key_Up && event->key() != Qt::Key_Down && event->key() != Qt::Key_PageUp
        && event->key() != Qt::Key_PageDown)
        desiredX = -1;
    moveCaret(to, extend);
}

void LogBox::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    desiredX = -1;
    moveCaret(spotAt(event->position().toPoint()), event->modifiers() & Qt::ShiftModifier);
}

void LogBox::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    const QPoint point = event->position().toPoint();
    // Dragging past the top or bottom edge scrolls on.
    if (point.y() < 0)
        scrollRows(-1);
    else if (point.y() >= viewport()->height())
        scrollRows(1);
    caret = spotAt(point);
    viewport()->update();
}

void LogBox::mouseReleaseEvent(QMouseEvent *event)
{
    event->setAccepted(event->button() == Qt::LeftButton);
}

void LogBox::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const Spot at = spotAt(event->position().toPoint());
    const QString text = layoutOf(at.piece)->text();
    QTextBoundaryFinder words(QTextBoundaryFinder::Word, text);
    words.setPosition(at.offset);
    const int start = words.isAtBoundary() && at.offset < text.size()
            ? at.offset
            : int(std::max<qsizetype>(0, words.toPreviousBoundary()));
    words.setPosition(start);
    const int end = int(std::max<qsizetype>(start, words.toNextBoundary()));
    anchor = Spot{at.piece, start};
    caret = Spot{at.piece, end};
    viewport()->update();
}

void LogBox::wheelEvent(QWheelEvent *event)
{
    const int steps = event->angleDelta().y() / 40; // three rows a notch
    if (steps != 0)
        scrollRows(-steps);
    event->accept();
}

void LogBox::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu menu(this);
    QAction *copyAction = menu.addAction(QCoreApplication::translate("QWidgetTextControl", "&Copy"),
                                         this, &LogBox::copy);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setEnabled(caret != anchor);
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
    if (event->timerId() != blinkTimer) {
        QAbstractScrollArea::timerEvent(event);
        return;
    }
    caretShown = !caretShown;
    viewport()->update();
}

#include "moc_LogBox.cpp"
