// jix_each: lists one vector's elements as rows (rowid = element index), as an eponymous
// table-valued function: SELECT rowid, value FROM jix_each(?).
#include "table_functions/each.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "base/argument_plan.h"
#include "base/handles.h"
#include "vector/vector.h"

namespace {

constexpr int kColumnValue = 0;
constexpr int kColumnVector = 1;  // hidden: carries the function's argument

struct jix_each_cursor {
  sqlite3_vtab_cursor base;  // must be first: SQLite hands us sqlite3_vtab_cursor*
  sqlite3_int64 iRowid;      // current element index
  VectorElementType elementType;
  void* vector;  // owned; null until a filter succeeds
  size_t dimensions;
  vector_cleanup cleanup;
};
static_assert(std::is_standard_layout_v<jix_each_cursor> && offsetof(jix_each_cursor, base) == 0);

void jix_each_release_vector(jix_each_cursor* cursor) {
  if (cursor->vector) cursor->cleanup(cursor->vector);
  cursor->vector = nullptr;
  cursor->cleanup = nullptr;
  cursor->dimensions = 0;
}

int jix_eachConnect(sqlite3* db, void*, int, const char* const*, sqlite3_vtab** ppVtab, char**) {
  int rc = sqlite3_declare_vtab(db, "CREATE TABLE x(value, vector hidden)");
  if (rc != SQLITE_OK) return rc;
  auto* vtab = malloc_zeroed<sqlite3_vtab>();
  if (!vtab) return SQLITE_NOMEM;
  *ppVtab = vtab;
  return SQLITE_OK;
}

int jix_eachDisconnect(sqlite3_vtab* vtab) {
  sqlite3_free(vtab);
  return SQLITE_OK;
}

int jix_eachBestIndex(sqlite3_vtab*, sqlite3_index_info* info) {
  return table_function_argument_plan(info, kColumnVector);
}

int jix_eachOpen(sqlite3_vtab*, sqlite3_vtab_cursor** ppCursor) {
  auto* cursor = malloc_zeroed<jix_each_cursor>();
  if (!cursor) return SQLITE_NOMEM;
  *ppCursor = &cursor->base;
  return SQLITE_OK;
}

int jix_eachClose(sqlite3_vtab_cursor* base) {
  auto* cursor = (jix_each_cursor*)base;
  jix_each_release_vector(cursor);
  sqlite3_free(cursor);
  return SQLITE_OK;
}

int jix_eachFilter(sqlite3_vtab_cursor* base, int, const char*, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 1);
  auto* cursor = (jix_each_cursor*)base;
  jix_each_release_vector(cursor);

  void* vector = nullptr;
  size_t dimensions = 0;
  VectorElementType elementType;
  vector_cleanup cleanup;
  char* error = nullptr;
  int rc = vector_from_value(argv[0], &vector, &dimensions, &elementType, &cleanup, &error);
  if (rc != SQLITE_OK) {
    // The message is dropped: SQLite reports its generic text for this code.
    sqlite3_free(error);
    return rc == SQLITE_NOMEM ? SQLITE_NOMEM : SQLITE_ERROR;
  }
  // int8 and bit BLOBs come back borrowed from the argument. The cursor keeps them across
  // many xNext calls, so it takes its own copy rather than rely on the argument staying put.
  if (cleanup == vector_cleanup_noop) {
    size_t bytes = vector_byte_size(elementType, dimensions);
    SqlitePtr<void> copy(sqlite3_malloc64(bytes));
    if (!copy) return SQLITE_NOMEM;
    memcpy(copy.get(), vector, bytes);
    vector = copy.release();
    cleanup = sqlite3_free;
  }
  cursor->vector = vector;
  cursor->dimensions = dimensions;
  cursor->elementType = elementType;
  cursor->cleanup = cleanup;
  cursor->iRowid = 0;
  return SQLITE_OK;
}

int jix_eachNext(sqlite3_vtab_cursor* base) {
  ((jix_each_cursor*)base)->iRowid++;
  return SQLITE_OK;
}

int jix_eachEof(sqlite3_vtab_cursor* base) {
  auto* cursor = (jix_each_cursor*)base;
  return cursor->iRowid >= (sqlite3_int64)cursor->dimensions;
}

int jix_eachColumn(sqlite3_vtab_cursor* base, sqlite3_context* context, int column) {
  auto* cursor = (jix_each_cursor*)base;
  if (column != kColumnValue) return SQLITE_OK;  // the hidden argument reads as NULL
  size_t i = (size_t)cursor->iRowid;
  switch (cursor->elementType) {
    case JIX_ELEMENT_FLOAT32:
      sqlite3_result_double(context, ((const float*)cursor->vector)[i]);
      break;
    case JIX_ELEMENT_INT8:
      sqlite3_result_int(context, ((const int8_t*)cursor->vector)[i]);
      break;
    case JIX_ELEMENT_BIT:
      // Listed most significant bit first within each byte: the reverse of the storage order.
      sqlite3_result_int(context, (((const uint8_t*)cursor->vector)[i / 8] >> (7 - i % 8)) & 1);
      break;
  }
  return SQLITE_OK;
}

int jix_eachRowid(sqlite3_vtab_cursor* base, sqlite3_int64* outRowid) {
  *outRowid = ((jix_each_cursor*)base)->iRowid;
  return SQLITE_OK;
}

}  // namespace

// No xCreate or xDestroy: SQLite offers the module only as an eponymous table.
const sqlite3_module jix_eachModule = {
    .iVersion = 0,
    .xCreate = nullptr,
    .xConnect = jix_eachConnect,
    .xBestIndex = jix_eachBestIndex,
    .xDisconnect = jix_eachDisconnect,
    .xDestroy = nullptr,
    .xOpen = jix_eachOpen,
    .xClose = jix_eachClose,
    .xFilter = jix_eachFilter,
    .xNext = jix_eachNext,
    .xEof = jix_eachEof,
    .xColumn = jix_eachColumn,
    .xRowid = jix_eachRowid,
    .xUpdate = nullptr,
    .xBegin = nullptr,
    .xSync = nullptr,
    .xCommit = nullptr,
    .xRollback = nullptr,
    .xFindFunction = nullptr,
    .xRename = nullptr,
    .xSavepoint = nullptr,
    .xRelease = nullptr,
    .xRollbackTo = nullptr,
    .xShadowName = nullptr,
#if SQLITE_VERSION_NUMBER >= 3044000  // slot added by newer SQLite headers
    .xIntegrity = nullptr,
#endif
};
