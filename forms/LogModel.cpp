#include "forms/LogModel.h"

#include <algorithm>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

const QChar carriageReturn = u'\r';

// Every character that Qt's text views show as the start of a new line: LF, VT, FF, NEL, the
// line and paragraph separators and the two non-characters that QTextDocument takes as block
// ends.
bool isLineBreak(QChar character)
{
    const char16_t code = character.unicode();
    if (code > 0x0c && code < 0x85)
        return false;
    return code == 0x0a || code == 0x0b || code == 0x0c || code == 0x85 || code == 0x2028
            || code == 0x2029 || code == 0xfdd0 || code == 0xfdd1;
}

#ifdef __SSE2__
// The lanes that hold a CR or a line break.
__m128i breaksOrReturns(__m128i chunk)
{
    const __m128i firstControl = _mm_set1_epi16(0x0a); // LF, VT, FF and CR lie in 0x0a..0x0d
    const __m128i controlSpan = _mm_set1_epi16(3);
    const __m128i nextLine = _mm_set1_epi16(short(0x85));
    const __m128i pairMask = _mm_set1_epi16(short(0xfffe)); // each pair differs in the last bit
    const __m128i separators = _mm_set1_epi16(0x2028);
    const __m128i blockEnds = _mm_set1_epi16(short(0xfdd0));
    const __m128i paired = _mm_and_si128(chunk, pairMask);
    const __m128i control = _mm_cmpeq_epi16(
            _mm_subs_epu16(_mm_sub_epi16(chunk, firstControl), controlSpan), _mm_setzero_si128());
    return _mm_or_si128(
            _mm_or_si128(control, _mm_cmpeq_epi16(chunk, nextLine)),
            _mm_or_si128(_mm_cmpeq_epi16(paired, separators), _mm_cmpeq_epi16(paired, blockEnds)));
}

// Whether all 32 characters lie from U+000E to U+0084: none of them is a line end or a CR, and
// each fits in one byte. Most chat text is printable ASCII, and checking this first halved the
// time of the look for line ends (signed, so anything from U+8000 up falls below the range).
bool plainCharacters(__m128i first, __m128i second, __m128i third, __m128i fourth)
{
    const __m128i lowest =
            _mm_min_epi16(_mm_min_epi16(first, second), _mm_min_epi16(third, fourth));
    const __m128i highest =
            _mm_max_epi16(_mm_max_epi16(first, second), _mm_max_epi16(third, fourth));
    const __m128i plain = _mm_and_si128(_mm_cmpgt_epi16(lowest, _mm_set1_epi16(0x0d)),
                                        _mm_cmplt_epi16(highest, _mm_set1_epi16(short(0x85))));
    return _mm_movemask_epi8(plain) == 0xffff;
}

__m128i load(const char16_t *data, qsizetype at)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + at));
}

void store(void *out, __m128i value)
{
    _mm_storeu_si128(static_cast<__m128i *>(out), value);
}
#endif

// The first position in [from, to) that holds a CR or a line break, else `to`, with the
// characters up to it, that one included, copied to `out` (out[0] for data[from]) on the way; a
// few after it may be written too. Most texts hold neither for dozens of characters, and looking
// at every character on its own was a fifth of the server window's time under a flood of 1 KiB
// texts: with SSE2, several are looked at and copied together.
qsizetype copyToBreakOrReturn(const char16_t *data, qsizetype from, qsizetype to, char16_t *out)
{
#ifdef __SSE2__
    for (; from + 32 <= to; from += 32, out += 32) {
        const __m128i first = load(data, from), second = load(data, from + 8);
        const __m128i third = load(data, from + 16), fourth = load(data, from + 24);
        store(out, first);
        store(out + 8, second);
        store(out + 16, third);
        store(out + 24, fourth);
        if (!plainCharacters(first, second, third, fourth))
            break;
    }
    for (; from + 8 <= to; from += 8, out += 8) {
        const __m128i chunk = load(data, from);
        store(out, chunk);
        if (_mm_movemask_epi8(breaksOrReturns(chunk)) != 0)
            break;
    }
#endif
    for (; from < to; ++from) {
        const QChar character(data[from]);
        *out++ = character.unicode();
        if (character == carriageReturn || isLineBreak(character))
            return from;
    }
    return to;
}

