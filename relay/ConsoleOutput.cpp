#include "relay/ConsoleOutput.h"

#include "relay/AdminLog.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Characters a terminal or a log viewer may take for a line break or use to reorder what is
// shown: line and paragraph separators, bidirectional embeddings, overrides and isolates.
bool breaksOrReordersLines(char16_t c)
{
    return c == 0x2028 || c == 0x2029 || (c >= 0x202a && c <= 0x202e)
            || (c >= 0x2066 && c <= 0x2069);
}

// A first character that shows nothing (a format character, a combining mark, a variation
// selector, a Hangul filler, a space other than ASCII's) or passes for a Latin letter or digit
// (a fullwidth form, a mathematical letter, a Cyrillic, Greek or Armenian letter).
bool disguises(char32_t c)
{
    if (c < 0x80)
        return false;
    switch (QChar::category(c)) {
    case QChar::Other_Format:
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining:
    case QChar::Mark_Enclosing:
    case QChar::Separator_Space:
        return true;
    default:
        break;
    }
    if (c == 0x115f || c == 0x1160 || c == 0x3164 || c == 0xffa0)
        return true;
    switch (QChar::script(c)) {
    case QChar::Script_Cyrillic:
    case QChar::Script_Greek:
    case QChar::Script_Armenian:
        return true;
    default:
        break;
    }
    const QString decomposed = QChar::decomposition(c);
    return QChar::decompositionTag(c) != QChar::NoDecomposition && !decomposed.isEmpty()
            && decomposed.at(0).unicode() < 0x80;
}

void appendEscaped(QString &shown, char16_t c)
{
    if (c < 0x80)
        shown.append(QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0')));
    else
        shown.append(QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0')));
}

} // namespace

QString consoleText(const QString &text)
{
    qsizetype end = text.size();
    if (text.endsWith(QLatin1String("\r\n")))
        end -= 2;
    else if (text.endsWith(QLatin1Char('\n')))
        end -= 1;
    // The relay's own lines begin with its name: a text that begins so, or with a character
    // that shows nothing or passes for a Latin one, shows its first character escaped. An escape
    // is the only way a line can begin with a backslash, so no text can begin like an own line.
    qsizetype disguise = 0;
    if (text.startsWith(QLatin1String("prynechat-relay")))
        disguise = 1;
    else if (end > 1 && text.at(0).isHighSurrogate() && text.at(1).isLowSurrogate())
        disguise = disguises(QChar::surrogateToUcs4(text.at(0), text.at(1))) ? 2 : 0;
    else if (end > 0)
        disguise = disguises(text.at(0).unicode()) ? 1 : 0;
    QString shown;
    shown.reserve(end);
    for (qsizetype at = 0; at < end; ++at) {
        const char16_t c = text[at].unicode();
        if (at < disguise) {
            appendEscaped(shown, c);
        } else if (c == u'\\') {
            shown.append(QLatin1String("\\\\"));
        } else if ((c >= 0x20 && c < 0x7f) || (c > 0x9f && !breaksOrReordersLines(c))) {
            shown.append(QChar(c));
        } else if (c == u'\n') {
            shown.append(QLatin1String("\\n"));
        } else if (c == u'\r') {
            shown.append(QLatin1String("\\r"));
        } else if (c == u'\t') {
            shown.append(QLatin1String("\\t"));
        } else {
            appendEscaped(shown, c);
        }
    }
    return shown;
}

ConsoleOutput::ConsoleOutput(int descriptor, QObject *parent)
    : QObject(parent)
    , descriptor(descriptor)
{
    // O_NONBLOCK on the inherited descriptor would also change the shell's terminal or the
    // writer's end it shares, so a pipe or terminal is opened anew for this process alone. A
    // regular file never keeps a writer waiting; a socket (the journal) takes MSG_DONTWAIT.
    journal = AdminLog::writesToJournal(descriptor);
    struct stat status = {};
    if (::fstat(descriptor, &status) == 0) {
        if (S_ISSOCK(status.st_mode)) {
            isSocket = true;
        } else if (S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode)) {
            const QByteArray path = "/proc/self/fd/" + QByteArray::number(descriptor);
            ownDescriptor = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        }
    }
    writable = new QSocketNotifier(ownDescriptor >= 0 ? ownDescriptor : descriptor,
                                   QSocketNotifier::Write, this);
    writable->setEnabled(false);
    connect(writable, &QSocketNotifier::activated, this, &ConsoleOutput::drain);
}

