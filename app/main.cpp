#include "app/ModuleMain.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv); // takes Qt's own options out of argv first
    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    if (!ModuleMain::Main(ModuleMain::argumentTextFromArguments(arguments)))
        return 0;
    return application.exec();
}
