// Worker threads in the framework's shape: created suspended or running,
// terminated cooperatively, and reaching the main thread through Synchronize.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "Event.h"
#include "Exceptions.h"
#include "Object.h"
#include "../platform/Sync.h"

namespace zr {

// A method without arguments, as Synchronize and Queue run it.
using TThreadMethod = TClosure<>;

class TThread : public TObject {
  public:
    // With `createSuspended` false the thread runs as soon as it is complete:
    // a C++ base class cannot start a derived Execute from its own
    // constructor (the derived part is not built yet), so the thread waits
    // for AfterConstruction, which TThread::Create calls, or for the first
    // Start/Resume/WaitFor. Prefer TThread::Create<T>(args...) for a thread
    // that starts at once.
    explicit TThread(bool createSuspended);
    // Sets Terminated and waits for Execute to return. A thread that never
    // ran ends without running Execute: the derived part is already gone
    // here. A derived class whose Execute reads its own members must end the
    // thread in its own destructor first (Terminate(); WaitFor();).
    // From the start of this destructor no method that the thread handed to
    // the main thread (Synchronize, Queue, OnTerminate) runs any more: those
    // not yet run are dropped, also when the main thread is part-way through
    // the batch that holds them, and a Synchronize waiting for one returns.
    // Off the main thread it returns only once no such method is running
    // there. A FreeOnTerminate thread drops them before its derived part
    // dies.
    ~TThread() override;

    // new T(args...), then AfterConstruction.
    template <class T, class... Args>
    static T* Create(Args&&... args) {
        T* thread = new T(std::forward<Args>(args)...);
        thread->AfterConstruction();
        return thread;
    }
    // Starts a thread that was made with createSuspended false; does nothing
    // for one made suspended.
    void AfterConstruction();

    // Starts a suspended thread; does nothing for one that runs or ran.
    // Resume is the older name.
    void Start();
    void Resume() { Start(); }
    bool Suspended() const { return !started_.load(); }

    // Asks Execute to stop: sets Terminated, which Execute polls.
    void Terminate();
    bool Terminated() const { return terminated_.load(); }
    // True once Execute (and OnTerminate) finished.
    bool Finished() const { return finished_.load(); }

    // Waits until Execute returned and gives ReturnValue. A thread that never
    // started is started, so the wait can end. On the main thread the wait
    // keeps running Synchronize calls and sent messages, so a worker that
    // waits on the main thread cannot deadlock it. Raises EThread when
    // called by the thread itself (it would wait for ever).
    int WaitFor();

    bool FreeOnTerminate() const { return freeOnTerminate_.load(); }
    void SetFreeOnTerminate(bool value) { freeOnTerminate_.store(value); }

    // Runs on the main thread after Execute returned (through Synchronize),
    // while the thread object is whole: in WaitFor, in the message loop, or
    // in a derived destructor that ends the thread (Terminate(); WaitFor();).
    // Once TThread's own destructor has begun, the derived part is gone and
    // the handler is not run.
    const TNotifyEvent& OnTerminate() const { return onTerminate_; }
    void SetOnTerminate(const TNotifyEvent& handler) { onTerminate_ = handler; }

    // The exception that escaped Execute, or null; a C++ exception that is
    // no framework exception is wrapped (class name = its type).
    Exception* FatalException() const { return fatalException_; }
    // The raw exception that escaped Execute.
    std::exception_ptr FatalExceptionPtr() const { return fatalError_; }

    // Signalled (manual reset) when the thread has finished: wait on it
    // together with other handles.
    os::HANDLE Handle() const { return finishedEvent_; }
    std::thread::id ThreadID() const { return threadId_.load(); }
    int ReturnValue() const { return returnValue_.load(); }

    // Runs `method` on the main thread and returns after it ran there: at
    // once when called on the main thread, else when the main thread's loop
    // (or CheckSynchronize) picks it up. An exception escaping `method` is
    // raised again in the calling thread. `thread` may be null.
    static void Synchronize(TThread* thread, const TThreadMethod& method);
    static void Synchronize(TThread* thread, std::function<void()> method);
    // Hands `method` to the main thread and returns at once; an exception
    // escaping it goes to the application's HandleException.
    static void Queue(TThread* thread, std::function<void()> method);
    // Drops the methods that `thread` queued and that have not begun to run,
    // including those of a batch the main thread is working through (a
    // queued method may drop the ones queued after it).
    static void RemoveQueuedEvents(TThread* thread);

    // The main thread's end of Synchronize and Queue: runs what is waiting and
    // returns true when it ran anything. Does nothing on other threads.
    // `timeoutMs` > 0 first waits that long for work to arrive.
    static bool CheckSynchronize(int timeoutMs = 0);

  protected:
    virtual void Execute() = 0;
    // Fires OnTerminate through Synchronize when one is assigned.
    virtual void DoTerminate();

    void Synchronize(const TThreadMethod& method) { Synchronize(this, method); }
    void Synchronize(std::function<void()> method) { Synchronize(this, std::move(method)); }
    void Queue(std::function<void()> method) { Queue(this, std::move(method)); }
    void SetReturnValue(int value) { returnValue_.store(value); }

  private:
    void Launch();
    void Run();
    void KeepFatalException();
    void Finish();

    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
    std::atomic<bool> started_{false};
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::atomic<bool> freeOnTerminate_{false};
    std::atomic<int> returnValue_{0};
    bool autoStart_ = false;
    std::mutex startLock_;
    os::HANDLE finishedEvent_ = nullptr;
    std::exception_ptr fatalError_;
    Exception* fatalException_ = nullptr;
    std::unique_ptr<Exception> wrappedFatal_;
    TNotifyEvent onTerminate_;
};

}  // namespace zr
