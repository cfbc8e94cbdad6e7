#include "forms/LogRows.h"

#include <QFontMetricsF>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

LogRows::LogRows(const LogModel &model)
    : model(model)
{}

LogRows::~LogRows() = default;

void LogRows::setFont(const QFont &newFont, QPaintDevice *newDevice)
{
    font = newFont;
    device = newDevice;
    layoutWidth = -1;
}

void LogRows::sync(int width)
{
    // Everything known of the pieces' rows follows the model here, before any use.
    if (width != layoutWidth) {
        layouts.clear();
        pieceRows.clear();
        totalRows = 0;
        rowsFirst = model.firstPiece();
        layoutWidth = width;
        averageCharacterWidth = std::max<qreal>(1, QFontMetricsF(font).averageCharWidth());
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

int LogRows::estimatedRows(qint64 piece) const
{
    const qreal width = model.shownSize(piece) * averageCharacterWidth;
    const int rows = int(std::ceil(width / layoutWidth));
    const bool ownRow = startsRow(piece);
    return ownRow ? std::max(1, rows) : rows;
}

void LogRows::setRows(qint64 piece, int rows, bool exact)
{
    PieceRows &entry = rowsOf(piece);
    totalRows += rows - entry.rows;
    entry.rows = rows;
    entry.exact = exact;
}

void LogRows::forgetPiece(qint64 piece)
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

bool LogRows::startsRow(qint64 piece) const
{
    return piece <= model.firstPiece() || model.startsLine(piece) || piece <= rowsFirst
            || pieceRows[size_t(piece - rowsFirst)].lineOffset / runCharacters
            != pieceRows[size_t(piece - 1 - rowsFirst)].lineOffset / runCharacters;
}

qreal LogRows::carryInOf(qint64 piece)
{
    // Known once the piece is laid out: what does not fit into the rest of a row starts one.
    if (startsRow(piece))
        return 0;
    if (!rowsOf(piece).carrySettled)
        layoutOf(piece);
    return rowsOf(piece).carryIn;
}

QTextLayout *LogRows::layoutOf(qint64 piece)
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
    auto layout = std::make_unique<QTextLayout>(model.shown(piece), font, device);
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

void LogRows::dropLayoutsExcept(qint64 first, qint64 last, qint64 endFrom, qint64 also)
{
    for (auto entry = layouts.begin(); entry != layouts.end();) {
        const bool keep = (entry->first >= first && entry->first <= last) || entry->first >= endFrom
                || entry->first == also;
        entry = keep ? std::next(entry) : layouts.erase(entry);
    }
}

int LogRows::firstOwnLine(qint64 piece)
{
    return carryInOf(piece) > 0 ? 1 : 0;
}

bool LogRows::nextRow(Row &row)
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

bool LogRows::previousRow(Row &row)
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

LogRows::Row LogRows::lastRow()
{
    for (qint64 piece = model.lastPiece();; --piece) {
        const int last = layoutOf(piece)->lineCount() - 1;
        if (last >= firstOwnLine(piece))
            return Row{piece, last};
    }
}

LogRows::Row LogRows::rowOf(LogSpot spot)
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

LogSpot LogRows::spotOfRow(Row row)
{
    return LogSpot{row.piece, layoutOf(row.piece)->lineAt(row.line).textStart()};
}

std::vector<LogRows::Segment> LogRows::segmentsOf(Row row)
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

qreal LogRows::rowHeight(Row row)
{
    return layoutOf(row.piece)->lineAt(row.line).height();
}

qint64 LogRows::rowsBefore(Row row)
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

LogRows::Row LogRows::rowAtIndex(qint64 index)
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

LogSpot LogRows::spotInRow(Row row, qreal x)
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

qreal LogRows::xOf(LogSpot spot)
{
    QTextLayout *layout = layoutOf(spot.piece);
    return layout->lineForTextPosition(spot.offset).cursorToX(spot.offset);
}

LogSpot LogRows::stepCharacter(LogSpot from, bool forward)
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

LogSpot LogRows::stepWord(LogSpot from, bool forward)
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

std::pair<LogSpot, LogSpot> LogRows::wordAt(LogSpot at)
{
    // Found by the standard text box's own cursor over the piece, so that double clicks and
    // Ctrl+Shift+Right agree on Japanese as they do there.
    QTextDocument piece(layoutOf(at.piece)->text());
    QTextCursor word(&piece);
    word.setPosition(at.offset);
    word.select(QTextCursor::WordUnderCursor);
    return {LogSpot{at.piece, word.selectionStart()}, LogSpot{at.piece, word.selectionEnd()}};
}
