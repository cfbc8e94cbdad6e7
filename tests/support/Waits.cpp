#include "tests/support/Waits.h"

#include <QTest>

namespace testsupport {

bool waitUntil(const std::function<bool()> &condition, int timeout)
{
    return QTest::qWaitFor(condition, timeout);
}

} // namespace testsupport
