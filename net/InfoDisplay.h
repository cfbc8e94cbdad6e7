#pragma once

#include <QTimer>

#include <functional>
#include <memory>
#include <utility>

namespace socks {

// A view of a component's status: an information window in a program with widgets. The
// components know only this, so they build without a widget library.
template <typename Status> class InfoView
{
public:
    virtual ~InfoView() = default;

    virtual bool isShown() const = 0; // false again once the user closed it
    virtual void present() = 0; // show it and bring it to the front
    virtual void dismiss() = 0;
    virtual void showStatus(const Status &status) = 0;
};

// A component's own information view and the timer that keeps it current while it shows. The
// view is made on first showing by the factory a program with widgets installs; without one
// (the headless relay) InfoVisible stays false.
template <typename Status> class InfoDisplay
{
public:
    using Factory = std::function<std::unique_ptr<InfoView<Status>>()>;

    // Called once at program start, before any component shows its view.
    static void setFactory(Factory make) { factory() = std::move(make); }

    explicit InfoDisplay(std::function<void(Status &)> collect)
        : collect(std::move(collect))
    {
        timer.setInterval(500);
        QObject::connect(&timer, &QTimer::timeout, &timer, [this] { refreshNow(); });
    }

    bool isVisible() const { return view && view->isShown(); }

    void setVisible(bool visible)
    {
        if (!visible) {
            if (view)
                view->dismiss();
            return;
        }
        if (!view && factory())
            view = factory()();
        if (!view)
            return;
        view->present();
        refreshNow();
        timer.start();
    }

private:
    static Factory &factory()
    {
        static Factory make;
        return make;
    }

    void refreshNow()
    {
        // Closed by its close box: nothing to keep current until it is shown again.
        if (!isVisible()) {
            timer.stop();
            return;
        }
        Status status;
        collect(status);
        view->showStatus(status);
    }

    std::function<void(Status &)> collect;
    std::unique_ptr<InfoView<Status>> view;
    QTimer timer;
};

} // namespace socks
