// jix0_vtab: the table object SQLite holds for each jix0 table a connection uses, and the
// mapping between declared column numbers and column definitions.
//
// Declared columns: 0 the id (rowid, or the primary key's name), 1..n the user columns in
// declaration order, n + 1 the hidden `distance`, n + 2 the hidden `k`, and n + 3 the hidden
// command column named after the table, unless another column already has that name. A table
// declared with an index then has the index's hidden column (jix0/index/index.h), unless a
// column is named so; a table given its index by build-index keeps the columns of its
// declaration.
#pragma once

#include "base/sqlite.h"
#include "jix0/declaration/declaration.h"
#include "kernels/kernels.h"

constexpr int JIX0_MAX_VECTOR_COLUMNS = 16;
constexpr int JIX0_MAX_PARTITION_COLUMNS = 4;
constexpr int JIX0_MAX_AUXILIARY_COLUMNS = 16;
constexpr int JIX0_MAX_METADATA_COLUMNS = 16;
constexpr int JIX0_MAX_USER_COLUMNS = JIX0_MAX_VECTOR_COLUMNS + JIX0_MAX_PARTITION_COLUMNS +
                                      JIX0_MAX_AUXILIARY_COLUMNS + JIX0_MAX_METADATA_COLUMNS;
constexpr int JIX0_MAX_DIMENSIONS = 8192;
// Every stored vector goes through the batch kernels, whose int8 sums have a size limit.
static_assert((size_t)JIX0_MAX_DIMENSIONS <= kKernelMaxInt8Dimensions,
              "the dimension limit lets the int8 kernels' sums wrap");
constexpr int JIX0_DEFAULT_CHUNK_SIZE = 1024;
constexpr int JIX0_MAX_CHUNK_SIZE = 4096;
constexpr int JIX0_MAX_K = 4096;

enum ColumnKind : int {
  JIX0_COLUMN_VECTOR = 1,
  JIX0_COLUMN_PARTITION = 2,
  JIX0_COLUMN_AUXILIARY = 3,
  JIX0_COLUMN_METADATA = 4,
};

// The statements a table keeps prepared, one slot each. The per-column ones take a block of
// slots, one per possible column, at the named start.
enum Jix0Stmt : int {
  JIX0_STMT_LATEST_CHUNK,
  JIX0_STMT_INSERT_CHUNK,
  JIX0_STMT_DELETE_CHUNK,
  JIX0_STMT_ROWIDS_INSERT_ROWID,
  JIX0_STMT_ROWIDS_INSERT_ID,
  JIX0_STMT_ROWIDS_UPDATE_POSITION,
  JIX0_STMT_ROWIDS_GET_CHUNK_POSITION,
  JIX0_STMT_DELETE_ROWID,
  JIX0_STMT_INSERT_AUXILIARY,
  JIX0_STMT_DELETE_AUXILIARY,
  JIX0_STMT_INSERT_VECTOR_CHUNK,
  JIX0_STMT_DELETE_VECTOR_CHUNK = JIX0_STMT_INSERT_VECTOR_CHUNK + JIX0_MAX_VECTOR_COLUMNS,
  JIX0_STMT_INSERT_METADATA_CHUNK = JIX0_STMT_DELETE_VECTOR_CHUNK + JIX0_MAX_VECTOR_COLUMNS,
  JIX0_STMT_DELETE_METADATA_CHUNK = JIX0_STMT_INSERT_METADATA_CHUNK + JIX0_MAX_METADATA_COLUMNS,
  JIX0_STMT_INSERT_METADATA_TEXT = JIX0_STMT_DELETE_METADATA_CHUNK + JIX0_MAX_METADATA_COLUMNS,
  JIX0_STMT_INSERT_CODES = JIX0_STMT_INSERT_METADATA_TEXT + JIX0_MAX_METADATA_COLUMNS,
  JIX0_STMT_DELETE_CODES,
  JIX0_STMT_COUNT,
};

// What the table's index keeps between uses (jix0/index/).
struct IndexCache;

// The remembered newest chunk of each list (jix0/storage/chunk.h).
struct NewestChunks;

// The resident chunk cache (jix0/storage/chunk_cache.h).
struct ChunkCacheBudget;
struct ChunkCacheTable;

