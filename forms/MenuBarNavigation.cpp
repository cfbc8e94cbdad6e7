#include "forms/MenuBarNavigation.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QMenuBar>
#include <QProxyStyle>
#include <QShortcut>
#include <QStyleOptionMenuItem>

namespace {

// Qt's own styles highlight a menu bar item only while its menu is open; an item without a menu
// is drawn as if pressed while it is the current one, so the keyboard's place and the mouse's
// item show.
class HighlightingStyle : public QProxyStyle
{
public:
    void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                     const QWidget *widget) const override
    {
        const auto *item = qstyleoption_cast<const QStyleOptionMenuItem *>(option);
        if (element == CE_MenuBarItem && item && (item->state & State_Selected)
            && (item->state & State_Enabled)) {
            QStyleOptionMenuItem pressed = *item;
            pressed.state |= State_Sunken;
            QProxyStyle::drawControl(element, &pressed, painter, widget);
            return;
        }
        QProxyStyle::drawControl(element, option, painter, widget);
    }
};

} // namespace

MenuBarNavigation::MenuBarNavigation(QMenuBar *bar)
    : QObject(bar)
    , bar(bar)
{
    auto *style = new HighlightingStyle;
    style->setParent(this);
    bar->setStyle(style);
    bar->installEventFilter(this);
    auto *f10 = new QShortcut(QKeySequence(Qt::Key_F10), bar->parentWidget());
    connect(f10, &QShortcut::activated, this, &MenuBarNavigation::startKeyboardNavigation);
    connect(bar, &QMenuBar::triggered, this, &MenuBarNavigation::giveFocusBack);
}

void MenuBarNavigation::install(QMenuBar *bar)
{
    new MenuBarNavigation(bar);
}

QAction *MenuBarNavigation::firstItemToChoose() const
{
    for (QAction *item : bar->actions()) {
        if (item->isEnabled() && item->isVisible() && !item->isSeparator())
            return item;
    }
    return nullptr;
}

void MenuBarNavigation::startKeyboardNavigation()
{
    // F10 again leaves the bar, as Alt does.
    if (bar->hasFocus()) {
        bar->setActiveAction(nullptr);
        giveFocusBack();
        return;
    }
    QAction *first = firstItemToChoose();
    if (!first)
        return;
    focusBefore = QApplication::focusWidget();
    bar->setActiveAction(first);
    bar->setFocus(Qt::MenuBarFocusReason);
}

void MenuBarNavigation::giveFocusBack()
{
    if (focusBefore && bar->hasFocus())
        focusBefore->setFocus(Qt::MenuBarFocusReason);
    focusBefore = nullptr;
}

void MenuBarNavigation::skipDisabledItem()
{
    QAction *current = bar->activeAction();
    if (current && !current->isEnabled())
        bar->setActiveAction(firstItemToChoose());
}

bool MenuBarNavigation::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == bar) {
        // Keyboard navigation gives the bar the focus and starts on the first item, which may
        // be one that cannot be chosen now.
        if (event->type() == QEvent::FocusIn)
            skipDisabledItem();
        if (event->type() == QEvent::KeyPress && focusBefore
            && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape) {
            bar->setActiveAction(nullptr);
            giveFocusBack();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}
