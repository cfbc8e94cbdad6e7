#pragma once

#include <QtGlobal>

namespace socks {

// What one connection carried since it opened, each way: texts, and bytes as they crossed the
// wire (frame headers included). The components count it; the information windows show it.
struct Traffic
{
    qint64 textsIn = 0;
    qint64 bytesIn = 0;
    qint64 textsOut = 0;
    qint64 bytesOut = 0;
};

} // namespace socks
