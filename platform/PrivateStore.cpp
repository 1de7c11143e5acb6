#include "platform/PrivateStore.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace zr::os::privstore {

namespace {

bool IsAbsolute(const char* path) {
    return path && path[0] == '/';
}

// Makes `path` and any missing folder above it, as the user would with
// mkdir -p; new folders are the owner's alone.
DWORD MakeBase(const std::string& path) {
    for (std::size_t slash = 1; slash != std::string::npos;) {
        slash = path.find('/', slash + 1);
        std::string part = path.substr(0, slash);
        if (part.empty() || part.back() == '/') continue;
        if (::mkdir(part.c_str(), FolderMode) != 0 && errno != EEXIST) return LastStoreError();
    }
    return ERROR_SUCCESS;
}

// The store's own folder is the owner's alone even when an older version of
// the store made it readable by all: everything below it is then out of
// other users' reach.
DWORD KeepPrivate(int folder) {
    struct stat st {};
    if (::fstat(folder, &st) != 0) return LastStoreError();
    if ((st.st_mode & 0777) != FolderMode && st.st_uid == ::geteuid()) ::fchmod(folder, FolderMode);
    return ERROR_SUCCESS;
}

}  // namespace

TFd& TFd::operator=(TFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
}

int TFd::Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void TFd::Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

DWORD LastStoreError() {
    switch (errno) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
        case ELOOP:  // a link where a folder or file of the store belongs
        case ENXIO:  // a FIFO no one reads
            return ERROR_ACCESS_DENIED;
        case ENAMETOOLONG:
            return ERROR_BAD_PATHNAME;
        case EWOULDBLOCK:
            return ERROR_LOCK_VIOLATION;
        default:
            return ErrorFromErrno(errno);
    }
}

