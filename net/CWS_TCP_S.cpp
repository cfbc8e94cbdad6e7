#include "net/CWS_TCP_S.h"

#include "net/FrameDecoder.h"
#include "net/LanAddress.h"
#include "net/RoomFlow.h"
#include "net/ServerSession.h"
#include "net/SocketHelpers.h"

#include <QDateTime>
#include <QHostAddress>
#include <QPointer>

#include <algorithm>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace socks {

namespace {

// Texts relayed in one turn go out as one chunk; a turn that relays more starts a new chunk.
constexpr qsizetype broadcastChunkBytes = 256 * 1024;
// How often the time bounds are checked, while any connection has bytes waiting either way.
constexpr int watchIntervalMilliseconds = 500;
// While a reader is behind the readers are looked at more often: one that holds a heavy sender
// back without reading goes within this much of nonReaderMilliseconds, and a held sender whose
// debt is paid is read again within this much.
constexpr int heldWatchIntervalMilliseconds = 100;

} // namespace

struct CWS_TCP_S::Member
{
    int index = 0;
    std::unique_ptr<RoomSession> session;
    QString peer;
    QDateTime since;
    Traffic traffic; // but bytesIn, which its session counts
    qint64 unfinished = 0; // its part of unfinishedBytes
    qint64 chargedIn = 0; // of its session's bytesReceived, what the flow has been told
    FlowParty flow;
    bool open = true; // still in the component's table
    bool failed = false; // ServiceError is on its way; nothing more is read or sent
    bool ended = false; // the peer closed or broke the connection
    CloseReason reason = CloseReason::Open;
    std::shared_ptr<void> ticket; // the admission's, for as long as it is open
};

CWS_TCP_S::Limits CWS_TCP_S::defaultLimits()
{
    return Limits();
}

CWS_TCP_S::CWS_TCP_S()
{
    clock.start();
    acceptor = std::make_unique<Acceptor>([this] { takeAccepted(); });
    watchTimer.setInterval(watchIntervalMilliseconds);
    connect(&watchTimer, &QTimer::timeout, this, &CWS_TCP_S::watchMembers);
    broadcastTimer.setSingleShot(true);
    broadcastTimer.setInterval(0);
    connect(&broadcastTimer, &QTimer::timeout, this, &CWS_TCP_S::flushBroadcast);
}

CWS_TCP_S::~CWS_TCP_S()
{
    flushBroadcast();
    for (auto &entry : members) {
        Member &member = *entry.second;
        member.open = false;
        if (!member.failed)
            member.session->close(RoomSession::Closing::Flush);
    }
    members.clear();
    acceptor.reset();
}

bool CWS_TCP_S::InfoVisible() const
{
    return info.isVisible();
}

void CWS_TCP_S::setInfoVisible(bool visible)
{
    info.setVisible(visible);
}

QString CWS_TCP_S::Address() const
{
    if (address.isEmpty())
        address = shownAddress(listenAddress);
    return address;
}

int CWS_TCP_S::Port() const
{
    return acceptor->port();
}

int CWS_TCP_S::ConnectionCount() const
{
    return int(members.size());
}

void CWS_TCP_S::SendData(const QString &data, int index)
{
    if (index != 0) {
        // Whatever was relayed before goes first: one order for every connection. Flushing may
        // drop a connection, so the frame is looked up after it.
        flushBroadcast();
    }
    const bool relaying = isDelivered(data);
    const QByteArrayView frame = relaying ? deliveredFrame : encoder.encode(data);
    if (frame.size() - FrameDecoder::headerBytes > qsizetype(FrameDecoder::maxPayloadBytes))
        return;
    // A received text was charged to its sender as it came in; anything else is the owner's own.
    if (!relaying) {
        flow.received(flow.ownerParty(), frame.size(), clock.elapsed());
        applyFlow();
    }
    if (index == 0) {
        broadcast(frame);
        return;
    }
    const auto found = members.find(index);
    if (found == members.end() || found->second->failed || found->second->ended)
        return;
    Member &member = *found->second;
    const auto chunk = std::make_shared<const QByteArray>(frame.toByteArray());
    queueChunk(member, member.session->encoding().encodeTurn(chunk), 1, clock.elapsed());
    applyFlow();
}

bool CWS_TCP_S::StartService(int port)
{
    address = shownAddress(listenAddress);
    const bool started = acceptor->listen(listenAddress, port);
    lastFailure = acceptor->failure();
    lastError = acceptor->reason();
    return started;
}

void CWS_TCP_S::setListenAddress(const QHostAddress &listenOn)
{
    listenAddress = listenOn;
}

