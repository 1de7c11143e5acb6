// The dataset log over a real SQLite table: its lines, its statements, and
// the data source it follows.
#include "dataset/LogDS.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/LogTestSupport.h"
#include "framework/Application.h"
#include "framework/DBTables.h"
#include "framework/FormReader.h"
#include "framework/FormatSettings.h"

using namespace zr;

namespace {

struct DatasetLog : zr::testing::ScratchFolder {
    TComponent form{nullptr};
    std::string db, logFile;
    TTable* table = nullptr;
    TDataSource* source = nullptr;
    TKVDatasetLog* log = nullptr;
    std::vector<std::string> statements;
    std::vector<std::string> calls;  // "SQL" and "OnChange <kind>", in order

    void SetUp() override {
        ScratchFolder::SetUp();
        db = Path("shop.db");
        logFile = Path("ds.log");
        Exec(
            "CREATE TABLE \"customer.db\" (Name TEXT, \"Last Name\" TEXT, City TEXT);"
            "INSERT INTO \"customer.db\" VALUES ('Ann', 'Lee', 'Ghent'), ('Bob', 'Ray', 'Mons');"
            "CREATE TABLE Orders (Id INTEGER PRIMARY KEY, Item TEXT);"
            "INSERT INTO Orders VALUES (1, 'pen');");
        table = new TTable(&form);
        table->SetDatabaseName(db);
        table->SetTableName("customer.db");
        table->Open();
        source = new TDataSource(&form);
        source->SetDataSet(table);
        log = new TKVDatasetLog(&form);
        log->SetLogFile(logFile);
        log->SetActive(true);
        log->SetOnSQLStatement(
            TKVLSQLStatementEvent::FromFunction([this](TObject*, const std::string& sql) {
                statements.push_back(sql);
                calls.push_back("SQL");
            }));
        log->SetOnChange(TKVLDataChangeEvent::FromFunction(
            [this](TObject*, TKVLDBTypeEvent state, TField*, std::string&) {
                calls.push_back("OnChange " + GetEnumName(EnumInfo<TKVLDBTypeEvent>(), state));
            }));
    }
    void Exec(const std::string& sql) {
        TQuery q(nullptr);
        q.SetDatabaseName(db);
        q.SQL()->SetText(sql);
        q.ExecSQL();
    }
    // The log file's lines without their time stamps; each line must end in
    // CR LF and carry a stamp before its kind.
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        const std::string text = Content(logFile);
        for (size_t at = 0; at < text.size();) {
            const size_t end = text.find("\r\n", at);
            EXPECT_NE(end, std::string::npos) << "unterminated line";
            if (end == std::string::npos) break;
            const std::string line = text.substr(at, end - at);
            const size_t kind = line.find(" dbe");
            EXPECT_NE(kind, std::string::npos) << line;
            EXPECT_GT(kind, 0u) << line;
            lines.push_back(kind == std::string::npos ? line : line.substr(kind + 1));
            at = end + 2;
        }
        return lines;
    }
};

using Texts = std::vector<std::string>;

}  // namespace

TEST_F(DatasetLog, EditOfTwoFieldsLogsEachNotificationAndUpdatesTheChangedFieldsOnly) {
    log->SetDataSource(source);
    table->Edit();
    table->FieldByName("Name")->SetAsString("Anna");
    table->FieldByName("City")->SetAsString("Liege");
    table->Post();
    table->Next();
    EXPECT_EQ(Lines(), (Texts{"dbeActiveChanged", "dbeActiveChanged", "dbeEditingChanged",
                              "dbeRecordChanged", "dbeRecordChanged Name:Anna",
                              "dbeRecordChanged City:Liege", "dbeUpdateData", "dbeEditingChanged",
                              "dbeDataSetChanged", "dbeDataSetScrolled"}));
    ASSERT_EQ(statements.size(), 1u);
    EXPECT_EQ(statements[0],
              "UPDATE customer\r\nSET\r\n  Name=\"Anna\", City=\"Liege\"\r\n"
              "WHERE\r\n  (Name=\"Ann\") AND (City=\"Ghent\")");
    // The statement comes before the line's OnChange.
    const auto sql = std::find(calls.begin(), calls.end(), "SQL");
    ASSERT_NE(sql, calls.end());
    EXPECT_EQ(*(sql + 1), "OnChange dbeUpdateData");
}

TEST_F(DatasetLog, InsertListsTheGivenFieldsQuotingBlanksAndDoublingQuotes) {
    log->SetDataSource(source);
    table->Insert();
    table->FieldByName("Name")->SetAsString("Say \"hi\"");
    table->FieldByName("Last Name")->SetAsString("Smith");
    table->Post();
    ASSERT_EQ(statements.size(), 1u);
    EXPECT_EQ(statements[0],
              "INSERT INTO customer\r\n  (Name, \"Last Name\")\r\n"
              "VALUES\r\n  (\"Say \"\"hi\"\"\", \"Smith\")");
    // The log line names the field as it is.
    const Texts lines = Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "dbeRecordChanged Last Name:Smith"),
              lines.end());

    statements.clear();
    table->Edit();
    table->FieldByName("Last Name")->Clear();
    table->Post();
    ASSERT_EQ(statements.size(), 1u);
    EXPECT_EQ(
        statements[0],
        "UPDATE customer\r\nSET\r\n  \"Last Name\"=\"\"\r\nWHERE\r\n  (\"Last Name\"=\"Smith\")");
}

