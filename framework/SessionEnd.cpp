#include "framework/SessionEnd.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "framework/Application.h"
#include "framework/MessageQueue.h"
#include "platform/ShutdownWatch.h"

namespace zr {

namespace {

// Posted by the watcher's thread to a window of the main thread.
constexpr UINT SystemGoingDown = WM_USER + 0x101;

struct SessionWindows {
    std::mutex lock;
    std::vector<HWND> windows;
    std::unique_ptr<os::TShutdownWatcher> watcher;
    HWND relay = nullptr;
};

SessionWindows& Session() {
    static auto* session = new SessionWindows;  // the watcher may report during exit
    return *session;
}

void Relay(TMessage& message) {
    if (message.Msg == SystemGoingDown) QueryEndSession();
}

}  // namespace

bool QueryEndSession() {
    std::vector<HWND> windows;
    if (Application != nullptr) windows.push_back(Application->Handle());
    {
        auto& session = Session();
        std::lock_guard guard(session.lock);
        windows.insert(windows.end(), session.windows.begin(), session.windows.end());
    }
    bool mayEnd = true;
    for (HWND window : windows) {
        if (!IsWindow(window)) continue;
        if (SendMessage(window, WM_QUERYENDSESSION) == 0) mayEnd = false;
    }
    return mayEnd;
}

void AddSessionWindow(HWND window) {
    auto& session = Session();
    std::lock_guard guard(session.lock);
    if (window == nullptr ||
        std::find(session.windows.begin(), session.windows.end(), window) != session.windows.end())
        return;
    session.windows.push_back(window);
    if (session.watcher) return;
    if (session.relay == nullptr) session.relay = AllocateHWnd(TWndMethod::FromFunction(Relay));
    HWND relay = session.relay;
    session.watcher = os::TShutdownWatcher::Start([relay] { PostMessage(relay, SystemGoingDown); });
}

void RemoveSessionWindow(HWND window) {
    std::unique_ptr<os::TShutdownWatcher> stopping;
    {
        auto& session = Session();
        std::lock_guard guard(session.lock);
        std::erase(session.windows, window);
        if (session.windows.empty()) stopping = std::move(session.watcher);
    }
    // Joined without the lock: its thread never takes it, but a slow bus
    // should not hold up other windows.
}

bool WatchingSystemShutdown() {
    auto& session = Session();
    std::lock_guard guard(session.lock);
    return session.watcher && session.watcher->Watching();
}

}  // namespace zr
