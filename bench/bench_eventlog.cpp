// The event log store against the system calls it stands on, in the same run:
//   - an append (the store's own cost; the copy to syslog is one syslog call
//     on top and is left out) against open + flock + write + close of the
//     same bytes;
//   - reading the newest 100 records of a 100,000-record log, one record a
//     call, in a process that has the log open, against one pread of them;
//   - a new process that opens that log and reads its newest record, against
//     a new process that opens the file and preads that record;
//   - a new process that opens a hostile 16 MiB log (every 8 bytes a
//     plausible length and the signature, no record at all) and counts its
//     records, against a new process that reads the file once from start to
//     end, in processor time of the whole process. Bound: at most twice the
//     read (the run is marked failed beyond).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/EventLog.h"
#include "platform/EventLogFile.h"
#include "platform/EventLogStore.h"

namespace {

using namespace zr::os;

constexpr DWORD BigLogRecords = 100000;
constexpr DWORD NewestRead = 100;

const std::string& Store() {
    static const std::string store = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/zr-bench-eventlog-" +
                          std::to_string(::getpid());
        std::filesystem::create_directories(dir);
        ::setenv("ZORIRIVE_EVENTLOG", dir.c_str(), 1);
        return dir;
    }();
    return store;
}

eventlog::RecordFields SampleFields(DWORD number) {
    eventlog::RecordFields fields;
    fields.number = number;
    fields.timeGenerated = fields.timeWritten = 86400;
    fields.eventId = 0x40000001;
    fields.type = EVENTLOG_INFORMATION_TYPE;
    fields.source = "Bench";
    fields.computer = "host";
    fields.strings = {"a sample entry of some forty characters"};
    return fields;
}

// A log of 100,000 records, made once per run.
const std::string& BigLog() {
    static const std::string path = [] {
        const std::string file = Store() + "/Big.evtlog";
        std::vector<std::uint8_t> bytes;
        for (DWORD number = 1; number <= BigLogRecords; ++number) {
            const auto record = eventlog::ComposeRecord(SampleFields(number));
            bytes.insert(bytes.end(), record.begin(), record.end());
        }
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            std::abort();
        ::close(fd);
        return file;
    }();
    return path;
}

void BM_StoreAppend(benchmark::State& state) {
    privstore::TStoreLocation where;
    Store();
    if (eventlog::LocateEventLogStore(where) != ERROR_SUCCESS) std::abort();
    eventlog::OpenLog& log = eventlog::OpenLogOf(where, "Append");
    for (auto _ : state) {
        auto fields = SampleFields(0);
        if (eventlog::AppendRecord(log, fields) != ERROR_SUCCESS) std::abort();
    }
}
BENCHMARK(BM_StoreAppend);

void BM_FloorOpenFlockWriteClose(benchmark::State& state) {
    const std::string file = Store() + "/Floor.bin";
    const auto record = eventlog::ComposeRecord(SampleFields(1));
    for (auto _ : state) {
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        ::flock(fd, LOCK_EX);
        if (::write(fd, record.data(), record.size()) != static_cast<ssize_t>(record.size()))
            std::abort();
        ::close(fd);
    }
}
BENCHMARK(BM_FloorOpenFlockWriteClose);

void BM_StoreReadNewest100(benchmark::State& state) {
    BigLog();
    HANDLE log = OpenEventLogA(nullptr, "Big");
    const DWORD size = static_cast<DWORD>(eventlog::ComposeRecord(SampleFields(1)).size());
    std::vector<std::uint8_t> buffer(size);
    DWORD read = 0, needed = 0;
    for (auto _ : state) {
        for (DWORD number = BigLogRecords; number > BigLogRecords - NewestRead; --number)
            if (!ReadEventLogA(log, EVENTLOG_SEEK_READ | EVENTLOG_BACKWARDS_READ, number,
                               buffer.data(), size, &read, &needed))
                std::abort();
    }
    CloseEventLog(log);
}
BENCHMARK(BM_StoreReadNewest100);

