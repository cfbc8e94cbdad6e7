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

} // namespace MessageBox
