#include "framework/ThreadQueue.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "framework/MessageQueue.h"

namespace zr::thread_queue {

namespace {

// A method handed to the main thread. `waited`: its caller blocks until
// `done`.
struct Request {
    const TThread* owner = nullptr;
    std::function<void()> method;
    bool waited = false;
    std::uint64_t number = 0;  // order of arrival
    bool done = false;
    std::exception_ptr error;
};

// Everything below is guarded by `lock`; `changed` is signalled whenever a
// request arrives, completes or stops running, and when owners are dropped.
struct Queue {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::shared_ptr<Request>> pending;
    // The requests the main thread is running, innermost last (a method may
    // run the queue again, through a modal loop or a wait).
    std::vector<std::shared_ptr<Request>> running;
    // Owners being destroyed: their requests are dropped.
    std::vector<const TThread*> dying;
    std::uint64_t arrivals = 0;

    bool Dying(const TThread* owner) const {
        return owner != nullptr && std::find(dying.begin(), dying.end(), owner) != dying.end();
    }
    bool Running(const TThread* owner) const {
        return std::any_of(running.begin(), running.end(),
                           [owner](const auto& r) { return r->owner == owner; });
    }
};

// Never freed: a worker may still hand over methods while static objects go.
Queue& TheQueue() {
    static auto* queue = new Queue;
    return *queue;
}

// Puts `request` in line, or drops it when its owner is being destroyed;
// false when dropped.
bool Enqueue(const std::shared_ptr<Request>& request) {
    auto& q = TheQueue();
    {
        std::lock_guard guard(q.lock);
        if (q.Dying(request->owner)) return false;
        request->number = ++q.arrivals;
        q.pending.push_back(request);
    }
    q.changed.notify_all();
    WakeMainThread();
    return true;
}

// Takes the next request that arrived no later than `last`, or null.
std::shared_ptr<Request> TakeNext(std::uint64_t last) {
    auto& q = TheQueue();
    std::lock_guard guard(q.lock);
    if (q.pending.empty() || q.pending.front()->number > last) return nullptr;
    auto request = std::move(q.pending.front());
    q.pending.pop_front();
    q.running.push_back(request);
    return request;
}

void Run(Request& request) {
    auto& q = TheQueue();
    try {
        request.method();
    } catch (...) {
        std::unique_lock guard(q.lock);
        if (request.waited && !request.done) {
            request.error = std::current_exception();  // raised again in the caller
        } else {
            guard.unlock();
            HandleDispatchException();
        }
    }
    {
        std::lock_guard guard(q.lock);
        request.done = true;
        std::erase_if(q.running, [&](const auto& r) { return r.get() == &request; });
    }
    q.changed.notify_all();
}

}  // namespace

std::exception_ptr RunOnMainThread(const TThread* owner, std::function<void()> method) {
    auto request = std::make_shared<Request>();
    request->owner = owner;
    request->method = std::move(method);
    request->waited = true;
    if (!Enqueue(request)) return nullptr;
    auto& q = TheQueue();
    std::unique_lock guard(q.lock);
    q.changed.wait(guard, [&] { return request->done; });
    // Taken out so that the exception dies on this thread, whichever thread
    // lets go of the request last.
    return std::exchange(request->error, nullptr);
}

void Post(const TThread* owner, std::function<void()> method) {
    auto request = std::make_shared<Request>();
    request->owner = owner;
    request->method = std::move(method);
    Enqueue(request);
}

bool RunWaiting() {
    auto& q = TheQueue();
    std::uint64_t last = 0;
    {
        std::lock_guard guard(q.lock);
        if (q.pending.empty()) return false;
        last = q.pending.back()->number;
    }
    // One at a time, so that what a method drops (RemoveQueuedEvents, or
    // destroying a thread object) is gone before its turn comes.
    while (auto request = TakeNext(last)) Run(*request);
    return true;
}

void AwaitWork(int timeoutMs) {
    auto& q = TheQueue();
    std::unique_lock guard(q.lock);
    q.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                       [&] { return !q.pending.empty(); });
}

void RemovePosted(const TThread* owner) {
    auto& q = TheQueue();
    std::lock_guard guard(q.lock);
    std::erase_if(q.pending, [owner](const auto& r) { return r->owner == owner && !r->waited; });
}

void BeginDestroying(const TThread* owner) {
    if (owner == nullptr) return;
    auto& q = TheQueue();
    {
        std::lock_guard guard(q.lock);
        if (!q.Dying(owner)) q.dying.push_back(owner);
        std::erase_if(q.pending, [owner](const auto& r) {
            if (r->owner != owner) return false;
            r->done = true;  // a waiting caller goes on
            return true;
        });
        if (IsMainThread()) {
            for (auto& r : q.running)
                if (r->owner == owner) r->done = true;
        }
    }
    q.changed.notify_all();
}

void AwaitRunning(const TThread* owner) {
    if (owner == nullptr || IsMainThread()) return;
    auto& q = TheQueue();
    std::unique_lock guard(q.lock);
    q.changed.wait(guard, [&] { return !q.Running(owner); });
}

void EndDestroying(const TThread* owner) {
    if (owner == nullptr) return;
    BeginDestroying(owner);  // whatever arrived meanwhile
    AwaitRunning(owner);
    auto& q = TheQueue();
    std::lock_guard guard(q.lock);
    std::erase(q.dying, owner);
}

}  // namespace zr::thread_queue
