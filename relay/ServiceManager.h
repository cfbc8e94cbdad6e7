#pragma once

#include <optional>

// What the relay and the service manager (systemd) hand each other.
namespace servicemanager {

// The listening socket a service manager passed (socket activation), as sd_listen_fds(3) finds
// it: LISTEN_PID names this process and LISTEN_FDS counts from descriptor 3. The variables are
// removed so that no child would take the socket for its own.
std::optional<int> passedListener();

} // namespace servicemanager
