#include "framework/DBTables.h"

#include <algorithm>

#include "framework/SQLiteDatabase.h"
#include "framework/SQLiteSelectText.h"
#include "framework/SysUtils.h"

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
const char* const kRowNotOne =
    "The record matches more than one row of its table: nothing was changed";
const char* const kNotStored =
    "The database did not store the record (a constraint or trigger "
    "ignored it)";

// Which values as read are BLOBs, one letter per column ('b' for a BLOB), or
// Null when none is: a BLOB must be bound as one to find its row again.
Variant BlobMarks(const TSQLiteStatement& statement, int columns) {
    std::string marks;
    for (int i = 0; i < columns; ++i) {
        if (!statement.ColumnIsBlob(i)) continue;
        marks.resize(static_cast<size_t>(columns), '.');
        marks[static_cast<size_t>(i)] = 'b';
    }
    return marks.empty() ? Null() : Variant(marks);
}

bool MarkedBlob(const Variant& marks, size_t column) {
    if (marks.VarType() != varString) return false;
    const std::string text = marks.AsString();
    return column < text.size() && text[column] == 'b';
}

// An edit or delete finds its row by key and values; where they match other
// rows too (no row id to go by, a key that may be NULL) the write must not
// land on all of them. Everything written since the savepoint began is undone
// unless Release is reached.
class TSavepoint {
  public:
    explicit TSavepoint(TSQLiteDatabase& db) : db_(db) { db_.Execute("SAVEPOINT zr_record"); }
    ~TSavepoint() {
        if (released_) return;
        try {
            db_.Execute("ROLLBACK TO zr_record; RELEASE zr_record");
        } catch (const EDatabaseError&) {
        }
    }
    TSavepoint(const TSavepoint&) = delete;
    TSavepoint& operator=(const TSavepoint&) = delete;

    // Keeps the write, after checking that it changed exactly one row.
    void Release(std::int64_t rowsChanged) {
        if (rowsChanged == 0) throw EDatabaseError(kRowChanged);
        if (rowsChanged != 1) throw EDatabaseError(kRowNotOne);
        db_.Execute("RELEASE zr_record");
        released_ = true;
    }

  private:
    TSQLiteDatabase& db_;
    bool released_ = false;
};

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

// A record holds its field values, then the values as read (they tell a row
// that someone else changed), then the row id when the table has them, then
// which values as read are BLOBs (BlobMarks).
void TDBDataSet::InternalOpen(std::vector<TFieldDef>& defs, std::vector<TRecord>& records) {
    TSQLiteDatabase& db = Database(false);
    const std::string sql = SelectText();
    auto statement = std::make_unique<TSQLiteStatement>(db, sql);
    const int n = statement->ColumnCount();
    if (n == 0) throw EDatabaseError("The SQL text returns no records");
    std::vector<TFieldType> types;
    for (int i = 0; i < n; ++i) {
        types.push_back(statement->ColumnType(i));
        defs.push_back({statement->ColumnName(i), types.back()});
    }
    Target target = WritableTarget(*statement, sql);
    if (!target.rowId.empty()) {
        // The row id rides along as a hidden last column.
        const size_t end = ShapeOfSelect(sql).columnsEnd;
        std::unique_ptr<TSQLiteStatement> keyed;
        try {
            keyed = std::make_unique<TSQLiteStatement>(
                db, sql.substr(0, end) + ", " + target.rowId + " " + sql.substr(end));
        } catch (const EDatabaseError&) {
            // What the FROM clause names has no row id of its own.
        }
        if (!keyed || keyed->ColumnCount() != n + 1 || keyed->OriginTable(n) != target.table ||
            keyed->OriginDatabase(n) != target.schema)
            target = Target{};
        else
            statement = std::move(keyed);
    }
    const size_t keys = target.rowId.empty() ? 0 : 1;
    while (statement->Step()) {
        TRecord row(static_cast<size_t>(2 * n) + keys + 1);
        for (int i = 0; i < n; ++i) {
            row[static_cast<size_t>(n + i)] = statement->Column(i);
            row[static_cast<size_t>(i)] =
                FieldValue(types[static_cast<size_t>(i)], row[static_cast<size_t>(n + i)]);
        }
        if (keys) {
            Variant& rowId = row[static_cast<size_t>(2 * n)];
            rowId = statement->Column(n);
            // A view passes no row id on: its rows cannot be found again.
            if (rowId.VarType() != varInteger) target = Target{};
        }
        row.back() = BlobMarks(*statement, n);
        records.push_back(std::move(row));
    }
    types_ = std::move(types);
    target_ = std::move(target);
}

