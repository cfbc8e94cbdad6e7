#include "app/ModuleMain.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv); // takes Qt's own options out of argv first
    // Lets the desktop match the windows to the installed entry and its icon (Wayland app id).
    QGuiApplication::setDesktopFileName(QStringLiteral(PRYNECHAT_APP_ID));
    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    if (!ModuleMain::Main(ModuleMain::argumentTextFromArguments(arguments)))
        return 0;
    return application.exec();
}