// The same, one byte a character; it stops with `wide` set at the first character past U+00FF,
// which is not written.
qsizetype copyNarrowToBreakOrReturn(const char16_t *data, qsizetype from, qsizetype to, char *out,
                                    bool &wide)
{
#ifdef __SSE2__
    for (; from + 32 <= to; from += 32, out += 32) {
        const __m128i first = load(data, from), second = load(data, from + 8);
        const __m128i third = load(data, from + 16), fourth = load(data, from + 24);
        if (!plainCharacters(first, second, third, fourth))
            break;
        store(out, _mm_packus_epi16(first, second));
        store(out + 16, _mm_packus_epi16(third, fourth));
    }
    for (; from + 8 <= to; from += 8, out += 8) {
        const __m128i chunk = load(data, from);
        const __m128i oneByte = _mm_cmpeq_epi16(_mm_srli_epi16(chunk, 8), _mm_setzero_si128());
        if (_mm_movemask_epi8(breaksOrReturns(chunk)) != 0 || _mm_movemask_epi8(oneByte) != 0xffff)
            break;
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out), _mm_packus_epi16(chunk, chunk));
    }
#endif
    for (; from < to; ++from) {
        const char16_t code = data[from];
        if (code > 0xff) {
            wide = true;
            return from;
        }
        *out++ = char(code);
        if (code == carriageReturn || isLineBreak(QChar(code)))
            return from;
    }
    return to;
}

} // namespace

LogModel::LogModel()
{
    blocks.emplace_back().reserve(blockBytes);
    startPiece();
}

void LogModel::setCapacity(int lines, int characters)
{
    Q_ASSERT(lines >= 1 && characters >= 2);
    lineLimit = lines;
    characterLimit = characters;
}

void LogModel::setText(QStringView text)
{
    reset();
    addText(text);
}

void LogModel::append(QStringView text)
{
    if (!text.isEmpty())
        addText(text);
}

void LogModel::reset()
{
    // Piece numbers go on counting, so nothing that a view cached under a number can be taken
    // for the new text.
    first = lastPiece() + 1;
    pieces.clear();
    blocks.clear();
    firstBlock = 0;
    blocks.emplace_back().reserve(blockBytes);
    startPiece();
    lineEnds = 0;
    textsInLine = 0;
    characterCount = 0;
    ++cuts;
    clampPlaces();
}

void LogModel::addText(QStringView text)
{
    // A text with more line ends than the log keeps pushes out everything before its newest
    // lines: skip that part rather than storing and dropping it line by line.
    // (A text no longer than the line limit cannot hold more line ends than it.)
    qsizetype start = 0;
    int ends = 0;
    for (qsizetype index = text.size() - 1; text.size() > lineLimit && index >= 0; --index) {
        if (isLineBreak(text.at(index)) && ++ends > lineLimit) {
            start = index + 1;
            break;
        }
    }
    if (text.size() - start > characterLimit) {
        // Only the newest characterLimit characters can stay; whole lines before the line that
        // holds the cut go in any case.
        const qsizetype cut = text.size() - characterLimit;
        qsizetype lineStart = cut;
        while (lineStart > start && !isLineBreak(text.at(lineStart - 1)))
            --lineStart;
        start = lineStart;
    }
    if (start > 0)
        reset();
    if (pieces.back().size > 0 && textsInLine < textsPerLine)
        startPiece();
    ++textsInLine;
    const char16_t *const data = text.utf16();

    qsizetype index = start;
    while (index < text.size()) {
        Piece *back = &pieces.back();
        if (back->size >= longestPiece
            && !(charAt(*back, back->size - 1).isHighSurrogate()
                 && text.at(index).isLowSurrogate())) {
            startPiece();
            back = &pieces.back();
        }
        const qsizetype room = longestPiece - back->size;
        const qsizetype limit = std::min(text.size(), index + std::max<qsizetype>(room, 1));
        qsizetype end = index;
        bool broke = false;
        int hidden = 0; // CRs and the line break, in the same pass
        // Copied straight into the block (its room is reserved, so it never moves) while the
        // line end is looked for; what lies past the end found is cut off again. A piece turns
        // to two bytes a character at its first character past U+00FF.
        for (;;) {
            const int width = back->wide ? 2 : 1;
            reserveTail((limit - end) * width);
            QByteArray &block = blocks.back();
            const qsizetype blockSize = block.size();
            block.resize(blockSize + (limit - end) * width);
            char *const out = block.data() + blockSize;
            const qsizetype from = end;
            bool wide = false;
            for (;;) {
                end = back->wide
                        ? copyToBreakOrReturn(data, end, limit,
                                              reinterpret_cast<char16_t *>(out) + (end - from))
                        : copyNarrowToBreakOrReturn(data, end, limit, out + (end - from), wide);
                if (wide || end >= limit)
                    break;
                ++hidden;
                if (data[end++] != carriageReturn) {
                    broke = true;
                    break;
                }
            }
            block.resize(blockSize + (end - from) * width);
            back->size += int(end - from);
            if (!wide)
                break;
            widenTail();
        }
        back->shownSize += int(end - index) - hidden;
        index = end;
        if (broke) {
            back->lineEnd = true;
            ++lineEnds;
            textsInLine = 0;
            startPiece();
        }
    }
    characterCount += int(text.size() - start);
    trimToCapacity();
}

