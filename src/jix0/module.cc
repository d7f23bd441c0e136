// The jix0 module table, in the slot order of sqlite3_module (iVersion 3).
#include "jix0/module.h"

#include "jix0/lifecycle.h"
#include "jix0/query/cursor.h"
#include "jix0/query/plan.h"
#include "jix0/write/write.h"

const sqlite3_module jix0Module = {
    .iVersion = 3,
    .xCreate = jix0Create,
    .xConnect = jix0Connect,
    .xBestIndex = jix0BestIndex,
    .xDisconnect = jix0Disconnect,
    .xDestroy = jix0Destroy,
    .xOpen = jix0Open,
    .xClose = jix0Close,
    .xFilter = jix0Filter,
    .xNext = jix0Next,
    .xEof = jix0Eof,
    .xColumn = jix0Column,
    .xRowid = jix0Rowid,
    .xUpdate = jix0Update,
    .xBegin = jix0Begin,
    .xSync = jix0Sync,
    .xCommit = jix0Commit,
    .xRollback = jix0Rollback,
    .xFindFunction = nullptr,
    .xRename = jix0Rename,
    .xSavepoint = jix0Savepoint,
    .xRelease = nullptr,
    .xRollbackTo = jix0RollbackTo,
    .xShadowName = jix0ShadowName,
#if SQLITE_VERSION_NUMBER >= 3044000  // slot added by newer SQLite headers
    .xIntegrity = nullptr,
#endif
};
