#include "relay/web/RequestRule.h"

#include <QCryptographicHash>
#include <QHostAddress>

#include <utility>

namespace {

constexpr int badRequest = 400;
constexpr int forbidden = 403;
constexpr int notFound = 404;
constexpr int methodNotAllowed = 405;
constexpr int misdirected = 421;
constexpr int upgradeRequired = 426;
constexpr int headTooLarge = 431;

// Appended to a WebSocket's key before it is hashed into the answer (RFC 6455, 1.3).
constexpr char websocketGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

RequestRule::Verdict refusal(int status)
{
    RequestRule::Verdict verdict;
    verdict.outcome = RequestRule::Outcome::Refuse;
    verdict.status = status;
    return verdict;
}

bool isTokenCharacter(char character)
{
    if ((character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z')
        || (character >= '0' && character <= '9'))
        return true;
    return QByteArrayView("!#$%&'*+-.^_`|~").contains(character);
}

bool isToken(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (const char character : text) {
        if (!isTokenCharacter(character))
            return false;
    }
    return true;
}

// Field values may hold visible characters, blanks and tabs; a bare CR, LF or NUL in one is an
// attempt to smuggle something past a parser.
bool isFieldValue(QByteArrayView text)
{
    for (const char character : text) {
        const auto code = static_cast<unsigned char>(character);
        if ((code < 0x20 && code != '\t') || code == 0x7f)
            return false;
    }
    return true;
}

QByteArrayView trimmed(QByteArrayView text)
{
    while (!text.isEmpty() && (text.front() == ' ' || text.front() == '\t'))
        text = text.sliced(1);
    while (!text.isEmpty() && (text.back() == ' ' || text.back() == '\t'))
        text.chop(1);
    return text;
}

// Whether a comma-separated header value lists the token, in any case.
bool listsToken(QByteArrayView value, QByteArrayView token)
{
    qsizetype start = 0;
    while (start <= value.size()) {
        qsizetype comma = value.indexOf(',', start);
        if (comma < 0)
            comma = value.size();
        if (trimmed(value.sliced(start, comma - start)).compare(token, Qt::CaseInsensitive) == 0)
            return true;
        start = comma + 1;
    }
    return false;
}

// The name part of a Host value, without the port; empty when the value is malformed.
QByteArrayView hostName(QByteArrayView host, bool &bracketed)
{
    bracketed = host.startsWith('[');
    QByteArrayView name = host;
    QByteArrayView port;
    if (bracketed) {
        const qsizetype close = host.indexOf(']');
        if (close < 0)
            return {};
        name = host.sliced(1, close - 1);
        const QByteArrayView rest = host.sliced(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(':'))
            return {};
        port = rest.isEmpty() ? rest : rest.sliced(1);
    } else {
        const qsizetype colon = host.indexOf(':');
        if (colon >= 0) {
            name = host.first(colon);
            port = host.sliced(colon + 1);
        }
    }
    for (const char character : port) {
        if (character < '0' || character > '9')
            return {};
    }
    return name;
}

// Port 80 is left out of an origin; a Host may still name it.
QByteArrayView withoutDefaultPort(QByteArrayView host)
{
    return host.endsWith(":80") ? host.chopped(3) : host;
}

} // namespace

RequestRule::RequestRule(QStringList hostNames, QList<QByteArray> paths, QByteArray chatPath)
    : hostNames(std::move(hostNames))
    , paths(std::move(paths))
    , chatPath(std::move(chatPath))
{}

RequestRule::Verdict RequestRule::judge(QByteArrayView received) const
{
    const qsizetype end = received.indexOf("\r\n\r\n");
    if (end < 0)
        return received.size() >= maxHeadBytes ? refusal(headTooLarge) : Verdict{};
    if (end + 4 > maxHeadBytes)
        return refusal(headTooLarge);
    const QByteArrayView head = received.first(end);

    qsizetype lineEnd = head.indexOf("\r\n");
    if (lineEnd < 0)
        lineEnd = head.size();
    const QByteArrayView requestLine = head.first(lineEnd);
    const qsizetype firstSpace = requestLine.indexOf(' ');
    const qsizetype lastSpace = requestLine.lastIndexOf(' ');
    if (firstSpace <= 0 || lastSpace <= firstSpace + 1)
        return refusal(badRequest);
    const QByteArrayView method = requestLine.first(firstSpace);
    const QByteArrayView target = requestLine.sliced(firstSpace + 1, lastSpace - firstSpace - 1);
    const QByteArrayView version = requestLine.sliced(lastSpace + 1);
    if (!isToken(method) || target.contains(' ') || !isFieldValue(target)
        || (version != "HTTP/1.1" && version != "HTTP/1.0"))
        return refusal(badRequest);

    QByteArrayView host, origin, upgrade, connection, ifNoneMatch, ifModifiedSince, key, keyVersion;
    bool hostSeen = false, originSeen = false, keySeen = false, hasBody = false;
    qsizetype at = lineEnd + 2;
    while (at < head.size()) {
        qsizetype next = head.indexOf("\r\n", at);
        if (next < 0)
            next = head.size();
        const QByteArrayView line = head.sliced(at, next - at);
        at = next + 2;
        const qsizetype colon = line.indexOf(':');
        // No folded lines, no blank before the colon: each is a way to read one head two ways.
        if (colon <= 0 || !isToken(line.first(colon)))
            return refusal(badRequest);
        const QByteArrayView name = line.first(colon);
        const QByteArrayView value = trimmed(line.sliced(colon + 1));
        if (!isFieldValue(value))
            return refusal(badRequest);
        if (name.compare("host", Qt::CaseInsensitive) == 0) {
            if (std::exchange(hostSeen, true))
                return refusal(badRequest);
            host = value;
        } else if (name.compare("origin", Qt::CaseInsensitive) == 0) {
            if (std::exchange(originSeen, true))
                return refusal(badRequest);
            origin = value;
        } else if (name.compare("if-none-match", Qt::CaseInsensitive) == 0) {
            ifNoneMatch = value;
        } else if (name.compare("if-modified-since", Qt::CaseInsensitive) == 0) {
            ifModifiedSince = value;
        } else if (name.compare("upgrade", Qt::CaseInsensitive) == 0) {
            upgrade = value;
        } else if (name.compare("connection", Qt::CaseInsensitive) == 0) {
            connection = value;
        } else if (name.compare("sec-websocket-key", Qt::CaseInsensitive) == 0) {
            if (std::exchange(keySeen, true))
                return refusal(badRequest);
            key = value;
        } else if (name.compare("sec-websocket-version", Qt::CaseInsensitive) == 0) {
            keyVersion = value;
        } else if (name.compare("transfer-encoding", Qt::CaseInsensitive) == 0
                   || (name.compare("content-length", Qt::CaseInsensitive) == 0 && value != "0")) {
            hasBody = true;
        }
    }
    // A body would have to be read or skipped; the page's requests have none.
    if (!hostSeen || hasBody)
        return refusal(badRequest);
    if (!isOwnHost(host))
        return refusal(misdirected);

    const bool isChat = target == chatPath;
    if (!isChat && !paths.contains(target))
        return refusal(notFound);
    if (method != "GET")
        return refusal(methodNotAllowed);

    Verdict verdict;
    verdict.host = host.toByteArray();
    if (!isChat) {
        verdict.outcome = Outcome::ServeFile;
        verdict.path = target.toByteArray();
        verdict.ifNoneMatch = ifNoneMatch.toByteArray();
        verdict.ifModifiedSince = ifModifiedSince.toByteArray();
        return verdict;
    }
    if (!listsToken(upgrade, "websocket") || !listsToken(connection, "upgrade"))
        return refusal(upgradeRequired);
    // Another web site open in a colleague's browser must not post into the chat through it.
    if (!originSeen || !isOwnOrigin(origin, host))
        return refusal(forbidden);
    // The one version of the protocol there is; the answer names it.
    if (keyVersion != "13")
        return refusal(upgradeRequired);
    // The key is 16 random bytes in base64: the answer proves that this server read the request.
    const auto decodedKey = QByteArray::fromBase64Encoding(key.toByteArray(),
                                                           QByteArray::AbortOnBase64DecodingErrors);
    if (version != "HTTP/1.1" || !decodedKey || decodedKey.decoded.size() != 16)
        return refusal(badRequest);
    verdict.outcome = Outcome::OpenChat;
    verdict.headBytes = end + 4;
    verdict.accept =
            QCryptographicHash::hash(key.toByteArray() + websocketGuid, QCryptographicHash::Sha1)
                    .toBase64();
    return verdict;
}

bool RequestRule::isOwnHost(QByteArrayView host) const
{
    bool bracketed = false;
    QByteArrayView name = hostName(host, bracketed);
    if (name.isEmpty())
        return false;
    const QString text = QString::fromLatin1(name);
    QHostAddress address;
    if (address.setAddress(text)) {
        // A bracketed name must be IPv6, a bare one IPv4: "[1.2.3.4]" is no URL's host.
        return bracketed == (address.protocol() == QAbstractSocket::IPv6Protocol);
    }
    if (bracketed)
        return false;
    if (name.endsWith('.'))
        name.chop(1);
    return hostNames.contains(QString::fromLatin1(name), Qt::CaseInsensitive);
}

bool RequestRule::isOwnOrigin(QByteArrayView origin, QByteArrayView host)
{
    if (!origin.startsWith("http://"))
        return false;
    return withoutDefaultPort(origin.sliced(7))
                   .compare(withoutDefaultPort(host), Qt::CaseInsensitive)
            == 0;
}

bool RequestRule::holdsCurrent(const Verdict &verdict, QByteArrayView etag,
                               QByteArrayView lastModified)
{
    if (verdict.ifNoneMatch.isEmpty())
        return !verdict.ifModifiedSince.isEmpty() && verdict.ifModifiedSince == lastModified;
    // A list of tags, weak ones (W/) included: a page's file is served whole, so a weak match
    // is as good as a strong one here.
    for (const QByteArray &tag : verdict.ifNoneMatch.split(',')) {
        const QByteArray trimmedTag = tag.trimmed();
        if (trimmedTag == "*" || trimmedTag == etag
            || (trimmedTag.startsWith("W/") && trimmedTag.mid(2) == etag))
            return true;
    }
    return false;
}
