#pragma once

#include <QApplication>
#include <QTimer>

#include <functional>
#include <memory>

namespace socks {

// A component's own information window and the timer that keeps it current while it shows. The
// window is made on first showing; a program without widgets (the headless relay) never gets one.
template <typename Window> class InfoDisplay
{
public:
    explicit InfoDisplay(std::function<void(Window &)> refresh)
        : refresh(std::move(refresh))
    {
        timer.setInterval(500);
        QObject::connect(&timer, &QTimer::timeout, &timer, [this] { refreshNow(); });
    }

    bool isVisible() const { return window && window->isVisible(); }

    void setVisible(bool visible)
    {
        if (!visible) {
            if (window)
                window->hide();
            return;
        }
        if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
            return;
        if (!window)
            window = std::make_unique<Window>();
        window->show();
        window->raise();
        refreshNow();
        timer.start();
    }

private:
    void refreshNow()
    {
        // Closed by its close box: nothing to keep current until it is shown again.
        if (!isVisible()) {
            timer.stop();
            return;
        }
        refresh(*window);
    }

    std::function<void(Window &)> refresh;
    std::unique_ptr<Window> window;
    QTimer timer;
};

} // namespace socks
