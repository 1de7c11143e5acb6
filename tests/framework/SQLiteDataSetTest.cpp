// Tables and queries over real SQLite database files in a scratch folder.
#include <gtest/gtest.h>

#include <cstdio>

#include "core/LogTestSupport.h"
#include "framework/DBTables.h"
#include "framework/SQLiteDatabase.h"

using namespace zr;

namespace {

struct SQLiteFile : zr::testing::ScratchFolder {
    TComponent form{nullptr};
    std::string db;

    void SetUp() override {
        ScratchFolder::SetUp();
        db = Path("shop.db");
        Exec(
            "CREATE TABLE Customer (Id INTEGER PRIMARY KEY, Name TEXT NOT NULL, "
            "Credit REAL, Vip BOOLEAN, Since DATETIME, City TEXT DEFAULT 'Ghent');"
            "INSERT INTO Customer (Name, Credit, Vip, Since) "
            "VALUES ('Ann', 10.5, 1, '2024-03-01 08:30:00'), ('Bob', NULL, 0, NULL);");
    }
    // Runs SQL on a connection of its own, which the returned query keeps.
    TQuery* Exec(const std::string& sql) {
        auto* q = new TQuery(&form);
        q->SetDatabaseName(db);
        q->SQL()->SetText(sql);
        q->ExecSQL();
        return q;
    }
    TTable* Table(const std::string& name = "Customer") {
        auto* t = new TTable(&form);
        t->SetDatabaseName(db);
        t->SetTableName(name);
        t->SetBusyTimeout(0);
        return t;
    }
    // What a fresh connection reads back from the file.
    std::string Row(int id) {
        TQuery q(nullptr);
        q.SetDatabaseName(db);
        q.SQL()->SetText("SELECT Name, Credit, Vip, Since, City FROM Customer WHERE Id = " +
                         std::to_string(id));
        q.Open();
        if (q.IsEmpty()) return "none";
        std::string row;
        for (int i = 0; i < q.FieldCount(); ++i) row += (i ? "|" : "") + q.Fields(i)->AsString();
        return row;
    }
};

}  // namespace

TEST_F(SQLiteFile, TableReadsTypedValuesAndWritesEditsInsertsAndDeletesToTheFile) {
    TTable* t = Table();
    t->Open();
    ASSERT_EQ(t->RecordCount(), 2);
    EXPECT_EQ(t->FieldByName("Credit")->AsFloat(), 10.5);
    EXPECT_TRUE(t->FieldByName("Vip")->AsBoolean());
    EXPECT_EQ(t->FieldByName("Since")->AsDateTime(),
              EncodeDate(2024, 3, 1) + EncodeTime(8, 30, 0, 0));

    t->Edit();
    t->FieldByName("Credit")->SetAsFloat(12.25);
    t->FieldByName("Since")->SetAsDateTime(EncodeDate(2025, 1, 2));
    t->Post();
    EXPECT_EQ(Row(1), "Ann|12.25|True|" + DateTimeToStr(EncodeDate(2025, 1, 2)) + "|Ghent");

    t->Append();
    t->FieldByName("Name")->SetAsString("Cy");
    t->Post();
    // The new row shows its key and the column's default, as stored.
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 3);
    EXPECT_EQ(t->FieldByName("City")->AsString(), "Ghent");
    EXPECT_EQ(Row(3), "Cy||||Ghent");
    t->Edit();  // a row just inserted is found again
    t->FieldByName("City")->SetAsString("Liege");
    t->Post();
    EXPECT_EQ(Row(3), "Cy||||Liege");

    t->First();
    t->Delete();
    EXPECT_EQ(Row(1), "none");
    t->Close();
    t->Open();
    EXPECT_EQ(t->RecordCount(), 2);
}

TEST_F(SQLiteFile, SQLiteErrorsRaiseDatabaseErrorsAndKeepWhatWasTyped) {
    TTable* missing = Table("Nosuch");
    try {
        missing->Open();
        FAIL() << "opened a missing table";
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "no such table: Nosuch");
    }
    EXPECT_FALSE(missing->Active());

    TTable* t = Table();
    t->Open();
    t->Insert();
    t->FieldByName("City")->SetAsString("Namur");
    try {
        t->Post();
        FAIL() << "posted a row without its NOT NULL name";
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "NOT NULL constraint failed: Customer.Name");
    }
    EXPECT_EQ(t->State(), dsInsert);
    EXPECT_EQ(t->FieldByName("City")->AsString(), "Namur");
    t->FieldByName("Name")->SetAsString("Dee");
    t->Post();
    EXPECT_EQ(Row(t->FieldByName("Id")->AsInteger()), "Dee||||Namur");

    TQuery* locker = Exec("BEGIN EXCLUSIVE");
    t->Edit();
    t->FieldByName("Name")->SetAsString("Dora");
    try {
        t->Post();
        FAIL() << "wrote into a locked database";
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "database is locked");
    }
    EXPECT_EQ(t->State(), dsEdit);
    EXPECT_EQ(t->FieldByName("Name")->AsString(), "Dora");
    delete locker;  // its connection ends, and the lock with it
    t->Post();
    EXPECT_EQ(Row(t->FieldByName("Id")->AsInteger()), "Dora||||Namur");
}

