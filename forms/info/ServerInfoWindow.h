#pragma once

#include "net/ServerStatus.h"

#include <QWidget>

class QLabel;
class QTableWidget;

namespace InfoWindows {

// The server component's own information display: what it listens on and each connection's
// traffic. It belongs to its component and never keeps the program running.
class ServerInfoWindow : public QWidget
{
    Q_OBJECT

public:
    using Status = socks::ServerStatus;

    ServerInfoWindow();

    void showStatus(const Status &status);

    QLabel *stateLabel = nullptr;
    QLabel *addressLabel = nullptr;
    QLabel *portLabel = nullptr;
    QLabel *countLabel = nullptr;
    QTableWidget *connectionTable = nullptr;
};

} // namespace InfoWindows
