// Feeds arbitrary bytes to the browsers' WebSocket decoder the way a socket would: in pieces whose
// sizes come from the input itself, reading every event after each piece and checking what the
// decoder promises of it.
#include "relay/web/WebSocketDecoder.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// Small, so that the fuzzer reaches messages past the bound.
constexpr qsizetype maxMessageBytes = 4096;

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool isCloseCode(quint16 code)
{
    return code == WebSocketDecoder::noStatus || (code >= 1000 && code <= 1003)
            || (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    using Event = WebSocketDecoder::Event;
    WebSocketDecoder decoder(maxMessageBytes);
    // The first byte picks the piece size, so the fuzzer explores every way of cutting frames.
    const size_t piece = size_t(data[0] % 16) + 1;
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    const size_t length = size - 1;
    Event final = Event::NeedMore;
    for (size_t at = 0; at < length && final == Event::NeedMore; at += piece) {
        const size_t count = length - at < piece ? length - at : piece;
        if (at / piece % 2 == 0) {
            decoder.append(QByteArrayView(bytes + at, qsizetype(count)));
        } else {
            char *room = decoder.prepareAppend(qsizetype(count) + 3);
            for (size_t index = 0; index < count; ++index)
                room[index] = bytes[at + index];
            decoder.commitAppend(qsizetype(count));
        }
        for (Event event;
             final == Event::NeedMore && (event = decoder.next()) != Event::NeedMore;) {
            const QByteArrayView payload = decoder.payload();
            switch (event) {
            case Event::Text:
                check(payload.size() <= maxMessageBytes && payload.isValidUtf8());
                break;
            case Event::Ping:
            case Event::Pong:
                check(payload.size() <= 125);
                break;
            case Event::Close:
                check(isCloseCode(decoder.closeCode()) && payload.size() <= 123
                      && payload.isValidUtf8());
                final = event;
                break;
            case Event::Failed:
                check(decoder.closeCode() == WebSocketDecoder::protocolError
                      || decoder.closeCode() == WebSocketDecoder::unsupportedData
                      || decoder.closeCode() == WebSocketDecoder::invalidText
                      || decoder.closeCode() == WebSocketDecoder::tooBig);
                final = event;
                break;
            case Event::NeedMore:
                break;
            }
        }
        // Nothing is kept past the bound, however the bytes are cut.
        check(decoder.bufferedBytes() <= qsizetype(length));
        if (final == Event::NeedMore)
            decoder.releaseSpare();
    }
    // A close or a failure is final.
    if (final != Event::NeedMore)
        check(decoder.next() == final && decoder.next() == final);
    return 0;
}
