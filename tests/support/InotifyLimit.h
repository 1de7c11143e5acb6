// A stand-in for inotify_add_watch that runs out of watches after a given
// number, as a system does at its fs.inotify.max_user_watches.
#pragma once

#include <sys/inotify.h>

#include <cerrno>
#include <cstdint>

namespace zr::testing {

inline int watchesLeft = 0;

inline int LimitedAddWatch(int fd, const char* path, std::uint32_t mask) {
    if (watchesLeft-- <= 0) {
        errno = ENOSPC;
        return -1;
    }
    return inotify_add_watch(fd, path, mask);
}

}  // namespace zr::testing
