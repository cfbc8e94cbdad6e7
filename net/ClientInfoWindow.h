#pragma once

#include <QString>
#include <QWidget>

class QLabel;

namespace socks {

// The client component's own information display: the connection and its traffic. It belongs to
// its component and never keeps the program running.
class ClientInfoWindow : public QWidget
{
    Q_OBJECT

public:
    struct Status
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

    ClientInfoWindow();

    void showStatus(const Status &status);

    QLabel *stateLabel = nullptr;
    QLabel *serverLabel = nullptr;
    QLabel *localLabel = nullptr;
    QLabel *socketNumberLabel = nullptr;
    QLabel *receivedLabel = nullptr;
    QLabel *sentLabel = nullptr;
};

} // namespace socks
