// The dataset log's cost per posted record, as a user of the data set pays
// it: the same edit of a three-field record posted to a memory data set
// without a log and to one whose log writes one line per post
// (dbeUpdateData), beside the raw alternative, WriteAsString of that line
// alone. The three run interleaved, record by record, in one benchmark: timed
// one after another they fall into different moments of a shared machine
// and their difference, which is what matters, drowns in the drift.
//
// AddedWrites = (post with log - post alone) / WriteAsString: what the log
// costs a post in writes of its own line. The first variant has no
// OnSQLStatement handler, the second composes each UPDATE as well.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "dataset/LogDS.h"

namespace {

constexpr int kRecords = 50000;

using Clock = std::chrono::steady_clock;

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

    Customers() {
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
        source->SetDataSet(data);
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

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void PostsWithAndWithoutLog(benchmark::State& state, bool composeStatements) {
    Customers alone, logged;
    zr::TKVDatasetLog* log = logged.Log("datasetlog", composeStatements);
    zr::TKVLogBase writer(nullptr);
    writer.SetLogFile(BenchFile("writeasstring"));
    writer.ClearLog();
    const std::string line = "07.12.2026 10:45:12 dbeUpdateData\r\n";
    Clock::duration post{}, postWithLog{}, write{};
    int n = 0;
    for (auto _ : state) {
        ++n;
        const auto t0 = Clock::now();
        alone.PostEdit(n);
        const auto t1 = Clock::now();
        logged.PostEdit(n);
        const auto t2 = Clock::now();
        writer.WriteAsString(line);
        const auto t3 = Clock::now();
        post += t1 - t0;
        postWithLog += t2 - t1;
        write += t3 - t2;
    }
    const double records = static_cast<double>(n);
    state.counters["PostUs"] = Seconds(post) * 1e6 / records;
    state.counters["PostWithLogUs"] = Seconds(postWithLog) * 1e6 / records;
    state.counters["WriteAsStringUs"] = Seconds(write) * 1e6 / records;
    state.counters["AddedWrites"] = Seconds(postWithLog - post) / Seconds(write);
    state.SetItemsProcessed(state.iterations());
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

BENCHMARK(BM_DatasetLogAddedCostPerPost)->Iterations(kRecords);
BENCHMARK(BM_DatasetLogAddedCostPerPostComposingUpdates)->Iterations(kRecords);

BENCHMARK_MAIN();
