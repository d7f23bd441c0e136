// jix0 table lifecycle: construction (xCreate creates the shadow tables, xConnect touches
// no storage), release, destruction, transaction callbacks and shadow-table names.
#pragma once

#include "jix0/table/table.h"

int jix0Create(sqlite3* db, void* pAux, int argc, const char* const* argv, sqlite3_vtab** ppVtab,
               char** pzErr);
int jix0Connect(sqlite3* db, void* pAux, int argc, const char* const* argv, sqlite3_vtab** ppVtab,
                char** pzErr);
int jix0Disconnect(sqlite3_vtab* pVtab);
int jix0Destroy(sqlite3_vtab* pVtab);
// xRename: renames every shadow table along with the table, within the ALTER TABLE statement.
int jix0Rename(sqlite3_vtab* pVtab, const char* zNew);
int jix0Begin(sqlite3_vtab* pVtab);
int jix0Sync(sqlite3_vtab* pVtab);
int jix0Commit(sqlite3_vtab* pVtab);
int jix0Rollback(sqlite3_vtab* pVtab);
// Savepoints: the connection's remembered chunks do not outlive a ROLLBACK TO.
int jix0Savepoint(sqlite3_vtab* pVtab, int savepoint);
int jix0RollbackTo(sqlite3_vtab* pVtab, int savepoint);
int jix0ShadowName(const char* suffix);

// Finalizes every statement cached on the table (the stmt* fields of jix0_vtab) and marks
// them absent; each is prepared again on its next use.
void jix0_free_resources(jix0_vtab* p);
// Finalizes the cached statements and frees every owned string; safe to call twice.
// Does not free p itself.
void jix0_free(jix0_vtab* p);

// The jix0 tables a connection has open: the jix0 module's client data, one per connection,
// freed with the module (after its last table).
struct Jix0Tables {
  jix0_vtab* first;
  struct ChunkCacheBudget* cacheBudget;  // the connection's chunk-cache budget (a reference)
};

// The module's destructor of its Jix0Tables: drops the budget reference and frees it.
void jix0_tables_free(void* tables);

// The open table `name` (any case) of schema `schema`, or of the first schema in SQLite's
// order (temp, main, then the attached ones) when schema is null; null when none is open.
jix0_vtab* jix0_tables_find(Jix0Tables* tables, const char* schema, const char* name);
