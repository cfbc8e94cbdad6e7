#include "relay/bridge/BridgePassword.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

namespace {

// Its first line without the line end, as "echo PASSWORD > file" and editors write it.
std::optional<QByteArray> readPasswordFile(const QString &path, QString *reason, QString *warning)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *reason = QStringLiteral("cannot read the Redis password from %1: %2")
                          .arg(path, file.errorString());
        return std::nullopt;
    }
    QByteArray text = file.read(maxPasswordFileBytes + 1);
    if (text.size() > maxPasswordFileBytes) {
        *reason = QStringLiteral("%1 is no password file: more than %2 bytes")
                          .arg(path)
                          .arg(maxPasswordFileBytes);
        return std::nullopt;
    }
    if (text.endsWith("\r\n"))
        text.chop(2);
    else if (text.endsWith('\n'))
        text.chop(1);
    if (text.isEmpty() || text.contains('\n') || text.contains('\r')) {
        *reason = QStringLiteral("%1 must hold the Redis password on one line").arg(path);
        return std::nullopt;
    }
    struct stat status = {};
    if (::fstat(file.handle(), &status) == 0 && S_ISREG(status.st_mode)
        && (status.st_mode & S_IROTH))
        *warning = QStringLiteral("%1 can be read by every user: chmod o-r it").arg(path);
    return text;
}

} // namespace

std::optional<QByteArray> choosePassword(const PasswordSources &sources, QString *reason,
                                         QString *warning)
{
    if (!sources.inUrl.isEmpty() && !sources.file.isEmpty()) {
        *reason = QStringLiteral("the Redis password is in the URL and in a file: give it one "
                                 "way");
        return std::nullopt;
    }
    if (!sources.inUrl.isEmpty())
        return sources.inUrl;
    if (!sources.file.isEmpty())
        return readPasswordFile(sources.file, reason, warning);
    if (!sources.credentialsDirectory.isEmpty()) {
        const QString credential =
                QDir(sources.credentialsDirectory).filePath(QLatin1String(credentialName));
        if (QFile::exists(credential))
            return readPasswordFile(credential, reason, warning);
    }
    return sources.environment;
}
