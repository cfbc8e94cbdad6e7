#pragma once

#include <QAction>
#include <QMenuBar>
#include <QString>

// Every chat window's menu items sit on the bar itself, without submenus, and are found by name.
inline QAction *addMenuBarItem(QMenuBar *bar, const char *name, const QString &caption)
{
    QAction *item = bar->addAction(caption);
    item->setObjectName(QLatin1String(name));
    return item;
}
