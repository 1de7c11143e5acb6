#include "framework/SessionEnd.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "framework/Application.h"
#include "framework/MessageQueue.h"
#include "support/TestBus.h"

using namespace zr;
using zr::test::SystemBusAddress;
using zr::test::TestBus;
using namespace std::chrono_literals;

namespace {

// A window that answers the end-of-session query as told and counts it.
struct Answering {
    explicit Answering(LRESULT answer) {
        window = AllocateHWnd(TWndMethod::FromFunction([this, answer](TMessage& m) {
            if (m.Msg != WM_QUERYENDSESSION) return;
            ++asked;
            m.Result = answer;
        }));
    }
    ~Answering() { DeallocateHWnd(window); }
    HWND window = nullptr;
    int asked = 0;
};

void RunQueueFor(std::chrono::milliseconds time, const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + time;
    while (!done() && std::chrono::steady_clock::now() < end) {
        Application->ProcessMessages();
        WaitMessageTimeout(10);
    }
}

}  // namespace

TEST(SessionEndTest, EveryWindowIsAskedAndOneRefusalIsReported) {
    SystemBusAddress noBus("unix:path=/nonexistent/zr-no-bus");
    Answering agrees(1), refuses(0), freed(1);
    AddSessionWindow(refuses.window);
    AddSessionWindow(agrees.window);
    AddSessionWindow(agrees.window);  // once only
    AddSessionWindow(freed.window);
    DeallocateHWnd(freed.window);
    EXPECT_FALSE(WatchingSystemShutdown()) << "no bus: nothing watched, nothing fails";

    EXPECT_FALSE(QueryEndSession());
    EXPECT_EQ(refuses.asked, 1);
    EXPECT_EQ(agrees.asked, 1) << "asked even after a refusal";
    RemoveSessionWindow(refuses.window);
    EXPECT_TRUE(QueryEndSession());
    RemoveSessionWindow(agrees.window);
    RemoveSessionWindow(freed.window);
}

TEST(SessionEndThreadTest, TheSystemGoingDownAsksTheWindows) {
    TestBus bus;
    if (bus.Address().empty()) GTEST_SKIP() << "no dbus-daemon to stand in for the system bus";
    SystemBusAddress address(bus.Address());
    Answering window(1);
    AddSessionWindow(window.window);
    ASSERT_TRUE(WatchingSystemShutdown());

    bus.Announce(true, nullptr);                    // anyone but logind: not believed
    bus.Announce(false, "org.freedesktop.login1");  // a shutdown called off
    RunQueueFor(300ms, [] { return false; });
    EXPECT_EQ(window.asked, 0);

    bus.Announce(true, "org.freedesktop.login1");
    RunQueueFor(3s, [&] { return window.asked > 0; });
    EXPECT_EQ(window.asked, 1);
    RemoveSessionWindow(window.window);
    EXPECT_FALSE(WatchingSystemShutdown());
}
