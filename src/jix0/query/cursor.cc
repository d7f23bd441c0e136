// Placeholder until the cursor is built.
#include "jix0/query/cursor.h"

int jix0Open(sqlite3_vtab*, sqlite3_vtab_cursor**) { return SQLITE_ERROR; }
int jix0Close(sqlite3_vtab_cursor* cur) {
  sqlite3_free(cur);
  return SQLITE_OK;
}
int jix0Filter(sqlite3_vtab_cursor*, int, const char*, int, sqlite3_value**) { return SQLITE_ERROR; }
int jix0Next(sqlite3_vtab_cursor*) { return SQLITE_ERROR; }
int jix0Eof(sqlite3_vtab_cursor*) { return 1; }
int jix0Column(sqlite3_vtab_cursor*, sqlite3_context*, int) { return SQLITE_ERROR; }
int jix0Rowid(sqlite3_vtab_cursor*, sqlite_int64*) { return SQLITE_ERROR; }
