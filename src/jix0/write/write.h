// jix0 writes: the xUpdate callback and the insert, delete and update paths.
#pragma once

#include "jix0/table/result_codes.h"
#include "jix0/table/table.h"

// xUpdate: dispatches to insert, delete or update.
int jix0Update(sqlite3_vtab* pVtab, int argc, sqlite3_value** argv, sqlite_int64* pRowid);

[[nodiscard]] int jix0Update_Insert(jix0_vtab* p, sqlite3_value** argv, sqlite_int64* pRowid);
[[nodiscard]] int jix0Update_Delete(jix0_vtab* p, sqlite3_value* key);
// Deletes the stored row with this rowid (the TEXT key already resolved).
[[nodiscard]] int jix0Update_DeleteRowid(jix0_vtab* p, sqlite3_int64 rowid);
[[nodiscard]] int jix0Update_Update(jix0_vtab* p, sqlite3_value** argv);

class Chunk;
struct ChunkFault;
// The message of a codes BLOB that a write cannot open, or whose size is wrong; the code to
// report.
int jix0_codes_fault(jix0_vtab* p, const ChunkFault& f);
// Writes a row's code (jix0_index_code, taken before the write's first change) into its slot
// of the chunk's codes, opened for writing by the write's checks, and closes the handle. Sets
// the message on failure.
[[nodiscard]] int jix0_write_code(jix0_vtab* p, Chunk* chunk, sqlite3_int64 chunkId,
                                  sqlite3_int64 chunkOffset, const void* code);

// The code a delete or update reports for a write that failed after others succeeded:
// SQLITE_ERROR, except that failures of the host keep their code.
// SQLite answers those by rolling back the statement or the whole transaction, which
// undoes the writes already made.
inline int jix0_write_failure(int rc) {
  if (rc == SQLITE_OK || jix0_is_host_failure(rc)) return rc;
  return SQLITE_ERROR;
}
