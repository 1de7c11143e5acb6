// Moving a folder inside a watched tree: the bookkeeping of the tree's
// watches against the rename(2) that caused it, side by side in one run.
// The tree's watches are stand-ins (no kernel watch is made), so trees
// larger than the system's watch limit can be measured.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/InotifyTree.h"

namespace {

int nextWatch = 0;

int StandInWatch(int, const char*, std::uint32_t) {
    return ++nextWatch;
}

// The system call the bookkeeping follows: a folder renamed back and forth.
void BM_RenameSyscall(benchmark::State& state) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string dir =
        std::string(tmp && *tmp ? tmp : "/tmp") + "/zr-bench-tree-" + std::to_string(::getpid());
    std::filesystem::create_directories(dir + "/a");
    const std::string a = dir + "/a", b = dir + "/b";
    for (auto _ : state) {
        ::rename(a.c_str(), b.c_str());
        ::rename(b.c_str(), a.c_str());
    }
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_RenameSyscall);

// A tree of state.range(0) folders, ten below each of the top ones; one top
// folder (with its ten) is renamed back and forth.
void BM_TreeRename(benchmark::State& state) {
    zr::os::TInotifyTree tree(-1, 0, true, &StandInWatch);
    tree.AddRoot("/nonexistent-bench-root");
    const auto folders = state.range(0);
    for (std::int64_t top = 0; top < folders / 11; ++top) {
        const std::string path = "/nonexistent-bench-root/d" + std::to_string(top);
        tree.AddFolder(path, nullptr);
        for (int below = 0; below < 10; ++below)
            tree.AddFolder(path + "/e" + std::to_string(below), nullptr);
    }
    for (auto _ : state) {
        tree.Rename("/nonexistent-bench-root/d7", "/nonexistent-bench-root/moved");
        tree.Rename("/nonexistent-bench-root/moved", "/nonexistent-bench-root/d7");
    }
    state.counters["watches"] = static_cast<double>(tree.WatchCount());
}
BENCHMARK(BM_TreeRename)->Arg(1000)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
