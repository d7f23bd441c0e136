// Placeholder until the table lifecycle is built.
#include "jix0/table/lifecycle.h"

int jix0Create(sqlite3*, void*, int, const char* const*, sqlite3_vtab**, char** pzErr) {
  *pzErr = sqlite3_mprintf("jix0 constructor error: not implemented");
  return SQLITE_ERROR;
}
int jix0Connect(sqlite3* db, void* pAux, int argc, const char* const* argv, sqlite3_vtab** ppVtab,
                char** pzErr) {
  return jix0Create(db, pAux, argc, argv, ppVtab, pzErr);
}
int jix0Disconnect(sqlite3_vtab* pVtab) {
  sqlite3_free(pVtab);
  return SQLITE_OK;
}
int jix0Destroy(sqlite3_vtab* pVtab) { return jix0Disconnect(pVtab); }
int jix0Begin(sqlite3_vtab*) { return SQLITE_OK; }
int jix0Sync(sqlite3_vtab*) { return SQLITE_OK; }
int jix0Commit(sqlite3_vtab*) { return SQLITE_OK; }
int jix0Rollback(sqlite3_vtab*) { return SQLITE_OK; }
int jix0ShadowName(const char*) { return 0; }
void jix0_free_resources(jix0_vtab*) {}
void jix0_free(jix0_vtab*) {}
