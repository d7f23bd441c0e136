// The index seam: what an index kind provides to a jix0 table, and the one place the rest of
// jix0 reaches it through. A table has at most one index, on one vector column. An index kind
// keeps that column's rows in chunks of groups of its own (IVF: lists, recorded in the chunks
// table's `list` column) and provides:
//   - its declaration options, read by the declaration onto the column's definition;
//   - the build, 'build-index';
//   - the group of a row on insert, and the row's move after an UPDATE of its vector;
//   - the chunks a search reads, planned from the query and the index's own hidden columns
//     (IVF: `probes`);
//   - its cache of what it reads from storage (IVF: the centroids), and that cache's release.
// IVF (ivf.h) is the one kind so far; a new kind is a new file pair dispatched to here.
#pragma once

#include "base/handles.h"
#include "jix0/table/table.h"

// True when vector column vectorIdx carries the table's index.
inline bool jix0_index_on(const jix0_vtab* p, int vectorIdx) {
  return jix0_has_index(p) && vectorIdx == p->indexVectorIdx;
}

// True when the table offers 'build-index': it has an index, or a float32 vector column to
// put one on.
bool jix0_index_can_build(const jix0_vtab* p);

// 'build-index', with options "column=NAME lists=N probes=N" (each optional, separated by
// spaces). On a table without an index it turns one on, on the named column or the table's
// only float32 vector column. lists and probes override the declared ones for this build and
// are kept for the next. Sets the message on failure. REQUIRES: jix0_index_can_build(p).
[[nodiscard]] int jix0_index_build(jix0_vtab* p, const char* options);

// 'drop-index': every chunk back to no list, the centroids and the kept options deleted; the
// index stays on, unbuilt, so that the next build-index puts it back. The caller packs the
// chunks. REQUIRES: the table has an index.
[[nodiscard]] int jix0_index_drop(jix0_vtab* p);

// The state of a table's index, as jix_index_info reports it.
struct IndexState {
  int column;                  // the indexed vector column
  int lists;                   // 0 before the first build and after drop-index
  int probes;                  // lists a query without `probes` reads
  sqlite3_int64 rowsInLists;   // rows in the chunks of a list
  sqlite3_int64 rowsInNoList;  // rows stored before the first build: read by every query
  sqlite3_int64 rowsAtBuild;   // rows the last build placed, -1 when unknown
  sqlite3_int64 largestList;   // rows of the fullest and emptiest lists (0 without lists)
  sqlite3_int64 smallestList;
  SqlitePtr<char> builtAt;  // UTC 'YYYY-MM-DD HH:MM:SS' of the last build, null when unknown
};

// Reads the state of the table's index: counts every chunk's rows by list. Sets the message
// on failure. REQUIRES: the table has an index.
[[nodiscard]] int jix0_index_state(jix0_vtab* p, IndexState* out);

// At connect: turns the index on when T_info says a build-index turned it on for a table
// declared without one.
[[nodiscard]] int jix0_index_load_state(jix0_vtab* p);

// The group a row with this vector of the indexed column goes to; JIX0_NO_LIST (-1) without
// an index or before its first build.
[[nodiscard]] int jix0_index_assign(jix0_vtab* p, const void* vector, sqlite3_int64* outGroup);

// Finalizes the statements the index's cache holds (what it caches stays).
void jix0_index_release_statements(jix0_vtab* p);
// Frees the index's whole cache.
void jix0_index_cache_free(jix0_vtab* p);

// Declaration. The index options of one vector column: a known kind, valid for the column,
// at most one index per table, counts in range. SQLITE_ERROR with *outMessage
// (sqlite3_malloc'd) saying why when they are refused; SQLITE_NOMEM.
[[nodiscard]] int jix0_index_check_options(const jix0_vtab* p, const VectorColumnDefinition& v,
                                           char** outMessage);
// Declaration. Turns the index on for vector column vectorIdx when its definition (checked by
// jix0_index_check_options) declares one.
void jix0_index_declare(jix0_vtab* p, const VectorColumnDefinition& v, int vectorIdx);
// The name of the hidden column the index adds to the table's schema (IVF: "probes"), or null
// without an index.
const char* jix0_index_hidden_column(const jix0_vtab* p);
// The chunk size of a new table declared without chunk_size.
int jix0_index_default_chunk_size(const jix0_vtab* p);
// At create, for a table declared without chunk_size: keeps the chunk size the index chose.
[[nodiscard]] int jix0_index_record_chunk_size(jix0_vtab* p);
// At connect, for a table declared without chunk_size: the chunk size its create chose, into
// p->chunk_size. Sets *pzErr on failure.
[[nodiscard]] int jix0_index_stored_chunk_size(jix0_vtab* p, char** pzErr);

