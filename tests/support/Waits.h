#pragma once

#include <functional>

namespace testsupport {

// Long enough for a loaded two-core machine, short enough that a hung case fails in seconds.
constexpr int waitTimeout = 5000;

// Runs the event loop until the condition holds or the timeout passes; returns the condition.
bool waitUntil(const std::function<bool()> &condition, int timeout = waitTimeout);

// Runs the action and tells whether the event loop ran inside it (a nested loop, a modal box,
// processEvents). An action that returns at once lets nothing else happen, however slow the
// machine, so this tells "did not wait" apart from "waited briefly" without a clock.
bool runsTheEventLoop(const std::function<void()> &action);

} // namespace testsupport
