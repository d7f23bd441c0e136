// Statement atomicity for every write through xUpdate (INSERT, UPDATE, DELETE, commands).
//
// A write that fails after it changed a shadow table cannot put the bytes back: SQLite refuses
// a SAVEPOINT while the statement runs, and takes no statement journal for a one-row INSERT
// into a virtual table or for a command. Left alone, the partial write would become permanent
// at the next COMMIT. So a write that fails part-way reports SQLITE_IOERR, one of the codes
// for which SQLite rolls back the whole transaction: the table is then exactly as it was
// before the transaction began. A write that fails before its first change keeps its own code
// and message, and the transaction goes on. (DROP TABLE and ALTER TABLE take a statement
// journal of their own, so xDestroy and xRename need no guard.)
#pragma once

#include "base/calls.h"
#include "jix0/table/table.h"
#include "vector/vector.h"

class WriteGuard {
 public:
  explicit WriteGuard(jix0_vtab* p) : p_(p), writesBefore_(jix_write_count()) {}
  WriteGuard(const WriteGuard&) = delete;
  WriteGuard& operator=(const WriteGuard&) = delete;

  // The code to report for the write's result rc.
  [[nodiscard]] int Finish(int rc) {
    if (rc == SQLITE_OK || jix_write_count() == writesBefore_) return rc;
    switch (rc & 0xff) {
      case SQLITE_NOMEM:
      case SQLITE_IOERR:
      case SQLITE_FULL:
      case SQLITE_INTERRUPT:
        return rc;  // SQLite rolls back for these itself
    }
    const char* cause = p_->base.zErrMsg ? p_->base.zErrMsg : sqlite3_errstr(rc);
    char* message =
        sqlite3_mprintf("%s (the write to %s failed part-way, so the transaction was rolled back)",
                        cause, p_->tableName ? p_->tableName : "the jix0 table");
    sqlite3_free(p_->base.zErrMsg);
    p_->base.zErrMsg = message;
    return SQLITE_IOERR;
  }

 private:
  jix0_vtab* p_;
  sqlite3_uint64 writesBefore_;
};
