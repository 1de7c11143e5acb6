#include "platform/ShutdownWatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "support/TestBus.h"

using namespace std::chrono_literals;
using zr::os::TShutdownWatcher;
using zr::test::SystemBusAddress;
using zr::test::TestBus;
using zr::test::TestBusClient;

namespace {

bool WaitFor(const std::atomic<int>& count, int wanted, std::chrono::milliseconds time) {
    const auto end = std::chrono::steady_clock::now() + time;
    while (count.load() < wanted && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(5ms);
    return count.load() >= wanted;
}

}  // namespace

// Another user on the system bus addresses PrepareForShutdown straight to
// every connection, and logind itself only broadcasts it: only logind's
// broadcast (from whoever owns the name now) may be believed.
TEST(ShutdownWatchThreadTest, OnlyTheBroadcastOfLogindsOwnerIsBelieved) {
    TestBus bus;
    if (bus.Address().empty()) GTEST_SKIP() << "no dbus-daemon to stand in for the system bus";
    SystemBusAddress address(bus.Address());
    auto logind = std::make_unique<TestBusClient>(bus.Address());
    logind->Own("org.freedesktop.login1");
    std::atomic<int> reports{0};
    auto watcher = TShutdownWatcher::Start([&] { ++reports; });
    ASSERT_TRUE(watcher->Watching());

    TestBusClient stranger(bus.Address());
    for (const auto& name : stranger.OthersOnTheBus()) stranger.Announce(true, name.c_str());
    stranger.Announce(true, nullptr);
    for (const auto& name : logind->OthersOnTheBus()) logind->Announce(true, name.c_str());
    EXPECT_FALSE(WaitFor(reports, 1, 300ms)) << "a signal addressed to us was believed";

    logind->Announce(true, nullptr);
    EXPECT_TRUE(WaitFor(reports, 1, 3s));

    // logind restarts under a new unique name: the watcher follows it.
    logind.reset();
    TestBusClient restarted(bus.Address());
    restarted.Own("org.freedesktop.login1");
    restarted.Announce(true, nullptr);
    EXPECT_TRUE(WaitFor(reports, 2, 3s));
    EXPECT_EQ(reports.load(), 2);
}
