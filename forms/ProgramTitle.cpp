#include "forms/ProgramTitle.h"

namespace ProgramTitle {

QString applicationTitle()
{
    return QStringLiteral("Pryne Chat");
}

QString versionText()
{
    return QStringLiteral("%1.%2.%3")
            .arg(PRYNECHAT_VERSION_MAJOR)
            .arg(PRYNECHAT_VERSION_MINOR)
            .arg(PRYNECHAT_VERSION_PATCH);
}

} // namespace ProgramTitle
