// Registers jix in every SQLite connection of the node, with an authorizer that keeps
// the journal in WAL mode: dqlite replicates WAL frames, and the dqlite 1.11 engine aborts the
// whole process ("free(): invalid pointer") when a client switches a database to another mode.
#include "register.h"

#include <dlfcn.h>
#include <sqlite3.h>
#include <stddef.h>

typedef int (*ExtensionInit)(sqlite3*, char**, const sqlite3_api_routines*);

// Set once by jix_register before any connection exists, only read afterwards.
static ExtensionInit jixInit;

// Reading the journal mode and setting it to WAL (what the engine itself does on every new
// connection) stay allowed; any other value is refused before it reaches the engine.
static int keep_wal_journal(void* unused, int action, const char* name, const char* value,
                            const char* schema, const char* trigger) {
  (void)unused;
  (void)schema;
  (void)trigger;
  if (action != SQLITE_PRAGMA || name == NULL || sqlite3_stricmp(name, "journal_mode") != 0) {
    return SQLITE_OK;
  }
  if (value == NULL || sqlite3_stricmp(value, "wal") == 0) return SQLITE_OK;
  return SQLITE_DENY;
}

static int jix_node_init(sqlite3* db, char** pzErrMsg, const sqlite3_api_routines* pApi) {
  int rc = jixInit(db, pzErrMsg, pApi);
  if (rc != SQLITE_OK) return rc;
  return sqlite3_set_authorizer(db, keep_wal_journal, NULL);
}

// The version jix reports on a new connection, or NULL when it does not answer.
static char* registered_version(void) {
  sqlite3* db = NULL;
  char* out = NULL;
  if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE, NULL) == SQLITE_OK) {
    sqlite3_stmt* stmt = NULL;
    if (sqlite3_prepare_v2(db, "SELECT jix_version()", -1, &stmt, NULL) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0) != NULL) {
      out = sqlite3_mprintf("%s", (const char*)sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return out;
}

int jix_register(const char* path, char** outVersion, char** outError) {
  *outVersion = NULL;
  *outError = NULL;
  // RTLD_NOW: a library that cannot resolve its symbols fails here rather than mid-query.
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    *outError = sqlite3_mprintf("cannot load %s: %s", path, dlerror());
    return 1;
  }
  // Only the main entry point: the NumPy functions read files on the node's own machine and
  // static blobs take memory addresses of this process, neither of which a client should reach.
  jixInit = (ExtensionInit)dlsym(library, "sqlite3_jix_init");
  if (jixInit == NULL) {
    *outError = sqlite3_mprintf("%s has no entry point sqlite3_jix_init", path);
    dlclose(library);
    return 1;
  }
  int rc = sqlite3_auto_extension((void (*)(void))jix_node_init);
  if (rc != SQLITE_OK) {
    *outError = sqlite3_mprintf("cannot register %s: %s", path, sqlite3_errstr(rc));
    return 1;
  }
  *outVersion = registered_version();
  if (*outVersion == NULL) {
    *outError = sqlite3_mprintf("%s is registered, but jix_version() does not answer", path);
    return 1;
  }
  return 0;
}
