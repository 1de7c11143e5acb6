#include "tests/support/PrivateJournal.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace zr::testing {

namespace {

std::string refusal = "the private namespace was never entered";
int privateCatalogFolders = 0;

bool IsDirectory(const char* path) {
    struct stat status;
    return ::lstat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

std::string Failed(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool MountTmpfs(const char* path, std::string& why) {
    if (::mount("tmpfs", path, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") == 0) return true;
    why = Failed(std::string("tmpfs over ") + path);
    return false;
}

// /dev with only what a test program and journald need, and /dev/log
// leading to the private journal's syslog socket.
bool RebuildDev(std::string& why) {
    const char* host = "/run/systemd/zr-host-dev";
    if (::mkdir(host, 0700) != 0 || ::mount("/dev", host, nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return why = Failed("binding the host's /dev"), false;
    if (::mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755") != 0)
        return why = Failed("tmpfs over /dev"), false;
    for (const char* node : {"null", "zero", "full", "random", "urandom", "tty", "ptmx"}) {
        const std::string from = std::string(host) + "/" + node, to = std::string("/dev/") + node;
        if (::access(from.c_str(), F_OK) != 0) continue;
        ::close(::open(to.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
        if (::mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return why = Failed("binding /dev/" + std::string(node)), false;
    }
    for (const char* folder : {"pts", "shm"}) {
        const std::string from = std::string(host) + "/" + folder,
                          to = std::string("/dev/") + folder;
        if (!IsDirectory(from.c_str())) continue;
        ::mkdir(to.c_str(), 0755);
        if (::mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
            return why = Failed("binding /dev/" + std::string(folder)), false;
    }
    const std::pair<const char*, const char*> links[] = {
        {"/proc/self/fd", "/dev/fd"},
        {"/proc/self/fd/0", "/dev/stdin"},
        {"/proc/self/fd/1", "/dev/stdout"},
        {"/proc/self/fd/2", "/dev/stderr"},
        {"/run/systemd/journal/dev-log", "/dev/log"}};
    for (const auto& [target, link] : links)
        if (::symlink(target, link) != 0)
            return why = Failed(std::string("linking ") + link), false;
    ::umount2(host, MNT_DETACH);
    ::rmdir(host);
    return true;
}

// journald's settings for the tests, read after the machine's own.
bool WriteJournaldSettings(std::string& why) {
    ::mkdir("/run/systemd/journald.conf.d", 0755);
    std::ofstream settings("/run/systemd/journald.conf.d/zz-zoririve-tests.conf");
    settings << "[Journal]\nStorage=volatile\nRateLimitIntervalSec=0\nRateLimitBurst=0\n"
                "ForwardToSyslog=no\nForwardToKMsg=no\nForwardToConsole=no\nForwardToWall=no\n"
                "Audit=no\n";
    if (!settings) return why = "cannot write journald's settings", false;
    return true;
}

std::string EnterNamespace() {
    if (::unshare(CLONE_NEWNS) != 0) return Failed("mount namespaces refused (unshare)");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return Failed("making the mounts private");
    std::string why;
    // Without the folders a journal uses there is nowhere to lay a tmpfs that
    // would not change the machine's /run: the whole of /run becomes private.
    if (!IsDirectory("/run/systemd") || !IsDirectory("/run/log")) {
        if (!MountTmpfs("/run", why)) return why;
        ::mkdir("/run/systemd", 0755);
        ::mkdir("/run/log", 0755);
    }
    for (const char* path : {"/run/systemd", "/run/log", "/var/log/journal"})
        if (IsDirectory(path) && !MountTmpfs(path, why)) return why;
    for (const char* path : {"/usr/lib/systemd/catalog", "/var/lib/systemd/catalog"}) {
        if (!IsDirectory(path)) continue;
        if (!MountTmpfs(path, why)) return why;
        ++privateCatalogFolders;
    }
    if (!WriteJournaldSettings(why) || !RebuildDev(why)) return why;
    return "";
}

}  // namespace

void EnterPrivateJournalNamespace() {
    refusal = EnterNamespace();
}

const std::string& PrivateNamespaceRefusal() {
    return refusal;
}

bool PrivateCatalog() {
    return refusal.empty() && privateCatalogFolders == 2;
}

// ---- reading journalctl's JSON -------------------------------------------------

namespace {

// journalctl's JSON: one object a line, each value a string, an array of
// byte values (binary data), or an array of those (a field that repeats).
class TJsonLine {
  public:
    explicit TJsonLine(const std::string& text) : text_(text) {}

    bool Parse(TJournalRecord& record) {
        if (!Eat('{')) return false;
        if (Eat('}')) return true;
        do {
            std::string name;
            if (!String(name) || !Eat(':')) return false;
            std::vector<std::string>& values = record[name];
            if (Peek() == '[') {
                at_++;
                if (Peek() == '"' || Peek() == '[') {  // a field that repeats
                    do {
                        std::string value;
                        if (!Value(value)) return false;
                        values.push_back(std::move(value));
                    } while (Eat(','));
                    if (!Eat(']')) return false;
                } else {
                    std::string bytes;
                    if (!ByteValues(bytes)) return false;
                    values.push_back(std::move(bytes));
                }
            } else {
                std::string value;
                if (!Value(value)) return false;
                values.push_back(std::move(value));
            }
        } while (Eat(','));
        return Eat('}');
    }

  private:
    char Peek() {
        while (at_ < text_.size() && text_[at_] == ' ') ++at_;
        return at_ < text_.size() ? text_[at_] : '\0';
    }
    bool Eat(char c) {
        if (Peek() != c) return false;
        ++at_;
        return true;
    }
    bool Value(std::string& value) {
        if (Peek() == 'n') {  // null: a value too large to show
            at_ += 4;
            return true;
        }
        if (Eat('[')) return ByteValues(value);
        return String(value);
    }
    // After "[": numbers up to "]".
    bool ByteValues(std::string& bytes) {
        if (Eat(']')) return true;
        do {
            Peek();
            std::size_t used = 0;
            const int byte = std::stoi(text_.substr(at_, 4), &used);
            bytes += static_cast<char>(byte);
            at_ += used;
        } while (Eat(','));
        return Eat(']');
    }
    bool String(std::string& out) {
        if (!Eat('"')) return false;
        while (at_ < text_.size() && text_[at_] != '"') {
            char c = text_[at_++];
            if (c != '\\') {
                out += c;
                continue;
            }
            c = text_[at_++];
            switch (c) {
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'u': {
                    const unsigned code = std::stoul(text_.substr(at_, 4), nullptr, 16);
                    at_ += 4;
                    if (code < 0x80) {
                        out += static_cast<char>(code);
                    } else if (code < 0x800) {
                        out += static_cast<char>(0xC0 | code >> 6);
                        out += static_cast<char>(0x80 | (code & 0x3F));
                    } else {
                        out += static_cast<char>(0xE0 | code >> 12);
                        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
                        out += static_cast<char>(0x80 | (code & 0x3F));
                    }
                    break;
                }
                default:
                    out += c;
            }
        }
        return Eat('"');
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

std::string Quoted(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

std::string FieldOf(const TJournalRecord& record, const std::string& field) {
    auto found = record.find(field);
    return found == record.end() || found->second.empty() ? "" : found->second.front();
}

std::vector<TJournalRecord> ParseJournalJson(const std::string& text) {
    std::vector<TJournalRecord> records;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(begin, end - begin);
        begin = end + 1;
        TJournalRecord record;
        if (!line.empty() && TJsonLine(line).Parse(record)) records.push_back(std::move(record));
    }
    return records;
}

int RunCommand(const std::string& command, std::string* output) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    while (std::size_t n = ::fread(buffer, 1, sizeof buffer, pipe))
        if (output) output->append(buffer, n);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<TJournalRecord> ReadJournal(const std::string& directory,
                                        const std::vector<std::string>& matches) {
    std::string command = "journalctl -q --no-pager -o json -D " + Quoted(directory);
    for (const std::string& match : matches) command += " " + Quoted(match);
    std::string output;
    RunCommand(command + " 2>/dev/null", &output);
    return ParseJournalJson(output);
}

// ---- programs ------------------------------------------------------------------

pid_t StartProgram(const std::vector<std::string>& argv, const std::string& logFile, int listenFd) {
    // Everything the child needs is made before the fork: another thread may
    // hold the allocator's lock at that moment, so the child allocates nothing.
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** variable = environ; *variable; ++variable)
        if (std::strncmp(*variable, "LISTEN_", 7) != 0) environment.emplace_back(*variable);
    char listenPid[32] = "LISTEN_PID=";
    char listenFds[] = "LISTEN_FDS=1";
    std::vector<char*> envp;
    for (std::string& variable : environment) envp.push_back(variable.data());
    if (listenFd >= 0) {
        envp.push_back(listenFds);
        envp.push_back(listenPid);
    }
    envp.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) _exit(127);
    const int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ::dup2(log, 1);
    ::dup2(log, 2);
    if (listenFd >= 0) {
        // Handed over as systemd hands a listening socket to a service.
        if (listenFd != 3) ::dup2(listenFd, 3);
        ::fcntl(3, F_SETFD, 0);
        char digits[16];
        int count = 0;
        for (pid_t self = ::getpid(); self > 0; self /= 10) digits[count++] = '0' + self % 10;
        char* at = listenPid + std::strlen(listenPid);
        while (count > 0) *at++ = digits[--count];
        *at = '\0';
    }
    ::execve(args[0], args.data(), envp.data());
    _exit(127);
}

int WaitForProgram(pid_t pid, double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    for (;;) {
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        if (ended == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (ended < 0 || std::chrono::steady_clock::now() >= until) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int StopProgram(pid_t pid) {
    ::kill(pid, SIGTERM);
    int status = WaitForProgram(pid, 1.0);
    if (status == -1) {
        ::kill(pid, SIGKILL);
        status = WaitForProgram(pid, 5.0);
    }
    return status;
}

// ---- the private journald --------------------------------------------------------

TPrivateJournal::TPrivateJournal() {
    if (!PrivateNamespaceRefusal().empty()) return;
    // Each journal starts empty, without what a journal stopped before left.
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(Directory, ignored))
        std::filesystem::remove_all(entry.path(), ignored);
    ::unlink("/run/systemd/journal/socket");
    pid_ = StartProgram({"/lib/systemd/systemd-journald"}, "/run/systemd/zr-journald.out");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    struct stat status;
    while (::stat("/run/systemd/journal/socket", &status) != 0 ||
           ::stat("/run/systemd/journal/dev-log", &status) != 0) {
        if (std::chrono::steady_clock::now() > until || WaitForProgram(pid_, 0) != -1) {
            Stop();
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

TPrivateJournal::~TPrivateJournal() {
    Stop();
}

void TPrivateJournal::Stop() {
    if (pid_ > 0) StopProgram(pid_);
    pid_ = -1;
}

std::vector<TJournalRecord> TPrivateJournal::WaitForEntries(const std::vector<std::string>& matches,
                                                            std::size_t count) const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        auto records = ReadJournal(Directory, matches);
        if (records.size() >= count || std::chrono::steady_clock::now() > until) return records;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace zr::testing