DWORD HomeFolder(std::string& home) {
    home.clear();
    if (const char* variable = std::getenv("HOME"); IsAbsolute(variable)) {
        home = variable;
        return ERROR_SUCCESS;
    }
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    while (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (!found || !IsAbsolute(found->pw_dir)) return ERROR_PATH_NOT_FOUND;
    home = found->pw_dir;
    return ERROR_SUCCESS;
}

DWORD LocateStore(const char* variable, std::string_view name, TStoreLocation& where) {
    where = {};
    if (const char* chosen = variable ? std::getenv(variable) : nullptr; chosen && *chosen) {
        where.Base = chosen;
        return ERROR_SUCCESS;
    }
    where.Inside = "zoririve/" + std::string(name);
    if (const char* state = std::getenv("XDG_STATE_HOME"); IsAbsolute(state)) {
        where.Base = state;
        return ERROR_SUCCESS;
    }
    std::string home;
    if (DWORD status = HomeFolder(home); status != ERROR_SUCCESS) return status;
    where.Base = home + "/.local/state";
    return ERROR_SUCCESS;
}

DWORD OpenStore(const TStoreLocation& where, bool create, TFd& folder) {
    if (where.Base.empty()) return ERROR_PATH_NOT_FOUND;
    TFd base(::open(where.Base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!base.Valid() && errno == ENOENT && create) {
        if (DWORD status = MakeBase(where.Base); status != ERROR_SUCCESS) return status;
        base.Reset(::open(where.Base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    if (!base.Valid()) return LastStoreError();
    if (DWORD status = OpenFolderPath(base.Get(), where.Inside, create, folder);
        status != ERROR_SUCCESS)
        return status;
    // A folder the user named is left as the user set it up.
    return create && !where.Inside.empty() ? KeepPrivate(folder.Get()) : ERROR_SUCCESS;
}

DWORD OpenFolderAt(int parent, std::string_view name, bool create, TFd& folder, bool* created) {
    bool made = false;
    if (!created) created = &made;
    *created = false;
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos)
        return ERROR_BAD_PATHNAME;
    std::string part(name);
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    folder.Reset(::openat(parent, part.c_str(), flags));
    if (folder.Valid()) return ERROR_SUCCESS;
    if (errno != ENOENT || !create) return LastStoreError();
    if (::mkdirat(parent, part.c_str(), FolderMode) == 0) {
        *created = true;
    } else if (errno != EEXIST) {
        return LastStoreError();
    }
    folder.Reset(::openat(parent, part.c_str(), flags));
    if (!folder.Valid()) return LastStoreError();
    // mkdir's mode passed through the umask.
    if (*created) ::fchmod(folder.Get(), FolderMode);
    return ERROR_SUCCESS;
}

DWORD OpenFolderPath(int parent, std::string_view relative, bool create, TFd& folder) {
    folder.Reset();
    TFd current(::openat(parent, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!current.Valid()) return LastStoreError();
    while (!relative.empty()) {
        std::size_t slash = relative.find('/');
        std::string_view part = relative.substr(0, slash);
        relative.remove_prefix(slash == std::string_view::npos ? relative.size() : slash + 1);
        if (part.empty()) continue;
        TFd next;
        if (DWORD status = OpenFolderAt(current.Get(), part, create, next); status != ERROR_SUCCESS)
            return status;
        current = std::move(next);
    }
    folder = std::move(current);
    return ERROR_SUCCESS;
}

DWORD OpenStoreFile(int folder, const char* name, int flags, TFd& file, struct stat* st) {
    // O_NONBLOCK keeps a FIFO from stopping the open; it is refused below.
    file.Reset(
        ::openat(folder, name, flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, FileMode));
    if (!file.Valid()) return LastStoreError();
    struct stat status {};
    if (::fstat(file.Get(), &status) != 0) return LastStoreError();
    if (!S_ISREG(status.st_mode)) {
        file.Reset();
        return ERROR_ACCESS_DENIED;
    }
    // A file this call made: its mode passed through the umask.
    if ((flags & O_CREAT) && (flags & O_EXCL) && (status.st_mode & 0777) != FileMode &&
        ::fchmod(file.Get(), FileMode) == 0)
        status.st_mode = (status.st_mode & ~mode_t{0777}) | FileMode;
    if (st) *st = status;
    return ERROR_SUCCESS;
}

DWORD ReadStoreFile(int file, std::size_t limit, std::string& text) {
    text.clear();
    struct stat st {};
    if (::fstat(file, &st) != 0) return LastStoreError();
    if (!S_ISREG(st.st_mode)) return ERROR_ACCESS_DENIED;
    if (st.st_size < 0 || static_cast<std::size_t>(st.st_size) > limit)
        return ERROR_NOT_ENOUGH_MEMORY;
    // The file as it was when its size was taken: stores replace their files
    // whole or only append, so what is read is never more than that.
    text.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::pread(file, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return LastStoreError();
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    text.resize(done);
    return ERROR_SUCCESS;
}

DWORD LockFile(int fd, int operation, std::chrono::milliseconds wait) {
    auto deadline = std::chrono::steady_clock::now() + wait;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (::flock(fd, operation | LOCK_NB) == 0) return ERROR_SUCCESS;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return LastStoreError();
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return ERROR_LOCK_VIOLATION;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(10));
    }
}

namespace {

// A wait on a lock that a thread of its own does on a duplicate descriptor.
struct TLockWait {
    std::mutex Guard;
    std::condition_variable Done;
    bool Finished = false;
    bool GivenUp = false;  // the caller's wait ran out
    int Error = 0;         // errno of the flock; 0 when the lock was taken
};

// Waiting threads still blocked after their caller gave up, e.g. on a lock a
// stuck process holds for ever. Past this many, waits fall back to trying
// again and again rather than leave more threads behind.
constexpr int MaxBlockedWaits = 8;
std::atomic<int> blockedWaits{0};

}  // namespace

DWORD LockFileWaiting(int fd, int operation, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (::flock(fd, operation | LOCK_NB) == 0) return ERROR_SUCCESS;
        if (errno != EINTR) break;
    }
    if (errno != EWOULDBLOCK) return LastStoreError();
    if (wait.count() <= 0) return ERROR_LOCK_VIOLATION;
    if (blockedWaits.fetch_add(1) >= MaxBlockedWaits) {
        --blockedWaits;
        return LockFile(fd, operation, wait);
    }
    TFd duplicate(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!duplicate.Valid()) {
        --blockedWaits;
        return LastStoreError();
    }
    auto state = std::make_shared<TLockWait>();
    try {
        std::thread([state, operation, held = std::move(duplicate)]() mutable {
            int result;
            do {
                result = ::flock(held.Get(), operation);
            } while (result != 0 && errno == EINTR);
            const int error = result == 0 ? 0 : errno;
            {
                std::lock_guard hold(state->Guard);
                // The caller's descriptor holds the lock now; a caller that
                // gave up never learns of it, so it is let go here (closing
                // alone would leave it with a copy a fork made).
                if (result == 0 && state->GivenUp) ::flock(held.Get(), LOCK_UN);
                held.Reset();
                state->Finished = true;
                state->Error = error;
            }
            state->Done.notify_one();
            --blockedWaits;
        }).detach();
    } catch (const std::system_error&) {
        --blockedWaits;
        return LockFile(fd, operation,
                        std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now()));
    }
    std::unique_lock hold(state->Guard);
    if (!state->Done.wait_until(hold, deadline, [&] { return state->Finished; })) {
        state->GivenUp = true;
        return ERROR_LOCK_VIOLATION;
    }
    if (state->Error == 0) return ERROR_SUCCESS;
    errno = state->Error;
    return LastStoreError();
}

}  // namespace zr::os::privstore
