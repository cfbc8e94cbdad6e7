#include "net/LanAddress.h"

#include <QFile>
#include <QHostAddress>
#include <QList>
#include <QNetworkInterface>

#include <limits>

namespace socks {

namespace {

// The kernel's table has a line per route; a machine with more than this is no LAN box.
constexpr qint64 maxRouteTableBytes = 1024 * 1024;

QString firstIPv4(const QNetworkInterface &networkInterface)
{
    const auto flags = networkInterface.flags();
    if (!flags.testFlag(QNetworkInterface::IsUp) || flags.testFlag(QNetworkInterface::IsLoopBack))
        return QString();
    const auto entries = networkInterface.addressEntries();
    for (const QNetworkAddressEntry &entry : entries) {
        const QHostAddress ip = entry.ip();
        if (ip.protocol() == QAbstractSocket::IPv4Protocol && !ip.isLoopback())
            return ip.toString();
    }
    return QString();
}

} // namespace

QString defaultRouteInterface(QByteArrayView routeTable)
{
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ..., hexadecimal, after a header.
    constexpr int interfaceColumn = 0, destinationColumn = 1, metricColumn = 6, maskColumn = 7;
    QString best;
    qulonglong bestMetric = std::numeric_limits<qulonglong>::max();
    const QList<QByteArray> lines = routeTable.toByteArray().split('\n');
    for (qsizetype row = 1; row < lines.size(); ++row) {
        const QList<QByteArray> columns = lines[row].simplified().split(' ');
        if (columns.size() <= maskColumn)
            continue;
        bool metricOk = false;
        const qulonglong metric = columns[metricColumn].toULongLong(&metricOk);
        if (columns[destinationColumn] != "00000000" || columns[maskColumn] != "00000000"
            || !metricOk || metric >= bestMetric)
            continue;
        best = QString::fromLocal8Bit(columns[interfaceColumn]);
        bestMetric = metric;
    }
    return best;
}

QString lanAddress()
{
    // /proc/net is hidden from a service run with ProcSubset=pid; the process's own view of its
    // network namespace is not.
    QFile routes(QStringLiteral("/proc/self/net/route"));
    if (routes.open(QIODevice::ReadOnly)) {
        const QString name = defaultRouteInterface(routes.read(maxRouteTableBytes));
        if (!name.isEmpty()) {
            const QString address = firstIPv4(QNetworkInterface::interfaceFromName(name));
            if (!address.isEmpty())
                return address;
        }
    }
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &networkInterface : interfaces) {
        const QString address = firstIPv4(networkInterface);
        if (!address.isEmpty())
            return address;
    }
    return QStringLiteral("127.0.0.1");
}

} // namespace socks
