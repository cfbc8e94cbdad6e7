#pragma once

#include <QString>

// The names the windows show for the program.
namespace ProgramTitle {

// "Pryne Chat": the title of every message box.
QString applicationTitle();

// The build's version as major.minor.patch.
QString versionText();

} // namespace ProgramTitle
