// The machine's limit for relaying, as a reference for the relay's numbers: one thread, epoll,
// the same wire (4-byte big-endian length, then the text), every frame to every client, the sender
// included, in one order. No Qt, no bounds, no checks beyond the frame limit: not for real use.
//
// usage: prynechat-epoll-relay PORT
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

constexpr std::uint32_t maxPayloadBytes = 1024 * 1024;

struct Client
{
    std::string in;
    std::string out;
    std::size_t outOffset = 0;
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

void drop(int fd)
{
    epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    clients.erase(fd);
}

// Returns false when the client is gone.
bool flush(int fd, Client &client)
{
    while (client.outOffset < client.out.size()) {
        const ssize_t written = send(fd, client.out.data() + client.outOffset,
                                     client.out.size() - client.outOffset, MSG_NOSIGNAL);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN)
                break;
            return false;
        }
        client.outOffset += std::size_t(written);
    }
    if (client.outOffset == client.out.size()) {
        client.out.clear();
        client.outOffset = 0;
    }
    watch(fd, client, !client.out.empty());
    return true;
}

// Moves the whole frames of one client into the batch; false on an oversized frame.
bool takeFrames(Client &client, std::string &batch)
{
    std::size_t start = 0;
    while (client.in.size() - start >= 4) {
        std::uint32_t length;
        std::memcpy(&length, client.in.data() + start, 4);
        length = ntohl(length);
        if (length > maxPayloadBytes)
            return false;
        if (client.in.size() - start - 4 < length)
            break;
        batch.append(client.in, start, 4 + length);
        start += 4 + length;
    }
    client.in.erase(0, start);
    return true;
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
    std::string batch;
    std::vector<int> gone;
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
                    clients[accepted];
                }
                continue;
            }
            const auto found = clients.find(fd);
            if (found == clients.end())
                continue;
            Client &client = found->second;
            if (events[std::size_t(index)].events & EPOLLOUT && !flush(fd, client)) {
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
            client.in.append(buffer.data(), std::size_t(received));
            if (!takeFrames(client, batch))
                gone.push_back(fd);
        }
        // Everything read in this round goes to everyone in one write each.
        if (!batch.empty()) {
            for (auto &[fd, client] : clients) {
                client.out += batch;
                if (!flush(fd, client))
                    gone.push_back(fd);
            }
            batch.clear();
        }
        for (const int fd : gone)
            if (clients.count(fd))
                drop(fd);
        gone.clear();
    }
}
