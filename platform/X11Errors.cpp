#include "platform/X11Errors.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace zr::os {

namespace {

struct TWatch {
    std::uint64_t Token;
    Display* Connection;
    std::function<void()> OnLost;
};

struct TWatches {
    std::mutex Lock;
    std::vector<TWatch> List;
    std::uint64_t NextToken = 1;
    XErrorHandler PreviousError = nullptr;
    XIOErrorHandler PreviousIOError = nullptr;
};

TWatches& Watches() {
    // Never freed: a connection may report while static objects go.
    static auto* watches = new TWatches;
    return *watches;
}

bool Watched(Display* display) {
    TWatches& w = Watches();
    std::lock_guard guard(w.Lock);
    return std::any_of(w.List.begin(), w.List.end(),
                       [display](const TWatch& watch) { return watch.Connection == display; });
}

int OnError(Display* display, XErrorEvent* error) {
    if (Watched(display)) return 0;
    // A handler installed after ours that hands errors back to it must not
    // send them round in a circle.
    static thread_local bool passing = false;
    const XErrorHandler previous = Watches().PreviousError;
    if (passing || !previous) return 0;
    passing = true;
    const int result = previous(display, error);
    passing = false;
    return result;
}

// Our connections are quiet about their own end; the standard handler's
// message (and exit) stays for everybody else's.
int OnIOError(Display* display) {
    if (Watched(display)) return 0;
    const XIOErrorHandler previous = Watches().PreviousIOError;
    return previous ? previous(display) : 0;
}

// Called instead of exit() when a watched connection broke.
void OnConnectionLost(Display* display, void*) {
    std::function<void()> onLost;
    {
        TWatches& w = Watches();
        std::lock_guard guard(w.Lock);
        for (const TWatch& watch : w.List)
            if (watch.Connection == display) onLost = watch.OnLost;
    }
    if (onLost) onLost();
}

void InstallHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        TWatches& w = Watches();
        w.PreviousError = XSetErrorHandler(OnError);
        w.PreviousIOError = XSetIOErrorHandler(OnIOError);
    });
}

}  // namespace

std::uint64_t WatchXConnection(Display* display, std::function<void()> onLost) {
    InstallHandlers();
    std::uint64_t token;
    {
        TWatches& w = Watches();
        std::lock_guard guard(w.Lock);
        token = w.NextToken++;
        w.List.push_back({token, display, std::move(onLost)});
    }
    XSetIOErrorExitHandler(display, OnConnectionLost, nullptr);
    return token;
}

void UnwatchXConnection(std::uint64_t token) {
    TWatches& w = Watches();
    std::lock_guard guard(w.Lock);
    std::erase_if(w.List, [token](const TWatch& watch) { return watch.Token == token; });
}

}  // namespace zr::os
