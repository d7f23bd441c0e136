// Placeholder until insert is built.
#include "jix0/write/write.h"

int jix0Update(sqlite3_vtab* pVtab, int, sqlite3_value**, sqlite_int64*) {
  vtab_set_error(pVtab, "not implemented");
  return SQLITE_ERROR;
}
