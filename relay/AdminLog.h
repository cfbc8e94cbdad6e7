#pragma once

#include "net/RelayPolicy.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The priorities of the relay's own lines, in sd-daemon's numbers: the journal files a line under
// the one its "<N>" prefix names.
enum class LogPriority { Error = 3, Warning = 4, Notice = 5, Info = 6 };

// One line of the relay's own for an administrator, without its line end.
struct AdminLine
{
    LogPriority priority = LogPriority::Info;
    QString text;
};

// What the relay tells an administrator about its clients, in short English, one line each: who
// came, who left and who was dropped, why, and how many clients are left. Words and priorities
// only, from values; writing them is RelayService's.
class AdminLog
{
public:
    // peer: "address:port" (empty when unknown); clients: the count after the change.
    static AdminLine joined(const QString &peer, int clients);
    // limits: those in force, for the numbers the words give.
    static AdminLine departed(const QString &peer, socks::CloseReason why, int clients,
                              const socks::RelayLimits &limits);

    // The longest line the relay writes, well below journald's line limit (48 KiB by default),
    // past which the journal would begin a line of its own with what the line holds.
    static constexpr qsizetype maxLineBytes = 32 * 1024;
    // The bytes of one line: under the journal with its "<N>" prefix, plain otherwise; a text
    // longer than maxLineBytes is cut there, and the line says how many bytes it lost.
    static QByteArray lineBytes(LogPriority priority, const QString &text, bool journal);

    // The stream the journal reads, as JOURNAL_STREAM names it ("device:inode", both decimal),
    // or none when the value is anything else.
    struct Stream
    {
        quint64 device = 0;
        quint64 inode = 0;
    };
    static std::optional<Stream> readJournalStream(const QByteArray &value);
    // Whether the descriptor is the stream JOURNAL_STREAM names: a descriptor the administrator
    // redirected elsewhere gets plain lines even under the service manager.
    static bool writesToJournal(int descriptor);
};
