#include "platform/Sync.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace zr::os {

namespace {

// An event is an eventfd whose counter is non-zero while the event is set.
// Setting writes 1 (a second set leaves it readable, as on Windows); resetting
// and an auto-reset wait read the counter back to zero.
class TEvent : public TWaitable {
  public:
    TEvent(bool manualReset, bool initialState)
        : fd_(eventfd(initialState ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC)),
          manualReset_(manualReset) {}
    ~TEvent() override {
        if (fd_ >= 0) close(fd_);
    }
    bool Valid() const { return fd_ >= 0; }
    int PollFd() const override { return fd_; }

    bool TryAcquire() override { return manualReset_ ? IsReadable() : Drain(); }
    void Release() override {
        if (!manualReset_) Set();
    }
    bool Set() {
        const std::uint64_t one = 1;
        return write(fd_, &one, sizeof one) == sizeof one || errno == EAGAIN;
    }
    bool Reset() {
        Drain();
        return true;
    }

  private:
    bool Drain() {
        std::uint64_t value = 0;
        return read(fd_, &value, sizeof value) == sizeof value;
    }
    bool IsReadable() const {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
    }

    int fd_;
    bool manualReset_;
};

// Any descriptor: signalled while readable. Its owner resets it by reading.
class TFdWaitable : public TWaitable {
  public:
    TFdWaitable(int fd, bool ownsFd) : fd_(fd), ownsFd_(ownsFd) {}
    ~TFdWaitable() override {
        if (ownsFd_ && fd_ >= 0) close(fd_);
    }
    int PollFd() const override { return fd_; }
    bool TryAcquire() override {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR));
    }

  private:
    int fd_;
    bool ownsFd_;
};

// Handles are keys into one table, so a stale or doubly closed handle is
// refused instead of touching freed memory, and a wait keeps its objects
// alive even when another thread closes their handles meanwhile.
// Every handle is a fresh number, never reused, so each opening of a named
// event has its own handle and a stale handle stays invalid.
struct HandleTable {
    std::mutex lock;
    std::unordered_map<HANDLE, std::shared_ptr<TWaitable>> objects;
    std::map<std::string, std::weak_ptr<TEvent>> namedEvents;
    std::uintptr_t nextHandle = 0x1000;

    HANDLE Add(std::shared_ptr<TWaitable> object) {  // lock held
        HANDLE handle = reinterpret_cast<HANDLE>(nextHandle);
        nextHandle += 4;
        objects[handle] = std::move(object);
        return handle;
    }
};

HandleTable& Table() {
    static auto* table = new HandleTable;  // outlives every static destructor
    return *table;
}

std::shared_ptr<TEvent> EventOf(HANDLE handle) {
    auto event = std::dynamic_pointer_cast<TEvent>(HandleObject(handle));
    if (!event) SetLastError(ERROR_INVALID_HANDLE);
    return event;
}

using Clock = std::chrono::steady_clock;

// Milliseconds left before `deadline` for poll: -1 for ever, 0 when past.
int RemainingMs(bool infinite, Clock::time_point deadline) {
    if (infinite) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, 0x7FFFFFFF)) : 0;
}

bool Lookup(DWORD count, const HANDLE* handles, std::vector<std::shared_ptr<TWaitable>>& out) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    out.clear();
    for (DWORD i = 0; i < count; ++i) {
        auto object = HandleObject(handles[i]);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        out.push_back(std::move(object));
    }
    return true;
}

// A wait for all that names one object twice (the same handle, or two
// handles of one named event) could never take both signals at once: the
// host refuses it, and so do we, instead of waiting for ever.
bool HasDuplicate(const std::vector<std::shared_ptr<TWaitable>>& objects) {
    for (std::size_t i = 0; i < objects.size(); ++i)
        for (std::size_t j = i + 1; j < objects.size(); ++j)
            if (objects[i] == objects[j]) return true;
    return false;
}

// Sleeps in poll until one of `objects` may be signalled or time runs out;
// false when poll failed or a descriptor is no longer open (its owner closed
// it under the handle), which would otherwise wake poll for ever.
bool PollAny(const std::vector<TWaitable*>& objects, int timeoutMs) {
    std::vector<pollfd> fds;
    fds.reserve(objects.size());
    for (auto* object : objects) fds.push_back({object->PollFd(), POLLIN, 0});
    int rc = poll(fds.data(), fds.size(), timeoutMs);
    if (rc < 0 && errno != EINTR) {
        SetLastError(ErrorFromErrno(errno));
        return false;
    }
    for (auto& fd : fds) {
        if (fd.revents & POLLNVAL) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
    }
    return true;
}

DWORD WaitAny(const std::vector<std::shared_ptr<TWaitable>>& objects, bool infinite,
              Clock::time_point deadline) {
    std::vector<TWaitable*> all;
    for (auto& object : objects) all.push_back(object.get());
    for (;;) {
        // The lowest signalled slot wins, whatever order the signals came in.
        for (std::size_t i = 0; i < all.size(); ++i)
            if (all[i]->TryAcquire()) return WAIT_OBJECT_0 + static_cast<DWORD>(i);
        int left = RemainingMs(infinite, deadline);
        if (left == 0) return WAIT_TIMEOUT;
        if (!PollAny(all, left)) return WAIT_FAILED;
    }
}

