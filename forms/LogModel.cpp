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

// The first position in [from, to) that holds a CR or a line break, else `to`; when copying, the
// characters up to it, that one included, go to `out` (out[0] for data[from]) on the way, and a
// few after it may be written too. Most texts hold neither for dozens of characters, and looking
// at every character on its own was a fifth of the server window's time under a flood of 1 KiB
// texts: with SSE2, several are looked at (and copied) together.
template<bool copying>
qsizetype copyToBreakOrReturn(const char16_t *data, qsizetype from, qsizetype to, char16_t *out)
{
    const auto copyOne = [&] {
        const QChar character(data[from]);
        if constexpr (copying)
            *out++ = character.unicode();
        return character == carriageReturn || isLineBreak(character);
    };
#ifdef __SSE2__
    const __m128i firstControl = _mm_set1_epi16(0x0a); // LF, VT, FF and CR lie in 0x0a..0x0d
    const __m128i controlSpan = _mm_set1_epi16(3);
    const __m128i nextLine = _mm_set1_epi16(short(0x85));
    const __m128i pairMask = _mm_set1_epi16(short(0xfffe)); // each pair differs in the last bit
    const __m128i separators = _mm_set1_epi16(0x2028);
    const __m128i blockEnds = _mm_set1_epi16(short(0xfdd0));
    const __m128i zero = _mm_setzero_si128();
    // Most chat text is printable ASCII, and every character from U+000E to U+0084 is neither
    // a line end nor a CR: 32 at a time are first only checked to lie in that range (signed, so
    // anything from U+8000 up falls below it), which halved the time of the look again. The
    // eight-at-a-time check below finds the exact place.
    const __m128i belowPlain = _mm_set1_epi16(0x0d);
    const __m128i abovePlain = _mm_set1_epi16(short(0x85));
    const auto load = [data](qsizetype at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + at));
    };
    for (; from + 32 <= to; from += 32, out += copying ? 32 : 0) {
        const __m128i first = load(from), second = load(from + 8);
        const __m128i third = load(from + 16), fourth = load(from + 24);
        if constexpr (copying) {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out), first);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 8), second);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16), third);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 24), fourth);
        }
        const __m128i lowest =
                _mm_min_epi16(_mm_min_epi16(first, second), _mm_min_epi16(third, fourth));
        const __m128i highest =
                _mm_max_epi16(_mm_max_epi16(first, second), _mm_max_epi16(third, fourth));
        const __m128i plain = _mm_and_si128(_mm_cmpgt_epi16(lowest, belowPlain),
                                            _mm_cmplt_epi16(highest, abovePlain));
        if (_mm_movemask_epi8(plain) != 0xffff)
            break;
    }
    for (; from + 8 <= to; from += 8, out += copying ? 8 : 0) {
        const __m128i chunk = load(from);
        if constexpr (copying)
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out), chunk);
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
        if (copyOne())
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
    blocks.emplace_back().reserve(blockCharacters);
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

void LogModel::append(const QString &text)
{
    if (!text.isEmpty())
        addText(text, &text);
}

void LogModel::reset()
{
    // Piece numbers go on counting, so nothing that a view cached under a number can be taken
    // for the new text.
    first = lastPiece() + 1;
    pieces.clear();
    blocks.clear();
    firstBlock = 0;
    blocks.emplace_back().reserve(blockCharacters);
    startPiece();
    lineEnds = 0;
    characterCount = 0;
    ++cuts;
    clampPlaces();
}

void LogModel::addText(QStringView text, const QString *whole)
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
    // Sharing keeps the whole allocation alive for as long as any of its lines: only worth it
    // when most of it is text that stays. A string over bytes it does not own has no allocation
    // (no capacity) and is always copied.
    const qsizetype kept = text.size() - start;
    if (whole && (whole->capacity() < text.size() || whole->capacity() > kept + kept / 4 + 16))
        whole = nullptr;
    const char16_t *const data = text.utf16();

    qsizetype index = start;
    while (index < text.size()) {
        Piece *back = &pieces.back();
        if (back->size >= longestPiece
            && !(raw(*back).back().isHighSurrogate() && text.at(index).isLowSurrogate())) {
            startPiece();
            back = &pieces.back();
        }
        const qsizetype room = longestPiece - back->size;
        qsizetype end = index;
        const qsizetype limit = std::min(text.size(), index + std::max<qsizetype>(room, 1));
        bool broke = false;
        int hidden = 0; // CRs and the line break, in the same pass
        if (whole && back->size == 0) {
            while ((end = copyToBreakOrReturn<false>(data, end, limit, nullptr)) < limit) {
                ++hidden;
                if (data[end++] != carriageReturn) {
                    broke = true;
                    break;
                }
            }
            if (broke) {
                back->shared = *whole;
                back->offset = int(index);
                back->size = int(end - index);
                back->shownSize = int(end - index) - hidden;
                back->lineEnd = true;
                ++lineEnds;
                startPiece();
                index = end;
                continue;
            }
            // The line goes on in a later text: it grows in a block.
            end = index;
            hidden = 0;
        }
        // Copied straight into the block (its room is reserved, so it never moves or shares)
        // while the line end is looked for; what lies past the end found is cut off again.
        reserveTail(limit - index);
        QString &block = blocks.back();
        const qsizetype blockSize = block.size();
        block.resize(blockSize + (limit - index));
        char16_t *const out = reinterpret_cast<char16_t *>(block.data()) + blockSize;
        while ((end = copyToBreakOrReturn<true>(data, end, limit, out + (end - index))) < limit) {
            ++hidden;
            if (data[end++] != carriageReturn) {
                broke = true;
                break;
            }
        }
        block.resize(blockSize + (end - index));
        back->size += int(end - index);
        back->shownSize += int(end - index) - hidden;
        index = end;
        if (broke) {
            back->lineEnd = true;
            ++lineEnds;
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

void LogModel::reserveTail(qsizetype count)
{
    if (blocks.back().size() + count <= blockCharacters)
        return;
    // The growing piece moves along: it has to stay at the end of the newest block. The old
    // block stays where it is (a deque does not move its elements), so the copy reads from it.
    Piece &growing = pieces.back();
    const QStringView kept = raw(growing);
    QString &fresh = blocks.emplace_back();
    fresh.reserve(blockCharacters);
    fresh.append(kept);
    growing.block = firstBlock + qint64(blocks.size()) - 1;
    growing.offset = 0;
    dropUnusedBlocks();
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
    if (count < front.size && raw(front).at(count).isLowSurrogate())
        ++count;
    const int shownCut = shownCount(raw(front).left(count));
    front.offset += count;
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
        all += raw(piece);
    return all;
}

QString LogModel::shown(qint64 piece) const
{
    const Piece &kept = at(piece);
    QStringView text = raw(kept);
    if (kept.lineEnd)
        text.chop(1);
    if (!text.contains(carriageReturn))
        return text.toString();
    QString shownText;
    shownText.reserve(kept.shownSize);
    for (const QChar character : text) {
        if (character != carriageReturn)
            shownText.append(character);
    }
    return shownText;
}

LogSpot LogModel::spotOfLogPosition(int position) const
{
    // Walks from the nearer end, so that the usual caret at (or near) the end costs little.
    auto spotIn = [this](qint64 piece, int rawOffset) {
        const Piece &kept = at(piece);
        rawOffset = std::min(rawOffset, kept.size - (kept.lineEnd ? 1 : 0));
        return LogSpot{piece, shownCount(raw(kept).left(rawOffset))};
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