TEST_F(DatasetLog, PostWithoutChangeOrWithoutHandlerComposesNothingButStillLogs) {
    log->SetDataSource(source);
    table->Edit();
    table->FieldByName("City")->SetAsString("Ghent");  // what it held already
    table->Post();
    EXPECT_TRUE(statements.empty());

    log->SetOnSQLStatement({});
    table->Edit();
    table->FieldByName("City")->SetAsString("Wavre");
    table->Post();
    const Texts lines = Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "dbeUpdateData"), 2);

    log->SetOnSQLStatement(TKVLSQLStatementEvent::FromFunction(
        [this](TObject*, const std::string& sql) { statements.push_back(sql); }));
    log->SetFilterEvents(KVLAllDBTypeEvents - TKVLDBTypeEvents{dbeUpdateData});
    table->Edit();
    table->FieldByName("City")->SetAsString("Spa");
    table->Post();
    EXPECT_TRUE(statements.empty());
}

TEST_F(DatasetLog, EmptyFilterInactiveOrDesigningDoNothingAtAll) {
    log->SetDataSource(source);
    const std::string before = Content(logFile);
    const size_t callsBefore = calls.size();
    auto editAndPost = [&](const char* city) {
        table->Edit();
        table->FieldByName("City")->SetAsString(city);
        table->Post();
    };
    log->SetFilterEvents({});
    editAndPost("A");
    log->SetFilterEvents(KVLAllDBTypeEvents);
    log->SetActive(false);
    editAndPost("B");
    log->SetActive(true);
    log->SetComponentStateFlag(csDesigning, true);
    editAndPost("C");
    EXPECT_EQ(Content(logFile), before);
    EXPECT_EQ(calls.size(), callsBefore);
    EXPECT_TRUE(statements.empty());
}

TEST_F(DatasetLog, TableNameComesFromTheQueryTextCutAtLineBreaksAndDots) {
    const std::pair<const char*, const char*> cases[] = {
        {"select * from Orders where Id = 1", "UPDATE Orders\r\n"},
        {"select *\r\nfrom\r\nOrders", "UPDATE \r\n"},  // no "FROM " at all
        {"select * FROM main.Orders", "UPDATE main\r\n"},
    };
    for (const auto& [sql, head] : cases) {
        TQuery query(nullptr);
        query.SetDatabaseName(db);
        query.SQL()->SetText(sql);
        query.SetRequestLive(true);
        query.Open();
        source->SetDataSet(&query);
        log->SetDataSource(source);
        statements.clear();
        query.Edit();
        query.FieldByName("Item")->SetAsString(std::string("ink ") + sql);
        query.Post();
        ASSERT_EQ(statements.size(), 1u) << sql;
        EXPECT_EQ(statements[0].substr(0, statements[0].find("SET")), head) << sql;
    }
}

TEST_F(DatasetLog, OnChangeRewritesTheLineAndWithoutLogFileNothingIsWritten) {
    log->SetOnChange(TKVLDataChangeEvent::FromFunction(
        [this](TObject*, TKVLDBTypeEvent state, TField* field, std::string& text) {
            calls.push_back(text);
            text = state == dbeRecordChanged && field ? "field " + field->FieldName() + "\n" : "";
        }));
    log->SetDataSource(source);
    table->Edit();
    table->FieldByName("City")->SetAsString("Liege");
    table->Post();
    EXPECT_EQ(Content(logFile), "field City\n");
    EXPECT_EQ(statements.size(), 1u);

    log->SetLogFile("");
    calls.clear();
    table->Edit();
    table->FieldByName("City")->SetAsString("Huy");
    table->Post();
    EXPECT_EQ(Content(logFile), "field City\n");
    EXPECT_EQ(statements.size(), 2u);
    EXPECT_FALSE(calls.empty());
}

TEST_F(DatasetLog, RaisingStatementHandlerStopsThePostAndItsLine) {
    log->SetDataSource(source);
    log->SetOnSQLStatement(TKVLSQLStatementEvent::FromFunction(
        [](TObject*, const std::string&) { throw EAbort("refused"); }));
    table->Edit();
    table->FieldByName("City")->SetAsString("Liege");
    EXPECT_THROW(table->Post(), EAbort);
    EXPECT_EQ(table->State(), dsEdit);
    const Texts lines = Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "dbeUpdateData"), 0);
}

TEST_F(DatasetLog, DestroyedDataSourceIsLetGoAndLogged) {
    log->SetDataSource(source);
    delete source;
    EXPECT_EQ(log->DataSource(), nullptr);
    // The link saw its data set go, then the log let go of the source.
    EXPECT_EQ(Lines(), (Texts{"dbeActiveChanged", "dbeActiveChanged", "dbeActiveChanged",
                              "dbeActiveChanged"}));
    table->Edit();  // nothing reaches the log any more
    table->Post();
    EXPECT_EQ(Lines().size(), 4u);
}

