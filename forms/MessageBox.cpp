#include "forms/MessageBox.h"

#include "forms/ProgramTitle.h"

#include <QMessageBox>

namespace MessageBox {

void showMessage(const QString &text, QWidget *parent)
{
    QMessageBox box(QMessageBox::NoIcon, ProgramTitle::applicationTitle(), text, QMessageBox::Ok,
                    parent);
    box.exec();
}

} // namespace MessageBox
