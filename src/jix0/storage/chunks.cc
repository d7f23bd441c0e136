// Row and chunk primitives: row positions, id mapping, single-value reads through
// incremental BLOB I/O, latest-chunk lookup, chunk creation and T_rowids maintenance.
#include "jix0/storage/chunks.h"

#include <cstdint>
#include <cstring>

#include "base/handles.h"
#include "jix0/storage/chunk.h"
#include "jix0/storage/shadow_tables.h"
#include "jix0/storage/statements.h"
#include "jix0/table/result_codes.h"

namespace {

// A slot's byte offset in a chunk BLOB, or -1, which every BLOB read refuses, when the slot
// lies outside it.
int slot_offset(sqlite3_blob* blob, sqlite3_int64 slot, sqlite3_int64 bytesPerSlot) {
  return blob_slot_fits(blob, slot, bytesPerSlot) ? (int)(slot * bytesPerSlot) : -1;
}

// Sets the whole text of a long TEXT metadata value, `length` bytes by its chunk entry, as the
// result of context.
int result_long_text(jix0_vtab* p, sqlite3_int64 rowid, int metadataIdx, int32_t length,
                     sqlite3_context* context) {
  SqlitePtr<char> sql(
      sqlite3_mprintf(JIX0_SQL_SELECT_METADATA_TEXT, p->schemaName, p->tableName, metadataIdx));
  if (!sql) return SQLITE_NOMEM;
  StmtPtr stmt;
  int rc = prepare(p->db, sql.get(), &stmt);
  if (rc != SQLITE_OK) return rc;
  sqlite3_bind_int64(stmt.get(), 1, rowid);
  rc = jix_step(stmt.get());
  if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? SQLITE_ERROR : jix0_failure_code(rc);
  // A row that disagrees with the entry is damage, as the KNN filters also find.
  if (sqlite3_column_type(stmt.get(), 0) != SQLITE_TEXT ||
      sqlite3_column_bytes(stmt.get(), 0) != length) {
    return SQLITE_ERROR;
  }
  sqlite3_result_value(context, sqlite3_column_value(stmt.get(), 0));
  return SQLITE_OK;
}

}  // namespace

int jix0_result_metadata_slot(jix0_vtab* p, sqlite3_blob* blob, sqlite3_int64 rowid,
                              int metadataIdx, sqlite3_int64 slot, sqlite3_context* context) {
  switch (p->metadata_columns[metadataIdx].kind) {
    case JIX0_METADATA_BOOLEAN: {
      uint8_t byte;
      int rc = jix_blob_read(blob, &byte, 1, slot_offset(blob, slot / 8, 1));
      if (rc != SQLITE_OK) return rc;
      sqlite3_result_int(context, (byte >> (slot % 8)) & 1);
      return SQLITE_OK;
    }
    case JIX0_METADATA_INTEGER: {
      sqlite3_int64 value;
      int rc = jix_blob_read(blob, &value, 8, slot_offset(blob, slot, 8));
      if (rc != SQLITE_OK) return rc;
      sqlite3_result_int64(context, value);
      return SQLITE_OK;
    }
    case JIX0_METADATA_FLOAT: {
      double value;
      int rc = jix_blob_read(blob, &value, 8, slot_offset(blob, slot, 8));
      if (rc != SQLITE_OK) return rc;
      sqlite3_result_double(context, value);
      return SQLITE_OK;
    }
    case JIX0_METADATA_TEXT: {
      uint8_t entry[JIX0_METADATA_TEXT_ENTRY];
      int rc = jix_blob_read(blob, entry, sizeof(entry),
                             slot_offset(blob, slot, JIX0_METADATA_TEXT_ENTRY));
      if (rc != SQLITE_OK) return rc;
      int32_t length;
      memcpy(&length, entry, sizeof(length));
      // A negative length is damage; read as text it would run past the entry.
      if (length < 0) return SQLITE_ERROR;
      if (length <= JIX0_METADATA_TEXT_PREFIX) {
        sqlite3_result_text(context, (const char*)entry + 4, length, SQLITE_TRANSIENT);
        return SQLITE_OK;
      }
      return result_long_text(p, rowid, metadataIdx, length, context);
    }
  }
  return SQLITE_ERROR;
}

int jix0_get_chunk_position(jix0_vtab* p, sqlite3_int64 rowid, sqlite3_value** outId,
                            sqlite3_int64* outChunkId, sqlite3_int64* outChunkOffset) {
  sqlite3_stmt* stmt;
  int rc = jix0_stmt(p, JIX0_STMT_ROWIDS_GET_CHUNK_POSITION, 0, &stmt);
  if (rc != SQLITE_OK) return rc;
  ResetOnExit reset(stmt);
  sqlite3_bind_int64(stmt, 1, rowid);
  rc = jix_step(stmt);
  if (rc == SQLITE_DONE) return SQLITE_EMPTY;
  if (rc != SQLITE_ROW) return rc;
  if (outId) {
    sqlite3_value* id = sqlite3_value_dup(sqlite3_column_value(stmt, 0));
    if (!id) return SQLITE_NOMEM;
    *outId = id;
  }
  if (outChunkId) *outChunkId = sqlite3_column_int64(stmt, 1);
  if (outChunkOffset) *outChunkOffset = sqlite3_column_int64(stmt, 2);
  return SQLITE_OK;
}

