// Looking an address up in the map of a program of 20 000 functions, against
// one run of the binary tools' address-to-line program for the same address.
//
// The program is generated and compiled (with -g, by $CXX or c++) when the
// benchmark starts, and its map is written by zrmap: $ZR_ZRMAP, else the
// zrmap of the build tree this benchmark belongs to.
//
//   BM_FirstLookup      a new reader: reads the map, then resolves
//   BM_LaterLookup      the same reader again: the kept lines only
//   BM_LaterLookupInlined
//                       the same for an address inside three levels of
//                       inlined calls, the three frames read as a report does
//   BM_Addr2lineProcess one `addr2line -f -C -e <program> <address>` process
//   BM_MapLookup/map:0|1/scan:0|1
//                       later lookups of addresses all over a map, through the
//                       index and by the scans it replaced: map 0 is the
//                       demo's map (when the benchmark runs in its build
//                       tree), map 1 the generated program's
#include <benchmark/benchmark.h>
#include <elf.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <string>
#include <vector>

#include "exception/KVMapFile.h"

extern char** environ;

namespace {

constexpr int kFunctions = 20000;  // a map ten times the demo's
// Near the end of the code, so the lookups scan (nearly) every kept line.
constexpr int kTargetFunction = kFunctions - 3;

struct TProgram {
    std::string Folder, Executable, Map;
    std::uint64_t CodeStart = 0;  // link-time start of the first code segment
    std::uint32_t Offset = 0;     // the looked-up address, as a map offset
    std::string Expected;         // the procedure the map must name there
    std::uint32_t InlinedOffset = 0;  // an offset inside three inlined levels
};
TProgram program;

// Runs a program and waits for it; its output goes to /dev/null when quiet.
int Spawn(const std::vector<std::string>& args, bool quiet) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void WriteSource(const std::string& path) {
    std::ofstream out(path);
    out << "namespace gen {\n";
    for (int i = 0; i < kFunctions; ++i)
        out << "[[gnu::noinline]] int f" << i << "(int x) {\n    int y = x * " << (i % 7 + 2)
            << " + " << i << ";\n    if (y > 1000) y -= x;\n    return y;\n}\n";
    // Three levels of inlined calls inside one function.
    out << "[[gnu::always_inline]] inline int in3(int x) { return x * x + 7; }\n"
           "[[gnu::always_inline]] inline int in2(int x) { return in3(x) - x; }\n"
           "[[gnu::always_inline]] inline int in1(int x) { return in2(x) * 3; }\n"
           "[[gnu::noinline]] int inlined(int x) { return in1(x) + 1; }\n";
    out << "}  // namespace gen\nint (*const table[])(int) = {\n    gen::inlined,\n";
    for (int i = 0; i < kFunctions; ++i) out << "    gen::f" << i << ",\n";
    out << "};\nint main(int argc, char**) { return table[argc % " << kFunctions
        << "](argc) & 1; }\n";
}

std::string ZrMapPath() {
    if (const char* path = std::getenv("ZR_ZRMAP"); path && *path) return path;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    return (self.parent_path().parent_path() / "tools" / "zrmap" / "zrmap").string();
}

// The first loadable segment with execute permission, as the map counts.
bool ReadCodeStart(const std::string& path, std::uint64_t& start) {
    std::ifstream in(path, std::ios::binary);
    Elf64_Ehdr header{};
    if (!in.read(reinterpret_cast<char*>(&header), sizeof header)) return false;
    for (int i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr segment{};
        in.seekg(static_cast<std::streamoff>(header.e_phoff + i * sizeof segment));
        if (!in.read(reinterpret_cast<char*>(&segment), sizeof segment)) return false;
        if (segment.p_type == PT_LOAD && (segment.p_flags & PF_X)) {
            start = segment.p_vaddr;
            return true;
        }
    }
    return false;
}

const void* MapAddress() {
    return reinterpret_cast<const void*>(std::uintptr_t{zr::TKVMapFile::kCodeBase} +
                                         program.Offset);
}

bool Prepare() {
    char folder[] = "/tmp/zr-bench-map-XXXXXX";
    if (mkdtemp(folder) == nullptr) return false;
    program.Folder = folder;
    program.Executable = program.Folder + "/generated";
    program.Map = program.Executable + ".map";
    std::string source = program.Folder + "/generated.cpp";
    WriteSource(source);
    const char* cxx = std::getenv("CXX");
    std::fprintf(stderr, "compiling a program of %d functions...\n", kFunctions);
    if (Spawn({cxx && *cxx ? cxx : "c++", "-g", "-O1", "-o", program.Executable, source}, false) !=
            0 ||
        Spawn({ZrMapPath(), program.Executable}, false) != 0 ||
        !ReadCodeStart(program.Executable, program.CodeStart))
        return false;

    // Find the target function's offset among the map's publics.
    program.Expected = "gen::f" + std::to_string(kTargetFunction) + "(int)";
    zr::TKVMapFile map;
    map.SetMapFileName(program.Map);
    map.LoadMapFile();
    for (const std::string& line : map.Publics().Lines())
        if (line.size() > 21 && line.substr(21) == program.Expected)
            program.Offset =
                static_cast<std::uint32_t>(std::stoul(line.substr(6, 8), nullptr, 16)) + 4;
    for (const std::string& line : map.Publics().Lines()) {
        if (line.size() <= 21 || line.substr(21) != "gen::inlined(int)") continue;
        const auto start = static_cast<std::uint32_t>(std::stoul(line.substr(6, 8), nullptr, 16));
        for (std::uint32_t o = start; o < start + 64 && program.InlinedOffset == 0; ++o)
            if (map.Inlined(o).Count() == 3) program.InlinedOffset = o;
    }
    if (program.InlinedOffset == 0) std::fprintf(stderr, "no code with three inlined levels\n");
    map.LoadExceptionData(MapAddress());
    std::fprintf(stderr, "map %s: %d public lines, %d line-number lines; %s is in %s, line %d\n",
                 program.Map.c_str(), map.Publics().Count(), map.LineNumbers().Count(),
                 program.Expected.c_str(), map.UnitName().c_str(), map.LineNumber());
    return map.ProcedureName() == program.Expected && map.LineNumber() > 0;
}

void BM_FirstLookup(benchmark::State& state) {
    for (auto _ : state) {
        zr::TKVMapFile map;
        map.SetMapFileName(program.Map);
        map.LoadExceptionData(MapAddress());
        benchmark::DoNotOptimize(map.LineNumber());
    }
}
BENCHMARK(BM_FirstLookup)->Unit(benchmark::kMillisecond);

void BM_LaterLookup(benchmark::State& state) {
    zr::TKVMapFile map;
    map.SetMapFileName(program.Map);
    map.LoadExceptionData(MapAddress());
    for (auto _ : state) {
        map.LoadExceptionData(MapAddress());
        benchmark::DoNotOptimize(map.LineNumber());
    }
}
BENCHMARK(BM_LaterLookup)->Unit(benchmark::kMicrosecond);

void BM_LaterLookupInlined(benchmark::State& state) {
    zr::TKVMapFile map;
    map.SetMapFileName(program.Map);
    map.LoadMapFile();
    if (program.InlinedOffset == 0) {
        state.SkipWithError("no code with three inlined levels");
        return;
    }
    for (auto _ : state) {
        const auto found = map.Resolve(program.InlinedOffset);
        const zr::TKVMapInlined::TChain chain = map.Inlined(program.InlinedOffset);
        int lines = found.Line;
        for (size_t k = 0; k < chain.Count(); ++k) lines += chain[k].Line;
        benchmark::DoNotOptimize(lines);
    }
}
BENCHMARK(BM_LaterLookupInlined)->Unit(benchmark::kMicrosecond);

void BM_Addr2lineProcess(benchmark::State& state) {
    char address[32];
    std::snprintf(address, sizeof address, "0x%" PRIx64, program.CodeStart + program.Offset);
    for (auto _ : state) {
        if (Spawn({"addr2line", "-f", "-C", "-e", program.Executable, address}, true) != 0) {
            state.SkipWithError("addr2line failed");
            break;
        }
    }
}
BENCHMARK(BM_Addr2lineProcess)->Unit(benchmark::kMillisecond);

// Public offsets of a map, shuffled: lookups all over it.
std::vector<std::uint32_t> OffsetsAllOver(const zr::TKVMapFile& map) {
    std::vector<std::uint32_t> offsets;
    for (const std::string& line : map.Publics().Lines())
        if (line.size() > 14 && line[5] == ':')
            offsets.push_back(
                static_cast<std::uint32_t>(std::stoul(line.substr(6, 8), nullptr, 16)) + 3);
    std::shuffle(offsets.begin(), offsets.end(), std::mt19937(1));
    if (offsets.size() > 4096) offsets.resize(4096);
    return offsets;
}

std::string DemoMap() {
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    return (self.parent_path().parent_path() / "demo" / "zrdemo.map").string();
}

void BM_MapLookup(benchmark::State& state) {
    zr::TKVMapFile map;
    map.SetMapFileName(state.range(0) == 0 ? DemoMap() : program.Map);
    map.LoadMapFile();
    const std::vector<std::uint32_t> offsets = OffsetsAllOver(map);
    if (offsets.empty()) {
        state.SkipWithError("no map");
        return;
    }
    const bool scan = state.range(1) != 0;
    size_t i = 0;
    for (auto _ : state) {
        const std::uint32_t offset = offsets[i++ % offsets.size()];
        const auto found = scan ? map.ResolveByScan(offset) : map.Resolve(offset);
        benchmark::DoNotOptimize(found.Line);
    }
    state.counters["map_kb"] =
        static_cast<double>(std::filesystem::file_size(map.MapFileName())) / 1024;
}
BENCHMARK(BM_MapLookup)
    ->ArgNames({"map", "scan"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    bool ready = Prepare();
    if (ready)
        benchmark::RunSpecifiedBenchmarks();
    else
        std::fprintf(stderr, "could not build the generated program and its map\n");
    benchmark::Shutdown();
    std::filesystem::remove_all(program.Folder);
    return ready ? 0 : 1;
}