TEST_F(SQLiteFile, RowChangedByAnotherConnectionIsNotOverwritten) {
    TTable* t = Table();
    t->Open();
    Exec("UPDATE Customer SET Name = 'Anne' WHERE Id = 1");
    t->Edit();
    t->FieldByName("Credit")->SetAsFloat(99);
    EXPECT_THROW(t->Post(), EDatabaseError);
    EXPECT_EQ(t->State(), dsEdit);
    EXPECT_EQ(Row(1), "Anne|10.5|True|" +
                          DateTimeToStr(EncodeDate(2024, 3, 1) + EncodeTime(8, 30, 0, 0)) +
                          "|Ghent");
}

TEST_F(SQLiteFile, QueryIsReadOnlyUnlessLiveOverOneTable) {
    TQuery q(nullptr);
    q.SetDatabaseName(db);
    q.SQL()->SetText("select Id, Name from main.Customer\r\nwhere Id = 2");
    q.Open();
    EXPECT_EQ(q.FieldByName("Name")->AsString(), "Bob");
    EXPECT_THROW(q.Edit(), EDatabaseError);
    q.Close();

    q.SetRequestLive(true);
    q.Open();
    q.Edit();
    q.FieldByName("Name")->SetAsString("Bo \"B\" b");
    q.Post();
    EXPECT_EQ(Row(2), "Bo \"B\" b||False||Ghent");

    // A new text closes the query: its records belong to the old one.
    q.SQL()->SetText("select c.Name, d.Name from Customer c join Customer d on d.Id = c.Id");
    EXPECT_FALSE(q.Active());
    q.Open();
    EXPECT_FALSE(q.CanModify());
}

TEST_F(SQLiteFile, LiveQueryOfSomeColumnsEditsAndDeletesExactlyTheRowShown) {
    // Three customers that the query shows alike.
    Exec(
        "DELETE FROM Customer;"
        "INSERT INTO Customer (Id, Name, Credit) VALUES (1, 'Ann', 5), (2, 'Ann', 50), "
        "(3, 'Ann', 20);");
    TQuery q(nullptr);
    q.SetDatabaseName(db);
    q.SetRequestLive(true);
    q.SQL()->SetText("SELECT Name, City FROM customer ORDER BY Credit DESC");
    q.Open();
    q.Edit();  // the first row is customer 2
    q.FieldByName("City")->SetAsString("Liege");
    q.Post();
    EXPECT_EQ(Row(2), "Ann|50|||Liege");
    EXPECT_EQ(Row(1), "Ann|5|||Ghent");
    EXPECT_EQ(Row(3), "Ann|20|||Ghent");

    q.Next();  // customer 3
    q.Delete();
    EXPECT_EQ(Row(3), "none");
    EXPECT_EQ(Row(1), "Ann|5|||Ghent");
    q.Edit();  // customer 1, found again after the other's delete
    q.FieldByName("Name")->SetAsString("Anne");
    q.Post();
    EXPECT_EQ(Row(1), "Anne|5|||Ghent");
    EXPECT_EQ(Row(2), "Ann|50|||Liege");
}

TEST_F(SQLiteFile, LiveQueryWhoseRowsCannotBeFoundAgainIsReadOnly) {
    Exec(
        "CREATE TABLE Tag (Name TEXT, Color TEXT, PRIMARY KEY (Name, Color)) WITHOUT ROWID;"
        "INSERT INTO Tag VALUES ('a', 'red'), ('a', 'blue');"
        "CREATE VIEW Rich AS SELECT Name, City FROM Customer WHERE Credit > 1;");
    for (const char* sql :
         {"SELECT DISTINCT Name, City FROM Customer", "SELECT Name FROM Customer GROUP BY Name",
          "SELECT c.Name FROM Customer c JOIN Customer d ON d.Id = c.Id",
          "SELECT c.Name FROM Customer c, Customer d",
          "SELECT Name FROM Customer UNION ALL SELECT Name FROM Customer",
          "SELECT Name, City FROM Rich", "SELECT Name FROM Tag"}) {
        TQuery q(nullptr);
        q.SetDatabaseName(db);
        q.SetRequestLive(true);
        q.SQL()->SetText(sql);
        q.Open();
        EXPECT_FALSE(q.CanModify()) << sql;
        EXPECT_THROW(q.Edit(), EDatabaseError) << sql;
        EXPECT_THROW(q.Delete(), EDatabaseError) << sql;
    }
    // A table without row ids whose whole key is shown is found by its key.
    TQuery tags(nullptr);
    tags.SetDatabaseName(db);
    tags.SetRequestLive(true);
    tags.SQL()->SetText("SELECT Color, Name FROM Tag ORDER BY Color");
    tags.Open();
    tags.Edit();
    tags.FieldByName("Color")->SetAsString("green");
    tags.Post();
    TQuery check(nullptr);
    check.SetDatabaseName(db);
    check.SQL()->SetText("SELECT group_concat(Color, ',') FROM (SELECT Color FROM Tag ORDER BY 1)");
    check.Open();
    EXPECT_EQ(check.Fields(0)->AsString(), "green,red");
}

