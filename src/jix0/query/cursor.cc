// The cursor: plan dispatch, the full scan in storage order, the point lookup, and column
// output under each plan. Every value except the KNN distance is read from storage when
// SQLite asks for it; the point plan reads its vectors once, at filter time.
#include "jix0/query/cursor.h"

#include <cstring>

#include "base/handles.h"
#include "jix0/query/knn.h"
#include "jix0/query/plan.h"
#include "jix0/query/row_key.h"
#include "jix0/storage/chunks.h"
#include "jix0/table/result_codes.h"
#include "vector/vector.h"

void jix0_query_fullscan_data_clear(jix0_query_fullscan_data* data) {
  if (!data) return;
  sqlite3_finalize(data->rowids_stmt);
  data->rowids_stmt = nullptr;
}

void jix0_query_knn_data_clear(jix0_query_knn_data* data) {
  if (!data) return;
  sqlite3_free(data->rowids);
  data->rowids = nullptr;
  sqlite3_free(data->distances);
  data->distances = nullptr;
  sqlite3_free(data->chunks);
  data->chunks = nullptr;
  sqlite3_free(data->slots);
  data->slots = nullptr;
}

void jix0_query_point_data_clear(jix0_query_point_data* data) {
  if (!data) return;
  for (void*& vector : data->vectors) {
    sqlite3_free(vector);
    vector = nullptr;
  }
}

void jix0_cursor_clear(jix0_cursor* cursor) {
  cursor->placeKnown = false;
  // Statements stay prepared for the next filter; BLOB handles do not outlive the plan.
  jix0_row_reader_close_blobs(&cursor->reader);
  if (cursor->fullscan_data) {
    jix0_query_fullscan_data_clear(cursor->fullscan_data);
    sqlite3_free(cursor->fullscan_data);
    cursor->fullscan_data = nullptr;
  }
  if (cursor->knn_data) {
    jix0_query_knn_data_clear(cursor->knn_data);
    sqlite3_free(cursor->knn_data);
    cursor->knn_data = nullptr;
  }
  if (cursor->point_data) {
    jix0_query_point_data_clear(cursor->point_data);
    sqlite3_free(cursor->point_data);
    cursor->point_data = nullptr;
  }
}

int jix0Open(sqlite3_vtab*, sqlite3_vtab_cursor** ppCursor) {
  jix0_cursor* cursor = malloc_zeroed<jix0_cursor>();
  if (!cursor) return SQLITE_NOMEM;
  *ppCursor = &cursor->base;
  return SQLITE_OK;
}

int jix0Close(sqlite3_vtab_cursor* cur) {
  jix0_cursor* cursor = (jix0_cursor*)cur;
  jix0_cursor_clear(cursor);
  jix0_row_reader_clear(&cursor->reader, (jix0_vtab*)cur->pVtab);
  sqlite3_free(cursor);
  return SQLITE_OK;
}

static int jix0Filter_fullscan(jix0_vtab* p, jix0_cursor* cursor) {
  ClearedPtr<jix0_query_fullscan_data, jix0_query_fullscan_data_clear> data(
      malloc_zeroed<jix0_query_fullscan_data>());
  if (!data) return SQLITE_NOMEM;

  SqlitePtr<char> sql(
      sqlite3_mprintf(" SELECT rowid, chunk_id, chunk_offset FROM \"%w\".\"%w_rowids\" "
                      "ORDER by chunk_id, chunk_offset ",
                      p->schemaName, p->tableName));
  if (!sql) return SQLITE_NOMEM;
  StmtPtr stmt;
  int rc = prepare(p->db, sql.get(), &stmt);
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, "Error preparing rowid scan: %s", sqlite3_errmsg(p->db));
    return rc;
  }
  rc = jix_step(stmt.get());
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return rc;
  data->done = rc == SQLITE_DONE;
  data->rowids_stmt = stmt.release();
  cursor->fullscan_data = data.release();
  cursor->query_plan = JIX0_PLAN_FULLSCAN;
  return SQLITE_OK;
}

