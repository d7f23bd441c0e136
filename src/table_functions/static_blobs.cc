// jix_static_blob_from_raw, the registry table jix_static_blobs and the jix_static_blob_entries
// module with its full scan and exhaustive L2 KNN search over host memory.
#include "table_functions/static_blobs.h"

#include <climits>
#include <cstring>

#include "base/bitmap.h"
#include "base/handles.h"
#include "base/select.h"
#include "kernels/kernels.h"
#include "vector/vector.h"

namespace {

constexpr const char kDefinitionPointerType[] = "jix0-static_blob_def";
// The selection indexes vectors with int and rounds the count up to a multiple of 8.
constexpr sqlite3_int64 kMaxStaticBlobCount = INT_MAX - 7;

// What jix_static_blob_from_raw returns, carried as a pointer value.
struct static_blob_definition {
  void* data;
  sqlite3_int64 dimensions;
  sqlite3_int64 count;
  int element_type;
};

// ---- jix_static_blobs: the registry as an eponymous table ----

struct jix_static_blobs_vtab {
  sqlite3_vtab base;  // must be first
  static_blob_registry* registry;
};

struct jix_static_blobs_cursor {
  sqlite3_vtab_cursor base;  // must be first
  sqlite3_int64 index;       // slot; JIX_STATIC_BLOB_SLOTS at the end
};

enum : int { kBlobsName = 0, kBlobsData = 1, kBlobsDimensions = 2, kBlobsCount = 3 };

sqlite3_int64 next_used_slot(const static_blob_registry* registry, sqlite3_int64 from) {
  while (from < JIX_STATIC_BLOB_SLOTS && !registry->slots[from].name) from++;
  return from;
}

int jix_static_blobsConnect(sqlite3* db, void* aux, int, const char* const*, sqlite3_vtab** outVtab,
                            char**) {
  int rc = sqlite3_declare_vtab(db, "CREATE TABLE x(name, data, dimensions hidden, count hidden)");
  if (rc != SQLITE_OK) return rc;
  auto* vtab = malloc_zeroed<jix_static_blobs_vtab>();
  if (!vtab) return SQLITE_NOMEM;
  vtab->registry = (static_blob_registry*)aux;
  *outVtab = &vtab->base;
  return SQLITE_OK;
}

int jix_static_blobsDisconnect(sqlite3_vtab* vtab) {
  sqlite3_free(vtab);
  return SQLITE_OK;
}

int jix_static_blobsBestIndex(sqlite3_vtab*, sqlite3_index_info* info) {
  info->idxNum = 1;
  info->estimatedCost = 10.0;
  info->estimatedRows = 10;
  return SQLITE_OK;
}

int jix_static_blobsOpen(sqlite3_vtab*, sqlite3_vtab_cursor** outCursor) {
  auto* cursor = malloc_zeroed<jix_static_blobs_cursor>();
  if (!cursor) return SQLITE_NOMEM;
  *outCursor = &cursor->base;
  return SQLITE_OK;
}

int jix_static_blobsClose(sqlite3_vtab_cursor* cursor) {
  sqlite3_free(cursor);
  return SQLITE_OK;
}

const static_blob_registry* registry_of(sqlite3_vtab_cursor* base) {
  return ((jix_static_blobs_vtab*)base->pVtab)->registry;
}

int jix_static_blobsFilter(sqlite3_vtab_cursor* base, int, const char*, int, sqlite3_value**) {
  auto* cursor = (jix_static_blobs_cursor*)base;
  cursor->index = next_used_slot(registry_of(base), 0);
  return SQLITE_OK;
}

int jix_static_blobsNext(sqlite3_vtab_cursor* base) {
  auto* cursor = (jix_static_blobs_cursor*)base;
  cursor->index = next_used_slot(registry_of(base), cursor->index + 1);
  return SQLITE_OK;
}

int jix_static_blobsEof(sqlite3_vtab_cursor* base) {
  return ((jix_static_blobs_cursor*)base)->index >= JIX_STATIC_BLOB_SLOTS;
}

int jix_static_blobsColumn(sqlite3_vtab_cursor* base, sqlite3_context* context, int column) {
  auto* cursor = (jix_static_blobs_cursor*)base;
  const static_blob& slot = registry_of(base)->slots[cursor->index];
  switch (column) {
    case kBlobsName:
      sqlite3_result_text(context, slot.name, -1, SQLITE_TRANSIENT);
      break;
    case kBlobsDimensions:
      sqlite3_result_int64(context, slot.dimensions);
      break;
    case kBlobsCount:
      sqlite3_result_int64(context, slot.count);
      break;
    default:  // data: an address is no SQL value
      sqlite3_result_null(context);
      break;
  }
  return SQLITE_OK;
}

int jix_static_blobsRowid(sqlite3_vtab_cursor* base, sqlite3_int64* outRowid) {
  *outRowid = ((jix_static_blobs_cursor*)base)->index;
  return SQLITE_OK;
}

// Registers a blob. Only inserts are accepted; registrations are never removed.
int jix_static_blobsUpdate(sqlite3_vtab* base, int argc, sqlite3_value** argv, sqlite3_int64*) {
  if (argc <= 1 || sqlite3_value_type(argv[0]) != SQLITE_NULL) return SQLITE_ERROR;
  auto* vtab = (jix_static_blobs_vtab*)base;
  auto* definition =
      (static_blob_definition*)sqlite3_value_pointer(argv[2 + kBlobsData], kDefinitionPointerType);
  if (!definition) {
    vtab_set_error(base,
                   "jix_static_blobs: the data value must be the result of "
                   "jix_static_blob_from_raw()");
    return SQLITE_ERROR;
  }
  sqlite3_int64 slotIndex = 0;
  while (slotIndex < JIX_STATIC_BLOB_SLOTS && vtab->registry->slots[slotIndex].name) slotIndex++;
  if (slotIndex == JIX_STATIC_BLOB_SLOTS) {
    vtab_set_error(base,
                   "jix_static_blobs: all %d slots are taken, no more blobs can be registered",
                   JIX_STATIC_BLOB_SLOTS);
    return SQLITE_ERROR;
  }
  const char* name = (const char*)sqlite3_value_text(argv[2 + kBlobsName]);
  if (!name && sqlite3_value_type(argv[2 + kBlobsName]) != SQLITE_NULL) return SQLITE_NOMEM;
  char* copy = sqlite3_mprintf("%s", name ? name : "");
  if (!copy) return SQLITE_NOMEM;
  static_blob& slot = vtab->registry->slots[slotIndex];
  slot.name = copy;
  slot.data = definition->data;
  slot.dimensions = definition->dimensions;
  slot.count = definition->count;
  slot.element_type = definition->element_type;
  return SQLITE_OK;
}

// ---- jix_static_blob_entries: one blob's vectors ----

// The table keeps its own copy of the slot's values: registrations never change, and the
// copy stays valid even if the entry point runs again and replaces the registry.
struct jix_static_blob_entries_vtab {
  sqlite3_vtab base;  // must be first
  void* data;
  sqlite3_int64 dimensions;
  sqlite3_int64 count;
  int element_type;
};

struct sbe_query_knn_data {
  sqlite3_int64 k;
  int32_t* rowids;   // vector indexes in ascending distance
  float* distances;  // one per vector, count rounded up to a multiple of 8
  sqlite3_int64 current_idx;
};

void sbe_query_knn_data_clear(sbe_query_knn_data* knn) {
  sqlite3_free(knn->rowids);
  sqlite3_free(knn->distances);
  knn->rowids = nullptr;
  knn->distances = nullptr;
}

using KnnDataPtr = ClearedPtr<sbe_query_knn_data, sbe_query_knn_data_clear>;

enum SbePlan : int { SBE_PLAN_NONE = 0, SBE_PLAN_FULLSCAN = 1, SBE_PLAN_KNN = 2 };

struct jix_static_blob_entries_cursor {
  sqlite3_vtab_cursor base;  // must be first
  sqlite3_int64 index;       // current vector under the full scan
  int plan;
  sbe_query_knn_data* knn_data;
};

enum : int { kEntriesVector = 0, kEntriesDistance = 1, kEntriesK = 2 };

// Binds the table to the registered blob whose name equals the first module argument.
int jix_static_blob_entriesConnect(sqlite3* db, void* aux, int argc, const char* const* argv,
                                   sqlite3_vtab** outVtab, char** outError) {
  const auto* registry = (const static_blob_registry*)aux;
  if (argc < 4) {
    *outError = sqlite3_mprintf(
        "jix_static_blob_entries: the name of a registered static blob is required, as in "
        "CREATE VIRTUAL TABLE t USING jix_static_blob_entries(name)");
    return SQLITE_ERROR;
  }
  const char* name = argv[3];
  const static_blob* found = nullptr;
  for (const static_blob& slot : registry->slots) {
    if (slot.name && strcmp(slot.name, name) == 0) {
      found = &slot;
      break;
    }
  }
  if (!found) {
    *outError =
        sqlite3_mprintf("jix_static_blob_entries: no static blob named \"%s\" is registered", name);
    return SQLITE_ERROR;
  }
  int rc = sqlite3_declare_vtab(db, "CREATE TABLE x(vector, distance hidden, k hidden)");
  if (rc != SQLITE_OK) return rc;
  auto* vtab = malloc_zeroed<jix_static_blob_entries_vtab>();
  if (!vtab) return SQLITE_NOMEM;
  vtab->data = found->data;
  vtab->dimensions = found->dimensions;
  vtab->count = found->count;
  vtab->element_type = found->element_type;
  *outVtab = &vtab->base;
  return SQLITE_OK;
}

int jix_static_blob_entriesDisconnect(sqlite3_vtab* vtab) {
  sqlite3_free(vtab);
  return SQLITE_OK;
}

int jix_static_blob_entriesBestIndex(sqlite3_vtab* base, sqlite3_index_info* info) {
  auto* vtab = (jix_static_blob_entries_vtab*)base;
  int matchIndex = -1, kIndex = -1, limitIndex = -1;
  for (int i = 0; i < info->nConstraint; i++) {
    const auto& c = info->aConstraint[i];
    if (!c.usable) continue;
    if (c.op == SQLITE_INDEX_CONSTRAINT_MATCH && c.iColumn == kEntriesVector) {
      if (matchIndex >= 0) return SQLITE_ERROR;
      matchIndex = i;
    } else if (c.op == SQLITE_INDEX_CONSTRAINT_EQ && c.iColumn == kEntriesK) {
      kIndex = i;
    } else if (c.op == SQLITE_INDEX_CONSTRAINT_LIMIT) {
      limitIndex = i;
    }
  }
  if (matchIndex < 0) {
    info->idxNum = SBE_PLAN_FULLSCAN;
    info->estimatedCost = (double)vtab->count;
    info->estimatedRows = vtab->count;
    return SQLITE_OK;
  }
  if ((kIndex >= 0) == (limitIndex >= 0)) return SQLITE_ERROR;
  if (info->nOrderBy == 0) {
    vtab_set_error(base, "ORDER BY distance required");
    return SQLITE_CONSTRAINT;
  }
  if (info->nOrderBy > 1) {
    vtab_set_error(base, "more than 1 ORDER BY clause provided");
    return SQLITE_CONSTRAINT;
  }
  if (info->aOrderBy[0].iColumn != kEntriesDistance) {
    vtab_set_error(base, "ORDER BY must be on the distance column");
    return SQLITE_CONSTRAINT;
  }
  if (info->aOrderBy[0].desc) {
    vtab_set_error(base,
                   "Only ascending in ORDER BY distance clause is supported, DESC is not "
                   "supported yet.");
    return SQLITE_CONSTRAINT;
  }
  info->idxNum = SBE_PLAN_KNN;
  info->estimatedCost = 10.0;
  info->estimatedRows = 10;
  info->orderByConsumed = 1;
  info->aConstraintUsage[matchIndex].argvIndex = 1;
  info->aConstraintUsage[matchIndex].omit = 1;
  int countIndex = limitIndex >= 0 ? limitIndex : kIndex;
  info->aConstraintUsage[countIndex].argvIndex = 2;
  info->aConstraintUsage[countIndex].omit = 1;
  return SQLITE_OK;
}

int jix_static_blob_entriesOpen(sqlite3_vtab*, sqlite3_vtab_cursor** outCursor) {
  auto* cursor = malloc_zeroed<jix_static_blob_entries_cursor>();
  if (!cursor) return SQLITE_NOMEM;
  *outCursor = &cursor->base;
  return SQLITE_OK;
}

void entries_cursor_clear(jix_static_blob_entries_cursor* cursor) {
  KnnDataPtr knn(cursor->knn_data);  // freed with what it owns
  cursor->knn_data = nullptr;
}

int jix_static_blob_entriesClose(sqlite3_vtab_cursor* base) {
  auto* cursor = (jix_static_blob_entries_cursor*)base;
  entries_cursor_clear(cursor);
  sqlite3_free(cursor);
  return SQLITE_OK;
}

// Distances of every vector to the query, then the k nearest through the shared selection.
// REQUIRES: 0 < k <= vtab->count.
int entries_knn(const jix_static_blob_entries_vtab* vtab, const float* query, sqlite3_int64 k,
                sbe_query_knn_data* knn) {
  const sqlite3_int64 count = vtab->count;
  const int slots = (int)((count + 7) / 8 * 8);
  knn->rowids = (int32_t*)sqlite3_malloc64(sizeof(int32_t) * (uint64_t)k);
  knn->distances = (float*)sqlite3_malloc64(sizeof(float) * (uint64_t)slots);
  if (!knn->rowids || !knn->distances) return SQLITE_NOMEM;

  const float* data = (const float*)vtab->data;
  const size_t dimensions = (size_t)vtab->dimensions;
  for (sqlite3_int64 i = 0; i < count; i++) {
    knn->distances[i] = kernel_l2_float32(data + i * dimensions, query, dimensions);
  }
  for (int i = (int)count; i < slots; i++) knn->distances[i] = 0;

  SqlitePtr<uint8_t> candidates(bitmap_new(slots));
  SqlitePtr<uint8_t> taken(bitmap_new(slots));
  if (!candidates || !taken) return SQLITE_NOMEM;
  // Only real vectors are candidates; the padding bits up to the multiple of 8 stay clear.
  int wholeBytes = (int)(count / 8 * 8);  // bits in the bytes that are all candidates
  bitmap_fill(candidates.get(), wholeBytes);
  for (int i = wholeBytes; i < count; i++) bitmap_set(candidates.get(), i, 1);

  int selected = 0;
  min_idx(knn->distances, slots, candidates.get(), knn->rowids, (int)k, taken.get(), &selected);
  knn->k = selected;
  knn->current_idx = 0;
  return SQLITE_OK;
}

int jix_static_blob_entriesFilter(sqlite3_vtab_cursor* base, int idxNum, const char*, int argc,
                                  sqlite3_value** argv) {
  auto* cursor = (jix_static_blob_entries_cursor*)base;
  auto* vtab = (jix_static_blob_entries_vtab*)base->pVtab;
  entries_cursor_clear(cursor);
  if (idxNum != SBE_PLAN_KNN) {
    cursor->plan = SBE_PLAN_FULLSCAN;
    cursor->index = 0;
    return SQLITE_OK;
  }
  JIX_ASSERT(argc == 2);
  cursor->plan = SBE_PLAN_KNN;
  KnnDataPtr knn(malloc_zeroed<sbe_query_knn_data>());
  if (!knn) return SQLITE_NOMEM;

  void* query;
  size_t dimensions;
  VectorElementType elementType;
  vector_cleanup cleanup;
  char* error = nullptr;
  int parseRc = vector_from_value(argv[0], &query, &dimensions, &elementType, &cleanup, &error);
  if (parseRc != SQLITE_OK) {
    sqlite3_free(error);
    return parseRc == SQLITE_NOMEM ? SQLITE_NOMEM : SQLITE_ERROR;
  }
  struct Release {
    void* vector;
    vector_cleanup cleanup;
    ~Release() { cleanup(vector); }
  } release{query, cleanup};
  if (elementType != vtab->element_type || (sqlite3_int64)dimensions != vtab->dimensions) {
    return SQLITE_ERROR;
  }

  sqlite3_int64 k = sqlite3_value_int64(argv[1]);
  if (k < 0) return SQLITE_ERROR;
  if (k > vtab->count) k = vtab->count;
  if (k > 0) {
    int rc = entries_knn(vtab, (const float*)query, k, knn.get());
    if (rc != SQLITE_OK) return rc;
  }
  cursor->knn_data = knn.release();
  return SQLITE_OK;
}

int jix_static_blob_entriesNext(sqlite3_vtab_cursor* base) {
  auto* cursor = (jix_static_blob_entries_cursor*)base;
  switch (cursor->plan) {
    case SBE_PLAN_KNN:
      if (cursor->knn_data) cursor->knn_data->current_idx++;
      return SQLITE_OK;
    case SBE_PLAN_FULLSCAN:
      cursor->index++;
      return SQLITE_OK;
    default:
      return SQLITE_ERROR;
  }
}

int jix_static_blob_entriesEof(sqlite3_vtab_cursor* base) {
  auto* cursor = (jix_static_blob_entries_cursor*)base;
  auto* vtab = (jix_static_blob_entries_vtab*)base->pVtab;
  switch (cursor->plan) {
    case SBE_PLAN_KNN:
      return !cursor->knn_data || cursor->knn_data->current_idx >= cursor->knn_data->k;
    case SBE_PLAN_FULLSCAN:
      return (uint64_t)cursor->index >= (uint64_t)vtab->count;
    default:
      return 1;
  }
}

// The vector index the cursor stands on; false when it stands on none.
bool entries_current(const jix_static_blob_entries_cursor* cursor, sqlite3_int64* outIndex) {
  if (cursor->plan == SBE_PLAN_KNN && cursor->knn_data) {
    *outIndex = cursor->knn_data->rowids[cursor->knn_data->current_idx];
    return true;
  }
  if (cursor->plan == SBE_PLAN_FULLSCAN) {
    *outIndex = cursor->index;
    return true;
  }
  return false;
}

int jix_static_blob_entriesColumn(sqlite3_vtab_cursor* base, sqlite3_context* context, int column) {
  auto* cursor = (jix_static_blob_entries_cursor*)base;
  auto* vtab = (jix_static_blob_entries_vtab*)base->pVtab;
  sqlite3_int64 index;
  if (!entries_current(cursor, &index)) return SQLITE_ERROR;
  if (column != kEntriesVector) return SQLITE_OK;
  const uint64_t vectorBytes = (uint64_t)vtab->dimensions * 4;
  sqlite3_result_blob64(context, (const uint8_t*)vtab->data + (uint64_t)index * vectorBytes,
                        vectorBytes, SQLITE_TRANSIENT);
  sqlite3_result_subtype(context, vtab->element_type);
  return SQLITE_OK;
}

int jix_static_blob_entriesRowid(sqlite3_vtab_cursor* base, sqlite3_int64* outRowid) {
  return entries_current((jix_static_blob_entries_cursor*)base, outRowid) ? SQLITE_OK
                                                                          : SQLITE_ERROR;
}

}  // namespace

