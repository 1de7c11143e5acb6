#include "framework/SessionEnd.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "framework/Application.h"
#include "framework/MessageQueue.h"

using namespace zr;
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

// A bus daemon of the test's own standing in for the system bus.
class TestBus {
  public:
    TestBus() {
        FILE* out = ::popen(
            "dbus-daemon --session --fork --print-address=1 --print-pid=1 2>/dev/null", "r");
        if (out == nullptr) return;
        char line[512] = {};
        if (std::fgets(line, sizeof line, out))
            address_ = std::string(line).substr(0, std::strlen(line) - 1);
        if (std::fgets(line, sizeof line, out)) pid_ = std::atoi(line);
        ::pclose(out);
    }
    ~TestBus() {
        if (pid_ > 0) ::kill(pid_, SIGTERM);
    }
    const std::string& Address() const { return address_; }

    // A connection that owns `name` (when given) and emits PrepareForShutdown.
    void Announce(bool goingDown, const char* name) {
        sd_bus* bus = nullptr;
        ASSERT_GE(sd_bus_new(&bus), 0);
        sd_bus_set_address(bus, address_.c_str());
        sd_bus_set_bus_client(bus, 1);
        ASSERT_GE(sd_bus_start(bus), 0);
        if (name != nullptr) {
            ASSERT_GE(sd_bus_request_name(bus, name, 0), 0);
        }
        ASSERT_GE(
            sd_bus_emit_signal(bus, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                               "PrepareForShutdown", "b", goingDown ? 1 : 0),
            0);
        sd_bus_flush(bus);
        sd_bus_flush_close_unref(bus);
    }

  private:
    std::string address_;
    int pid_ = 0;
};

// DBUS_SYSTEM_BUS_ADDRESS for the time of a test.
class SystemBusAddress {
  public:
    explicit SystemBusAddress(const std::string& address) {
        const char* old = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    }
    ~SystemBusAddress() {
        if (had_) {
            setenv("DBUS_SYSTEM_BUS_ADDRESS", old_.c_str(), 1);
        } else {
            unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        }
    }

  private:
    bool had_ = false;
    std::string old_;
};

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
