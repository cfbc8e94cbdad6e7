#include "relay/Admission.h"

#include <QLocale>

#include <algorithm>

namespace {

// The address as the log shows it, an IPv6 one in brackets as in the lines of joins.
QString shown(const QHostAddress &address)
{
    if (address.protocol() == QAbstractSocket::IPv6Protocol)
        return u'[' + address.toString() + u']';
    return address.toString();
}

QString count(qint64 number)
{
    return QLocale(QLocale::English).toString(number);
}

} // namespace

Admission::Admission(std::function<qint64()> clock)
    : clock(std::move(clock))
{}

void Admission::setRules(const Rules &rules)
{
    current = rules;
    // A lower rate applies from now: nobody keeps more joins than the new rate gives.
    for (Joins &each : joins)
        each.left = std::min(each.left, double(current.maxJoinsPerMinute));
}

QHostAddress Admission::plain(const QHostAddress &peer)
{
    bool isIpv4 = false;
    const quint32 ipv4 = peer.toIPv4Address(&isIpv4);
    if (isIpv4)
        return QHostAddress(ipv4);
    QHostAddress address = peer;
    address.setScopeId(QString());
    return address;
}

bool Admission::allowed(const QHostAddress &peer) const
{
    if (current.allowed.isEmpty())
        return true;
    return std::any_of(
            current.allowed.begin(), current.allowed.end(),
            [&peer](const QPair<QHostAddress, int> &network) { return peer.isInSubnet(network); });
}

bool Admission::takeJoin(const QHostAddress &peer, qint64 now)
{
    const int rate = current.maxJoinsPerMinute;
    if (rate == 0)
        return true;
    auto found = joins.find(peer);
    if (found == joins.end()) {
        // Those whose joins have refilled remember nothing worth keeping.
        if (joins.size() >= maxTrackedAddresses) {
            for (auto each = joins.begin(); each != joins.end();) {
                if (each->left + double(now - each->at) * rate / logWindowMilliseconds >= rate)
                    each = joins.erase(each);
                else
                    ++each;
            }
        }
        if (joins.size() >= maxTrackedAddresses)
            joins.erase(joins.begin());
        found = joins.insert(peer, Joins{double(rate), now});
    }
    Joins &bucket = *found;
    bucket.left = std::min(double(rate),
                           bucket.left + double(now - bucket.at) * rate / logWindowMilliseconds);
    bucket.at = now;
    if (bucket.left < 1)
        return false;
    bucket.left -= 1;
    return true;
}

Admission::Verdict Admission::admit(const QHostAddress &peer)
{
    const qint64 now = clock();
    const QHostAddress address = plain(peer);
    Verdict verdict = Verdict::Admitted;
    if (!allowed(address))
        verdict = Verdict::NotAllowed;
    else if (current.maxPerAddress > 0 && open.value(address) >= current.maxPerAddress)
        verdict = Verdict::TooMany;
    else if (!takeJoin(address, now))
        verdict = Verdict::TooFast;
    if (verdict == Verdict::Admitted)
        ++open[address];
    else
        refuse(address, verdict, now);
    return verdict;
}

void Admission::release(const QHostAddress &peer)
{
    const QHostAddress address = plain(peer);
    const auto found = open.find(address);
    if (found == open.end())
        return;
    if (--*found <= 0)
        open.erase(found);
}

int Admission::connectionsFrom(const QHostAddress &peer) const
{
    return open.value(plain(peer));
}

void Admission::refuse(const QHostAddress &peer, Verdict why, qint64 now)
{
    sumUp(now);
    const auto found = refusals.find(peer);
    if (found != refusals.end()) {
        ++found->more;
        return;
    }
    if (refusals.size() >= maxTrackedAddresses) {
        if (untrackedRefusals++ == 0)
            untrackedSince = now;
        return;
    }
    refusals.insert(peer, Refusals{now, 0});
    QString reason;
    switch (why) {
    case Verdict::NotAllowed:
        reason = QStringLiteral("not in an allowed network (--allow)");
        break;
    case Verdict::TooMany:
        reason = QStringLiteral("already has %1 connections (--max-per-address)")
                         .arg(current.maxPerAddress);
        break;
    case Verdict::TooFast:
        reason = QStringLiteral("joined %1 times within a minute (--max-joins-per-minute)")
                         .arg(current.maxJoinsPerMinute);
        break;
    case Verdict::Admitted:
        break;
    }
    lines << QStringLiteral("prynechat-relay: refused %1: %2; more refusals from it are counted "
                            "for a minute")
                     .arg(shown(peer), reason);
}

void Admission::sumUp(qint64 now)
{
    for (auto each = refusals.begin(); each != refusals.end();) {
        if (now - each->since < logWindowMilliseconds) {
            ++each;
            continue;
        }
        if (each->more > 0)
            lines << QStringLiteral("prynechat-relay: %1 more refusals from %2 in the last minute")
                             .arg(count(each->more), shown(each.key()));
        each = refusals.erase(each);
    }
    if (untrackedRefusals > 0 && now - untrackedSince >= logWindowMilliseconds) {
        lines << QStringLiteral("prynechat-relay: %1 refusals from other addresses in the last "
                                "minute")
                         .arg(count(untrackedRefusals));
        untrackedRefusals = 0;
    }
}

QStringList Admission::takeLines()
{
    sumUp(clock());
    return std::exchange(lines, {});
}
