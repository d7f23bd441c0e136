// The table's cached statements: their texts, their preparation on first use, and the one
// loop that finalizes them.
#include "jix0/storage/statements.h"

#include "base/handles.h"
#include "jix0/storage/chunks.h"
#include "jix0/storage/shadow_tables.h"

namespace {

// A statement on the table's shadow tables, formatted with the schema and table names and,
// where the format takes one, the column index.
char* table_sql(const jix0_vtab* p, const char* format, int column) {
  return sqlite3_mprintf(format, p->schemaName, p->tableName, column);
}

// The text of statement `which`, sqlite3_malloc'd; null when memory runs out.
char* statement_sql(const jix0_vtab* p, Jix0Stmt which, int column) {
  switch (which) {
    case JIX0_STMT_LATEST_CHUNK:
      return jix0_sql_latest_chunk(p);
    case JIX0_STMT_INSERT_CHUNK:
      return jix0_sql_insert_chunk(p);
    case JIX0_STMT_DELETE_CHUNK:
      return table_sql(p, JIX0_SQL_DELETE_CHUNK, 0);
    case JIX0_STMT_ROWIDS_INSERT_ROWID:
      return table_sql(p, JIX0_SQL_ROWIDS_INSERT_ROWID, 0);
    case JIX0_STMT_ROWIDS_INSERT_ID:
      return table_sql(p, JIX0_SQL_ROWIDS_INSERT_ID, 0);
    case JIX0_STMT_ROWIDS_UPDATE_POSITION:
      return table_sql(p, JIX0_SQL_ROWIDS_UPDATE_POSITION, 0);
    case JIX0_STMT_ROWIDS_GET_CHUNK_POSITION:
      return table_sql(p, JIX0_SQL_ROWIDS_GET_CHUNK_POSITION, 0);
    case JIX0_STMT_DELETE_ROWID:
      return table_sql(p, JIX0_SQL_DELETE_ROWID, 0);
    case JIX0_STMT_INSERT_AUXILIARY:
      return jix0_sql_insert_auxiliary(p);
    case JIX0_STMT_DELETE_AUXILIARY:
      return table_sql(p, JIX0_SQL_DELETE_AUXILIARY, 0);
    case JIX0_STMT_INSERT_VECTOR_CHUNK:
      return table_sql(p, JIX0_SQL_INSERT_VECTOR_CHUNK, column);
    case JIX0_STMT_DELETE_VECTOR_CHUNK:
      return table_sql(p, JIX0_SQL_DELETE_VECTOR_CHUNK, column);
    case JIX0_STMT_INSERT_METADATA_CHUNK:
      return table_sql(p, JIX0_SQL_INSERT_METADATA_CHUNK, column);
    case JIX0_STMT_DELETE_METADATA_CHUNK:
      return table_sql(p, JIX0_SQL_DELETE_METADATA_CHUNK, column);
    case JIX0_STMT_INSERT_METADATA_TEXT:
      return table_sql(p, JIX0_SQL_INSERT_METADATA_TEXT, column);
    case JIX0_STMT_INSERT_CODES:
      return sqlite3_mprintf(JIX0_SQL_INSERT_CODES, p->schemaName, p->shadowCodesName);
    case JIX0_STMT_DELETE_CODES:
      return sqlite3_mprintf(JIX0_SQL_DELETE_CODES, p->schemaName, p->shadowCodesName);
    case JIX0_STMT_COUNT:
      break;
  }
  return nullptr;
}

// The name a failed prepare reports, for the statements whose failure has a message.
const char* statement_name(Jix0Stmt which) {
  switch (which) {
    case JIX0_STMT_LATEST_CHUNK:
      return "latest chunk";
    case JIX0_STMT_ROWIDS_INSERT_ROWID:
      return "insert rowids";
    case JIX0_STMT_ROWIDS_INSERT_ID:
      return "insert rowids id";
    case JIX0_STMT_ROWIDS_UPDATE_POSITION:
      return "update rowids position";
    case JIX0_STMT_ROWIDS_GET_CHUNK_POSITION:
      return "rowids get chunk position";
    default:
      return nullptr;
  }
}

}  // namespace

int jix0_stmt(jix0_vtab* p, Jix0Stmt which, int column, sqlite3_stmt** out) {
  sqlite3_stmt** slot = &p->stmts[which + column];
  bool formatted = false;
  int rc = prepare_cached(p->db, slot, [&] {
    char* sql = statement_sql(p, which, column);
    formatted = sql != nullptr;
    return sql;
  });
  if (rc != SQLITE_OK) {
    const char* name = statement_name(which);
    if (formatted && name) {
      vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": could not initialize '%s' statement", name);
    }
    return rc;
  }
  *out = *slot;
  return SQLITE_OK;
}

void jix0_stmt_forget(jix0_vtab* p, Jix0Stmt which) {
  sqlite3_finalize(p->stmts[which]);
  p->stmts[which] = nullptr;
}

void jix0_stmts_finalize(jix0_vtab* p) {
  for (sqlite3_stmt*& stmt : p->stmts) {
    sqlite3_finalize(stmt);
    stmt = nullptr;
  }
  sqlite3_finalize(p->knnChunksStmt);
  p->knnChunksStmt = nullptr;
  sqlite3_free(p->knnChunksSql);
  p->knnChunksSql = nullptr;
  for (sqlite3_stmt*& stmt : p->readerPartitionStmts) {
    sqlite3_finalize(stmt);
    stmt = nullptr;
  }
  for (sqlite3_stmt*& stmt : p->readerAuxiliaryStmts) {
    sqlite3_finalize(stmt);
    stmt = nullptr;
  }
}