// Lives in sqlite3_malloc'd memory between xCreate/xConnect and xDisconnect/xDestroy, so it
// holds raw handles only; jix0_free releases them.
struct jix0_vtab {
  sqlite3_vtab base;  // must be first: SQLite hands us sqlite3_vtab*
  sqlite3* db;        // not owned
  int pkIsText;
  int numVectorColumns;
  int numPartitionColumns;
  int numAuxiliaryColumns;
  int numMetadataColumns;
  char* schemaName;
  char* tableName;
  char* shadowRowidsName;
  char* shadowChunksName;
  int user_column_kinds[JIX0_MAX_USER_COLUMNS];
  unsigned char user_column_idxs[JIX0_MAX_USER_COLUMNS];
  char* shadowVectorChunksNames[JIX0_MAX_VECTOR_COLUMNS];
  char* shadowMetadataChunksNames[JIX0_MAX_METADATA_COLUMNS];
  VectorColumnDefinition vector_columns[JIX0_MAX_VECTOR_COLUMNS];
  PartitionColumnDefinition partition_columns[JIX0_MAX_PARTITION_COLUMNS];
  AuxiliaryColumnDefinition auxiliary_columns[JIX0_MAX_AUXILIARY_COLUMNS];
  MetadataColumnDefinition metadata_columns[JIX0_MAX_METADATA_COLUMNS];
  int chunk_size;
  // Statements kept prepared between uses, indexed by Jix0Stmt; jix0/storage/ prepares them
  // on first use and finalizes them all together.
  sqlite3_stmt* stmts[JIX0_STMT_COUNT];
  // The chunks statement of the last KNN search and its text: the next search with the same
  // filters and batch shape binds it again instead of preparing it.
  sqlite3_stmt* knnChunksStmt;
  char* knnChunksSql;
  // The row reader's partition and auxiliary statements, handed back by the last cursor that
  // closed, so that each query does not prepare them again.
  sqlite3_stmt* readerPartitionStmts[JIX0_MAX_PARTITION_COLUMNS];
  sqlite3_stmt* readerAuxiliaryStmts[JIX0_MAX_AUXILIARY_COLUMNS];
  // 1 when the table declares the hidden command column (INSERT INTO t(t) VALUES (...)).
  int hasCommandColumn;
  // The index (jix0/index/index.h): whether there is one and the vector column it is on,
  // whether its hidden column is declared, its shadow table, and what it keeps between uses.
  int hasIndex;
  int indexVectorIdx;
  int hasIndexColumn;
  char* shadowIndexName;
  struct IndexCache* indexCache;
  // The codes part (jix0/storage/chunk.h): bytes of one slot's code, 0 while the index's
  // current build keeps no codes (set by the index each time it reads its build), and the
  // table that holds them, named whenever the table has an index.
  int codesSlotBytes;
  char* shadowCodesName;
  // The connection's list of its jix0 tables (null when the module was registered without
  // one), through which jix_index_info finds a table by name.
  struct Jix0Tables* tables;
  jix0_vtab* nextTable;
  // The resident chunk cache: the connection's budget (a reference), this table's chunks
  // (made on first use), and 1 while the open transaction has written the table.
  struct ChunkCacheBudget* cacheBudget;
  struct ChunkCacheTable* cacheTable;
  int cacheWritten;
  // The newest chunk of each list, remembered between inserts; null until first needed.
  struct NewestChunks* newestChunks;
};

inline int jix0_num_defined_user_columns(const jix0_vtab* p) {
  return p->numVectorColumns + p->numPartitionColumns + p->numAuxiliaryColumns +
         p->numMetadataColumns;
}
inline int jix0_column_distance_idx(const jix0_vtab* p) {
  return jix0_num_defined_user_columns(p) + 1;
}
inline int jix0_column_k_idx(const jix0_vtab* p) {
  return jix0_num_defined_user_columns(p) + 2;
}
// -1 when the table has no command column.
inline int jix0_column_command_idx(const jix0_vtab* p) {
  return p->hasCommandColumn ? jix0_num_defined_user_columns(p) + 3 : -1;
}

// The index's hidden column; -1 when the table has none.
inline int jix0_column_index_hidden_idx(const jix0_vtab* p) {
  return p->hasIndexColumn ? jix0_num_defined_user_columns(p) + 3 + p->hasCommandColumn : -1;
}
inline bool jix0_has_index(const jix0_vtab* p) {
  return p->hasIndex != 0;
}

inline int jix0_column_idx_is_kind(const jix0_vtab* p, int i, ColumnKind kind) {
  return i >= 1 && i <= jix0_num_defined_user_columns(p) && p->user_column_kinds[i - 1] == kind;
}
inline int jix0_column_idx_is_vector(const jix0_vtab* p, int i) {
  return jix0_column_idx_is_kind(p, i, JIX0_COLUMN_VECTOR);
}
inline int jix0_column_idx_is_partition(const jix0_vtab* p, int i) {
  return jix0_column_idx_is_kind(p, i, JIX0_COLUMN_PARTITION);
}
inline int jix0_column_idx_is_auxiliary(const jix0_vtab* p, int i) {
  return jix0_column_idx_is_kind(p, i, JIX0_COLUMN_AUXILIARY);
}
inline int jix0_column_idx_is_metadata(const jix0_vtab* p, int i) {
  return jix0_column_idx_is_kind(p, i, JIX0_COLUMN_METADATA);
}
// REQUIRES: the matching jix0_column_idx_is_* test succeeded.
inline int jix0_column_idx_to_vector_idx(const jix0_vtab* p, int i) {
  return p->user_column_idxs[i - 1];
}
inline int jix0_column_idx_to_partition_idx(const jix0_vtab* p, int i) {
  return p->user_column_idxs[i - 1];
}
inline int jix0_column_idx_to_auxiliary_idx(const jix0_vtab* p, int i) {
  return p->user_column_idxs[i - 1];
}
inline int jix0_column_idx_to_metadata_idx(const jix0_vtab* p, int i) {
  return p->user_column_idxs[i - 1];
}
