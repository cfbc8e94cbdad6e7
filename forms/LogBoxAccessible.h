#pragma once

#include <QAccessibleWidget>

class LogBox;

// What a screen reader sees of a log box: a read-only, multi-line text with its caret and
// selection, as the standard text box shows itself. Pieces of text around an offset are taken
// from the line that holds it, so that a reader moving through a full log does not make the box
// copy megabytes at each step.
class LogBoxAccessible : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    explicit LogBoxAccessible(LogBox *box);

    // Makes Qt's accessibility ask this class for every log box.
    static void install();

    QAccessible::State state() const override;
    QString text(QAccessible::Text kind) const override;
    void *interface_cast(QAccessible::InterfaceType type) override;

    void selection(int selectionIndex, int *startOffset, int *endOffset) const override;
    int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;
    QString text(int startOffset, int endOffset) const override;
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                             int *startOffset, int *endOffset) const override;
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                            int *startOffset, int *endOffset) const override;
    QString textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType, int *startOffset,
                         int *endOffset) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint &point) const override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    QString attributes(int offset, int *startOffset, int *endOffset) const override;

private:
    LogBox *box() const;
};
