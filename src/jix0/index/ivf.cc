// The IVF index: centroid cache, assignment and list order.
#include "jix0/index/ivf.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/handles.h"
#include "jix0/index/ivf_codes.h"
#include "jix0/index/ivf_tables.h"
#include "jix0/index/kmeans.h"
#include "jix0/storage/chunks.h"
#include "jix0/storage/shadow_tables.h"
#include "jix0/table/result_codes.h"
#include "kernels/lookup.h"

int jix0_ivf_lists_for(const jix0_vtab* p, sqlite3_int64 n, int chosen) {
  if (n <= 0) return 0;
  sqlite3_int64 lists = chosen;
  if (lists <= 0) {
    lists = (sqlite3_int64)std::llround(std::sqrt((double)n));
    // Lists of at least four chunks of the older default size: chunks sized by bytes hold
    // more rows, and would otherwise cut the count of lists.
    const int rows =
        p->chunk_size < JIX0_IVF_DEFAULT_CHUNK_SIZE ? p->chunk_size : JIX0_IVF_DEFAULT_CHUNK_SIZE;
    sqlite3_int64 bySize = n / (4 * (sqlite3_int64)rows);
    if (lists > bySize) lists = bySize;
    if (lists < 1) lists = 1;
  }
  if (lists > n) lists = n;
  return (int)lists;
}

int jix0_ivf_default_probes(const jix0_vtab* p, int lists) {
  int probes = p->indexCache && p->indexCache->ivf.probes > 0 ? p->indexCache->ivf.probes
                                                              : jix0_ivf_column(p).probes;
  if (probes > 0) return probes;
  probes = (lists + 127) / 128;
  return probes < 8 ? 8 : probes;
}

namespace {

// The build id in T_info, 0 before the first build.
int read_build_id(jix0_vtab* p, IvfCentroids* c, sqlite3_int64* outBuild) {
  int rc = prepare_cached(p->db, &c->stmtBuild, [p] {
    return sqlite3_mprintf(JIX0_SQL_SELECT_IVF_BUILD, p->schemaName, p->tableName);
  });
  if (rc == SQLITE_NOMEM) return rc;
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": could not read the IVF build of %s: %s",
                   p->tableName, sqlite3_errmsg(p->db));
    return jix0_failure_code(rc);
  }
  sqlite3_int64 build = 0;
  {
    ResetOnExit reset(c->stmtBuild);
    rc = jix_step(c->stmtBuild);
    if (rc == SQLITE_ROW) {
      if (sqlite3_column_type(c->stmtBuild, 0) != SQLITE_INTEGER ||
          sqlite3_column_int64(c->stmtBuild, 0) == 0) {
        vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": the IVF build id of %s is not an integer",
                       p->tableName);
        return SQLITE_ERROR;
      }
      build = sqlite3_column_int64(c->stmtBuild, 0);
    } else if (rc != SQLITE_DONE) {
      return jix0_failure_code(rc);
    }
  }
  *outBuild = build;
  return SQLITE_OK;
}

// Sets c->strayLists. Integers, and numbers outside the lists, are caught by the batch
// clause itself; this looks (through the list index) for the numbers between.
int find_stray_lists(jix0_vtab* p, IvfCentroids* c) {
  c->strayLists = false;
  if (c->lists == 0) return SQLITE_OK;
  StmtPtr stmt;
  int rc = prepare_text(p->db,
                        sqlite3_mprintf("SELECT 1 FROM \"%w\".\"%w\" WHERE list > -1 AND list < %d"
                                        " AND list <> CAST(list AS INTEGER) LIMIT 1",
                                        p->schemaName, p->shadowChunksName, c->lists),
                        &stmt);
  if (rc == SQLITE_OK) rc = jix_step(stmt.get());
  if (rc == SQLITE_ROW) c->strayLists = true;
  if (rc == SQLITE_ROW || rc == SQLITE_DONE) return SQLITE_OK;
  if ((rc & 0xff) != SQLITE_NOMEM) {
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": could not read the lists of %s: %s",
                   p->tableName, sqlite3_errmsg(p->db));
  }
  return jix0_failure_code(rc);
}

