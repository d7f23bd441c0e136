#include "jix0/index/ivf_tables.h"

#include <cstdarg>
#include <cstring>

#include "base/calls.h"
#include "base/handles.h"
#include "jix0/storage/chunks.h"
#include "jix0/table/result_codes.h"
#include "vector/vector.h"

namespace {

constexpr const char kCentroidsSuffix[] = "ivfcentroids";
constexpr const char kOlderCentroidsSuffix[] = "ivf_centroids";
constexpr const char kCodesSuffix[] = "ivfcodes";
// One row per chunk, keyed like the per-column chunk tables: BLOB I/O opens it by chunk_id.
constexpr const char kAddCodes[] =
    "CREATE TABLE IF NOT EXISTS \"%w\".\"%w\"(chunk_id INTEGER PRIMARY KEY, codes BLOB NOT NULL)";

char* option_message(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char* text = sqlite3_vmprintf(format, args);
  va_end(args);
  return text;
}

// A count option: 0 when not given, else 1 .. JIX0_MAX_LISTS.
bool count_in_range(int count) {
  return count >= 0 && count <= JIX0_MAX_LISTS;
}

// The centroids table takes its whole name (T_ivfcentroids, or T_ivf_centroids in older files).
constexpr const char kCreateCentroids[] =
    "CREATE TABLE \"%w\".\"%w\"(list INTEGER PRIMARY KEY, centroid BLOB NOT NULL)";
constexpr const char kAddCentroids[] =
    "CREATE TABLE IF NOT EXISTS \"%w\".\"%w_ivfcentroids\"(list INTEGER PRIMARY KEY, centroid "
    "BLOB NOT NULL)";

// Prepares and steps sql (owned; null when memory ran out) once.
int run_owned(sqlite3* db, char* sql) {
  SqlitePtr<char> text(sql);
  if (!text) return SQLITE_NOMEM;
  StmtPtr stmt;
  int rc = prepare(db, text.get(), &stmt);
  if (rc != SQLITE_OK) return rc;
  rc = jix_step(stmt.get());
  return rc == SQLITE_DONE ? SQLITE_OK : (rc == SQLITE_ROW ? SQLITE_ERROR : rc);
}

}  // namespace

int jix0_ivf_create_centroids(jix0_vtab* p, char** pzErr) {
  char* sql = sqlite3_mprintf(kCreateCentroids, p->schemaName, p->shadowIndexName);
  if (!sql) return SQLITE_NOMEM;
  int rc = run_owned(p->db, sql);
  // The codes table too, so that every build of the table's life writes into the same one.
  if (rc == SQLITE_OK) rc = jix0_ivf_add_codes_table(p);
  if (rc == SQLITE_OK) return SQLITE_OK;
  sqlite3_free(*pzErr);
  *pzErr =
      sqlite3_mprintf("Could not create '_ivfcentroids' shadow table: %s", sqlite3_errmsg(p->db));
  return jix0_failure_code(rc);
}

char* jix0_ivf_sql_add_centroids(const char* schema, const char* table) {
  return sqlite3_mprintf(kAddCentroids, schema, table);
}

int jix0_ivf_drop_centroids(jix0_vtab* p) {
  return run_owned(p->db, sqlite3_mprintf("DROP TABLE IF EXISTS \"%w\".\"%w\"", p->schemaName,
                                          p->shadowIndexName));
}

int jix0_ivf_check_options(const jix0_vtab* p, const VectorColumnDefinition& v, char** outMessage) {
  const int n = v.name_length;
  if (v.element_type != JIX_ELEMENT_FLOAT32) {
    *outMessage = option_message(
        "index=ivf is only available on float32 vector columns, not on the %s column \"%.*s\"",
        jix_type_name(v.element_type), n, v.name);
  } else if (jix0_has_index(p)) {
    *outMessage = option_message("Only one vector column of a table can have index=ivf");
  } else if (!count_in_range(v.lists)) {
    *outMessage = option_message("lists on vector column \"%.*s\" must be between 1 and %d", n,
                                 v.name, JIX0_MAX_LISTS);
  } else if (!count_in_range(v.probes)) {
    *outMessage = option_message("probes on vector column \"%.*s\" must be between 1 and %d", n,
                                 v.name, JIX0_MAX_LISTS);
  } else {
    return SQLITE_OK;
  }
  return *outMessage ? SQLITE_ERROR : SQLITE_NOMEM;
}

