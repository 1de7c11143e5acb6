#include "framework/ShellNotifyRelay.h"

#include "framework/MessageQueue.h"
#include "platform/ShellNotify.h"

namespace zr {

namespace {

// What the relay window is posted: "notifications are waiting".
constexpr UINT RelayMessage = WM_USER + 0x100;

class TWindowRelay final : public os::IShellNotifyRelay {
  public:
    TWindowRelay()
        : window_(AllocateHWnd(TWndMethod::FromFunction([](TMessage& message) {
              if (message.Msg == RelayMessage) os::DeliverShellNotifications();
          }))) {}

    bool Exists(os::TNotifyTarget target) override { return IsWindow(static_cast<HWND>(target)); }

    void Wake() override { PostMessage(window_, RelayMessage); }

    // An exception from the window procedure travels on to the loop.
    void Deliver(os::TNotifyTarget target, unsigned message, const os::LPCITEMIDLIST items[2],
                 os::LONG event) override {
        SendMessage(static_cast<HWND>(target), message, reinterpret_cast<WPARAM>(items),
                    static_cast<LPARAM>(event));
    }

  private:
    HWND window_;
};

}  // namespace

void InstallShellNotifyRelay() {
    // Never freed: watcher threads may wake it while the process exits.
    static TWindowRelay* const relay = [] {
        auto* made = new TWindowRelay;
        os::SetShellNotifyRelay(made);
        return made;
    }();
    (void)relay;
}

}  // namespace zr
