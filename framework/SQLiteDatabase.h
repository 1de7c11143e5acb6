// A thin hold on the SQLite library for the SQLite data sets: a connection to
// a database file and prepared statements, with values as variants. Every
// failure raises EDatabaseError with SQLite's own message.
#pragma once

#include <cstdint>
#include <string>

#include "Fields.h"
#include "Variants.h"

struct sqlite3;
struct sqlite3_stmt;

namespace zr {

class TSQLiteDatabase {
  public:
    // `create`: make the file when it does not exist (else that is an error).
    TSQLiteDatabase(const std::string& fileName, bool create, int busyTimeoutMs);
    ~TSQLiteDatabase();
    TSQLiteDatabase(const TSQLiteDatabase&) = delete;
    TSQLiteDatabase& operator=(const TSQLiteDatabase&) = delete;

    // Runs every statement of `sql` in turn.
    void Execute(const std::string& sql);
    std::int64_t LastInsertRowId() const;
    int Changes() const;
    void SetBusyTimeout(int milliseconds);
    [[noreturn]] void Raise() const;
    sqlite3* Handle() const { return db_; }

  private:
    sqlite3* db_ = nullptr;
};

class TSQLiteStatement {
  public:
    TSQLiteStatement(TSQLiteDatabase& db, const std::string& sql);
    ~TSQLiteStatement();
    TSQLiteStatement(const TSQLiteStatement&) = delete;
    TSQLiteStatement& operator=(const TSQLiteStatement&) = delete;

    // 1-based, as SQLite counts parameters.
    void Bind(int index, const Variant& value);
    // The bytes as a BLOB: a BLOB compares equal to nothing but a BLOB.
    void BindBlob(int index, const std::string& bytes);
    // True while a row is there to read.
    bool Step();

    int ColumnCount() const;
    std::string ColumnName(int index) const;
    // The declared type's kind (ftUnknown for expressions and untyped columns).
    TFieldType ColumnType(int index) const;
    // The value as SQLite holds it (a BLOB as text of its bytes).
    Variant Column(int index) const;
    bool ColumnIsBlob(int index) const;
    // Where a result column comes from; empty for an expression.
    std::string OriginDatabase(int index) const;
    std::string OriginTable(int index) const;
    std::string OriginColumn(int index) const;

  private:
    TSQLiteDatabase& db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// An identifier in double quotes, inner double quotes doubled.
std::string QuoteIdentifier(const std::string& name);
// Date-times are kept as SQLite's text form "YYYY-MM-DD HH:MM:SS[.mmm]".
std::string DateTimeToSQLText(TDateTime value);
bool SQLTextToDateTime(const std::string& text, TDateTime& value);

}  // namespace zr
