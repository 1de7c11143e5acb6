#include "framework/Thread.h"

#include "framework/ExceptAddr.h"
#include "framework/FaultExceptions.h"
#include "framework/MessageQueue.h"
#include "framework/ThreadQueue.h"

namespace zr {

namespace {

// The main thread's wait for a thread to end: it keeps serving Synchronize
// and sent messages meanwhile, as the thread may need either to finish.
// Taking the wake signal here loses nothing: the message loop looks at its
// queues themselves before it waits on the signal.
void WaitServingMainThread(os::HANDLE finished) {
    os::HANDLE handles[2] = {finished, MainThreadWakeEvent()};
    do {
        thread_queue::RunWaiting();
        ProcessSentMessages();
    } while (os::WaitForMultipleObjects(2, handles, os::FALSE, os::INFINITE) ==
             os::WAIT_OBJECT_0 + 1);
}

}  // namespace

TThread::TThread(bool createSuspended)
    : autoStart_(!createSuspended),
      finishedEvent_(os::CreateEventA(nullptr, os::TRUE, os::FALSE, nullptr)) {
    if (finishedEvent_ == nullptr) throw EThread("Thread creation error: no event handle");
}

TThread::~TThread() {
    // The derived part is gone: none of its methods may run on the main
    // thread any more, OnTerminate included.
    thread_queue::BeginDestroying(this);
    const bool self = std::this_thread::get_id() == threadId_.load();
    if (started_.load() && !self &&
        os::WaitForSingleObject(finishedEvent_, 0) != os::WAIT_OBJECT_0) {
        Terminate();
        if (IsMainThread()) WaitServingMainThread(finishedEvent_);
        os::WaitForSingleObject(finishedEvent_, os::INFINITE);
    }
    {
        std::lock_guard guard(startLock_);
        if (thread_.joinable()) {
            if (self) {
                thread_.detach();  // freed by itself (FreeOnTerminate)
            } else {
                thread_.join();
            }
        }
    }
    thread_queue::EndDestroying(this);
    os::CloseHandle(finishedEvent_);
}

void TThread::AfterConstruction() {
    if (autoStart_) Start();
}

void TThread::Start() {
    std::lock_guard guard(startLock_);
    if (started_.load()) return;
    started_.store(true);
    thread_ = std::thread([this] { Run(); });
    threadId_ = thread_.get_id();
}

void TThread::Terminate() {
    terminated_.store(true);
}

int TThread::WaitFor() {
    if (std::this_thread::get_id() == threadId_.load())
        throw EThread("Cannot wait for a thread from within the thread itself");
    if (!started_.load()) Start();
    if (IsMainThread()) WaitServingMainThread(finishedEvent_);
    os::WaitForSingleObject(finishedEvent_, os::INFINITE);
    {
        std::lock_guard guard(startLock_);
        if (thread_.joinable()) thread_.join();
    }
    return returnValue_.load();
}

void TThread::Run() {
    {
        // Start assigns thread_ and threadId_ under this lock; waiting for it
        // here lets the thread rely on them (WaitFor and the destructor ask
        // whether they run on the thread itself).
        std::lock_guard guard(startLock_);
    }
    // A fault inside Execute becomes its fatal exception, as any other.
    EnableFaultExceptions();
    try {
        Execute();
    } catch (...) {
        fatalError_ = std::current_exception();
    }
    DisableFaultExceptions();
    // Readable before Finished says so: whoever sees Finished may look.
    KeepFatalException();
    try {
        finished_.store(true);
        DoTerminate();
    } catch (...) {
        if (!fatalError_) {
            fatalError_ = std::current_exception();
            KeepFatalException();
        }
    }
    Finish();
}

void TThread::KeepFatalException() {
    if (!fatalError_) return;
    try {
        std::rethrow_exception(fatalError_);
    } catch (Exception& e) {
        fatalException_ = &e;  // lives as long as fatalError_
    } catch (...) {
        wrappedFatal_ = WrapException(fatalError_);
        fatalException_ = wrappedFatal_.get();
    }
}

void TThread::Finish() {
    // Read before the event: once it is set the owner may free the object.
    const bool freeSelf = freeOnTerminate_.load();
    if (freeSelf) {
        // Its methods are dropped before the derived part dies, and one the
        // main thread is running is let finish first.
        thread_queue::BeginDestroying(this);
        thread_queue::AwaitRunning(this);
        delete this;
        return;
    }
    os::SetEvent(finishedEvent_);
}

void TThread::DoTerminate() {
    // Tied to this thread: once the thread object is being destroyed, the
    // handler would see a half-destroyed object, so it is dropped.
    if (onTerminate_) Synchronize(this, [this] { onTerminate_(this); });
}

void TThread::Synchronize(TThread* thread, const TThreadMethod& method) {
    Synchronize(thread, std::function<void()>([method] { method(); }));
}

void TThread::Synchronize(TThread* thread, std::function<void()> method) {
    if (IsMainThread()) {
        method();
        return;
    }
    if (auto error = thread_queue::RunOnMainThread(thread, std::move(method)))
        std::rethrow_exception(error);
}

void TThread::Queue(TThread* thread, std::function<void()> method) {
    thread_queue::Post(thread, std::move(method));
}

void TThread::RemoveQueuedEvents(TThread* thread) {
    thread_queue::RemovePosted(thread);
}

bool TThread::CheckSynchronize(int timeoutMs) {
    if (!IsMainThread()) return false;
    if (timeoutMs > 0) thread_queue::AwaitWork(timeoutMs);
    return thread_queue::RunWaiting();
}

}  // namespace zr