TEST_F(DatasetLog, FormFileLinksTheLogWithoutItsOwnLineWhileLoading) {
    const std::string text =
        "object Module: TComponent\n"
        "  object Customers: TTable\n"
        "    DatabaseName = '" +
        db +
        "'\n"
        "    TableName = 'customer.db'\n"
        "    Active = True\n"
        "  end\n"
        "  object CustomersSource: TDataSource\n"
        "    DataSet = Customers\n"
        "  end\n"
        "  object Changes: TKVDatasetLog\n"
        "    Active = True\n"
        "    LogFile = '" +
        Path("form.log") +
        "'\n"
        "    DataSource = CustomersSource\n"
        "    FilterEvents = [dbeActiveChanged, dbeEditingChanged]\n"
        "  end\n"
        "end\n";
    TComponent owner(nullptr);
    TComponent* module = ReadComponentFromText(text, &owner);
    auto* changes = static_cast<TKVDatasetLog*>(module->FindComponent("Changes"));
    ASSERT_NE(changes, nullptr);
    EXPECT_EQ(changes->FilterEvents(), (TKVLDBTypeEvents{dbeActiveChanged, dbeEditingChanged}));
    // Only the table opening at the end of loading is logged.
    const std::string lines = Content(Path("form.log"));
    EXPECT_EQ(lines.substr(lines.find(" dbe")), " dbeActiveChanged\r\n");
}

TEST_F(DatasetLog, TextIntoAnUntypedColumnThatHeldANumberPostsAsWithoutTheLog) {
    Exec("CREATE TABLE Note (Body); INSERT INTO Note VALUES (12);");
    auto* notes = new TTable(&form);
    notes->SetDatabaseName(db);
    notes->SetTableName("Note");
    notes->Open();
    source->SetDataSet(notes);
    log->SetDataSource(source);
    notes->Edit();
    notes->FieldByName("Body")->SetAsString("twelve");
    notes->Post();  // the number and the text do not compare: they differ
    ASSERT_EQ(statements.size(), 1u);
    EXPECT_EQ(statements[0], "UPDATE Note\r\nSET\r\n  Body=\"twelve\"\r\nWHERE\r\n  (Body=\"12\")");
    notes->Close();
    notes->Open();
    EXPECT_EQ(notes->FieldByName("Body")->AsString(), "twelve");
    delete notes;  // while the log's folder is still there
}

TEST(DatasetLogTimeStamp, KeptTextIsAlwaysTheFormattedMoment) {
    const TFormatSettings saved = FormatSettings;
    FormatSettings = TFormatSettings::Default();
    TLogTimeStamp stamp;
    const TDateTime day = EncodeDate(2026, 12, 7);
    auto same = [&](TDateTime value) { EXPECT_EQ(stamp.Text(value), FormatDateTime("c", value)); };
    same(day + EncodeTime(10, 45, 12, 100));
    same(day + EncodeTime(10, 45, 12, 900));
    same(day + EncodeTime(10, 45, 13, 0));
    same(day);  // midnight has no time part, the rest of its second has one
    same(day + EncodeTime(0, 0, 0, 500));
    same(day);
    same(EncodeDate(1850, 6, 15) - EncodeTime(6, 30, 0, 0));
    FormatSettings.ShortDateFormat = "dd/mm/yyyy";  // changed within the second
    same(EncodeDate(1850, 6, 15) - EncodeTime(6, 30, 0, 0));
    FormatSettings.DateSeparator = '.';
    same(EncodeDate(1850, 6, 15) - EncodeTime(6, 30, 0, 0));
    FormatSettings.LongTimeFormat = "hh:nn:ss.zzz";  // milliseconds change within a second
    same(day + EncodeTime(10, 45, 12, 100));
    same(day + EncodeTime(10, 45, 12, 900));
    FormatSettings = saved;
}

// A log whose file cannot be written must not make posts fail, nor end the
// process when the data set is freed; the application hears of it once.
TEST_F(DatasetLog, UnwritableLogFileIsReportedOnceAndNeverFailsAPost) {
    std::vector<std::string> reports;
    const TExceptionEvent saved = Application->OnException();
    Application->SetOnException(TExceptionEvent::FromFunction(
        [&reports](TObject*, Exception& e) { reports.push_back(e.ClassName()); }));
    log->SetLogFile(Path("missing/ds.log"));
    log->SetDataSource(source);
    EXPECT_NO_THROW(table->Append());
    table->FieldByName("Name")->SetAsString("Cy");
    EXPECT_NO_THROW(table->Post());
    EXPECT_EQ(table->State(), dsBrowse);
    EXPECT_NO_THROW(delete table);
    Application->SetOnException(saved);
    EXPECT_EQ(reports.size(), 1u);
    EXPECT_EQ(statements.size(), 1u);
}
