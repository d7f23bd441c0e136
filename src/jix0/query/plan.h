// jix0 query planning (xBestIndex) and the plan string it hands to xFilter.
//
// Plan string (idxStr): character 0 names the plan ('1' full scan, '2' point lookup, '3' KNN),
// then one 4-character block per xFilter argument, in argument order, so that
// argc == (strlen(idxStr) - 1) / 4. A block's first character is its tag:
//
//   '!' ___   the row identifier of a point lookup
//   '{' ___   the KNN query vector (right-hand side of MATCH)
//   '}' ___   k, from `k = ?` (one block per such constraint) or the LIMIT value
//   '+' ___   the OFFSET beside a LIMIT standing for k: the search returns LIMIT + OFFSET rows
//   '[' ___   the IN list of `rowid IN (...)`, handed over whole
//   ']' Lo_   a partition-key comparison: L = 'A' + partition index, o = operator code ('g': IN)
//   '&' Lo_   a metadata comparison: L = 'A' + metadata index, o = operator code ('g': IN list)
//   '*' o__   a distance bound, with its own operator codes
//   '#' ___   an argument of the index's hidden column (`probes = ?`), one block per such
//             constraint
//
// Operator codes of ']' and '&': 'a' =, 'b' >, 'c' <=, 'd' <, 'e' >=, 'f' !=, 'g' IN.
// Operator codes of '*': 'a' >, 'b' >=, 'c' <, 'd' <=.
// KNN blocks come in the order '{', every '}', '+', '[', every ']', every '&', every '*',
// every '#'.
// A KNN plan claims `ORDER BY distance` (ascending) as its own order.
// idxNum: the vector column index of a KNN plan; the low 32 bits of colUsed of a point plan.
#pragma once

#include "base/handles.h"
#include "jix0/table/table.h"

constexpr char JIX0_PLAN_FULLSCAN = '1';
constexpr char JIX0_PLAN_POINT = '2';
constexpr char JIX0_PLAN_KNN = '3';

constexpr char JIX0_BLOCK_POINT_ID = '!';
constexpr char JIX0_BLOCK_QUERY = '{';
constexpr char JIX0_BLOCK_K = '}';
constexpr char JIX0_BLOCK_OFFSET = '+';
constexpr char JIX0_BLOCK_ROWID_IN = '[';
// One key, `rowid = ?` or `id = ?` (SQLite turns a one-value IN list into it).
constexpr char JIX0_BLOCK_ROWID_EQ = '=';
constexpr char JIX0_BLOCK_PARTITION = ']';
constexpr char JIX0_BLOCK_METADATA = '&';
constexpr char JIX0_BLOCK_DISTANCE = '*';
constexpr char JIX0_BLOCK_INDEX_ARG = '#';

constexpr char JIX0_OP_EQ = 'a';
constexpr char JIX0_OP_GT = 'b';
constexpr char JIX0_OP_LE = 'c';
constexpr char JIX0_OP_LT = 'd';
constexpr char JIX0_OP_GE = 'e';
constexpr char JIX0_OP_NE = 'f';
constexpr char JIX0_OP_IN = 'g';

constexpr char JIX0_DISTANCE_OP_GT = 'a';
constexpr char JIX0_DISTANCE_OP_GE = 'b';
constexpr char JIX0_DISTANCE_OP_LT = 'c';
constexpr char JIX0_DISTANCE_OP_LE = 'd';

int jix0BestIndex(sqlite3_vtab* pVtab, sqlite3_index_info* info);

// One constraint block of the plan string: its xFilter argument, the partition or metadata
// column it names (0 for the others) and its operator character.
struct KnnFilter {
  int arg;
  int column;
  char op;
};

struct KnnFilterRange {
  const KnnFilter* first;
  int count;
  const KnnFilter* begin() const { return first; }
  const KnnFilter* end() const { return first + count; }
  bool empty() const { return count == 0; }
};

// The plan string of a KNN query, decoded once: where the query vector, k, the OFFSET and
// the rowid list are among the arguments, and the partition, metadata, distance and extra k
// blocks, each group in plan order.
struct KnnPlan {
  int queryArg = -1;
  int kArg = -1;
  int offsetArg = -1;
  int rowidInArg = -1;
  int rowidEqArg = -1;
  // partitions, then metadata, then distances, then extra k, then index arguments
  SqlitePtr<KnnFilter> filters;
  int numPartitions = 0;
  int numMetadata = 0;
  int numDistances = 0;
  int numExtraK = 0;
  int numIndexArgs = 0;

  KnnFilterRange partitions() const { return {filters.get(), numPartitions}; }
  KnnFilterRange metadata() const { return {filters.get() + numPartitions, numMetadata}; }
  KnnFilterRange distances() const {
    return {filters.get() + numPartitions + numMetadata, numDistances};
  }
  KnnFilterRange extraK() const {
    return {filters.get() + numPartitions + numMetadata + numDistances, numExtraK};
  }
  // The arguments of the index's hidden column; the index reads their value.
  KnnFilterRange indexArgs() const {
    return {filters.get() + numPartitions + numMetadata + numDistances + numExtraK, numIndexArgs};
  }
};

// Decodes a KNN plan string of argc blocks. REQUIRES: idxStr is a KNN plan string the
// encoder made, with argc blocks.
[[nodiscard]] int jix0_decode_knn_plan(const jix0_vtab* p, const char* idxStr, int argc,
                                       KnnPlan* plan);
