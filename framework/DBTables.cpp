#include "framework/DBTables.h"

#include <algorithm>

#include "framework/SQLiteDatabase.h"

namespace zr {

ZR_REGISTER_CLASS(TDBDataSet, c) {
    c.Property("DatabaseName", &TDBDataSet::DatabaseName, &TDBDataSet::SetDatabaseName).Default("");
}

ZR_REGISTER_CLASS(TTable, c) {
    c.Property("TableName", &TTable::TableName, &TTable::SetTableName).Default("");
}

ZR_REGISTER_CLASS(TQuery, c) {
    c.Property("SQL", &TQuery::SQL, &TQuery::SetSQL);
    c.Property("RequestLive", &TQuery::RequestLive, &TQuery::SetRequestLive).Default(false);
}

namespace {

// The value a field shows for what SQLite holds: the field's kind where the
// value has one, else the value as it is (SQLite keeps any value in any
// column, and a table must stay readable whatever it holds).
Variant FieldValue(TFieldType type, const Variant& stored) {
    TDateTime date = 0;
    if (type == ftDateTime && stored.VarType() == varString &&
        SQLTextToDateTime(stored.AsString(), date))
        return Variant::FromDateTime(date);
    if (type == ftDateTime && stored.VarType() == varString) return stored;
    try {
        return ConvertToFieldType(type, stored);
    } catch (const Exception&) {
        return stored;
    }
}

bool SameValue(const Variant& a, const Variant& b) {
    return a.VarType() == b.VarType() && a == b;
}

const char* const kRowChanged = "Record not found or changed by another user";

}  // namespace

// ---- TDBDataSet ------------------------------------------------------------------

TDBDataSet::TDBDataSet(TComponent* owner) : TDataSet(owner) {}

TDBDataSet::~TDBDataSet() {
    Close();
}

void TDBDataSet::SetDatabaseName(const std::string& value) {
    CheckInactive();
    databaseName_ = value;
    db_.reset();
}

void TDBDataSet::SetBusyTimeout(int value) {
    busyTimeout_ = value;
    if (db_) db_->SetBusyTimeout(value);
}

TSQLiteDatabase& TDBDataSet::Database(bool create) {
    if (databaseName_.empty()) throw EDatabaseError("No DatabaseName given");
    if (!db_) db_ = std::make_unique<TSQLiteDatabase>(databaseName_, create, busyTimeout_);
    return *db_;
}

std::string TDBDataSet::Target::Name() const {
    return (schema.empty() ? "" : QuoteIdentifier(schema) + ".") + QuoteIdentifier(table);
}

void TDBDataSet::InternalOpen(std::vector<TFieldDef>& defs, std::vector<TRecord>& records) {
    TSQLiteStatement statement(Database(false), SelectText());
    const int n = statement.ColumnCount();
    if (n == 0) throw EDatabaseError("The SQL text returns no records");
    std::vector<TFieldType> types;
    Target target;
    bool oneTable = true;
    for (int i = 0; i < n; ++i) {
        types.push_back(statement.ColumnType(i));
        defs.push_back({statement.ColumnName(i), types.back()});
        const std::string schema = statement.OriginDatabase(i), table = statement.OriginTable(i);
        if (i == 0) target.schema = schema, target.table = table;
        const std::string column = statement.OriginColumn(i);
        // A column shown twice (a table joined with itself) has no one place
        // to be written to.
        const bool shownBefore =
            std::find(target.columns.begin(), target.columns.end(), column) != target.columns.end();
        oneTable = oneTable && !table.empty() && table == target.table && schema == target.schema &&
                   !shownBefore;
        target.columns.push_back(column);
    }
    // Each record carries, after its field values, the values as read: they
    // find the row again when it is written.
    while (statement.Step()) {
        TRecord row(static_cast<size_t>(2 * n));
        for (int i = 0; i < n; ++i) {
            row[static_cast<size_t>(n + i)] = statement.Column(i);
            row[static_cast<size_t>(i)] =
                FieldValue(types[static_cast<size_t>(i)], row[static_cast<size_t>(n + i)]);
        }
        records.push_back(std::move(row));
    }
    types_ = std::move(types);
    target_ = oneTable ? std::move(target) : Target{};
}

void TDBDataSet::InternalClose() {
    db_.reset();
    types_.clear();
    target_ = Target{};
}

void TDBDataSet::InternalPost(const TRecord* stored, TRecord& record) {
    if (stored)
        PostEdit(*stored, record);
    else
        PostInsert(record);
}

// "(the rowid of the first row holding the values read)", its parameters
// bound by BindRow.
std::string TDBDataSet::RowOf() const {
    std::string where;
    for (const std::string& column : target_.columns)
        where += (where.empty() ? "" : " AND ") + QuoteIdentifier(column) + " IS ?";
    return "(SELECT rowid FROM " + target_.Name() + " WHERE " + where + " LIMIT 1)";
}

void TDBDataSet::BindRow(TSQLiteStatement& statement, const TRecord& stored, int firstParam) const {
    const size_t n = types_.size();
    for (size_t i = 0; i < n; ++i)
        statement.Bind(firstParam + static_cast<int>(i), stored.at(n + i));
}

void TDBDataSet::PostEdit(const TRecord& stored, TRecord& record) {
    const size_t n = types_.size();
    std::vector<size_t> changed;
    for (size_t i = 0; i < n; ++i)
        if (!SameValue(stored[i], record[i])) changed.push_back(i);
    if (changed.empty()) return;
    std::string set;
    for (size_t i : changed)
        set += (set.empty() ? "" : ", ") + QuoteIdentifier(target_.columns[i]) + " = ?";
    TSQLiteDatabase& db = Database(false);
    TSQLiteStatement update(
        db, "UPDATE " + target_.Name() + " SET " + set + " WHERE rowid = " + RowOf());
    int param = 1;
    for (size_t i : changed) update.Bind(param++, record[i]);
    BindRow(update, stored, param);
    update.Step();
    if (db.Changes() == 0) throw EDatabaseError(kRowChanged);
    // The row now holds what was written: that finds it next time.
    for (size_t i : changed) record[n + i] = record[i];
}

void TDBDataSet::PostInsert(TRecord& record) {
    const size_t n = types_.size();
    std::string columns, params;
    std::vector<size_t> given;
    for (size_t i = 0; i < n; ++i) {
        if (record[i].IsNull()) continue;  // the column's default applies
        given.push_back(i);
        columns += (columns.empty() ? "" : ", ") + QuoteIdentifier(target_.columns[i]);
        params += params.empty() ? "?" : ", ?";
    }
    TSQLiteStatement insert(
        Database(false),
        "INSERT INTO " + target_.Name() +
            (given.empty() ? " DEFAULT VALUES" : " (" + columns + ") VALUES (" + params + ")"));
    int param = 1;
    for (size_t i : given) insert.Bind(param++, record[i]);
    insert.Step();
    ReadBack(record);
}

// After an insert the record shows the row as stored: defaults and new keys
// included. The row is in the database by now, so a failure to read it back
// (a table without row ids) keeps the values as given instead of raising.
void TDBDataSet::ReadBack(TRecord& record) {
    const size_t n = types_.size();
    record.resize(2 * n);
    for (size_t i = 0; i < n; ++i) record[n + i] = record[i];
    std::string columns;
    for (const std::string& column : target_.columns)
        columns += (columns.empty() ? "" : ", ") + QuoteIdentifier(column);
    try {
        TSQLiteDatabase& db = Database(false);
        TSQLiteStatement select(
            db, "SELECT " + columns + " FROM " + target_.Name() + " WHERE rowid = ?");
        select.Bind(1, Variant(db.LastInsertRowId()));
        if (!select.Step()) return;
        for (size_t i = 0; i < n; ++i) {
            record[n + i] = select.Column(static_cast<int>(i));
            record[i] = FieldValue(types_[i], record[n + i]);
        }
    } catch (const EDatabaseError&) {
    }
}

void TDBDataSet::InternalDelete(const TRecord& stored) {
    TSQLiteDatabase& db = Database(false);
    TSQLiteStatement remove(db, "DELETE FROM " + target_.Name() + " WHERE rowid = " + RowOf());
    BindRow(remove, stored, 1);
    remove.Step();
    if (db.Changes() == 0) throw EDatabaseError(kRowChanged);
}

// ---- TTable ------------------------------------------------------------------------

TTable::TTable(TComponent* owner) : TDBDataSet(owner) {}

void TTable::SetTableName(const std::string& value) {
    CheckInactive();
    tableName_ = value;
}

std::string TTable::SelectText() const {
    if (tableName_.empty()) throw EDatabaseError("No TableName given");
    return "SELECT * FROM " + QuoteIdentifier(tableName_);
}

// ---- TQuery ------------------------------------------------------------------------

TQuery::TQuery(TComponent* owner) : TDBDataSet(owner), sql_(std::make_unique<TStringList>()) {
    sql_->SetOnChange(TNotifyEvent(this, &TQuery::SQLChanged));
}

TQuery::~TQuery() = default;

void TQuery::SetRequestLive(bool value) {
    CheckInactive();
    requestLive_ = value;
}

void TQuery::ExecSQL() {
    Database(true).Execute(sql_->Text());
}

std::string TQuery::SelectText() const {
    return sql_->Text();
}

}  // namespace zr
