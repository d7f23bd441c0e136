// jix0 writes: the xUpdate callback and the insert, delete and update paths.
#pragma once

#include "jix0/table/table.h"

// xUpdate: dispatches to insert, delete or update.
int jix0Update(sqlite3_vtab* pVtab, int argc, sqlite3_value** argv, sqlite_int64* pRowid);

[[nodiscard]] int jix0Update_Insert(jix0_vtab* p, sqlite3_value** argv, sqlite_int64* pRowid);
[[nodiscard]] int jix0Update_Delete(jix0_vtab* p, sqlite3_value* key);
[[nodiscard]] int jix0Update_Update(jix0_vtab* p, sqlite3_value** argv);

// The code a delete or update reports for a write that failed after others succeeded:
// SQLITE_ERROR, except that out-of-memory, I/O and disk-full failures keep their code.
// SQLite answers those by rolling back the statement or the whole transaction, which
// undoes the writes already made.
inline int jix0_write_failure(int rc) {
  int primary = rc & 0xff;
  if (rc == SQLITE_OK || primary == SQLITE_NOMEM || primary == SQLITE_IOERR ||
      primary == SQLITE_FULL) {
    return rc;
  }
  return SQLITE_ERROR;
}

// Checks one metadata value against its column's kind: SQLITE_OK, or SQLITE_ERROR with the
// message set. Lets a write check every value before it stores anything.
[[nodiscard]] int jix0_check_metadata_value(jix0_vtab* p, int metadataIdx, sqlite3_value* value);
// Checks one metadata value against its column's kind and writes it into the row's slot.
[[nodiscard]] int jix0_write_metadata_value(jix0_vtab* p, int metadataIdx, sqlite3_int64 rowid,
                                            sqlite3_int64 chunkId, sqlite3_int64 chunkOffset,
                                            sqlite3_value* value, int isUpdate);
