#pragma once

#include <functional>

namespace testsupport {

// Long enough for a loaded two-core machine, short enough that a hung case fails in seconds.
constexpr int waitTimeout = 5000;

// Runs the event loop until the condition holds or the timeout passes; returns the condition.
bool waitUntil(const std::function<bool()> &condition, int timeout = waitTimeout);

} // namespace testsupport
