// Data sets over SQLite database files: TTable reads one table, TQuery the
// result of its SQL text. Posted, inserted and deleted records are written
// to the database file at once. A row is found again by its row id (or, in a
// table without row ids, by its primary key shown among the columns), read
// with it, and by the values it was read with, so a row that someone else
// changed meanwhile is reported, not overwritten. An edit or delete changes
// exactly one row or nothing (raising), and an insert the database ignored
// raises. A result whose rows cannot
// be found again so (a join, a view, grouping, DISTINCT) is read-only. SQLite's errors (a missing
// table, a broken constraint, a locked database) raise EDatabaseError with SQLite's message, and a
// record that could not be stored stays in edit or insert mode.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "DB.h"
#include "Strings.h"

namespace zr {

class TSQLiteDatabase;

class TDBDataSet : public TDataSet {
    ZR_CLASS(TDBDataSet, TDataSet)
  public:
    explicit TDBDataSet(TComponent* owner);
    ~TDBDataSet() override;

    // The database file. Only while closed (EDatabaseError otherwise).
    const std::string& DatabaseName() const { return databaseName_; }
    void SetDatabaseName(const std::string& value);
    // How long a write waits for another connection's lock before SQLite
    // reports the database locked (milliseconds).
    int BusyTimeout() const { return busyTimeout_; }
    void SetBusyTimeout(int value);

    // Writable when every column comes from one table of the database, each
    // column once, and each row can be found again by its key.
    bool CanModify() const override { return !target_.table.empty(); }

  protected:
    // The statement whose result the data set shows.
    virtual std::string SelectText() const = 0;
    // Whether records may be written at all: no key is looked for otherwise.
    virtual bool Live() const { return true; }
    // The connection, made on first use; `create` makes a missing file.
    TSQLiteDatabase& Database(bool create);
    void InternalOpen(std::vector<TFieldDef>& defs, std::vector<TRecord>& records) override;
    void InternalClose() override;
    void InternalPost(const TRecord* stored, TRecord& record) override;
    void InternalDelete(const TRecord& stored) override;

  private:
    // Where posted records go: schema, table, the column behind each field,
    // and how a row is found again.
    struct Target {
        std::string schema, table;
        std::vector<std::string> columns;
        // The name that reads the row id, its value kept after the record's
        // values as read; empty when the table has none.
        std::string rowId;
        // Otherwise the fields that show the table's primary key.
        std::vector<size_t> keyFields;
        std::string Name() const;
    };
    Target WritableTarget(class TSQLiteStatement& statement, const std::string& sql);
    void FindKey(Target& target);
    void PostEdit(const TRecord& stored, TRecord& record);
    void PostInsert(TRecord& record);
    std::string RowCondition() const;
    // Where a record keeps which of its values as read are BLOBs.
    size_t BlobMarksSlot() const;
    void BindRow(class TSQLiteStatement& statement, const TRecord& stored, int firstParam) const;
    void ReadBack(TRecord& record);

    std::string databaseName_;
    int busyTimeout_ = 2000;
    std::unique_ptr<TSQLiteDatabase> db_;
    std::vector<TFieldType> types_;
    Target target_;
};

class TTable : public TDBDataSet {
    ZR_CLASS(TTable, TDBDataSet)
  public:
    explicit TTable(TComponent* owner);

    // The table's name as the database knows it, used verbatim (quoted as
    // one identifier). Only while closed.
    const std::string& TableName() const { return tableName_; }
    void SetTableName(const std::string& value);

  protected:
    std::string SelectText() const override;

  private:
    std::string tableName_;
};

class TQuery : public TDBDataSet {
    ZR_CLASS(TQuery, TDBDataSet)
  public:
    explicit TQuery(TComponent* owner);
    ~TQuery() override;

    // Owned; the setter copies the given lines. A change closes the query:
    // its records and where they are written belong to the old text.
    TStrings* SQL() const { return sql_.get(); }
    void SetSQL(TStrings* value) { sql_->Assign(value); }
    // Whether the result may be edited (written to the one table its columns
    // come from).
    bool RequestLive() const { return requestLive_; }
    void SetRequestLive(bool value);
    bool CanModify() const override { return requestLive_ && TDBDataSet::CanModify(); }

    // Runs the SQL text (any number of statements) without opening; makes
    // the database file when it does not exist. The connection stays open,
    // with any transaction the text began, until the query is freed or
    // closes after an Open.
    void ExecSQL();

  protected:
    std::string SelectText() const override;
    bool Live() const override { return requestLive_; }

  private:
    void SQLChanged(TObject* sender) { Close(); }

    std::unique_ptr<TStringList> sql_;
    bool requestLive_ = false;
};

}  // namespace zr
