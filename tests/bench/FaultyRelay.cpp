#include "FaultyRelay.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

struct Connection
{
    int fd = -1;
    std::string pending;
    std::string held; // texts of one sender kept back for this connection by SwapForOne
};

void sendAll(int fd, const std::string &bytes)
{
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t written = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (written <= 0)
            return;
        at += std::size_t(written);
    }
}

} // namespace

FaultyRelay::FaultyRelay(Framing framing, Fault fault, int faultAt)
    : framing(framing)
    , fault(fault)
    , faultAt(faultAt)
{
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && listen(listener, 64) == 0) {
        socklen_t length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
        boundPort = ntohs(address.sin_port);
    }
    worker = std::thread(&FaultyRelay::serve, this);
}

FaultyRelay::~FaultyRelay()
{
    stopping = true;
    worker.join();
    close(listener);
}

void FaultyRelay::serve()
{
    std::vector<Connection> connections;
    int dataTexts = 0;
    char buffer[65536];
    while (!stopping) {
        std::vector<pollfd> watched{{listener, POLLIN, 0}};
        for (const Connection &connection : connections)
            watched.push_back({connection.fd, POLLIN, 0});
        if (poll(watched.data(), watched.size(), 50) <= 0)
            continue;
        if (watched[0].revents & POLLIN) {
            const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                const int one = 1; // without it, small texts wait for delayed acknowledgements
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                connections.push_back({fd, {}, {}});
            }
        }
        for (std::size_t index = 1; index < watched.size(); ++index) {
            if (!(watched[index].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            Connection &source = connections[index - 1];
            const ssize_t got = read(source.fd, buffer, sizeof buffer);
            if (got <= 0)
                continue; // the tool closes everything at once at the end; nothing to relay then
            source.pending.append(buffer, std::size_t(got));
            std::vector<std::string> texts; // whole texts as they go on the wire
            for (;;) {
                std::size_t length = 0;
                if (framing == Framing::Framed) {
                    if (source.pending.size() < 4)
                        break;
                    const auto *head =
                            reinterpret_cast<const unsigned char *>(source.pending.data());
                    length = 4
                            + ((std::size_t(head[0]) << 24) | (std::size_t(head[1]) << 16)
                               | (std::size_t(head[2]) << 8) | head[3]);
                    if (source.pending.size() < length)
                        break;
                } else {
                    const std::size_t lineEnd = source.pending.find('\n');
                    if (lineEnd == std::string::npos)
                        break;
                    length = lineEnd + 1;
                }
                texts.push_back(source.pending.substr(0, length));
                source.pending.erase(0, length);
            }
            const std::size_t header = framing == Framing::Framed ? 4 : 0;
            // A line relay does not echo, so the swap goes to another connection then.
            const std::size_t swapTarget =
                    connections.size() > 2 && &connections[1] == &source ? 2 : 1;
            for (std::string &text : texts) {
                const bool isData = text.compare(header, 4, "SYNC") != 0;
                const bool counted =
                        isData && text.compare(header, 3, "000") == 0 && text[header + 3] >= '2';
                const bool faulty = counted && dataTexts == faultAt;
                if (counted)
                    ++dataTexts;
                if (fault == Fault::StopAfter && isData && dataTexts > faultAt)
                    continue;
                if (faulty && fault == Fault::Drop)
                    continue;
                if (faulty && fault == Fault::Cut) {
                    text.pop_back();
                    if (framing == Framing::Framed)
                        text[3] = char(text[3] - 1); // texts in these tests are shorter than 256
                }
                for (std::size_t target = 0; target < connections.size(); ++target) {
                    Connection &receiver = connections[target];
                    if (framing == Framing::Lines && &receiver == &source)
                        continue;
                    // The held sender's later texts wait behind it, and all go after another
                    // sender's text: each sender's sequence stays whole, only the one order breaks.
                    const bool heldSender = !receiver.held.empty()
                            && text.compare(header, 4, receiver.held, header, 4) == 0;
                    if ((faulty && fault == Fault::SwapForOne && target == swapTarget)
                        || heldSender) {
                        receiver.held += text;
                        continue;
                    }
                    sendAll(receiver.fd, text);
                    if (!receiver.held.empty() && isData) {
                        sendAll(receiver.fd, receiver.held);
                        receiver.held.clear();
                    }
                }
            }
        }
    }
    for (const Connection &connection : connections)
        close(connection.fd);
}
