#include "forms/LogBoxAccessible.h"

#include "forms/LogBox.h"

#include <QTextBoundaryFinder>

#include <algorithm>

namespace {

QAccessibleInterface *logBoxInterface(const QString &className, QObject *object)
{
    if (className == QLatin1String("LogBox") && object && object->isWidgetType())
        return new LogBoxAccessible(static_cast<LogBox *>(object));
    return nullptr;
}

// The piece of text around offset in the text that starts at textStart, as the boundary type
// cuts it: a character (a whole grapheme), a word, or the whole line.
QString pieceAt(const QString &text, int textStart, int offset,
                QAccessible::TextBoundaryType boundaryType, int *startOffset, int *endOffset)
{
    const int local = std::clamp(offset - textStart, 0, int(text.size()));
    int start = 0;
    int end = int(text.size());
    if (boundaryType == QAccessible::CharBoundary || boundaryType == QAccessible::WordBoundary) {
        QTextBoundaryFinder finder(boundaryType == QAccessible::CharBoundary
                                           ? QTextBoundaryFinder::Grapheme
                                           : QTextBoundaryFinder::Word,
                                   text);
        finder.setPosition(local);
        start = finder.isAtBoundary() ? local
                                      : int(std::max<qsizetype>(0, finder.toPreviousBoundary()));
        finder.setPosition(local);
        const qsizetype next = finder.toNextBoundary();
        end = next < 0 ? int(text.size()) : int(next);
    }
    *startOffset = textStart + start;
    *endOffset = textStart + end;
    return text.mid(start, end - start);
}

} // namespace

LogBoxAccessible::LogBoxAccessible(LogBox *box)
    : QAccessibleWidget(box, QAccessible::EditableText)
{}

void LogBoxAccessible::install()
{
    static const bool installed = [] {
        QAccessible::installFactory(logBoxInterface);
        return true;
    }();
    Q_UNUSED(installed);
}

LogBox *LogBoxAccessible::box() const
{
    return static_cast<LogBox *>(widget());
}

QAccessible::State LogBoxAccessible::state() const
{
    QAccessible::State state = QAccessibleWidget::state();
    state.readOnly = true;
    state.multiLine = true;
    state.selectableText = true;
    state.focusable = true;
    return state;
}

QString LogBoxAccessible::text(QAccessible::Text kind) const
{
    if (kind == QAccessible::Value)
        return box()->toPlainText();
    return QAccessibleWidget::text(kind);
}

void *LogBoxAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

void LogBoxAccessible::selection(int selectionIndex, int *startOffset, int *endOffset) const
{
    *startOffset = *endOffset = 0;
    if (selectionIndex != 0 || selectionCount() == 0)
        return;
    *startOffset = std::min(box()->anchorPosition(), box()->caretPosition());
    *endOffset = std::max(box()->anchorPosition(), box()->caretPosition());
}

int LogBoxAccessible::selectionCount() const
{
    return box()->anchorPosition() != box()->caretPosition() ? 1 : 0;
}

void LogBoxAccessible::addSelection(int startOffset, int endOffset)
{
    setSelection(0, startOffset, endOffset);
}

void LogBoxAccessible::removeSelection(int selectionIndex)
{
    if (selectionIndex == 0)
        box()->setSelection(box()->caretPosition(), box()->caretPosition());
}

void LogBoxAccessible::setSelection(int selectionIndex, int startOffset, int endOffset)
{
    if (selectionIndex == 0)
        box()->setSelection(startOffset, endOffset);
}

int LogBoxAccessible::cursorPosition() const
{
    return box()->caretPosition();
}

void LogBoxAccessible::setCursorPosition(int position)
{
    box()->setSelection(position, position);
}

QString LogBoxAccessible::text(int startOffset, int endOffset) const
{
    return box()->textBetween(startOffset, endOffset);
}

QString LogBoxAccessible::textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                           int *startOffset, int *endOffset) const
{
    int start = 0;
    int end = 0;
    textAtOffset(offset, boundaryType, &start, &end);
    if (start <= 0) {
        *startOffset = *endOffset = 0;
        return QString();
    }
    return textAtOffset(start - 1, boundaryType, startOffset, endOffset);
}

QString LogBoxAccessible::textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                          int *startOffset, int *endOffset) const
{
    int start = 0;
    int end = 0;
    textAtOffset(offset, boundaryType, &start, &end);
    if (end >= characterCount()) {
        *startOffset = *endOffset = characterCount();
        return QString();
    }
    return textAtOffset(end, boundaryType, startOffset, endOffset);
}

QString LogBoxAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                       int *startOffset, int *endOffset) const
{
    const int count = characterCount();
    if (boundaryType == QAccessible::NoBoundary) {
        *startOffset = 0;
        *endOffset = count;
        return box()->toPlainText();
    }
    offset = std::clamp(offset, 0, count);
    int lineStart = 0;
    const QString line = box()->lineAround(offset, &lineStart);
    // At a line's end the line break itself is the character, and it ends the line.
    const bool onBreak = offset == lineStart + line.size() && offset < count;
    if (boundaryType == QAccessible::CharBoundary || boundaryType == QAccessible::WordBoundary) {
        if (onBreak) {
            *startOffset = offset;
            *endOffset = offset + 1;
            return QStringLiteral("\n");
        }
        return pieceAt(line, lineStart, offset, boundaryType, startOffset, endOffset);
    }
    *startOffset = lineStart;
    const bool hasBreak = lineStart + line.size() < count;
    *endOffset = lineStart + int(line.size()) + (hasBreak ? 1 : 0);
    return hasBreak ? line + u'\n' : line;
}

int LogBoxAccessible::characterCount() const
{
    return box()->shownLength();
}

QRect LogBoxAccessible::characterRect(int offset) const
{
    const QRect local = box()->characterRect(offset);
    if (local.isNull())
        return {};
    return QRect(box()->viewport()->mapToGlobal(local.topLeft()), local.size());
}

int LogBoxAccessible::offsetAtPoint(const QPoint &point) const
{
    const QPoint local = box()->viewport()->mapFromGlobal(point);
    if (!box()->viewport()->rect().contains(local))
        return -1;
    return box()->positionAt(local);
}

void LogBoxAccessible::scrollToSubstring(int startIndex, int endIndex)
{
    box()->scrollToPosition(endIndex);
    box()->scrollToPosition(startIndex);
}

QString LogBoxAccessible::attributes(int offset, int *startOffset, int *endOffset) const
{
    *startOffset = *endOffset = offset;
    return QString();
}
