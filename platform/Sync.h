// Waitable handles, events, waits and critical sections with the Windows
// shapes (wait results, time-outs, auto and manual reset), built on eventfd
// and poll. Every waitable handle stands on a file descriptor that is
// readable while the handle is signalled, so one wait can mix events with
// descriptors of other kinds (an inotify descriptor, a pipe, a socket).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "LastError.h"

namespace zr::os {

using DWORD = std::uint32_t;
using BOOL = int;
using HANDLE = void*;

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_ABANDONED_0 = 0x00000080;
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// What a handle refers to. Subclass it to make a new kind of waitable object
// and hand it to RegisterHandle.
class TWaitable {
  public:
    virtual ~TWaitable() = default;
    // Readable (POLLIN) while the object may be signalled.
    virtual int PollFd() const = 0;
    // Takes the signal when the object is signalled: an auto-reset event is
    // reset by it, other objects are left as they are. False when the
    // object is not signalled (another waiter may have taken it first).
    virtual bool TryAcquire() = 0;
    // Gives back a signal taken by TryAcquire when a wait for all objects
    // could not take every one of them.
    virtual void Release() {}
};

// Enters `object` in the handle table and returns its handle, which
// CloseHandle releases. Never null.
HANDLE RegisterHandle(std::shared_ptr<TWaitable> object);
// The object behind a handle, or null for a handle that is not (or no
// longer) open. Holding the result keeps the object alive.
std::shared_ptr<TWaitable> HandleObject(HANDLE handle);

// A handle that is signalled while `fd` is readable. With `ownsFd` the
// descriptor is closed with the handle. Waiting never reads from the
// descriptor: whoever owns it drains it to reset the signal.
HANDLE CreateFdHandle(int fd, bool ownsFd);
// The descriptor a handle waits on, or -1 for a handle that is not open.
int HandleFd(HANDLE handle);

// Events. The security attributes are ignored. A named event is shared by
// every caller in this process that creates or opens the same name; a
// second CreateEvent of an existing name returns it with the last error
// ERROR_ALREADY_EXISTS and leaves its state alone.
HANDLE CreateEventA(void* securityAttributes, BOOL manualReset, BOOL initialState,
                    const char* name);
inline HANDLE CreateEvent(void* securityAttributes, BOOL manualReset, BOOL initialState,
                          const char* name) {
    return CreateEventA(securityAttributes, manualReset, initialState, name);
}
constexpr DWORD EVENT_ALL_ACCESS = 0x1F0003;
constexpr DWORD EVENT_MODIFY_STATE = 0x0002;
constexpr DWORD SYNCHRONIZE = 0x00100000;
// Null with ERROR_FILE_NOT_FOUND when no event has that name.
HANDLE OpenEventA(DWORD desiredAccess, BOOL inheritHandle, const char* name);
// How many names the process keeps for its named events. A name is dropped
// once every handle of its event is closed (at the latest when the next new
// name is made), so this is about the number of named events still open.
std::size_t NamedEventCount();
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// False with ERROR_INVALID_HANDLE for a handle that is not open; closing a
// handle twice is therefore harmless.
BOOL CloseHandle(HANDLE handle);

// Waits. A time-out is in milliseconds; INFINITE waits for ever. The result
// is WAIT_OBJECT_0 + i for the signalled slot i (the lowest one when several
// are signalled and `waitAll` is false), WAIT_TIMEOUT, or WAIT_FAILED with the
// last error set (an unopened handle, no handles or more than
// MAXIMUM_WAIT_OBJECTS). With `waitAll` the wait ends when every handle is
// signalled at once, and takes all their signals together; a list that
// holds one object twice (the same handle, or two handles of one named
// event) cannot be, and fails with ERROR_INVALID_PARAMETER.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

// Sleep(0) gives up the rest of the time slice.
void Sleep(DWORD milliseconds);

// Critical sections: recursive locks, as on Windows (the owner may enter
// again and leaves as often as it entered).
struct CRITICAL_SECTION {
    std::recursive_mutex mutex;
};
void InitializeCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
BOOL TryEnterCriticalSection(CRITICAL_SECTION* section);

// The framework's object form of a critical section.
class TCriticalSection {
  public:
    void Enter() { mutex_.lock(); }
    void Leave() { mutex_.unlock(); }
    void Acquire() { Enter(); }
    void Release() { Leave(); }
    bool TryEnter() { return mutex_.try_lock(); }
    // For std::lock_guard and friends.
    void lock() { Enter(); }
    void unlock() { Leave(); }

  private:
    std::recursive_mutex mutex_;
};

}  // namespace zr::os