void LogModel::startPiece()
{
    Piece piece;
    piece.block = firstBlock + qint64(blocks.size()) - 1;
    piece.offset = int(blocks.back().size());
    pieces.push_back(piece);
}

void LogModel::reserveTail(qsizetype bytes)
{
    if (blocks.back().size() + bytes <= blockBytes)
        return;
    // The growing piece moves along: it has to stay at the end of the newest block. The old
    // block stays where it is (a deque does not move its elements), so the copy reads from it.
    Piece &growing = pieces.back();
    const char *kept = bytesOf(growing);
    QByteArray &fresh = blocks.emplace_back();
    fresh.reserve(blockBytes);
    fresh.append(kept, qsizetype(growing.size) * (growing.wide ? 2 : 1));
    growing.block = firstBlock + qint64(blocks.size()) - 1;
    growing.offset = 0;
    dropUnusedBlocks();
}

void LogModel::widenTail()
{
    // In place, from the last character back, so that no byte is overwritten before it is read
    // and no one-byte copy stays behind; from an even place on.
    reserveTail(qsizetype(pieces.back().size) + 1);
    Piece &growing = pieces.back();
    QByteArray &block = blocks.back();
    const qsizetype offset = growing.offset + (growing.offset & 1);
    block.resize(offset + 2 * qsizetype(growing.size));
    char *const bytes = block.data();
    const auto *narrow = reinterpret_cast<const uchar *>(bytes + growing.offset);
    auto *wide = reinterpret_cast<char16_t *>(bytes + offset);
    for (int index = growing.size - 1; index >= 0; --index)
        wide[index] = narrow[index];
    growing.offset = int(offset);
    growing.wide = true;
}

QChar LogModel::charAt(const Piece &piece, int index) const
{
    const char *bytes = bytesOf(piece);
    if (piece.wide)
        return QChar(reinterpret_cast<const char16_t *>(bytes)[index]);
    return QChar(uchar(bytes[index]));
}

int LogModel::returnsIn(const Piece &piece, int count) const
{
    const char *bytes = bytesOf(piece);
    if (piece.wide)
        return int(QStringView(reinterpret_cast<const char16_t *>(bytes), count)
                           .count(carriageReturn));
    return int(std::count(bytes, bytes + count, '\r'));
}

void LogModel::appendTo(QString &text, const Piece &piece, int from, int count) const
{
    const char *bytes = bytesOf(piece);
    if (piece.wide)
        text.append(QStringView(reinterpret_cast<const char16_t *>(bytes) + from, count));
    else
        text.append(QLatin1String(bytes + from, count));
}

void LogModel::dropUnusedBlocks()
{
    while (firstBlock < pieces.front().block) {
        blocks.pop_front();
        ++firstBlock;
    }
}

int LogModel::lineCount() const
{
    return lineEnds + (pieces.back().size == 0 ? 0 : 1);
}

void LogModel::trimToCapacity()
{
    const qint64 firstBefore = first;
    while (lineCount() > lineLimit) {
        while (!pieces.front().lineEnd)
            dropFront();
        dropFront();
    }
    while (characterCount > characterLimit && lineCount() > 1) {
        while (!pieces.front().lineEnd)
            dropFront();
        dropFront();
    }
    if (characterCount > characterLimit)
        cutFront(characterCount - characterLimit);
    if (first != firstBefore)
        clampPlaces();
}

void LogModel::dropFront()
{
    const Piece &front = pieces.front();
    characterCount -= front.size;
    if (front.lineEnd)
        --lineEnds;
    pieces.pop_front();
    ++first;
    if (pieces.empty())
        startPiece();
    dropUnusedBlocks();
}

