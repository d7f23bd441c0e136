// jix_index_info: one row per indexed vector column of the named jix0 table (none when the
// table has no index), read when the query runs.
#include "jix0/index_info.h"

#include <cstddef>
#include <new>
#include <type_traits>

#include "base/argument_plan.h"
#include "base/handles.h"
#include "jix0/index/index.h"
#include "jix0/lifecycle.h"
#include "vector/vector.h"

namespace {

enum Column : int {
  kVectorColumn,
  kMetric,
  kLists,
  kProbes,
  kRowsInLists,
  kRowsInNoList,
  kRowsAtBuild,
  kLargestList,
  kSmallestList,
  kBuiltAt,
  kTableName,  // hidden: carries the function's argument
};

struct index_info_vtab {
  sqlite3_vtab base;  // must be first
  sqlite3* db;
  Jix0Tables* tables;  // borrowed from the jix0 module
};

struct index_info_cursor {
  sqlite3_vtab_cursor base;  // must be first
  IndexState state;
  SqlitePtr<char> columnName;
  DistanceMetric metric;
  bool eof;
};
static_assert(std::is_standard_layout_v<index_info_vtab> && offsetof(index_info_vtab, base) == 0);

int indexInfoConnect(sqlite3* db, void* pAux, int, const char* const*, sqlite3_vtab** ppVtab,
                     char**) {
  int rc = sqlite3_declare_vtab(db,
                                "CREATE TABLE x(vector_column, metric, lists, probes, "
                                "rows_in_lists, rows_in_no_list, rows_at_build, largest_list, "
                                "smallest_list, "
                                "built_at, table_name hidden)");
  if (rc != SQLITE_OK) return rc;
  auto* vtab = malloc_zeroed<index_info_vtab>();
  if (!vtab) return SQLITE_NOMEM;
  vtab->db = db;
  vtab->tables = (Jix0Tables*)pAux;
  *ppVtab = &vtab->base;
  return SQLITE_OK;
}

int indexInfoDisconnect(sqlite3_vtab* vtab) {
  sqlite3_free(vtab);
  return SQLITE_OK;
}

int indexInfoBestIndex(sqlite3_vtab*, sqlite3_index_info* info) {
  return table_function_argument_plan(info, kTableName);
}

int indexInfoOpen(sqlite3_vtab*, sqlite3_vtab_cursor** ppCursor) {
  // Constructed in place: the cursor holds an owning pointer.
  void* memory = sqlite3_malloc64(sizeof(index_info_cursor));
  if (!memory) return SQLITE_NOMEM;
  auto* cursor = new (memory) index_info_cursor{};
  cursor->eof = true;
  *ppCursor = &cursor->base;
  return SQLITE_OK;
}

int indexInfoClose(sqlite3_vtab_cursor* base) {
  auto* cursor = (index_info_cursor*)base;
  cursor->~index_info_cursor();
  sqlite3_free(cursor);
  return SQLITE_OK;
}

// Connects the named table, if SQLite knows it, so that the connection's list holds it.
// *out is null when no jix0 table has the name.
int find_table(index_info_vtab* vtab, const char* name, jix0_vtab** out) {
  *out = nullptr;
  SqlitePtr<char> sql(sqlite3_mprintf("SELECT 1 FROM \"%w\" LIMIT 0", name));
  if (!sql) return SQLITE_NOMEM;
  StmtPtr stmt;
  int rc = prepare(vtab->db, sql.get(), &stmt);
  if ((rc & 0xff) == SQLITE_NOMEM) return rc;
  if (rc == SQLITE_OK) *out = jix0_tables_find(vtab->tables, nullptr, name);
  return SQLITE_OK;
}

int indexInfoFilter(sqlite3_vtab_cursor* base, int, const char*, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 1);
  auto* cursor = (index_info_cursor*)base;
  auto* vtab = (index_info_vtab*)base->pVtab;
  cursor->state = IndexState{};
  cursor->eof = true;
  const char* name = (const char*)sqlite3_value_text(argv[0]);
  if (!name && sqlite3_value_type(argv[0]) != SQLITE_NULL) return SQLITE_NOMEM;
  jix0_vtab* p = nullptr;
  int rc = name ? find_table(vtab, name, &p) : SQLITE_OK;
  if (rc != SQLITE_OK) return rc;
  if (!p) {
    vtab_set_error(&vtab->base, "jix_index_info: no jix0 table named '%s'", name ? name : "");
    return SQLITE_ERROR;
  }
  if (jix0_index_column(p) < 0) return SQLITE_OK;
  rc = jix0_index_state(p, &cursor->state);
  if (rc != SQLITE_OK) {
    // The table's message belongs to this query.
    if (p->base.zErrMsg) vtab_set_error(&vtab->base, "%s", p->base.zErrMsg);
    sqlite3_free(p->base.zErrMsg);
    p->base.zErrMsg = nullptr;
    return rc;
  }
  const VectorColumnDefinition& v = p->vector_columns[cursor->state.column];
  cursor->columnName.reset(sqlite3_mprintf("%s", v.name));
  if (!cursor->columnName) return SQLITE_NOMEM;
  cursor->metric = v.distance_metric;
  cursor->eof = false;
  return SQLITE_OK;
}

