#include "framework/MessageQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "framework/Exceptions.h"

using namespace zr;

namespace {

// A hidden window that records what reaches it, freed with the test.
struct Window {
    std::vector<TMessage> received;
    std::vector<bool> onMainThread;
    std::function<void(TMessage&)> react;
    HWND handle;

    Window() {
        handle = AllocateHWnd(TWndMethod::FromFunction([this](TMessage& m) {
            received.push_back(m);
            onMainThread.push_back(IsMainThread());
            if (react) react(m);
        }));
    }
    ~Window() { DeallocateHWnd(handle); }
};

// Dispatches what arrives until `done` holds or five seconds pass.
template <class Pred>
bool PumpUntil(Pred done) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        TMsg msg;
        if (PeekMessage(msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessage(msg);
        } else {
            WaitMessageTimeout(50);
        }
    }
    return true;
}

void Drain() {
    TMsg msg;
    while (PeekMessage(msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessage(msg);
}

}  // namespace

TEST(MessageQueueThread, PostsFromSeveralThreadsArriveInEachThreadsOrder) {
    Drain();
    Window window;
    constexpr int kThreads = 4;
    constexpr int kEach = 400;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                ASSERT_TRUE(PostMessage(window.handle, WM_USER + 1, t, i));
        });
    ASSERT_TRUE(PumpUntil([&] { return window.received.size() == kThreads * kEach; }));
    for (auto& p : posters) p.join();

    std::vector<LPARAM> next(kThreads, 0);
    for (const auto& m : window.received) {
        ASSERT_EQ(m.Msg, WM_USER + 1);
        ASSERT_EQ(m.LParam, next[m.WParam]) << "from thread " << m.WParam;
        ++next[m.WParam];
    }
    for (bool main : window.onMainThread) ASSERT_TRUE(main);
}

TEST(MessageQueueThread, SendMessageFromAWorkerWaitsForTheMainThreadsResult) {
    Drain();
    Window window;
    window.react = [](TMessage& m) { m.Result = static_cast<LRESULT>(m.WParam) * 2; };
    std::atomic<bool> returned{false};
    LRESULT result = 0;
    std::thread worker([&] {
        result = SendMessage(window.handle, WM_USER + 2, 21, 0);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned.load()) << "the main thread has not run the message yet";
    ASSERT_TRUE(PumpUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_EQ(result, 42);
    ASSERT_EQ(window.onMainThread.size(), 1u);
    EXPECT_TRUE(window.onMainThread[0]);
}

TEST(MessageQueueThread, ASenderIsReleasedWhenItsWindowGoes) {
    Drain();
    auto window = std::make_unique<Window>();
    HWND handle = window->handle;
    std::atomic<bool> returned{false};
    LRESULT result = -1;
    std::thread worker([&] {
        result = SendMessage(handle, WM_USER + 3, 0, 0);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    window.reset();  // before the main thread looked at its queue
    worker.join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(result, 0);
    EXPECT_EQ(SendMessage(handle, WM_USER + 3, 0, 0), 0);
}

TEST(MessageQueueThread, AnExceptionInASentMessageIsHandledAndTheSenderGetsZero) {
    Drain();
    std::vector<std::string> handled;
    auto previous = SetDispatchExceptionHandler([&] {
        try {
            throw;
        } catch (const Exception& e) {
            handled.push_back(e.Message());
        }
    });
    Window window;
    window.react = [](TMessage& m) {
        m.Result = 7;
        throw EConvertError("sent and failed");
    };
    LRESULT result = -1;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        result = SendMessage(window.handle, WM_USER + 4, 0, 0);
        returned = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return returned.load(); }));
    worker.join();
    SetDispatchExceptionHandler(previous);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(handled, std::vector<std::string>{"sent and failed"});
}

TEST(MessageQueue, SendingOnTheMainThreadCallsTheWindowAtOnce) {
    Window window;
    window.react = [](TMessage& m) { m.Result = 5; };
    EXPECT_EQ(SendMessage(window.handle, WM_USER, 0, 0), 5);
    EXPECT_EQ(window.received.size(), 1u);
    // An exception travels to the caller, who called directly.
    window.react = [](TMessage&) { throw EAbort("direct"); };
    EXPECT_THROW(SendMessage(window.handle, WM_USER, 0, 0), EAbort);
}

TEST(MessageQueue, WindowsThatAreGoneReceiveNothing) {
    Drain();
    HWND stale;
    {
        Window window;
        stale = window.handle;
        EXPECT_TRUE(IsWindow(stale));
        ASSERT_TRUE(PostMessage(stale, WM_USER, 1, 0));
    }
    EXPECT_FALSE(IsWindow(stale));
    TMsg msg;
    EXPECT_FALSE(PeekMessage(msg, stale, 0, 0, PM_REMOVE)) << "freeing drops its queued messages";
    EXPECT_FALSE(PostMessage(stale, WM_USER, 2, 0));
    EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_HANDLE);
    msg.hwnd = stale;
    EXPECT_EQ(DispatchMessage(msg), 0);
}

TEST(MessageQueue, GetMessageReportsQuitAsFalse) {
    Drain();
    Window window;
    PostMessage(window.handle, WM_USER + 1);
    PostQuitMessage(3);
    TMsg msg;
    EXPECT_TRUE(GetMessage(msg, nullptr, 0, 0));
    EXPECT_EQ(msg.message, WM_USER + 1);
    EXPECT_FALSE(GetMessage(msg, nullptr, 0, 0));
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_FALSE(WaitMessageTimeout(20)) << "nothing left to wake for";
}
