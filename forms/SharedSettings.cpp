#include "forms/SharedSettings.h"

namespace SharedSettings {

int gintPort = 0;
QString gstrHandleName;
QString gstrServerIP;

} // namespace SharedSettings
