#include "forms/info/InfoWindows.h"

#include "forms/info/ClientInfoWindow.h"
#include "forms/info/ServerInfoWindow.h"
#include "net/InfoDisplay.h"

#include <QApplication>

#include <memory>

namespace InfoWindows {

namespace {

// A component's view as a top-level window of its own.
template <typename Window, typename Status> class WindowView : public socks::InfoView<Status>
{
public:
    bool isShown() const override { return window.isVisible(); }

    void present() override
    {
        window.show();
        window.raise();
    }

    void dismiss() override { window.hide(); }
    void showStatus(const Status &status) override { window.showStatus(status); }

private:
    Window window;
};

template <typename Window, typename Status> void installFor()
{
    socks::InfoDisplay<Status>::setFactory([]() -> std::unique_ptr<socks::InfoView<Status>> {
        // A widget needs a QApplication; a console run of the same code shows nothing.
        if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
            return nullptr;
        return std::make_unique<WindowView<Window, Status>>();
    });
}

} // namespace

void install()
{
    installFor<ServerInfoWindow, socks::ServerStatus>();
    installFor<ClientInfoWindow, socks::ClientStatus>();
}

} // namespace InfoWindows