// Reads the centroids of build `build` into c.
int load_centroids(jix0_vtab* p, IvfCentroids* c, sqlite3_int64 build) {
  int rc;
  const VectorColumnDefinition& column = jix0_ivf_column(p);
  const int bytes = (int)(column.dimensions * sizeof(float));
  StmtPtr stmt;
  rc = prepare_text(
      p->db, sqlite3_mprintf(JIX0_SQL_SELECT_CENTROIDS, p->schemaName, p->shadowIndexName), &stmt);
  if (rc != SQLITE_OK) {
    if ((rc & 0xff) == SQLITE_NOMEM) return rc;
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": could not read the IVF centroids of %s: %s",
                   p->tableName, sqlite3_errmsg(p->db));
    return jix0_failure_code(rc);
  }
  int lists = 0, capacity = 0;
  float* data = nullptr;
  SqlitePtr<float> owner;
  while ((rc = jix_step(stmt.get())) == SQLITE_ROW) {
    if (sqlite3_column_type(stmt.get(), 0) != SQLITE_INTEGER ||
        sqlite3_column_int64(stmt.get(), 0) != lists ||
        sqlite3_column_type(stmt.get(), 1) != SQLITE_BLOB ||
        sqlite3_column_bytes(stmt.get(), 1) != bytes) {
      vtab_set_error(&p->base,
                     JIX0_INTERNAL_ERROR
                     ": the IVF centroid of list %d of %s is missing or not a BLOB of %d bytes",
                     lists, p->tableName, bytes);
      return SQLITE_ERROR;
    }
    const void* blob = sqlite3_column_blob(stmt.get(), 1);
    if (!blob) return SQLITE_NOMEM;
    if (lists == capacity) {
      capacity = capacity ? capacity * 2 : 64;
      data = (float*)sqlite3_realloc64(owner.get(), (sqlite3_uint64)capacity * bytes);
      if (!data) return SQLITE_NOMEM;
      (void)owner.release();
      owner.reset(data);
    }
    memcpy(data + (size_t)lists * column.dimensions, blob, (size_t)bytes);
    lists++;
  }
  if (rc != SQLITE_DONE) return jix0_failure_code(rc);
  rc = ivf_nearest_init(&c->nearest, column.distance_metric, owner.get(), column.dimensions, lists);
  if (rc != SQLITE_OK) return rc;
  c->data = owner.release();
  c->lists = lists;
  c->dimensions = (int)column.dimensions;
  c->build = build;
  return find_stray_lists(p, c);
}

// The probes a build-index option kept, 0 when none: it changes only with a build, so it is
// read with the build's centroids.
int read_kept_probes(jix0_vtab* p, int* outProbes) {
  StmtPtr stmt;
  int rc =
      prepare_text(p->db,
                   sqlite3_mprintf("SELECT value FROM \"%w\".\"%w_info\" WHERE key = 'IVF_PROBES'",
                                   p->schemaName, p->tableName),
                   &stmt);
  if (rc != SQLITE_OK) return jix0_failure_code(rc);
  *outProbes = 0;
  rc = jix_step(stmt.get());
  if (rc == SQLITE_ROW) {
    sqlite3_int64 value = sqlite3_column_int64(stmt.get(), 0);
    if (value > 0 && value <= JIX0_MAX_LISTS) *outProbes = (int)value;
  }
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : jix0_failure_code(rc);
}

// The centroids' codes, and the query's row after them (see IvfCentroids::centroidCodes).
void encode_centroids(IvfCentroids* c) {
  if (!c->codesMap || c->lists == 0) return;
  const size_t d = (size_t)c->dimensions;
  c->centroidCodes = (int8_t*)sqlite3_malloc64((sqlite3_uint64)(c->lists + 1) * d);
  if (!c->centroidCodes) return;
  for (int i = 0; i < c->lists; i++) {
    jix0_ivf_encode(c, c->data + (size_t)i * d, c->centroidCodes + (size_t)i * d);
  }
}

void free_centroids(IvfCentroids* c) {
  sqlite3_free(c->data);
  c->data = nullptr;
  sqlite3_free(c->codesMap);
  c->codesMap = nullptr;
  sqlite3_free(c->centroidCodes);
  c->centroidCodes = nullptr;
  ivf_nearest_free(&c->nearest);
}

}  // namespace

int jix0_ivf_current(jix0_vtab* p, const IvfCentroids** out) {
  if (!p->indexCache) {
    p->indexCache = malloc_zeroed<IndexCache>();
    if (!p->indexCache) return SQLITE_NOMEM;
  }
  IvfCentroids* c = &p->indexCache->ivf;
  sqlite3_int64 build = 0;
  int rc = read_build_id(p, c, &build);
  if (rc != SQLITE_OK) return rc;
  *out = c;
  if (build != c->build) {
    free_centroids(c);
    c->lists = 0;
    c->build = 0;
    c->probes = 0;
    if (build != 0) {
      rc = read_kept_probes(p, &c->probes);
      if (rc == SQLITE_OK) rc = load_centroids(p, c, build);
      if (rc == SQLITE_OK) rc = jix0_ivf_codes_load(p, c);
      if (rc == SQLITE_OK) encode_centroids(c);
      if (rc != SQLITE_OK) c->build = 0;
    }
  }
  // Every write and search reads the build first: the chunks' parts follow it.
  p->codesSlotBytes = c->codesMap && rc == SQLITE_OK ? c->dimensions : 0;
  return rc;
}

