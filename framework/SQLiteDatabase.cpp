#include "framework/SQLiteDatabase.h"

#include <sqlite3.h>

#include <cstdio>

#include "framework/SysUtils.h"

namespace zr {

// ---- TSQLiteDatabase ---------------------------------------------------------------

TSQLiteDatabase::TSQLiteDatabase(const std::string& fileName, bool create, int busyTimeoutMs) {
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    const int rc = sqlite3_open_v2(fileName.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        // The handle carries the message even when opening failed.
        const std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close(db_);
        throw EDatabaseError(message + ": " + fileName);
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, busyTimeoutMs);
}

TSQLiteDatabase::~TSQLiteDatabase() {
    sqlite3_close(db_);
}

void TSQLiteDatabase::Execute(const std::string& sql) {
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Raise();
}

std::int64_t TSQLiteDatabase::LastInsertRowId() const {
    return sqlite3_last_insert_rowid(db_);
}

void TSQLiteDatabase::SetBusyTimeout(int milliseconds) {
    sqlite3_busy_timeout(db_, milliseconds);
}

int TSQLiteDatabase::Changes() const {
    return sqlite3_changes(db_);
}

void TSQLiteDatabase::Raise() const {
    throw EDatabaseError(sqlite3_errmsg(db_));
}

// ---- TSQLiteStatement --------------------------------------------------------------

TSQLiteStatement::TSQLiteStatement(TSQLiteDatabase& db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db.Handle(), sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) db.Raise();
    if (!stmt_) throw EDatabaseError("The SQL text holds no statement");
}

TSQLiteStatement::~TSQLiteStatement() {
    sqlite3_finalize(stmt_);
}

void TSQLiteStatement::Bind(int index, const Variant& value) {
    int rc = SQLITE_OK;
    switch (value.VarType()) {
        case varNull:
            rc = sqlite3_bind_null(stmt_, index);
            break;
        case varInteger:
            rc = sqlite3_bind_int64(stmt_, index, value.AsInteger());
            break;
        case varBoolean:
            rc = sqlite3_bind_int(stmt_, index, value.AsBoolean() ? 1 : 0);
            break;
        case varDouble:
            rc = sqlite3_bind_double(stmt_, index, value.AsFloat());
            break;
        case varDate: {
            const std::string text = DateTimeToSQLText(value.AsDateTime());
            rc = sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                                   SQLITE_TRANSIENT);
            break;
        }
        case varString: {
            const std::string text = value.AsString();
            rc = sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                                   SQLITE_TRANSIENT);
            break;
        }
    }
    if (rc != SQLITE_OK) db_.Raise();
}

void TSQLiteStatement::BindBlob(int index, const std::string& bytes) {
    if (sqlite3_bind_blob(stmt_, index, bytes.data(), static_cast<int>(bytes.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK)
        db_.Raise();
}

bool TSQLiteStatement::Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    db_.Raise();
}

int TSQLiteStatement::ColumnCount() const {
    return sqlite3_column_count(stmt_);
}

namespace {

std::string Text(const char* text) {
    return text ? text : "";
}

}  // namespace

std::string TSQLiteStatement::ColumnName(int index) const {
    return Text(sqlite3_column_name(stmt_, index));
}

TFieldType TSQLiteStatement::ColumnType(int index) const {
    // SQLite's own affinity rules, with Booleans and dates told apart.
    const std::string type = UpperCase(Text(sqlite3_column_decltype(stmt_, index)));
    auto has = [&](const char* part) { return type.find(part) != std::string::npos; };
    if (has("BOOL")) return ftBoolean;
    if (has("INT")) return ftInteger;
    if (has("DATE") || has("TIME")) return ftDateTime;
    if (has("CHAR") || has("CLOB") || has("TEXT")) return ftString;
    if (has("REAL") || has("FLOA") || has("DOUB") || has("NUMERIC") || has("DECIMAL"))
        return ftFloat;
    return ftUnknown;
}

Variant TSQLiteStatement::Column(int index) const {
    switch (sqlite3_column_type(stmt_, index)) {
        case SQLITE_INTEGER:
            return Variant(std::int64_t{sqlite3_column_int64(stmt_, index)});
        case SQLITE_FLOAT:
            return Variant(sqlite3_column_double(stmt_, index));
        case SQLITE_NULL:
            return Null();
        default: {
            const auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt_, index));
            const int size = sqlite3_column_bytes(stmt_, index);
            return Variant(std::string(bytes ? bytes : "", static_cast<size_t>(size)));
        }
    }
}

bool TSQLiteStatement::ColumnIsBlob(int index) const {
    return sqlite3_column_type(stmt_, index) == SQLITE_BLOB;
}

std::string TSQLiteStatement::OriginDatabase(int index) const {
    return Text(sqlite3_column_database_name(stmt_, index));
}

std::string TSQLiteStatement::OriginTable(int index) const {
    return Text(sqlite3_column_table_name(stmt_, index));
}

std::string TSQLiteStatement::OriginColumn(int index) const {
    return Text(sqlite3_column_origin_name(stmt_, index));
}

// ---- texts -------------------------------------------------------------------------

std::string QuoteIdentifier(const std::string& name) {
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string DateTimeToSQLText(TDateTime value) {
    // Written with fixed separators whatever the locale says.
    int y, mo, d, h, mi, s, ms;
    DecodeDate(value, y, mo, d);
    DecodeTime(value, h, mi, s, ms);
    char text[32];
    if (ms)
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", y, mo, d, h, mi, s,
                      ms);
    else
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
    return text;
}

bool SQLTextToDateTime(const std::string& text, TDateTime& value) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
    char sep = 0;
    const int got = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d.%3d", &y, &mo, &d, &sep, &h,
                                &mi, &s, &ms);
    if (got < 3 || (got > 3 && sep != ' ' && sep != 'T')) return false;
    TDateTime date = 0, time = 0;
    if (!TryEncodeDate(y, mo, d, date) || !TryEncodeTime(h, mi, s, ms, time)) return false;
    value = CombineDateTime(date, time);
    return true;
}

}  // namespace zr