bool CWS_TCP_S::AdoptService(qintptr descriptor)
{
    const bool adopted = acceptor->adopt(descriptor);
    lastFailure = acceptor->failure();
    lastError = acceptor->reason();
    if (adopted)
        address = shownAddress(acceptor->address());
    return adopted;
}

QString CWS_TCP_S::shownAddress(const QHostAddress &bound)
{
    // Bound to one address, that is the only one a peer can use.
    const bool anyAddress = bound == QHostAddress::Any || bound == QHostAddress::AnyIPv4
            || bound == QHostAddress::AnyIPv6;
    return anyAddress ? lanAddress() : addressText(bound);
}

void CWS_TCP_S::CloseConnection(int index)
{
    if (index != 0) {
        removeMember(index, CloseReason::ClosedByOwner);
        return;
    }
    std::vector<int> indices;
    indices.reserve(members.size());
    for (const auto &entry : members)
        indices.push_back(entry.first);
    QPointer<CWS_TCP_S> self(this);
    for (int each : indices) {
        removeMember(each, CloseReason::ClosedByOwner);
        if (!self)
            return;
    }
}

void CWS_TCP_S::setReadingPaused(bool paused)
{
    flow.setPaused(paused);
    applyFlow();
}

void CWS_TCP_S::setLimits(const Limits &limits)
{
    policy = RelayPolicy(limits);
    flow.setLimits(limits);
    enforceInputBudget();
}

QString CWS_TCP_S::LastError() const
{
    return lastError;
}

void CWS_TCP_S::setAdmission(AdmissionHook hook)
{
    admission = std::move(hook);
}

CWS_TCP_S::StartFailure CWS_TCP_S::LastFailure() const
{
    return lastFailure;
}

QString CWS_TCP_S::peerAddress(int index) const
{
    const auto found = members.find(index);
    if (found != members.end())
        return found->second->peer;
    return index != 0 && index == departingIndex ? departingPeer : QString();
}

CloseReason CWS_TCP_S::closeReason(int index) const
{
    const auto found = members.find(index);
    if (found != members.end())
        return found->second->reason;
    return index != 0 && index == departingIndex ? departingReason : CloseReason::Open;
}

int CWS_TCP_S::joinSession(std::unique_ptr<RoomSession> session)
{
    // A newcomer must not receive texts relayed before it came.
    flushBroadcast();
    int index = 0;
    admit(std::move(session), index);
    return index;
}

void CWS_TCP_S::takeAccepted()
{
    // A newcomer must not receive texts relayed before it came.
    flushBroadcast();
    std::vector<int> descriptors = acceptor->takeAccepted();
    for (std::size_t next = 0; next < descriptors.size(); ++next) {
        std::shared_ptr<void> ticket;
        if (admission) {
            sockaddr_storage peer = {};
            socklen_t length = sizeof peer;
            ::getpeername(descriptors[next], reinterpret_cast<sockaddr *>(&peer), &length);
            ticket = admission(QHostAddress(reinterpret_cast<const sockaddr *>(&peer)));
            if (!ticket) {
                ::close(descriptors[next]);
                acceptor->descriptorFreed();
                continue;
            }
        }
        int index = 0;
        if (!admit(std::make_unique<ServerSession>(descriptors[next]), index)) {
            // The component went away in a handler: those not yet admitted are closed.
            for (std::size_t rest = next + 1; rest < descriptors.size(); ++rest)
                ::close(descriptors[rest]);
            return;
        }
        if (const auto member = members.find(index); member != members.end())
            member->second->ticket = std::move(ticket);
    }
}

// False when the component is gone.
bool CWS_TCP_S::admit(std::unique_ptr<RoomSession> session, int &index)
{
    index = RelayPolicy::nextNumber(lastIndex,
                                    [this](int number) { return members.count(number) > 0; });
    lastIndex = index;
    auto member = std::make_shared<Member>();
    member->index = index;
    member->since = QDateTime::currentDateTime();
    member->session = std::move(session);
    member->session->attach(index, this, &clock);
    flow.join(member->flow, index, clock.elapsed());
    member->session->setReading(member->flow.reading);
    member->flow.changed = false;
    flow.takeChanges();
    member->peer = member->session->peerAddress();
    members.emplace(index, member);
    QPointer<CWS_TCP_S> self(this);
    emit ServiceComplete(true, index);
    return !self.isNull();
}

void CWS_TCP_S::readable(int index)
{
    readMember(index);
}

void CWS_TCP_S::progressed(int index)
{
    const auto found = members.find(index);
    if (found == members.end() || found->second->failed)
        return;
    followReader(*found->second, clock.elapsed());
    applyFlow();
}

