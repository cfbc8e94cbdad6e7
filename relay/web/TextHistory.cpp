#include "relay/web/TextHistory.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

qint64 textBytes(const QString &text)
{
    return qint64(text.size()) * qint64(sizeof(QChar));
}

} // namespace

TextHistory::TextHistory(int maxTexts)
    : maxTexts(std::max(0, maxTexts))
{}

void TextHistory::add(const QString &text)
{
    ++next;
    if (maxTexts == 0)
        return;
    texts.push_back(text);
    heldBytes += textBytes(text);
    while (!texts.empty() && (int(texts.size()) > maxTexts || heldBytes > maxBytes)) {
        heldBytes -= textBytes(texts.front());
        texts.pop_front();
    }
}

QByteArray TextHistory::message(quint32 relayId) const
{
    QJsonArray held;
    for (const QString &text : texts)
        held.append(text);
    return QJsonDocument(QJsonObject{{QStringLiteral("relay"), qint64(relayId)},
                                     {QStringLiteral("first"), firstNumber()},
                                     {QStringLiteral("texts"), held}})
            .toJson(QJsonDocument::Compact);
}