char* jix0_ivf_centroids_name(const char* table, bool olderName) {
  return sqlite3_mprintf("%s_%s", table, olderName ? kOlderCentroidsSuffix : kCentroidsSuffix);
}

bool jix0_ivf_is_older_centroids_name(const char* name) {
  const size_t length = strlen(name), suffix = strlen(kOlderCentroidsSuffix);
  return length > suffix && name[length - suffix - 1] == '_' &&
         strcmp(name + length - suffix, kOlderCentroidsSuffix) == 0;
}

char* jix0_ivf_codes_name(const char* table) {
  return sqlite3_mprintf("%s_%s", table, kCodesSuffix);
}

bool jix0_ivf_is_codes_suffix(const char* suffix) {
  return sqlite3_stricmp(suffix, kCodesSuffix) == 0;
}

int jix0_ivf_add_codes_table(jix0_vtab* p) {
  return run_owned(p->db, sqlite3_mprintf(kAddCodes, p->schemaName, p->shadowCodesName));
}

int jix0_ivf_drop_codes(jix0_vtab* p) {
  if (!p->shadowCodesName) return SQLITE_OK;
  return run_owned(p->db, sqlite3_mprintf("DROP TABLE IF EXISTS \"%w\".\"%w\"", p->schemaName,
                                          p->shadowCodesName));
}

bool jix0_ivf_is_centroids_suffix(const char* suffix) {
  return sqlite3_stricmp(suffix, kCentroidsSuffix) == 0 ||
         sqlite3_stricmp(suffix, kOlderCentroidsSuffix) == 0;
}

// Whether the table, created by an older version, names its centroids table T_ivf_centroids.
int jix0_ivf_has_older_centroids_name(jix0_vtab* p, const char* table, bool* outOlder,
                                      char** pzErr) {
  SqlitePtr<char> older(jix0_ivf_centroids_name(table, true));
  if (!older) return SQLITE_NOMEM;
  SqlitePtr<char> sql(
      sqlite3_mprintf("SELECT 1 FROM \"%w\".sqlite_master WHERE type = 'table' AND name = '%q'",
                      p->schemaName, older.get()));
  if (!sql) return SQLITE_NOMEM;
  StmtPtr stmt;
  int rc = prepare(p->db, sql.get(), &stmt);
  if (rc == SQLITE_OK) rc = jix_step(stmt.get());
  *outOlder = rc == SQLITE_ROW;
  if (rc == SQLITE_ROW || rc == SQLITE_DONE) return SQLITE_OK;
  if ((rc & 0xff) == SQLITE_NOMEM) return rc;
  sqlite3_free(*pzErr);
  *pzErr = sqlite3_mprintf("Could not look up the centroids table of %s: %s", table,
                           sqlite3_errmsg(p->db));
  return rc;
}

namespace {

// Bytes of the indexed column's vectors a new table's chunk holds when its declaration gives
// no chunk_size, so that one b-tree seek and statement step reads about as much whatever the
// dimensions. Measured on 784 and 128 dimensions with 64 KiB pages: against 64-row chunks,
// about this size gave 128-dimension lists 1.16x the QPS in two thirds of the file; larger
// chunks answer faster but waste more in each list's partly filled last chunk.
constexpr sqlite3_int64 kChunkBytes = 64 * 1024;
// Wide vectors keep the 64 rows of earlier tables: 784-dimension lists in 24-row chunks made a
// smaller file but answered at 0.9x the QPS.
constexpr sqlite3_int64 kMinChunkRows = JIX0_IVF_DEFAULT_CHUNK_SIZE;
// Narrow vectors would otherwise take chunks of thousands of rows, more than a list holds.
constexpr sqlite3_int64 kMaxChunkRows = 256;

}  // namespace

