#include "forms/MessageBox.h"

#include "forms/ProgramTitle.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>

namespace MessageBox {

namespace {

// Beside the title a window manager draws the window's icon and two or three buttons, about this
// many pixels at 96 dpi in common themes (GNOME, KDE, Xfce).
constexpr int titleBarDecorationPixels = 160;

} // namespace

void showMessage(const QString &text, QWidget *parent)
{
    QMessageBox box(QMessageBox::NoIcon, ProgramTitle::applicationTitle(), text, QMessageBox::Ok,
                    parent);
    fitTitle(box);
    box.exec();
}

int titleWidth(const QMessageBox &box)
{
    // Title bars mostly draw a bold font a little larger than the window's.
    QFont titleFont = box.font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.2);
    const int text = QFontMetrics(titleFont).horizontalAdvance(box.windowTitle());
    return text + titleBarDecorationPixels * box.logicalDpiX() / 96;
}

void fitTitle(QMessageBox &box)
{
    // QMessageBox fixes its own size from its layout, so a minimum width set on the box is lost;
    // a spacer across the layout's bottom row is kept.
    auto *grid = qobject_cast<QGridLayout *>(box.layout());
    if (!grid) {
        box.setMinimumWidth(titleWidth(box));
        return;
    }
    const QMargins margins = grid->contentsMargins();
    grid->addItem(new QSpacerItem(titleWidth(box) - margins.left() - margins.right(), 0,
                                  QSizePolicy::Minimum, QSizePolicy::Minimum),
                  grid->rowCount(), 0, 1, grid->columnCount());
}

} // namespace MessageBox
