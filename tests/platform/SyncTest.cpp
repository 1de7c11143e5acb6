#include "platform/Sync.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace zr::os;
using Clock = std::chrono::steady_clock;

namespace {

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Closes its handles however a test ends.
struct Handles {
    std::vector<HANDLE> list;
    HANDLE Event(bool manual, bool initial, const char* name = nullptr) {
        HANDLE h = CreateEventA(nullptr, manual ? TRUE : FALSE, initial ? TRUE : FALSE, name);
        list.push_back(h);
        return h;
    }
    ~Handles() {
        for (HANDLE h : list) CloseHandle(h);
    }
};

}  // namespace

TEST(SyncEvent, ResetModesDecideWhetherAWaitConsumesTheSignal) {
    Handles h;
    HANDLE manual = h.Event(true, true);
    HANDLE automatic = h.Event(false, true);
    ASSERT_NE(manual, nullptr);
    ASSERT_NE(automatic, nullptr);

    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0) << "a manual event stays set";
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT) << "an auto event resets itself";

    // Setting twice is still one signal, as on the host.
    SetEvent(automatic);
    SetEvent(automatic);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);

    ResetEvent(manual);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(h.Event(true, false), 0), WAIT_TIMEOUT);
}

TEST(SyncEvent, NamedEventsAreSharedAndEachHandleClosesOnItsOwn) {
    Handles h;
    HANDLE first = h.Event(true, false, "zr-sync-test-named");
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE second = CreateEventA(nullptr, TRUE, TRUE, "zr-sync-test-named");
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    ASSERT_NE(second, first);
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_TIMEOUT) << "opening again keeps the state";

    HANDLE opened = OpenEventA(EVENT_ALL_ACCESS, FALSE, "zr-sync-test-named");
    ASSERT_NE(opened, nullptr);
    SetEvent(second);
    EXPECT_EQ(WaitForSingleObject(opened, 0), WAIT_OBJECT_0);
    EXPECT_EQ(CloseHandle(second), TRUE);
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0) << "the others still work";
    EXPECT_EQ(CloseHandle(opened), TRUE);

    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "zr-sync-test-nobody"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(SyncEvent, StaleAndForeignHandlesAreRefused) {
    HANDLE h = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(CloseHandle(h), TRUE);
    EXPECT_EQ(CloseHandle(h), FALSE) << "a second close must not free anything";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetEvent(h), FALSE);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    int dummy = 0;
    EXPECT_EQ(SetEvent(&dummy), FALSE);

    // A descriptor handle is no event.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    HANDLE pipeHandle = CreateFdHandle(fds[0], true);
    EXPECT_EQ(SetEvent(pipeHandle), FALSE);
    CloseHandle(pipeHandle);
    close(fds[1]);
}

TEST(SyncWait, ManyHandlesReportTheLowestSignalledSlot) {
    Handles h;
    HANDLE events[5];
    for (auto& e : events) e = h.Event(false, false);
    SetEvent(events[4]);
    SetEvent(events[1]);
    SetEvent(events[3]);
    // Signalled out of order, reported lowest first, one per wait.
    EXPECT_EQ(WaitForMultipleObjects(5, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(5, events, FALSE, 0), WAIT_OBJECT_0 + 3);
    EXPECT_EQ(WaitForMultipleObjects(5, events, FALSE, 0), WAIT_OBJECT_0 + 4);
    EXPECT_EQ(WaitForMultipleObjects(5, events, FALSE, 0), WAIT_TIMEOUT);

    // A manual event in a low slot keeps winning until it is reset.
    HANDLE mixed[2] = {h.Event(true, true), events[0]};
    SetEvent(events[0]);
    EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_OBJECT_0);
    ResetEvent(mixed[0]);
    EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_OBJECT_0 + 1);
}

TEST(SyncWait, TimeOutsLastAsLongAsAsked) {
    Handles h;
    HANDLE events[2] = {h.Event(false, false), h.Event(true, false)};
    auto start = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, 120), WAIT_TIMEOUT);
    auto waited = MsSince(start);
    EXPECT_GE(waited, 119);
    EXPECT_LT(waited, 1000);

    start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(events[0], 0), WAIT_TIMEOUT);
    EXPECT_LT(MsSince(start), 50) << "a zero time-out only looks";
}

