#pragma once

#include <QHostAddress>
#include <QString>

#include <optional>

// Where the relay's web port listens, as the command line gives it: "PORT" or "ADDRESS:PORT",
// an IPv6 address in brackets ("[::1]:8080"). A bare port takes the fallback address.
struct WebAddress
{
    QHostAddress address;
    int port = 0;

    static std::optional<WebAddress> read(const QString &text, const QHostAddress &fallback);
};
