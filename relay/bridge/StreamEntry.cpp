#include "relay/bridge/StreamEntry.h"

#include "net/FrameDecoder.h"

#include <algorithm>
#include <utility>

namespace {

std::pair<quint64, quint64> splitStreamId(const QByteArray &id)
{
    const qsizetype dash = id.indexOf('-');
    bool timeOk = false;
    bool seqOk = false;
    const quint64 time = (dash < 0 ? id : id.left(dash)).toULongLong(&timeOk);
    const quint64 seq = dash < 0 ? 0 : id.mid(dash + 1).toULongLong(&seqOk);
    if (!timeOk || (dash >= 0 && !seqOk))
        return {0, 0};
    return {time, seq};
}

} // namespace

RedisCommand addCommand(const QByteArray &streamKey, quint64 relay, quint64 seq,
                        const std::vector<QByteArray> &payloads)
{
    RedisCommand command{"XADD",
                         streamKey,
                         "MAXLEN",
                         "~",
                         QByteArray::number(streamLength),
                         "*",
                         "relay",
                         QByteArray::number(relay, 16).rightJustified(16, '0'),
                         "seq",
                         QByteArray::number(seq)};
    for (const QByteArray &payload : payloads)
        command << "payload" << payload;
    return command;
}

std::optional<StreamEntry> readStreamEntry(const std::vector<QByteArrayView> &fieldsAndValues,
                                           QString *reason)
{
    if (fieldsAndValues.size() % 2 != 0) {
        *reason = QStringLiteral("a field without a value");
        return std::nullopt;
    }
    StreamEntry entry;
    bool haveRelay = false;
    bool haveSeq = false;
    qint64 payloadBytes = 0;
    for (std::size_t index = 0; index < fieldsAndValues.size(); index += 2) {
        const QByteArrayView field = fieldsAndValues[index];
        const QByteArrayView value = fieldsAndValues[index + 1];
        bool ok = false;
        if (field == "payload") {
            payloadBytes += value.size();
            if (payloadBytes > qint64(socks::FrameDecoder::maxPayloadBytes)) {
                *reason = QStringLiteral("payloads of more than %1 bytes together, above the "
                                         "frame limit")
                                  .arg(socks::FrameDecoder::maxPayloadBytes);
                return std::nullopt;
            }
            if (entry.payloads.size() == std::size_t(maxTextsPerEntry)) {
                *reason = QStringLiteral("more than %1 payloads").arg(maxTextsPerEntry);
                return std::nullopt;
            }
            entry.payloads.push_back(value);
        } else if (field == "relay" && !haveRelay) {
            entry.relay = value.toULongLong(&ok, 16);
            if (!ok || value.size() != 16) {
                *reason = QStringLiteral("a relay that is not 16 hex digits");
                return std::nullopt;
            }
            haveRelay = true;
        } else if (field == "seq" && !haveSeq) {
            entry.seq = value.toULongLong(&ok, 10);
            // The last text's number must be a number too.
            if (!ok || entry.seq == 0 || entry.seq > ~quint64(0) - maxTextsPerEntry) {
                *reason = QStringLiteral("a seq that is not a positive number");
                return std::nullopt;
            }
            haveSeq = true;
        } else {
            *reason = QStringLiteral("an unexpected field %1")
                              .arg(QString::fromUtf8(
                                      field.first(std::min<qsizetype>(field.size(), 64))));
            return std::nullopt;
        }
    }
    if (!haveRelay || !haveSeq || entry.payloads.empty()) {
        *reason = QStringLiteral("not relay, seq and at least one payload");
        return std::nullopt;
    }
    return entry;
}

int compareStreamIds(const QByteArray &left, const QByteArray &right)
{
    const auto a = splitStreamId(left);
    const auto b = splitStreamId(right);
    return a < b ? -1 : (b < a ? 1 : 0);
}
