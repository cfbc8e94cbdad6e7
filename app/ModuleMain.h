#pragma once

#include <QString>
#include <QStringList>

// Program entry and command-line splitting. The settings the start window shares with the chat
// windows live below the windows, in forms/SharedSettings.h: Main neither reads nor writes them.
namespace ModuleMain {

// Opens what the first argument asks for and returns whether a window is now open
// (false: the program ends, e.g. after the help box or for an unknown switch).
bool Main(const QString &argumentText);

// Splits the argument text into args (the last element is always empty) and returns the count.
int GetCommandArgs(QStringList &args, const QString &argumentText);
void CutToken(QString &text, QString &head, int count);

// argv[1..] as the one argument text that GetCommandArgs splits back into the same arguments.
QString argumentTextFromArguments(const QStringList &arguments);

} // namespace ModuleMain
