#pragma once

#include <QDateTime>
#include <QString>
#include <QWidget>

#include <vector>

class QLabel;
class QTableWidget;

namespace socks {

// The server component's own information display: what it listens on and each connection's
// traffic. It belongs to its component and never keeps the program running.
class ServerInfoWindow : public QWidget
{
    Q_OBJECT

public:
    struct ConnectionRow
    {
        int index = 0;
        QString peer;
        QDateTime since;
        qint64 textsIn = 0;
        qint64 bytesIn = 0;
        qint64 textsOut = 0;
        qint64 bytesOut = 0;
        bool failed = false;
    };

    struct Status
    {
        bool listening = false;
        QString address;
        int port = 0;
        int connectionCount = 0;
        std::vector<ConnectionRow> rows;
    };

    ServerInfoWindow();

    void showStatus(const Status &status);

    QLabel *stateLabel = nullptr;
    QLabel *addressLabel = nullptr;
    QLabel *portLabel = nullptr;
    QLabel *countLabel = nullptr;
    QTableWidget *connectionTable = nullptr;
};

} // namespace socks
