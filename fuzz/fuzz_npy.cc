// Fuzzes the .npy header and buffer parser through jix_npy_each over a BLOB.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sqlite3* db = FuzzOpenDb();
  static sqlite3_stmt* stmt = [] {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT rowid, vector, jix_length(vector) FROM jix_npy_each(?)", -1, &s,
                       nullptr);
    return s;
  }();
  sqlite3_bind_blob(stmt, 1, data, (int)size, SQLITE_TRANSIENT);
  FuzzDrain(stmt);
  sqlite3_reset(stmt);
  return 0;
}
