// The resident chunk cache: the connection's budget and each table's cached chunks.
#include "jix0/storage/chunk_cache.h"

#include <cstring>

#include "base/handles.h"

// A table's cached chunks, sorted by (vector column, chunk id) for lookup by binary search.
struct ChunkCacheTable {
  ChunkCacheTable* prev;
  ChunkCacheTable* next;
  CachedChunk** entries;
  int count;
  int capacity;
  unsigned int dataVersion;  // of the table's database when the entries were read
};

struct ChunkCacheBudget {
  sqlite3_int64 limit;
  sqlite3_int64 used;
  int refs;
  ChunkCacheTable* tables;  // every table with a cache, so a smaller budget can empty them
};

ChunkCacheBudget* chunk_cache_budget_new() {
  ChunkCacheBudget* budget = malloc_zeroed<ChunkCacheBudget>();
  if (budget) budget->refs = 1;
  return budget;
}

void chunk_cache_budget_ref(ChunkCacheBudget* budget) {
  budget->refs++;
}

void chunk_cache_budget_unref(void* pointer) {
  ChunkCacheBudget* budget = (ChunkCacheBudget*)pointer;
  // Tables hold a reference each, so none is left when the last one goes.
  if (budget && --budget->refs == 0) sqlite3_free(budget);
}

static void clear_table(ChunkCacheBudget* budget, ChunkCacheTable* table) {
  for (int i = 0; i < table->count; i++) {
    budget->used -= table->entries[i]->bytes;
    sqlite3_free(table->entries[i]);
  }
  table->count = 0;
}

void jix_cache_size(sqlite3_context* context, int, sqlite3_value** argv) {
  ChunkCacheBudget* budget = (ChunkCacheBudget*)sqlite3_user_data(context);
  sqlite3_int64 previous = budget->limit;
  sqlite3_int64 wanted = sqlite3_value_int64(argv[0]);
  if (wanted >= 0) {
    budget->limit = wanted;
    // Nothing is evicted chunk by chunk: a budget below what is held starts over.
    if (budget->used > wanted) {
      for (ChunkCacheTable* t = budget->tables; t; t = t->next) clear_table(budget, t);
    }
  }
  sqlite3_result_int64(context, previous);
}

void chunk_cache_attach(jix0_vtab* p, void* budget) {
  p->cacheBudget = (ChunkCacheBudget*)budget;
  if (p->cacheBudget) chunk_cache_budget_ref(p->cacheBudget);
}

void chunk_cache_clear(jix0_vtab* p) {
  if (p->cacheTable) clear_table(p->cacheBudget, p->cacheTable);
}

void chunk_cache_detach(jix0_vtab* p) {
  ChunkCacheBudget* budget = p->cacheBudget;
  ChunkCacheTable* table = p->cacheTable;
  if (table) {
    clear_table(budget, table);
    if (table->prev) {
      table->prev->next = table->next;
    } else {
      budget->tables = table->next;
    }
    if (table->next) table->next->prev = table->prev;
    sqlite3_free(table->entries);
    sqlite3_free(table);
    p->cacheTable = nullptr;
  }
  p->cacheBudget = nullptr;
  chunk_cache_budget_unref(budget);
}

void chunk_cache_written(jix0_vtab* p) {
  p->cacheWritten = 1;
  chunk_cache_clear(p);
}

void chunk_cache_transaction_end(jix0_vtab* p, bool rolledBack) {
  p->cacheWritten = 0;
  if (rolledBack) chunk_cache_clear(p);
}

// The table's cache, made on first use.
static ChunkCacheTable* table_cache(jix0_vtab* p, unsigned int dataVersion) {
  if (p->cacheTable) return p->cacheTable;
  ChunkCacheTable* table = malloc_zeroed<ChunkCacheTable>();
  if (!table) return nullptr;
  table->dataVersion = dataVersion;
  table->next = p->cacheBudget->tables;
  if (table->next) table->next->prev = table;
  p->cacheBudget->tables = table;
  p->cacheTable = table;
  return table;
}

