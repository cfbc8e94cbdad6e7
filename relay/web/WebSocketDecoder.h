#pragma once

#include "net/InputBuffer.h"

#include <QByteArray>
#include <QByteArrayView>

// What a browser sends on the chat's WebSocket, read from its bytes alone: frames cut and
// unmasked, a message sent in several frames put together, and the rules a server holds its
// client to (RFC 6455, 5.1 to 5.5, 7.4): every frame masked, no reserved bit (no extension is
// ever agreed) and no unknown opcode, control frames unfragmented and of at most 125 bytes,
// continuations only inside a message, lengths in their shortest form, texts valid UTF-8, a close
// with a code that may be sent and a reason in UTF-8. The chat is text: a binary message is no
// page of ours talking. A broken rule is final and names the code to close with. It knows no
// socket, so the fuzzer and the tests feed it any bytes they like.
class WebSocketDecoder
{
public:
    enum class Event {
        NeedMore, // nothing whole yet
        Text, // payload(): a whole text message, valid UTF-8
        Ping, // payload(): what the pong carries back
        Pong,
        Close, // the browser closes: closeCode(), noStatus when it gave none; payload() its reason
        Failed, // a rule was broken: closeCode() is the code to close with
    };

    // The close codes this side reads or sends (RFC 6455, 7.4.1).
    static constexpr quint16 normalClosure = 1000;
    static constexpr quint16 goingAway = 1001;
    static constexpr quint16 protocolError = 1002;
    static constexpr quint16 unsupportedData = 1003;
    static constexpr quint16 noStatus = 1005;
    static constexpr quint16 invalidText = 1007;
    static constexpr quint16 tooBig = 1009;

    // A message, and so any frame of it, above this many bytes fails with tooBig as soon as its
    // head announces it: none of it is kept.
    explicit WebSocketDecoder(qsizetype maxMessageBytes);

    void append(QByteArrayView bytes) { input.append(bytes); }
    // Lets a socket read straight into the buffer: room for `size` bytes, then the count written.
    char *prepareAppend(qsizetype size) { return input.prepareAppend(size); }
    void commitAppend(qsizetype written) { input.commitAppend(written); }

    // Close and Failed are final: the same event comes again and nothing more is read. payload()
    // views its bytes until the next call of next(), append or clear.
    Event next();
    QByteArrayView payload() const { return current; }
    quint16 closeCode() const { return code; }

    // What was received and not handed out yet: a frame not whole, whole frames not read, the
    // earlier frames of a message.
    qsizetype bufferedBytes() const { return input.size() + message.size(); }
    // The memory those bytes take, which the room's budget for unfinished input counts.
    qsizetype unfinishedBytes() const;
    // Gives back what a large message left behind, so a browser that once sent 1 MiB does not
    // keep that much for the rest of its life.
    void releaseSpare() { input.releaseSpare(); }

private:
    Event fail(quint16 closeCode);
    Event closing(QByteArrayView closePayload);

    qsizetype maxMessage;
    socks::InputBuffer input;
    QByteArray message; // the earlier frames of a text message, unmasked
    bool inMessage = false; // a message's first frame came, its last has not
    bool messageHandedOut = false; // message is the last Text's payload: emptied on the next call
    QByteArrayView current;
    quint16 code = 0;
    Event final = Event::NeedMore; // Close or Failed once either came
};
