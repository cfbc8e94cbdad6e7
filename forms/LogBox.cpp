#include "forms/LogBox.h"

#include <QStringView>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>

namespace {

const QChar lineFeed = u'\n';
const QChar carriageReturn = u'\r';

// Once this much of the first line has been cut, the line is compacted; below it the cut
// characters just wait, so that cutting a long line costs the cut, not the line.
constexpr int compactionThreshold = 64 * 1024;

QString withoutCarriageReturns(const QString &text, int carriageReturnCount)
{
    if (carriageReturnCount == 0)
        return text;
    QString shown;
    shown.reserve(text.size() - carriageReturnCount);
    for (const QChar character : text) {
        if (character != carriageReturn)
            shown.append(character);
    }
    return shown;
}

} // namespace

LogBox::LogBox(QWidget *parent)
    : QPlainTextEdit(parent)
{
    setReadOnly(true);
    // Read-only for the user, yet the caret stays visible and the keyboard can move it, as in an
    // ordinary locked text box.
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // An undo history would keep every trimmed line alive.
    setUndoRedoEnabled(false);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);

    flushTimer.setSingleShot(true);
    flushTimer.setInterval(0);
    connect(&flushTimer, &QTimer::timeout, this, &LogBox::flushToDisplay);
}

QString LogBox::logText() const
{
    QString text;
    text.reserve(modelLength);
    bool first = true;
    for (const QString &line : lines) {
        text += first ? QStringView(line).mid(frontSkipped) : QStringView(line);
        first = false;
    }
    return text;
}

void LogBox::setLogText(const QString &text)
{
    lines.clear();
    frontSkipped = 0;
    modelLength = 0;
    carriageReturns = 0;
    resetPending = true;
    pendingDrop = 0;
    pendingText.clear();
    displayDropped = 0;
    pendingCaret = -1;
    addText(text);
    scheduleFlush();
}

void LogBox::appendLog(const QString &text)
{
    if (text.isEmpty())
        return;
    addText(text);
    scheduleFlush();
}

void LogBox::setCaretPosition(int position)
{
    position = std::clamp(position, 0, modelLength);
    pendingCaret = displayDropped + displayPositionOf(position);
    if (!flushTimer.isActive())
        flushToDisplay();
}

void LogBox::setCapacity(int lines, int characters)
{
    Q_ASSERT(lines >= 1 && characters >= 2);
    maxLines = lines;
    maxCharacters = characters;
}

void LogBox::flushToDisplay()
{
    flushTimer.stop();
    // Every edit sits in an edit block: outside one, a cursor lays out its whole line to know
    // its x position after each step. Removing and inserting are separate edits, since as one the
    // change would span the whole document and every line would be laid out again.
    QTextDocument *document = this->document();
    QTextCursor cursor(document);
    if (resetPending) {
        cursor.beginEditBlock();
        cursor.select(QTextCursor::Document);
        cursor.removeSelectedText();
        cursor.endEditBlock();
        softBreaks.clear();
        displayedEnd = 0;
        resetPending = false;
    }
    const qint64 shownCount = document->characterCount() - 1 - qint64(softBreaks.size());
    const qint64 fromDocument = std::min(pendingDrop, shownCount);
    if (fromDocument > 0)
        removeShownFront(cursor, fromDocument);
    // Text that came and went within one turn never reaches the document.
    qint64 pendingStart = displayedEnd;
    if (pendingDrop > fromDocument) {
        pendingText.remove(0, qsizetype(pendingDrop - fromDocument));
        pendingStart += pendingDrop - fromDocument;
    }
    if (!pendingText.isEmpty())
        insertShown(cursor, pendingText, pendingStart);
    displayedEnd = pendingStart + pendingText.size();
    pendingDrop = 0;
    pendingText.clear();

    if (pendingCaret >= 0) {
        QTextCursor caret(document);
        caret.beginEditBlock();
        caret.setPosition(int(documentPositionOf(pendingCaret)));
        caret.endEditBlock();
        setTextCursor(caret);
        pendingCaret = -1;
    }
}

