#include "relay/web/WebAddress.h"

#include "net/SocketHelpers.h"

std::optional<WebAddress> WebAddress::read(const QString &text, const QHostAddress &fallback)
{
    QString host;
    QString port = text;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0 || text.mid(close + 1, 1) != QStringLiteral(":"))
            return std::nullopt;
        host = text.mid(1, close - 1);
        port = text.mid(close + 2);
        if (!host.contains(u':'))
            return std::nullopt;
    } else if (const qsizetype colon = text.lastIndexOf(u':'); colon >= 0) {
        host = text.left(colon);
        port = text.mid(colon + 1);
        // An IPv6 address needs its brackets: without them its last group would read as a port.
        if (host.contains(u':'))
            return std::nullopt;
    }
    const std::optional<int> number = socks::readPortNumber(port);
    if (!number)
        return std::nullopt;
    WebAddress result;
    result.port = *number;
    result.address = fallback;
    if (!host.isNull() && !result.address.setAddress(host))
        return std::nullopt;
    return result;
}