void LogModel::cutFront(int count)
{
    // Only one line is left here, and it is longer than the limit.
    while (pieces.size() > 1 && pieces.front().size <= count) {
        count -= pieces.front().size;
        dropFront();
    }
    Piece &front = pieces.front();
    // Never leave half of a surrogate pair behind.
    if (count < front.size && charAt(front, count).isLowSurrogate())
        ++count;
    const int shownCut = count - returnsIn(front, count);
    front.offset += count * (front.wide ? 2 : 1);
    front.size -= count;
    front.shownSize -= shownCut;
    characterCount -= count;
    ++cuts;
    for (LogSpot &spot : places) {
        if (spot.piece == first)
            spot.offset = std::max(0, spot.offset - shownCut);
    }
    clampPlaces();
}

void LogModel::clampPlaces()
{
    for (LogSpot &spot : places)
        spot = clamp(spot);
}

LogSpot LogModel::clamp(LogSpot spot) const
{
    if (spot.piece < first)
        return start();
    if (spot.piece > lastPiece())
        return end();
    spot.offset = std::clamp(spot.offset, 0, shownSize(spot.piece));
    return spot;
}

QString LogModel::text() const
{
    QString all;
    all.reserve(characterCount);
    for (const Piece &piece : pieces)
        appendTo(all, piece, 0, piece.size);
    return all;
}

qsizetype LogModel::heldBytes() const
{
    qsizetype held = 0;
    for (const QByteArray &block : blocks)
        held += block.capacity();
    return held;
}

QString LogModel::shown(qint64 piece) const
{
    const Piece &kept = at(piece);
    const int count = kept.size - (kept.lineEnd ? 1 : 0);
    QString text;
    text.reserve(count);
    appendTo(text, kept, 0, count);
    if (kept.shownSize != count)
        text.remove(carriageReturn);
    return text;
}

LogSpot LogModel::spotOfLogPosition(int position) const
{
    // Walks from the nearer end, so that the usual caret at (or near) the end costs little.
    auto spotIn = [this](qint64 piece, int rawOffset) {
        const Piece &kept = at(piece);
        rawOffset = std::min(rawOffset, kept.size - (kept.lineEnd ? 1 : 0));
        return LogSpot{piece, rawOffset - returnsIn(kept, rawOffset)};
    };
    position = std::clamp(position, 0, characterCount);
    if (position == characterCount)
        return end();
    if (position <= characterCount / 2) {
        int remaining = position;
        for (qint64 piece = first;; ++piece) {
            const int size = at(piece).size;
            if (remaining < size)
                return spotIn(piece, remaining);
            remaining -= size;
        }
    }
    int pieceStart = characterCount;
    for (qint64 piece = lastPiece();; --piece) {
        pieceStart -= at(piece).size;
        if (pieceStart <= position)
            return spotIn(piece, position - pieceStart);
    }
}

int LogModel::shownPosition(LogSpot spot) const
{
    spot = clamp(spot);
    int position = spot.offset;
    for (qint64 piece = first; piece < spot.piece; ++piece)
        position += at(piece).shownSize + (at(piece).lineEnd ? 1 : 0);
    return position;
}

LogSpot LogModel::spotOfShownPosition(int position) const
{
    position = std::max(position, 0);
    for (qint64 piece = first; piece <= lastPiece(); ++piece) {
        const int size = at(piece).shownSize;
        if (position <= size)
            return LogSpot{piece, position};
        position -= size + (at(piece).lineEnd ? 1 : 0);
    }
    return end();
}

QString LogModel::shownText() const
{
    return shownBetween(start(), end());
}

QString LogModel::shownBetween(LogSpot from, LogSpot to) const
{
    from = clamp(from);
    to = clamp(to);
    if (to < from)
        std::swap(from, to);
    QString text;
    for (qint64 piece = from.piece; piece <= to.piece; ++piece) {
        const QString shownText = shown(piece);
        const int begin = piece == from.piece ? from.offset : 0;
        const int finish = piece == to.piece ? to.offset : int(shownText.size());
        text += QStringView(shownText).mid(begin, finish - begin);
        if (piece < to.piece && at(piece).lineEnd)
            text += u'\n';
    }
    return text;
}

qint64 LogModel::lineStartPiece(qint64 piece) const
{
    piece = std::clamp(piece, first, lastPiece());
    while (!startsLine(piece))
        --piece;
    return piece;
}

LogSpot LogModel::nextLineStart(qint64 piece) const
{
    piece = std::clamp(piece, first, lastPiece());
    while (piece < lastPiece() && !endsLine(piece))
        ++piece;
    return endsLine(piece) ? LogSpot{piece + 1, 0} : end();
}
