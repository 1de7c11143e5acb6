#include "framework/ConsoleBreak.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "framework/Application.h"
#include "framework/Exceptions.h"

namespace zr {

namespace {

int breakPipe[2] = {-1, -1};
std::atomic<bool> breakPending{false};
std::atomic<bool> scopeActive{false};

void OnInterrupt(int signal) {
    if (breakPending.exchange(true)) {
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        sigemptyset(&standard.sa_mask);
        sigaction(signal, &standard, nullptr);
        raise(signal);
        return;
    }
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(breakPipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

TConsoleBreakScope::TConsoleBreakScope(TApplication& application) : application_(application) {
    if (scopeActive.exchange(true)) return;
    struct sigaction current {};
    sigaction(SIGINT, nullptr, &current);
    if (current.sa_handler == SIG_IGN || pipe2(breakPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        scopeActive.store(false);
        return;
    }
    owner_ = true;
    breakPending.store(false);
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous_);
    source_ = application_.AddInputSource(breakPipe[0], [this] { return Service(); });
}

TConsoleBreakScope::~TConsoleBreakScope() {
    if (!owner_) return;
    application_.RemoveInputSource(source_);
    sigaction(SIGINT, &previous_, nullptr);
    close(breakPipe[0]);
    close(breakPipe[1]);
    breakPipe[0] = breakPipe[1] = -1;
    breakPending.store(false);
    scopeActive.store(false);
}

bool TConsoleBreakScope::Service() {
    char bytes[16];
    bool interrupted = false;
    while (read(breakPipe[0], bytes, sizeof bytes) > 0) interrupted = true;
    if (!interrupted) return false;
    application_.Terminate();
    throw EControlC("Control-C hit");
}

}  // namespace zr