void BM_FloorPreadNewest100(benchmark::State& state) {
    const int fd = ::open(BigLog().c_str(), O_RDONLY | O_CLOEXEC);
    const off_t size = ::lseek(fd, 0, SEEK_END);
    const std::size_t bytes =
        eventlog::ComposeRecord(SampleFields(1)).size() * static_cast<std::size_t>(NewestRead);
    std::vector<std::uint8_t> buffer(bytes);
    for (auto _ : state)
        if (::pread(fd, buffer.data(), bytes, size - static_cast<off_t>(bytes)) !=
            static_cast<ssize_t>(bytes))
            std::abort();
    ::close(fd);
}
BENCHMARK(BM_FloorPreadNewest100);

// What a new process does, run by this program started again with `mode`.
std::string self;

constexpr std::size_t HostileSize = 16u << 20;

// A log in which every 8 bytes hold `length` and the signature. With a
// length of 4 more than a multiple of 8 the closing length agrees too.
std::string HostileLog(DWORD length) {
    const std::string name = "Hostile" + std::to_string(length);
    const std::string file = Store() + "/" + name + ".evtlog";
    if (!std::filesystem::exists(file)) {
        std::vector<std::uint8_t> bytes(HostileSize);
        for (std::size_t at = 0; at < bytes.size(); at += 8) {
            const DWORD words[2] = {length, ELF_LOG_SIGNATURE};
            std::memcpy(bytes.data() + at, words, sizeof words);
        }
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            std::abort();
        ::close(fd);
    }
    ::setenv("ZR_BENCH_HOSTILE", name.c_str(), 1);
    return name;
}

int CountHostileWithTheStore() {
    HANDLE log = OpenEventLogA(nullptr, std::getenv("ZR_BENCH_HOSTILE"));
    DWORD count = 1;
    const bool counted = log && GetNumberOfEventLogRecords(log, &count);
    CloseEventLog(log);
    return counted && count == 0 ? 0 : 1;
}

int ReadHostileOnce() {
    const std::string file = std::string(std::getenv("ZORIRIVE_EVENTLOG")) + "/" +
                             std::getenv("ZR_BENCH_HOSTILE") + ".evtlog";
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<char> buffer(1 << 16);
    std::size_t total = 0;
    for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;)
        total += static_cast<std::size_t>(n);
    ::close(fd);
    return total == HostileSize ? 0 : 1;
}

int OpenNewestWithTheStore() {
    HANDLE log = OpenEventLogA(nullptr, "Big");
    DWORD count = 0, oldest = 0, read = 0, needed = 0;
    std::vector<std::uint8_t> buffer(4096);
    if (!log || !GetNumberOfEventLogRecords(log, &count) ||
        !GetOldestEventLogRecord(log, &oldest) ||
        !ReadEventLogA(log, EVENTLOG_SEEK_READ | EVENTLOG_BACKWARDS_READ, oldest + count - 1,
                       buffer.data(), static_cast<DWORD>(buffer.size()), &read, &needed))
        return 1;
    EVENTLOGRECORD head;
    std::memcpy(&head, buffer.data(), sizeof head);
    return head.RecordNumber == BigLogRecords ? 0 : 1;
}

int OpenNewestWithPread() {
    const std::string file = std::string(std::getenv("ZORIRIVE_EVENTLOG")) + "/Big.evtlog";
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    const off_t size = ::lseek(fd, 0, SEEK_END);
    DWORD length = 0;
    if (::pread(fd, &length, 4, size - 4) != 4) return 1;
    std::vector<std::uint8_t> record(length);
    return ::pread(fd, record.data(), length, size - length) == static_cast<ssize_t>(length) ? 0
                                                                                             : 1;
}