int jix0_get_id_value_from_rowid(jix0_vtab* p, sqlite3_int64 rowid, sqlite3_value** outId) {
  return jix0_get_chunk_position(p, rowid, outId, nullptr, nullptr);
}

int jix0_rowid_from_id(jix0_vtab* p, sqlite3_value* id, sqlite3_int64* outRowid) {
  SqlitePtr<char> sql(sqlite3_mprintf(JIX0_SQL_ROWID_FROM_ID, p->schemaName, p->tableName));
  if (!sql) return SQLITE_NOMEM;
  StmtPtr stmt;
  int rc = prepare(p->db, sql.get(), &stmt);
  if (rc != SQLITE_OK) return rc;
  rc = sqlite3_bind_value(stmt.get(), 1, id);
  if (rc != SQLITE_OK) return rc;
  rc = jix_step(stmt.get());
  if (rc == SQLITE_DONE) return SQLITE_EMPTY;
  if (rc != SQLITE_ROW) return rc;
  sqlite3_int64 rowid = sqlite3_column_int64(stmt.get(), 0);
  rc = jix_step(stmt.get());
  if (rc != SQLITE_DONE) return rc;
  *outRowid = rowid;
  return SQLITE_OK;
}

int jix0_result_id(jix0_vtab* p, sqlite3_context* context, sqlite3_int64 rowid) {
  if (!p->pkIsText) {
    sqlite3_result_int64(context, rowid);
    return SQLITE_OK;
  }
  sqlite3_value* id = nullptr;
  int rc = jix0_get_id_value_from_rowid(p, rowid, &id);
  if (rc != SQLITE_OK) return rc;
  ValuePtr guard(id);
  sqlite3_result_value(context, id);
  return SQLITE_OK;
}

// The parameter names spell the precondition's assertion text.
int jix0_get_vector_data(jix0_vtab* pVtab, sqlite3_int64 rowid, int vector_column_idx,
                         void** outVector, int* outSize) {
  JIX_ASSERT((vector_column_idx >= 0) && (vector_column_idx < pVtab->numVectorColumns));
  jix0_vtab* p = pVtab;
  sqlite3_int64 chunkId = 0, chunkOffset = 0;  // set on SQLITE_OK; zeroed for the optimizer
  int rc = jix0_get_chunk_position(p, rowid, nullptr, &chunkId, &chunkOffset);
  if (rc == SQLITE_EMPTY) {
    vtab_set_error(&p->base, "Could not find a row with rowid %lld", rowid);
    return SQLITE_EMPTY;
  }
  if (rc != SQLITE_OK) return rc;

  BlobPtr blob;
  ChunkFault fault;
  rc = jix0_part_open(p, JIX0_PART_VECTORS, vector_column_idx, chunkId, false, false, chunkOffset,
                      &blob, &fault);
  if (rc != SQLITE_OK && fault.rc != SQLITE_OK) {
    vtab_set_error(&p->base, "Could not fetch vector data for %lld, opening blob failed", rowid);
    return jix0_failure_code(rc);
  }
  int size = (int)vector_column_byte_size(p->vector_columns[vector_column_idx]);
  SqlitePtr<void> bytes(sqlite3_malloc(size > 0 ? size : 1));
  if (!bytes) return SQLITE_NOMEM;
  // A slot outside the BLOB fails its open's size check, and is a failed read.
  if (rc == SQLITE_OK) rc = jix_blob_read(blob.get(), bytes.get(), size, (int)(chunkOffset * size));
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, "Could not fetch vector data for %lld, reading from blob failed",
                   rowid);
    return jix0_failure_code(rc);
  }
  // Bytes leave only with success, so the caller never owns them on an error.
  rc = sqlite3_blob_close(blob.release());
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR
                   ": unknown error, could not close vector blob, please file an issue");
    return rc;
  }
  *outVector = bytes.release();
  if (outSize) *outSize = size;
  return SQLITE_OK;
}

