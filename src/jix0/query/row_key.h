// Integer row keys as SQLite's own rowid tables compare them: the value a point lookup or a
// rowid IN list names, or none.
#pragma once

#include "base/sqlite.h"

// The rowid that `rowid = value` matches in an ordinary rowid table: an integer, a real with
// an exact integer value, or a text that reads as one of those (numeric affinity). SQLITE_OK
// with *outRowid set; SQLITE_EMPTY when the value matches no rowid (1.5, '2abc', a BLOB,
// NULL); SQLITE_NOMEM.
[[nodiscard]] int jix0_integer_key(sqlite3_value* value, sqlite3_int64* outRowid);
