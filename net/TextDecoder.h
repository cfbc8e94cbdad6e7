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
    // Whether the bytes are valid UTF-8, without making a text of them.
    static bool isValid(QByteArrayView payload);

private:
    QStringDecoder utf8{QStringDecoder::Utf8, QStringDecoder::Flag::Stateless};
};

} // namespace socks
