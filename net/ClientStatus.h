#pragma once

#include "net/Traffic.h"

#include <QString>

namespace socks {

// What the client component's information view shows: the connection and its traffic.
struct ClientStatus
{
    QString state;
    QString server;
    QString local;
    int socketNumber = 0;
    Traffic traffic;
};

} // namespace socks
