#pragma once

#include <QHostAddress>
#include <QString>

#include <memory>
#include <optional>

class QSocketNotifier;
class QTcpSocket;

// What both components do to their sockets.
namespace socks {

// TCP's port numbers; 0 asks the system for a free one.
constexpr int maxPort = 65535;
constexpr bool isPortNumber(int port)
{
    return port >= 0 && port <= maxPort;
}
// A port as typed on a command line or in a settings file: plain decimal digits, nothing else.
// (The windows read their port fields leniently instead; see forms/PortReading.)
std::optional<int> readPortNumber(const QString &text);

// No Nagle delay (a chat line should leave at once) and keep-alive (a peer that vanished from the
// LAN is noticed).
void tuneSocket(QTcpSocket *socket);
void tuneDescriptor(int descriptor); // the same for a bare connected TCP descriptor

// Raises the soft limit on open descriptors to the hard limit: every client of a relay costs one.
// Returns the soft limit now in force, or -1 when it cannot be read.
long long raiseDescriptorLimit();

enum class Retirement { Flush, Drop };

// Detaches a socket from its component and lets it go at the next turn of the event loop, never
// inside one of its own signals. Flush first sends what is still queued (bounded in time).
void retireSocket(QTcpSocket *socket, Retirement retirement);

// Switches a notifier off and lets it go at the next turn: it may be the one whose signal is
// running.
void discardNotifier(std::unique_ptr<QSocketNotifier> &notifier);

// An address as a person reads it: an IPv4 peer on a dual-stack socket shows as plain IPv4.
QString addressText(const QHostAddress &address);

} // namespace socks
