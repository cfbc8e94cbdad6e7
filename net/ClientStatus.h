#pragma once

#include <QString>

namespace socks {

// What the client component's information view shows: the connection and its traffic.
struct ClientStatus
{
    QString state;
    QString server;
    QString local;
    int socketNumber = 0;
    qint64 textsIn = 0;
    qint64 bytesIn = 0;
    qint64 textsOut = 0;
    qint64 bytesOut = 0;
};

} // namespace socks
