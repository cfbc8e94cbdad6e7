#include "app/ModuleMain.h"
#include "forms/ProgramTitle.h"
#include "forms/info/InfoWindows.h"
#include "net/SocketHelpers.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    socks::raiseDescriptorLimit(); // a server window takes a descriptor per client
    QApplication application(argc, argv); // takes Qt's own options out of argv first
    // Lets the desktop match the windows to the installed entry and its icon (Wayland app id).
    QGuiApplication::setDesktopFileName(QStringLiteral(PRYNECHAT_APP_ID));
    // The display name follows the application name. Set on its own, it would be appended to
    // every window title on X11, and the chat windows' captions carry their state.
    QApplication::setApplicationName(ProgramTitle::applicationTitle());
    QApplication::setApplicationVersion(ProgramTitle::versionText());
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/resources/icon.png")));
    InfoWindows::install();

    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    if (!ModuleMain::Main(ModuleMain::argumentTextFromArguments(arguments)))
        return 0;
    // Ends when the last window has closed; the start window's quit button ends the process
    // itself, without coming back here.
    return application.exec();
}