int jix0_ivf_chunk_size_by_bytes(const jix0_vtab* p) {
  const sqlite3_int64 width =
      (sqlite3_int64)vector_column_byte_size(p->vector_columns[p->indexVectorIdx]);
  // The nearest multiple of 8 rows, since rounding down would shrink wide vectors' chunks
  // by up to a third.
  sqlite3_int64 rows = width > 0 ? (kChunkBytes + 4 * width) / (8 * width) * 8 : kMaxChunkRows;
  if (rows < kMinChunkRows) rows = kMinChunkRows;
  if (rows > kMaxChunkRows) rows = kMaxChunkRows;
  return (int)rows;
}

int jix0_ivf_info_read(jix0_vtab* p, const char* key, sqlite3_int64* outValue, bool* outFound) {
  StmtPtr stmt;
  int rc = prepare_text(p->db,
                        sqlite3_mprintf("SELECT value FROM \"%w\".\"%w_info\" WHERE key = %Q",
                                        p->schemaName, p->tableName, key),
                        &stmt);
  if (rc != SQLITE_OK) return rc;
  *outFound = false;
  rc = jix_step(stmt.get());
  if (rc == SQLITE_ROW && sqlite3_column_type(stmt.get(), 0) == SQLITE_INTEGER) {
    *outFound = true;
    *outValue = sqlite3_column_int64(stmt.get(), 0);
  }
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int jix0_ivf_info_write(jix0_vtab* p, const char* key, sqlite3_int64 value) {
  StmtPtr stmt;
  int rc = prepare_text(p->db,
                        sqlite3_mprintf("INSERT OR REPLACE INTO \"%w\".\"%w_info\"(key, value) "
                                        "VALUES (%Q, %lld)",
                                        p->schemaName, p->tableName, key, value),
                        &stmt);
  if (rc != SQLITE_OK) return rc;
  rc = jix_step(stmt.get());
  return rc == SQLITE_DONE ? SQLITE_OK : (rc == SQLITE_ROW ? SQLITE_ERROR : rc);
}

int jix0_ivf_record_chunk_size(jix0_vtab* p) {
  return jix0_ivf_info_write(p, "IVF_CHUNK_SIZE", p->chunk_size);
}

int jix0_ivf_info_read_at_connect(jix0_vtab* p, const char* key, InfoValue* out) {
  *out = InfoValue{};
  StmtPtr stmt;
  // A file without T_info (damage) opens with what its declaration says; what else it lacks
  // is reported by the operations that need it.
  int rc = prepare_text(p->db,
                        sqlite3_mprintf("SELECT value FROM \"%w\".\"%w_info\" WHERE key = %Q",
                                        p->schemaName, p->tableName, key),
                        &stmt);
  if (rc != SQLITE_OK) return (rc & 0xff) == SQLITE_NOMEM ? rc : SQLITE_OK;
  rc = jix_step(stmt.get());
  if (rc == SQLITE_DONE) return SQLITE_OK;
  if (rc != SQLITE_ROW) return rc;
  out->found = true;
  out->integer = sqlite3_column_type(stmt.get(), 0) == SQLITE_INTEGER;
  out->value = sqlite3_column_int64(stmt.get(), 0);
  return SQLITE_OK;
}

int jix0_ivf_stored_chunk_size(jix0_vtab* p, int* outChunkSize, char** pzErr) {
  *outChunkSize = JIX0_IVF_DEFAULT_CHUNK_SIZE;
  InfoValue stored;
  int rc = jix0_ivf_info_read_at_connect(p, "IVF_CHUNK_SIZE", &stored);
  if (rc != SQLITE_OK || !stored.found) return rc;
  const sqlite3_int64 value = stored.value;
  if (!stored.integer || value < 8 || value % 8 != 0 || value > JIX0_MAX_CHUNK_SIZE) {
    sqlite3_free(*pzErr);
    *pzErr = sqlite3_mprintf(JIX0_INTERNAL_ERROR
                             ": the chunk size of %s in %s_info is not a chunk_size from 8 to "
                             "%d in steps of 8",
                             p->tableName, p->tableName, JIX0_MAX_CHUNK_SIZE);
    return SQLITE_ERROR;
  }
  *outChunkSize = (int)value;
  return SQLITE_OK;
}
