// The insert path: every value of the new row is checked before anything is written, then
// the row gets a rowid, a slot, its chunk bytes, its auxiliary row and its metadata slots.
#include <cstdint>

#include "base/handles.h"
#include "jix0/index/index.h"
#include "jix0/storage/chunk.h"
#include "jix0/storage/chunks.h"
#include "jix0/storage/shadow_tables.h"
#include "jix0/storage/statements.h"
#include "jix0/table/dimension_hint.h"
#include "jix0/write/write.h"

namespace {

// The working state of one insert; its destructor is the clean-up of every exit.
struct InsertState {
  sqlite3_value* partitionValues[JIX0_MAX_PARTITION_COLUMNS] = {};
  void* vectors[JIX0_MAX_VECTOR_COLUMNS] = {};
  vector_cleanup cleanups[JIX0_MAX_VECTOR_COLUMNS] = {};
  int numParsed = 0;
  Chunk chunk;
  // The chunk's bitmap as read during the slot search; on the stack, as no chunk is larger.
  uint8_t validity[JIX0_MAX_CHUNK_SIZE / 8];
  // The row's code when the chunks have codes.
  int8_t code[JIX0_MAX_DIMENSIONS];

  explicit InsertState(jix0_vtab* p) : chunk(p) {}
  InsertState(const InsertState&) = delete;
  InsertState& operator=(const InsertState&) = delete;
  ~InsertState() {
    for (int i = 0; i < numParsed; i++) cleanups[i](vectors[i]);
  }
};

// Declared column c of the row being inserted.
sqlite3_value* column_value(sqlite3_value** argv, int c) {
  return argv[2 + c];
}

int check_partition_keys(jix0_vtab* p, sqlite3_value** argv, InsertState* state) {
  for (int u = 0; u < jix0_num_defined_user_columns(p); u++) {
    if (p->user_column_kinds[u] != JIX0_COLUMN_PARTITION) continue;
    const PartitionColumnDefinition& column = p->partition_columns[p->user_column_idxs[u]];
    sqlite3_value* value = column_value(argv, u + 1);
    state->partitionValues[p->user_column_idxs[u]] = value;
    int type = sqlite3_value_type(value);
    if (type != SQLITE_NULL && type != column.type) {
      vtab_set_error(&p->base,
                     "Parition key type mismatch: The partition key column %.*s has type %s, but "
                     "%s was provided.",
                     column.name_length, column.name, type_name(column.type), type_name(type));
      return SQLITE_ERROR;
    }
  }
  return SQLITE_OK;
}

int check_vectors(jix0_vtab* p, sqlite3_value** argv, InsertState* state) {
  for (int u = 0; u < jix0_num_defined_user_columns(p); u++) {
    if (p->user_column_kinds[u] != JIX0_COLUMN_VECTOR) continue;
    int idx = p->user_column_idxs[u];
    const VectorColumnDefinition& column = p->vector_columns[idx];
    size_t dimensions;
    VectorElementType elementType;
    char* error = nullptr;
    int rc = vector_from_value(column_value(argv, u + 1), &state->vectors[idx], &dimensions,
                               &elementType, &state->cleanups[idx], &error);
    if (rc == SQLITE_NOMEM) {
      sqlite3_free(error);
      return SQLITE_NOMEM;
    }
    if (rc != SQLITE_OK) {
      vtab_set_error(&p->base, "Inserted vector for the \"%.*s\" column is invalid: %z",
                     column.name_length, column.name, error);
      return SQLITE_ERROR;
    }
    // Vector columns are numbered in declaration order, so the parsed ones are 0..idx.
    state->numParsed = idx + 1;
    if (elementType != column.element_type) {
      vtab_set_error(&p->base,
                     "Inserted vector for the \"%.*s\" column is expected to be of type %s, but a "
                     "%s vector was provided.",
                     column.name_length, column.name, jix_type_name(column.element_type),
                     jix_type_name(elementType));
      return SQLITE_ERROR;
    }
    if (dimensions != column.dimensions) {
      vtab_set_error(&p->base,
                     "Dimension mismatch for inserted vector for the \"%.*s\" column. Expected %d "
                     "dimensions but received %d.%s",
                     column.name_length, column.name, (int)column.dimensions, (int)dimensions,
                     jix0_float64_hint(column, column_value(argv, u + 1), dimensions));
      return SQLITE_ERROR;
    }
  }
  return SQLITE_OK;
}

int check_hidden_columns(jix0_vtab* p, sqlite3_value** argv) {
  if (sqlite3_value_type(column_value(argv, jix0_column_distance_idx(p))) != SQLITE_NULL) {
    vtab_set_error(&p->base, "A value was provided for the hidden \"distance\" column.");
    return SQLITE_ERROR;
  }
  if (sqlite3_value_type(column_value(argv, jix0_column_k_idx(p))) != SQLITE_NULL) {
    vtab_set_error(&p->base, "A value was provided for the hidden \"k\" column.");
    return SQLITE_ERROR;
  }
  int indexArg = jix0_column_index_hidden_idx(p);
  if (indexArg >= 0 && sqlite3_value_type(column_value(argv, indexArg)) != SQLITE_NULL) {
    vtab_set_error(&p->base, "A value was provided for the hidden \"%s\" column.",
                   jix0_index_hidden_column(p));
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

int text_key_error(jix0_vtab* p) {
  vtab_set_error(&p->base,
                 "The %s virtual table was declared with a TEXT primary key, but a non-TEXT value "
                 "was provided in an INSERT.",
                 p->tableName);
  return SQLITE_ERROR;
}

int integer_key_error(jix0_vtab* p) {
  vtab_set_error(&p->base, "Only integers are allows for primary key values on %s", p->tableName);
  return SQLITE_ERROR;
}

// The id column's type, and that no row holds the key yet. A key that is taken is a
// constraint failure (reported before anything is written, as SQLite requires of a table with
// constraint support), unless the statement's conflict clause is REPLACE: then *outReplaced
// is set to the rowid of the row the new one replaces. A lookup that fails for another
// reason is left for the rowids insert to meet and report.
int check_id(jix0_vtab* p, sqlite3_value* idValue, int onConflict, bool* outReplaces,
             sqlite3_int64* outReplaced) {
  *outReplaces = false;
  int type = sqlite3_value_type(idValue);
  sqlite3_int64 existing = 0;
  int rc;
  if (p->pkIsText) {
    if (type != SQLITE_TEXT) return text_key_error(p);
    rc = jix0_rowid_from_id(p, idValue, &existing);
  } else {
    if (type == SQLITE_NULL) return SQLITE_OK;
    if (type != SQLITE_INTEGER) return integer_key_error(p);
    existing = sqlite3_value_int64(idValue);
    rc = jix0_get_chunk_position(p, existing, nullptr, nullptr, nullptr);
  }
  if (rc == SQLITE_OK) {
    if (onConflict == SQLITE_REPLACE) {
      *outReplaces = true;
      *outReplaced = existing;
      return SQLITE_OK;
    }
    // SQLite skips the row under OR IGNORE and reports no message.
    if (onConflict != SQLITE_IGNORE) {
      vtab_set_error(&p->base, "UNIQUE constraint failed on %s primary key", p->tableName);
    }
    return SQLITE_CONSTRAINT_PRIMARYKEY;
  }
  if (rc != SQLITE_EMPTY) {
    // Out of memory, I/O and the like: the lookup cannot be left to the insert.
    if (jix0_is_host_failure(rc)) return rc;
    sqlite3_free(p->base.zErrMsg);
    p->base.zErrMsg = nullptr;
  }
  return SQLITE_OK;
}

int check_auxiliary(jix0_vtab* p, sqlite3_value** argv) {
  for (int u = 0; u < jix0_num_defined_user_columns(p); u++) {
    if (p->user_column_kinds[u] != JIX0_COLUMN_AUXILIARY) continue;
    const AuxiliaryColumnDefinition& column = p->auxiliary_columns[p->user_column_idxs[u]];
    int type = sqlite3_value_type(column_value(argv, u + 1));
    if (type != SQLITE_NULL && type != column.type) {
      vtab_set_error(
          &p->base,
          "Auxiliary column type mismatch: The auxiliary column %.*s has type %s, but %s "
          "was provided.",
          column.name_length, column.name, type_name(column.type), type_name(type));
      return SQLITE_CONSTRAINT;
    }
  }
  return SQLITE_OK;
}

int check_metadata(jix0_vtab* p, sqlite3_value** argv) {
  for (int u = 0; u < jix0_num_defined_user_columns(p); u++) {
    if (p->user_column_kinds[u] != JIX0_COLUMN_METADATA) continue;
    int rc = jix0_check_metadata_value(p, p->user_column_idxs[u], column_value(argv, u + 1));
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

int jix0Update_InsertRowidStep(jix0_vtab* p, sqlite3_value* idValue, sqlite3_int64* outRowid) {
  int type = sqlite3_value_type(idValue);
  if (p->pkIsText) {
    if (type != SQLITE_TEXT) return text_key_error(p);
    return jix0_rowids_insert_id(p, idValue, outRowid);
  }
  if (type == SQLITE_NULL) return jix0_rowids_insert_id(p, nullptr, outRowid);
  if (type != SQLITE_INTEGER) return integer_key_error(p);
  sqlite3_int64 rowid = sqlite3_value_int64(idValue);
  int rc = jix0_rowids_insert_rowid(p, rowid);
  if (rc != SQLITE_OK) return rc;
  *outRowid = rowid;
  return SQLITE_OK;
}

// The insert's messages for the validity BLOB of the newest chunk, of a new chunk, and for
// a vector or rowids BLOB, when it cannot be opened or has the wrong size.
int latest_validity_fault(jix0_vtab* p, const ChunkFault& f) {
  if (f.rc != SQLITE_OK) {
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": could not open validity blob on %s.%s.%lld",
                   p->schemaName, f.table, f.chunkId);
    return f.rc;
  }
  vtab_set_error(&p->base,
                 JIX0_INTERNAL_ERROR
                 ": validity blob size mismatch on %s.%s.%lld, expected %lld but received %lld.",
                 p->schemaName, f.table, f.chunkId, f.expected, f.actual);
  return SQLITE_ERROR;
}

int new_validity_fault(jix0_vtab* p, const ChunkFault& f) {
  if (f.rc != SQLITE_OK) {
    vtab_set_error(&p->base,
                   JIX0_INTERNAL_ERROR
                   ": Could not open validity blob for newly created chunk "
                   "%s.%s.%lld",
                   p->schemaName, f.table, f.chunkId);
    return f.rc;
  }
  vtab_set_error(&p->base,
                 JIX0_INTERNAL_ERROR
                 ": validity blob size mismatch for newly created chunk "
                 "%s.%s.%lld. Exepcted %lld, got %lld",
                 p->schemaName, f.table, f.chunkId, f.expected, f.actual);
  return SQLITE_ERROR;
}

int slot_part_fault(jix0_vtab* p, const ChunkFault& f) {
  if (f.part == JIX0_PART_CODES) return jix0_codes_fault(p, f);
  const bool vectors = f.part == JIX0_PART_VECTORS;
  if (f.rc != SQLITE_OK) {
    if (vectors) {
      vtab_set_error(&p->base, "Error opening vector blob at %s.%s.%lld", p->schemaName, f.table,
                     f.chunkId);
    } else {
      vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": could not open rowids blob on %s.%s.%lld",
                     p->schemaName, f.table, f.chunkId);
    }
    return f.rc;
  }
  vtab_set_error(
      &p->base,
      JIX0_INTERNAL_ERROR ": %s blob size mismatch on %s.%s.%lld. Expected %lld, actual %lld",
      vectors ? "vector" : "rowids", p->schemaName, f.table, f.chunkId, f.expected, f.actual);
  return SQLITE_ERROR;
}

// Reads the validity of the partition's newest chunk through chunk. *outChunkOffset is its
// lowest free slot, or stays -1 when the chunk is full.
int read_latest_validity(jix0_vtab* p, sqlite3_int64 chunkId, Chunk* chunk, uint8_t* validity,
                         sqlite3_int64* outChunkOffset) {
  const int expectedBytes = p->chunk_size / 8;
  int rc = chunk->OpenPart(JIX0_PART_VALIDITY, 0, chunkId, true, latest_validity_fault);
  if (rc != SQLITE_OK) return rc;
  rc = chunk->ReadPart(JIX0_PART_VALIDITY, 0, validity);
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": Could not read validity bitmap for %s.%s.%lld",
                   p->schemaName, p->shadowChunksName, chunkId);
    return rc;
  }
  // Full bytes are skipped eight slots at a time; the first other byte has the lowest
  // free slot.
  for (int i = 0; i < expectedBytes; i++) {
    uint8_t byte = validity[i];
    if (byte == 0xFF) continue;
    int bit = 0;
    while (byte & (1u << bit)) bit++;
    *outChunkOffset = (sqlite3_int64)i * 8 + bit;
    return SQLITE_OK;
  }
  return SQLITE_OK;
}

// Creates the chunk a row starts at slot 0, and reads its validity through chunk, whose
// handle moves there from the full chunk when it has one. lengthChecked: the insert already
// checked that a new chunk fits the length limit.
int start_new_chunk(jix0_vtab* p, sqlite3_value** partitionValues, sqlite3_int64 list, Chunk* chunk,
                    uint8_t* validity, bool lengthChecked, sqlite3_int64* outChunkId) {
  sqlite3_int64 chunkId = 0;
  int rc = lengthChecked ? SQLITE_OK : jix0_chunk_check_length(p);
  if (rc != SQLITE_OK) return rc;  // with the length check's own message
  rc = jix0_new_chunk(p, partitionValues, &chunkId, list);
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": Could not insert a new vector chunk");
    return jix0_failure_code(rc);
  }
  rc = chunk->OpenPart(JIX0_PART_VALIDITY, 0, chunkId, true, new_validity_fault);
  if (rc != SQLITE_OK) return rc;
  rc = chunk->ReadPart(JIX0_PART_VALIDITY, 0, validity);
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base,
                   JIX0_INTERNAL_ERROR
                   ": could not read validity blob newly created chunk "
                   "%s.%s.%lld",
                   p->schemaName, p->shadowChunksName, chunkId);
    return rc;
  }
  *outChunkId = chunkId;
  return SQLITE_OK;
}