ConsoleOutput::~ConsoleOutput()
{
    flush();
    writable->setEnabled(false);
    if (ownDescriptor >= 0)
        ::close(ownDescriptor);
}

void ConsoleOutput::writeLine(const QByteArray &line)
{
    if (line.isEmpty())
        return;
    if (!chunks.empty() && sinceProgress.hasExpired(maxStallMilliseconds))
        dropWaitingLines();
    if (pendingBytes + line.size() > maxPendingBytes) {
        ++droppedLines;
        return;
    }
    append(line);
}

void ConsoleOutput::writeOwnLine(const QByteArray &line)
{
    append(line);
}

void ConsoleOutput::append(const QByteArray &line)
{
    if (chunks.empty())
        sinceProgress.start();
    // The front chunk may be partly written: only a chunk behind it grows.
    if (chunks.size() > 1 && chunks.back().bytes.size() + line.size() <= chunkBytes) {
        chunks.back().bytes.append(line);
        ++chunks.back().lineCount;
    } else {
        chunks.push_back({line, 1});
    }
    pendingBytes += line.size();
    if (!writable->isEnabled())
        writable->setEnabled(true); // written once the loop finds the reader ready, in a batch
}

void ConsoleOutput::flush()
{
    drain();
}

void ConsoleOutput::finish()
{
    QElapsedTimer elapsed;
    elapsed.start();
    drain();
    while (!chunks.empty() && !elapsed.hasExpired(finishMilliseconds)) {
        pollfd ready{ownDescriptor >= 0 ? ownDescriptor : descriptor, POLLOUT, 0};
        ::poll(&ready, 1, int(finishMilliseconds - elapsed.elapsed()));
        drain();
    }
}

long ConsoleOutput::writeSome(const char *data, unsigned long size)
{
    if (isSocket)
        return ::send(descriptor, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (ownDescriptor >= 0)
        return ::write(ownDescriptor, data, size);
    // Without a descriptor of its own, a pipe that polls writable takes PIPE_BUF bytes at once.
    pollfd ready{descriptor, POLLOUT, 0};
    if (::poll(&ready, 1, 0) != 1 || !(ready.revents & POLLOUT)) {
        errno = EAGAIN;
        return -1;
    }
    return ::write(descriptor, data, std::min<unsigned long>(size, PIPE_BUF));
}

void ConsoleOutput::drain()
{
    for (;;) {
        while (!chunks.empty()) {
            const QByteArray &front = chunks.front().bytes;
            const long written = writeSome(front.constData() + frontWritten,
                                           (unsigned long)(front.size() - frontWritten));
            if (written < 0 && errno == EINTR)
                continue;
            if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                // Nobody can ever read this output: keep relaying, print nothing more.
                chunks.clear();
                pendingBytes = frontWritten = droppedLines = 0;
                writable->setEnabled(false);
                return;
            }
            if (written <= 0) {
                writable->setEnabled(true);
                return;
            }
            sinceProgress.start();
            frontWritten += written;
            if (frontWritten < front.size())
                continue;
            pendingBytes -= front.size();
            frontWritten = 0;
            chunks.pop_front();
        }
        if (droppedLines == 0)
            break;
        const QByteArray note = AdminLog::lineBytes(
                LogPriority::Warning,
                QStringLiteral("prynechat-relay: %1 lines dropped: the output was not read in time")
                        .arg(droppedLines),
                journal);
        droppedLines = 0;
        chunks.push_back({note, 1});
        pendingBytes += note.size();
    }
    writable->setEnabled(false);
}

void ConsoleOutput::dropWaitingLines()
{
    // A line partly written is finished, so that the next one starts on a line of its own.
    while (chunks.size() > (frontWritten > 0 ? 1u : 0u)) {
        pendingBytes -= chunks.back().bytes.size();
        droppedLines += chunks.back().lineCount;
        chunks.pop_back();
    }
}
