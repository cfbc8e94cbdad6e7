#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QStringEncoder>
#include <QStringView>

namespace socks {

// Turns a text into one wire frame (4-byte big-endian UTF-8 length, then the UTF-8 bytes) in a
// buffer that is reused from one text to the next.
class FrameEncoder
{
public:
    // The view stays valid until the next encode.
    QByteArrayView encode(QStringView text);

private:
    QByteArray buffer;
    QStringEncoder utf8{QStringEncoder::Utf8, QStringEncoder::Flag::Stateless};
};

} // namespace socks
