#include "forms/MessageBox.h"

#include "forms/ProgramTitle.h"

#include <QEventLoop>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>
#include <QTimer>
#include <QWidget>
#include <QWindow>

namespace MessageBox {

namespace {

// Beside the title a window manager draws the window's icon and two or three buttons, about this
// many pixels at 96 dpi in common themes (GNOME, KDE, Xfce).
constexpr int titleBarDecorationPixels = 160;

// Ends a wait when the window it watches is on the screen.
class ExposeWatcher : public QObject
{
public:
    ExposeWatcher(QWindow *window, QEventLoop *loop)
        : window(window)
        , loop(loop)
    {
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == window && event->type() == QEvent::Expose && window->isExposed())
            QTimer::singleShot(0, loop, &QEventLoop::quit);
        return QObject::eventFilter(watched, event);
    }

private:
    QWindow *window;
    QEventLoop *loop;
};

} // namespace

void waitUntilShown(QWidget *window)
{
    QWindow *handle = window ? window->window()->windowHandle() : nullptr;
    if (!handle || !window->isVisible() || handle->isExposed())
        return;
    QEventLoop loop;
    ExposeWatcher watcher(handle, &loop);
    QTimer::singleShot(longestWaitForWindowMs, &loop, &QEventLoop::quit);
    loop.exec();
}

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
