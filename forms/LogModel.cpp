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

// The first position in [from, to) that holds a CR or a line break, else `to`. Most texts hold
// neither for dozens of characters, and looking at every character on its own was a fifth of the
// server window's time under a flood of 1 KiB texts: with SSE2, eight are looked at together.
qsizetype nextBreakOrReturn(QStringView text, qsizetype from, qsizetype to)
{
    const char16_t *data = text.utf16();
#ifdef __SSE2__
    const __m128i firstControl = _mm_set1_epi16(0x0a); // LF, VT, FF and CR lie in 0x0a..0x0d
    const __m128i controlSpan = _mm_set1_epi16(3);
    const __m128i nextLine = _mm_set1_epi16(short(0x85));
    const __m128i pairMask = _mm_set1_epi16(short(0xfffe)); // each pair differs in the last bit
    const __m128i separators = _mm_set1_epi16(0x2028);
    const __m128i blockEnds = _mm_set1_epi16(short(0xfdd0));
    const __m128i zero = _mm_setzero_si128();
    for (; from + 8 <= to; from += 8) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + from));
        const __m128i paired = _mm_and_si128(chunk, pairMask);
        const __m128i control = _mm_cmpeq_epi16(
                _mm_subs_epu16(_mm_sub_epi16(chunk, firstControl), controlSpan), zero);
        const __m128i hits = _mm_or_si128(_mm_or_si128(control, _mm_cmpeq_epi16(chunk, nextLine)),
                                          _mm_or_si128(_mm_cmpeq_epi16(paired, separators),
                                                       _mm_cmpeq_epi16(paired, blockEnds)));
        if (_mm_movemask_epi8(hits) != 0)
            break;
    }
#endif
    for (; from < to; ++from) {
        const QChar character(data[from]);
        if (character == carriageReturn || isLineBreak(character))
            return from;
    }
    return to;
}

int shownCount(QStringView text)
{
    return int(text.size() - text.count(carriageReturn));
}

} // namespace

LogModel::LogModel()
{
    pieces.emplace_back();
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
    pieces.emplace_back();
    lineEnds = 0;
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

    qsizetype index = start;
    while (index < text.size()) {
        Piece *back = &pieces.back();
        if (back->raw.size() >= longestPiece
            && !(back->raw.back().isHighSurrogate() && text.at(index).isLowSurrogate())) {
            pieces.emplace_back();
            back = &pieces.back();
        }
        const qsizetype room = longestPiece - back->raw.size();
        qsizetype end = index;
        const qsizetype limit = std::min(text.size(), index + std::max<qsizetype>(room, 1));
        bool broke = false;
        int hidden = 0; // CRs and the line break, in the same pass
        while ((end = nextBreakOrReturn(text, end, limit)) < limit) {
            ++hidden;
            if (text.at(end++) != carriageReturn) {
                broke = true;
                break;
            }
        }
        back->raw.append(text.mid(index, end - index));
        back->shownSize += int(end - index) - hidden;
        index = end;
        if (broke) {
            back->lineEnd = true;
            ++lineEnds;
            pieces.emplace_back();
        }
    }
    characterCount += int(text.size() - start);
    trimToCapacity();
}

int LogModel::lineCount() const
{
    return lineEnds + (pieces.back().raw.isEmpty() ? 0 : 1);
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
    characterCount -= int(front.raw.size());
    if (front.lineEnd)
        --lineEnds;
    pieces.pop_front();
    ++first;
    if (pieces.empty())
        pieces.emplace_back();
}

void LogModel::cutFront(int count)
{
    // Only one line is left here, and it is longer than the limit.
    while (pieces.size() > 1 && pieces.front().raw.size() <= count) {
        count -= int(pieces.front().raw.size());
        dropFront();
    }
    Piece &front = pieces.front();
    // Never leave half of a surrogate pair behind.
    if (count < front.raw.size() && front.raw.at(count).isLowSurrogate())
        ++count;
    const int shownCut = shownCount(QStringView(front.raw).left(count));
    front.raw.remove(0, count);
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
        all += piece.raw;
    return all;
}

QString LogModel::shown(qint64 piece) const
{
    const Piece &kept = at(piece);
    QStringView raw = kept.raw;
    if (kept.lineEnd)
        raw.chop(1);
    if (!raw.contains(carriageReturn))
        return raw.toString();
    QString text;
    text.reserve(kept.shownSize);
    for (const QChar character : raw) {
        if (character != carriageReturn)
            text.append(character);
    }
    return text;
}

LogSpot LogModel::spotOfLogPosition(int position) const
{
    // Walks from the nearer end, so that the usual caret at (or near) the end costs little.
    auto spotIn = [this](qint64 piece, int rawOffset) {
        const Piece &kept = at(piece);
        rawOffset = std::min<int>(rawOffset, int(kept.raw.size()) - (kept.lineEnd ? 1 : 0));
        return LogSpot{piece, shownCount(QStringView(kept.raw).left(rawOffset))};
    };
    position = std::clamp(position, 0, characterCount);
    if (position == characterCount)
        return end();
    if (position <= characterCount / 2) {
        int remaining = position;
        for (qint64 piece = first;; ++piece) {
            const int size = int(at(piece).raw.size());
            if (remaining < size)
                return spotIn(piece, remaining);
            remaining -= size;
        }
    }
    int pieceStart = characterCount;
    for (qint64 piece = lastPiece();; --piece) {
        pieceStart -= int(at(piece).raw.size());
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
