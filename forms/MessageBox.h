#pragma once

class QString;
class QWidget;

namespace MessageBox {

// A modal message box with the application title, no icon and only an OK button.
void showMessage(const QString &text, QWidget *parent = nullptr);

} // namespace MessageBox
