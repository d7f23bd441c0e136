// The SQLite calls through which the library reads and writes its tables.
//
// Every step, BLOB open, read and write, and every prepare goes through these wrappers. They
// count the calls that changed the database, so a write that fails can tell whether it had
// already changed anything (see jix_write_count). The test build also carries a hook that
// fails the Nth call with a chosen code, to sweep every failure point of a workload.
#pragma once

#include "base/sqlite.h"

[[nodiscard]] int jix_step(sqlite3_stmt* stmt);
[[nodiscard]] int jix_prepare_v2(sqlite3* db, const char* sql, int bytes, sqlite3_stmt** out,
                                 const char** tail);
[[nodiscard]] int jix_blob_open(sqlite3* db, const char* schema, const char* table,
                                const char* column, sqlite3_int64 row, int writable,
                                sqlite3_blob** out);
[[nodiscard]] int jix_blob_read(sqlite3_blob* blob, void* out, int bytes, int offset);
[[nodiscard]] int jix_blob_write(sqlite3_blob* blob, const void* in, int bytes, int offset);
[[nodiscard]] int jix_blob_reopen(sqlite3_blob* blob, sqlite3_int64 row);

// How many calls on this thread have changed a database so far: successful steps of statements
// that are not read-only, and successful BLOB writes. Only differences of it mean anything.
sqlite3_uint64 jix_write_count();

// Test hook, compiled into the test build only (JIX_FAULT_HOOK). jix_fault_arm(n, code) makes
// the nth wrapped call from now on fail with code, once, without reaching SQLite; n = 0
// disarms. jix_fault_fired() tells whether the armed call was reached.
#if defined(JIX_FAULT_HOOK)
void jix_fault_arm(long n, int code);
bool jix_fault_fired();
#endif