// Finds the row's slot: the lowest free slot of the partition's newest chunk, or slot 0 of a
// new chunk. Leaves chunk's validity handle open read-write on that chunk and validity holding
// its bytes as they were before the insert.
int jix0Update_InsertNextAvailableStep(jix0_vtab* p, sqlite3_value** partitionValues,
                                       sqlite3_int64 list, bool lengthChecked,
                                       sqlite3_int64* outChunkId, sqlite3_int64* outChunkOffset,
                                       Chunk* chunk, uint8_t* validity) {
  *outChunkOffset = -1;
  sqlite3_int64 chunkId = 0;
  int rc = jix0_chunk_newest(p, partitionValues, list, &chunkId);
  if (rc == SQLITE_OK) {
    rc = read_latest_validity(p, chunkId, chunk, validity, outChunkOffset);
    if (rc != SQLITE_OK || *outChunkOffset >= 0) {
      *outChunkId = chunkId;
      return rc;
    }
  } else if (rc != SQLITE_EMPTY) {
    return rc;
  }
  // No chunk yet, or the newest one is full: the row starts a new chunk at slot 0.
  rc = start_new_chunk(p, partitionValues, list, chunk, validity, lengthChecked, outChunkId);
  if (rc == SQLITE_OK) *outChunkOffset = 0;
  return rc;
}

