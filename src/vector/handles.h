// Small owning wrappers around SQLite handles and SQLite-allocated memory.
#pragma once

#include <cstring>
#include <memory>
#include <utility>

#include "vector/sqlite.h"

struct FinalizeStmt {
  void operator()(sqlite3_stmt* p) const { sqlite3_finalize(p); }
};
struct CloseBlob {
  void operator()(sqlite3_blob* p) const { sqlite3_blob_close(p); }
};
struct SqliteFree {
  void operator()(void* p) const { sqlite3_free(p); }
};
struct ValueFree {
  void operator()(sqlite3_value* p) const { sqlite3_value_free(p); }
};

using StmtPtr = std::unique_ptr<sqlite3_stmt, FinalizeStmt>;
using BlobPtr = std::unique_ptr<sqlite3_blob, CloseBlob>;  // release() + close by hand when rc matters
using ValuePtr = std::unique_ptr<sqlite3_value, ValueFree>;
template <typename T>
using SqlitePtr = std::unique_ptr<T, SqliteFree>;  // sqlite3_malloc'd

// sqlite3_str; frees the text unless finish() hands it over. sqlite3_str records OOM
// itself, so callers append freely and check once at finish().
class StrBuilder {
 public:
  explicit StrBuilder(sqlite3* db) : str_(sqlite3_str_new(db)) {}
  ~StrBuilder() {
    if (str_) sqlite3_free(sqlite3_str_finish(str_));
  }
  StrBuilder(const StrBuilder&) = delete;
  StrBuilder& operator=(const StrBuilder&) = delete;
  sqlite3_str* get() const { return str_; }
  SqlitePtr<char> finish() { return SqlitePtr<char>(sqlite3_str_finish(std::exchange(str_, nullptr))); }

 private:
  sqlite3_str* str_;
};

// Resets a cached statement and clears its bindings on scope exit, so it is never left
// active with stale parameters.
class ResetOnExit {
 public:
  explicit ResetOnExit(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~ResetOnExit() {
    if (stmt_) {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
  }
  ResetOnExit(const ResetOnExit&) = delete;
  ResetOnExit& operator=(const ResetOnExit&) = delete;

 private:
  sqlite3_stmt* stmt_;
};

// A zero-filled T from sqlite3_malloc, or null: the plain structs SQLite drives (tables,
// cursors, query records) start this way.
template <typename T>
T* malloc_zeroed() {
  T* p = (T*)sqlite3_malloc(sizeof(T));
  if (p) memset((void*)p, 0, sizeof(T));
  return p;
}

// Prepares sql on db. *out is empty unless the result is SQLITE_OK.
[[nodiscard]] inline int prepare(sqlite3* db, const char* sql, StmtPtr* out) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(stmt);
    out->reset();
    return rc;
  }
  out->reset(stmt);
  return SQLITE_OK;
}

// Opens a BLOB handle on one row's column, read-write when writable. *out is empty unless
// the result is SQLITE_OK.
[[nodiscard]] inline int open_blob(sqlite3* db, const char* schema, const char* table,
                                   const char* column, sqlite3_int64 row, bool writable,
                                   BlobPtr* out) {
  sqlite3_blob* blob = nullptr;
  int rc = sqlite3_blob_open(db, schema, table, column, row, writable ? 1 : 0, &blob);
  out->reset(blob);
  if (rc != SQLITE_OK) out->reset();
  return rc;
}

// Prepares the statement cached in *slot on first use. make_sql() returns its text
// (sqlite3_malloc'd, null when out of memory) and runs only then, so a cached statement is
// formatted and compiled once per owner, not once per use. *slot stays null on failure.
template <typename MakeSql>
[[nodiscard]] int prepare_cached(sqlite3* db, sqlite3_stmt** slot, MakeSql make_sql) {
  if (*slot) return SQLITE_OK;
  SqlitePtr<char> sql(make_sql());
  if (!sql) return SQLITE_NOMEM;
  StmtPtr stmt;
  int rc = prepare(db, sql.get(), &stmt);
  if (rc == SQLITE_OK) *slot = stmt.release();
  return rc;
}
