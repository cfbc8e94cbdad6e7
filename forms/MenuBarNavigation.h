#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

class QAction;
class QMenuBar;

// What desktop users expect of a window's menu bar, whose items here act at once and open no
// menus: the item under the mouse or reached with the keyboard is highlighted, F10 starts
// keyboard navigation as Alt does, and the navigation starts on an item that can be chosen.
class MenuBarNavigation : public QObject
{
    Q_OBJECT

public:
    static void install(QMenuBar *bar);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    explicit MenuBarNavigation(QMenuBar *bar);
    void startKeyboardNavigation();
    void skipDisabledItem();
    void giveFocusBack();
    QAction *firstItemToChoose() const;

    QMenuBar *bar;
    // Where the focus was before F10; Qt keeps its own for Alt.
    QPointer<QWidget> focusBefore;
};
