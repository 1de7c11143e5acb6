// The journal copies side by side with what they replace or add to, in one
// run:
//   - an event log entry (the store's append, then the copy for the system
//     log) with its journal entry against the same entry with the syslog
//     line it had before: the source has a message file, so the journal side
//     also reads the registry and the message file for the entry's text;
//   - WriteAsString with Journal true against the same without.
//
// What receives the copies: the program moves into a mount namespace of its
// own (as root) where a tmpfs lies over /run/systemd and /dev, and binds
// datagram sockets of its own at the journal's socket and at /dev/log; a
// thread reads and drops every datagram. So both sides pay the sender's
// whole cost (composing the entry, the system calls, the copy into the
// socket) and neither pays a journald's or syslog daemon's work, which runs
// in another process in real life. Without namespaces the benchmarks report
// an error and measure nothing.
//
// What it showed on a shared 2-core machine (load about 15), medians of five:
//   event log entry   syslog line 25-43 us (6.1 us CPU), journal copy 30-43 us
//                     (6.0-6.6 us CPU): 1.0-1.2x;
//   WriteAsString     7-14 us (2.1 us CPU), with Journal 21-33 us (4.5-5.1 us
//                     CPU): 2.4-2.9x.
// The journal's datagram itself costs about what the syslog line did, so the
// event log entry keeps its pace. A text's file append wakes nobody, while
// every datagram wakes the reader (perf: most of the added time is the
// kernel's wake-up and the task switch it brings on a busy machine), which a
// journald in its own process pays the same way; composing the entry is a
// few hundred nanoseconds of it.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "core/LogBase.h"
#include "platform/EventLog.h"
#include "platform/Journal.h"
#include "platform/Registry.h"

namespace {

using namespace zr::os;

constexpr const char* SyslogPath = "/dev/log";

int BoundSocket(const char* path) {
    ::unlink(path);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
    int size = 8 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return fd;
}

// The private namespace, its two sockets and the thread that drains them.
struct TSinks {
    std::string refusal;
    std::string folder;
    int journal = -1, syslog = -1;
    std::atomic<bool> stop{false};
    std::thread reader;

    TSinks() {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/run/systemd", "tmpfs", 0, "mode=0755") != 0 ||
            ::mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0) {
            refusal = std::string("no private mount namespace: ") + std::strerror(errno);
            return;
        }
        ::mkdir("/run/systemd/journal", 0755);
        journal = BoundSocket(JournalSocketPath);
        syslog = BoundSocket(SyslogPath);
        reader = std::thread([this] { Drain(); });
        const char* tmp = std::getenv("TMPDIR");
        folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/zr-bench-journal-" +
                 std::to_string(::getpid());
        std::filesystem::create_directories(folder);
        ::setenv("ZORIRIVE_EVENTLOG", (folder + "/events").c_str(), 1);
        ::setenv("ZORIRIVE_REGISTRY", (folder + "/registry").c_str(), 1);
    }
    ~TSinks() {
        stop = true;
        if (reader.joinable()) reader.join();
        if (!folder.empty()) std::filesystem::remove_all(folder);
    }
    void Drain() {
        pollfd fds[] = {{journal, POLLIN, 0}, {syslog, POLLIN, 0}};
        char buffer[65536];
        while (!stop) {
            if (::poll(fds, 2, 50) <= 0) continue;
            for (const pollfd& p : fds)
                if (p.revents & POLLIN) (void)::recv(p.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        }
    }
    // The journal is there (its socket bound) or not (the socket gone).
    void JournalListens(bool listens) {
        ::unlink(JournalSocketPath);
        if (listens) {
            ::close(journal);
            journal = BoundSocket(JournalSocketPath);
        }
    }
};

TSinks& Sinks() {
    static TSinks sinks;
    return sinks;
}

// The Orders source with its message file, registered once.
void RegisterOrders() {
    static const bool done = [] {
        const std::string file = Sinks().folder + "/orders.mc";
        std::ofstream(file) << "MessageId=0x3E9\nSeverity=Warning\nFacility=Application\n"
                               "Language=English\nOrder %1 refused: %2.\n.\n";
        HKEY key = 0;
        RegCreateKeyEx(HKEY_LOCAL_MACHINE,
                       "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Orders", 0,
                       nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        RegSetValueEx(key, "EventMessageFile", 0, REG_SZ,
                      reinterpret_cast<const BYTE*>(file.c_str()),
                      static_cast<DWORD>(file.size() + 1));
        RegCloseKey(key);
        return true;
    }();
    (void)done;
}

void WriteEntries(benchmark::State& state, bool journal) {
    if (!Sinks().refusal.empty()) return state.SkipWithError(Sinks().refusal.c_str());
    RegisterOrders();
    Sinks().JournalListens(journal);
    HANDLE source = RegisterEventSourceA(nullptr, "Orders");
    const char* strings[] = {"17", "the customer's credit is exhausted"};
    for (auto _ : state)
        if (!ReportEventA(source, EVENTLOG_WARNING_TYPE, 0, 0x800003E9, nullptr, 2, 0, strings,
                          nullptr))
            std::abort();
    DeregisterEventSource(source);
}

void BM_EventEntryWithSyslogLine(benchmark::State& state) {
    WriteEntries(state, false);
}
BENCHMARK(BM_EventEntryWithSyslogLine);

void BM_EventEntryWithJournalCopy(benchmark::State& state) {
    WriteEntries(state, true);
}
BENCHMARK(BM_EventEntryWithJournalCopy);

const std::string kLine = std::string(68, 'x') + "\r\n";

void WriteTexts(benchmark::State& state, bool journal) {
    if (!Sinks().refusal.empty()) return state.SkipWithError(Sinks().refusal.c_str());
    Sinks().JournalListens(true);
    zr::TKVLogBase log(nullptr);
    log.SetName("OrdersLog");
    log.SetLogFile(Sinks().folder + (journal ? "/journal.log" : "/plain.log"));
    log.SetJournal(journal);
    for (auto _ : state) log.WriteAsString(kLine);
    log.ClearLog();
}

void BM_WriteAsString(benchmark::State& state) {
    WriteTexts(state, false);
}
BENCHMARK(BM_WriteAsString);

void BM_WriteAsStringWithJournal(benchmark::State& state) {
    WriteTexts(state, true);
}
BENCHMARK(BM_WriteAsStringWithJournal);

}  // namespace

int main(int argc, char** argv) {
    Sinks();  // while the process has one thread
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
