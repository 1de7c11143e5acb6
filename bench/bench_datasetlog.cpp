// The dataset log's cost per posted record: posting edits of a three-field
// record with no log, the same with a dataset log that composes each UPDATE
// (OnSQLStatement assigned) and writes the dbeUpdateData line, and the one
// WriteAsString per record that the log should add no more than. Records
// live in the in-memory data set, so the store's own cost does not hide the
// log's.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "dataset/LogDS.h"

namespace {

constexpr int kRecords = 100000;

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
    void Log(zr::TKVDatasetLog* log) {
        log->SetLogFile(BenchFile("datasetlog"));
        log->ClearLog();
        log->SetFilterEvents({zr::dbeUpdateData});
        log->SetOnSQLStatement(zr::TKVLSQLStatementEvent::FromFunction(
            [this](zr::TObject*, const std::string& sql) { statementBytes += sql.size(); }));
        log->SetDataSource(source);
        log->SetActive(true);
    }
};

void BM_PostEditsWithoutLog(benchmark::State& state) {
    Customers customers;
    int n = 0;
    for (auto _ : state) customers.PostEdit(++n);
    state.SetItemsProcessed(state.iterations());
}

void BM_PostEditsWithDatasetLog(benchmark::State& state) {
    Customers customers;
    auto* log = new zr::TKVDatasetLog(&customers.form);
    customers.Log(log);
    int n = 0;
    for (auto _ : state) customers.PostEdit(++n);
    state.SetItemsProcessed(state.iterations());
    benchmark::DoNotOptimize(customers.statementBytes);
    log->ClearLog();
}

// The line the log writes per record, "<date> <time> dbeUpdateData\r\n".
void BM_WriteAsStringPerRecord(benchmark::State& state) {
    zr::TKVLogBase log(nullptr);
    log.SetLogFile(BenchFile("writeasstring"));
    log.ClearLog();
    const std::string line = "07.12.2026 10:45:12 dbeUpdateData\r\n";
    for (auto _ : state) log.WriteAsString(line);
    state.SetItemsProcessed(state.iterations());
    log.ClearLog();
}

}  // namespace

BENCHMARK(BM_PostEditsWithoutLog)->Iterations(kRecords);
BENCHMARK(BM_PostEditsWithDatasetLog)->Iterations(kRecords);
BENCHMARK(BM_WriteAsStringPerRecord)->Iterations(kRecords);

BENCHMARK_MAIN();