// Starts this program again in `mode`; the time of the whole process is the
// benchmark's, the time of the open and read alone (which the child sends
// back) is the counter open_read_us.
// Runs this program again in `mode`; the processor time of the whole new
// process (what a busy machine does not distort), in microseconds.
double CpuOfNewProcess(const char* mode) {
    int timing[2];
    if (::pipe(timing) != 0) std::abort();
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(timing[1], 3);
        ::execl(self.c_str(), self.c_str(), mode, static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(timing[1]);
    double micros = 0;
    if (::read(timing[0], &micros, sizeof micros) != sizeof micros) std::abort();
    ::close(timing[0]);
    int status = 0;
    rusage used{};
    ::wait4(child, &status, 0, &used);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::abort();
    auto seconds = [](const timeval& t) { return t.tv_sec * 1e6 + t.tv_usec; };
    return seconds(used.ru_utime) + seconds(used.ru_stime);
}

void RunNewProcess(benchmark::State& state, const char* mode) {
    BigLog();
    double openReadMicros = 0;
    for (auto _ : state) {
        int timing[2];
        if (::pipe(timing) != 0) std::abort();
        const pid_t child = ::fork();
        if (child == 0) {
            ::dup2(timing[1], 3);
            ::execl(self.c_str(), self.c_str(), mode, static_cast<char*>(nullptr));
            _exit(127);
        }
        ::close(timing[1]);
        double micros = 0;
        if (::read(timing[0], &micros, sizeof micros) != sizeof micros) std::abort();
        ::close(timing[0]);
        openReadMicros += micros;
        int status = 0;
        ::waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::abort();
    }
    state.counters["open_read_us"] =
        benchmark::Counter(openReadMicros, benchmark::Counter::kAvgIterations);
}

// Runs `open` in this new process and sends its time to the parent (fd 3).
int TimeInChild(int (*open)()) {
    const auto start = std::chrono::steady_clock::now();
    const int result = open();
    const double micros =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    if (::write(3, &micros, sizeof micros) != sizeof micros) return 1;
    return result;
}

void BM_NewProcessStoreOpenNewest(benchmark::State& state) {
    RunNewProcess(state, "--open-newest-store");
}
BENCHMARK(BM_NewProcessStoreOpenNewest)->Unit(benchmark::kMillisecond);

void BM_NewProcessFloorOpenPreadNewest(benchmark::State& state) {
    RunNewProcess(state, "--open-newest-pread");
}
BENCHMARK(BM_NewProcessFloorOpenPreadNewest)->Unit(benchmark::kMillisecond);

// Each iteration a new process opens the hostile log, another reads it
// once; the counters are their processor times and the ratio.
void BM_NewProcessHostileOpenAgainstOneRead(benchmark::State& state) {
    HostileLog(static_cast<DWORD>(state.range(0)));
    double open = 0, read = 0;
    for (auto _ : state) {
        read += CpuOfNewProcess("--read-hostile");
        open += CpuOfNewProcess("--open-hostile");
    }
    state.counters["open_cpu_us"] = benchmark::Counter(open, benchmark::Counter::kAvgIterations);
    state.counters["read_cpu_us"] = benchmark::Counter(read, benchmark::Counter::kAvgIterations);
    state.counters["open_per_read"] = read > 0 ? open / read : 0;
    if (open > 2 * read) {
        static std::string error;
        error = "opening the hostile log took more than two reads: " +
                std::to_string(open / state.iterations()) + " us against " +
                std::to_string(read / state.iterations()) + " us";
        state.SkipWithError(error.c_str());
    }
}
BENCHMARK(BM_NewProcessHostileOpenAgainstOneRead)
    ->Arg(0x40000)
    ->Arg(68)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    self = std::filesystem::canonical("/proc/self/exe").string();
    if (argc == 2 && std::strcmp(argv[1], "--open-newest-store") == 0)
        return TimeInChild(OpenNewestWithTheStore);
    if (argc == 2 && std::strcmp(argv[1], "--open-newest-pread") == 0)
        return TimeInChild(OpenNewestWithPread);
    if (argc == 2 && std::strcmp(argv[1], "--open-hostile") == 0)
        return TimeInChild(CountHostileWithTheStore);
    if (argc == 2 && std::strcmp(argv[1], "--read-hostile") == 0)
        return TimeInChild(ReadHostileOnce);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(Store());
    return 0;
}
