#include "tests/support/ProcessStatus.h"

#include <QFile>

namespace testsupport {

qint64 statusKib(const char *key, qint64 pid)
{
    QFile file(pid == 0 ? QStringLiteral("/proc/self/status")
                        : QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

} // namespace testsupport
