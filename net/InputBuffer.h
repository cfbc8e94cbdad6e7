#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace socks {

// Bytes received and not read yet, for a decoder that cuts them into frames. A socket reads
// straight into it, and a steady stream of small frames reuses one allocation: before more is
// appended, the unread tail moves to the front and the capacity stays.
class InputBuffer
{
public:
    void append(QByteArrayView bytes);
    // Room for `size` bytes to read into, then the count written. Views of bytes read earlier
    // are no longer valid after it.
    char *prepareAppend(qsizetype size);
    void commitAppend(qsizetype written);

    qsizetype size() const { return bytes.size() - start; } // what is not read yet
    const char *data() const { return bytes.constData() + start; }
    char *data() { return bytes.data() + start; } // to change in place, as an unmask does
    // Marks `count` bytes read; views of them stay valid until the next append.
    void consume(qsizetype count) { start += count; }
    qsizetype capacity() const { return bytes.capacity(); }

    void clear(); // the memory too
    // Gives back what a large frame left behind, so that a connection that once sent 1 MiB does
    // not keep that much for the rest of its life.
    void releaseSpare();

private:
    void compact();

    QByteArray bytes;
    qsizetype start = 0; // first byte not read yet
    qsizetype appendStart = 0; // where prepareAppend's room begins
};

} // namespace socks