// Opens the rowids and vector parts of the row's chunk for writing, checking their sizes, so
// that damage there is reported before the row's first write.
int open_slot_parts(jix0_vtab* p, Chunk* chunk, sqlite3_int64 chunkId) {
  int rc = chunk->OpenPart(JIX0_PART_ROWIDS, 0, chunkId, true, slot_part_fault);
  for (int i = 0; rc == SQLITE_OK && i < p->numVectorColumns; i++) {
    rc = chunk->OpenPart(JIX0_PART_VECTORS, i, chunkId, true, slot_part_fault);
  }
  if (rc == SQLITE_OK && jix0_has_codes(p)) {
    rc = chunk->OpenPart(JIX0_PART_CODES, 0, chunkId, true, slot_part_fault);
  }
  return rc;
}

// Writes one vector into its slot of vector column i's chunk BLOB.
int write_vector(jix0_vtab* p, Chunk* chunk, int i, sqlite3_int64 chunkId,
                 sqlite3_int64 chunkOffset, const void* vector) {
  const char* table = p->shadowVectorChunksNames[i];
  int rc = chunk->WriteSlot(JIX0_PART_VECTORS, i, chunkOffset, vector);
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": could not write vector blob on %s.%s.%lld",
                   p->schemaName, table, chunkId);
    return jix0_failure_code(rc);
  }
  rc = chunk->ClosePart(JIX0_PART_VECTORS, i);
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": could not close vector blob on %s.%s.%lld",
                   p->schemaName, table, chunkId);
    return jix0_failure_code(rc);
  }
  return SQLITE_OK;
}

