#include "bench/LoadRun.h"

#include "bench/BenchText.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string_view>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace bench {

namespace {

constexpr std::size_t maxFrameBytes = 1024 * 1024;
constexpr std::size_t readChunk = 256 * 1024;
// Clients join in small batches, each proven by a sync text before the next: a relay with a short
// listen backlog would otherwise leave connections the kernel completed but the relay never took.
constexpr int joinBatch = 8; // ncat --broker listens with a backlog of 10
constexpr std::uint64_t firstSyncRoundMicros = 20000; // doubled each round, up to the longest
constexpr std::uint64_t longestSyncRoundMicros = 500000;

// The opening of a browser's WebSocket, as the page's own script sends it.
std::string upgradeRequest(int port)
{
    const std::string host = "127.0.0.1:" + std::to_string(port);
    return "GET /chat HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host
            + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Key: cHJ5bmVjaGF0LWJlbmNoIQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

// A client's WebSocket frame head: FIN, the opcode, the masked length, and a zero masking key
// (the key is the client's choice; zero leaves the payload as written).
std::size_t webFrameHead(char *out, unsigned opcode, std::size_t length)
{
    std::size_t at = 0;
    out[at++] = char(0x80 | opcode);
    if (length < 126) {
        out[at++] = char(0x80 | length);
    } else if (length < 65536) {
        out[at++] = char(0x80 | 126);
        out[at++] = char(length >> 8);
        out[at++] = char(length & 0xff);
    } else {
        out[at++] = char(0x80 | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            out[at++] = char((std::uint64_t(length) >> shift) & 0xff);
    }
    for (int key = 0; key < 4; ++key)
        out[at++] = 0;
    return at;
}

struct Client
{
    int fd = -1;
    bool connected = false;
    bool web = false; // speaks WebSocket to the relay's web port
    bool upgraded = false; // the relay accepted its WebSocket
    std::string message; // a WebSocket message arriving in several frames
    bool writeWatched = false;
    bool queued = false; // on the list of clients that may send more
    std::uint32_t syncRound = 0; // last sync round it received
    std::uint64_t sent = 0;
    std::uint64_t answered = 0; // texts of this sender seen by its observer (gaps count: lost)
    std::string pending; // the start of a text still being received
    std::string outgoing;
    std::size_t outgoingOffset = 0;
};

class Driver
{
public:
    Driver(const LoadRun::Options &options, LoadRun::Result &result)
        : options(options)
        , result(result)
        , textTemplate(options.textBytes)
        , checker(options.clients, options.mode != LoadRun::Mode::Lines)
        , clients(std::size_t(options.clients))
        , inbox(readChunk + options.textBytes + 4)
    {}

    ~Driver()
    {
        for (Client &client : clients)
            if (client.fd >= 0)
                close(client.fd);
        if (epollFd >= 0)
            close(epollFd);
    }

    void run()
    {
        deadline = monotonicMicros() + options.timeoutMillis * 1000;
        epollFd = epoll_create1(EPOLL_CLOEXEC);
        if (epollFd < 0) {
            fail("epoll_create1", errno);
            return;
        }
        if (!joinAll())
            return;
        drive();
        result.summary = checker.summarize();
        result.textsSent = 0;
        for (int id = 0; id < options.clients; ++id)
            result.textsSent += checker.sentBy(id);
        summariseLatency();
    }

private:
    // Framed and WebSocket clients alike get every text, their own too.
    bool framed() const { return options.mode != LoadRun::Mode::Lines; }
    bool joinsOverWeb(int id) const
    {
        return options.mode == LoadRun::Mode::WebSocket || (options.webPort > 0 && id % 2 == 1);
    }
    int observerOf(int sender) const { return framed() ? sender : (sender + 1) % options.clients; }

    void fail(const char *what, int error)
    {
        if (result.error.empty())
            result.error = std::string(what) + ": " + std::strerror(error);
    }

    void failWith(const std::string &message)
    {
        if (result.error.empty())
            result.error = message;
    }

    bool watch(int id, bool write)
    {
        Client &client = clients[std::size_t(id)];
        epoll_event event{};
        event.events = EPOLLIN | (write ? EPOLLOUT : 0u);
        event.data.u32 = std::uint32_t(id);
        if (epoll_ctl(epollFd, EPOLL_CTL_MOD, client.fd, &event) != 0) {
            fail("epoll_ctl", errno);
            return false;
        }
        client.writeWatched = write;
        return true;
    }

    bool joinAll()
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(std::uint16_t(options.port));
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        for (int joined = 0; joined < options.clients;) {
            const int batchEnd = std::min(options.clients, joined + joinBatch);
            if (!connectRange(joined, batchEnd, address))
                return false;
            joined = batchEnd;
            if (!synchronise(joined))
                return false;
        }
        return true;
    }

    bool connectRange(int from, int to, const sockaddr_in &address)
    {
        for (int id = from; id < to; ++id) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) {
                fail("socket", errno);
                return false;
            }
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            clients[std::size_t(id)].fd = fd;
            clients[std::size_t(id)].web = joinsOverWeb(id);
            sockaddr_in target = address;
            if (options.otherPort > 0 && id % 2 == 1)
                target.sin_port = htons(std::uint16_t(options.otherPort));
            if (options.webPort > 0 && id % 2 == 1)
                target.sin_port = htons(std::uint16_t(options.webPort));
            if (connect(fd, reinterpret_cast<const sockaddr *>(&target), sizeof target) != 0
                && errno != EINPROGRESS) {
                fail("connect", errno);
                return false;
            }
            epoll_event event{};
            event.events = EPOLLOUT;
            event.data.u32 = std::uint32_t(id);
            if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) != 0) {
                fail("epoll_ctl", errno);
                return false;
            }
        }
        notReady = to - from;
        while (notReady > 0) {
            if (monotonicMicros() > deadline) {
                result.timedOut = true;
                failWith("timed out connecting client " + std::to_string(to - notReady));
                return false;
            }
            const int count = epoll_wait(epollFd, events.data(), int(events.size()), 100);
            for (int index = 0; index < count; ++index) {
                const int id = int(events[std::size_t(index)].data.u32);
                Client &client = clients[std::size_t(id)];
                if (client.connected) {
                    // Earlier clients may already get texts (sync rounds still on their way).
                    if (!receive(id))
                        return false;
                    continue;
                }
                int error = 0;
                socklen_t length = sizeof error;
                getsockopt(client.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error != 0) {
                    fail("connect", error);
                    return false;
                }
                client.connected = true;
                if (!watch(id, false))
                    return false;
                if (client.web) {
                    // Ready once the relay has answered the upgrade (see receive).
                    const int port = options.mode == LoadRun::Mode::WebSocket ? options.port
                                                                              : options.webPort;
                    client.outgoing += upgradeRequest(port);
                    if (!flush(id))
                        return false;
                    continue;
                }
                --notReady;
            }
        }
        return true;
    }

    // A connection counts only once the relay passes texts to it; the sync text proves that.
    bool synchronise(int joined)
    {
        const int needed = framed() ? joined : joined - 1;
        if (needed <= 0)
            return true;
        for (std::uint32_t attempt = 0;; ++attempt) {
            const std::uint32_t round = ++currentSyncRound;
            syncedClients = 0;
            Client &first = clients[0];
            const std::size_t at = appendFrameSpace(first);
            textTemplate.writeSync(&first.outgoing[at], round);
            if (!flush(0))
                return false;
            const std::uint64_t roundEnd = monotonicMicros()
                    + std::min(longestSyncRoundMicros,
                               firstSyncRoundMicros << std::min(attempt, 8u));
            while (syncedClients < needed && monotonicMicros() < roundEnd) {
                if (!turn(10))
                    return false;
            }
            if (syncedClients >= needed)
                return true;
            if (monotonicMicros() > deadline)
                break;
        }
        result.timedOut = true;
        failWith("the relay did not pass a sync text to every client ("
                 + std::to_string(syncedClients) + " of " + std::to_string(needed)
                 + " in the last round)");
        return false;
    }

    std::size_t appendFrameSpace(Client &client)
    {
        if (client.outgoingOffset == client.outgoing.size()) {
            client.outgoing.clear();
            client.outgoingOffset = 0;
        }
        const std::size_t at = client.outgoing.size();
        const std::size_t length = options.textBytes;
        if (client.web) {
            char head[14];
            const std::size_t headBytes = webFrameHead(head, 0x1, length);
            client.outgoing.resize(at + headBytes + length);
            std::memcpy(&client.outgoing[at], head, headBytes);
            return at + headBytes;
        }
        if (framed()) {
            client.outgoing.resize(at + 4 + length);
            client.outgoing[at] = char((length >> 24) & 0xff);
            client.outgoing[at + 1] = char((length >> 16) & 0xff);
            client.outgoing[at + 2] = char((length >> 8) & 0xff);
            client.outgoing[at + 3] = char(length & 0xff);
            return at + 4;
        }
        client.outgoing.resize(at + length);
        return at;
    }

    bool flush(int id)
    {
        Client &client = clients[std::size_t(id)];
        while (client.outgoingOffset < client.outgoing.size()) {
            const ssize_t written =
                    send(client.fd, client.outgoing.data() + client.outgoingOffset,
                         client.outgoing.size() - client.outgoingOffset, MSG_NOSIGNAL);
            if (written < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    return client.writeWatched || watch(id, true);
                fail(("send to client " + std::to_string(id)).c_str(), errno);
                return false;
            }
            client.outgoingOffset += std::size_t(written);
        }
        client.outgoing.clear();
        client.outgoingOffset = 0;
        return !client.writeWatched || watch(id, false);
    }

    // One epoll wait and the work it brings; false ends the run (the error is set).
    bool turn(int timeoutMillis)
    {
        const int count = epoll_wait(epollFd, events.data(), int(events.size()), timeoutMillis);
        if (count < 0 && errno != EINTR) {
            fail("epoll_wait", errno);
            return false;
        }
        now = monotonicMicros();
        for (int index = 0; index < count; ++index) {
            const epoll_event &event = events[std::size_t(index)];
            const int id = int(event.data.u32);
            if ((event.events & EPOLLOUT) && !flush(id))
                return false;
            if ((event.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) && !receive(id))
                return false;
        }
        return true;
    }

    bool receive(int id)
    {
        Client &client = clients[std::size_t(id)];
        const std::size_t kept = client.pending.size();
        if (inbox.size() < kept + readChunk)
            inbox.resize(kept + readChunk);
        std::memcpy(inbox.data(), client.pending.data(), kept);
        ssize_t got;
        do
            got = read(client.fd, inbox.data() + kept, readChunk);
        while (got < 0 && errno == EINTR);
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return true;
            fail(("read from client " + std::to_string(id)).c_str(), errno);
            return false;
        }
        if (got == 0) {
            failWith("the relay closed client " + std::to_string(id) + "'s connection");
            return false;
        }
        now = monotonicMicros();
        const char *data = inbox.data();
        const std::size_t end = kept + std::size_t(got);
        std::size_t at = 0;
        if (client.web && !client.upgraded) {
            const std::string_view head(data, end);
            const std::size_t headEnd = head.find("\r\n\r\n");
            if (headEnd == std::string_view::npos) {
                if (end > 8192) {
                    failWith("client " + std::to_string(id) + ": no answer to its upgrade");
                    return false;
                }
                client.pending.assign(data, end);
                return true;
            }
            if (head.substr(0, 13) != "HTTP/1.1 101 ") {
                failWith("client " + std::to_string(id) + "'s upgrade was refused: "
                         + std::string(head.substr(0, head.find('\r'))));
                return false;
            }
            client.upgraded = true;
            --notReady;
            at = headEnd + 4;
        }
        if (client.web) {
            if (!receiveWebFrames(id, data, end, at))
                return false;
        } else if (framed()) {
            while (end - at >= 4) {
                const auto *head = reinterpret_cast<const unsigned char *>(data + at);
                const std::size_t length = (std::size_t(head[0]) << 24)
                        | (std::size_t(head[1]) << 16) | (std::size_t(head[2]) << 8) | head[3];
                if (length > maxFrameBytes) {
                    checker.noteCorrupt();
                    failWith("client " + std::to_string(id) + " received a frame over 1 MiB");
                    return false;
                }
                if (end - at - 4 < length)
                    break;
                take(id, data + at + 4, length);
                at += 4 + length;
            }
        } else {
            while (at < end) {
                const void *lineEnd = std::memchr(data + at, '\n', end - at);
                if (!lineEnd)
                    break;
                const std::size_t length =
                        std::size_t(static_cast<const char *>(lineEnd) - data) + 1 - at;
                take(id, data + at, length);
                at += length;
            }
            if (end - at > maxFrameBytes) {
                checker.noteCorrupt();
                failWith("client " + std::to_string(id) + " received a line over 1 MiB");
                return false;
            }
        }
        client.pending.assign(data + at, end - at);
        return true;
    }

    // Takes the whole WebSocket frames in data[at, end); at ends where a partial frame starts.
    bool receiveWebFrames(int id, const char *data, std::size_t end, std::size_t &at)
    {
        Client &client = clients[std::size_t(id)];
        while (end - at >= 2) {
            const auto *head = reinterpret_cast<const unsigned char *>(data + at);
            const bool last = (head[0] & 0x80) != 0;
            const unsigned opcode = head[0] & 0x0f;
            std::size_t headBytes = 2;
            std::uint64_t length = head[1] & 0x7f;
            if ((head[1] & 0x80) != 0) {
                checker.noteCorrupt();
                failWith("client " + std::to_string(id) + " received a masked frame");
                return false;
            }
            if (length == 126) {
                if (end - at < 4)
                    break;
                length = (std::uint64_t(head[2]) << 8) | head[3];
                headBytes = 4;
            } else if (length == 127) {
                if (end - at < 10)
                    break;
                length = 0;
                for (int byte = 2; byte < 10; ++byte)
                    length = (length << 8) | head[byte];
                headBytes = 10;
            }
            if (length > maxFrameBytes) {
                checker.noteCorrupt();
                failWith("client " + std::to_string(id) + " received a frame over 1 MiB");
                return false;
            }
            if (end - at - headBytes < length)
                break;
            const char *payload = data + at + headBytes;
            at += headBytes + std::size_t(length);
            switch (opcode) {
            case 0x1: // text
            case 0x0: // its continuation
                if (last && client.message.empty()) {
                    take(id, payload, std::size_t(length));
                } else {
                    client.message.append(payload, std::size_t(length));
                    if (client.message.size() > maxFrameBytes) {
                        checker.noteCorrupt();
                        failWith("client " + std::to_string(id) + " received a message over 1 MiB");
                        return false;
                    }
                    if (last) {
                        take(id, client.message.data(), client.message.size());
                        client.message.clear();
                    }
                }
                break;
            case 0x9: { // ping: a browser answers with the same payload
                char pong[14];
                const std::size_t pongHead = webFrameHead(pong, 0xA, std::size_t(length));
                client.outgoing.append(pong, pongHead);
                client.outgoing.append(payload, std::size_t(length));
                if (!client.writeWatched && !flush(id))
                    return false;
                break;
            }
            case 0xA:
            case 0x2: // the history a browser is sent as it joins, before any relayed text
                break;
            case 0x8:
                failWith("the relay closed client " + std::to_string(id) + "'s WebSocket");
                return false;
            default:
                checker.noteCorrupt();
                failWith("client " + std::to_string(id) + " received opcode "
                         + std::to_string(opcode));
                return false;
            }
        }
        return true;
    }

    void take(int receiver, const char *text, std::size_t length)
    {
        TextStamp stamp;
        std::uint32_t round = 0;
        switch (textTemplate.read(text, length, stamp, round)) {
        case TextKind::Corrupt:
            if (sending)
                checker.noteCorrupt();
            return;
        case TextKind::Sync:
            if (round == currentSyncRound && clients[std::size_t(receiver)].syncRound != round) {
                clients[std::size_t(receiver)].syncRound = round;
                ++syncedClients;
            }
            return;
        case TextKind::Data:
            break;
        }
        if (!sending) {
            checker.noteCorrupt(); // nobody sends before the sync has passed
            return;
        }
        const int sender = int(stamp.client);
        checker.noteReceived(receiver, sender, stamp.sequence);
        lastDelivery = now;
        ++deliveries;
        if (sender < options.clients && receiver == observerOf(sender)) {
            Client &origin = clients[std::size_t(sender)];
            if (stamp.sequence >= origin.answered && stamp.sequence < origin.sent) {
                outstanding -= std::uint64_t(stamp.sequence) + 1 - origin.answered;
                origin.answered = std::uint64_t(stamp.sequence) + 1;
                latencies.push_back(std::uint32_t(std::min<std::uint64_t>(
                        (now & 0xffffffffffffULL) - stamp.sentMicros, 0xffffffffu)));
                if (!origin.queued) {
                    origin.queued = true;
                    ready.push_back(sender);
                }
            }
        }
    }

    bool mayStillSend(const Client &client) const
    {
        if (options.durationMillis > 0)
            return now < sendUntil;
        return client.sent < options.textsPerClient;
    }

    bool sendReady()
    {
        std::vector<int> batch;
        batch.swap(ready);
        if (!batch.empty())
            now = monotonicMicros();
        for (const int id : batch) {
            Client &client = clients[std::size_t(id)];
            client.queued = false;
            bool wrote = false;
            while (client.sent - client.answered < std::uint64_t(options.window)
                   && mayStillSend(client)) {
                const std::size_t at = appendFrameSpace(client);
                TextStamp stamp;
                stamp.client = std::uint32_t(id);
                stamp.sequence = std::uint32_t(client.sent);
                stamp.sentMicros = now;
                textTemplate.writeData(&client.outgoing[at], stamp);
                checker.noteSent(id);
                ++client.sent;
                ++sentTotal;
                ++outstanding;
                wrote = true;
            }
            if (wrote && !client.writeWatched && !flush(id))
                return false;
        }
        return true;
    }

    bool allAnswered() const
    {
        if (outstanding > 0)
            return false;
        if (options.durationMillis > 0)
            return now >= sendUntil;
        return sentTotal == options.textsPerClient * std::uint64_t(options.clients);
    }

    std::uint64_t expectedSoFar() const
    {
        return sentTotal * std::uint64_t(framed() ? options.clients : options.clients - 1);
    }

    void drive()
    {
        sending = true;
        now = monotonicMicros();
        start = now;
        lastDelivery = now;
        sendUntil = start + options.durationMillis * 1000;
        for (int id = 0; id < options.clients; ++id) {
            clients[std::size_t(id)].queued = true;
            ready.push_back(id);
        }
        std::uint64_t settleFrom = 0;
        for (;;) {
            if (!sendReady())
                break;
            if (settleFrom == 0 && allAnswered())
                settleFrom = now;
            if (settleFrom != 0
                && (deliveries >= expectedSoFar()
                    || now - std::max(settleFrom, lastDelivery) > options.settleMillis * 1000))
                break;
            if (now > deadline
                || (settleFrom == 0 && now - lastDelivery > options.stallMillis * 1000)) {
                result.timedOut = true;
                break;
            }
            if (!turn(20))
                break;
        }
        // A run that ends without a single delivery is measured to its end, not to its start.
        const std::uint64_t end = lastDelivery > start ? lastDelivery : monotonicMicros();
        result.seconds = double(std::max(end, start + 1) - start) / 1e6;
    }

    void summariseLatency()
    {
        result.latencySamples = latencies.size();
        if (latencies.empty())
            return;
        auto at = [this](double fraction) {
            const std::size_t index = std::min(latencies.size() - 1,
                                               std::size_t(fraction * double(latencies.size())));
            std::nth_element(latencies.begin(), latencies.begin() + std::ptrdiff_t(index),
                             latencies.end());
            return std::uint64_t(latencies[index]);
        };
        result.latencyP50 = at(0.50);
        result.latencyP99 = at(0.99);
        result.latencyMax = *std::max_element(latencies.begin(), latencies.end());
    }

    const LoadRun::Options &options;
    LoadRun::Result &result;
    TextTemplate textTemplate;
    DeliveryChecker checker;
    std::vector<Client> clients;
    std::vector<char> inbox;
    std::vector<epoll_event> events = std::vector<epoll_event>(512);
    std::vector<int> ready;
    std::vector<std::uint32_t> latencies;
    int epollFd = -1;
    bool sending = false;
    std::uint32_t currentSyncRound = 0;
    int syncedClients = 0;
    int notReady = 0; // clients of the batch being joined not yet ready to chat
    std::uint64_t deliveries = 0;
    std::uint64_t sentTotal = 0;
    std::uint64_t outstanding = 0; // sent but not yet answered, over all senders
    std::uint64_t deadline = 0, now = 0, start = 0, sendUntil = 0, lastDelivery = 0;
};

