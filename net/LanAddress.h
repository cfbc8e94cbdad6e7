#pragma once

#include <QByteArrayView>
#include <QString>

namespace socks {

// The IPv4 address a LAN peer would dial: that of the interface holding the default route (a
// bridge such as docker0 comes first in the interface list but is no way in from the LAN), else
// the first non-loopback IPv4 address, else "127.0.0.1".
QString lanAddress();

// The interface of the default route with the lowest metric in a table laid out as
// /proc/self/net/route; empty when there is none.
QString defaultRouteInterface(QByteArrayView routeTable);

} // namespace socks