void LogBox::removeShownFront(QTextCursor &cursor, qint64 count)
{
    // A soft break right before the first character that stays goes too: the document must not
    // start with an empty block.
    const qint64 shownStart =
            displayedEnd - (document()->characterCount() - 1 - qint64(softBreaks.size()));
    const qint64 cutEnd = shownStart + count;
    qint64 breaks = 0;
    while (!softBreaks.empty() && softBreaks.front() <= cutEnd) {
        softBreaks.pop_front();
        ++breaks;
    }
    cursor.beginEditBlock();
    cursor.setPosition(0);
    cursor.setPosition(int(count + breaks), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    cursor.endEditBlock();
}

void LogBox::insertShown(QTextCursor &cursor, const QString &text, qint64 start)
{
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    qsizetype run = cursor.block().length() - 1;
    qsizetype pieceStart = 0;
    for (qsizetype index = 0; index < text.size(); ++index) {
        const QChar character = text.at(index);
        // The characters that QTextCursor::insertText turns into block breaks.
        if (character == lineFeed || character == QChar::ParagraphSeparator
            || character == QChar(0xfdd0) || character == QChar(0xfdd1)) {
            run = 0;
            continue;
        }
        if (run >= longestShownBlock && !character.isLowSurrogate()) {
            cursor.insertText(text.mid(pieceStart, index - pieceStart));
            cursor.insertBlock();
            cursor.block().setUserState(continuedLineState);
            softBreaks.push_back(start + index);
            pieceStart = index;
            run = 0;
        }
        ++run;
    }
    cursor.insertText(pieceStart == 0 ? text : text.mid(pieceStart));
    cursor.endEditBlock();
}

qint64 LogBox::documentPositionOf(qint64 shownPosition) const
{
    const qint64 shownCount = document()->characterCount() - 1 - qint64(softBreaks.size());
    const qint64 shownStart = displayedEnd - shownCount;
    shownPosition = std::clamp(shownPosition, shownStart, displayedEnd);
    const auto breaksBefore = std::upper_bound(softBreaks.begin(), softBreaks.end(), shownPosition)
            - softBreaks.begin();
    return shownPosition - shownStart + breaksBefore;
}

void LogBox::addText(const QString &text)
{
    qsizetype start = 0;
    while (start < text.size()) {
        const qsizetype lineFeedAt = text.indexOf(lineFeed, start);
        const qsizetype end = lineFeedAt < 0 ? text.size() : lineFeedAt + 1;
        const QStringView piece = QStringView(text).mid(start, end - start);
        if (lines.empty() || lines.back().endsWith(lineFeed))
            lines.emplace_back(piece.toString());
        else
            lines.back().append(piece);
        start = end;
    }
    const int added = int(text.count(carriageReturn));
    modelLength += int(text.size());
    carriageReturns += added;
    pendingText += withoutCarriageReturns(text, added);
    trimToCapacity();
}

void LogBox::trimToCapacity()
{
    while (int(lines.size()) > maxLines)
        dropFrontLine();
    while (modelLength > maxCharacters && lines.size() > 1)
        dropFrontLine();
    if (modelLength > maxCharacters)
        cutFrontLine(modelLength - maxCharacters);
}

void LogBox::dropFrontLine()
{
    const QStringView rest = QStringView(lines.front()).mid(frontSkipped);
    const int removed = int(rest.size());
    const int removedReturns = int(rest.count(carriageReturn));
    modelLength -= removed;
    carriageReturns -= removedReturns;
    pendingDrop += removed - removedReturns;
    displayDropped += removed - removedReturns;
    lines.pop_front();
    frontSkipped = 0;
}

void LogBox::cutFrontLine(int count)
{
    QString &front = lines.front();
    int end = frontSkipped + count;
    // Never leave half of a surrogate pair behind.
    if (end < front.size() && front.at(end).isLowSurrogate())
        ++end;
    const QStringView cut = QStringView(front).mid(frontSkipped, end - frontSkipped);
    const int removed = int(cut.size());
    const int removedReturns = int(cut.count(carriageReturn));
    modelLength -= removed;
    carriageReturns -= removedReturns;
    pendingDrop += removed - removedReturns;
    displayDropped += removed - removedReturns;
    frontSkipped = end;
    if (frontSkipped >= compactionThreshold && frontSkipped >= front.size() / 2) {
        front.remove(0, frontSkipped);
        front.squeeze();
        frontSkipped = 0;
    }
}

int LogBox::displayPositionOf(int position) const
{
    // Walks from the nearer end, so that the usual caret at (or near) the end costs little.
    if (position <= modelLength / 2) {
        int remaining = position;
        int returnsBefore = 0;
        bool first = true;
        for (const QString &line : lines) {
            const QStringView view = first ? QStringView(line).mid(frontSkipped) : line;
            first = false;
            if (view.size() >= remaining) {
                returnsBefore += int(view.left(remaining).count(carriageReturn));
                break;
            }
            returnsBefore += int(view.count(carriageReturn));
            remaining -= int(view.size());
        }
        return position - returnsBefore;
    }

    int remaining = modelLength - position;
    int returnsAfter = 0;
    for (auto line = lines.rbegin(); line != lines.rend() && remaining > 0; ++line) {
        const bool isFront = &*line == &lines.front();
        const QStringView view = isFront ? QStringView(*line).mid(frontSkipped) : *line;
        if (view.size() >= remaining) {
            returnsAfter += int(view.right(remaining).count(carriageReturn));
            break;
        }
        returnsAfter += int(view.count(carriageReturn));
        remaining -= int(view.size());
    }
    return position - (carriageReturns - returnsAfter);
}

void LogBox::scheduleFlush()
{
    if (!flushTimer.isActive())
        flushTimer.start();
}

QFont chatFont()
{
    static const QString family = QStringLiteral("ＭＳ ゴシック");
    // Registered once: the design font exists on Windows only; IPAGothic has the same
    // half-width/full-width metrics, so chat lines keep their columns.
    static const bool substituted = [] {
        QFont::insertSubstitutions(family,
                                   {QStringLiteral("IPAGothic"), QStringLiteral("IPAゴシック"),
                                    QStringLiteral("Noto Sans Mono CJK JP")});
        return true;
    }();
    Q_UNUSED(substituted);
    QFont font(family, 9);
    font.setStyleHint(QFont::TypeWriter);
    return font;
}

QPalette chatPalette(QPalette palette)
{
    const QColor background(192, 192, 255);
    const QColor text(64, 64, 64);
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Base, background);
        palette.setColor(group, QPalette::Text, text);
    }
    palette.setColor(QPalette::Disabled, QPalette::Base, background);
    return palette;
}

#include "moc_LogBox.cpp"
