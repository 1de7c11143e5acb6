// The dataset log's cost per posted record, as a user of the data set pays
// it: the same edit of a three-field record posted to a memory data set of
// its own (no data source, no log) and to one whose log writes one line per
// post (dbeUpdateData), beside the raw alternative, WriteAsString of that
// line alone. The data source the log needs is part of the log's cost: a
// baseline that has one hides it.
//
// The three run interleaved in short batches in one benchmark and are timed
// by the thread's CPU clock: timed one after another as benchmarks of their
// own, or by the wall clock, they fall into different moments of a shared
// machine, and their difference, which is what is measured, drowns in the
// drift and in the time spent waiting for a processor.
//
// AddedWrites = (post with log - post alone) / WriteAsString: what the log
// adds to a post in writes of its own line (at most 1.3 is the target). The
// first variant has no OnSQLStatement handler, the second also composes
// each UPDATE.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "dataset/LogDS.h"

namespace {

constexpr int kBatches = 1000;
constexpr int kBatch = 50;

// Nanoseconds of processor time this thread has used.
double ThreadNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

std::string BenchFile(const char* name) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = tmp && *tmp ? tmp : "/tmp";
    return dir + "/zr-bench-" + std::to_string(::getpid()) + "-" + name + ".log";
}

struct Customers {
    zr::TComponent form{nullptr};
    zr::TMemoryDataSet* data = new zr::TMemoryDataSet(&form);
    zr::TDataSource* source = new zr::TDataSource(&form);
    zr::TField* fields[3] = {};
    std::size_t statementBytes = 0;

    explicit Customers(bool linked) {
        data->AddFieldDef("Name", zr::ftString);
        data->AddFieldDef("City", zr::ftString);
        data->AddFieldDef("Credit", zr::ftInteger);
        data->Open();
        data->Append();
        for (int i = 0; i < 3; ++i) fields[i] = data->Fields(i);
        fields[0]->SetAsString("Ann");
        fields[1]->SetAsString("Ghent");
        fields[2]->SetAsInteger(0);
        data->Post();
        if (linked) source->SetDataSet(data);
    }
    void PostEdit(int n) {
        data->Edit();
        fields[0]->SetAsString(n % 2 ? "Ann" : "Anna");
        fields[1]->SetAsString(n % 2 ? "Ghent" : "Liege");
        fields[2]->SetAsInteger(n);
        data->Post();
    }
    zr::TKVDatasetLog* Log(const char* file, bool composeStatements) {
        auto* log = new zr::TKVDatasetLog(&form);
        log->SetLogFile(BenchFile(file));
        log->ClearLog();
        log->SetFilterEvents({zr::dbeUpdateData});
        if (composeStatements)
            log->SetOnSQLStatement(zr::TKVLSQLStatementEvent::FromFunction(
                [this](zr::TObject*, const std::string& sql) { statementBytes += sql.size(); }));
        log->SetDataSource(source);
        log->SetActive(true);
        return log;
    }
};

void PostsWithAndWithoutLog(benchmark::State& state, bool composeStatements) {
    Customers alone(false), logged(true);
    zr::TKVDatasetLog* log = logged.Log("datasetlog", composeStatements);
    zr::TKVLogBase writer(nullptr);
    writer.SetLogFile(BenchFile("writeasstring"));
    writer.ClearLog();
    const std::string line = "07.12.2026 10:45:12 dbeUpdateData\r\n";
    double post = 0, postWithLog = 0, write = 0;
    int n = 0;
    for (auto _ : state) {
        const double t0 = ThreadNanoseconds();
        for (int i = 0; i < kBatch; ++i) alone.PostEdit(n + i);
        const double t1 = ThreadNanoseconds();
        for (int i = 0; i < kBatch; ++i) logged.PostEdit(n + i);
        const double t2 = ThreadNanoseconds();
        for (int i = 0; i < kBatch; ++i) writer.WriteAsString(line);
        const double t3 = ThreadNanoseconds();
        post += t1 - t0;
        postWithLog += t2 - t1;
        write += t3 - t2;
        n += kBatch;
    }
    const double records = n;
    state.counters["PostUs"] = post / records / 1e3;
    state.counters["PostWithLogUs"] = postWithLog / records / 1e3;
    state.counters["WriteAsStringUs"] = write / records / 1e3;
    state.counters["AddedWrites"] = (postWithLog - post) / write;
    state.SetItemsProcessed(n);
    benchmark::DoNotOptimize(logged.statementBytes);
    log->ClearLog();
    writer.ClearLog();
}

void BM_DatasetLogAddedCostPerPost(benchmark::State& state) {
    PostsWithAndWithoutLog(state, false);
}

void BM_DatasetLogAddedCostPerPostComposingUpdates(benchmark::State& state) {
    PostsWithAndWithoutLog(state, true);
}

}  // namespace

BENCHMARK(BM_DatasetLogAddedCostPerPost)->Iterations(kBatches);
BENCHMARK(BM_DatasetLogAddedCostPerPostComposingUpdates)->Iterations(kBatches);

BENCHMARK_MAIN();
