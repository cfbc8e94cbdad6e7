#pragma once

#include <QByteArray>

#include <optional>

// What the relay and the service manager (systemd) hand each other.
namespace servicemanager {

// The listening socket a service manager passed (socket activation), as sd_listen_fds(3) finds
// it: LISTEN_PID names this process and LISTEN_FDS counts from descriptor 3. The variables are
// removed so that no child would take the socket for its own.
std::optional<int> passedListener();

// Tells the service manager of a Type=notify unit how the relay is (sd_notify(3): "READY=1",
// "STATUS=...", "RELOADING=1"); nothing without one.
void notify(const QByteArray &state);

} // namespace servicemanager
