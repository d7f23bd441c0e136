// The resident chunk cache: decoded chunks (one vector column's vectors and the rowid array)
// kept in memory between queries, so that a scan reads them where they lie instead of copying
// them out of SQLite's pages each time.
//
// The budget (jix_cache_size) belongs to the connection and is shared by all its jix0
// tables; each table object keeps its own chunks and frees them with itself. Chunks enter in
// the order scans meet them while the budget lasts, and stay until the table's cache is
// emptied: nothing is evicted, so a table larger than the budget keeps a stable part in
// memory and reads the rest through BLOBs.
//
// Coherence rests on three simple rules:
//   - a table written by this connection (any xUpdate, commands included) empties its cache
//     and does not use it until its transaction ends (xCommit or xRollback), so no statement
//     or savepoint rollback can leave a chunk behind that the database no longer holds;
//   - a change of the database file's data version (any commit, by this connection or any
//     other, VACUUM included) empties the cache of every table in that file at its next scan;
//   - rename, drop and disconnect (DETACH, schema reload, close) empty or free it.
#pragma once

#include <cstdint>

#include "jix0/table/table.h"

// The connection's budget, shared by the jix0 module and jix_cache_size.
struct ChunkCacheBudget;

// One cached chunk of one vector column. Both arrays point into the same allocation.
struct CachedChunk {
  sqlite3_int64 chunkId;
  int vectorIdx;
  sqlite3_int64 bytes;    // charged to the budget
  sqlite3_int64* rowids;  // chunk_size entries
  uint8_t* vectors;       // chunk_size vectors, back to back
};

// A new budget of 0 bytes (off) with one reference, or null when out of memory.
ChunkCacheBudget* chunk_cache_budget_new();
// Drops a reference; the last one frees the budget. Signature of a destructor of SQLite's.
void chunk_cache_budget_unref(void* budget);
void chunk_cache_budget_ref(ChunkCacheBudget* budget);

// SQL: jix_cache_size(N) sets the connection's budget in bytes (N >= 0) and returns the
// previous one; a negative N only returns it. User data: the ChunkCacheBudget.
void jix_cache_size(sqlite3_context* context, int argc, sqlite3_value** argv);

// Ties a new table object to the connection's budget (pAux of the module; may be null).
void chunk_cache_attach(jix0_vtab* p, void* budget);
// Frees the table's chunks and unties it from the budget; at release.
void chunk_cache_detach(jix0_vtab* p);
// Empties the table's cache.
void chunk_cache_clear(jix0_vtab* p);
// A write of this connection to the table: empties its cache and keeps it off until the
// transaction ends.
void chunk_cache_written(jix0_vtab* p);
// The table's transaction ended (committed or rolled back); rolled back also empties it.
void chunk_cache_transaction_end(jix0_vtab* p, bool rolledBack);

// Whether a scan may use the table's cache: on, the table not written in the open
// transaction, and the data version readable. Empties the cache when the data version moved
// since it was filled. REQUIRES: the scan's read transaction is open (a chunk statement has
// returned a row), so the data version is that of the data the scan sees.
bool chunk_cache_begin_scan(jix0_vtab* p);
// The cached chunk, or null.
const CachedChunk* chunk_cache_find(const jix0_vtab* p, int vectorIdx, sqlite3_int64 chunkId);
// A new, unfilled entry charged to the budget, or null when it does not fit or memory is
// short. The caller fills it, then either adds it (chunk_cache_add) or discards it.
CachedChunk* chunk_cache_reserve(jix0_vtab* p, int vectorIdx, sqlite3_int64 chunkId,
                                 sqlite3_int64 vectorBytes);
// Adds a filled entry; false (the entry discarded) when the index cannot grow.
bool chunk_cache_add(jix0_vtab* p, CachedChunk* chunk);
void chunk_cache_discard(jix0_vtab* p, CachedChunk* chunk);
