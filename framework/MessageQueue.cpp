#include "framework/MessageQueue.h"

#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "framework/ExceptAddr.h"
#include "framework/Exceptions.h"

namespace zr {

namespace {

// The thread that loaded the library: the main thread of an application
// that links it.
const std::thread::id mainThreadId = std::this_thread::get_id();

// A message another thread waits on in SendMessage.
struct SentMessage {
    HWND window = nullptr;
    TMessage message;
    bool done = false;
};

struct Queue {
    std::mutex lock;
    std::condition_variable sentDone;
    std::deque<TMsg> posted;
    std::deque<std::shared_ptr<SentMessage>> sent;
    std::unordered_map<HWND, TWndMethod> windows;
    std::uintptr_t nextWindow = 0x10000;
    bool wakeRequested = false;
    bool shutDown = false;
    TDispatchExceptionHandler exceptionHandler;
    os::HANDLE wake = os::CreateEventA(nullptr, os::FALSE, os::FALSE, nullptr);

    bool HasWork() const { return !posted.empty() || !sent.empty() || wakeRequested; }

    // Releases every sender waiting for `window` (all of them when null).
    void CompleteSent(HWND window) {
        for (auto it = sent.begin(); it != sent.end();) {
            if (window == nullptr || (*it)->window == window) {
                (*it)->done = true;
                it = sent.erase(it);
            } else {
                ++it;
            }
        }
        sentDone.notify_all();
    }
};

// Never freed: worker threads may still post while static objects go away.
Queue& TheQueue() {
    static Queue* queue = new Queue;
    return *queue;
}

std::uint32_t TickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

bool Matches(const TMsg& msg, HWND filter, UINT min, UINT max) {
    if (filter != nullptr && msg.hwnd != filter) return false;
    if (min == 0 && max == 0) return true;
    return msg.message >= min && msg.message <= max;
}

// Runs a window procedure outside the queue's lock, so it may post, send
// and make or free windows itself.
LRESULT CallWindow(HWND window, TMessage& message) {
    TWndMethod method;
    {
        auto& q = TheQueue();
        std::lock_guard guard(q.lock);
        auto it = q.windows.find(window);
        if (it == q.windows.end()) return 0;
        method = it->second;
    }
    method(message);
    return message.Result;
}

void DescribeOnStandardError() {
    auto wrapped = WrapException(std::current_exception());
    std::fprintf(stderr, "Exception %s: %s\n", wrapped->ClassName(), wrapped->Message().c_str());
}

}  // namespace

std::thread::id MainThreadID() {
    return mainThreadId;
}

bool IsMainThread() {
    return std::this_thread::get_id() == mainThreadId;
}

HWND AllocateHWnd(const TWndMethod& method) {
    auto& q = TheQueue();
    std::lock_guard guard(q.lock);
    HWND window = reinterpret_cast<HWND>(q.nextWindow);
    q.nextWindow += 16;
    q.windows[window] = method;
    return window;
}

void DeallocateHWnd(HWND window) {
    auto& q = TheQueue();
    std::lock_guard guard(q.lock);
    if (q.windows.erase(window) == 0) return;
    std::erase_if(q.posted, [window](const TMsg& m) { return m.hwnd == window; });
    q.CompleteSent(window);
}

bool IsWindow(HWND window) {
    auto& q = TheQueue();
    std::lock_guard guard(q.lock);
    return q.windows.count(window) != 0;
}

bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto& q = TheQueue();
    {
        std::lock_guard guard(q.lock);
        // A null window posts to the main thread itself (WM_QUIT does so).
        if (q.shutDown || (window != nullptr && q.windows.count(window) == 0)) {
            os::SetLastError(os::ERROR_INVALID_HANDLE);
            return false;
        }
        q.posted.push_back(TMsg{window, message, wParam, lParam, TickCount(), {}});
    }
    os::SetEvent(q.wake);
    return true;
}

LRESULT SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    TMessage m{message, wParam, lParam, 0};
    if (IsMainThread()) return CallWindow(window, m);

    auto& q = TheQueue();
    auto record = std::make_shared<SentMessage>();
    record->window = window;
    record->message = m;
    std::unique_lock guard(q.lock);
    if (q.shutDown || q.windows.count(window) == 0) {
        os::SetLastError(os::ERROR_INVALID_HANDLE);
        return 0;
    }
    q.sent.push_back(record);
    os::SetEvent(q.wake);
    q.sentDone.wait(guard, [&] { return record->done; });
    return record->message.Result;
}

