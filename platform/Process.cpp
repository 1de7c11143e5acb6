#include "platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace zr::os {

namespace {

using Clock = std::chrono::steady_clock;

bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> SearchFolders(const std::vector<std::string>& extraFolders) {
    std::vector<std::string> folders;
    const char* path = std::getenv("PATH");
    std::string list = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t colon = std::min(list.find(':', start), list.size());
        // An empty entry of PATH means the current folder.
        folders.push_back(colon == start ? "." : list.substr(start, colon - start));
        start = colon + 1;
    }
    folders.insert(folders.end(), extraFolders.begin(), extraFolders.end());
    return folders;
}

int ExitCodeOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Waits for the child in a thread of its own, so that it does not stay a
// zombie while the caller goes on.
void ReapInBackground(pid_t pid) {
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) == -1 && errno == EINTR) {
        }
    }).detach();
}

// Spawn settings shared by every helper program: default signal handling
// (a caller that ignores SIGPIPE or blocks signals must not pass that on),
// and optionally a session of its own.
class TSpawnAttributes {
  public:
    explicit TSpawnAttributes(bool newSession) {
        ::posix_spawnattr_init(&attr_);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        ::posix_spawnattr_setsigmask(&attr_, &none);
        ::posix_spawnattr_setsigdefault(&attr_, &all);
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        if (newSession) flags |= POSIX_SPAWN_SETSID;
        ::posix_spawnattr_setflags(&attr_, flags);
    }
    ~TSpawnAttributes() { ::posix_spawnattr_destroy(&attr_); }
    TSpawnAttributes(const TSpawnAttributes&) = delete;
    TSpawnAttributes& operator=(const TSpawnAttributes&) = delete;
    const posix_spawnattr_t* Get() const { return &attr_; }

  private:
    posix_spawnattr_t attr_;
};

class TFileActions {
  public:
    TFileActions() { ::posix_spawn_file_actions_init(&actions_); }
    ~TFileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
    TFileActions(const TFileActions&) = delete;
    TFileActions& operator=(const TFileActions&) = delete;
    // Standard input from `fd`, or from /dev/null when fd is -1.
    void StandardInput(int fd) {
        if (fd < 0)
            ::posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
        else
            ::posix_spawn_file_actions_adddup2(&actions_, fd, 0);
    }
    const posix_spawn_file_actions_t* Get() const { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
};

int Spawn(pid_t& pid, const std::vector<std::string>& argv, const TFileActions& actions,
          const TSpawnAttributes& attributes) {
    if (argv.empty() || argv[0].empty()) return ENOENT;
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    return ::posix_spawnp(&pid, args[0], actions.Get(), attributes.Get(), args.data(), environ);
}

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 60'000));
}

// Writes all of `input` to the socket before the deadline. A socket (not a
// pipe) so that MSG_NOSIGNAL keeps a reader that went away from raising
// SIGPIPE in the caller's process.
bool WriteInput(int fd, const std::string& input, Clock::time_point deadline) {
    std::size_t done = 0;
    while (done < input.size()) {
        pollfd wait{fd, POLLOUT, 0};
        const int ready = ::poll(&wait, 1, MillisecondsLeft(deadline));
        if (ready == -1 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t n =
            ::send(fd, input.data() + done, input.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == -1 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Polls for the child's end until the deadline; helper programs of this
// kind end within milliseconds when all is well.
bool WaitUntil(pid_t pid, Clock::time_point deadline, int& exitCode) {
    auto pause = std::chrono::milliseconds(2);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            exitCode = ExitCodeOf(status);
            return true;
        }
        if (done == -1 && errno != EINTR) {
            exitCode = -1;  // reaped elsewhere: nothing more to learn
            return true;
        }
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

}  // namespace

std::string FindProgram(const std::string& program, const std::vector<std::string>& extraFolders) {
    if (program.empty()) return {};
    if (program.find('/') != std::string::npos)
        return IsExecutableFile(program) ? program : std::string();
    for (const std::string& folder : SearchFolders(extraFolders)) {
        const std::string candidate = folder + "/" + program;
        if (IsExecutableFile(candidate)) return candidate;
    }
    return {};
}

TRunResult RunProgram(const std::vector<std::string>& argv, const std::string* input,
                      std::chrono::milliseconds timeout) {
    TRunResult result;
    const Clock::time_point deadline = Clock::now() + timeout;
    int sockets[2] = {-1, -1};
    if (input && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) == -1) {
        result.StartError = errno;
        return result;
    }
    TFileActions actions;
    actions.StandardInput(sockets[1]);
    TSpawnAttributes attributes(false);
    pid_t pid = -1;
    result.StartError = Spawn(pid, argv, actions, attributes);
    if (sockets[1] != -1) ::close(sockets[1]);
    if (result.StartError != 0) {
        if (sockets[0] != -1) ::close(sockets[0]);
        return result;
    }
    result.Started = true;
    result.InputWritten = input == nullptr || WriteInput(sockets[0], *input, deadline);
    if (sockets[0] != -1) ::close(sockets[0]);  // end of input
    if (!result.InputWritten) {
        // It cannot finish its work without the rest of its input.
        ::kill(pid, SIGTERM);
        ReapInBackground(pid);
        return result;
    }
    result.Finished = WaitUntil(pid, deadline, result.ExitCode);
    if (!result.Finished) ReapInBackground(pid);
    return result;
}

bool StartDetached(const std::vector<std::string>& argv) {
    TFileActions actions;
    actions.StandardInput(-1);
    TSpawnAttributes attributes(true);
    pid_t pid = -1;
    if (Spawn(pid, argv, actions, attributes) != 0) return false;
    ReapInBackground(pid);
    return true;
}

}  // namespace zr::os
