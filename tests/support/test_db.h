// Test fixture helpers: a connection with jix registered, and compact renderings of
// query results so tests compare rows or exact error messages as text.
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

struct SqlCase {
  const char* sql;
  const char* expected;  // rows as text (see TestDb::Query), or the exact error message
};

class TestDb {
 public:
  // Opens path (":memory:" by default) and registers jix with sqlite3_jix_init.
  explicit TestDb(const char* path = ":memory:");
  ~TestDb();
  TestDb(const TestDb&) = delete;
  TestDb& operator=(const TestDb&) = delete;

  sqlite3* db() const { return db_; }

  // Runs every statement of sql; fails the test on error.
  void Exec(const std::string& sql);
  // Runs sql and returns its rows: columns joined by '|', rows by '\n'. NULL is "NULL",
  // a BLOB is X'hex', other values are SQLite's text conversion. On error, the message.
  std::string Query(const std::string& sql);
  // Like Query, but binds each parameter in order as a BLOB.
  std::string QueryWithBlobs(const std::string& sql,
                             const std::vector<std::vector<unsigned char>>& blobs);
  // The result code of running sql (SQLITE_OK when every statement succeeded).
  int Run(const std::string& sql);
  // The whole content of every table whose name starts with prefix, for byte-exact comparisons.
  std::string DumpTables(const std::string& prefix);

 private:
  sqlite3* db_ = nullptr;
};

// Renders the current row of stmt as Query does.
std::string RenderRow(sqlite3_stmt* stmt);
std::string Hex(const void* data, int n);
// Compact float32 BLOB of the given elements.
std::vector<unsigned char> Float32Blob(const std::vector<float>& values);

// What a write that failed part-way adds to its cause's message, once SQLite has rolled the
// transaction back for it.
constexpr char kRolledBackNote[] =
    " (the write to t failed part-way, so the transaction was rolled back)";
// message without kRolledBackNote: tests of damage check the cause, whether the write had
// begun or not.
std::string WithoutRolledBackNote(const std::string& message);
