// The main thread's message queue and the windows that receive its messages.
// Any thread may post or send to a window; every window procedure runs on the
// main thread, which is the thread that loaded the run-time library.
#pragma once

#include <functional>
#include <thread>

#include "Event.h"
#include "Messages.h"
#include "../platform/Sync.h"

namespace zr {

// A window procedure: a method that handles one message and sets its Result.
using TWndMethod = TClosure<TMessage&>;

std::thread::id MainThreadID();
bool IsMainThread();

// A hidden window whose messages go to `method`. Callable from any thread;
// DeallocateHWnd drops the messages still queued for the window, and a
// message for a window that is gone is ignored (PostMessage and SendMessage
// report it as an invalid handle).
HWND AllocateHWnd(const TWndMethod& method);
void DeallocateHWnd(HWND window);
bool IsWindow(HWND window);

// Queues a message for `window` and returns at once; false (last error
// ERROR_INVALID_HANDLE) when the window does not exist. Messages posted by
// one thread are taken from the queue in the order they were posted.
bool PostMessage(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
// Runs the window procedure and returns its Result. On the main thread it
// calls the procedure directly; from another thread it waits until the main
// thread has run it (the main thread runs sent messages whenever it looks at
// its queue). 0 when the window does not exist, or when the queue is shut
// down before the message could run.
LRESULT SendMessage(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
// Queues WM_QUIT (wParam = exitCode) for the main thread.
void PostQuitMessage(int exitCode);

constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;

// Main thread only. Looks at the queue after running any messages sent by
// other threads; true with `msg` filled when a posted message is there.
// `filter` null matches every window; min = max = 0 matches every message.
bool PeekMessage(TMsg& msg, HWND filter, UINT min, UINT max, UINT removeMsg);
// Waits until a posted message is there and takes it; false for WM_QUIT.
bool GetMessage(TMsg& msg, HWND filter, UINT min, UINT max);
// Waits until something arrives for the main thread: a posted or sent
// message, or a wake-up (WakeMainThread). Returns at once if there is one.
void WaitMessage();
// Waits as WaitMessage but at most `milliseconds`; true when woken.
bool WaitMessageTimeout(os::DWORD milliseconds);
// Calls the window procedure of msg.hwnd with the message and returns its
// Result; 0 for a window that is gone. Exceptions travel to the caller.
LRESULT DispatchMessage(const TMsg& msg);

// Main thread only: runs the messages that other threads are waiting on in
// SendMessage; true when it ran any. An exception escaping one goes to the
// dispatch exception handler, and the sender gets 0.
bool ProcessSentMessages();

// Wakes the main thread from WaitMessage (and from waits that include
// MainThreadWakeEvent) so that it looks at its queues again.
void WakeMainThread();
// An auto-reset event signalled whenever the main thread has something to
// look at; main-thread waits that must keep serving the queue include it.
os::HANDLE MainThreadWakeEvent();

// Called inside a catch block when an exception escapes code that the main
// thread ran on another thread's behalf (a sent message, a queued method).
// The application installs HandleException here; without a handler the
// exception is described on standard error. Returns the previous handler.
using TDispatchExceptionHandler = std::function<void()>;
TDispatchExceptionHandler SetDispatchExceptionHandler(TDispatchExceptionHandler handler);
// Runs the installed handler for the exception being caught.
void HandleDispatchException();

// Ends the queue: windows are gone, waiting senders are released with 0.
// Run when the library unloads; tests may call it at the very end.
void ShutdownMessageQueue();

}  // namespace zr
