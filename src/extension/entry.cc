// Entry points and the registration table of the vector functions.
#include "extension/entry.h"

#include <cstring>

#include "base/handles.h"
#include "extension/version.h"
#include "functions/arithmetic.h"
#include "functions/distance.h"
#include "functions/inspect.h"
#include "functions/quantize.h"
#include "jix0/index_info.h"
#include "jix0/lifecycle.h"
#include "jix0/module.h"
#include "jix0/storage/chunk_cache.h"
#include "table_functions/each.h"
#include "table_functions/npy.h"
#include "table_functions/static_blobs.h"

SQLITE_EXTENSION_INIT1

namespace {

struct FunctionRow {
  const char* name;
  void (*implementation)(sqlite3_context*, int, sqlite3_value**);
  int argumentCount;
  int flags;
};

constexpr FunctionRow kFunctions[] = {
    {"jix_distance_l2", jix_distance_l2, 2, JIX_FLAGS_S},
    {"jix_distance_l1", jix_distance_l1, 2, JIX_FLAGS_S},
    {"jix_distance_hamming", jix_distance_hamming, 2, JIX_FLAGS_S},
    {"jix_distance_cosine", jix_distance_cosine, 2, JIX_FLAGS_S},
    {"jix_length", jix_length, 1, JIX_FLAGS_S},
    {"jix_type", jix_type, 1, JIX_FLAGS_S},
    {"jix_to_json", jix_to_json, 1, JIX_FLAGS_R},
    {"jix_add", jix_add, 2, JIX_FLAGS_R},
    {"jix_sub", jix_sub, 2, JIX_FLAGS_R},
    {"jix_slice", jix_slice, 3, JIX_FLAGS_R},
    {"jix_normalize", jix_normalize, 1, JIX_FLAGS_R},
    {"jix_f32", jix_f32, 1, JIX_FLAGS_R},
    {"jix_bit", jix_bit, 1, JIX_FLAGS_R},
    {"jix_int8", jix_int8, 1, JIX_FLAGS_R},
    {"jix_quantize_int8", jix_quantize_int8, 2, JIX_FLAGS_R},
    {"jix_quantize_binary", jix_quantize_binary, 1, JIX_FLAGS_R},
};

constexpr const char kVersion[] = JIX_VERSION;
constexpr const char kDebug[] =
    "Version: " JIX_VERSION "\nDate: " JIX_BUILD_DATE "\nCommit: \nBuild flags:  ";

// jix_version and jix_debug: the result is the function's user data.
void jix_info(sqlite3_context* context, int, sqlite3_value**) {
  sqlite3_result_text(context, (const char*)sqlite3_user_data(context), -1, SQLITE_STATIC);
}

// The jix0 module and jix_cache_size, sharing the connection's chunk-cache budget. Each
// registration holds a reference, dropped when SQLite lets go of it (at close, or at once
// when the registration fails).

}  // namespace

int sqlite3_jix_init(sqlite3* db, char** pzErrMsg, const sqlite3_api_routines* pApi) {
  SQLITE_EXTENSION_INIT2(pApi);
  int rc = sqlite3_create_function_v2(db, "jix_version", 0, JIX_FLAGS_I, (void*)kVersion, jix_info,
                                      nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return rc;
  rc = sqlite3_create_function_v2(db, "jix_debug", 0, JIX_FLAGS_I, (void*)kDebug, jix_info, nullptr,
                                  nullptr, nullptr);
  if (rc != SQLITE_OK) return rc;
  for (const FunctionRow& row : kFunctions) {
    rc = sqlite3_create_function_v2(db, row.name, row.argumentCount, row.flags, nullptr,
                                    row.implementation, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
      *pzErrMsg = sqlite3_mprintf("Error creating function %s: %s", row.name, sqlite3_errmsg(db));
      return rc;
    }
  }
  // The connection's list of open jix0 tables and its chunk-cache budget belong to the jix0
  // module (freed with it, after its last table); jix_index_info and jix_cache_size borrow
  // them.
  auto* tables = malloc_zeroed<Jix0Tables>();
  if (!tables) return SQLITE_NOMEM;
  tables->cacheBudget = chunk_cache_budget_new();
  if (!tables->cacheBudget) {
    sqlite3_free(tables);
    return SQLITE_NOMEM;
  }
  ChunkCacheBudget* budget = tables->cacheBudget;  // the reference the tables hold
  struct {
    const char* name;
    const sqlite3_module* module;
    void* clientData;
    void (*destroy)(void*);
  } const modules[] = {{"jix0", &jix0Module, tables, jix0_tables_free},
                       {"jix_each", &jix_eachModule, nullptr, nullptr},
                       {"jix_index_info", &jix_index_infoModule, tables, nullptr}};
  for (const auto& m : modules) {
    rc = sqlite3_create_module_v2(db, m.name, m.module, m.clientData, m.destroy);
    if (rc != SQLITE_OK) {
      *pzErrMsg = sqlite3_mprintf("Error creating module %s: %s", m.name, sqlite3_errmsg(db));
      return rc;
    }
  }
  // The function's own reference: the budget outlives whichever of the two goes first.
  chunk_cache_budget_ref(budget);
  rc = sqlite3_create_function_v2(db, "jix_cache_size", 1, SQLITE_UTF8 | SQLITE_DIRECTONLY, budget,
                                  jix_cache_size, nullptr, nullptr, chunk_cache_budget_unref);
  if (rc != SQLITE_OK) {
    *pzErrMsg =
        sqlite3_mprintf("Error creating function %s: %s", "jix_cache_size", sqlite3_errmsg(db));
  }
  return rc;
}

int sqlite3_jix_numpy_init(sqlite3* db, char**, const sqlite3_api_routines* pApi) {
  SQLITE_EXTENSION_INIT2(pApi);
  // The function reads any file the process can: never from a trigger, view or schema that
  // came with someone else's database.
  int rc =
      sqlite3_create_function_v2(db, "jix_npy_file", 1, SQLITE_RESULT_SUBTYPE | SQLITE_DIRECTONLY,
                                 nullptr, jix_npy_file, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return rc;
  return sqlite3_create_module_v2(db, "jix_npy_each", &jix_npy_eachModule, nullptr, nullptr);
}

int sqlite3_jix_static_blobs_init(sqlite3* db, char**, const sqlite3_api_routines* pApi) {
  SQLITE_EXTENSION_INIT2(pApi);
  auto* registry = malloc_zeroed<static_blob_registry>();
  if (!registry) return SQLITE_NOMEM;
  // The function turns an integer into a memory address: never from a trigger, view or
  // schema, so it is direct-only and not innocuous.
  constexpr int kFromRawFlags = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_SUBTYPE |
                                SQLITE_RESULT_SUBTYPE | SQLITE_DIRECTONLY;
  int rc = sqlite3_create_function_v2(db, "jix_static_blob_from_raw", 4, kFromRawFlags, nullptr,
                                      jix_static_blob_from_raw, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_free(registry);
    return rc;
  }
  // The registry belongs to jix_static_blobs (freed with the module at connection close);
  // jix_static_blob_entries borrows it.
  rc = sqlite3_create_module_v2(db, "jix_static_blobs", &jix_static_blobsModule, registry,
                                static_blob_registry_free);
  if (rc != SQLITE_OK) return rc;
  return sqlite3_create_module_v2(db, "jix_static_blob_entries", &jix_static_blob_entriesModule,
                                  registry, nullptr);
}
