// The library's three entry points, with SQLite's extension-entry signature.
#pragma once

#include "base/sqlite.h"

extern "C" {
JIX_EXPORT int sqlite3_jix_init(sqlite3* db, char** pzErrMsg, const sqlite3_api_routines* pApi);
JIX_EXPORT int sqlite3_jix_numpy_init(sqlite3* db, char** pzErrMsg,
                                      const sqlite3_api_routines* pApi);
JIX_EXPORT int sqlite3_jix_static_blobs_init(sqlite3* db, char** pzErrMsg,
                                             const sqlite3_api_routines* pApi);
}

// Flag sets: S reads argument subtypes, R also tags its result, I takes no vector.
constexpr int JIX_FLAGS_I = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
constexpr int JIX_FLAGS_S = JIX_FLAGS_I | SQLITE_SUBTYPE;
constexpr int JIX_FLAGS_R = JIX_FLAGS_S | SQLITE_RESULT_SUBTYPE;
static_assert(JIX_FLAGS_I == 0x200801 && JIX_FLAGS_S == 0x300801 && JIX_FLAGS_R == 0x1300801);
