#pragma once

class QCoreApplication;

namespace QtTranslation {

// Qt's own texts (the context menus' Copy, Paste, Select All, ...) in Japanese like the rest of
// the windows, whatever the desktop's locale. Debian ships them in qt6-translations-l10n; without
// that package Qt's English stays and this returns false.
bool install(QCoreApplication &application);

} // namespace QtTranslation
