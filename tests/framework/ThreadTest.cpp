#include "framework/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <vector>

#include "framework/MessageQueue.h"

using namespace zr;
using namespace std::chrono_literals;

namespace {

// A thread whose Execute is a lambda. Its destructor ends the thread while
// the lambda still exists, as every thread class with members must.
class TLambdaThread : public TThread {
  public:
    using Body = std::function<void(TLambdaThread&)>;
    TLambdaThread(bool createSuspended, Body body)
        : TThread(createSuspended), body_(std::move(body)) {}
    ~TLambdaThread() override {
        Terminate();
        WaitFor();
    }
    using TThread::Queue;
    using TThread::SetReturnValue;
    using TThread::Synchronize;

  protected:
    void Execute() override { body_(*this); }

  private:
    Body body_;
};

// Runs the main thread's side of Synchronize until `done` or five seconds.
template <class Pred>
bool ServeUntil(Pred done) {
    auto limit = std::chrono::steady_clock::now() + 5s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        TThread::CheckSynchronize(10);
    }
    return true;
}

std::atomic<int> freedThreads{0};

class TSelfFreeingThread : public TThread {
  public:
    TSelfFreeingThread() : TThread(true) { SetFreeOnTerminate(true); }
    ~TSelfFreeingThread() override { ++freedThreads; }

  protected:
    void Execute() override {}
};

std::atomic<int> freedMemberThreads{0};

// A thread with a member that its queued methods and OnTerminate read, so a
// method that runs after the object died reads freed memory.
class TMemberThread : public TThread {
  public:
    using Body = std::function<void(TMemberThread&)>;
    explicit TMemberThread(Body body) : TThread(true), body_(std::move(body)) {}
    ~TMemberThread() override { ++freedMemberThreads; }
    using TThread::Queue;

    std::vector<int> samples = std::vector<int>(64, 7);
    // Set when OnTerminate is about to be handed to the main thread.
    std::atomic<bool>* terminating = nullptr;

  protected:
    void Execute() override { body_(*this); }
    void DoTerminate() override {
        if (terminating != nullptr) *terminating = true;
        TThread::DoTerminate();
    }

  private:
    Body body_;
};

template <class Pred>
bool WaitUntil(Pred done, std::chrono::milliseconds patience = 5s) {
    auto limit = std::chrono::steady_clock::now() + patience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

}  // namespace