TEST(SyncWait, BadArgumentsFailInsteadOfWaiting) {
    Handles h;
    HANDLE good = h.Event(true, true);
    EXPECT_EQ(WaitForMultipleObjects(0, &good, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    std::vector<HANDLE> tooMany(MAXIMUM_WAIT_OBJECTS + 1, good);
    EXPECT_EQ(WaitForMultipleObjects(tooMany.size(), tooMany.data(), FALSE, 0), WAIT_FAILED);
    std::vector<HANDLE> most(MAXIMUM_WAIT_OBJECTS, good);
    EXPECT_EQ(WaitForMultipleObjects(most.size(), most.data(), FALSE, 0), WAIT_OBJECT_0);

    // One bad handle among good ones fails the whole wait, even a signalled one.
    HANDLE closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    CloseHandle(closed);
    HANDLE withBad[2] = {good, closed};
    EXPECT_EQ(WaitForMultipleObjects(2, withBad, FALSE, INFINITE), WAIT_FAILED);
}

TEST(SyncWait, DescriptorHandlesAreSignalledWhileReadable) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    Handles h;
    HANDLE event = h.Event(false, false);
    HANDLE readable = CreateFdHandle(fds[0], true);
    ASSERT_NE(readable, nullptr);
    EXPECT_EQ(HandleFd(readable), fds[0]);
    HANDLE both[2] = {event, readable};

    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1)
        << "waiting never drains the descriptor";
    char c;
    ASSERT_EQ(read(fds[0], &c, 1), 1);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT);

    EXPECT_EQ(CloseHandle(readable), TRUE);
    EXPECT_EQ(fcntl(fds[0], F_GETFD), -1) << "the handle owned the read end and closed it";
    close(fds[1]);
    EXPECT_EQ(CreateFdHandle(-1, false), nullptr);
}

TEST(SyncWait, WaitAllTakesEverySignalAtOnceOrNone) {
    Handles h;
    HANDLE events[3] = {h.Event(false, true), h.Event(true, true), h.Event(false, false)};
    EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 30), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(events[0], 0), WAIT_OBJECT_0)
        << "a failed wait-all must leave the auto event set";
    SetEvent(events[0]);
    SetEvent(events[2]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(events[0], 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(events[2], 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(events[1], 0), WAIT_OBJECT_0);
}

TEST(SyncWait, WaitAllRefusesAListThatHoldsOneObjectTwice) {
    Handles h;
    HANDLE event = h.Event(false, true);
    HANDLE twice[2] = {event, event};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 50), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // Two handles of one named event are one object too.
    HANDLE first = h.Event(false, true, "zr-sync-test-waitall");
    HANDLE second = h.Event(false, false, "zr-sync-test-waitall");
    HANDLE named[3] = {event, first, second};
    EXPECT_EQ(WaitForMultipleObjects(3, named, TRUE, 50), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0) << "the refused wait took nothing";

    // Waiting for any of them is fine.
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "the refused wait took nothing";
    SetEvent(event);
    SetEvent(first);
    EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, named + 1, FALSE, 0), WAIT_OBJECT_0);
}

TEST(SyncEvent, TheNamesOfClosedEventsAreDropped) {
    const std::size_t before = NamedEventCount();
    for (int i = 0; i < 200; ++i) {
        const std::string name = "zr-sync-test-fresh-" + std::to_string(i);
        CloseHandle(CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
    }
    EXPECT_LE(NamedEventCount(), before + 1);
}

// Two threads creating the same name at once must get one event: a signal
// set through either handle wakes a waiter on the other.
TEST(SyncThreadEvent, ThreadsCreatingOneNameAtOnceShareOneEvent) {
    int split = 0;
    for (int round = 0; round < 300; ++round) {
        const std::string name = "zr-sync-test-race-" + std::to_string(round);
        std::atomic<int> ready{0};
        HANDLE made[2] = {nullptr, nullptr};
        auto create = [&](int slot) {
            ++ready;
            while (ready.load() < 2) std::this_thread::yield();
            made[slot] = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
        };
        std::thread other(create, 1);
        create(0);
        other.join();
        SetEvent(made[0]);
        if (WaitForSingleObject(made[1], 0) != WAIT_OBJECT_0) ++split;
        CloseHandle(made[0]);
        CloseHandle(made[1]);
    }
    EXPECT_EQ(split, 0);
}

TEST(SyncThreadWait, AnotherThreadsSignalEndsAnInfiniteWait) {
    Handles h;
    HANDLE events[3] = {h.Event(false, false), h.Event(false, false), h.Event(true, false)};
    std::thread setter([&] {
        Sleep(30);
        SetEvent(events[2]);
    });
    auto start = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, INFINITE), WAIT_OBJECT_0 + 2);
    EXPECT_GE(MsSince(start), 25);
    setter.join();

    // Wait-all ends only once the last one arrives.
    ResetEvent(events[2]);
    SetEvent(events[0]);
    std::thread late([&] {
        Sleep(20);
        SetEvent(events[1]);
        Sleep(20);
        SetEvent(events[2]);
    });
    EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 5000), WAIT_OBJECT_0);
    late.join();
}

TEST(SyncThreadWait, AnAutoEventWakesExactlyOneOfManyWaiters) {
    Handles h;
    HANDLE event = h.Event(false, false);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] {
            if (WaitForSingleObject(event, 300) == WAIT_OBJECT_0) ++woken;
        });
    Sleep(30);
    SetEvent(event);
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken.load(), 1);
}
