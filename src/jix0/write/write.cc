// The xUpdate dispatch, and the metadata writers that the insert and update paths share.
#include "jix0/write/write.h"

#include <cstdint>
#include <cstring>

#include "base/handles.h"
#include "jix0/storage/chunks.h"
#include "jix0/storage/shadow_tables.h"
#include "jix0/write/command.h"

namespace {

// Runs one statement on the metadata-text table of column m, binding the rowid to ?1 and,
// when text is given, the text to ?2. With a cache slot the statement is kept there (the
// insert, which every new row with a long text runs); without, it is prepared for this use.
int run_metadata_text(jix0_vtab* p, const char* format, sqlite3_stmt** cache, int m,
                      sqlite3_int64 rowid, const char* text, int n) {
  StmtPtr owned;
  sqlite3_stmt* stmt;
  int rc;
  if (cache) {
    rc = prepare_cached(p->db, cache,
                        [&] { return sqlite3_mprintf(format, p->schemaName, p->tableName, m); });
    stmt = *cache;
  } else {
    SqlitePtr<char> sql(sqlite3_mprintf(format, p->schemaName, p->tableName, m));
    if (!sql) return SQLITE_NOMEM;
    rc = prepare(p->db, sql.get(), &owned);
    stmt = owned.get();
  }
  if (rc != SQLITE_OK) return rc;
  ResetOnExit reset(owned ? nullptr : stmt);
  sqlite3_bind_int64(stmt, 1, rowid);
  if (text) sqlite3_bind_text(stmt, 2, text, n, SQLITE_STATIC);
  rc = sqlite3_step(stmt);
  return rc == SQLITE_DONE ? SQLITE_OK : jix0_failure_code(rc);
}

int write_metadata_text(jix0_vtab* p, sqlite3_blob* blob, int m, sqlite3_int64 rowid,
                        sqlite3_int64 chunkOffset, sqlite3_value* value, int isUpdate) {
  const int offset = (int)(chunkOffset * JIX0_METADATA_TEXT_ENTRY);
  int32_t previousLength;
  int rc = sqlite3_blob_read(blob, &previousLength, sizeof(previousLength), offset);
  if (rc != SQLITE_OK) return rc;
  const char* text = (const char*)sqlite3_value_text(value);
  int32_t n = sqlite3_value_bytes(value);
  uint8_t entry[JIX0_METADATA_TEXT_ENTRY] = {};
  memcpy(entry, &n, sizeof(n));
  if (n > 0) memcpy(entry + 4, text, n < JIX0_METADATA_TEXT_PREFIX ? n : JIX0_METADATA_TEXT_PREFIX);
  rc = sqlite3_blob_write(blob, entry, sizeof(entry), offset);
  if (rc != SQLITE_OK) return rc;
  if (n > JIX0_METADATA_TEXT_PREFIX) {
    if (isUpdate && previousLength > JIX0_METADATA_TEXT_PREFIX) {
      return run_metadata_text(p, JIX0_SQL_UPDATE_METADATA_TEXT, nullptr, m, rowid, text, n);
    }
    return run_metadata_text(p, JIX0_SQL_INSERT_METADATA_TEXT, &p->stmtMetadataTextInsert[m], m,
                             rowid, text, n);
  }
  if (previousLength > JIX0_METADATA_TEXT_PREFIX) {
    return run_metadata_text(p, JIX0_SQL_DELETE_METADATA_TEXT, nullptr, m, rowid, nullptr, 0);
  }
  return SQLITE_OK;
}

int write_metadata_slot(jix0_vtab* p, sqlite3_blob* blob, int m, sqlite3_int64 rowid,
                        sqlite3_int64 chunkOffset, sqlite3_value* value, int isUpdate) {
  switch (p->metadata_columns[m].kind) {
    case JIX0_METADATA_BOOLEAN: {
      uint8_t byte;
      int offset = (int)(chunkOffset / 8);
      int rc = sqlite3_blob_read(blob, &byte, 1, offset);
      if (rc != SQLITE_OK) return rc;
      uint8_t mask = (uint8_t)(1u << (chunkOffset % 8));
      byte = sqlite3_value_int64(value) ? (uint8_t)(byte | mask) : (uint8_t)(byte & ~mask);
      return sqlite3_blob_write(blob, &byte, 1, offset);
    }
    case JIX0_METADATA_INTEGER: {
      sqlite3_int64 v = sqlite3_value_int64(value);
      return sqlite3_blob_write(blob, &v, 8, (int)(chunkOffset * 8));
    }
    case JIX0_METADATA_FLOAT: {
      double v = sqlite3_value_double(value);
      return sqlite3_blob_write(blob, &v, 8, (int)(chunkOffset * 8));
    }
    case JIX0_METADATA_TEXT:
      return write_metadata_text(p, blob, m, rowid, chunkOffset, value, isUpdate);
  }
  return SQLITE_ERROR;
}

}  // namespace

