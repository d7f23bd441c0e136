#include "jix0/query/row_reader.h"

#include <cstring>
#include <utility>

#include "base/handles.h"
#include "jix0/storage/chunk.h"
#include "jix0/storage/chunk_cache.h"
#include "jix0/storage/chunks.h"
#include "jix0/storage/shadow_tables.h"
#include "jix0/table/result_codes.h"

void jix0_row_reader_close_blobs(jix0_row_reader* r) {
  for (sqlite3_blob*& blob : r->vectors) {
    sqlite3_blob_close(blob);
    blob = nullptr;
  }
  for (sqlite3_blob*& blob : r->metadata) {
    sqlite3_blob_close(blob);
    blob = nullptr;
  }
  r->cache = JIX0_READER_CACHE_UNKNOWN;
}

namespace {

// Points *slot's handle at the chunk of `place`, opening it when there is none, and checks
// that the BLOB holds the place's slot. A failed move closes the handle, so it is opened anew
// next time.
int move_blob(jix0_vtab* p, jix0_row_reader* r, sqlite3_blob** slot, sqlite3_int64* slotChunk,
              ChunkPart part, int column, const jix0_row_place& place, ChunkFault* fault) {
  int changes = sqlite3_total_changes(p->db);
  if (changes != r->changes) {
    jix0_row_reader_close_blobs(r);
    r->changes = changes;
  }
  if (*slot && *slotChunk == place.chunkId) return SQLITE_OK;
  *slotChunk = place.chunkId;
  return jix0_part_open(p, part, column, place.chunkId, false, false, place.slot, slot, fault);
}

// Sets the current row of a cached one-value statement, keyed by `key`, as the result. A
// reader without the statement takes the table's spare when its text is the same (a rename
// changes it), else prepares it.
int result_cached_value(jix0_vtab* p, sqlite3_stmt** slot, sqlite3_stmt** spare, char* sql,
                        sqlite3_int64 key, sqlite3_context* context) {
  SqlitePtr<char> text(sql);
  if (!*slot) {
    if (!text) return SQLITE_NOMEM;
    if (*spare && strcmp(sqlite3_sql(*spare), text.get()) == 0) {
      std::swap(*slot, *spare);
    } else {
      sqlite3_finalize(*spare);
      *spare = nullptr;
    }
  }
  if (!*slot) {
    StmtPtr stmt;
    int rc = prepare(p->db, text.get(), &stmt);
    if (rc != SQLITE_OK) return rc;
    *slot = stmt.release();
  }
  ResetOnExit reset(*slot);
  sqlite3_bind_int64(*slot, 1, key);
  int rc = jix_step(*slot);
  if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? SQLITE_ERROR : jix0_failure_code(rc);
  sqlite3_result_value(context, sqlite3_column_value(*slot, 0));
  return SQLITE_OK;
}

// Hands the reader's statement to the table's empty spare slot, or finalizes it.
void give_back(sqlite3_stmt** stmt, sqlite3_stmt** spare) {
  if (!*stmt) return;
  sqlite3_reset(*stmt);
  if (!*spare) {
    *spare = *stmt;
  } else {
    sqlite3_finalize(*stmt);
  }
  *stmt = nullptr;
}

// Whether the cursor may read vectors from the resident cache, asked once per filter: the
// answer cannot change while one statement reads, and a write of this connection empties the
// cache, so a lookup after it finds nothing and reads the BLOB.
bool use_cache(jix0_vtab* p, jix0_row_reader* r) {
  if (r->cache == JIX0_READER_CACHE_UNKNOWN) {
    r->cache = chunk_cache_begin_scan(p) ? JIX0_READER_CACHE_ON : JIX0_READER_CACHE_OFF;
  }
  return r->cache == JIX0_READER_CACHE_ON;
}

}  // namespace

