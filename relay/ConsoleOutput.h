#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <deque>

class QSocketNotifier;

// A relayed text as one console line, without its line end: a final CR LF or LF is dropped, and
// every other line break, C0 or C1 control, DEL, line or paragraph separator and bidirectional
// override is shown escaped (\n, \r, \t, \x1b, \u009b, \u202e), a backslash as \\. A text that
// begins like the relay's own lines ("prynechat-relay"), or with an invisible format character,
// shows its first character escaped (\x70, \u200b). So no client can begin a line that looks
// like the relay's own, pass off its own characters for an escape, colour the terminal, retitle
// it, set its clipboard (OSC 52) or overwrite a line with a bare CR.
QString consoleText(const QString &text);

// Writes lines to a descriptor without ever blocking the event loop: what the reader does not
// take waits here, up to a bound; past it whole lines are dropped and counted, and once the output
// has drained a line tells how many.
class ConsoleOutput : public QObject
{
    Q_OBJECT

public:
    // A reader slower than a chat must not cost the relay more than this.
    static constexpr qsizetype maxPendingBytes = 1024 * 1024;
    // Lines a reader has not taken for this long are stale: they are dropped for newer ones.
    static constexpr qint64 maxStallMilliseconds = 30000;

    explicit ConsoleOutput(int descriptor, QObject *parent = nullptr);
    ~ConsoleOutput() override;

    // A reader that is only slow gets the last lines when the relay ends, within this time.
    static constexpr int finishMilliseconds = 2000;

    // Whether the descriptor is the journal's stream: lines then carry a priority prefix.
    bool toJournal() const { return journal; }

    void writeLine(const QByteArray &line); // kept whole or dropped whole
    void writeOwnLine(const QByteArray &line); // the relay's few own lines always wait their turn
    void flush(); // writes what the reader takes now, without waiting
    void finish(); // writes what the reader takes within finishMilliseconds

private:
    long writeSome(const char *data, unsigned long size);
    void drain();
    void dropWaitingLines();
    void append(const QByteArray &line);

    int descriptor;
    int ownDescriptor = -1; // a non-blocking duplicate of descriptor's pipe or terminal
    bool isSocket = false;
    bool journal = false;
    // Lines waiting, joined into chunks so that a busy relay writes in batches, not line by line.
    struct Chunk
    {
        QByteArray bytes;
        qint64 lineCount = 0;
    };
    static constexpr qsizetype chunkBytes = 64 * 1024;
    std::deque<Chunk> chunks;
    qsizetype frontWritten = 0; // bytes of chunks.front() already written
    qsizetype pendingBytes = 0;
    qint64 droppedLines = 0;
    QElapsedTimer sinceProgress;
    QSocketNotifier *writable = nullptr;
};
