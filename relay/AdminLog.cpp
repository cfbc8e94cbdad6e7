#include "relay/AdminLog.h"

#include "net/FrameDecoder.h"
#include "relay/web/KeepAlive.h"

#include <sys/stat.h>

using socks::CloseReason;

namespace {

QString clientCount(int clients)
{
    return clients == 1 ? QStringLiteral("(1 client)")
                        : QStringLiteral("(%1 clients)").arg(clients);
}

// "address:port", an IPv6 address in brackets so that its port stands apart from it.
QString shownPeer(const QString &peer)
{
    if (peer.isEmpty())
        return QStringLiteral("a peer of unknown address");
    const qsizetype portColon = peer.lastIndexOf(u':');
    if (peer.startsWith(u'[') || portColon <= 0 || peer.lastIndexOf(u':', portColon - 1) < 0)
        return peer;
    return u'[' + peer.left(portColon) + u']' + peer.mid(portColon);
}

// The bounds as an administrator reads them: whole MiB, KiB or MB where they are, bytes otherwise.
QString bytesText(qint64 bytes)
{
    if (bytes > 0 && bytes % (1024 * 1024) == 0)
        return QStringLiteral("%1 MiB").arg(bytes / (1024 * 1024));
    if (bytes > 0 && bytes % 1024 == 0)
        return QStringLiteral("%1 KiB").arg(bytes / 1024);
    if (bytes > 0 && bytes % (1000 * 1000) == 0)
        return QStringLiteral("%1 MB").arg(bytes / (1000 * 1000));
    return QStringLiteral("%1 bytes").arg(bytes);
}

QString timeText(qint64 milliseconds)
{
    if (milliseconds > 0 && milliseconds % 1000 == 0)
        return QStringLiteral("%1 s").arg(milliseconds / 1000);
    return QStringLiteral("%1 ms").arg(milliseconds);
}

// An unsigned decimal number, digits only, that fits in 64 bits.
std::optional<quint64> readDecimal(QByteArrayView digits)
{
    if (digits.isEmpty() || digits.size() > 20)
        return std::nullopt;
    quint64 value = 0;
    for (const char digit : digits) {
        if (digit < '0' || digit > '9')
            return std::nullopt;
        if (value > (~quint64(0) - quint64(digit - '0')) / 10)
            return std::nullopt;
        value = value * 10 + quint64(digit - '0');
    }
    return value;
}

} // namespace

AdminLine AdminLog::joined(const QString &peer, int clients)
{
    return {LogPriority::Info,
            QStringLiteral("prynechat-relay: %1 joined %2")
                    .arg(shownPeer(peer), clientCount(clients))};
}

AdminLine AdminLog::departed(const QString &peer, CloseReason why, int clients,
                             const socks::RelayLimits &limits)
{
    // Leaving is the peer's own business; a drop is the relay's verdict. Drops that a broken or
    // hostile sender causes are warnings, those of a slow or vanished peer notices.
    LogPriority priority = LogPriority::Info;
    QString how;
    switch (why) {
    case CloseReason::Open:
    case CloseReason::PeerClosed:
        how = QStringLiteral("left");
        break;
    case CloseReason::PeerReset:
        how = QStringLiteral("left: the connection was reset");
        break;
    case CloseReason::ClosedByOwner:
        how = QStringLiteral("left: closed by the relay");
        break;
    case CloseReason::Lagging:
        priority = LogPriority::Notice;
        how = QStringLiteral("dropped: lagging, held a fast sender back taking nothing for %1 "
                             "or under %2/s for %3, or over %4 behind")
                      .arg(timeText(limits.nonReaderMilliseconds),
                           bytesText(limits.minReaderBytesPerSecond),
                           timeText(limits.slowHoldMilliseconds), bytesText(limits.maxBehindBytes));
        break;
    case CloseReason::Stalled:
        priority = LogPriority::Notice;
        how = QStringLiteral("dropped: took no byte for %1 while texts waited")
                      .arg(timeText(limits.stallMilliseconds));
        break;
    case CloseReason::AbandonedFrame:
        priority = LogPriority::Notice;
        how = QStringLiteral("dropped: sent part of a text, then nothing for %1")
                      .arg(timeText(limits.unfinishedMilliseconds));
        break;
    case CloseReason::SocketError:
        priority = LogPriority::Notice;
        how = QStringLiteral("dropped: connection error");
        break;
    case CloseReason::Unanswered:
        priority = LogPriority::Notice;
        how = QStringLiteral("dropped: stopped answering, a ping unanswered for %1")
                      .arg(timeText(KeepAlive::defaultLimits.answerMilliseconds));
        break;
    case CloseReason::OversizedFrame:
        priority = LogPriority::Warning;
        how = QStringLiteral("dropped: announced a text above %1")
                      .arg(bytesText(socks::FrameDecoder::maxPayloadBytes));
        break;
    case CloseReason::InputBudget:
        priority = LogPriority::Warning;
        how = QStringLiteral("dropped: held one of the largest unfinished texts when all "
                             "together passed %1")
                      .arg(bytesText(limits.unfinishedBytes));
        break;
    case CloseReason::UnsendableText:
        priority = LogPriority::Warning;
        how = QStringLiteral("dropped: sent invalid UTF-8 too long to relay once replaced");
        break;
    }
    return {priority,
            QStringLiteral("prynechat-relay: %1 %2 %3")
                    .arg(shownPeer(peer), how, clientCount(clients))};
}

QByteArray AdminLog::lineBytes(LogPriority priority, const QString &text, bool journal)
{
    QByteArray bytes;
    if (journal)
        bytes = '<' + QByteArray::number(int(priority)) + '>';
    QByteArray line = text.toUtf8();
    // The journal takes what follows its line limit for a line of its own, whose start the
    // sender would then choose: every line stays below it, cut between two characters.
    if (line.size() > maxLineBytes) {
        qsizetype cut = maxLineBytes;
        while (cut > 0 && (uchar(line.at(cut)) & 0xc0) == 0x80)
            --cut;
        const qsizetype left = line.size() - cut;
        line.truncate(cut);
        line += " [cut: " + QByteArray::number(left) + " more bytes]";
    }
    return bytes + line + '\n';
}

std::optional<AdminLog::Stream> AdminLog::readJournalStream(const QByteArray &value)
{
    const qsizetype colon = value.indexOf(':');
    if (colon < 0)
        return std::nullopt;
    const std::optional<quint64> device = readDecimal(QByteArrayView(value).first(colon));
    const std::optional<quint64> inode = readDecimal(QByteArrayView(value).sliced(colon + 1));
    if (!device || !inode)
        return std::nullopt;
    return Stream{*device, *inode};
}

bool AdminLog::writesToJournal(int descriptor)
{
    const std::optional<Stream> stream = readJournalStream(qgetenv("JOURNAL_STREAM"));
    struct stat status = {};
    return stream && ::fstat(descriptor, &status) == 0 && quint64(status.st_dev) == stream->device
            && quint64(status.st_ino) == stream->inode;
}