void jix_static_blob_from_raw(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 4);
  sqlite3_int64 address = sqlite3_value_int64(argv[0]);
  sqlite3_int64 dimensions = sqlite3_value_int64(argv[2]);
  sqlite3_int64 count = sqlite3_value_int64(argv[3]);
  // Refuse what would make later reads wrap around or index past what the selection handles;
  // the host's memory itself cannot be checked.
  if (dimensions < 0 || count < 0) {
    SqlitePtr<char> message(sqlite3_mprintf(
        "jix_static_blob_from_raw: dimensions and count must not be negative, found %lld and %lld",
        dimensions, count));
    sqlite3_result_error(context, message ? message.get() : "out of memory", -1);
    return;
  }
  sqlite3_int64 bytes;
  if (count > kMaxStaticBlobCount || __builtin_mul_overflow(count, dimensions, &bytes) ||
      __builtin_mul_overflow(bytes, (sqlite3_int64)4, &bytes)) {
    SqlitePtr<char> message(sqlite3_mprintf(
        "jix_static_blob_from_raw: %lld vectors of %lld dimensions are too many (at most %lld "
        "vectors, and their bytes must fit in 64 bits)",
        count, dimensions, kMaxStaticBlobCount));
    sqlite3_result_error(context, message ? message.get() : "out of memory", -1);
    return;
  }
  if (address == 0 && bytes > 0) {
    sqlite3_result_error(context, "jix_static_blob_from_raw: the address must not be 0 (NULL)", -1);
    return;
  }
  auto* definition = (static_blob_definition*)sqlite3_malloc(sizeof(static_blob_definition));
  if (!definition) {
    sqlite3_result_error_nomem(context);
    return;
  }
  definition->data = (void*)(uintptr_t)address;
  definition->dimensions = dimensions;
  definition->count = count;
  definition->element_type = JIX_ELEMENT_FLOAT32;
  sqlite3_result_pointer(context, definition, kDefinitionPointerType, sqlite3_free);
}

