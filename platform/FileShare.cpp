#include "platform/FileShare.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace zr::os {

namespace {

// Marker byte order, chosen so that the common modes form contiguous runs.
enum Marker { kRead = 0, kWrite = 1, kDenyWrite = 2, kDenyRead = 3, kMarkerCount = 4 };

// One mutex for the whole process: serialises take-and-test so that two
// streams of this process never refuse each other in a race. Never destroyed,
// so streams closed or opened by other static destructors still find it.
std::mutex& OpenersMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

struct flock MarkerRange(short type, int first, int count) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = kShareMarkerBase + first;
    lock.l_len = count;
    lock.l_pid = 0;  // required to be 0 for open-file-description locks
    return lock;
}

int RetryingFcntl(int fd, int command, struct flock* lock) {
    int rc;
    do {
        rc = ::fcntl(fd, command, lock);
    } while (rc == -1 && errno == EINTR);
    return rc == -1 ? errno : 0;
}

// Calls `apply(first, count)` for every run of consecutive set markers and
// stops at the first non-zero result.
template <class F>
int ForEachRun(const bool (&markers)[kMarkerCount], F apply) {
    for (int i = 0; i < kMarkerCount;) {
        if (!markers[i]) {
            ++i;
            continue;
        }
        int end = i;
        while (end < kMarkerCount && markers[end]) ++end;
        if (int rc = apply(i, end - i)) return rc;
        i = end;
    }
    return 0;
}

bool LocksUnsupported(int error) {
    return error == ENOLCK || error == EOPNOTSUPP || error == EINVAL;
}

bool CanTakeSharedLocks(int fd, const ShareRequest& request) {
    if (request.read) return true;  // spares a system call on every open that reads
    int flags = ::fcntl(fd, F_GETFL);
    return flags != -1 && (flags & O_ACCMODE) != O_WRONLY;
}

}  // namespace

const char* const kSharingViolationText =
    "The process cannot access the file because it is being used by another process.";

bool ShareRequestFromMode(std::uint16_t mode, ShareRequest& request) {
    request = {};
    switch (mode & 0x0F) {
        case 0:
            request.read = true;
            break;
        case 1:
            request.write = true;
            break;
        case 2:
            request.read = request.write = true;
            break;
        default:
            return false;
    }
    switch (mode & 0xF0) {
        case 0x00:  // compatibility behaves as exclusive
        case 0x10:
            request.denyRead = request.denyWrite = true;
            break;
        case 0x20:
            request.denyWrite = true;
            break;
        case 0x30:
            request.denyRead = true;
            break;
        case 0x40:
            break;
        default:
            return false;
    }
    return (mode & 0xFF00) == 0;
}

int AcquireShare(int fd, const ShareRequest& request) {
    const bool own[kMarkerCount] = {request.read, request.write, request.denyWrite,
                                    request.denyRead};
    const bool conflicting[kMarkerCount] = {request.denyRead, request.denyWrite, request.write,
                                            request.read};

    std::lock_guard guard(OpenersMutex());
    if (CanTakeSharedLocks(fd, request)) {
        int rc = ForEachRun(own, [fd](int first, int count) {
            struct flock lock = MarkerRange(F_RDLCK, first, count);
            return RetryingFcntl(fd, F_OFD_SETLK, &lock);
        });
        if (rc != 0) return LocksUnsupported(rc) ? 0 : rc;
    }
    return ForEachRun(conflicting, [fd](int first, int count) {
        struct flock probe = MarkerRange(F_WRLCK, first, count);
        int rc = RetryingFcntl(fd, F_OFD_GETLK, &probe);
        if (rc != 0) return LocksUnsupported(rc) ? 0 : rc;
        return probe.l_type == F_UNLCK ? 0 : EBUSY;
    });
}

bool FileOpenWithShare(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd == -1) return false;
    struct flock probe = MarkerRange(F_WRLCK, 0, kMarkerCount);
    bool held = RetryingFcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

}  // namespace zr::os
