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
//   '#' ___   the lists an IVF search scans, from `probes = ?` (one block per such constraint)
//
// Operator codes of ']' and '&': 'a' =, 'b' >, 'c' <=, 'd' <, 'e' >=, 'f' !=, 'g' IN.
// Operator codes of '*': 'a' >, 'b' >=, 'c' <, 'd' <=.
// KNN blocks come in the order '{', every '}', '+', '[', every ']', every '&', every '*',
// every '#'.
// A KNN plan claims `ORDER BY distance` (ascending) as its own order.
// idxNum: the vector column index of a KNN plan; the low 32 bits of colUsed of a point plan.
#pragma once

#include "base/sqlite.h"

constexpr char JIX0_PLAN_FULLSCAN = '1';
constexpr char JIX0_PLAN_POINT = '2';
constexpr char JIX0_PLAN_KNN = '3';

constexpr char JIX0_BLOCK_POINT_ID = '!';
constexpr char JIX0_BLOCK_QUERY = '{';
constexpr char JIX0_BLOCK_K = '}';
constexpr char JIX0_BLOCK_OFFSET = '+';
constexpr char JIX0_BLOCK_ROWID_IN = '[';
constexpr char JIX0_BLOCK_PARTITION = ']';
constexpr char JIX0_BLOCK_METADATA = '&';
constexpr char JIX0_BLOCK_DISTANCE = '*';
constexpr char JIX0_BLOCK_PROBES = '#';

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