// The index's shadow table (IVF: the centroids) of table `table`, in the older form of its
// name when olderName. Null when memory runs out.
char* jix0_index_table_name(const char* table, bool olderName);
// The table of the index's codes (IVF: T_ivfcodes), made by the first build that keeps codes.
// Null when memory runs out.
char* jix0_index_codes_table_name(const char* table);
// At connect: whether the table's index table has the older form of its name (false without
// an index). A failed look-up sets *pzErr.
[[nodiscard]] int jix0_index_find_older_name(jix0_vtab* p, const char* table, bool* outOlder,
                                             char** pzErr);
// Whether the table has an index table of its own (IVF: the centroids), named in p.
inline bool jix0_index_has_table(const jix0_vtab* p) {
  return jix0_has_index(p);
}
// At create: makes the index table of a table declared with an index; nothing without one.
// On failure *pzErr says why.
[[nodiscard]] int jix0_index_create_table(jix0_vtab* p, char** pzErr);
// At drop: drops the index table, if the table has one and it exists.
[[nodiscard]] int jix0_index_drop_table(jix0_vtab* p);
// Whether the table's index table, as named in p, has the older form of its name.
bool jix0_index_has_older_name(const jix0_vtab* p);
// Whether suffix (after "T_") names an index table, in either form.
bool jix0_index_is_shadow_suffix(const char* suffix);

// The values of the index's hidden columns in one query, checked: IVF's `probes`, 0 when the
// query gives none.
struct IndexQueryArgs {
  sqlite3_int64 probes = 0;
};

// Reads the hidden columns' values (every `probes = ?` argument). Sets the message on
// failure.
[[nodiscard]] int jix0_index_read_args(jix0_vtab* p, sqlite3_value* const* values, int count,
                                       IndexQueryArgs* out);

// The chunks one search reads, batch by batch: the first batch takes the chunks of no group
// and of the groups nearest the query; when too few rows pass the filters there, Widen()
// moves to the next-nearest groups, twice as many each time. All() when the search reads
// every chunk at once: no index, or a first batch that covers every group.
class IndexChunkPlan {
 public:
  // Plans the search of vector column vectorIdx for query. Without an index on it, All().
  [[nodiscard]] int Start(jix0_vtab* p, int vectorIdx, const void* query,
                          const IndexQueryArgs& args);
  bool All() const { return groups_ == 0 || (begin_ == 0 && end_ >= groups_); }
  bool Done() const { return end_ >= groups_; }
  // The WHERE term on the chunks table selecting the current batch, or null when memory
  // runs out: one parameter per group, so that searches of one batch size share its text.
  // REQUIRES: !All().
  SqlitePtr<char> Clause() const;
  // Binds the batch's groups to the clause's parameters, from number first on.
  [[nodiscard]] int BindClause(sqlite3_stmt* stmt, int first) const;
  void Widen();
  // The query's code when Start() made it (to rank the groups), valid until the table's
  // next search starts; null otherwise.
  const void* QueryCode() const { return code_; }

 private:
  // Orders order_[begin_ .. end_) by (distance, group): only the groups a batch takes are
  // sorted, since most searches never widen.
  void OrderBatch();

  int groups_ = 0;
  int begin_ = 0, end_ = 0;     // the batch: order_[begin_ .. end_)
  SqlitePtr<int> order_;        // groups nearest the query first, up to end_
  SqlitePtr<float> distances_;  // each group's distance to the query
  // order_[0 .. sorted_) is ordered at the start, by exact distance; the groups after it
  // carry an approximate one (the centroids' codes), 0 when every distance is exact.
  int sorted_ = 0;
  const void* code_ = nullptr;
  bool strays_ = false;  // chunks with a non-integer list exist (see IvfCentroids)
};

// The write side. The vector column the index is on, or -1 when the table has none.
inline int jix0_index_column(const jix0_vtab* p) {
  return jix0_has_index(p) ? p->indexVectorIdx : -1;
}

// Before a write: reads the index's current build (another connection's build-index may have
// changed it), which decides whether chunks have the codes part. Sets the message on failure.
[[nodiscard]] int jix0_index_refresh(jix0_vtab* p);
// The code of a vector of the indexed column, p->codesSlotBytes bytes into out, by the map
// of the current build (read first when not in hand). Sets the message on failure.
// REQUIRES: jix0_has_codes(p).
[[nodiscard]] int jix0_index_code(jix0_vtab* p, const void* vector, void* out);
// The same by the map already in hand. REQUIRES: a search planned with codes.
void jix0_index_encode(const jix0_vtab* p, const void* vector, void* out);

// After an UPDATE gave the indexed column a new vector: moves the row, keeping its rowid, to
// the newest chunk of its new group when that differs from its chunk's group.
[[nodiscard]] int jix0_index_after_vector_update(jix0_vtab* p, sqlite3_int64 rowid,
                                                 sqlite3_int64 chunkId, sqlite3_int64 chunkOffset,
                                                 const void* vector);
