// Tour stop: a dataset log follows a real SQLite table through a data source
// while a row is edited and another inserted; the stop prints the lines it
// wrote and the statements it composed.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "Tour.h"
#include "dataset/LogDS.h"
#include "framework/DBTables.h"

namespace {

namespace fs = std::filesystem;
using namespace zr;

fs::path ScratchFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zrdemo-dataset-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw EInOutError("Cannot make a scratch folder");
    return pattern;
}

void PrintFile(std::ostream& out, const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out << "  | " << line << "\n";
    }
}

void ShowDatasetLog(std::ostream& out) {
    const fs::path folder = ScratchFolder();
    const std::string db = (folder / "shop.db").string();
    {
        TQuery setup(nullptr);
        setup.SetDatabaseName(db);
        setup.SQL()->SetText(
            "CREATE TABLE Customer (Id INTEGER PRIMARY KEY, Name TEXT NOT NULL,"
            " \"Last Name\" TEXT, City TEXT);"
            "INSERT INTO Customer (Name, \"Last Name\", City) VALUES"
            " ('Ann', 'Lee', 'Ghent'), ('Bob', 'Ray', 'Mons');");
        setup.ExecSQL();
    }
    TComponent form(nullptr);
    auto* customers = new TTable(&form);
    customers->SetDatabaseName(db);
    customers->SetTableName("Customer");
    auto* source = new TDataSource(&form);
    source->SetDataSet(customers);
    auto* log = new TKVDatasetLog(&form);
    log->SetLogFile((folder / "dataset.log").string());
    log->SetActive(true);
    log->SetOnSQLStatement(
        TKVLSQLStatementEvent::FromFunction([&out](TObject*, const std::string& sql) {
            out << "OnSQLStatement:\n";
            std::string text = sql;
            for (size_t at; (at = text.find("\r\n")) != std::string::npos;)
                text.replace(at, 2, "\n  ");
            out << "  " << text << "\n";
        }));
    log->SetDataSource(source);
    customers->Open();

    out << "Edit Ann: City Ghent -> Liege, Last Name Lee -> Lee-Smith\n";
    customers->Edit();
    customers->FieldByName("City")->SetAsString("Liege");
    customers->FieldByName("Last Name")->SetAsString("Lee-Smith");
    customers->Post();

    out << "Insert Cy of \"The Docks\" (no last name)\n";
    customers->Append();
    customers->FieldByName("Name")->SetAsString("Cy");
    customers->FieldByName("City")->SetAsString("\"The Docks\"");
    customers->Post();

    out << "Posting a row without its name is refused by SQLite:\n";
    customers->Append();
    try {
        customers->Post();
    } catch (const EDatabaseError& e) {
        out << "  EDatabaseError: " << e.Message()
            << " (still inserting: " << (customers->State() == dsInsert ? "yes" : "no") << ")\n";
    }
    customers->Cancel();
    customers->Close();

    out << "The log file " << log->LogFile() << ":\n";
    PrintFile(out, log->LogFile());
    out << "The table as a fresh connection reads it:\n";
    customers->Open();
    for (; !customers->Eof(); customers->Next()) {
        out << "  |";
        for (int i = 0; i < customers->FieldCount(); ++i)
            out << " " << customers->Fields(i)->AsString() << " |";
        out << "\n";
    }
    customers->Close();
    fs::remove_all(folder);
}

const bool registered = zrdemo::AddStop(
    {"Dataset log: a SQLite table edited and inserted into, its log lines and statements",
     ShowDatasetLog, 30});

}  // namespace