TEST(Thread, ASuspendedThreadRunsOnlyOnceStarted) {
    std::atomic<int> runs{0};
    TLambdaThread thread(true, [&](TLambdaThread& self) {
        ++runs;
        self.SetReturnValue(17);
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(runs.load(), 0);
    EXPECT_TRUE(thread.Suspended());
    thread.Resume();
    EXPECT_EQ(thread.WaitFor(), 17);
    EXPECT_EQ(runs.load(), 1);
    EXPECT_TRUE(thread.Finished());
    thread.Start();  // starting a finished thread does nothing
    EXPECT_EQ(os::WaitForSingleObject(thread.Handle(), 0), os::WAIT_OBJECT_0);
    EXPECT_EQ(runs.load(), 1);
}

TEST(Thread, CreateStartsTheThreadOnceItIsComplete) {
    std::atomic<bool> ran{false};
    std::unique_ptr<TLambdaThread> thread(
        TThread::Create<TLambdaThread>(false, [&](TLambdaThread&) { ran = true; }));
    EXPECT_EQ(os::WaitForSingleObject(thread->Handle(), 5000), os::WAIT_OBJECT_0);
    EXPECT_TRUE(ran.load());

    // Created suspended, Create leaves it suspended.
    std::unique_ptr<TLambdaThread> suspended(
        TThread::Create<TLambdaThread>(true, [&](TLambdaThread&) {}));
    EXPECT_TRUE(suspended->Suspended());
}

TEST(Thread, SynchronizeRunsOnTheMainThreadAndReturnsAfterwards) {
    std::atomic<bool> ranOnMain{false};
    std::atomic<int> stage{0};
    int seenAfterReturn = -1;
    TLambdaThread thread(false, [&](TLambdaThread& self) {
        self.Synchronize([&] {
            ranOnMain = IsMainThread();
            stage = 1;
        });
        seenAfterReturn = stage.load();
        stage = 2;
    });
    thread.AfterConstruction();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(stage.load(), 0) << "nothing runs until the main thread serves";
    ASSERT_TRUE(ServeUntil([&] { return stage.load() == 2; }));
    thread.WaitFor();
    EXPECT_TRUE(ranOnMain.load());
    EXPECT_EQ(seenAfterReturn, 1);

    // On the main thread itself it is a plain call.
    bool called = false;
    TThread::Synchronize(nullptr, [&] { called = true; });
    EXPECT_TRUE(called);
}

TEST(Thread, AnExceptionInASynchronizedMethodComesBackToTheCaller) {
    std::string caughtClass, caughtMessage;
    TLambdaThread thread(false, [&](TLambdaThread& self) {
        try {
            self.Synchronize([] { throw EConvertError("'x' is not a valid integer value"); });
        } catch (const Exception& e) {
            caughtClass = e.ClassName();
            caughtMessage = e.Message();
        }
    });
    thread.AfterConstruction();
    ASSERT_TRUE(ServeUntil([&] { return thread.Finished(); }));
    thread.WaitFor();
    EXPECT_EQ(caughtClass, "EConvertError");
    EXPECT_EQ(caughtMessage, "'x' is not a valid integer value");
    EXPECT_EQ(thread.FatalException(), nullptr);
}

TEST(Thread, AnExceptionEscapingExecuteIsKeptAsTheFatalException) {
    TLambdaThread failing(false, [](TLambdaThread&) { throw EInOutError("disk gone"); });
    failing.AfterConstruction();
    failing.WaitFor();
    ASSERT_NE(failing.FatalException(), nullptr);
    EXPECT_STREQ(failing.FatalException()->ClassName(), "EInOutError");
    EXPECT_EQ(failing.FatalException()->Message(), "disk gone");

    TLambdaThread foreign(false, [](TLambdaThread&) { throw std::runtime_error("plain C++"); });
    foreign.AfterConstruction();
    foreign.WaitFor();
    ASSERT_NE(foreign.FatalException(), nullptr);
    EXPECT_EQ(foreign.FatalException()->Message(), "plain C++");
    EXPECT_NE(std::string(foreign.FatalException()->ClassName()).find("runtime_error"),
              std::string::npos);
}

// Whoever polls Finished instead of waiting may read the fatal exception at
// once: it is kept before Finished turns true.
TEST(Thread, TheFatalExceptionIsThereOnceFinishedSaysSo) {
    TLambdaThread failing(false, [](TLambdaThread&) { throw EInOutError("disk gone"); });
    failing.AfterConstruction();
    while (!failing.Finished()) std::this_thread::yield();
    ASSERT_NE(failing.FatalException(), nullptr);
    EXPECT_STREQ(failing.FatalException()->ClassName(), "EInOutError");
}

TEST(Thread, DestroyingAThreadThatWaitsEndsIt) {
    os::HANDLE never = os::CreateEventA(nullptr, os::TRUE, os::FALSE, nullptr);
    std::atomic<bool> started{false};
    auto thread = std::make_unique<TLambdaThread>(false, [&](TLambdaThread& self) {
        started = true;
        while (!self.Terminated()) os::WaitForSingleObject(never, 20);
    });
    thread->AfterConstruction();
    while (!started.load()) std::this_thread::sleep_for(1ms);
    auto start = std::chrono::steady_clock::now();
    thread.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    os::CloseHandle(never);
}

TEST(Thread, DestroyingAThreadBlockedInSynchronizeDoesNotDeadlock) {
    // The main thread does not serve the queue; only the destructor's wait does.
    std::atomic<bool> synchronized{false};
    auto thread = std::make_unique<TLambdaThread>(
        false, [&](TLambdaThread& self) { self.Synchronize([&] { synchronized = true; }); });
    thread->AfterConstruction();
    std::this_thread::sleep_for(30ms);
    thread.reset();
    EXPECT_TRUE(synchronized.load());
}

TEST(Thread, AThreadThatNeverRanRunsOnceWhenDestroyed) {
    std::atomic<int> runs{0};
    std::atomic<bool> sawTerminated{false};
    {
        TLambdaThread thread(true, [&](TLambdaThread& self) {
            ++runs;
            sawTerminated = self.Terminated();
        });
    }
    EXPECT_EQ(runs.load(), 1);
    EXPECT_TRUE(sawTerminated.load());
}

TEST(Thread, FreeOnTerminateFreesTheThreadWhenItEnds) {
    int before = freedThreads.load();
    (new TSelfFreeingThread)->Start();
    auto limit = std::chrono::steady_clock::now() + 5s;
    while (freedThreads.load() == before && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(freedThreads.load(), before + 1);
}

TEST(Thread, OnTerminateRunsOnTheMainThreadWhileItWaits) {
    std::atomic<bool> executed{false};
    bool terminatedOnMain = false;
    bool executeWasDone = false;
    TObject* sender = nullptr;
    TLambdaThread thread(true, [&](TLambdaThread&) { executed = true; });
    thread.SetOnTerminate(TNotifyEvent::FromFunction([&](TObject* s) {
        terminatedOnMain = IsMainThread();
        executeWasDone = executed.load();
        sender = s;
    }));
    thread.Start();
    thread.WaitFor();  // serves the OnTerminate call
    EXPECT_TRUE(terminatedOnMain);
    EXPECT_TRUE(executeWasDone);
    EXPECT_EQ(sender, &thread);
}

TEST(Thread, WaitingForItselfRaisesInsteadOfHanging) {
    std::string message;
    TLambdaThread thread(false, [&](TLambdaThread& self) {
        try {
            self.WaitFor();
        } catch (const EThread& e) {
            message = e.Message();
        }
    });
    thread.AfterConstruction();
    thread.WaitFor();
    EXPECT_FALSE(message.empty());
}

TEST(Thread, QueuedMethodsRunLaterAndTheirExceptionsAreHandled) {
    std::vector<std::string> handled;
    auto previous = SetDispatchExceptionHandler([&] {
        try {
            throw;
        } catch (const Exception& e) {
            handled.push_back(e.Message());
        }
    });
    std::atomic<int> ran{0};
    TLambdaThread thread(false, [&](TLambdaThread& self) {
        self.Queue([&] { ++ran; });
        self.Queue([] { throw EListError("queued and failed"); });
        self.Queue([&] { ++ran; });
    });
    thread.AfterConstruction();
    while (!thread.Finished()) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(ran.load(), 0) << "the thread did not wait for them";
    ASSERT_TRUE(ServeUntil([&] { return ran.load() == 2; }));
    SetDispatchExceptionHandler(previous);
    EXPECT_EQ(handled, std::vector<std::string>{"queued and failed"});
}

// Queued methods that are dropped by a method of the same batch (by
// RemoveQueuedEvents, or by destroying their thread) never run, although the
// main thread had already taken them up.
TEST(Thread, MethodsDroppedByAnEarlierMethodOfTheSameBatchNeverRun) {
    std::atomic<std::size_t> readAfterDrop{0};
    auto* removing = new TMemberThread([&](TMemberThread& self) {
        self.Queue([&self] { TThread::RemoveQueuedEvents(&self); });
        self.Queue([&] { readAfterDrop += self.samples.size(); });
    });
    removing->Start();
    ASSERT_EQ(os::WaitForSingleObject(removing->Handle(), 5000), os::WAIT_OBJECT_0);
    TThread::CheckSynchronize();
    EXPECT_EQ(readAfterDrop.load(), 0u);
    delete removing;

    auto* deleting = new TMemberThread([&](TMemberThread& self) {
        self.Queue([&self] { delete &self; });
        self.Queue([&] { readAfterDrop += self.samples.size(); });
    });
    deleting->Start();
    ASSERT_EQ(os::WaitForSingleObject(deleting->Handle(), 5000), os::WAIT_OBJECT_0);
    TThread::CheckSynchronize();
    EXPECT_EQ(readAfterDrop.load(), 0u);
}

// A FreeOnTerminate thread frees itself on its own thread while the main
// thread may be running its queued methods: the one running is let finish,
// the ones behind it in the batch are dropped before the object dies.
TEST(Thread, AFreeOnTerminateThreadTakesItsQueuedMethodsAlong) {
    const int before = freedMemberThreads.load();
    std::atomic<bool> firstRunning{false};
    std::atomic<bool> firstSawFreed{false};
    std::atomic<bool> secondRan{false};
    auto* thread = new TMemberThread([&](TMemberThread& self) {
        self.Queue([&] {
            firstRunning = true;
            // Gives a thread that frees itself under a running method the
            // time to do so.
            firstSawFreed =
                WaitUntil([&] { return freedMemberThreads.load() != before; }, 300ms);
        });
        self.Queue([&] { secondRan = !self.samples.empty(); });
        WaitUntil([&] { return firstRunning.load(); });
    });
    thread->SetFreeOnTerminate(true);
    thread->Start();
    ASSERT_TRUE(ServeUntil([&] { return freedMemberThreads.load() != before; }));
    TThread::CheckSynchronize();
    EXPECT_FALSE(firstSawFreed.load()) << "freed while its method was running";
    EXPECT_FALSE(secondRan.load());
}

// We drop OnTerminate once TThread's destructor has begun (the derived part
// is gone by then); a derived destructor that ends the thread itself still
// gets it (OnTerminateRunsOnTheMainThreadWhileItWaits).
TEST(Thread, OnTerminateIsDroppedOnceTheThreadObjectIsBeingDestroyed) {
    std::atomic<bool> terminating{false};
    bool ran = false;
    std::size_t seen = 0;
    auto* thread = new TMemberThread([](TMemberThread&) {});
    thread->terminating = &terminating;
    thread->SetOnTerminate(TNotifyEvent::FromFunction([&](TObject* sender) {
        ran = true;
        seen = static_cast<TMemberThread*>(sender)->samples.size();
    }));
    thread->Start();
    ASSERT_TRUE(WaitUntil([&] { return terminating.load(); }));
    delete thread;  // only the destructor's own wait serves the queue
    EXPECT_FALSE(ran);
    EXPECT_EQ(seen, 0u);
}
