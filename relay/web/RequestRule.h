#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QStringList>

// What a browser's request head asks of the relay's web port, decided from its bytes alone: one of
// the page's files, the chat's WebSocket, more bytes, or a refusal with its HTTP status. Nothing
// else is ever served, and no request body is ever read.
class RequestRule
{
public:
    // A browser's head is well under 2 KiB; a larger one is no browser asking for the page.
    static constexpr qsizetype maxHeadBytes = 8 * 1024;

    enum class Outcome { NeedMore, ServeFile, OpenChat, Refuse };

    struct Verdict
    {
        Outcome outcome = Outcome::NeedMore;
        int status = 0; // the refusal's HTTP status
        QByteArray path; // the file asked for (ServeFile)
        QByteArray host; // the Host the browser named, for the page's own origin
        QByteArray ifNoneMatch; // the validators of the copy the browser holds, if any
        QByteArray ifModifiedSince;
        qsizetype headBytes = 0; // the upgrade's head, up to its empty line (OpenChat)
        QByteArray accept; // the answer's Sec-WebSocket-Accept (OpenChat)
    };

    // hostNames: the names the relay answers to besides IP literals (its own host name and the
    // like, lower case). paths: the page's own files; chatPath: the WebSocket's.
    RequestRule(QStringList hostNames, QList<QByteArray> paths, QByteArray chatPath);

    Verdict judge(QByteArrayView received) const;

    // Whether a name in a Host header is one the relay is reached by: an IP literal or one of the
    // known names, so that a foreign name resolving to the relay (DNS rebinding) gets nowhere.
    bool isOwnHost(QByteArrayView host) const;

    // The page's own origin is http:// and the Host the browser named; nothing else may connect.
    static bool isOwnOrigin(QByteArrayView origin, QByteArrayView host);

    // Whether the copy the browser holds is the file with these validators, so that 304 Not
    // Modified answers: If-None-Match decides when given, else If-Modified-Since.
    static bool holdsCurrent(const Verdict &verdict, QByteArrayView etag,
                             QByteArrayView lastModified);

private:
    QStringList hostNames;
    QList<QByteArray> paths;
    QByteArray chatPath;
};
