#pragma once

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>

// Who may come in, on the chat port and the web port alike: a peer from an allowed network, with
// fewer than the most connections of one address open and joins left in its rate. Refusals are
// logged once per address per minute and summed up after it, so that a flood of them neither
// fills the journal nor hides the lines that matter. Socket-free: the clock is given.
class Admission
{
public:
    static constexpr int defaultMaxPerAddress = 10;
    static constexpr int defaultMaxJoinsPerMinute = 60;
    static constexpr qint64 logWindowMilliseconds = 60 * 1000;
    // Addresses whose joins or refusals are remembered at most; past it the oldest are forgotten
    // (a joins' count) or summed up with the others (a refusals' count).
    static constexpr int maxTrackedAddresses = 4096;

    struct Rules
    {
        QList<QPair<QHostAddress, int>> allowed; // empty: every network
        int maxPerAddress = defaultMaxPerAddress; // 0: no limit
        int maxJoinsPerMinute = defaultMaxJoinsPerMinute; // 0: no limit
    };
    enum class Verdict { Admitted, NotAllowed, TooMany, TooFast };

    explicit Admission(std::function<qint64()> clock); // milliseconds, never going back

    void setRules(const Rules &rules); // those in force from now; open connections stay
    const Rules &rules() const { return current; }

    // Admitted peers count until released.
    Verdict admit(const QHostAddress &peer);
    void release(const QHostAddress &peer);
    int connectionsFrom(const QHostAddress &peer) const;

    // The log's lines due now, "prynechat-relay: " first: a refusal at once when it is the
    // first of its address in a minute, the count of the others once that minute is over.
    QStringList takeLines();

    // An IPv4 peer seen through an IPv6 socket is the IPv4 address; a scope is no part of it.
    static QHostAddress plain(const QHostAddress &peer);

private:
    struct Joins
    {
        double left = 0; // joins it may still make now
        qint64 at = 0; // when `left` was reckoned
    };
    struct Refusals
    {
        qint64 since = 0; // the first one told, which opens the minute
        qint64 more = 0; // refused after it within the minute
    };

    bool allowed(const QHostAddress &peer) const;
    bool takeJoin(const QHostAddress &peer, qint64 now);
    void refuse(const QHostAddress &peer, Verdict why, qint64 now);
    void sumUp(qint64 now);

    std::function<qint64()> clock;
    Rules current;
    QHash<QHostAddress, int> open;
    QHash<QHostAddress, Joins> joins;
    QHash<QHostAddress, Refusals> refusals;
    qint64 untrackedRefusals = 0; // from addresses past maxTrackedAddresses
    qint64 untrackedSince = 0;
    QStringList lines;
};
