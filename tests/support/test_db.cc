#include "support/test_db.h"

#include <cstring>
#include <gtest/gtest.h>

#include "extension/entry.h"

TestDb::TestDb(const char* path) {
  // URI filenames whatever the library's default (the amalgamation's is off).
  int rc = sqlite3_open_v2(path, &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI,
                           nullptr);
  EXPECT_EQ(rc, SQLITE_OK);
  char* error = nullptr;
  rc = sqlite3_jix_init(db_, &error, nullptr);
  EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
}

TestDb::~TestDb() {
  EXPECT_EQ(sqlite3_close(db_), SQLITE_OK) << "statement or blob left open";
}

void TestDb::Exec(const std::string& sql) {
  char* error = nullptr;
  int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
  EXPECT_EQ(rc, SQLITE_OK) << sql << ": " << (error ? error : "");
  sqlite3_free(error);
}

int TestDb::Run(const std::string& sql) {
  return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
}

std::string Hex(const void* data, int n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  const unsigned char* p = (const unsigned char*)data;
  for (int i = 0; i < n; i++) {
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 15];
  }
  return out;
}

std::string RenderRow(sqlite3_stmt* stmt) {
  std::string row;
  for (int c = 0; c < sqlite3_column_count(stmt); c++) {
    if (c > 0) row += "|";
    switch (sqlite3_column_type(stmt, c)) {
      case SQLITE_NULL:
        row += "NULL";
        break;
      case SQLITE_BLOB: {
        const void* p = sqlite3_column_blob(stmt, c);
        row += "X'" + Hex(p, sqlite3_column_bytes(stmt, c)) + "'";
        break;
      }
      default: {
        const char* text = (const char*)sqlite3_column_text(stmt, c);
        row += text ? text : "<out of memory>";
      }
    }
  }
  return row;
}

std::string TestDb::QueryWithBlobs(const std::string& sql,
                                   const std::vector<std::vector<unsigned char>>& blobs) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    return sqlite3_errmsg(db_);
  }
  for (size_t i = 0; i < blobs.size(); i++) {
    sqlite3_bind_blob(stmt, (int)i + 1, blobs[i].data(), (int)blobs[i].size(), SQLITE_TRANSIENT);
  }
  std::string out;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    if (!out.empty()) out += "\n";
    out += RenderRow(stmt);
  }
  if (rc != SQLITE_DONE) out = sqlite3_errmsg(db_);
  sqlite3_finalize(stmt);
  return out;
}

std::string TestDb::Query(const std::string& sql) {
  return QueryWithBlobs(sql, {});
}

std::string TestDb::DumpTables(const std::string& prefix) {
  std::string names = Query("SELECT name FROM sqlite_master WHERE type='table' AND name LIKE '" +
                            prefix + "%' ORDER BY name");
  std::string out;
  size_t start = 0;
  while (start < names.size()) {
    size_t end = names.find('\n', start);
    if (end == std::string::npos) end = names.size();
    std::string name = names.substr(start, end - start);
    out += "== " + name + "\n" + Query("SELECT _rowid_, * FROM \"" + name + "\" ORDER BY 1") + "\n";
    start = end + 1;
  }
  return out;
}

std::vector<unsigned char> Float32Blob(const std::vector<float>& values) {
  std::vector<unsigned char> out(values.size() * 4);
  memcpy(out.data(), values.data(), out.size());
  return out;
}

std::string WithoutRolledBackNote(const std::string& message) {
  const std::string note = kRolledBackNote;
  if (message.size() >= note.size() &&
      message.compare(message.size() - note.size(), note.size(), note) == 0) {
    return message.substr(0, message.size() - note.size());
  }
  return message;
}