void raiseOpenFilesLimit(int clients)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    const rlim_t wanted = rlim_t(clients) + 64;
    if (limit.rlim_cur >= wanted)
        return;
    limit.rlim_cur = std::min(wanted, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
}

} // namespace

LoadRun::LoadRun(const Options &options)
    : options(options)
{}

LoadRun::Result LoadRun::run()
{
    Result result;
    if (options.host != "127.0.0.1") {
        result.error = "only 127.0.0.1 is allowed as host";
        return result;
    }
    const int fewest = options.mode == Mode::Lines ? 2 : 1;
    if (options.clients < fewest || options.clients > int(maximumClients)) {
        result.error = "clients must be from " + std::to_string(fewest) + " to "
                + std::to_string(maximumClients);
        return result;
    }
    if (options.port < 1 || options.port > 65535 || options.otherPort < 0
        || options.otherPort > 65535 || options.webPort < 0 || options.webPort > 65535
        || (options.webPort > 0 && (options.otherPort > 0 || options.mode != Mode::Framed))
        || options.window < 1 || options.textBytes < minimumTextBytes
        || options.textBytes > maxFrameBytes
        || (options.durationMillis == 0 && options.textsPerClient == 0)
        || options.textsPerClient > 0xffffffffULL) {
        result.error = "bad options: port 1-65535, window >= 1, size "
                + std::to_string(minimumTextBytes) + " to 1048576, texts or duration > 0";
        return result;
    }
    raiseOpenFilesLimit(options.clients);
    Driver driver(options, result);
    driver.run();
    return result;
}

} // namespace bench