static int jix0Filter_point(jix0_cursor* cursor, jix0_vtab* p, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 1);
  ClearedPtr<jix0_query_point_data, jix0_query_point_data_clear> data(
      malloc_zeroed<jix0_query_point_data>());
  if (!data) return SQLITE_NOMEM;

  data->done = 0;
  if (p->pkIsText) {
    int rc = jix0_rowid_from_id(p, argv[0], &data->rowid);
    if (rc == SQLITE_EMPTY)
      data->done = 1;
    else if (rc != SQLITE_OK)
      return rc;
  } else {
    // Only a value equal to an integer names a row: rowid = 1.5 or = '2abc' matches none, as
    // in an ordinary rowid table, and rowid = NULL is never true, even for a row 0.
    int rc = jix0_integer_key(argv[0], &data->rowid);
    if (rc == SQLITE_EMPTY)
      data->done = 1;
    else if (rc != SQLITE_OK)
      return rc;
  }

  for (int i = 0; !data->done && i < p->numVectorColumns; i++) {
    int rc = jix0_get_vector_data(p, data->rowid, i, &data->vectors[i], nullptr);
    if (rc == SQLITE_EMPTY) {
      data->done = 1;  // no such row: zero rows, not an error
    } else if (rc != SQLITE_OK) {
      return rc;
    }
  }
  cursor->point_data = data.release();
  cursor->query_plan = JIX0_PLAN_POINT;
  return SQLITE_OK;
}

int jix0Filter(sqlite3_vtab_cursor* cur, int idxNum, const char* idxStr, int argc,
               sqlite3_value** argv) {
  jix0_cursor* cursor = (jix0_cursor*)cur;
  jix0_vtab* p = (jix0_vtab*)cur->pVtab;
  jix0_cursor_clear(cursor);
  cursor->changesAtFilter = sqlite3_total_changes(p->db);

  // Every argument has one 4-character block after the plan character.
  size_t length = idxStr ? strlen(idxStr) : 0;
  if (length == 0 || (length - 1) % 4 != 0 || (length - 1) / 4 != (size_t)argc) {
    return SQLITE_ERROR;
  }
  switch (idxStr[0]) {
    case JIX0_PLAN_KNN:
      return jix0Filter_knn(cursor, p, idxNum, idxStr, argc, argv);
    case JIX0_PLAN_POINT:
      return jix0Filter_point(cursor, p, argc, argv);
    case JIX0_PLAN_FULLSCAN:
      return jix0Filter_fullscan(p, cursor);
    default:
      vtab_set_error(&p->base, "unknown idxStr '%s'", idxStr);
      return SQLITE_ERROR;
  }
}

namespace {

// Moves to the next row of the plan, whether it still exists or not.
int advance(jix0_cursor* cursor) {
  switch (cursor->query_plan) {
    case JIX0_PLAN_KNN:
      if (!cursor->knn_data) return SQLITE_ERROR;
      cursor->knn_data->current_idx++;
      return SQLITE_OK;
    case JIX0_PLAN_POINT:
      if (!cursor->point_data) return SQLITE_ERROR;
      cursor->point_data->done = 1;
      return SQLITE_OK;
    case JIX0_PLAN_FULLSCAN: {
      if (!cursor->fullscan_data) return SQLITE_ERROR;
      int rc = jix_step(cursor->fullscan_data->rowids_stmt);
      if (rc == SQLITE_ROW) return SQLITE_OK;
      if (rc == SQLITE_DONE) {
        cursor->fullscan_data->done = 1;
        return SQLITE_OK;
      }
      return jix0_failure_code(rc);
    }
    default:
      return SQLITE_ERROR;
  }
}

// The rowid the cursor stands on. REQUIRES: the plan's record is set and !jix0Eof.
sqlite3_int64 position_rowid(const jix0_cursor* cursor) {
  if (cursor->query_plan == JIX0_PLAN_KNN) {
    return cursor->knn_data->rowids[cursor->knn_data->current_idx];
  }
  return sqlite3_column_int64(cursor->fullscan_data->rowids_stmt, 0);
}

}  // namespace

int jix0Next(sqlite3_vtab_cursor* cur) {
  jix0_cursor* cursor = (jix0_cursor*)cur;
  jix0_vtab* p = (jix0_vtab*)cur->pVtab;
  for (;;) {
    int rc = advance(cursor);
    if (rc != SQLITE_OK || jix0Eof(cur) || cursor->query_plan == JIX0_PLAN_POINT) return rc;
    // The full scan's rows were sorted and the KNN result computed when the filter ran. A
    // row deleted since (by this statement's loop, or another statement on the connection)
    // is passed over, as an ordinary table does; without any change since, none can be
    // missing, and a missing row is damage that reading it reports.
    if (sqlite3_total_changes(p->db) == cursor->changesAtFilter) return SQLITE_OK;
    rc = jix0_get_chunk_position(p, position_rowid(cursor), nullptr, nullptr, nullptr);
    if (rc != SQLITE_EMPTY) return rc;
  }
}

int jix0Eof(sqlite3_vtab_cursor* cur) {
  jix0_cursor* cursor = (jix0_cursor*)cur;
  switch (cursor->query_plan) {
    case JIX0_PLAN_KNN:
      return !cursor->knn_data || cursor->knn_data->current_idx >= cursor->knn_data->k_used;
    case JIX0_PLAN_POINT:
      return !cursor->point_data || cursor->point_data->done;
    case JIX0_PLAN_FULLSCAN:
      return !cursor->fullscan_data || cursor->fullscan_data->done;
    default:
      return 1;
  }
}