// The one table every column comes from, each column once, when its rows can
// be found again; an empty target (read-only) otherwise.
TDBDataSet::Target TDBDataSet::WritableTarget(TSQLiteStatement& statement, const std::string& sql) {
    if (!Live() || !ShapeOfSelect(sql).rowPerTableRow) return {};
    Target target;
    const int n = statement.ColumnCount();
    for (int i = 0; i < n; ++i) {
        const std::string schema = statement.OriginDatabase(i), table = statement.OriginTable(i);
        if (i == 0) target.schema = schema, target.table = table;
        const std::string column = statement.OriginColumn(i);
        // A column shown twice has no one field to be written from.
        const bool shownBefore =
            std::find(target.columns.begin(), target.columns.end(), column) != target.columns.end();
        if (table.empty() || table != target.table || schema != target.schema || shownBefore)
            return {};
        target.columns.push_back(column);
    }
    FindKey(target);
    return target;
}

// The row id, under a name no declared column takes; else, in a table without
// row ids, its primary key when every key column is shown.
void TDBDataSet::FindKey(Target& target) {
    TSQLiteDatabase& db = Database(false);
    std::vector<std::string> declared;
    std::vector<std::pair<int, std::string>> primaryKey;
    TSQLiteStatement info(db, "PRAGMA " + QuoteIdentifier(target.schema) + ".table_info(" +
                                  QuoteIdentifier(target.table) + ")");
    while (info.Step()) {
        declared.push_back(info.Column(1).AsString());
        const Variant pk = info.Column(5);
        if (pk.VarType() == varInteger && pk.AsInteger() > 0)
            primaryKey.emplace_back(static_cast<int>(pk.AsInteger()), declared.back());
    }
    auto isDeclared = [&](const std::string& name) {
        return std::any_of(declared.begin(), declared.end(),
                           [&](const std::string& d) { return SameText(d, name); });
    };
    for (const char* name : {"rowid", "_rowid_", "oid"}) {
        if (isDeclared(name)) continue;
        try {
            TSQLiteStatement probe(db, std::string("SELECT ") + name + " FROM " + target.Name());
            target.rowId = name;
            return;
        } catch (const EDatabaseError&) {
            break;  // a table without row ids
        }
    }
    std::sort(primaryKey.begin(), primaryKey.end());
    for (const auto& [order, column] : primaryKey) {
        const auto shown = std::find_if(target.columns.begin(), target.columns.end(),
                                        [&](const std::string& c) { return SameText(c, column); });
        if (shown == target.columns.end()) break;
        target.keyFields.push_back(static_cast<size_t>(shown - target.columns.begin()));
    }
    if (primaryKey.empty() || target.keyFields.size() != primaryKey.size()) target = Target{};
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

// "rowid = ? AND "Name" IS ? AND ...": the row by its id (where it has one)
// and by the values read; its parameters bound by BindRow. Without a row id
// the primary key among the values makes the row one.
std::string TDBDataSet::RowCondition() const {
    std::string where = target_.rowId.empty() ? "" : target_.rowId + " = ?";
    for (const std::string& column : target_.columns)
        where += (where.empty() ? "" : " AND ") + QuoteIdentifier(column) + " IS ?";
    return where;
}

size_t TDBDataSet::BlobMarksSlot() const {
    return 2 * types_.size() + (target_.rowId.empty() ? 0 : 1);
}

void TDBDataSet::BindRow(TSQLiteStatement& statement, const TRecord& stored, int firstParam) const {
    const size_t n = types_.size();
    if (!target_.rowId.empty()) statement.Bind(firstParam++, stored.at(2 * n));
    const Variant& marks = stored.at(BlobMarksSlot());
    for (size_t i = 0; i < n; ++i) {
        const int param = firstParam + static_cast<int>(i);
        if (MarkedBlob(marks, i))
            statement.BindBlob(param, stored.at(n + i).AsString());
        else
            statement.Bind(param, stored.at(n + i));
    }
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
    TSavepoint savepoint(db);
    Variant rowId;
    std::int64_t rows = 0;
    {
        // RETURNING tells the row id after the write: editing an INTEGER
        // PRIMARY KEY column moves the row. One result row per changed row.
        TSQLiteStatement update(db, "UPDATE " + target_.Name() + " SET " + set + " WHERE " +
                                        RowCondition() + " RETURNING " +
                                        (target_.rowId.empty() ? "1" : target_.rowId));
        int param = 1;
        for (size_t i : changed) update.Bind(param++, record[i]);
        BindRow(update, stored, param);
        for (; update.Step(); ++rows)
            if (rows == 0) rowId = update.Column(0);
    }
    savepoint.Release(rows);
    if (!target_.rowId.empty()) record.at(2 * n) = rowId;
    // The row now holds what was written (never a BLOB): that finds it next time.
    Variant& marks = record.at(BlobMarksSlot());
    std::string blobs = marks.VarType() == varString ? marks.AsString() : std::string();
    for (size_t i : changed) {
        record[n + i] = record[i];
        if (i < blobs.size()) blobs[i] = '.';
    }
    if (!blobs.empty()) marks = Variant(blobs);
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
    TSQLiteDatabase& db = Database(false);
    {
        TSQLiteStatement insert(
            db,
            "INSERT INTO " + target_.Name() +
                (given.empty() ? " DEFAULT VALUES" : " (" + columns + ") VALUES (" + params + ")"));
        int param = 1;
        for (size_t i : given) insert.Bind(param++, record[i]);
        insert.Step();
    }
    // An insert that a conflict clause or a trigger ignored stores nothing,
    // and the last row id still names some other row.
    if (db.Changes() == 0) throw EDatabaseError(kNotStored);
    ReadBack(record);
}

// After an insert the record shows the row as stored: defaults and new keys
// included. The row is in the database by now, so a failure to read it back
// keeps the values as given instead of raising.
void TDBDataSet::ReadBack(TRecord& record) {
    const size_t n = types_.size();
    const bool byRowId = !target_.rowId.empty();
    record.resize(BlobMarksSlot() + 1);
    for (size_t i = 0; i < n; ++i) record[n + i] = record[i];
    record.back() = Null();
    std::string columns, where;
    for (const std::string& column : target_.columns)
        columns += (columns.empty() ? "" : ", ") + QuoteIdentifier(column);
    if (byRowId) where = target_.rowId + " = ?";
    for (size_t i : target_.keyFields)
        where += (where.empty() ? "" : " AND ") + QuoteIdentifier(target_.columns[i]) + " IS ?";
    try {
        TSQLiteDatabase& db = Database(false);
        TSQLiteStatement select(
            db, "SELECT " + columns + " FROM " + target_.Name() + " WHERE " + where);
        if (byRowId) {
            record[2 * n] = Variant(db.LastInsertRowId());
            select.Bind(1, record[2 * n]);
        }
        int param = 1;
        for (size_t i : target_.keyFields) select.Bind(param++, record[i]);
        if (!select.Step()) return;
        for (size_t i = 0; i < n; ++i) {
            record[n + i] = select.Column(static_cast<int>(i));
            record[i] = FieldValue(types_[i], record[n + i]);
        }
        record.back() = BlobMarks(select, static_cast<int>(n));
    } catch (const EDatabaseError&) {
    }
}

void TDBDataSet::InternalDelete(const TRecord& stored) {
    TSQLiteDatabase& db = Database(false);
    TSavepoint savepoint(db);
    {
        TSQLiteStatement remove(db, "DELETE FROM " + target_.Name() + " WHERE " + RowCondition());
        BindRow(remove, stored, 1);
        remove.Step();
    }
    savepoint.Release(db.Changes());
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
