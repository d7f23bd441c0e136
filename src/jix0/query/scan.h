// The chunk scan of a KNN search: its working state and the steps the helper-thread ring
// (scan_threads.cc) shares with the scan on the connection's thread.
#pragma once

#include <cstdint>
#include <memory>

#include "base/array.h"
#include "base/handles.h"
#include "base/threads.h"
#include "jix0/query/metadata_filter.h"
#include "jix0/query/plan.h"
#include "jix0/table/table.h"
#include "kernels/lookup.h"

inline int knn_compare_rowids(const void* a, const void* b) {
  sqlite3_int64 x = *(const sqlite3_int64*)a;
  sqlite3_int64 y = *(const sqlite3_int64*)b;
  return (x > y) - (x < y);
}

// A distance constraint, its value read once so that helper threads never touch a
// sqlite3_value.
struct DistanceBound {
  char op;
  bool isNull;  // a NULL bound is never satisfied, as in SQL
  float bound;
};

struct KnnScan;
#if JIX_HAVE_THREADS
struct ScanHelpers;
struct ScanHelpersFree {
  void operator()(ScanHelpers* h) const;
};
using ScanHelpersPtr = std::unique_ptr<ScanHelpers, ScanHelpersFree>;
#endif

// A metadata filter with the handles it keeps from chunk to chunk.
struct MetadataScan {
  jix0_metadata_filter filter;
  BlobPtr blob;          // on the column's "data", opened at the first chunk
  StmtPtr longTextStmt;  // long-text lookups, prepared on first use
};

// One search's working state: the buffers for one chunk, the BLOB handles moved from chunk
// to chunk, and the running top k. The top k survives from one chunk statement to the next,
// so a search may scan several sets of chunks in turn.
struct KnnScan {
  jix0_vtab* p = nullptr;
  const KnnPlan* plan = nullptr;
  sqlite3_value** argv = nullptr;
  const VectorColumnDefinition* column = nullptr;
  int vectorIdx = 0;
  const Array* rowidList = nullptr;  // sorted; null without a rowid IN list
  const void* query = nullptr;
  int k = 0;
  // Scans the codes part in place of the vectors: query is then the query's code, and k the
  // candidates kept for knn_rerank. cacheKey: the resident cache's key for what is scanned.
  bool codes = false;
  int cacheKey = 0;
  // With codes: the chunk ids in the order the scan met them. Ties in the re-rank go to the
  // row met first, as the scan of the vectors orders them.
  Array visited = {};

  int size = 0;  // slots per chunk
  int perChunk = 0;
  int pieceSlots = 0;
  sqlite3_int64 vectorBytes = 0;
  BatchKernel kernel = nullptr;  // the column's, from the kernel lookup
  size_t kernelDimensions = 0;

  SqlitePtr<sqlite3_int64> topRowids, mergeRowids;
  SqlitePtr<float> topDistances, mergeDistances;
  // Where each entry of the top k is stored, so that reading its cells needs no lookup.
  SqlitePtr<sqlite3_int64> topChunks, mergeChunks;
  SqlitePtr<int32_t> topSlots, mergeSlots;
  int topCount = 0;

  SqlitePtr<uint8_t> pieceVectors;
  SqlitePtr<float> chunkDistances;
  SqlitePtr<sqlite3_int64> chunkRowids;
  SqlitePtr<int32_t> chunkBest;
  SqlitePtr<uint8_t> candidates, filterBitmap;
  // One chunk's metadata BLOB; TEXT entries, 16 bytes a slot, are the largest.
  SqlitePtr<uint8_t> metadataData;
  SqlitePtr<MetadataScan> metadata;  // one per metadata filter, in plan order
  int numMetadata = 0;

  SqlitePtr<DistanceBound> bounds;
  int numBounds = 0;

  BlobPtr vectorsBlob, rowidsBlob;

  // The chunk in hand. rowids points at its rowids once read: into the cache, or into
  // chunkRowids.
  sqlite3_int64 chunkId = 0;
  const uint8_t* validity = nullptr;
  bool rowidsRead = false;
  const sqlite3_int64* rowids = nullptr;

  // The resident chunk cache: whether this chunk statement's scan uses it (decided at its
  // first row), and the chunk in hand's entry when it is cached.
  bool cacheChecked = false;
  bool useCache = false;
  const struct CachedChunk* cached = nullptr;

  // Helper threads: how many the connection allows (PRAGMA threads), and the vector bytes
  // computed on this thread so far, which decide when they start.
  int maxHelpers = 0;
  sqlite3_int64 bytesComputed = 0;
#if JIX_HAVE_THREADS
  // Last member: destroyed first, so its threads are joined before any buffer they use goes.
  ScanHelpersPtr helpers;
#endif

  KnnScan() = default;
  KnnScan(const KnnScan&) = delete;
  KnnScan& operator=(const KnnScan&) = delete;
  ~KnnScan() {
#if JIX_HAVE_THREADS
    helpers.reset();
#endif
    for (int i = 0; i < numMetadata; i++) metadata.get()[i].~MetadataScan();
    array_cleanup(&visited);
  }
};

// Sizes the buffers for the table's chunk size and k, and sets up one handle slot per
// metadata filter. inLists holds the gathered IN lists (may be empty).
[[nodiscard]] int knn_scan_init(KnnScan* s, const Array* inLists);
// Scans every chunk of the statement into the top k.
[[nodiscard]] int knn_scan_chunks(KnnScan* s, sqlite3_stmt* stmtChunks);

// After a scan of the codes: the exact distances of the candidates, by the column's own
// kernel on their stored vectors and the float32 query, and the k nearest of them, nearest
// first (ties to the row the scan met first), as the top k.
[[nodiscard]] int knn_rerank(KnnScan* s, const void* query, int k);

// Distances of `count` stored vectors (back to back from `vectors`) to the query, as 32-bit
// floats, into out[i] for every candidate bit i.
void knn_distances(const KnnScan* s, const uint8_t* vectors, size_t count,
                   const uint8_t* candidates, float* out);
// True when any of the n bits (n a multiple of 8) is set.
bool bitmap_any(const uint8_t* bitmap, int n);
// Drops the candidates outside the distance bounds.
void apply_distance_bounds(const DistanceBound* bounds, int numBounds, const float* distances,
                           uint8_t* candidates, int size);
// Reads the chunk in hand and narrows its candidates by the filters, on bitmaps, so that no
// vector is read for a slot they rule out.
[[nodiscard]] int knn_scan_filter_chunk(KnnScan* s, sqlite3_stmt* stmtChunks);
// Merges the selected slots of chunk chunkId (distances, best) into the top k.
[[nodiscard]] int knn_scan_merge(KnnScan* s, sqlite3_int64 chunkId, const float* distances,
                                 const int32_t* best, int selected);

#if JIX_HAVE_THREADS
// Helpers start only once a scan has computed this many vector bytes on its own: below it,
// starting threads costs more than they could save.
constexpr sqlite3_int64 kHelpersAfterBytes = 1024 * 1024;
// Sets up the ring and starts up to s->maxHelpers threads; fewer when the system refuses
// more, none at all included.
[[nodiscard]] int knn_start_helpers(KnnScan* s);
// The chunk in hand, its pieces read here and computed by whichever thread is free.
[[nodiscard]] int knn_scan_chunk_threaded(KnnScan* s, sqlite3_stmt* stmtChunks);
// Merges every chunk still in flight.
[[nodiscard]] int knn_drain_helpers(KnnScan* s);
#endif