void CWS_TCP_S::ended(int index, CloseReason why)
{
    const auto found = members.find(index);
    if (found == members.end() || found->second->failed)
        return;
    found->second->ended = true;
    flow.leave(found->second->flow);
    applyFlow();
    // Ends like a close, from the event loop: this may be inside the room's own loops.
    QMetaObject::invokeMethod(
            this, [this, index, why] { endByPeer(index, why); }, Qt::QueuedConnection);
}

void CWS_TCP_S::readMember(int index)
{
    const auto found = members.find(index);
    if (found == members.end())
        return;
    // The handler of GetData may close this connection or destroy the component, so the loop
    // keeps its own reference and checks after every event.
    const std::shared_ptr<Member> member = found->second;
    if (member->failed || member->ended)
        return;
    // A read inside a GetData handler (a nested event loop) may move the bytes of the text that
    // handler is given.
    forgetDeliveredFrame();
    if (!member->flow.reading) {
        member->session->setReading(false);
        return;
    }
    QPointer<CWS_TCP_S> self(this);
    const auto deliver = [&](QByteArrayView frame, QByteArrayView payload) {
        if (relayingEverything && !frame.isEmpty() && TextDecoder::isValid(payload)) {
            // Relayed as received; flushing a full turn may drop a connection, this one too.
            ++member->traffic.textsIn;
            broadcast(frame);
            return member->failed ? RoomSession::Step::Stop : RoomSession::Step::Next;
        }
        // The text, and whether its bytes were valid UTF-8, which decides what is relayed.
        const auto [text, valid] = decoder.decode(payload);
        if (!frame.isEmpty() && valid) {
            // Relayed straight from the session's buffer, which stays as it is while the
            // handler runs unless it reads or closes (see forgetDeliveredFrame).
            deliveredFrame = frame;
        } else {
            // A text that came without a frame of the wire (from a browser) is framed here.
            // Invalid bytes are passed on as the replacement characters they were read as, so
            // that every receiver sees the text this component saw; three bytes each, the text
            // may no longer fit in a frame, and then it is the sender's fault.
            builtFrame = encoder.encode(text).toByteArray();
            if (builtFrame.size() - FrameDecoder::headerBytes
                > qsizetype(FrameDecoder::maxPayloadBytes)) {
                builtFrame = QByteArray();
                failMember(*member, CloseReason::UnsendableText);
                return RoomSession::Step::Stop;
            }
            deliveredFrame = QByteArrayView(builtFrame);
        }
        ++member->traffic.textsIn;
        if (relayingEverything) {
            broadcast(std::exchange(deliveredFrame, QByteArrayView()));
            return member->failed ? RoomSession::Step::Stop : RoomSession::Step::Next;
        }
        deliveredText = text;
        emit GetData(index, text);
        if (!self)
            return RoomSession::Step::Gone;
        forgetDeliveredFrame();
        if (!member->open || member->failed)
            return RoomSession::Step::Stop;
        return RoomSession::Step::Next;
    };
    switch (member->session->readTexts(deliver)) {
    case RoomSession::ReadOutcome::Gone:
    case RoomSession::ReadOutcome::Busy: // the read further up the stack takes the new texts
        return;
    case RoomSession::ReadOutcome::Failed:
        failMember(*member, member->session->failure());
        return;
    case RoomSession::ReadOutcome::Open:
    case RoomSession::ReadOutcome::Stopped:
    case RoomSession::ReadOutcome::Ended:
        break;
    }
    if (member->failed || !member->open)
        return;
    const qint64 received = member->session->bytesReceived();
    flow.received(member->flow, received - std::exchange(member->chargedIn, received),
                  clock.elapsed());
    applyFlow();
    countUnfinished(*member);
    enforceInputBudget();
    if (!member->failed && member->session->failure() != CloseReason::Open)
        removeMember(index, member->session->failure());
}

void CWS_TCP_S::endByPeer(int index, CloseReason why)
{
    const auto found = members.find(index);
    if (found == members.end() || found->second->failed)
        return;
    removeMember(index, why);
}

void CWS_TCP_S::failMember(Member &member, CloseReason why)
{
    if (member.failed)
        return;
    member.failed = true;
    member.reason = why;
    // Closing frees the session's buffer, which may hold the text being delivered.
    forgetDeliveredFrame();
    flow.leave(member.flow);
    unfinishedBytes -= std::exchange(member.unfinished, 0);
    // A reset: what was queued for it is dropped by the kernel too.
    member.session->close(RoomSession::Closing::Abort);
    acceptor->descriptorFreed();
    // Reported from the event loop: failing may be noticed inside SendData, that is inside some
    // handler that should not see the table change under it.
    const int index = member.index;
    QMetaObject::invokeMethod(
            this, [this, index] { reportFailure(index); }, Qt::QueuedConnection);
    applyFlow();
}

