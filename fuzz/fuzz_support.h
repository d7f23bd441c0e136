// Shared set-up of the fuzz targets: one connection with every entry point registered.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>

#include "extension/entry.h"

inline sqlite3* FuzzOpenDb() {
  sqlite3* db = nullptr;
  sqlite3_open(":memory:", &db);
  char* error = nullptr;
  sqlite3_jix_init(db, &error, nullptr);
  sqlite3_jix_numpy_init(db, &error, nullptr);
  sqlite3_jix_static_blobs_init(db, &error, nullptr);
  // Bound runaway memory so a huge allocation request is an error, not a crash.
  sqlite3_hard_heap_limit64(256 << 20);
  return db;
}

// Steps stmt to the end, reading every column so that every xColumn path runs.
inline int FuzzDrain(sqlite3_stmt* stmt) {
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    for (int c = 0; c < sqlite3_column_count(stmt); c++) {
      sqlite3_column_blob(stmt, c);
      sqlite3_column_bytes(stmt, c);
    }
  }
  return rc;
}
