#pragma once

#include <QString>
#include <QStringList>

// Program entry, command-line splitting and the settings the start window shares with the chat
// windows. One copy per process; only the start window writes the settings.
namespace ModuleMain {

extern int gintPort; // 0 to 65535; 0 until the start window's first press
extern QString gstrHandleName; // empty until the first press
extern QString gstrServerIP; // empty until the first press

// Opens what the first argument asks for and returns whether a window is now open
// (false: the program ends, e.g. after the help box or for an unknown switch).
bool Main(const QString &argumentText);

// Splits the argument text into args (the last element is always empty) and returns the count.
int GetCommandArgs(QStringList &args, const QString &argumentText);
void CutToken(QString &text, QString &head, int count);

// argv[1..] as the one argument text that GetCommandArgs splits back into the same arguments.
QString argumentTextFromArguments(const QStringList &arguments);

} // namespace ModuleMain
