// WriteAsString against the system calls it stands for: open, seek to the
// end, write, close, once per text. Both append 70 bytes to one file per run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/LogBase.h"

namespace {

const std::string kText(68, 'x');
const std::string kLine = kText + "\r\n";  // 70 bytes

std::string BenchFile(const char* name) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = tmp && *tmp ? tmp : "/tmp";
    return dir + "/zr-bench-" + std::to_string(::getpid()) + "-" + name + ".log";
}

void BM_WriteAsString(benchmark::State& state) {
    static zr::TKVLogBase* log = nullptr;
    if (state.thread_index() == 0) {
        log = new zr::TKVLogBase(nullptr);
        log->SetLogFile(BenchFile("component"));
        log->ClearLog();
    }
    for (auto _ : state) log->WriteAsString(kLine);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kLine.size()));
    if (state.thread_index() == 0) {
        log->ClearLog();
        delete log;
        log = nullptr;
    }
}

void BM_PlainSystemCalls(benchmark::State& state) {
    static std::string file;
    if (state.thread_index() == 0) {
        file = BenchFile("plain");
        std::remove(file.c_str());
    }
    for (auto _ : state) {
        int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd == -1) {
            state.SkipWithError("open failed");
            break;
        }
        ::lseek(fd, 0, SEEK_END);
        benchmark::DoNotOptimize(::write(fd, kLine.data(), kLine.size()));
        ::close(fd);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kLine.size()));
    if (state.thread_index() == 0) std::remove(file.c_str());
}

BENCHMARK(BM_WriteAsString)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_PlainSystemCalls)->Threads(1)->Threads(4)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
