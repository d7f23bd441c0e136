// The IVF index of a jix0 float32 vector column: centroids trained by k-means, every row
// kept in the chunks of its nearest centroid's list, and searches that scan the lists nearest
// the query (plus rows stored before the first build, which belong to no list).
#pragma once

#include <cmath>

#include "jix0/index/kmeans.h"
#include "jix0/table/table.h"

// The centroids of an IVF index's build as a table object last read them.
struct IvfCentroids {
  sqlite3_int64 build;  // the IVF_BUILD value they belong to; 0: never built
  int lists;            // 0 before the first build, or after a build of an empty table
  int dimensions;
  float* data;              // lists * dimensions, list by list
  IvfNearest nearest;       // assignment over data, with its scratch: an insert allocates none
  int probes;               // 'IVF_PROBES' kept by the build's options, 0 when none
  sqlite3_stmt* stmtBuild;  // reads IVF_BUILD; finalized with the table's other statements
  sqlite3_stmt* stmtCodes;  // finds IVF_CODES; likewise
  // Some chunk's list is a number between lists but no list (damage): searches then take
  // such chunks in every first batch, as they take chunks of no list. Checked at each load.
  bool strayLists;
  // The build's codes map (ivf_codes.h): the scale, then an offset per dimension; null when
  // the build keeps no codes.
  float* codesMap;
  // The centroids' codes by that map, list by list, then one row of scratch for the query's
  // code: a search that reads only some lists first ranks the centroids by these. Null
  // without a map, or when memory ran out (searches then measure every centroid in float32).
  int8_t* centroidCodes;
};

// Nearest first by distances, NaN last, ties to the lower list: a total order, so a partial
// sort gives the lists a full sort would.
struct IvfListNearer {
  const float* distances;
  bool operator()(int a, int b) const {
    const float* d = distances;
    bool an = std::isnan(d[a]), bn = std::isnan(d[b]);
    if (an != bn) return bn;
    if (!an && d[a] != d[b]) return d[a] < d[b];
    return a < b;
  }
};

// What a table's index keeps between uses: IVF, the one kind so far, keeps its centroids.
struct IndexCache {
  IvfCentroids ivf;
};

// Finalizes the IVF cache's statement (the centroids stay cached).
void jix0_ivf_release_statements(jix0_vtab* p);
// Frees the whole IVF cache.
void jix0_ivf_cache_free(jix0_vtab* p);

// The indexed vector column. REQUIRES: the table has an IVF index.
inline const VectorColumnDefinition& jix0_ivf_column(const jix0_vtab* p) {
  return p->vector_columns[p->indexVectorIdx];
}

// The centroids of the table's current build, read again only when IVF_BUILD changed since
// the last read (another connection's build, or a rolled-back one). *out stays owned by p
// and is valid until the next call. Messages are set on the table.
[[nodiscard]] int jix0_ivf_current(jix0_vtab* p, const IvfCentroids** out);

// The list of a vector of the indexed column: its nearest centroid by the column's metric,
// the lowest list on ties; JIX0_NO_LIST (-1) when the index is not built.
[[nodiscard]] int jix0_ivf_assign(jix0_vtab* p, const void* vector, sqlite3_int64* outList);

// The distance from query to every list's centroid, by the column's metric, into
// distances[0 .. lists). REQUIRES: c->lists > 0.
void jix0_ivf_list_distances(const jix0_vtab* p, const IvfCentroids* c, const void* query,
                             float* distances);

// Lists whose centroid distance a search reading `probes` of `lists` lists measures in
// float32 after ranking every centroid by its code: the rest keep the code's distance.
int jix0_ivf_exact_lists(int probes, int lists);

// Starts the list order of a search reading `probes` lists: fills order[0 .. lists) and
// distances[0 .. lists). With the centroids' codes, the jix0_ivf_exact_lists lists nearest
// by code distance lead order, sorted by exact distance (IvfListNearer), and their count is
// returned; the other lists keep their code distance, unsorted. Without codes (or when the
// exact lists would be all of them) every distance is exact, order is unsorted, and 0 is
// returned. REQUIRES: c->lists > 0, 0 < probes.
int jix0_ivf_order_lists(const jix0_vtab* p, const IvfCentroids* c, const void* query, int probes,
                         int* order, float* distances);

// The query's code jix0_ivf_order_lists made last, when it returned more than 0.
inline const int8_t* jix0_ivf_query_code(const IvfCentroids* c) {
  return c->centroidCodes + (size_t)c->lists * (size_t)c->dimensions;
}

// Lists searched when a query gives no `probes`: the probes kept by build-index options, else
// the declared probes, else 8, or one list in
// 128 when there are more than 1,024. On clustered data 8 lists already find the exact top 10
// (fashion-mnist: 0.99 of it at 234 lists; 1,000 Gaussian clusters: all of it at 1,000
// lists); a larger share only slows the query.
int jix0_ivf_default_probes(const jix0_vtab* p, int lists);

// The `probes = ?` values of a query (count of them), checked to be one positive value;
// *outProbes is 0 when count is 0. Sets the message on failure.
[[nodiscard]] int jix0_ivf_read_probes(jix0_vtab* p, sqlite3_value* const* values, int count,
                                       sqlite3_int64* outProbes);

// The number of lists a build makes for n rows: lists when positive, else
// min(round(sqrt(n)), n / (4 * min(chunk_size, 64))), at least 1; never more than n.
int jix0_ivf_lists_for(const jix0_vtab* p, sqlite3_int64 n, int lists);

// 'build-index': trains the centroids of `lists` lists (0: chosen from the row count) on a
// sample of the rows and moves every row into the chunks of its (partition, list), packed
// densely. Everything the move reads is checked before the first write, so damage is
// reported with nothing changed.
[[nodiscard]] int jix0_ivf_build(jix0_vtab* p, int lists);

// After an UPDATE that gave the indexed column a new vector: moves the row to the newest
// chunk of its new list when that differs from its chunk's list.
[[nodiscard]] int jix0_ivf_after_vector_update(jix0_vtab* p, sqlite3_int64 rowid,
                                               sqlite3_int64 chunkId, sqlite3_int64 chunkOffset,
                                               const void* vector);