void CWS_TCP_S::reportFailure(int index)
{
    const auto found = members.find(index);
    if (found == members.end())
        return;
    const CloseReason why = found->second->reason;
    QPointer<CWS_TCP_S> self(this);
    emit ServiceError(index);
    // A failed connection goes even when the handler leaves it: it is never served again.
    if (self)
        removeMember(index, why);
}

void CWS_TCP_S::removeMember(int index, CloseReason why)
{
    const auto found = members.find(index);
    if (found == members.end())
        return;
    // A connection closed while relaying still gets what was relayed before its close.
    flushBroadcast();
    const std::shared_ptr<Member> member = found->second;
    members.erase(found);
    member->open = false;
    forgetDeliveredFrame();
    if (!member->failed) {
        member->reason = why;
        flow.leave(member->flow);
        unfinishedBytes -= std::exchange(member->unfinished, 0);
        member->session->close(RoomSession::Closing::Flush);
        // A descriptor came free: a listener that ran out of them may go on.
        acceptor->descriptorFreed();
        applyFlow();
    }
    departingIndex = index;
    departingPeer = member->peer;
    departingReason = member->reason;
    QPointer<CWS_TCP_S> self(this);
    emit ServiceComplete(false, index);
    if (self && departingIndex == index)
        departingIndex = 0;
}

void CWS_TCP_S::followReader(Member &member, qint64 now)
{
    if (member.failed || member.ended)
        return;
    const qint64 behind = member.session->bytesBehind();
    flow.reader(member.flow, behind, member.traffic.bytesOut - behind,
                member.session->lastProgress(), now);
    if (behind > 0)
        startWatching();
}

void CWS_TCP_S::applyFlow()
{
    for (FlowParty *party : flow.hasChanges() ? flow.takeChanges() : std::vector<FlowParty *>()) {
        const auto found = members.find(party->index);
        if (found != members.end() && !found->second->failed && !found->second->ended)
            found->second->session->setReading(party->reading);
    }
    if (flow.anyBehind())
        startWatching();
    // Told from the event loop: this may be inside a relay to every connection.
    if (flow.ownerHeld() != announcedBehind && !announcing) {
        announcing = true;
        QMetaObject::invokeMethod(this, &CWS_TCP_S::announceReadersBehind, Qt::QueuedConnection);
    }
}

void CWS_TCP_S::broadcast(QByteArrayView frame)
{
    if (pendingBroadcast.isNull())
        pendingBroadcast.reserve(std::max(turnBytesHint + turnBytesHint / 4, frame.size()));
    pendingBroadcast.append(frame);
    ++pendingBroadcastTexts;
    if (pendingBroadcast.size() >= broadcastChunkBytes)
        flushBroadcast();
    else
        scheduleBroadcast();
}

void CWS_TCP_S::setRelayingEverything(bool relaying)
{
    relayingEverything = relaying;
}

void CWS_TCP_S::scheduleBroadcast()
{
    // A zero timer rather than a posted call: posting wakes the event loop through a descriptor,
    // two system calls a turn on a busy relay.
    if (!broadcastTimer.isActive())
        broadcastTimer.start();
}

void CWS_TCP_S::flushBroadcast()
{
    broadcastTimer.stop();
    if (pendingBroadcastTexts == 0)
        return;
    const int textCount = std::exchange(pendingBroadcastTexts, 0);
    QByteArray turn = std::exchange(pendingBroadcast, QByteArray());
    // The next turn starts with room for as much as this one relayed, instead of growing in
    // steps; a turn much smaller than that gives back the rest, since readers far behind may
    // hold its chunk for long and the memory bounds count bytes.
    turnBytesHint =
            std::min(std::max(turn.size(), turnBytesHint - turnBytesHint / 8), broadcastChunkBytes);
    if (turn.capacity() > 2 * turn.size())
        turn.squeeze();
    const auto frames = std::make_shared<const QByteArray>(std::move(turn));
    // Each encoding present gets the turn built once for all of its sessions; there are one or
    // two, so a list is all it takes.
    std::vector<std::pair<const TurnEncoding *, SendQueue::Chunk>> encodings;
    // Writing raises no signal, so the table cannot change under this loop; a connection that
    // fails here is only marked and reported later. The flow's answer is applied once, after.
    const qint64 now = clock.elapsed();
    for (auto &entry : members) {
        Member &member = *entry.second;
        if (member.failed || member.ended)
            continue;
        const TurnEncoding *own = &member.session->encoding();
        auto encoding = std::find_if(encodings.begin(), encodings.end(),
                                     [own](const auto &each) { return each.first == own; });
        if (encoding == encodings.end())
            encoding = encodings.emplace(encodings.end(), own, own->encodeTurn(frames));
        queueChunk(member, encoding->second, textCount, now);
    }
    applyFlow();
}