// Takes every signal at once, or none: signals already taken are given
// back when a later object turns out to be unsignalled.
bool AcquireAll(const std::vector<TWaitable*>& objects) {
    static std::mutex allLock;  // two all-waiters must not each take half
    std::lock_guard guard(allLock);
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (objects[i]->TryAcquire()) continue;
        while (i-- > 0) objects[i]->Release();
        return false;
    }
    return true;
}

DWORD WaitAll(const std::vector<std::shared_ptr<TWaitable>>& objects, bool infinite,
              Clock::time_point deadline) {
    std::vector<TWaitable*> all;
    for (auto& object : objects) all.push_back(object.get());
    for (;;) {
        // Poll only the objects not yet signalled: the signalled ones would
        // wake poll at once, every time.
        std::vector<TWaitable*> pending;
        for (auto* object : all) {
            pollfd p{object->PollFd(), POLLIN, 0};
            if (poll(&p, 1, 0) <= 0) {
                pending.push_back(object);
            } else if (p.revents & POLLNVAL) {
                SetLastError(ERROR_INVALID_HANDLE);
                return WAIT_FAILED;
            }
        }
        if (pending.empty() && AcquireAll(all)) return WAIT_OBJECT_0;
        int left = RemainingMs(infinite, deadline);
        if (left == 0) return WAIT_TIMEOUT;
        // All signalled but taken from under us: look again shortly.
        if (pending.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (!PollAny(pending, left)) return WAIT_FAILED;
    }
}

}  // namespace

HANDLE RegisterHandle(std::shared_ptr<TWaitable> object) {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    return table.Add(std::move(object));
}

std::shared_ptr<TWaitable> HandleObject(HANDLE handle) {
    if (handle == nullptr) return nullptr;
    auto& table = Table();
    std::lock_guard guard(table.lock);
    auto it = table.objects.find(handle);
    return it == table.objects.end() ? nullptr : it->second;
}

HANDLE CreateFdHandle(int fd, bool ownsFd) {
    if (fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return RegisterHandle(std::make_shared<TFdWaitable>(fd, ownsFd));
}

int HandleFd(HANDLE handle) {
    auto object = HandleObject(handle);
    return object ? object->PollFd() : -1;
}

HANDLE CreateEventA(void*, BOOL manualReset, BOOL initialState, const char* name) {
    auto& table = Table();
    const std::string key = name ? name : "";
    // Looked up and entered under one lock: two threads creating the same
    // name at once must end up holding the same event.
    std::unique_lock guard(table.lock, std::defer_lock);
    if (!key.empty()) {
        guard.lock();
        auto found = table.namedEvents.find(key);
        if (found != table.namedEvents.end()) {
            if (auto existing = found->second.lock()) {
                SetLastError(ERROR_ALREADY_EXISTS);
                return table.Add(std::move(existing));
            }
        }
    }
    auto event = std::make_shared<TEvent>(manualReset != FALSE, initialState != FALSE);
    if (!event->Valid()) {
        SetLastError(ErrorFromErrno(errno));
        return nullptr;
    }
    if (!key.empty()) {
        // A name lives as long as a handle to its event: the names of events
        // closed since go now, so a program making fresh names keeps no more
        // of them than it has open.
        std::erase_if(table.namedEvents, [](const auto& entry) { return entry.second.expired(); });
        table.namedEvents[key] = event;
    } else {
        guard.lock();
    }
    SetLastError(ERROR_SUCCESS);
    return table.Add(std::move(event));
}

std::size_t NamedEventCount() {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    return table.namedEvents.size();
}

HANDLE OpenEventA(DWORD, BOOL, const char* name) {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    auto it = table.namedEvents.find(name ? name : "");
    auto event = it == table.namedEvents.end() ? nullptr : it->second.lock();
    if (!event) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return table.Add(std::move(event));
}

BOOL SetEvent(HANDLE handle) {
    auto event = EventOf(handle);
    return event && event->Set() ? TRUE : FALSE;
}

BOOL ResetEvent(HANDLE handle) {
    auto event = EventOf(handle);
    return event && event->Reset() ? TRUE : FALSE;
}

BOOL CloseHandle(HANDLE handle) {
    std::shared_ptr<TWaitable> doomed;  // destroyed outside the lock
    auto& table = Table();
    std::lock_guard guard(table.lock);
    auto it = table.objects.find(handle);
    if (it == table.objects.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    doomed = std::move(it->second);
    table.objects.erase(it);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    std::vector<std::shared_ptr<TWaitable>> objects;
    if (!Lookup(count, handles, objects)) return WAIT_FAILED;
    if (waitAll && HasDuplicate(objects)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    const bool infinite = milliseconds == INFINITE;
    const auto deadline = Clock::now() + std::chrono::milliseconds(infinite ? 0 : milliseconds);
    return waitAll ? WaitAll(objects, infinite, deadline) : WaitAny(objects, infinite, deadline);
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;) pause();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void InitializeCriticalSection(CRITICAL_SECTION*) {}
void DeleteCriticalSection(CRITICAL_SECTION*) {}
void EnterCriticalSection(CRITICAL_SECTION* section) {
    section->mutex.lock();
}
void LeaveCriticalSection(CRITICAL_SECTION* section) {
    section->mutex.unlock();
}
BOOL TryEnterCriticalSection(CRITICAL_SECTION* section) {
    return section->mutex.try_lock() ? TRUE : FALSE;
}

}  // namespace zr::os
