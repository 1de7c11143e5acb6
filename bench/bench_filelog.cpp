// The folder change log against the bare inotify read it stands on: the time
// from a change in a folder to the event on the main thread (p50 and p99 as
// counters, in microseconds), and how often an idle watcher wakes up.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "watchers/LogFile.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Changes are spaced out, so each one is measured on a watcher at rest.
constexpr auto kSpacing = 3ms;

std::string BenchFolder(const char* name) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/zr-bench-" +
                      std::to_string(::getpid()) + "-" + name;
    std::filesystem::create_directories(dir);
    return dir;
}

// Creates the file when it is missing and removes it when it is there: a
// file name change each time.
void Toggle(const std::string& file) {
    if (::unlink(file.c_str()) != 0) ::close(::open(file.c_str(), O_CREAT | O_WRONLY, 0644));
}

void ReportPercentiles(benchmark::State& state, std::vector<double>& micros) {
    if (micros.empty()) return;
    std::sort(micros.begin(), micros.end());
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
}

void BM_FileLogChangeToEvent(benchmark::State& state) {
    const std::string dir = BenchFolder("filelog");
    Clock::time_point reported;
    int reports = 0;
    zr::TKVFileLog log(nullptr);
    log.SetFolder(dir);
    log.SetOptions({zr::foFile});
    log.SetOnFileNotification(
        zr::TFileNotifyEvent::FromFunction([&](zr::TObject*, zr::TFileNotificationOption) {
            reported = Clock::now();
            ++reports;
        }));
    log.SetActive(true);
    std::vector<double> micros;
    for (auto _ : state) {
        std::this_thread::sleep_for(kSpacing);
        const int before = reports;
        const auto changed = Clock::now();
        Toggle(dir + "/f");
        while (reports == before) zr::TThread::CheckSynchronize(100);
        std::chrono::duration<double> took = reported - changed;
        state.SetIterationTime(took.count());
        micros.push_back(took.count() * 1e6);
    }
    log.SetActive(false);
    ReportPercentiles(state, micros);
    std::filesystem::remove_all(dir);
}

void BM_BareInotifyRead(benchmark::State& state) {
    const std::string dir = BenchFolder("inotify");
    int fd = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(fd, dir.c_str(), IN_CREATE | IN_DELETE);
    alignas(inotify_event) char buffer[4096];
    std::vector<double> micros;
    for (auto _ : state) {
        std::this_thread::sleep_for(kSpacing);
        const auto changed = Clock::now();
        Toggle(dir + "/f");
        benchmark::DoNotOptimize(::read(fd, buffer, sizeof buffer));
        std::chrono::duration<double> took = Clock::now() - changed;
        state.SetIterationTime(took.count());
        micros.push_back(took.count() * 1e6);
    }
    ::close(fd);
    ReportPercentiles(state, micros);
    std::filesystem::remove_all(dir);
}

std::set<std::string> Tasks() {
    std::set<std::string> tasks;
    for (auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        tasks.insert(task.path().filename());
    return tasks;
}

long ContextSwitches(const std::string& task) {
    std::ifstream status("/proc/self/task/" + task + "/status");
    long total = 0;
    for (std::string line; std::getline(status, line);)
        if (line.find("ctxt_switches:") != std::string::npos)
            total += std::stol(line.substr(line.find(':') + 1));
    return total;
}

// Every time the worker leaves the processor it wakes up again later: its
// context switches over a quiet period count its wake-ups.
void BM_IdleWatcherWakeUps(benchmark::State& state) {
    const std::string dir = BenchFolder("idle");
    for (auto _ : state) {
        zr::TKVFileLog log(nullptr);
        log.SetFolder(dir);
        const auto before = Tasks();
        log.SetActive(true);
        std::string worker;
        for (const auto& task : Tasks())
            if (!before.count(task)) worker = task;
        std::this_thread::sleep_for(100ms);
        const long start = ContextSwitches(worker);
        std::this_thread::sleep_for(2s);
        state.counters["wakeups_per_s"] = (ContextSwitches(worker) - start) / 2.0;
    }
    std::filesystem::remove_all(dir);
}

}  // namespace

BENCHMARK(BM_FileLogChangeToEvent)
    ->UseManualTime()
    ->Iterations(1000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareInotifyRead)->UseManualTime()->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IdleWatcherWakeUps)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
