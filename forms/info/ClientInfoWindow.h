#pragma once

#include "net/ClientStatus.h"

#include <QWidget>

class QLabel;

namespace InfoWindows {

// The client component's own information display: the connection and its traffic. It belongs to
// its component and never keeps the program running.
class ClientInfoWindow : public QWidget
{
    Q_OBJECT

public:
    using Status = socks::ClientStatus;

    ClientInfoWindow();

    void showStatus(const Status &status);

    QLabel *stateLabel = nullptr;
    QLabel *serverLabel = nullptr;
    QLabel *localLabel = nullptr;
    QLabel *socketNumberLabel = nullptr;
    QLabel *receivedLabel = nullptr;
    QLabel *sentLabel = nullptr;
};

} // namespace InfoWindows
