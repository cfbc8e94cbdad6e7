#pragma once

#include <QString>

// What the start window shares with the chat windows: one copy per process. Only the start
// window writes them; a client window reads them each time it connects or builds a chat line, so
// a later press of the start window changes what open client windows use from then on.
namespace SharedSettings {

extern int gintPort; // 0 to 65535; 0 until the start window's first press
extern QString gstrHandleName; // empty until the first press
extern QString gstrServerIP; // empty until the first press

} // namespace SharedSettings