int jix0_ivf_assign(jix0_vtab* p, const void* vector, sqlite3_int64* outList) {
  const IvfCentroids* current;
  int rc = jix0_ivf_current(p, &current);
  if (rc != SQLITE_OK) return rc;
  *outList = JIX0_NO_LIST;
  if (current->lists == 0) return SQLITE_OK;
  *outList = ivf_nearest(&p->indexCache->ivf.nearest, (const float*)vector);
  return SQLITE_OK;
}

void jix0_ivf_list_distances(const jix0_vtab* p, const IvfCentroids* c, const void* query,
                             float* distances) {
  ivf_distances(jix0_ivf_column(p).distance_metric, (const float*)query, c->data,
                (size_t)c->dimensions, (size_t)c->lists, distances);
}

int jix0_ivf_exact_lists(int probes, int lists) {
  // The codes misrank a centroid by little, so the true nearest lie among the first few by
  // code: twice the lists read, and at least eight more. With it every search read the lists
  // the exact order gives, on fashion-mnist (probes 2 to 16) and on 1,000 Gaussian clusters
  // (probes 1 to 4); bench/ivf_codes_bench.py --before.
  int exact = probes + (probes > 8 ? probes : 8);
  return exact < lists ? exact : lists;
}

int jix0_ivf_order_lists(const jix0_vtab* p, const IvfCentroids* c, const void* query, int probes,
                         int* order, float* distances) {
  for (int i = 0; i < c->lists; i++) order[i] = i;
  const int exact = jix0_ivf_exact_lists(probes, c->lists);
  if (!c->centroidCodes || exact >= c->lists) {
    jix0_ivf_list_distances(p, c, query, distances);
    return 0;
  }
  const DistanceMetric metric = jix0_ivf_column(p).distance_metric;
  const size_t d = (size_t)c->dimensions;
  int8_t* code = c->centroidCodes + (size_t)c->lists * d;
  jix0_ivf_encode(c, (const float*)query, code);
  kernel_lookup(metric, JIX_ELEMENT_INT8)
      ->batch(code, c->centroidCodes, d, (size_t)c->lists, nullptr, distances);
  IvfListNearer nearer{distances};
  std::nth_element(order, order + exact, order + c->lists, nearer);
  for (int i = 0; i < exact; i++) {
    ivf_distances(metric, (const float*)query, c->data + (size_t)order[i] * d, d, 1,
                  distances + order[i]);
  }
  std::sort(order, order + exact, nearer);
  return exact;
}

int jix0_ivf_read_probes(jix0_vtab* p, sqlite3_value* const* values, int count,
                         sqlite3_int64* outProbes) {
  *outProbes = 0;
  for (int i = 0; i < count; i++) {
    sqlite3_int64 value = sqlite3_value_int64(values[i]);
    if (i == 0) {
      *outProbes = value;
    } else if (value != *outProbes) {
      vtab_set_error(&p->base,
                     "A jix0 KNN query takes a single probes value, but probes = %lld and probes "
                     "= %lld were given",
                     *outProbes, value);
      return SQLITE_ERROR;
    }
  }
  if (count > 0 && *outProbes < 1) {
    vtab_set_error(&p->base,
                   "probes value in knn queries must be a positive integer, provided %lld",
                   *outProbes);
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

void jix0_ivf_release_statements(jix0_vtab* p) {
  if (!p->indexCache) return;
  sqlite3_finalize(p->indexCache->ivf.stmtBuild);
  p->indexCache->ivf.stmtBuild = nullptr;
  sqlite3_finalize(p->indexCache->ivf.stmtCodes);
  p->indexCache->ivf.stmtCodes = nullptr;
}

void jix0_ivf_cache_free(jix0_vtab* p) {
  p->codesSlotBytes = 0;
  if (!p->indexCache) return;
  jix0_ivf_release_statements(p);
  free_centroids(&p->indexCache->ivf);
  sqlite3_free(p->indexCache);
  p->indexCache = nullptr;
}
