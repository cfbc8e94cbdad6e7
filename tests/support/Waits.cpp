#include "tests/support/Waits.h"

#include <QCoreApplication>
#include <QTest>
#include <QTimer>

#include <memory>

namespace testsupport {

bool waitUntil(const std::function<bool()> &condition, int timeout)
{
    return QTest::qWaitFor(condition, timeout);
}

bool runsTheEventLoop(const std::function<void()> &action)
{
    // A queued call runs as soon as any event loop handles posted events, and not before.
    auto ran = std::make_shared<bool>(false);
    QTimer::singleShot(0, QCoreApplication::instance(), [ran] { *ran = true; });
    action();
    return *ran;
}

} // namespace testsupport
