// The main-thread timer: ticks run on the main thread from the loop, do not
// pile up behind a slow handler, stop when disabled, never run while
// designing, and a handler may free the timer's owner.
#include "framework/Timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "framework/Application.h"
#include "framework/MessageQueue.h"

using namespace zr;
using namespace std::chrono_literals;

namespace {

struct TickCounter : TObject {
    void Tick(TObject*) {
        ++ticks;
        onMainThread = onMainThread && IsMainThread();
        if (action) action();
    }
    int ticks = 0;
    bool onMainThread = true;
    std::function<void()> action;
};

// Runs the loop until `done` or two seconds have passed.
void PumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        WaitMessageTimeout(50);
        Application->ProcessMessages();
    }
}

TEST(Timer, TicksOnTheMainThreadOneAtATimeAndStopsWhenDisabled) {
    TickCounter counter;
    TTimer timer(nullptr);
    timer.SetInterval(5);
    timer.SetOnTimer(TNotifyEvent(&counter, &TickCounter::Tick));
    PumpUntil([&] { return counter.ticks >= 3; });
    EXPECT_GE(counter.ticks, 3);
    EXPECT_TRUE(counter.onMainThread);

    // Ten intervals without the loop: one tick waits, not ten.
    std::this_thread::sleep_for(60ms);
    const int before = counter.ticks;
    Application->ProcessMessages();
    EXPECT_EQ(counter.ticks, before + 1);

    timer.SetEnabled(false);
    Application->ProcessMessages();
    const int stopped = counter.ticks;
    std::this_thread::sleep_for(30ms);
    Application->ProcessMessages();
    EXPECT_EQ(counter.ticks, stopped);
}

TEST(Timer, AHandlerMayFreeTheTimersOwner) {
    auto* owner = new TComponent(nullptr);
    auto* timer = new TTimer(owner);
    TickCounter counter;
    counter.action = [&] { delete owner; };
    timer->SetInterval(1);
    timer->SetOnTimer(TNotifyEvent(&counter, &TickCounter::Tick));
    PumpUntil([&] { return counter.ticks >= 1; });
    EXPECT_EQ(counter.ticks, 1);
    std::this_thread::sleep_for(10ms);
    Application->ProcessMessages();
    EXPECT_EQ(counter.ticks, 1);
}

TEST(Timer, NothingRunsWhileDesigning) {
    TickCounter counter;
    TTimer timer(nullptr);
    timer.SetComponentStateFlag(csDesigning, true);
    timer.SetInterval(1);
    timer.SetOnTimer(TNotifyEvent(&counter, &TickCounter::Tick));
    std::this_thread::sleep_for(20ms);
    Application->ProcessMessages();
    EXPECT_EQ(counter.ticks, 0);
}

}  // namespace
