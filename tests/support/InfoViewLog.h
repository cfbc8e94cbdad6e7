#pragma once

#include "net/InfoDisplay.h"

#include <memory>

namespace testsupport {

// Stands in for the information window a program with widgets installs, and records what the
// component gives it.
template <typename Status> struct InfoViewLog
{
    struct View : socks::InfoView<Status>
    {
        explicit View(InfoViewLog &log)
            : log(log)
        {}
        bool isShown() const override { return log.shown; }
        void present() override { log.shown = true; }
        void dismiss() override { log.shown = false; }
        void showStatus(const Status &status) override { log.last = status; }
        InfoViewLog &log;
    };

    void install()
    {
        socks::InfoDisplay<Status>::setFactory([this] {
            ++made;
            return std::make_unique<View>(*this);
        });
    }

    bool shown = false;
    int made = 0;
    Status last;
};

} // namespace testsupport