void CWS_TCP_S::queueChunk(Member &member, const SendQueue::Chunk &chunk, int textCount, qint64 now)
{
    member.traffic.textsOut += textCount;
    member.traffic.bytesOut += chunk->size();
    member.session->take(chunk);
    if (member.failed || member.ended)
        return;
    if (policy.tooFarBehind(member.session->bytesBehind()))
        failMember(member, CloseReason::Lagging);
    else
        followReader(member, now);
}

void CWS_TCP_S::countUnfinished(Member &member)
{
    const qint64 now = member.session->unfinishedBytes();
    unfinishedBytes += now - member.unfinished;
    member.unfinished = now;
    if (now > 0)
        startWatching();
}

void CWS_TCP_S::enforceInputBudget()
{
    if (unfinishedBytes <= policy.bounds().unfinishedBytes)
        return;
    std::vector<Member *> holders;
    std::vector<qint64> held;
    for (auto &entry : members) {
        if (entry.second->unfinished > 0 && !entry.second->failed) {
            holders.push_back(entry.second.get());
            held.push_back(entry.second->unfinished);
        }
    }
    for (const std::size_t each : policy.overBudget(held))
        failMember(*holders[each], CloseReason::InputBudget);
}

void CWS_TCP_S::announceReadersBehind()
{
    announcing = false;
    if (announcedBehind == flow.ownerHeld())
        return;
    announcedBehind = flow.ownerHeld();
    emit readersBehindChanged(announcedBehind);
}

bool CWS_TCP_S::readersBehind() const
{
    return flow.ownerHeld();
}

void CWS_TCP_S::startWatching()
{
    const int interval =
            flow.anyBehind() ? heldWatchIntervalMilliseconds : watchIntervalMilliseconds;
    if (!watchTimer.isActive() || watchTimer.interval() != interval)
        watchTimer.start(interval);
}

void CWS_TCP_S::watchMembers()
{
    const qint64 now = clock.elapsed();
    bool watching = false;
    std::vector<std::pair<Member *, CloseReason>> dropped;
    // Time alone changes things too: a held sender pays its debt back, a reader stops taking.
    flow.tick(now);
    for (auto &entry : members)
        followReader(*entry.second, now);
    for (FlowParty *party : flow.laggards(now))
        dropped.emplace_back(members.at(party->index).get(), CloseReason::Lagging);
    for (auto &entry : members) {
        Member &member = *entry.second;
        if (member.failed || member.ended)
            continue;
        ReaderState reader;
        reader.behind = member.session->bytesBehind();
        reader.lastProgress = member.session->lastProgress();
        reader.lastInput = member.session->lastInput();
        reader.unfinished = member.unfinished > 0;
        switch (policy.judge(reader, now)) {
        case RelayPolicy::Verdict::Keep:
            watching = watching || reader.behind > 0 || reader.unfinished;
            break;
        case RelayPolicy::Verdict::Laggard:
            dropped.emplace_back(&member, CloseReason::Lagging);
            break;
        case RelayPolicy::Verdict::Stalled:
            dropped.emplace_back(&member, CloseReason::Stalled);
            break;
        case RelayPolicy::Verdict::Abandoned:
            dropped.emplace_back(&member, CloseReason::AbandonedFrame);
            break;
        }
    }
    // Failing raises no signal at once, so the table stays as it is while these go; one dropped
    // twice is failed once.
    for (const auto &[member, why] : dropped)
        failMember(*member, why);
    applyFlow();
    if (!watching && !flow.anyBehind() && !(flow.anyHeavy() && flow.ownerHeld()))
        watchTimer.stop();
}

void CWS_TCP_S::forgetDeliveredFrame()
{
    deliveredFrame = QByteArrayView();
    deliveredText = QString();
}

void CWS_TCP_S::refreshInfo(ServerStatus &status)
{
    status.listening = acceptor->isListening();
    status.address = Address();
    status.port = Port();
    status.connectionCount = ConnectionCount();
    status.rows.reserve(members.size());
    for (const auto &entry : members) {
        const Member &member = *entry.second;
        Traffic traffic = member.traffic;
        traffic.bytesIn = member.session->bytesReceived();
        status.rows.push_back({member.index, member.peer, member.since, traffic, member.failed});
    }
}

} // namespace socks
