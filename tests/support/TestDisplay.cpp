#include "tests/support/TestDisplay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace zr::testing {

namespace {

constexpr int kStartPatienceMs = 10000;

// Xvfb's full path from $PATH; empty when it is not installed.
std::string FindXvfb() {
    const char* path = std::getenv("PATH");
    std::string folders = path && *path ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= folders.size();) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        const std::string candidate = folders.substr(start, end - start) + "/Xvfb";
        if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

// Reads the display number the server writes once it takes connections.
std::string ReadDisplayNumber(int fd) {
    std::string number;
    int waited = 0;
    while (waited < kStartPatienceMs) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, 100);
        waited += 100;
        if (ready <= 0) continue;
        char c = 0;
        if (read(fd, &c, 1) != 1) break;  // the server ended before it was up
        if (c == '\n') return number;
        if (c < '0' || c > '9' || number.size() > 6) break;
        number += c;
    }
    return {};
}

}  // namespace

TPrivateDisplay::TPrivateDisplay(int width, int height) {
    const std::string xvfb = FindXvfb();
    if (xvfb.empty()) return;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    // Everything the child needs is made before the fork: between fork and
    // exec a threaded program may only make plain system calls.
    const int serverEnd = fcntl(pipeFds[1], F_DUPFD, 3);  // kept open across exec
    const std::string serverEndText = std::to_string(serverEnd);
    const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t parent = getpid();
    pid_ = serverEnd >= 0 ? fork() : -1;
    if (pid_ == 0) {
        // The server must not outlive a test program that crashed.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        if (quiet >= 0) {
            dup2(quiet, STDOUT_FILENO);
            dup2(quiet, STDERR_FILENO);
        }
        execl(xvfb.c_str(), "Xvfb", "-displayfd", serverEndText.c_str(), "-screen", "0",
              screen.c_str(), "-nolisten", "tcp", static_cast<char*>(nullptr));
        _exit(127);
    }
    if (quiet >= 0) close(quiet);
    if (serverEnd >= 0) close(serverEnd);
    close(pipeFds[1]);
    if (pid_ > 0) {
        const std::string number = ReadDisplayNumber(pipeFds[0]);
        if (!number.empty()) name_ = ":" + number;
    }
    close(pipeFds[0]);
    if (name_.empty()) TakeAway();
}

void TPrivateDisplay::TakeAway() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

TTestDisplay::TTestDisplay() {
    if (const char* display = std::getenv("DISPLAY")) previous_ = display;
    private_.emplace();
    if (private_->Ready()) {
        setenv("DISPLAY", private_->Name().c_str(), 1);
        ready_ = true;
        return;
    }
    private_.reset();
    ready_ = previous_ && !previous_->empty();
    if (!ready_) whyNot_ = "no Xvfb to start and no DISPLAY";
}

TTestDisplay::~TTestDisplay() {
    if (!private_) return;
    if (previous_) {
        setenv("DISPLAY", previous_->c_str(), 1);
    } else {
        unsetenv("DISPLAY");
    }
}

}  // namespace zr::testing