namespace {

// The current row's rowid under the cursor's plan; false (with the error set on context)
// when the plan's record is missing.
bool current_rowid(jix0_cursor* cursor, sqlite3_context* context, sqlite3_int64* outRowid) {
  switch (cursor->query_plan) {
    case JIX0_PLAN_FULLSCAN:
      if (!cursor->fullscan_data) {
        sqlite3_result_error(context, JIX0_INTERNAL_ERROR ": fullscan_data is NULL.", -1);
        return false;
      }
      *outRowid = sqlite3_column_int64(cursor->fullscan_data->rowids_stmt, 0);
      return true;
    case JIX0_PLAN_POINT:
      if (!cursor->point_data) {
        sqlite3_result_error(context, JIX0_INTERNAL_ERROR ": point_data is NULL.", -1);
        return false;
      }
      *outRowid = cursor->point_data->rowid;
      return true;
    case JIX0_PLAN_KNN:
      if (!cursor->knn_data) {
        sqlite3_result_error(context, JIX0_INTERNAL_ERROR ": knn_data is NULL.", -1);
        return false;
      }
      *outRowid = cursor->knn_data->rowids[cursor->knn_data->current_idx];
      return true;
    default:
      return false;
  }
}

// Where the current row is stored: as the full scan or the search read it while nothing has
// changed since the filter, else as the rowids table says now, looked up once per row and
// state of the table.
int current_place(jix0_cursor* cursor, jix0_vtab* p, sqlite3_int64 rowid, jix0_row_place* out) {
  int changes = sqlite3_total_changes(p->db);
  out->rowid = rowid;
  if (changes == cursor->changesAtFilter) {
    if (cursor->query_plan == JIX0_PLAN_FULLSCAN) {
      out->chunkId = sqlite3_column_int64(cursor->fullscan_data->rowids_stmt, 1);
      out->slot = sqlite3_column_int64(cursor->fullscan_data->rowids_stmt, 2);
      return SQLITE_OK;
    }
    if (cursor->query_plan == JIX0_PLAN_KNN) {
      const jix0_query_knn_data* knn = cursor->knn_data;
      out->chunkId = knn->chunks[knn->current_idx];
      out->slot = knn->slots[knn->current_idx];
      return SQLITE_OK;
    }
  }
  jix0_row_place& cached = cursor->place;
  if (cursor->placeKnown && cached.rowid == rowid && cursor->placeChanges == changes) {
    *out = cached;
    return SQLITE_OK;
  }
  out->chunkId = 0;  // set on SQLITE_OK; zeroed for the optimizer
  out->slot = 0;
  int rc = jix0_get_chunk_position(p, rowid, nullptr, &out->chunkId, &out->slot);
  if (rc != SQLITE_OK) return rc;
  cached = *out;
  cursor->placeKnown = true;
  cursor->placeChanges = changes;
  return SQLITE_OK;
}

int column_vector(jix0_cursor* cursor, jix0_vtab* p, sqlite3_context* context, sqlite3_int64 rowid,
                  int vectorIdx) {
  const VectorColumnDefinition& column = p->vector_columns[vectorIdx];
  if (cursor->query_plan == JIX0_PLAN_POINT) {
    // An UPDATE that leaves the vector alone gets NULL, which the update path skips.
    if (sqlite3_vtab_nochange(context)) {
      sqlite3_result_null(context);
      return SQLITE_OK;
    }
    sqlite3_result_blob(context, cursor->point_data->vectors[vectorIdx],
                        (int)vector_column_byte_size(column), SQLITE_TRANSIENT);
    sqlite3_result_subtype(context, column.element_type);
    return SQLITE_OK;
  }
  jix0_row_place place;
  int rc = current_place(cursor, p, rowid, &place);
  if (rc == SQLITE_EMPTY) {
    vtab_set_error(&p->base, "Could not find a row with rowid %lld", rowid);
    return SQLITE_EMPTY;
  }
  if (rc != SQLITE_OK) return rc;
  return jix0_row_reader_vector(p, &cursor->reader, place, vectorIdx, context);
}

// Partition and auxiliary values: a failed read fails this value, not the callback.
void column_partition(jix0_cursor* cursor, jix0_vtab* p, sqlite3_context* context,
                      sqlite3_int64 rowid, int partitionIdx) {
  jix0_row_place place;
  int rc = current_place(cursor, p, rowid, &place);
  if (rc == SQLITE_OK) {
    rc = jix0_row_reader_partition(p, &cursor->reader, place, partitionIdx, context);
  }
  if (rc != SQLITE_OK) sqlite3_result_error_code(context, rc);
}

void column_metadata(jix0_cursor* cursor, jix0_vtab* p, sqlite3_context* context,
                     sqlite3_int64 rowid, int metadataIdx) {
  jix0_row_place place;
  int rc = current_place(cursor, p, rowid, &place);
  if (rc == SQLITE_OK) {
    rc = jix0_row_reader_metadata(p, &cursor->reader, place, metadataIdx, context);
  }
  if (rc == SQLITE_OK) return;
  if (jix0_is_host_failure(rc)) {
    sqlite3_result_error_code(context, rc);
    return;
  }
  const MetadataColumnDefinition& column = p->metadata_columns[metadataIdx];
  SqlitePtr<char> message(
      sqlite3_mprintf("Could not extract metadata value for column %.*s at rowid %lld",
                      column.name_length, column.name, rowid));
  if (!message) {
    sqlite3_result_error_nomem(context);
    return;
  }
  sqlite3_result_error(context, message.get(), -1);
}

}  // namespace

