// The registry calls beside the system calls they stand on, for keys of
// 1,000 and 10,000 values or subkeys:
//   query           vs one open + read + close of the key's values file;
//   set             vs writing the same bytes beside + fsync + rename;
//   enumerating all values or subkeys with a new handle (per entry, so the
//   two sizes compare directly: linear means the same time per entry);
//   4 processes of 2 threads each setting 10,000 values in one key at once,
//   against the same sets made one after another: no call may fail for want
//   of the lock (the counter failed_calls; the run aborts when it is not 0).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Registry.h"

namespace {

using namespace zr::os;

std::string ValueName(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "Value%05d", i);
    return name;
}

const std::string kText = "a short text of some twenty bytes";

// A scratch store holding, under HKEY_CURRENT_USER, "Values<N>" with N
// values and "Subkeys<N>" with N subkeys, made once per size.
class Store {
  public:
    static Store& Get() {
        static Store store;
        return store;
    }
    ~Store() { std::filesystem::remove_all(folder_); }

    // The files are written here rather than value by value or key by key:
    // making them through the calls would cost minutes before the first run.
    std::string KeyWithValues(int count) {
        std::string path = "Values" + std::to_string(count);
        RegCloseKey(Open(path));
        if (!std::filesystem::exists(ValuesFile(path))) {
            std::ofstream out(ValuesFile(path), std::ios::binary);
            for (int i = 0; i < count; ++i)
                out << '"' << ValueName(i) << "\"=sz:\"" << kText << "\"\n";
        }
        return path;
    }

    std::string KeyWithSubkeys(int count) {
        std::string path = "Subkeys" + std::to_string(count);
        RegCloseKey(Open(path));
        std::string folder = folder_ + "/HKEY_CURRENT_USER/" + path;
        for (int i = 0; i < count; ++i) ::mkdir((folder + "/" + ValueName(i)).c_str(), 0700);
        return path;
    }

    std::string ValuesFile(const std::string& key) const {
        return folder_ + "/HKEY_CURRENT_USER/" + key + "/%values";
    }
    const std::string& Folder() const { return folder_; }

    static HKEY Open(const std::string& path) {
        HKEY key = 0;
        RegCreateKeyEx(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                       &key, nullptr);
        return key;
    }

  private:
    Store() {
        const char* tmp = std::getenv("TMPDIR");
        folder_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/zr-bench-registry-" +
                  std::to_string(::getpid());
        ::setenv("ZORIRIVE_REGISTRY", folder_.c_str(), 1);
    }
    std::string folder_;
};

std::string ReadAll(const std::string& path) {
    std::string text;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
}

void BM_FloorOpenReadClose(benchmark::State& state) {
    std::string path = Store::Get().ValuesFile(Store::Get().KeyWithValues(int(state.range(0))));
    for (auto _ : state) benchmark::DoNotOptimize(ReadAll(path));
}

void BM_RegQueryValueEx(benchmark::State& state) {
    int count = int(state.range(0));
    HKEY key = Store::Open(Store::Get().KeyWithValues(count));
    std::vector<std::string> names;
    for (int i = 0; i < count; i += count / 16) names.push_back(ValueName(i));
    BYTE data[256];
    std::size_t at = 0;
    for (auto _ : state) {
        DWORD size = sizeof data;
        DWORD type = 0;
        if (RegQueryValueEx(key, names[at].c_str(), nullptr, &type, data, &size) != ERROR_SUCCESS)
            state.SkipWithError("query failed");
        at = (at + 1) % names.size();
    }
    RegCloseKey(key);
}