// Writes the rowid into the chunk's rowids array and records the row's position.
int write_rowid(jix0_vtab* p, Chunk* chunk, sqlite3_int64 chunkId, sqlite3_int64 chunkOffset,
                sqlite3_int64 rowid) {
  int rc = chunk->WriteSlot(JIX0_PART_ROWIDS, 0, chunkOffset, &rowid);
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": could not write rowids blob on %s.%s.%lld",
                   p->schemaName, p->shadowChunksName, chunkId);
    return jix0_failure_code(rc);
  }
  rc = jix0_rowids_update_position(p, rowid, chunkId, chunkOffset);
  if (rc != SQLITE_OK) return rc;
  rc = chunk->ClosePart(JIX0_PART_ROWIDS);
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": could not close rowids blob on %s.%s.%lld",
                   p->schemaName, p->shadowChunksName, chunkId);
  }
  return rc;
}

int jix0Update_InsertWriteFinalStep(jix0_vtab* p, sqlite3_int64 chunkId, sqlite3_int64 chunkOffset,
                                    sqlite3_int64 rowid, void* const* vectors, const void* code,
                                    Chunk* chunk, const uint8_t* validity) {
  // Only the slot's own byte is written; the buffer keeps the state before the insert.
  uint8_t byte = validity[chunkOffset / 8] | (uint8_t)(1u << (chunkOffset % 8));
  int rc = jix_blob_write(chunk->blob(JIX0_PART_VALIDITY), &byte, 1, (int)(chunkOffset / 8));
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": could not mark validity bit ");
    return rc;
  }
  for (int i = 0; i < p->numVectorColumns; i++) {
    rc = write_vector(p, chunk, i, chunkId, chunkOffset, vectors[i]);
    if (rc != SQLITE_OK) return rc;
  }
  if (code) {
    rc = jix0_write_code(p, chunk, chunkId, chunkOffset, code);
    if (rc != SQLITE_OK) return rc;
  }
  return write_rowid(p, chunk, chunkId, chunkOffset, rowid);
}

