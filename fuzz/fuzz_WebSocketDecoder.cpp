// Feeds arbitrary bytes to the browsers' WebSocket decoder the way a socket would: in pieces whose
// sizes come from the input itself, reading every event after each piece and checking what the
// decoder promises of it.
#include "fuzz/SocketPieces.h"
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
    Event final = Event::NeedMore;
    feedInPieces(decoder, data, size, [&] {
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
        check(decoder.bufferedBytes() <= qsizetype(size));
        if (final == Event::NeedMore)
            decoder.releaseSpare();
        return final == Event::NeedMore;
    });
    // A close or a failure is final.
    if (final != Event::NeedMore)
        check(decoder.next() == final && decoder.next() == final);
    return 0;
}
