// The update path: a row keeps its key, chunk and slot while its auxiliary, metadata and
// vector values are rewritten in place. Keys and partition keys cannot change.
//
// Every assigned value is checked, and every vector BLOB to be written opened, before the
// first write: inside a transaction SQLite keeps no statement journal for a virtual-table
// UPDATE it can do in one pass (a plan that promises a single row), so an update refused
// half-way would stay half-applied.
#include <cstring>

#include "base/handles.h"
#include "jix0/index/index.h"
#include "jix0/storage/chunk.h"
#include "jix0/storage/chunks.h"
#include "jix0/table/dimension_hint.h"
#include "jix0/write/write.h"

namespace {

// The parsed vectors and the row's open chunk BLOBs; the destructor releases both on every
// exit.
struct UpdateState {
  explicit UpdateState(jix0_vtab* p) : chunk(p) {}
  void* vectors[JIX0_MAX_VECTOR_COLUMNS] = {};
  vector_cleanup cleanups[JIX0_MAX_VECTOR_COLUMNS] = {};
  bool parsed[JIX0_MAX_VECTOR_COLUMNS] = {};
  Chunk chunk;
  // The indexed vector's new code, when the chunks have codes.
  int8_t code[JIX0_MAX_DIMENSIONS];

  UpdateState(const UpdateState&) = delete;
  UpdateState& operator=(const UpdateState&) = delete;
  ~UpdateState() {
    for (int i = 0; i < JIX0_MAX_VECTOR_COLUMNS; i++) {
      if (parsed[i]) cleanups[i](vectors[i]);
    }
  }
};

sqlite3_value* column_value(sqlite3_value** argv, int c) {
  return argv[2 + c];
}

int key_change_error(jix0_vtab* p) {
  vtab_set_error(&p->base, "UPDATEs on jix0 primary key values are not allowed.");
  return SQLITE_ERROR;
}

// A new key value that leaves an integer key as it is: unassigned, or the same integer.
bool keeps_integer_key(sqlite3_value* value, sqlite3_int64 key) {
  return sqlite3_value_nochange(value) ||
         (sqlite3_value_type(value) == SQLITE_INTEGER && sqlite3_value_int64(value) == key);
}

// The row's rowid, refusing any change of key. Assigning the key its own value is allowed.
int resolve_key(jix0_vtab* p, sqlite3_value** argv, sqlite3_int64* outRowid) {
  if (p->pkIsText) {
    const unsigned char* oldId = sqlite3_value_text(argv[0]);
    int oldBytes = sqlite3_value_bytes(argv[0]);
    const unsigned char* newId = sqlite3_value_text(argv[1]);
    int newBytes = sqlite3_value_bytes(argv[1]);
    if ((oldBytes > 0 && !oldId) || (newBytes > 0 && !newId)) return SQLITE_NOMEM;
    if (oldBytes != newBytes || (oldBytes > 0 && memcmp(oldId, newId, oldBytes) != 0)) {
      return key_change_error(p);
    }
    return jix0_rowid_from_id(p, argv[0], outRowid);
  }
  // A rowid table names its id column "rowid", so SET rowid = ... arrives as the id column's
  // value while SET _rowid_ = ... arrives as the new rowid: either would move the row.
  sqlite3_int64 rowid = sqlite3_value_int64(argv[0]);
  if (!keeps_integer_key(argv[1], rowid) || !keeps_integer_key(column_value(argv, 0), rowid)) {
    return key_change_error(p);
  }
  *outRowid = rowid;
  return SQLITE_OK;
}

int check_partition_keys(jix0_vtab* p, sqlite3_value** argv) {
  for (int u = 0; u < jix0_num_defined_user_columns(p); u++) {
    if (p->user_column_kinds[u] != JIX0_COLUMN_PARTITION) continue;
    if (!sqlite3_value_nochange(column_value(argv, u + 1))) {
      vtab_set_error(&p->base, "UPDATE on partition key columns are not supported yet. ");
      return SQLITE_ERROR;
    }
  }
  return SQLITE_OK;
}

int check_metadata(jix0_vtab* p, sqlite3_value** argv) {
  for (int u = 0; u < jix0_num_defined_user_columns(p); u++) {
    if (p->user_column_kinds[u] != JIX0_COLUMN_METADATA) continue;
    sqlite3_value* value = column_value(argv, u + 1);
    if (sqlite3_value_nochange(value)) continue;
    int rc = jix0_check_metadata_value(p, p->user_column_idxs[u], value);
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

// Parses an updated vector. SQLite drops value subtypes on the way into an UPDATE of a
// virtual table, and writes stored vectors back untagged under the full-scan plan, so an
// untagged BLOB for an int8 or bit column is read as that column's element type.
int parse_updated_vector(sqlite3_value* value, VectorElementType columnType, void** outVector,
                         size_t* outDimensions, VectorElementType* outElementType,
                         vector_cleanup* outCleanup, char** outError) {
  bool untaggedBlob = sqlite3_value_type(value) == SQLITE_BLOB && sqlite3_value_subtype(value) == 0;
  if (!untaggedBlob || columnType == JIX_ELEMENT_FLOAT32) {
    return vector_from_value(value, outVector, outDimensions, outElementType, outCleanup, outError);
  }
  int n = sqlite3_value_bytes(value);
  if (n == 0) {
    *outError = sqlite3_mprintf("zero-length vectors are not supported.");
    return SQLITE_ERROR;
  }
  const void* blob = sqlite3_value_blob(value);
  if (!blob) return SQLITE_NOMEM;
  *outVector = (void*)blob;  // borrowed: argv is not changed while the update runs
  *outDimensions = columnType == JIX_ELEMENT_BIT ? (size_t)n * 8 : (size_t)n;
  *outElementType = columnType;
  *outCleanup = vector_cleanup_noop;
  return SQLITE_OK;
}

int check_vector(jix0_vtab* p, int i, sqlite3_value* value, UpdateState* state) {
  const VectorColumnDefinition& column = p->vector_columns[i];
  size_t dimensions;
  VectorElementType elementType;
  char* error = nullptr;
  int rc = parse_updated_vector(value, column.element_type, &state->vectors[i], &dimensions,
                                &elementType, &state->cleanups[i], &error);
  if (rc != SQLITE_OK) {
    if (rc == SQLITE_NOMEM) {
      sqlite3_free(error);
      return SQLITE_NOMEM;
    }
    vtab_set_error(&p->base, "Updated vector for the \"%.*s\" column is invalid: %z",
                   column.name_length, column.name, error);
    return SQLITE_ERROR;
  }
  state->parsed[i] = true;
  if (elementType != column.element_type) {
    vtab_set_error(&p->base,
                   "Updated vector for the \"%.*s\" column is expected to be of type %s, but a %s "
                   "vector was provided.",
                   column.name_length, column.name, jix_type_name(column.element_type),
                   jix_type_name(elementType));
    return SQLITE_ERROR;
  }
  if (dimensions != column.dimensions) {
    vtab_set_error(&p->base,
                   "Dimension mismatch for new updated vector for the \"%.*s\" column. Expected %d "
                   "dimensions but received %d.%s",
                   column.name_length, column.name, (int)column.dimensions, (int)dimensions,
                   jix0_float64_hint(column, value, dimensions));
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

// The update's messages for a vector BLOB it cannot open, or whose slot lies outside it.
int vector_fault(jix0_vtab* p, const ChunkFault& f) {
  if (f.rc != SQLITE_OK) {
    vtab_set_error(&p->base, "Could not open vectors blob for %s.%s.%lld", p->schemaName, f.table,
                   f.chunkId);
    return jix0_failure_code(f.rc);
  }
  vtab_set_error(&p->base, "Could not write to vectors blob for %s.%s.%lld", p->schemaName, f.table,
                 f.chunkId);
  return SQLITE_ERROR;
}

// Opens vector column i's chunk BLOB and checks that the slot lies inside it, so that the
// write cannot fail on damaged storage after other columns were written.
int open_vector_blob(sqlite3_int64 chunkId, sqlite3_int64 chunkOffset, int i, UpdateState* state) {
  return state->chunk.OpenSlot(JIX0_PART_VECTORS, i, chunkId, true, chunkOffset, vector_fault);
}

// The slot must hold the row: a position naming another row's slot would overwrite that row.
int check_slot_owner(jix0_vtab* p, sqlite3_int64 rowid, sqlite3_int64 chunkId,
                     sqlite3_int64 chunkOffset, UpdateState* state) {
  sqlite3_int64 stored = 0;
  int rc = state->chunk.OpenSlot(JIX0_PART_ROWIDS, 0, chunkId, false, chunkOffset, nullptr);
  if (rc == SQLITE_OK) rc = state->chunk.ReadSlot(JIX0_PART_ROWIDS, 0, chunkOffset, &stored);
  (void)state->chunk.ClosePart(JIX0_PART_ROWIDS);  // read only: nothing to report
  if (jix0_is_host_failure(rc)) return rc;
  if (rc != SQLITE_OK || stored != rowid) {
    vtab_set_error(&p->base,
                   JIX0_INTERNAL_ERROR ": slot %lld of %s.%s.%lld does not hold rowid %lld",
                   chunkOffset, p->schemaName, p->shadowChunksName, chunkId, rowid);
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

int check_vectors(jix0_vtab* p, sqlite3_value** argv, sqlite3_int64 chunkId,
                  sqlite3_int64 chunkOffset, UpdateState* state) {
  for (int u = 0; u < jix0_num_defined_user_columns(p); u++) {
    if (p->user_column_kinds[u] != JIX0_COLUMN_VECTOR) continue;
    sqlite3_value* value = column_value(argv, u + 1);
    // An unassigned vector arrives as NULL (or flagged unchanged, which reads as NULL).
    if (sqlite3_value_type(value) == SQLITE_NULL) continue;
    int i = p->user_column_idxs[u];
    int rc = check_vector(p, i, value, state);
    if (rc == SQLITE_OK) rc = open_vector_blob(chunkId, chunkOffset, i, state);
    // The indexed vector's code changes with it.
    if (rc == SQLITE_OK && i == jix0_index_column(p) && jix0_has_codes(p)) {
      rc = state->chunk.OpenSlot(JIX0_PART_CODES, 0, chunkId, true, chunkOffset, jix0_codes_fault);
      if (rc == SQLITE_OK) rc = jix0_index_code(p, state->vectors[i], state->code);
    }
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

int jix0Update_UpdateAuxColumn(jix0_vtab* p, int a, sqlite3_value* value, sqlite3_int64 rowid) {
  SqlitePtr<char> sql(
      sqlite3_mprintf("UPDATE \"%w\".\"%w_auxiliary\" SET value%02d = ? WHERE rowid = ?",
                      p->schemaName, p->tableName, a));
  if (!sql) return SQLITE_NOMEM;
  StmtPtr stmt;
  int rc = prepare(p->db, sql.get(), &stmt);
  if (rc != SQLITE_OK) return rc;
  rc = sqlite3_bind_value(stmt.get(), 1, value);
  if (rc != SQLITE_OK) return rc;
  sqlite3_bind_int64(stmt.get(), 2, rowid);
  rc = jix_step(stmt.get());
  return rc == SQLITE_DONE ? SQLITE_OK : jix0_write_failure(rc);
}

// Writes vector column i's new bytes into the slot through the BLOB opened by the checks.
int jix0Update_UpdateVectorColumn(jix0_vtab* p, sqlite3_int64 chunkId, sqlite3_int64 chunkOffset,
                                  int i, UpdateState* state) {
  const char* table = p->shadowVectorChunksNames[i];
  int rc = state->chunk.WriteSlot(JIX0_PART_VECTORS, i, chunkOffset, state->vectors[i]);
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, "Could not write to vectors blob for %s.%s.%lld", p->schemaName, table,
                   chunkId);
    return rc;
  }
  rc = state->chunk.ClosePart(JIX0_PART_VECTORS, i);
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, "Could not commit blob transaction for vectors blob for %s.%s.%lld",
                   p->schemaName, table, chunkId);
  }
  return rc;
}

}  // namespace

int jix0Update_Update(jix0_vtab* p, sqlite3_value** argv) {
  sqlite3_int64 rowid;
  int rc = resolve_key(p, argv, &rowid);
  if (rc != SQLITE_OK) return rc;
  sqlite3_int64 chunkId, chunkOffset;
  rc = jix0_get_chunk_position(p, rowid, nullptr, &chunkId, &chunkOffset);
  if (rc != SQLITE_OK) return rc;

  // Checks, in the order their messages are reported; nothing is written yet.
  UpdateState state(p);
  rc = check_partition_keys(p, argv);
  if (rc == SQLITE_OK) rc = check_metadata(p, argv);
  if (rc == SQLITE_OK) rc = check_vectors(p, argv, chunkId, chunkOffset, &state);
  if (rc == SQLITE_OK) rc = check_slot_owner(p, rowid, chunkId, chunkOffset, &state);
  if (rc != SQLITE_OK) return rc;

  // Unlike an insert, an update stores any auxiliary value, whatever the declared type.
  for (int u = 0; u < jix0_num_defined_user_columns(p); u++) {
    sqlite3_value* value = column_value(argv, u + 1);
    if (p->user_column_kinds[u] != JIX0_COLUMN_AUXILIARY || sqlite3_value_nochange(value)) {
      continue;
    }
    rc = jix0Update_UpdateAuxColumn(p, p->user_column_idxs[u], value, rowid);
    if (rc != SQLITE_OK) return jix0_write_failure(rc);
  }
  for (int u = 0; u < jix0_num_defined_user_columns(p); u++) {
    sqlite3_value* value = column_value(argv, u + 1);
    if (p->user_column_kinds[u] != JIX0_COLUMN_METADATA || sqlite3_value_nochange(value)) {
      continue;
    }
    rc =
        jix0_write_metadata_value(p, p->user_column_idxs[u], rowid, chunkId, chunkOffset, value, 1);
    if (rc != SQLITE_OK) return rc;
  }
  const int indexed = jix0_index_column(p);
  bool indexedVectorChanged = false;
  for (int i = 0; i < p->numVectorColumns; i++) {
    if (!state.chunk.blob(JIX0_PART_VECTORS, i)) continue;
    rc = jix0Update_UpdateVectorColumn(p, chunkId, chunkOffset, i, &state);
    if (rc == SQLITE_OK && state.chunk.blob(JIX0_PART_CODES) && i == indexed) {
      rc = jix0_write_code(p, &state.chunk, chunkId, chunkOffset, state.code);
    }
    if (rc != SQLITE_OK) return jix0_write_failure(rc);
    indexedVectorChanged |= i == indexed;
  }
  // A new vector may belong to another group: the whole row moves there, keeping its rowid.
  if (indexedVectorChanged) {
    rc = jix0_index_after_vector_update(p, rowid, chunkId, chunkOffset, state.vectors[indexed]);
    if (rc != SQLITE_OK) return jix0_write_failure(rc);
  }
  return SQLITE_OK;
}
