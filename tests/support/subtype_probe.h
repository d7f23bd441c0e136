// SQL helpers for tests of subtypes, registered on a test database:
//   subtype(x)      the SQLite subtype of its argument, so SQL tests can see how results are
//                   tagged (also under another name, where a test's SQL says subtype_of);
//   tag(x, subtype) x with the given subtype, as the vector converters would tag it, so
//                   tests need not rely on the conversion functions.
#pragma once

#include <sqlite3.h>

inline void SubtypeProbe(sqlite3_context* context, int, sqlite3_value** argv) {
  sqlite3_result_int(context, (int)sqlite3_value_subtype(argv[0]));
}

inline void TagProbe(sqlite3_context* context, int, sqlite3_value** argv) {
  sqlite3_result_value(context, argv[0]);
  sqlite3_result_subtype(context, (unsigned)sqlite3_value_int(argv[1]));
}

// Registers subtype(x), or the same function as name, on db; returns SQLite's code.
inline int RegisterSubtypeProbe(sqlite3* db, const char* name = "subtype") {
  return sqlite3_create_function(db, name, 1, SQLITE_UTF8 | SQLITE_SUBTYPE, nullptr, SubtypeProbe,
                                 nullptr, nullptr);
}

// Registers tag(x, subtype) on db; returns SQLite's code.
inline int RegisterTagProbe(sqlite3* db) {
  return sqlite3_create_function(db, "tag", 2, SQLITE_UTF8, nullptr, TagProbe, nullptr, nullptr);
}