int indexInfoNext(sqlite3_vtab_cursor* base) {
  ((index_info_cursor*)base)->eof = true;
  return SQLITE_OK;
}

int indexInfoEof(sqlite3_vtab_cursor* base) {
  return ((index_info_cursor*)base)->eof;
}

int indexInfoColumn(sqlite3_vtab_cursor* base, sqlite3_context* context, int column) {
  auto* cursor = (index_info_cursor*)base;
  const IndexState& s = cursor->state;
  switch (column) {
    case kVectorColumn:
      sqlite3_result_text(context, cursor->columnName.get(), -1, SQLITE_TRANSIENT);
      break;
    case kMetric:
      sqlite3_result_text(context, distance_metric_name(cursor->metric), -1, SQLITE_STATIC);
      break;
    case kLists:
      sqlite3_result_int(context, s.lists);
      break;
    case kProbes:
      sqlite3_result_int(context, s.probes);
      break;
    case kRowsInLists:
      sqlite3_result_int64(context, s.rowsInLists);
      break;
    case kRowsInNoList:
      sqlite3_result_int64(context, s.rowsInNoList);
      break;
    case kRowsAtBuild:
      if (s.rowsAtBuild >= 0) sqlite3_result_int64(context, s.rowsAtBuild);
      break;
    case kLargestList:
      sqlite3_result_int64(context, s.largestList);
      break;
    case kSmallestList:
      sqlite3_result_int64(context, s.smallestList);
      break;
    case kBuiltAt:
      if (s.builtAt) sqlite3_result_text(context, s.builtAt.get(), -1, SQLITE_TRANSIENT);
      break;
  }
  return SQLITE_OK;
}

int indexInfoRowid(sqlite3_vtab_cursor* base, sqlite3_int64* outRowid) {
  *outRowid = ((index_info_cursor*)base)->state.column;
  return SQLITE_OK;
}

}  // namespace

// No xCreate or xDestroy: SQLite offers the module only as an eponymous table.
const sqlite3_module jix_index_infoModule = {
    .iVersion = 0,
    .xCreate = nullptr,
    .xConnect = indexInfoConnect,
    .xBestIndex = indexInfoBestIndex,
    .xDisconnect = indexInfoDisconnect,
    .xDestroy = nullptr,
    .xOpen = indexInfoOpen,
    .xClose = indexInfoClose,
    .xFilter = indexInfoFilter,
    .xNext = indexInfoNext,
    .xEof = indexInfoEof,
    .xColumn = indexInfoColumn,
    .xRowid = indexInfoRowid,
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