TEST_F(SQLiteFile, DatesBeforeAndAfterTheEpochReadBackAsWritten) {
    const char* const texts[] = {"1850-06-15 06:30:00",     "1850-06-15 00:00:00",
                                 "1899-12-29 18:00:00",     "1899-12-30 06:00:00",
                                 "1899-12-31 23:59:59.500", "2024-03-01 08:30:00"};
    Exec("CREATE TABLE Event (Id INTEGER PRIMARY KEY, At DATETIME)");
    TTable* t = Table("Event");
    t->Open();
    for (const char* text : texts) {
        int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
        std::sscanf(text, "%d-%d-%d %d:%d:%d.%d", &y, &mo, &d, &h, &mi, &s, &ms);
        t->Append();
        t->FieldByName("At")->SetAsDateTime(
            CombineDateTime(EncodeDate(y, mo, d), EncodeTime(h, mi, s, ms)));
        t->Post();
    }
    TQuery stored(nullptr);  // the texts in the file
    stored.SetDatabaseName(db);
    stored.SQL()->SetText("SELECT At || '' FROM Event ORDER BY Id");
    stored.Open();
    t->Close();
    t->Open();  // read back from the file
    for (const char* text : texts) {
        EXPECT_EQ(stored.Fields(0)->AsString(), text);
        EXPECT_EQ(DateTimeToSQLText(t->FieldByName("At")->AsDateTime()), text);
        stored.Next();
        t->Next();
    }
}

// A conflict clause or a trigger that drops the new row stores nothing: the
// post says so instead of showing, and later editing, some other row.
TEST_F(SQLiteFile, InsertTheDatabaseIgnoresIsNotReportedAsPosted) {
    Exec(
        "CREATE TABLE Code (Id INTEGER PRIMARY KEY, Tag TEXT UNIQUE ON CONFLICT IGNORE);"
        "INSERT INTO Code (Tag) VALUES ('a');"
        "CREATE TRIGGER NoB BEFORE INSERT ON Code WHEN new.Tag = 'b' BEGIN "
        "SELECT RAISE(IGNORE); END;");
    TTable* t = Table("Code");
    t->Open();
    for (const char* tag : {"a", "b"}) {
        t->Append();
        t->FieldByName("Tag")->SetAsString(tag);
        EXPECT_THROW(t->Post(), EDatabaseError) << tag;
        EXPECT_EQ(t->State(), dsInsert) << tag;
        t->Cancel();
    }
    EXPECT_EQ(t->RecordCount(), 1);
    t->Append();
    t->FieldByName("Tag")->SetAsString("c");
    t->Post();
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 2);
}

// Columns that take every name of the row id leave the key, which may be
// NULL in a rowid table, and the values: two rows alike must not both change.
TEST_F(SQLiteFile, EditAndDeleteChangeExactlyOneRowOrNothing) {
    Exec(
        "CREATE TABLE Odd (rowid TEXT, oid TEXT, _rowid_ TEXT, Code TEXT PRIMARY KEY, Note TEXT);"
        "INSERT INTO Odd VALUES ('r', 'o', '_', NULL, 'twin'), ('r', 'o', '_', NULL, 'twin');");
    TTable* t = Table("Odd");
    t->Open();
    ASSERT_TRUE(t->CanModify());
    t->Edit();
    t->FieldByName("Note")->SetAsString("one");
    EXPECT_THROW(t->Post(), EDatabaseError);
    EXPECT_EQ(t->State(), dsEdit);
    t->Cancel();
    EXPECT_THROW(t->Delete(), EDatabaseError);
    EXPECT_EQ(t->RecordCount(), 2);
    TQuery check(nullptr);
    check.SetDatabaseName(db);
    check.SQL()->SetText("SELECT count(*) FROM Odd WHERE Note = 'twin'");
    check.Open();
    EXPECT_EQ(check.Fields(0)->AsInteger(), 2);
}

TEST_F(SQLiteFile, RowHoldingABlobCanBeEditedAndDeleted) {
    Exec(
        "CREATE TABLE Picture (Name TEXT, Data BLOB); INSERT INTO Picture VALUES ('p', "
        "x'00ff41');");
    TTable* t = Table("Picture");
    t->Open();
    EXPECT_EQ(t->FieldByName("Data")->AsString(), std::string("\0\xff"
                                                              "A",
                                                              3));
    t->Edit();
    t->FieldByName("Name")->SetAsString("q");
    t->Post();
    t->Edit();  // found again by the BLOB it still holds
    t->FieldByName("Name")->SetAsString("r");
    t->Post();
    TQuery check(nullptr);
    check.SetDatabaseName(db);
    check.SQL()->SetText("SELECT Name, hex(Data), typeof(Data) FROM Picture");
    check.Open();
    EXPECT_EQ(
        check.Fields(0)->AsString() + check.Fields(1)->AsString() + check.Fields(2)->AsString(),
        "r00FF41blob");
    t->Delete();
    check.Close();
    check.Open();
    EXPECT_TRUE(check.IsEmpty());
}