int insert_auxiliary_row(jix0_vtab* p, sqlite3_value** argv, sqlite3_int64 rowid) {
  sqlite3_stmt* stmt;
  int rc = jix0_stmt(p, JIX0_STMT_INSERT_AUXILIARY, 0, &stmt);
  if (rc != SQLITE_OK) return rc;
  ResetOnExit reset(stmt);
  sqlite3_bind_int64(stmt, 1, rowid);
  for (int u = 0; u < jix0_num_defined_user_columns(p); u++) {
    if (p->user_column_kinds[u] != JIX0_COLUMN_AUXILIARY) continue;
    rc = sqlite3_bind_value(stmt, p->user_column_idxs[u] + 2, column_value(argv, u + 1));
    if (rc != SQLITE_OK) return rc;
  }
  rc = jix_step(stmt);
  if (rc == SQLITE_DONE) return SQLITE_OK;
  vtab_set_error(&p->base,
                 "jix0: could not store the auxiliary values of row %lld in %s.%s_auxiliary: %s",
                 rowid, p->schemaName, p->tableName, sqlite3_errmsg(p->db));
  return jix0_failure_code(rc);
}

}  // namespace

int jix0Update_Insert(jix0_vtab* p, sqlite3_value** argv, sqlite_int64* pRowid) {
  InsertState state(p);
  // Every check runs before the first write, so a refused row leaves storage untouched
  // even inside a transaction, where SQLite keeps no statement journal for it.
  bool replaces = false;
  sqlite3_int64 replaced = 0;
  int rc = check_partition_keys(p, argv, &state);
  if (rc == SQLITE_OK) rc = check_vectors(p, argv, &state);
  if (rc == SQLITE_OK) rc = check_hidden_columns(p, argv);
  if (rc == SQLITE_OK) {
    rc = check_id(p, column_value(argv, 0), sqlite3_vtab_on_conflict(p->db), &replaces, &replaced);
  }
  if (rc == SQLITE_OK) rc = check_auxiliary(p, argv);
  if (rc == SQLITE_OK) rc = check_metadata(p, argv);
  if (rc != SQLITE_OK) return rc;

  // OR REPLACE: the old row goes entirely, then the new one is stored like any other, so
  // its vectors, partition (and with it, chunk), auxiliary and metadata values are all new.
  // The delete checks the old row's storage before it writes; only a failure of the host
  // (memory, disk) can stop it later, and SQLite answers those by rolling back.
  if (replaces) {
    // The new row may need a new chunk: one the length limit refuses must not cost the old row.
    // Checked here, once, rather than when the chunk is made.
    rc = jix0_chunk_check_length(p);
    if (rc == SQLITE_OK) rc = jix0Update_DeleteRowid(p, replaced);
    if (rc != SQLITE_OK) return rc;
  }

  // On an indexed table the row goes to the group the index assigns (none before its first
  // build).
  sqlite3_int64 list = JIX0_NO_LIST;
  const int indexed = jix0_index_column(p);
  if (indexed >= 0) {
    rc = jix0_index_assign(p, state.vectors[indexed], &list);
    if (rc != SQLITE_OK) return rc;
  }
  // The slot comes first: finding it reads (and checks) the newest chunk, so damage there or
  // a chunk that cannot be created is reported before the row's first write.
  sqlite3_int64 chunkId, chunkOffset;
  rc = jix0Update_InsertNextAvailableStep(p, state.partitionValues, list, replaces, &chunkId,
                                          &chunkOffset, &state.chunk, state.validity);
  if (rc == SQLITE_OK) rc = open_slot_parts(p, &state.chunk, chunkId);
  if (rc == SQLITE_OK && jix0_has_codes(p)) {
    rc = jix0_index_code(p, state.vectors[indexed], state.code);
  }
  if (rc != SQLITE_OK) return rc;
  sqlite3_int64 rowid;
  rc = jix0Update_InsertRowidStep(p, column_value(argv, 0), &rowid);
  if (rc != SQLITE_OK) return rc;
  rc = jix0Update_InsertWriteFinalStep(p, chunkId, chunkOffset, rowid, state.vectors,
                                       jix0_has_codes(p) ? state.code : nullptr, &state.chunk,
                                       state.validity);
  if (rc != SQLITE_OK) return rc;
  if (p->numAuxiliaryColumns > 0) {
    rc = insert_auxiliary_row(p, argv, rowid);
    if (rc != SQLITE_OK) return rc;
  }
  for (int u = 0; u < jix0_num_defined_user_columns(p); u++) {
    if (p->user_column_kinds[u] != JIX0_COLUMN_METADATA) continue;
    rc = jix0_write_metadata_value(p, p->user_column_idxs[u], rowid, chunkId, chunkOffset,
                                   column_value(argv, u + 1), 0);
    if (rc != SQLITE_OK) return rc;
  }
  rc = state.chunk.ClosePart(JIX0_PART_VALIDITY);
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR
                   ": unknown error, blobChunksValidity could not be closed, please file an issue");
    return rc;
  }
  *pRowid = rowid;
  return SQLITE_OK;
}
