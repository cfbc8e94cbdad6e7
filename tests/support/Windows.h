#pragma once

#include <QApplication>
#include <QComboBox>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

namespace testsupport {

// The top-level windows of one kind still alive, closed ones included until they are deleted.
template <typename Window> QList<Window *> windowsOf()
{
    QList<Window *> windows;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *window = qobject_cast<Window *>(widget))
            windows << window;
    }
    return windows;
}

// The visible top-level windows of one kind, in the order Qt keeps them.
template <typename Window> QList<Window *> visibleWindows()
{
    QList<Window *> windows = windowsOf<Window>();
    windows.removeIf([](const Window *window) { return !window->isVisible(); });
    return windows;
}

int visibleMessageBoxes();

// Types as a keyboard with an input method would: every character arrives as the text of a key.
void typeText(QWidget *target, const QString &text);
// The same, then Return.
void typeLine(QWidget *target, const QString &text);

// A combo box's list, top first.
QStringList itemsOf(const QComboBox *combo);

// What a message box showed before it was answered.
struct ShownBox
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QWidget *parent = nullptr;
};

// While it lives, presses OK on every message box that comes up, modal or not, as a user would,
// and remembers what each one said.
class MessageBoxAnswerer
{
public:
    MessageBoxAnswerer();

    QList<ShownBox> boxes;
    QStringList texts() const;
    QStringList titles() const;
    bool allPlain() const; // no icon and an OK button only, every one

private:
    void answer();

    QTimer timer;
};

} // namespace testsupport
