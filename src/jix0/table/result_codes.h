// Result codes across jix0: which failures come from the host and must reach the
// application unchanged.
#pragma once

#include "base/sqlite.h"

// True for the failures that come from the host rather than from the table: out of memory,
// a full disk or database, a value too big, an interrupt, a busy or locked database, a
// read-only database, I/O errors and a damaged database file. SQLite decides from their
// codes whether the statement or the whole transaction is rolled back, and the application
// needs them to tell a rolled-back transaction from a refused statement.
inline bool jix0_is_host_failure(int rc) {
  switch (rc & 0xff) {
    case SQLITE_NOMEM:
    case SQLITE_FULL:
    case SQLITE_TOOBIG:
    case SQLITE_INTERRUPT:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_IOERR:
    case SQLITE_CORRUPT:
    case SQLITE_CANTOPEN:
    case SQLITE_READONLY:
      return true;
  }
  return false;
}

// The code to report for a failed SQLite call: its own when the host failed, else
// SQLITE_ERROR (the table's storage or input is at fault, and a message says how).
inline int jix0_failure_code(int rc) {
  return jix0_is_host_failure(rc) ? rc : SQLITE_ERROR;
}
