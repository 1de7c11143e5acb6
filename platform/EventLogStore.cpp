#include "platform/EventLogStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

namespace zr::os::eventlog {

struct OpenLog {
    std::mutex mutex;
    privstore::TStoreLocation where;
    std::string logName;
    privstore::TFd fd;
    unsigned forks = 0;  // of the process that opened `fd`
    bool writable = false;
    bool built = false;  // reader and index fit the file as `seen`
    struct stat seen {};
    std::chrono::steady_clock::time_point checked;  // when `seen` was last compared
    FileReader reader;
    LogIndex index;
};

namespace {

constexpr const char* FileSuffix = ".evtlog";
constexpr auto RecheckAfter = std::chrono::milliseconds(1);

std::atomic<long long> lockWaitMs{privstore::DefaultLockWait.count()};

std::chrono::milliseconds LockWait() {
    return std::chrono::milliseconds(lockWaitMs.load());
}

// Log files stay open for the life of the process, as their handles would
// reopen them again and again otherwise.
std::mutex logsMutex;
std::map<std::string, std::unique_ptr<OpenLog>> logs;

// A child of fork shares its parent's open files, and with them their
// locks: a lock one of them takes, the other holds too. So a child opens
// every log file anew, and never unlocks (nor uses) the one it inherited.
std::atomic<unsigned> forks{0};
void CountFork() {
    ++forks;
}
[[maybe_unused]] const bool countingForks = ::pthread_atfork(nullptr, nullptr, &CountFork) == 0;

void DropInherited(OpenLog& log) {
    if (log.fd.Valid() && log.forks != forks.load(std::memory_order_relaxed)) {
        log.fd.Reset();
        log.writable = false;
        log.built = false;
    }
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool Unchanged(const struct stat& a, const struct stat& b) {
    return SameFile(a, b) && a.st_size == b.st_size && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The name of the log's file in `folder`: an existing one whose name matches
// without regard to case, else one spelt as given.
std::string FileNameIn(int folder, const std::string& logName) {
    const std::string wanted = logName + FileSuffix;
    struct stat st;
    if (::fstatat(folder, wanted.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return wanted;
    const int copy = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0) return wanted;
    DIR* dir = ::fdopendir(copy);
    if (!dir) {
        ::close(copy);
        return wanted;
    }
    std::string found = wanted;
    while (const dirent* entry = ::readdir(dir)) {
        if (::strcasecmp(entry->d_name, wanted.c_str()) == 0) {
            found = entry->d_name;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

// Opens the log's file, for writing made first when missing.
DWORD OpenFile(OpenLog& log, bool forWriting) {
    privstore::TFd folder;
    if (DWORD status = privstore::OpenStore(log.where, forWriting, folder); status != ERROR_SUCCESS)
        return status;
    const std::string name = FileNameIn(folder.Get(), log.logName);
    privstore::TFd file;
    struct stat st {};
    if (DWORD status = privstore::OpenStoreFile(
            folder.Get(), name.c_str(), forWriting ? O_RDWR | O_CREAT : O_RDONLY, file, &st);
        status != ERROR_SUCCESS)
        return status;
    // The same file opened again for writing keeps what was read of it.
    const bool keep = log.built && SameFile(st, log.seen);
    log.fd = std::move(file);
    log.forks = forks.load(std::memory_order_relaxed);
    log.writable = forWriting;
    log.built = keep;
    log.reader.Reset(log.fd.Get(), keep ? log.seen.st_size : 0);
    return ERROR_SUCCESS;
}

// Opens the file when this process has none open (or only for reading when
// it is to write); `st` receives its status. A file that was removed or
// replaced since it was opened (the store never does that; a person may) is
// opened again.
DWORD EnsureOpen(OpenLog& log, bool forWriting, struct stat& st) {
    DropInherited(log);
    if (log.fd.Valid() && (log.writable || !forWriting)) {
        if (::fstat(log.fd.Get(), &st) != 0) return privstore::LastStoreError();
        if (st.st_nlink > 0) return ERROR_SUCCESS;
        log.built = false;
    }
    if (DWORD status = OpenFile(log, forWriting); status != ERROR_SUCCESS) return status;
    return ::fstat(log.fd.Get(), &st) == 0 ? ERROR_SUCCESS : privstore::LastStoreError();
}

// Takes the file lock `how` and the file's status under it; on failure the
// lock is let go again.
DWORD LockAndStat(int fd, int how, struct stat& st, std::chrono::milliseconds wait = LockWait()) {
    if (DWORD status = privstore::LockFile(fd, how, wait); status != ERROR_SUCCESS) return status;
    if (::fstat(fd, &st) == 0) return ERROR_SUCCESS;
    const DWORD error = privstore::LastStoreError();
    ::flock(fd, LOCK_UN);
    return error;
}

// Brings reader and index up to the file as it is now (`st`, just taken);
// `locked` when the caller holds a file lock already, else a shared one is
// taken to read what changed.
DWORD Refresh(OpenLog& log, bool locked, struct stat st,
              std::chrono::milliseconds wait = LockWait()) {
    if (log.built && Unchanged(st, log.seen)) return ERROR_SUCCESS;
    if (!locked)
        if (DWORD status = LockAndStat(log.fd.Get(), LOCK_SH, st, wait); status != ERROR_SUCCESS)
            return status;
    // What is cached may have changed with the change time; records that
    // were whole stay whole only when the file grew (checked by Extend).
    const bool grew = log.built && SameFile(st, log.seen) && st.st_size >= log.seen.st_size;
    log.reader.Reset(log.fd.Get(), st.st_size);
    if (!grew || !log.index.Extend(log.reader)) log.index.Build(log.reader);
    log.seen = st;
    log.built = true;
    if (!locked) ::flock(log.fd.Get(), LOCK_UN);
    return ERROR_SUCCESS;
}

// Releases a file lock when it goes.
struct FileLock {
    int fd;
    ~FileLock() { ::flock(fd, LOCK_UN); }
};

bool WriteAt(int fd, const std::vector<std::uint8_t>& bytes, off_t at) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n =
            ::pwrite(fd, bytes.data() + done, bytes.size() - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

DWORD LocateEventLogStore(privstore::TStoreLocation& where) {
    return privstore::LocateStore("ZORIRIVE_EVENTLOG", "eventlog", where);
}

void SetLockWait(std::chrono::milliseconds wait) {
    lockWaitMs = wait.count();
}

void HoldForFork() {
    logsMutex.lock();
    for (auto& [name, log] : logs) log->mutex.lock();
}

void ReleaseAfterFork() {
    for (auto& [name, log] : logs) log->mutex.unlock();
    logsMutex.unlock();
}

OpenLog& OpenLogOf(const privstore::TStoreLocation& where, const std::string& logName) {
    std::string key = where.Path() + '\0';
    for (char c : logName) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::lock_guard lock(logsMutex);
    auto& entry = logs[key];
    if (!entry) {
        entry = std::make_unique<OpenLog>();
        entry->where = where;
        entry->logName = logName;
    }
    return *entry;
}

DWORD AppendRecord(OpenLog& log, RecordFields& fields) {
    std::lock_guard guard(log.mutex);
    DropInherited(log);
    if (!log.fd.Valid() || !log.writable)
        if (DWORD status = OpenFile(log, true); status != ERROR_SUCCESS) return status;
    struct stat st {};
    // What the file holds is read before the write lock is taken, under the
    // shared one readers take: however long a damaged file takes to read,
    // other writers do not wait for it. Under the write lock only what was
    // appended since is read. Both waits share one bound.
    const auto deadline = std::chrono::steady_clock::now() + LockWait();
    auto left = [&] {
        return std::max(std::chrono::milliseconds(0),
                        std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now()));
    };
    if (::fstat(log.fd.Get(), &st) == 0 && st.st_nlink > 0) (void)Refresh(log, false, st, left());
    // The file as it is now that no other writer can change it; one removed
    // or replaced since this process opened it is opened again.
    if (DWORD status = LockAndStat(log.fd.Get(), LOCK_EX, st, left()); status != ERROR_SUCCESS)
        return status;
    if (st.st_nlink == 0) {
        ::flock(log.fd.Get(), LOCK_UN);
        if (DWORD status = EnsureOpen(log, true, st); status != ERROR_SUCCESS) return status;
        if (DWORD status = LockAndStat(log.fd.Get(), LOCK_EX, st); status != ERROR_SUCCESS)
            return status;
    }
    const int fd = log.fd.Get();
    FileLock unlock{fd};
    if (DWORD status = Refresh(log, true, st); status != ERROR_SUCCESS) return status;

    const Tail tail = ExamineTail(log.reader, log.index.ValidEnd());
    fields.number = log.index.Newest() + 1 + tail.damagedRecords;
    const std::vector<std::uint8_t> record = ComposeRecord(fields);
    if (record.empty()) return ERROR_INVALID_PARAMETER;
    const off_t at = tail.cutAt;
    if ((at < log.reader.Size() && ::ftruncate(fd, at) != 0) || !WriteAt(fd, record, at)) {
        const DWORD error = privstore::LastStoreError();
        // Part of a record would be cut off by the next writer anyway; it
        // goes now so that the file holds no more than whole records.
        (void)::ftruncate(fd, std::min(at, log.reader.Size()));
        log.built = false;
        return error;
    }
    log.index.Appended({fields.number, at, static_cast<DWORD>(record.size())});
    const off_t end = at + static_cast<off_t>(record.size());
    log.built = ::fstat(fd, &st) == 0 && st.st_size == end;
    log.seen = st;
    log.reader.Appended(at, end);
    return ERROR_SUCCESS;
}

LogAccess::LogAccess(OpenLog& log, DWORD knownRecord) : log_(log) {
    log_.mutex.lock();
    error_ = ERROR_SUCCESS;
    const auto now = std::chrono::steady_clock::now();
    DropInherited(log_);
    if (knownRecord != 0 && log_.built && log_.fd.Valid() && !log_.index.Empty() &&
        knownRecord >= log_.index.Oldest() && knownRecord <= log_.index.Newest() &&
        now - log_.checked < RecheckAfter)
        return;
    log_.checked = now;
    struct stat st {};
    error_ = EnsureOpen(log_, false, st);
    if (error_ == ERROR_FILE_NOT_FOUND || error_ == ERROR_PATH_NOT_FOUND) {
        // No file yet: an empty log.
        log_.fd.Reset();
        log_.built = false;
        log_.reader.Reset(-1, 0);
        log_.index.Build(log_.reader);
        error_ = ERROR_SUCCESS;
        return;
    }
    if (error_ == ERROR_SUCCESS) error_ = Refresh(log_, false, st);
}

LogAccess::~LogAccess() {
    log_.mutex.unlock();
}

FileReader& LogAccess::Reader() {
    return log_.reader;
}

LogIndex& LogAccess::Index() {
    return log_.index;
}

DWORD LogAccess::Rebuild() {
    if (!log_.fd.Valid()) return ERROR_SUCCESS;
    log_.built = false;
    struct stat st {};
    if (::fstat(log_.fd.Get(), &st) != 0) return privstore::LastStoreError();
    return Refresh(log_, false, st);
}

}  // namespace zr::os::eventlog
