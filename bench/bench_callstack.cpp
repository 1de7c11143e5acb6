// What call stacks cost, side by side in one run:
//
//   BM_ThrowCatch/asked:0|1        a framework exception thrown 20 calls deep
//                                  and caught, without and with a log asking
//                                  for call stacks; with varied:1 every other
//                                  throw comes through another caller, so no
//                                  throw finds its stack as the last one was
//   BM_ReportOnDisk/stack:0|1      the same exception handed to an active
//                                  exception log that appends its report to a
//                                  file, without and with lfCallStack: 20
//                                  physical frames, each with two functions
//                                  inlined into it, looked up in the
//                                  benchmark's own map
//   BM_WalkStack                   the unwinder's walk alone, 20 calls deep
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "exception/LogError.h"
#include "framework/Application.h"
#include "framework/ExceptAddr.h"

namespace {

constexpr int kDepth = 20;
volatile int sink = 0;

void Raise(int depth);

// Inlined into every level, as small helpers are in optimised code.
[[gnu::always_inline]] inline void Descend(int depth) {
    Raise(depth - 1);
    sink = sink + 1;
}
[[gnu::always_inline]] inline void Step(int depth) {
    Descend(depth);
    sink = sink + 2;
}

[[gnu::noinline]] void Raise(int depth) {
    if (depth == 0) throw zr::EConvertError("'x' is not a valid integer value");
    Step(depth);
    sink = sink + 1;  // not a tail call: every level keeps its frame
}

// The same throw reached through another caller: a stack that differs from
// the last one all the way.
[[gnu::noinline]] void RaiseThroughOther() {
    Raise(kDepth - 1);
    sink = sink + 1;
}

[[gnu::noinline]] int Walk(int depth) {
    if (depth == 0) {
        void* frames[zr::kMaxCallFrames];
        return zr::WalkStack(frames, zr::kMaxCallFrames);
    }
    const int count = Walk(depth - 1);
    sink = sink + 1;
    return count;
}

void BM_ThrowCatch(benchmark::State& state) {
    const bool asked = state.range(0) != 0;
    const bool varied = state.range(1) != 0;
    if (asked) zr::RequestCallStacks();
    bool other = false;
    for (auto _ : state) {
        try {
            if (other)
                RaiseThroughOther();
            else
                Raise(kDepth);
        } catch (const zr::Exception& e) {
            benchmark::DoNotOptimize(&e);
        }
        other = varied && !other;
    }
    if (asked) zr::ReleaseCallStacks();
}
BENCHMARK(BM_ThrowCatch)
    ->ArgNames({"asked", "varied"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1});

void BM_WalkStack(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(Walk(kDepth));
}
BENCHMARK(BM_WalkStack);

void BM_ReportOnDisk(benchmark::State& state) {
    const std::string folder =
        std::filesystem::temp_directory_path() / ("zr-bench-stack-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    {
        zr::TKVExceptionLog log(nullptr);
        log.SetLogFile(folder + "/report.log");
        log.SetErrorDialog(zr::edNone);
        log.MapFile()->SetMapFileName(std::filesystem::read_symlink("/proc/self/exe").string() +
                                      ".map");
        zr::TKVLFormats formats = zr::KVLDefaultFormats;
        formats = formats.Include(zr::lfExceptionClassName).Include(zr::lfSourceLine);
        if (state.range(0) != 0) formats = formats.Include(zr::lfCallStack);
        log.SetFormats(formats);
        log.SetActive(true);
        for (auto _ : state) {
            try {
                Raise(kDepth);
            } catch (zr::Exception& e) {
                log.DoException(nullptr, e);
            }
            state.PauseTiming();
            std::filesystem::resize_file(folder + "/report.log", 0);
            state.ResumeTiming();
        }
    }
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_ReportOnDisk)->ArgName("stack")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
