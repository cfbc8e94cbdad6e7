#pragma once

#include "forms/LogBox.h"
#include "forms/SharedSettings.h"
#include "forms/client/FormTCPClientMain.h"

#include <QRegularExpression>
#include <QString>

namespace testsupport {

// Client windows as the start window opens them, for the tests of the widgets layer.

// Back to the values a process starts with: 0 and empty texts.
inline void resetSettings()
{
    SharedSettings::gintPort = 0;
    SharedSettings::gstrHandleName.clear();
    SharedSettings::gstrServerIP.clear();
}

// A client window under this handle name for a server on 127.0.0.1.
inline FormTCPClientMain *openClient(const QString &name, int port)
{
    SharedSettings::gintPort = port;
    SharedSettings::gstrHandleName = name;
    SharedSettings::gstrServerIP = QStringLiteral("127.0.0.1");
    auto *client = new FormTCPClientMain;
    client->setAttribute(Qt::WA_DeleteOnClose);
    client->show();
    return client;
}

// A login line of this padded handle name; the socket number is the first capture.
inline QString loginPattern(const QString &paddedName)
{
    return QStringLiteral("(\\d+)@") + QRegularExpression::escape(paddedName)
            + QStringLiteral("\\|ログイン - \\d{4}/\\d{2}/\\d{2}/\\d{1,2}:\\d{2}:\\d{2}\\r\\n");
}

// The socket number that heads this name's login line in the client's log, -1 before it came.
inline int socketNumberOf(FormTCPClientMain *client, const QString &paddedName)
{
    const QRegularExpression login(loginPattern(paddedName));
    const QRegularExpressionMatch match = login.match(client->TextLog->logText());
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

} // namespace testsupport
