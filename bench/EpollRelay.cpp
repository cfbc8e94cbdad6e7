// The machine's limit for relaying, as a reference for the relay's numbers: one thread, epoll,
// the same wire (4-byte big-endian length, then the text), every frame to every client, the sender
// included, in one order. Every whole frame read is appended once to one shared log; each client
// only keeps its position in it, and each loop pass gives every client with bytes to take one
// writev straight from the log. Blocks every client has taken are dropped. No Qt, no bounds, no
// checks beyond the frame limit: not for real use.
//
// usage: prynechat-epoll-relay PORT
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

constexpr std::uint32_t maxPayloadBytes = 1024 * 1024;
constexpr std::size_t blockBytes = 256 * 1024; // a block is closed once it holds this much
constexpr int maxVectors = 64;

// The shared log: blocks of whole frames; positions count bytes from the relay's start.
std::deque<std::string> blocks;
std::uint64_t firstBlockStart = 0; // position of blocks.front()[0]
std::uint64_t logEnd = 0;

struct Client
{
    std::string in; // an unfinished frame
    std::uint64_t position = 0; // next log byte to send
    bool writeWatched = false;
};

int epollFd = -1;
std::unordered_map<int, Client> clients;

void watch(int fd, Client &client, bool write)
{
    if (client.writeWatched == write)
        return;
    epoll_event event{};
    event.events = EPOLLIN | (write ? EPOLLOUT : 0u);
    event.data.fd = fd;
    epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &event);
    client.writeWatched = write;
}

void append(const char *bytes, std::size_t size)
{
    if (blocks.empty() || blocks.back().size() >= blockBytes) {
        blocks.emplace_back();
        blocks.back().reserve(blockBytes + 4 + maxPayloadBytes);
    }
    blocks.back().append(bytes, size);
    logEnd += size;
}

// One writev of what the client has not taken yet; false when the client is gone.
bool flush(int fd, Client &client)
{
    if (client.position == logEnd) {
        watch(fd, client, false);
        return true;
    }
    iovec vectors[maxVectors];
    int count = 0;
    std::uint64_t blockStart = firstBlockStart;
    for (const std::string &block : blocks) {
        const std::uint64_t blockEnd = blockStart + block.size();
        if (client.position < blockEnd && count < maxVectors) {
            const std::size_t skip =
                    std::size_t(client.position > blockStart ? client.position - blockStart : 0);
            vectors[count].iov_base = const_cast<char *>(block.data() + skip);
            vectors[count].iov_len = block.size() - skip;
            ++count;
        }
        blockStart = blockEnd;
    }
    msghdr message{};
    message.msg_iov = vectors;
    message.msg_iovlen = std::size_t(count);
    const ssize_t written = sendmsg(fd, &message, MSG_NOSIGNAL);
    if (written < 0)
        return errno == EAGAIN || errno == EINTR;
    client.position += std::uint64_t(written);
    watch(fd, client, client.position < logEnd);
    return true;
}

// Appends the whole frames among newly read bytes to the log; false on an oversized frame.
bool takeFrames(Client &client, const char *bytes, std::size_t size)
{
    // The common case: nothing unfinished, whole frames straight from the read buffer.
    std::size_t start = 0;
    if (!client.in.empty()) {
        client.in.append(bytes, size);
        bytes = client.in.data();
        size = client.in.size();
    }
    std::size_t whole = 0;
    while (size - start >= 4) {
        std::uint32_t length;
        std::memcpy(&length, bytes + start, 4);
        length = ntohl(length);
        if (length > maxPayloadBytes)
            return false;
        if (size - start - 4 < length)
            break;
        start += 4 + length;
        whole = start;
    }
    if (whole > 0)
        append(bytes, whole);
    std::string rest(bytes + whole, size - whole);
    client.in.swap(rest);
    return true;
}

void dropTakenBlocks()
{
    std::uint64_t slowest = logEnd;
    for (const auto &entry : clients)
        slowest = std::min(slowest, entry.second.position);
    while (blocks.size() > 1 && firstBlockStart + blocks.front().size() <= slowest) {
        firstBlockStart += blocks.front().size();
        blocks.pop_front();
    }
    if (blocks.size() == 1 && slowest == logEnd) {
        firstBlockStart = logEnd;
        blocks.front().clear();
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: prynechat-epoll-relay PORT\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || listen(listener, 1024) != 0) {
        std::perror("prynechat-epoll-relay");
        return 1;
    }
    epollFd = epoll_create1(0);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listener;
    epoll_ctl(epollFd, EPOLL_CTL_ADD, listener, &event);
    std::vector<epoll_event> events(1024);
    std::vector<char> buffer(256 * 1024);
    std::vector<int> gone;
    std::uint64_t flushedTo = 0; // the log's end when every client was last offered it
    for (;;) {
        const int count = epoll_wait(epollFd, events.data(), int(events.size()), -1);
        for (int index = 0; index < count; ++index) {
            const int fd = events[std::size_t(index)].data.fd;
            if (fd == listener) {
                int accepted;
                while ((accepted = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
                    setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    epoll_event added{};
                    added.events = EPOLLIN;
                    added.data.fd = accepted;
                    epoll_ctl(epollFd, EPOLL_CTL_ADD, accepted, &added);
                    clients[accepted].position = logEnd; // texts from before it came are not its
                }
                continue;
            }
            const auto found = clients.find(fd);
            if (found == clients.end())
                continue;
            // A client whose socket was full takes its one write of this pass now.
            if (events[std::size_t(index)].events & EPOLLOUT && !flush(fd, found->second)) {
                gone.push_back(fd);
                continue;
            }
            if (!(events[std::size_t(index)].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                continue;
            const ssize_t received = recv(fd, buffer.data(), buffer.size(), 0);
            if (received <= 0) {
                if (received < 0 && (errno == EAGAIN || errno == EINTR))
                    continue;
                gone.push_back(fd);
                continue;
            }
            if (!takeFrames(found->second, buffer.data(), std::size_t(received)))
                gone.push_back(fd);
        }
        // The others get theirs here: one write per client per pass, for everything it has not
        // taken yet; a full socket waits for EPOLLOUT instead of being tried again and again.
        if (logEnd != flushedTo) {
            flushedTo = logEnd;
            for (auto &[fd, client] : clients)
                if (!client.writeWatched && !flush(fd, client))
                    gone.push_back(fd);
        }
        for (const int fd : gone) {
            if (clients.erase(fd) > 0) {
                epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
                close(fd);
            }
        }
        gone.clear();
        dropTakenBlocks();
    }
}
