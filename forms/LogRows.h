#pragma once

#include "forms/LogModel.h"

#include <QFont>

#include <deque>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

class QPaintDevice;
class QTextLayout;

// The rows that a log's text fills at a width, without a widget: which piece and layout line
// starts each row, how many rows lie before one, and the places on a row. The pieces of a long
// line flow into each other's rows as one text, up to piecesPerRun pieces' worth of characters;
// past that a row starts afresh, so that finding any row of a line of megabytes costs a bounded
// layout. Each piece is laid out alone, so no text can reorder the next on its line, whatever
// bidi controls it ends with.
//
// A piece that has not been laid out counts the rows its length would fill at an average
// character width, and its true count once it is laid out, as a standard text box counts lines
// it has not laid out yet. Pieces are laid out when asked for, and kept until dropped.
class LogRows
{
public:
    static constexpr int piecesPerRun = 4;
    static constexpr int runCharacters = piecesPerRun * LogModel::longestPiece;

    // A row: the piece whose layout line starts it, and that line. A line that carries on the
    // row of the piece before (the second part of a long line) is not a row of its own.
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
    // One part of a row: a layout line of some piece.
    struct Segment
    {
        qint64 piece = 0;
        int line = 0;
    };

    explicit LogRows(const LogModel &model);
    ~LogRows();

    // The font to lay out in, measured as on `device` (null: the screen); every row is counted
    // again at the next sync.
    void setFont(const QFont &font, QPaintDevice *device);
    // Catches up with the model and the width in pixels; before any other use once either
    // changed.
    void sync(int width);

    QTextLayout *layoutOf(qint64 piece);
    // How many pieces are laid out and cached right now.
    int laidOutCount() const { return int(layouts.size()); }
    // Lets go of every layout but those of the pieces from first to last, from endFrom on, and
    // of the piece `also`.
    void dropLayoutsExcept(qint64 first, qint64 last, qint64 endFrom, qint64 also);

    bool nextRow(Row &row);
    bool previousRow(Row &row);
    Row firstRow() const { return Row{model.firstPiece(), 0}; }
    Row lastRow();
    Row rowOf(LogSpot spot);
    LogSpot spotOfRow(Row row);
    // The layout lines that share the row, left to right.
    std::vector<Segment> segmentsOf(Row row);
    qreal rowHeight(Row row);
    // Rows before this one, counting pieces not yet laid out by their estimate.
    qint64 rowsBefore(Row row);
    Row rowAtIndex(qint64 index);

    // Places on a row: x is measured from the row's left edge.
    LogSpot spotInRow(Row row, qreal x);
    qreal xOf(LogSpot spot);
    LogSpot stepCharacter(LogSpot from, bool forward);
    LogSpot stepWord(LogSpot from, bool forward);
    // The word around a place, as the standard text box selects it on a double click.
    std::pair<LogSpot, LogSpot> wordAt(LogSpot at);

private:
    // What is known of a piece's layout: its rows (estimated until it is laid out) and where it
    // starts on the row that the piece before leaves open.
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

    PieceRows &rowsOf(qint64 piece) { return pieceRows[size_t(piece - rowsFirst)]; }
    int estimatedRows(qint64 piece) const;
    void setRows(qint64 piece, int rows, bool exact);
    void forgetPiece(qint64 piece);
    bool startsRow(qint64 piece) const;
    qreal carryInOf(qint64 piece);
    int firstOwnLine(qint64 piece);

    const LogModel &model;
    QFont font;
    QPaintDevice *device = nullptr;

    // What is known of each kept piece's rows, from rowsFirst on, and their sum.
    std::deque<PieceRows> pieceRows;
    qint64 rowsFirst = 0;
    qint64 totalRows = 0;
    qint64 cutsSeen = -1;
    // Layouts of the pieces that were on screen lately, at layoutWidth.
    std::unordered_map<qint64, std::unique_ptr<QTextLayout>> layouts;
    int layoutWidth = -1;
    qreal averageCharacterWidth = 1;
};