int jix0Update(sqlite3_vtab* pVtab, int argc, sqlite3_value** argv, sqlite_int64* pRowid) {
  jix0_vtab* p = (jix0_vtab*)pVtab;
  bool oldRowidIsNull = argc >= 1 && sqlite3_value_type(argv[0]) == SQLITE_NULL;
  if (argc < 1 || (argc == 1 && oldRowidIsNull)) {
    vtab_set_error(pVtab, "Unrecognized xUpdate operation provided for jix0.");
    return SQLITE_ERROR;
  }
  // A table whose DROP TABLE failed has lost its names; it can only be disconnected.
  if (!p->tableName) {
    vtab_set_error(pVtab, "jix0 table is unusable after a failed DROP TABLE");
    return SQLITE_ERROR;
  }
  if (argc == 1) return jix0Update_Delete(p, argv[0]);
  if (jix0_command_given(p, argc, argv)) {
    if (!oldRowidIsNull) return jix0_command_update_error(p);
    // A command stores no row: last_insert_rowid() keeps its value.
    *pRowid = sqlite3_last_insert_rowid(p->db);
    return jix0_run_command(p, argc, argv);
  }
  if (oldRowidIsNull) return jix0Update_Insert(p, argv, pRowid);
  return jix0Update_Update(p, argv);
}

int jix0_check_metadata_value(jix0_vtab* p, int metadataIdx, sqlite3_value* value) {
  const MetadataColumnDefinition& column = p->metadata_columns[metadataIdx];
  int type = sqlite3_value_type(value);
  switch (column.kind) {
    case JIX0_METADATA_BOOLEAN: {
      // The whole 64-bit value decides: 2^32 + 1 is not true.
      sqlite3_int64 v = sqlite3_value_int64(value);
      if (type == SQLITE_INTEGER && (v == 0 || v == 1)) return SQLITE_OK;
      vtab_set_error(&p->base, "Expected 0 or 1 for BOOLEAN metadata column %.*s",
                     column.name_length, column.name);
      return SQLITE_ERROR;
    }
    case JIX0_METADATA_INTEGER:
      if (type == SQLITE_INTEGER) return SQLITE_OK;
      vtab_set_error(&p->base, "Expected integer for INTEGER metadata column %.*s, received %s",
                     column.name_length, column.name, type_name(type));
      return SQLITE_ERROR;
    case JIX0_METADATA_FLOAT:
      if (type == SQLITE_FLOAT) return SQLITE_OK;
      vtab_set_error(&p->base, "Expected float for FLOAT metadata column %.*s, received %s",
                     column.name_length, column.name, type_name(type));
      return SQLITE_ERROR;
    case JIX0_METADATA_TEXT:
      if (type == SQLITE_TEXT) return SQLITE_OK;
      vtab_set_error(&p->base, "Expected text for TEXT metadata column %.*s, received %s",
                     column.name_length, column.name, type_name(type));
      return SQLITE_ERROR;
  }
  return SQLITE_ERROR;
}

int jix0_write_metadata_value(jix0_vtab* p, int metadataIdx, sqlite3_int64 rowid,
                              sqlite3_int64 chunkId, sqlite3_int64 chunkOffset,
                              sqlite3_value* value, int isUpdate) {
  int rc = jix0_check_metadata_value(p, metadataIdx, value);
  if (rc != SQLITE_OK) return rc;
  BlobPtr blob;
  rc = open_blob(p->db, p->schemaName, p->shadowMetadataChunksNames[metadataIdx], "data", chunkId,
                 true, &blob);
  if (rc != SQLITE_OK) return rc;
  rc = write_metadata_slot(p, blob.get(), metadataIdx, rowid, chunkOffset, value, isUpdate);
  if (rc != SQLITE_OK) return rc;
  return sqlite3_blob_close(blob.release());
}
