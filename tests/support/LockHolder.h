// Another process holding a file lock (flock) on a path until the scope ends:
// what a second user or a stuck writer does to a store.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace zr::testing {

class LockHolder {
  public:
    // `how` is LOCK_SH or LOCK_EX; the path is opened read-only, which is
    // enough to hold either. Held() says whether the other process got it.
    LockHolder(const std::string& path, int how) {
        int ready[2];
        if (::pipe(ready) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            const bool locked = fd >= 0 && ::flock(fd, how) == 0;
            (void)!::write(ready[1], locked ? "y" : "n", 1);
            ::pause();  // holds the lock until killed
            ::_exit(0);
        }
        char answer = 0;
        held_ = pid_ > 0 && ::read(ready[0], &answer, 1) == 1 && answer == 'y';
        ::close(ready[0]);
        ::close(ready[1]);
    }
    ~LockHolder() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    bool Held() const { return held_; }

  private:
    pid_t pid_ = -1;
    bool held_ = false;
};

}  // namespace zr::testing
