#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>

namespace socks {

// Turns a frame's payload into its text. Bytes that are not valid UTF-8 become replacement
// characters, and `valid` says whether there were any.
class TextDecoder
{
public:
    struct Text
    {
        QString text;
        bool valid = true;
    };

    Text decode(QByteArrayView payload);

    // Whether every byte is below 0x80, so that the bytes are valid UTF-8 and each one is its
    // own character.
    static bool isAscii(QByteArrayView bytes);

private:
    QStringDecoder utf8{QStringDecoder::Utf8, QStringDecoder::Flag::Stateless};
};

} // namespace socks
