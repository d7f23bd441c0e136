// subtype(x): the SQLite subtype of its argument, so SQL tests can see how results are tagged.
#pragma once

#include <sqlite3.h>

inline void SubtypeProbe(sqlite3_context* context, int, sqlite3_value** argv) {
  sqlite3_result_int(context, (int)sqlite3_value_subtype(argv[0]));
}

// Registers subtype(x) on db; returns SQLite's code.
inline int RegisterSubtypeProbe(sqlite3* db) {
  return sqlite3_create_function(db, "subtype", 1, SQLITE_UTF8 | SQLITE_SUBTYPE, nullptr,
                                 SubtypeProbe, nullptr, nullptr);
}