bool chunk_cache_begin_scan(jix0_vtab* p) {
  if (!p->cacheBudget || p->cacheBudget->limit <= 0 || p->cacheWritten) return false;
  unsigned int dataVersion = 0;
  if (sqlite3_file_control(p->db, p->schemaName, SQLITE_FCNTL_DATA_VERSION, &dataVersion) !=
      SQLITE_OK) {
    return false;
  }
  ChunkCacheTable* table = table_cache(p, dataVersion);
  if (!table) return false;
  if (table->dataVersion != dataVersion) {
    clear_table(p->cacheBudget, table);
    table->dataVersion = dataVersion;
  }
  return true;
}

static bool entry_before(const CachedChunk* e, int vectorIdx, sqlite3_int64 chunkId) {
  return e->vectorIdx < vectorIdx || (e->vectorIdx == vectorIdx && e->chunkId < chunkId);
}

// The index of the first entry not before (vectorIdx, chunkId).
static int lower_bound(const ChunkCacheTable* table, int vectorIdx, sqlite3_int64 chunkId) {
  int lo = 0, hi = table->count;
  while (lo < hi) {
    int mid = lo + (hi - lo) / 2;
    if (entry_before(table->entries[mid], vectorIdx, chunkId)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

const CachedChunk* chunk_cache_find(const jix0_vtab* p, int vectorIdx, sqlite3_int64 chunkId) {
  const ChunkCacheTable* table = p->cacheTable;
  if (!table) return nullptr;
  int i = lower_bound(table, vectorIdx, chunkId);
  if (i == table->count) return nullptr;
  const CachedChunk* e = table->entries[i];
  return e->vectorIdx == vectorIdx && e->chunkId == chunkId ? e : nullptr;
}

CachedChunk* chunk_cache_reserve(jix0_vtab* p, int vectorIdx, sqlite3_int64 chunkId,
                                 sqlite3_int64 vectorBytes) {
  ChunkCacheBudget* budget = p->cacheBudget;
  if (!budget || !p->cacheTable) return nullptr;
  sqlite3_int64 rowidBytes = (sqlite3_int64)p->chunk_size * 8;
  sqlite3_int64 bytes =
      (sqlite3_int64)sizeof(CachedChunk) + rowidBytes + (sqlite3_int64)p->chunk_size * vectorBytes;
  if (budget->used + bytes > budget->limit) return nullptr;
  CachedChunk* chunk = (CachedChunk*)sqlite3_malloc64((sqlite3_uint64)bytes);
  if (!chunk) return nullptr;  // the scan reads this chunk through BLOBs instead
  chunk->chunkId = chunkId;
  chunk->vectorIdx = vectorIdx;
  chunk->bytes = bytes;
  chunk->rowids = (sqlite3_int64*)(chunk + 1);
  chunk->vectors = (uint8_t*)(chunk->rowids + p->chunk_size);
  budget->used += bytes;
  return chunk;
}

void chunk_cache_discard(jix0_vtab* p, CachedChunk* chunk) {
  p->cacheBudget->used -= chunk->bytes;
  sqlite3_free(chunk);
}

bool chunk_cache_add(jix0_vtab* p, CachedChunk* chunk) {
  ChunkCacheTable* table = p->cacheTable;
  if (table->count == table->capacity) {
    int capacity = table->capacity * 2 + 16;
    auto* grown = (CachedChunk**)sqlite3_realloc64(table->entries,
                                                   (sqlite3_uint64)capacity * sizeof(CachedChunk*));
    if (!grown) {
      chunk_cache_discard(p, chunk);
      return false;
    }
    table->entries = grown;
    table->capacity = capacity;
  }
  int i = lower_bound(table, chunk->vectorIdx, chunk->chunkId);
  memmove(&table->entries[i + 1], &table->entries[i],
          (size_t)(table->count - i) * sizeof(CachedChunk*));
  table->entries[i] = chunk;
  table->count++;
  return true;
}