int jix0Column(sqlite3_vtab_cursor* cur, sqlite3_context* context, int i) {
  jix0_cursor* cursor = (jix0_cursor*)cur;
  jix0_vtab* p = (jix0_vtab*)cur->pVtab;
  sqlite3_int64 rowid = 0;
  if (!current_rowid(cursor, context, &rowid)) return SQLITE_ERROR;

  if (i == 0) return jix0_result_id(p, context, rowid);
  if (i == jix0_column_distance_idx(p)) {
    if (cursor->query_plan == JIX0_PLAN_KNN) {
      sqlite3_result_double(context, cursor->knn_data->distances[cursor->knn_data->current_idx]);
    } else {
      sqlite3_result_null(context);
    }
    return SQLITE_OK;
  }
  if (i < 0 || i > jix0_num_defined_user_columns(p)) return SQLITE_OK;  // k, or out of range

  // An UPDATE's unassigned columns stay unset under every plan, so they arrive flagged as
  // unchanged and the update leaves them alone (a partition key could not be rewritten).
  // The point plan answers a vector with NULL instead, which the update skips too.
  bool point = cursor->query_plan == JIX0_PLAN_POINT;
  bool unchanged = sqlite3_vtab_nochange(context);
  switch (p->user_column_kinds[i - 1]) {
    case JIX0_COLUMN_VECTOR:
      if (!point && unchanged) return SQLITE_OK;
      return column_vector(cursor, p, context, rowid, jix0_column_idx_to_vector_idx(p, i));
    case JIX0_COLUMN_PARTITION:
      if (unchanged) return SQLITE_OK;
      column_partition(cursor, p, context, rowid, jix0_column_idx_to_partition_idx(p, i));
      return SQLITE_OK;
    case JIX0_COLUMN_AUXILIARY: {
      if (unchanged) return SQLITE_OK;
      int rc = jix0_row_reader_auxiliary(p, &cursor->reader, rowid,
                                         jix0_column_idx_to_auxiliary_idx(p, i), context);
      if (rc != SQLITE_OK) sqlite3_result_error_code(context, rc);
      return SQLITE_OK;
    }
    case JIX0_COLUMN_METADATA:
      if (unchanged) return SQLITE_OK;
      column_metadata(cursor, p, context, rowid, jix0_column_idx_to_metadata_idx(p, i));
      return SQLITE_OK;
    default:
      return SQLITE_OK;
  }
}

int jix0Rowid(sqlite3_vtab_cursor* cur, sqlite_int64* pRowid) {
  jix0_cursor* cursor = (jix0_cursor*)cur;
  switch (cursor->query_plan) {
    case JIX0_PLAN_FULLSCAN:
      if (!cursor->fullscan_data) return SQLITE_ERROR;
      *pRowid = sqlite3_column_int64(cursor->fullscan_data->rowids_stmt, 0);
      return SQLITE_OK;
    case JIX0_PLAN_POINT:
      if (!cursor->point_data) return SQLITE_ERROR;
      *pRowid = cursor->point_data->rowid;
      return SQLITE_OK;
    case JIX0_PLAN_KNN:
      // SQLite reads it to combine the branches of an OR and to delete or update the rows
      // a KNN query found.
      if (!cursor->knn_data || cursor->knn_data->current_idx >= cursor->knn_data->k_used) {
        return SQLITE_ERROR;
      }
      *pRowid = cursor->knn_data->rowids[cursor->knn_data->current_idx];
      return SQLITE_OK;
    default:
      return SQLITE_ERROR;
  }
}
