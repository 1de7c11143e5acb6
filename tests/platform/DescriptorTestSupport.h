// Whether code opens its files close-on-exec, seen from outside: the file it
// opens is a FIFO, so its open waits for us and its descriptor can be looked
// at in /proc/self/fd while it reads or writes.
#pragma once

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

namespace zr::testing {

enum class TFifoSide { CodeReads, CodeWrites };

// Makes `fifo`, runs `code` on another thread (it opens `fifo` for reading
// or writing as `side` says, and goes through it to the end), and returns
// whether the descriptor it opened was close-on-exec. `content` is what a
// reading `code` is given; a writing `code` must write more than a pipe
// holds (64 KiB), so that it is still at it while its descriptor is looked at.
inline bool OpensCloseOnExec(const std::string& fifo, TFifoSide side,
                             const std::function<void()>& code,
                             const std::string& content = std::string()) {
    if (::mkfifo(fifo.c_str(), 0600) != 0) return false;
    std::thread other(code);
    const bool codeReads = side == TFifoSide::CodeReads;
    const int ours = ::open(fifo.c_str(), (codeReads ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
    bool closeOnExec = false, found = false;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!found && std::chrono::steady_clock::now() < limit) {
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            const int fd = std::stoi(entry.path().filename().string());
            char target[PATH_MAX] = {};
            if (fd == ours || ::readlink(entry.path().c_str(), target, sizeof target - 1) <= 0)
                continue;
            if (target != fifo) continue;
            found = true;
            closeOnExec = (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
        }
        if (!found) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (codeReads) {
        if (::write(ours, content.data(), content.size()) < 0) closeOnExec = false;
    } else {
        char buffer[4096];
        while (::read(ours, buffer, sizeof buffer) > 0) {
        }
    }
    ::close(ours);
    other.join();
    return found && closeOnExec;
}

}  // namespace zr::testing
