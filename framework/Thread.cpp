#include "framework/Thread.h"

#include <condition_variable>
#include <deque>

#include "framework/ExceptAddr.h"
#include "framework/FaultExceptions.h"
#include "framework/MessageQueue.h"

namespace zr {

namespace {

// A method handed to the main thread by Synchronize (the caller waits) or
// Queue (the caller goes on).
struct SyncRequest {
    TThread* thread = nullptr;
    std::function<void()> method;
    bool waited = false;
    bool done = false;
    std::exception_ptr error;
};

struct SyncQueue {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::shared_ptr<SyncRequest>> pending;
};

// Never freed: a worker may still synchronise while static objects go away.
SyncQueue& Syncs() {
    static auto* queue = new SyncQueue;
    return *queue;
}

void Complete(SyncRequest& request) {
    auto& q = Syncs();
    {
        std::lock_guard guard(q.lock);
        request.done = true;
    }
    q.changed.notify_all();
}

void RunRequest(SyncRequest& request) {
    try {
        request.method();
    } catch (...) {
        if (request.waited) {
            request.error = std::current_exception();  // raised again in the caller
        } else {
            HandleDispatchException();
        }
    }
    Complete(request);
}

// Runs what waits on the main thread. Requests of `dropping` (a thread whose
// object is being destroyed) are released without running: their methods
// may belong to the part of the object that is already gone.
bool RunPending(const TThread* dropping) {
    auto& q = Syncs();
    std::deque<std::shared_ptr<SyncRequest>> batch;
    {
        std::lock_guard guard(q.lock);
        batch.swap(q.pending);
    }
    for (auto& request : batch) {
        if (dropping != nullptr && request->thread == dropping) {
            Complete(*request);
        } else {
            RunRequest(*request);
        }
    }
    return !batch.empty();
}

// The main thread's wait for a thread to end: it keeps serving Synchronize
// and sent messages meanwhile, as the thread may need either to finish.
// Taking the wake signal here loses nothing: the message loop looks at its
// queues themselves before it waits on the signal.
void WaitServingMainThread(os::HANDLE finished, const TThread* dropping) {
    os::HANDLE handles[2] = {finished, MainThreadWakeEvent()};
    do {
        RunPending(dropping);
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
    const bool self = std::this_thread::get_id() == threadId_.load();
    if (started_.load() && !self &&
        os::WaitForSingleObject(finishedEvent_, 0) != os::WAIT_OBJECT_0) {
        Terminate();
        if (IsMainThread()) WaitServingMainThread(finishedEvent_, this);
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
    RemoveQueuedEvents(this);
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
    if (IsMainThread()) WaitServingMainThread(finishedEvent_, nullptr);
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
    try {
        finished_.store(true);
        DoTerminate();
    } catch (...) {
        if (!fatalError_) fatalError_ = std::current_exception();
    }
    Finish();
}

void TThread::Finish() {
    if (fatalError_) {
        try {
            std::rethrow_exception(fatalError_);
        } catch (Exception& e) {
            fatalException_ = &e;  // lives as long as fatalError_
        } catch (...) {
            wrappedFatal_ = WrapException(fatalError_);
            fatalException_ = wrappedFatal_.get();
        }
    }
    // Read before the event: once it is set the owner may free the object.
    const bool freeSelf = freeOnTerminate_.load();
    if (freeSelf) {
        delete this;
        return;
    }
    os::SetEvent(finishedEvent_);
}

void TThread::DoTerminate() {
    // Not tied to this thread: the handler belongs to whoever assigned it, so
    // it still runs while the thread object is being destroyed.
    if (onTerminate_) Synchronize(nullptr, [this] { onTerminate_(this); });
}

void TThread::Synchronize(TThread* thread, const TThreadMethod& method) {
    Synchronize(thread, std::function<void()>([method] { method(); }));
}

void TThread::Synchronize(TThread* thread, std::function<void()> method) {
    if (IsMainThread()) {
        method();
        return;
    }
    auto request = std::make_shared<SyncRequest>();
    request->thread = thread;
    request->method = std::move(method);
    request->waited = true;
    auto& q = Syncs();
    {
        std::unique_lock guard(q.lock);
        q.pending.push_back(request);
    }
    q.changed.notify_all();
    WakeMainThread();
    std::exception_ptr error;
    {
        std::unique_lock guard(q.lock);
        q.changed.wait(guard, [&] { return request->done; });
        // Taken out so that the exception dies on this thread, whichever
        // thread lets go of the request last.
        error = std::move(request->error);
        request->error = nullptr;
    }
    if (error) std::rethrow_exception(error);
}

void TThread::Queue(TThread* thread, std::function<void()> method) {
    auto request = std::make_shared<SyncRequest>();
    request->thread = thread;
    request->method = std::move(method);
    auto& q = Syncs();
    {
        std::lock_guard guard(q.lock);
        q.pending.push_back(request);
    }
    q.changed.notify_all();
    WakeMainThread();
}

void TThread::RemoveQueuedEvents(TThread* thread) {
    auto& q = Syncs();
    std::lock_guard guard(q.lock);
    std::erase_if(q.pending, [thread](const std::shared_ptr<SyncRequest>& r) {
        return r->thread == thread && !r->waited;
    });
}

bool TThread::CheckSynchronize(int timeoutMs) {
    if (!IsMainThread()) return false;
    if (timeoutMs > 0) {
        auto& q = Syncs();
        std::unique_lock guard(q.lock);
        q.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                           [&] { return !q.pending.empty(); });
    }
    return RunPending(nullptr);
}

}  // namespace zr
