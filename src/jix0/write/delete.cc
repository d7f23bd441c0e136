// Placeholder until delete is built.
#include "jix0/write/write.h"

int jix0Update_Delete(jix0_vtab* p, sqlite3_value*) {
  vtab_set_error(&p->base, "DELETE on jix0 tables is not implemented yet");
  return SQLITE_ERROR;
}
