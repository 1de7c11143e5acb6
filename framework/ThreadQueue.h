// The main thread's queue of methods that other threads hand over (what
// TThread::Synchronize and TThread::Queue stand on). Each method belongs to
// an owner, the thread object it was handed over for (or none), so that the
// methods of an owner that dies can be dropped: a method of a destroyed
// thread object must never run, even one the main thread has already begun
// to work through.
#pragma once

#include <exception>
#include <functional>

namespace zr {

class TThread;

namespace thread_queue {

// Hands `method` to the main thread and waits until it ran there; gives the
// exception that escaped it (or null). Returns without running it when the
// owner is being destroyed, or becomes so meanwhile.
std::exception_ptr RunOnMainThread(const TThread* owner, std::function<void()> method);
// Hands `method` to the main thread and returns at once; an exception
// escaping it goes to the dispatch exception handler. Dropped when the owner
// is being destroyed.
void Post(const TThread* owner, std::function<void()> method);

// Main thread: runs the methods handed over before the call, one at a time
// and in order; true when it took any. Methods handed over while it runs
// wait for the next call, so a method that hands over another cannot keep
// the main thread here for ever.
bool RunWaiting();
// Main thread: waits up to `timeoutMs` for a method to be handed over.
void AwaitWork(int timeoutMs);

// Drops the posted methods of `owner` that have not begun to run; the
// methods other threads wait for are left alone.
void RemovePosted(const TThread* owner);

// The owner is about to be destroyed (idempotent): its methods that have not
// begun are dropped, threads waiting for one of them go on, and methods
// handed over from now on are dropped at once. On the main thread it also
// releases the waiters of methods of the owner that the main thread itself
// is running: the owner is being destroyed from inside one of them, and its
// thread must be able to end.
void BeginDestroying(const TThread* owner);
// Off the main thread: waits until no method of `owner` runs on the main
// thread. Does nothing on the main thread (what runs there is on its stack).
void AwaitRunning(const TThread* owner);
// The owner is gone: waits as AwaitRunning, then forgets it, so that a new
// object at the same address starts afresh.
void EndDestroying(const TThread* owner);

}  // namespace thread_queue
}  // namespace zr
