// What a crash collector costs the application. Raise -> report on disk:
// the exception log writing its report alone, against the same with a
// collector set that accepts and never answers (the raiser also composes the
// event and puts the envelope into the outbox; syncing, sending and making
// files ahead are the sender thread's). Exit: a
// program that reports once and ends, alone, against the same with its
// collector on a port that accepts and never answers.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "exception/LogError.h"
#include "framework/Application.h"
#include "platform/CollectorSender.h"

extern char** environ;

namespace {

// A folder of its own for each run (the benchmark repeats a run).
std::string Scratch(const char* name) {
    static int runs = 0;
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/zr-bench-collector-" +
           std::to_string(getpid()) + "-" + name + "-" + std::to_string(++runs);
}

// A port where connections are accepted by the kernel and never answered.
int SilentPort(int& listener) {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 128);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

void RaiseAndReport(benchmark::State& state, bool collector) {
    const std::string folder = Scratch(collector ? "with" : "without");
    std::filesystem::create_directories(folder);
    setenv("ZORIRIVE_COLLECTOR_OUTBOX", (folder + "/outbox").c_str(), 1);
    int listener = -1;
    const int port = SilentPort(listener);
    auto* log = new zr::TKVExceptionLog(nullptr);
    log->SetLogFile(folder + "/kvevents.log");
    log->SetErrorDialog(zr::edNone);
    if (collector)
        log->SendTo()->SetCollector("http://0123abcd@127.0.0.1:" + std::to_string(port) + "/1");
    log->SetActive(true);
    int n = 0;
    for (auto _ : state) {
        try {
            throw zr::EConvertError("order " + std::to_string(++n) + " refused");
        } catch (...) {
            zr::Application->HandleException(zr::Application);
        }
    }
    state.SetItemsProcessed(state.iterations());
    delete log;
    close(listener);
    std::error_code ignored;  // the sender may be removing files meanwhile
    std::filesystem::remove_all(folder, ignored);
}

void BM_RaiseToReport_LogOnly(benchmark::State& state) {
    RaiseAndReport(state, false);
}
void BM_RaiseToReport_WithCollector(benchmark::State& state) {
    RaiseAndReport(state, true);
}

// Runs the program that reports once and ends; its whole life is timed.
void RunReportingProgram(benchmark::State& state, bool collector) {
    const std::string folder = Scratch(collector ? "exit-with" : "exit-without");
    std::filesystem::create_directories(folder);
    int listener = -1;
    const int port = SilentPort(listener);
    setenv("ZORIRIVE_COLLECTOR_OUTBOX", (folder + "/outbox").c_str(), 1);
    if (collector)
        setenv("ZORIRIVE_COLLECTOR", ("https://0123abcd@127.0.0.1:" + std::to_string(port) + "/1").c_str(), 1);
    const std::string log = folder + "/kvevents.log";
    const char* argv[] = {ZR_COLLECTOR_PROGRAM, "quick:1", log.c_str(), nullptr};
    for (auto _ : state) {
        pid_t pid = 0;
        if (posix_spawn(&pid, ZR_COLLECTOR_PROGRAM, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
            state.SkipWithError("the program did not start");
            break;
        }
        int status = 0;
        waitpid(pid, &status, 0);
    }
    unsetenv("ZORIRIVE_COLLECTOR");
    close(listener);
    std::error_code ignored;  // the sender may be removing files meanwhile
    std::filesystem::remove_all(folder, ignored);
}

void BM_ExitAfterReport_NoCollector(benchmark::State& state) {
    RunReportingProgram(state, false);
}
void BM_ExitAfterReport_UnreachableCollector(benchmark::State& state) {
    RunReportingProgram(state, true);
}

}  // namespace

BENCHMARK(BM_RaiseToReport_LogOnly);
BENCHMARK(BM_RaiseToReport_WithCollector);
BENCHMARK(BM_ExitAfterReport_NoCollector)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_ExitAfterReport_UnreachableCollector)->Unit(benchmark::kMillisecond)->Iterations(20);

int main(int argc, char** argv) {
    setenv("ZORIRIVE_HEADLESS", "1", 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
