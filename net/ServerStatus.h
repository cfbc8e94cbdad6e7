#pragma once

#include "net/Traffic.h"

#include <QDateTime>
#include <QString>

#include <vector>

namespace socks {

// What the server component's information view shows: what it listens on and each
// connection's traffic.
struct ServerStatus
{
    struct ConnectionRow
    {
        int index = 0;
        QString peer;
        QDateTime since;
        Traffic traffic;
        bool failed = false;
    };

    bool listening = false;
    QString address;
    int port = 0;
    int connectionCount = 0;
    std::vector<ConnectionRow> rows;
};

} // namespace socks
