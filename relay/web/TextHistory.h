#pragma once

#include <QByteArray>
#include <QString>

#include <deque>

// The newest texts of the room, kept for browsers that join or come back: a page shows what was
// said before it came, and one that lost its connection for a while sees what it missed. Every
// text relayed gets the next number; the held texts are the newest ones within a count and a byte
// bound, so the oldest go first and a text above the byte bound is never held.
class TextHistory
{
public:
    // A page shows this much of what was said before it came; a chat line is rarely over 200
    // bytes, so the count is what usually decides.
    static constexpr int defaultTexts = 200;
    // What the held texts may take, counted as the relay holds them (two bytes a UTF-16 unit). It
    // also bounds the message each joining browser is sent, which its socket holds until read.
    static constexpr qint64 maxBytes = 64 * 1024;

    explicit TextHistory(int maxTexts = defaultTexts);

    void add(const QString &text);

    qint64 nextNumber() const { return next; } // the number the next text will get
    qint64 firstNumber() const { return next - qint64(texts.size()); } // of the oldest held
    int size() const { return int(texts.size()); }
    qint64 bytes() const { return heldBytes; }

    // What a joining browser is sent, as JSON: {"relay": id, "first": n, "texts": [...]}, id
    // telling this relay's numbers from those of another or an earlier one.
    QByteArray message(quint32 relayId) const;

private:
    int maxTexts;
    std::deque<QString> texts;
    qint64 heldBytes = 0;
    qint64 next = 0;
};
