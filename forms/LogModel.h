#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <deque>

// A place in the shown log: a piece (numbered since the model was made, never reused) and a
// character within the piece's shown text.
struct LogSpot
{
    qint64 piece = 0;
    int offset = 0;

    bool operator<(const LogSpot &other) const
    {
        return piece != other.piece ? piece < other.piece : offset < other.offset;
    }
    bool operator==(const LogSpot &other) const
    {
        return piece == other.piece && offset == other.offset;
    }
    bool operator!=(const LogSpot &other) const { return !(*this == other); }
    bool operator<=(const LogSpot &other) const { return !(other < *this); }
};

// The text of a chat window's log, without any widget: what was appended since the log was last
// set, CR LF and all, kept as a queue of lines (a line longer than longestPiece characters as
// several pieces), its newest lines and characters only, and the places that a view keeps in it.
//
// Every character that a text view shows as the start of a new line ends a line here, so none of
// them can grow the log past its limit; a lone CR is kept but not shown. The shown text of a
// piece leaves out its CRs and its line break.
//
// The kept places (caret, anchor, the first character of the top row) live here so that any
// trim or clear moves them along: a view reads them back and never holds a place of its own.
//
// Under a flood the log turns over its whole text many times a second, and what it costs is
// mostly the memory it writes and frees: the text is copied into large blocks that pieces point
// into, so that no line costs an allocation of its own, and a piece whose characters all lie
// below U+0100 (most chat text) takes one byte a character instead of two.
class LogModel
{
public:
    static constexpr int defaultMaxLines = 10000;
    static constexpr int defaultMaxCharacters = 4000000;
    // A line is laid out piece by piece, so no single layout grows with a peer's line length.
    static constexpr int longestPiece = 4096;
    // Each text starts a piece of its own, so that a view lays it out alone and no text can
    // reorder the next on its line; a line of more texts than this shares its last piece among
    // the rest, so that a flood of tiny texts without line ends costs no more than a long line.
    static constexpr int textsPerLine = 256;

    enum class Place { Caret, Anchor, Top };

    LogModel();

    // How much the log keeps; applies from the next append on.
    void setCapacity(int lines, int characters);
    int maxLines() const { return lineLimit; }
    int maxCharacters() const { return characterLimit; }

    void setText(QStringView text);
    void append(QStringView text);

    QString text() const;
    int length() const { return characterCount; }
    // The memory that holds the text, in bytes.
    qsizetype heldBytes() const;
    // Shown lines: every line end starts one more, so an empty log has one.
    int blockCount() const { return lineEnds + 1; }

    qint64 firstPiece() const { return first; }
    qint64 lastPiece() const { return first + qint64(pieces.size()) - 1; }
    bool endsLine(qint64 piece) const { return at(piece).lineEnd; }
    bool startsLine(qint64 piece) const { return piece == first || endsLine(piece - 1); }
    QString shown(qint64 piece) const;
    int shownSize(qint64 piece) const { return at(piece).shownSize; }
    // Raised whenever a piece's text changes other than by growing at its end, so that a view
    // knows its layouts from before are stale.
    qint64 frontCuts() const { return cuts; }

    LogSpot start() const { return LogSpot{first, 0}; }
    LogSpot end() const { return LogSpot{lastPiece(), shownSize(lastPiece())}; }
    LogSpot clamp(LogSpot spot) const;
    // A place in the log text (raw, CRs counted) as a place in the shown text.
    LogSpot spotOfLogPosition(int position) const;
    // The place as a position in shownText().
    int shownPosition(LogSpot spot) const;
    LogSpot spotOfShownPosition(int position) const;
    QString shownText() const;
    QString shownBetween(LogSpot from, LogSpot to) const;
    // The first piece of the line that holds the piece, and the place after the line's break
    // (or the end of the log).
    qint64 lineStartPiece(qint64 piece) const;
    LogSpot nextLineStart(qint64 piece) const;

    LogSpot place(Place which) const { return places[int(which)]; }
    void setPlace(Place which, LogSpot spot) { places[int(which)] = clamp(spot); }

private:
    // The log text as received: `size` characters from byte `offset` of a block, as Latin-1
    // (one byte each) or, once `wide`, as UTF-16 on an even offset; lineEnd when its last
    // character is a line break. The last piece never ends a line (it is the line being filled,
    // maybe empty) and always lies at the end of the newest block, so it grows in place.
    struct Piece
    {
        qint64 block = 0;
        int offset = 0;
        int size = 0;
        int shownSize = 0;
        bool lineEnd = false;
        bool wide = false;
    };
    // Room for many whole pieces, so that moving the growing piece to a new block copies little
    // next to what the block then takes.
    static constexpr int blockBytes = 32 * longestPiece;

    const Piece &at(qint64 piece) const { return pieces[size_t(piece - first)]; }
    const char *bytesOf(const Piece &piece) const
    {
        return blocks[size_t(piece.block - firstBlock)].constData() + piece.offset;
    }
    QChar charAt(const Piece &piece, int index) const;
    // How many of the piece's first `count` characters are CRs.
    int returnsIn(const Piece &piece, int count) const;
    void appendTo(QString &text, const Piece &piece, int from, int count) const;
    // Makes room for `bytes` more bytes at the end of the newest block.
    void reserveTail(qsizetype bytes);
    // Turns the growing piece into UTF-16.
    void widenTail();
    void startPiece();
    void dropUnusedBlocks();
    void reset();
    void addText(QStringView text);
    void trimToCapacity();
    int lineCount() const;
    void dropFront();
    void cutFront(int count);
    void clampPlaces();

    std::deque<Piece> pieces;
    std::deque<QByteArray> blocks;
    qint64 firstBlock = 0;
    qint64 first = 0;
    int lineEnds = 0;
    int textsInLine = 0; // texts begun in the last line
    int characterCount = 0;
    int lineLimit = defaultMaxLines;
    int characterLimit = defaultMaxCharacters;
    qint64 cuts = 0;
    LogSpot places[3];
};
