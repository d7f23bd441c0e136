// Small owning wrappers around SQLite handles and SQLite-allocated memory.
#pragma once

#include <cstring>
#include <memory>
#include <utility>

#include "base/calls.h"
#include "base/sqlite.h"

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

// For a sqlite3_malloc'd record whose fields own memory too: Clear frees those, then the
// record goes.
template <typename T, void (*Clear)(T*)>
struct ClearAndFree {
  void operator()(T* p) const {
    Clear(p);
    sqlite3_free(p);
  }
};

using StmtPtr = std::unique_ptr<sqlite3_stmt, FinalizeStmt>;
using BlobPtr =
    std::unique_ptr<sqlite3_blob, CloseBlob>;  // release() + close by hand when rc matters
using ValuePtr = std::unique_ptr<sqlite3_value, ValueFree>;
template <typename T>
using SqlitePtr = std::unique_ptr<T, SqliteFree>;  // sqlite3_malloc'd
template <typename T, void (*Clear)(T*)>
using ClearedPtr = std::unique_ptr<T, ClearAndFree<T, Clear>>;

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
  SqlitePtr<char> finish() {
    return SqlitePtr<char>(sqlite3_str_finish(std::exchange(str_, nullptr)));
  }

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

// bytes zero-filled bytes from SQLite's allocator, or null: out of memory, or bytes == 0.
inline void* malloc_zeroed_bytes(sqlite3_uint64 bytes) {
  void* p = sqlite3_malloc64(bytes);
  if (p) memset(p, 0, bytes);
  return p;
}

// A zero-filled T from SQLite's allocator, or null: the plain structs SQLite drives (tables,
// cursors, query records) start this way.
template <typename T>
T* malloc_zeroed() {
  return (T*)malloc_zeroed_bytes(sizeof(T));
}

// count uninitialised Ts from SQLite's allocator, or null when out of memory; a count of 0
// still gives a (one-byte) allocation.
template <typename T>
SqlitePtr<T> allocate_array(sqlite3_uint64 count) {
  return SqlitePtr<T>((T*)sqlite3_malloc64(count > 0 ? count * sizeof(T) : 1));
}

// count zero-filled Ts from SQLite's allocator, or null when out of memory. A count of 0
// still gives a (one-byte) allocation, so only null means failure.
template <typename T>
SqlitePtr<T> allocate_zeroed(sqlite3_uint64 count) {
  return SqlitePtr<T>((T*)malloc_zeroed_bytes(count > 0 ? count * sizeof(T) : 1));
}

// Prepares sql on db. *out is empty unless the result is SQLITE_OK.
[[nodiscard]] inline int prepare(sqlite3* db, const char* sql, StmtPtr* out) {
  sqlite3_stmt* stmt = nullptr;
  int rc = jix_prepare_v2(db, sql, -1, &stmt, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(stmt);
    out->reset();
    return rc;
  }
  out->reset(stmt);
  return SQLITE_OK;
}

// Prepares sql, sqlite3_malloc'd text that this takes over (null: out of memory).
[[nodiscard]] inline int prepare_text(sqlite3* db, char* sql, StmtPtr* out) {
  SqlitePtr<char> text(sql);
  if (!text) return SQLITE_NOMEM;
  return prepare(db, text.get(), out);
}

// Opens a BLOB handle on one row's column, read-write when writable. *out is empty unless
// the result is SQLITE_OK.
[[nodiscard]] inline int open_blob(sqlite3* db, const char* schema, const char* table,
                                   const char* column, sqlite3_int64 row, bool writable,
                                   BlobPtr* out) {
  sqlite3_blob* blob = nullptr;
  int rc = jix_blob_open(db, schema, table, column, row, writable ? 1 : 0, &blob);
  out->reset(blob);
  if (rc != SQLITE_OK) out->reset();
  return rc;
}

// True when slot number `slot` of bytesPerSlot bytes lies inside the BLOB; then its offset,
// slot * bytesPerSlot, fits the BLOB interface's int. Slots of no bytes fit from 0 on.
inline bool blob_slot_fits(sqlite3_blob* blob, sqlite3_int64 slot, sqlite3_int64 bytesPerSlot) {
  if (slot < 0) return false;
  return bytesPerSlot == 0 || slot < sqlite3_blob_bytes(blob) / bytesPerSlot;
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