void PostQuitMessage(int exitCode) {
    PostMessage(nullptr, WM_QUIT, static_cast<WPARAM>(exitCode), 0);
}

bool ProcessSentMessages() {
    if (!IsMainThread()) return false;
    auto& q = TheQueue();
    bool ranAny = false;
    for (;;) {
        std::shared_ptr<SentMessage> record;
        {
            std::lock_guard guard(q.lock);
            if (q.sent.empty()) break;
            record = q.sent.front();
            q.sent.pop_front();
        }
        TMessage message = record->message;
        try {
            CallWindow(record->window, message);
        } catch (...) {
            message.Result = 0;
            HandleDispatchException();
        }
        {
            std::lock_guard guard(q.lock);
            record->message.Result = message.Result;
            record->done = true;
        }
        q.sentDone.notify_all();
        ranAny = true;
    }
    return ranAny;
}

bool PeekMessage(TMsg& msg, HWND filter, UINT min, UINT max, UINT removeMsg) {
    if (!IsMainThread()) return false;
    ProcessSentMessages();
    auto& q = TheQueue();
    std::lock_guard guard(q.lock);
    for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
        if (!Matches(*it, filter, min, max)) continue;
        msg = *it;
        if (removeMsg & PM_REMOVE) q.posted.erase(it);
        return true;
    }
    return false;
}

bool GetMessage(TMsg& msg, HWND filter, UINT min, UINT max) {
    while (!PeekMessage(msg, filter, min, max, PM_REMOVE)) WaitMessage();
    return msg.message != WM_QUIT;
}

void WaitMessage() {
    WaitMessageTimeout(os::INFINITE);
}

bool WaitMessageTimeout(os::DWORD milliseconds) {
    using Clock = std::chrono::steady_clock;
    const bool infinite = milliseconds == os::INFINITE;
    const auto deadline = Clock::now() + std::chrono::milliseconds(infinite ? 0 : milliseconds);
    auto& q = TheQueue();
    for (;;) {
        {
            std::lock_guard guard(q.lock);
            if (q.HasWork() || q.shutDown) {
                q.wakeRequested = false;
                return true;
            }
        }
        // The event may carry a signal for work already taken; the loop
        // looks again instead of returning empty-handed.
        os::DWORD wait = os::INFINITE;
        if (!infinite) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            wait = left.count() > 0 ? static_cast<os::DWORD>(left.count()) : 0;
        }
        if (os::WaitForSingleObject(q.wake, wait) != os::WAIT_OBJECT_0) {
            std::lock_guard guard(q.lock);
            bool woken = q.HasWork();
            q.wakeRequested = false;
            return woken;
        }
    }
}

LRESULT DispatchMessage(const TMsg& msg) {
    if (msg.hwnd == nullptr) return 0;
    TMessage m{msg.message, msg.wParam, msg.lParam, 0};
    return CallWindow(msg.hwnd, m);
}

void WakeMainThread() {
    auto& q = TheQueue();
    {
        std::lock_guard guard(q.lock);
        q.wakeRequested = true;
    }
    os::SetEvent(q.wake);
}

os::HANDLE MainThreadWakeEvent() {
    return TheQueue().wake;
}

TDispatchExceptionHandler SetDispatchExceptionHandler(TDispatchExceptionHandler handler) {
    auto& q = TheQueue();
    std::lock_guard guard(q.lock);
    std::swap(q.exceptionHandler, handler);
    return handler;
}

void HandleDispatchException() {
    TDispatchExceptionHandler handler;
    {
        auto& q = TheQueue();
        std::lock_guard guard(q.lock);
        handler = q.exceptionHandler;
    }
    try {
        if (handler) {
            handler();
        } else {
            DescribeOnStandardError();
        }
    } catch (...) {
        // The handler itself failed: say so rather than let it end the loop.
        DescribeOnStandardError();
    }
}

void ShutdownMessageQueue() {
    auto& q = TheQueue();
    {
        std::lock_guard guard(q.lock);
        q.shutDown = true;
        q.windows.clear();
        q.posted.clear();
        q.CompleteSent(nullptr);
    }
    os::SetEvent(q.wake);
}

}  // namespace zr