int jix0_get_latest_chunk_rowid(jix0_vtab* p, sqlite3_int64* outChunkId,
                                sqlite3_value** partitionValues, sqlite3_int64 list) {
  sqlite3_stmt* stmt;
  int rc = jix0_stmt(p, JIX0_STMT_LATEST_CHUNK, 0, &stmt);
  if (rc != SQLITE_OK) return rc;
  ResetOnExit reset(stmt);
  for (int i = 0; i < p->numPartitionColumns; i++) {
    rc = sqlite3_bind_value(stmt, i + 1, partitionValues[i]);
    if (rc != SQLITE_OK) return rc;
  }
  if (jix0_has_index(p) && list != JIX0_NO_LIST) {
    sqlite3_bind_int64(stmt, p->numPartitionColumns + 1, list);
  }
  rc = jix_step(stmt);
  if (rc != SQLITE_ROW) {
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": Could not find latest chunk");
    return rc == SQLITE_DONE ? SQLITE_ERROR : jix0_failure_code(rc);
  }
  if (sqlite3_column_type(stmt, 0) == SQLITE_NULL) return SQLITE_EMPTY;
  sqlite3_int64 chunkId = sqlite3_column_int64(stmt, 0);
  rc = jix_step(stmt);
  if (rc != SQLITE_DONE) {
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR
                   ": unknown result code when closing out stmtLatestChunk. Please file an "
                   "issue: see the 'Reporting problems' section of the README");
    return rc;
  }
  *outChunkId = chunkId;
  return SQLITE_OK;
}

int jix0_rowids_insert_rowid(jix0_vtab* p, sqlite3_int64 rowid) {
  sqlite3_stmt* stmt;
  int rc = jix0_stmt(p, JIX0_STMT_ROWIDS_INSERT_ROWID, 0, &stmt);
  if (rc != SQLITE_OK) return rc;
  ResetOnExit reset(stmt);
  sqlite3_bind_int64(stmt, 1, rowid);
  rc = jix_step(stmt);
  if (rc == SQLITE_DONE) return SQLITE_OK;
  if (sqlite3_extended_errcode(p->db) == SQLITE_CONSTRAINT_PRIMARYKEY) {
    vtab_set_error(&p->base, "UNIQUE constraint failed on %s primary key", p->tableName);
  } else {
    vtab_set_error(&p->base, "Error inserting rowid into rowids shadow table: %s",
                   sqlite3_errmsg(p->db));
  }
  return jix0_failure_code(rc);
}

int jix0_rowids_insert_id(jix0_vtab* p, sqlite3_value* id, sqlite3_int64* outRowid) {
  sqlite3_stmt* stmt;
  int rc = jix0_stmt(p, JIX0_STMT_ROWIDS_INSERT_ID, 0, &stmt);
  if (rc != SQLITE_OK) return rc;
  ResetOnExit reset(stmt);
  if (id) sqlite3_bind_value(stmt, 1, id);
  rc = jix_step(stmt);
  if (rc == SQLITE_DONE) {
    *outRowid = sqlite3_last_insert_rowid(p->db);
    return SQLITE_OK;
  }
  if (sqlite3_extended_errcode(p->db) == SQLITE_CONSTRAINT_UNIQUE) {
    vtab_set_error(&p->base, "UNIQUE constraint failed on %s primary key", p->tableName);
  } else {
    vtab_set_error(&p->base, "Error inserting id into rowids shadow table: %s",
                   sqlite3_errmsg(p->db));
  }
  return jix0_failure_code(rc);
}

int jix0_rowids_update_position(jix0_vtab* p, sqlite3_int64 rowid, sqlite3_int64 chunkId,
                                sqlite3_int64 chunkOffset) {
  sqlite3_stmt* stmt;
  int rc = jix0_stmt(p, JIX0_STMT_ROWIDS_UPDATE_POSITION, 0, &stmt);
  if (rc != SQLITE_OK) return rc;
  ResetOnExit reset(stmt);
  sqlite3_bind_int64(stmt, 1, chunkId);
  sqlite3_bind_int64(stmt, 2, chunkOffset);
  sqlite3_bind_int64(stmt, 3, rowid);
  rc = jix_step(stmt);
  if (rc == SQLITE_DONE) return SQLITE_OK;
  vtab_set_error(&p->base,
                 JIX0_INTERNAL_ERROR
                 ": could not update rowids position for rowid=%lld, chunk_rowid=%lld, "
                 "chunk_offset=%lld",
                 rowid, chunkId, chunkOffset);
  return jix0_failure_code(rc);
}

int jix0_metadata_slot_bytes(MetadataColumnKind kind) {
  switch (kind) {
    case JIX0_METADATA_INTEGER:
    case JIX0_METADATA_FLOAT:
      return 8;
    case JIX0_METADATA_TEXT:
      return JIX0_METADATA_TEXT_ENTRY;
    default:
      return 0;
  }
}

int jix0_metadata_chunk_size(MetadataColumnKind kind, int chunkSize) {
  switch (kind) {
    case JIX0_METADATA_BOOLEAN:
      return chunkSize / 8;
    case JIX0_METADATA_INTEGER:
    case JIX0_METADATA_FLOAT:
      return chunkSize * 8;
    case JIX0_METADATA_TEXT:
      return chunkSize * JIX0_METADATA_TEXT_ENTRY;
  }
  return 0;
}
