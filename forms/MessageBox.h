#pragma once

class QMessageBox;
class QString;
class QWidget;

namespace MessageBox {

// A modal message box with the application title, no icon and only an OK button.
void showMessage(const QString &text, QWidget *parent = nullptr);

// A message box is as wide as its text, which leaves a short text's title bar too narrow for the
// title ("P… t"): this widens the box so that the title shows whole.
void fitTitle(QMessageBox &box);
int titleWidth(const QMessageBox &box); // the width fitTitle gives the box at least

// A box is centred on its parent window where the window is when the box opens. A window shown a
// moment ago may not be on the screen yet (the window system places it): this lets events run
// until it is, for at most longestWaitForWindowMs.
constexpr int longestWaitForWindowMs = 1000;
void waitUntilShown(QWidget *window);

} // namespace MessageBox