void jix0_row_reader_clear(jix0_row_reader* r, jix0_vtab* p) {
  jix0_row_reader_close_blobs(r);
  for (int i = 0; i < JIX0_MAX_PARTITION_COLUMNS; i++) {
    give_back(&r->partitions[i], &p->readerPartitionStmts[i]);
  }
  for (int i = 0; i < JIX0_MAX_AUXILIARY_COLUMNS; i++) {
    give_back(&r->auxiliary[i], &p->readerAuxiliaryStmts[i]);
  }
}

int jix0_row_reader_vector(jix0_vtab* p, jix0_row_reader* r, const jix0_row_place& place,
                           int vectorIdx, sqlite3_context* context) {
  const VectorColumnDefinition& column = p->vector_columns[vectorIdx];
  int size = (int)vector_column_byte_size(column);
  // A chunk the resident cache holds is read there; a slot outside the chunk goes on to the
  // BLOB read, which reports it.
  if (place.slot >= 0 && place.slot < p->chunk_size && use_cache(p, r)) {
    if (const CachedChunk* cached = chunk_cache_find(p, vectorIdx, place.chunkId)) {
      sqlite3_result_blob(context, cached->vectors + place.slot * size, size, SQLITE_TRANSIENT);
      sqlite3_result_subtype(context, column.element_type);
      return SQLITE_OK;
    }
  }
  sqlite3_blob** blob = &r->vectors[vectorIdx];
  ChunkFault fault;
  int rc = move_blob(p, r, blob, &r->vectorChunks[vectorIdx], JIX0_PART_VECTORS, vectorIdx, place,
                     &fault);
  if (rc != SQLITE_OK && fault.rc != SQLITE_OK) {
    vtab_set_error(&p->base, "Could not fetch vector data for %lld, opening blob failed",
                   place.rowid);
    return jix0_failure_code(rc);
  }
  SqlitePtr<void> bytes(sqlite3_malloc(size > 0 ? size : 1));
  if (!bytes) return SQLITE_NOMEM;
  if (rc == SQLITE_OK) {
    rc = blob_slot_fits(*blob, place.slot, size)
             ? jix_blob_read(*blob, bytes.get(), size, (int)(place.slot * size))
             : SQLITE_ERROR;
  }
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, "Could not fetch vector data for %lld, reading from blob failed",
                   place.rowid);
    return jix0_failure_code(rc);
  }
  sqlite3_result_blob(context, bytes.release(), size, sqlite3_free);
  sqlite3_result_subtype(context, column.element_type);
  return SQLITE_OK;
}

int jix0_row_reader_metadata(jix0_vtab* p, jix0_row_reader* r, const jix0_row_place& place,
                             int metadataIdx, sqlite3_context* context) {
  sqlite3_blob** blob = &r->metadata[metadataIdx];
  int rc = move_blob(p, r, blob, &r->metadataChunks[metadataIdx], JIX0_PART_METADATA, metadataIdx,
                     place, nullptr);
  if (rc != SQLITE_OK) return rc;
  return jix0_result_metadata_slot(p, *blob, place.rowid, metadataIdx, place.slot, context);
}

int jix0_row_reader_partition(jix0_vtab* p, jix0_row_reader* r, const jix0_row_place& place,
                              int partitionIdx, sqlite3_context* context) {
  char* sql = r->partitions[partitionIdx] ? nullptr
                                          : sqlite3_mprintf(JIX0_SQL_SELECT_PARTITION, partitionIdx,
                                                            p->schemaName, p->tableName);
  return result_cached_value(p, &r->partitions[partitionIdx],
                             &p->readerPartitionStmts[partitionIdx], sql, place.chunkId, context);
}

int jix0_row_reader_auxiliary(jix0_vtab* p, jix0_row_reader* r, sqlite3_int64 rowid,
                              int auxiliaryIdx, sqlite3_context* context) {
  char* sql = r->auxiliary[auxiliaryIdx] ? nullptr
                                         : sqlite3_mprintf(JIX0_SQL_SELECT_AUXILIARY, auxiliaryIdx,
                                                           p->schemaName, p->tableName);
  return result_cached_value(p, &r->auxiliary[auxiliaryIdx], &p->readerAuxiliaryStmts[auxiliaryIdx],
                             sql, rowid, context);
}