const sqlite3_module jix_static_blobsModule = {
    .iVersion = 3,
    .xCreate = nullptr,
    .xConnect = jix_static_blobsConnect,
    .xBestIndex = jix_static_blobsBestIndex,
    .xDisconnect = jix_static_blobsDisconnect,
    .xDestroy = nullptr,
    .xOpen = jix_static_blobsOpen,
    .xClose = jix_static_blobsClose,
    .xFilter = jix_static_blobsFilter,
    .xNext = jix_static_blobsNext,
    .xEof = jix_static_blobsEof,
    .xColumn = jix_static_blobsColumn,
    .xRowid = jix_static_blobsRowid,
    .xUpdate = jix_static_blobsUpdate,
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

const sqlite3_module jix_static_blob_entriesModule = {
    .iVersion = 3,
    .xCreate = jix_static_blob_entriesConnect,
    .xConnect = jix_static_blob_entriesConnect,
    .xBestIndex = jix_static_blob_entriesBestIndex,
    .xDisconnect = jix_static_blob_entriesDisconnect,
    .xDestroy = jix_static_blob_entriesDisconnect,
    .xOpen = jix_static_blob_entriesOpen,
    .xClose = jix_static_blob_entriesClose,
    .xFilter = jix_static_blob_entriesFilter,
    .xNext = jix_static_blob_entriesNext,
    .xEof = jix_static_blob_entriesEof,
    .xColumn = jix_static_blob_entriesColumn,
    .xRowid = jix_static_blob_entriesRowid,
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

void static_blob_registry_free(void* registry) {
  if (!registry) return;
  for (static_blob& slot : ((static_blob_registry*)registry)->slots) sqlite3_free(slot.name);
  sqlite3_free(registry);
}