void BM_FloorWriteFsyncRename(benchmark::State& state) {
    std::string path = Store::Get().ValuesFile(Store::Get().KeyWithValues(int(state.range(0))));
    std::string text = ReadAll(path);
    std::string beside = Store::Get().Folder() + "/floor";
    std::string target = Store::Get().Folder() + "/floor.target";
    for (auto _ : state) {
        int fd = ::open(beside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (::write(fd, text.data(), text.size()) != ssize_t(text.size()) || ::fsync(fd) != 0)
            state.SkipWithError("write failed");
        ::close(fd);
        ::rename(beside.c_str(), target.c_str());
    }
}

void BM_RegSetValueEx(benchmark::State& state) {
    HKEY key = Store::Open(Store::Get().KeyWithValues(int(state.range(0))));
    std::string name = ValueName(int(state.range(0)) / 2);
    for (auto _ : state)
        if (RegSetValueEx(key, name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(kText.c_str()),
                          static_cast<DWORD>(kText.size() + 1)) != ERROR_SUCCESS)
            state.SkipWithError("set failed");
    RegCloseKey(key);
}

void BM_RegEnumValueAll(benchmark::State& state) {
    int count = int(state.range(0));
    std::string path = Store::Get().KeyWithValues(count);
    char name[64];
    BYTE data[256];
    for (auto _ : state) {
        HKEY key = Store::Open(path);
        DWORD index = 0;
        for (;; ++index) {
            DWORD length = sizeof name;
            DWORD size = sizeof data;
            if (RegEnumValue(key, index, name, &length, nullptr, nullptr, data, &size) !=
                ERROR_SUCCESS)
                break;
        }
        if (index != DWORD(count)) state.SkipWithError("values missing");
        RegCloseKey(key);
    }
    state.SetItemsProcessed(state.iterations() * count);
}

void BM_RegEnumKeyExAll(benchmark::State& state) {
    int count = int(state.range(0));
    std::string path = Store::Get().KeyWithSubkeys(count);
    char name[64];
    for (auto _ : state) {
        HKEY key = Store::Open(path);
        DWORD index = 0;
        for (;; ++index) {
            DWORD length = sizeof name;
            FILETIME written;
            if (RegEnumKeyEx(key, index, name, &length, nullptr, nullptr, nullptr, &written) !=
                ERROR_SUCCESS)
                break;
        }
        if (index != DWORD(count)) state.SkipWithError("subkeys missing");
        RegCloseKey(key);
    }
    state.SetItemsProcessed(state.iterations() * count);
}

constexpr int ContendingProcesses = 4;
constexpr int ThreadsPerProcess = 2;

// Sets `count` values in the key, ten names per thread over and over; the
// number of calls that failed.
int SetMany(const std::string& path, int thread, int count) {
    HKEY key = Store::Open(path);
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        const std::string name = "T" + std::to_string(::getpid()) + "." + std::to_string(thread) +
                                 "." + std::to_string(i % 10);
        if (RegSetValueEx(key, name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(kText.c_str()),
                          static_cast<DWORD>(kText.size() + 1)) != ERROR_SUCCESS)
            ++failed;
    }
    RegCloseKey(key);
    return failed;
}

void BM_ContendedSets(benchmark::State& state) {
    const int sets = static_cast<int>(state.range(0));
    Store::Get();  // the scratch store, never the user's
    const std::string path = "Contended";
    RegCloseKey(Store::Open(path));
    int failed = 0;
    for (auto _ : state) {
        int results[2];
        if (::pipe(results) != 0) std::abort();
        std::vector<pid_t> children;
        for (int p = 0; p < ContendingProcesses; ++p) {
            const pid_t child = ::fork();
            if (child == 0) {
                std::atomic<int> lost{0};
                std::vector<std::thread> threads;
                for (int t = 0; t < ThreadsPerProcess; ++t)
                    threads.emplace_back([&, t] { lost += SetMany(path, t, sets); });
                for (auto& thread : threads) thread.join();
                const int count = lost;
                _exit(::write(results[1], &count, sizeof count) == sizeof count ? 0 : 1);
            }
            children.push_back(child);
        }
        ::close(results[1]);
        for (pid_t child : children) {
            int count = 0, status = 0;
            if (::read(results[0], &count, sizeof count) != sizeof count) std::abort();
            failed += count;
            ::waitpid(child, &status, 0);
        }
        ::close(results[0]);
    }
    state.counters["failed_calls"] = failed;
    state.SetItemsProcessed(state.iterations() * ContendingProcesses * ThreadsPerProcess * sets);
    if (failed != 0) {
        std::fprintf(stderr, "BM_ContendedSets: %d calls failed for want of the lock\n", failed);
        std::abort();
    }
}

void BM_FloorSetsOneAfterAnother(benchmark::State& state) {
    const int sets = static_cast<int>(state.range(0));
    Store::Get();
    for (auto _ : state)
        if (SetMany("Serial", 0, sets * ContendingProcesses * ThreadsPerProcess) != 0)
            state.SkipWithError("set failed");
    state.SetItemsProcessed(state.iterations() * ContendingProcesses * ThreadsPerProcess * sets);
}

BENCHMARK(BM_FloorOpenReadClose)->Arg(1000)->Arg(10000);
BENCHMARK(BM_RegQueryValueEx)->Arg(1000)->Arg(10000);
BENCHMARK(BM_FloorWriteFsyncRename)->Arg(1000)->Arg(10000);
BENCHMARK(BM_RegSetValueEx)->Arg(1000)->Arg(10000);
BENCHMARK(BM_RegEnumValueAll)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RegEnumKeyExAll)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ContendedSets)->Arg(10000)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_FloorSetsOneAfterAnother)
    ->Arg(10000)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
