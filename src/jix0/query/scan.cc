// The chunk scan of a KNN search on the connection's thread.
#include "jix0/query/scan.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "base/bitmap.h"
#include "base/calls.h"
#include "base/select.h"
#include "jix0/storage/chunk.h"
#include "jix0/storage/chunk_cache.h"
#include "jix0/storage/chunks.h"
#include "jix0/storage/shadow_tables.h"
#include "jix0/table/result_codes.h"
#include "kernels/lookup.h"
#include "vector/vector.h"

// Bytes of vectors read and computed at a time: small enough that a piece is still in the
// core's own L2 cache when the kernel runs over it right after the read, large enough that
// the cost of a read call is spread over many vectors and the kernel gets full groups.
static constexpr sqlite3_int64 kPieceBytes = 192 * 1024;

// Distances of `count` stored vectors (back to back from `vectors`) to the query, as 32-bit
// floats, into out[i] for every candidate bit i. The batch kernels compute exactly the pair
// kernels of the SQL distance functions (stored vector first), so a KNN distance equals
// theirs rounded to float.
void knn_distances(const KnnScan* s, const uint8_t* vectors, size_t count,
                   const uint8_t* candidates, float* out) {
  s->kernel(s->query, vectors, s->kernelDimensions, count, candidates, out);
}

// True when any of the n bits (n a multiple of 8) is set.
bool bitmap_any(const uint8_t* bitmap, int n) {
  for (int i = 0; i < n / 8; i++)
    if (bitmap[i]) return true;
  return false;
}

// Reads chunk chunkId's rowid array (size entries) into out through *blob, which is opened
// on first use and moved from chunk to chunk after that.
static int read_chunk_rowids(jix0_vtab* p, BlobPtr* blob, sqlite3_int64 chunkId, int size,
                             sqlite3_int64* out) {
  int rc = jix0_part_open(p, JIX0_PART_ROWIDS, 0, chunkId, false, true, 0, blob, nullptr);
  if (rc == SQLITE_OK) rc = jix_blob_read(blob->get(), out, size * 8, 0);
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": could not read the rowids of chunk %lld",
                   chunkId);
    return jix0_failure_code(rc);
  }
  return SQLITE_OK;
}

static bool bound_keeps(char op, float distance, float bound) {
  switch (op) {
    case JIX0_DISTANCE_OP_GT:
      return distance > bound;
    case JIX0_DISTANCE_OP_GE:
      return distance >= bound;
    case JIX0_DISTANCE_OP_LT:
      return distance < bound;
    case JIX0_DISTANCE_OP_LE:
      return distance <= bound;
    default:
      return false;
  }
}

// Drops the candidates outside the distance bounds.
void apply_distance_bounds(const DistanceBound* bounds, int numBounds, const float* distances,
                           uint8_t* candidates, int size) {
  for (int i = 0; i < numBounds; i++) {
    const DistanceBound& b = bounds[i];
    for (int slot = 0; slot < size; slot++) {
      if (!bitmap_get(candidates, slot)) continue;
      if (b.isNull || !bound_keeps(b.op, distances[slot], b.bound)) bitmap_set(candidates, slot, 0);
    }
  }
}

int knn_scan_init(KnnScan* s, const Array* inLists) {
  jix0_vtab* p = s->p;
  s->size = p->chunk_size;
  s->perChunk = s->k < s->size ? s->k : s->size;
  // Codes are cached apart from the vectors of the same chunk.
  s->cacheKey = s->codes ? -1 - s->vectorIdx : s->vectorIdx;
  s->vectorBytes = (sqlite3_int64)vector_column_byte_size(*s->column);
  // Bit columns are searched by Hamming distance whatever metric they carry. The kernel
  // counts whole bytes, the stored size of a slot.
  if (s->column->element_type == JIX_ELEMENT_BIT) {
    s->kernel = kernel_lookup(JIX0_DISTANCE_HAMMING, JIX_ELEMENT_BIT)->batch;
    s->kernelDimensions = (size_t)s->vectorBytes * 8;
  } else if (s->codes) {
    s->vectorBytes = p->codesSlotBytes;
    s->kernel = kernel_lookup(s->column->distance_metric, JIX_ELEMENT_INT8)->batch;
    s->kernelDimensions = (size_t)p->codesSlotBytes;
  } else {
    const DistanceKernels* kernels =
        kernel_lookup(s->column->distance_metric, s->column->element_type);
    // The declaration admits only metrics with kernels for the column's type.
    JIX_ASSERT(kernels);
    s->kernel = kernels->batch;
    s->kernelDimensions = s->column->dimensions;
  }
  // Slots per piece: a multiple of 8, so that a piece starts on a byte of the bitmaps.
  int pieceSlots = s->vectorBytes > 0 ? (int)(kPieceBytes / s->vectorBytes) / 8 * 8 : s->size;
  if (pieceSlots < 8) pieceSlots = 8;
  if (pieceSlots > s->size) pieceSlots = s->size;
  s->pieceSlots = pieceSlots;

  s->topRowids = allocate_array<sqlite3_int64>(s->k);
  s->topDistances = allocate_array<float>(s->k);
  s->mergeRowids = allocate_array<sqlite3_int64>(s->k);
  s->mergeDistances = allocate_array<float>(s->k);
  s->topChunks = allocate_array<sqlite3_int64>(s->k);
  s->mergeChunks = allocate_array<sqlite3_int64>(s->k);
  s->topSlots = allocate_array<int32_t>(s->k);
  s->mergeSlots = allocate_array<int32_t>(s->k);
  s->pieceVectors = allocate_array<uint8_t>((sqlite3_uint64)pieceSlots * s->vectorBytes);
  s->chunkDistances = allocate_array<float>(s->size);
  s->chunkRowids = allocate_array<sqlite3_int64>(s->size);
  s->chunkBest = allocate_array<int32_t>(s->perChunk);
  s->candidates.reset(bitmap_new(s->size));
  s->filterBitmap.reset(bitmap_new(s->size));
  s->metadataData = allocate_array<uint8_t>((sqlite3_uint64)s->size * JIX0_METADATA_TEXT_ENTRY);
  s->metadata = allocate_array<MetadataScan>(s->plan->numMetadata);
  s->bounds = allocate_array<DistanceBound>(s->plan->numDistances);
  if (!s->bounds || !s->topRowids || !s->topDistances || !s->mergeRowids || !s->mergeDistances ||
      !s->topChunks || !s->mergeChunks || !s->topSlots || !s->mergeSlots || !s->pieceVectors ||
      !s->chunkDistances || !s->chunkRowids || !s->chunkBest || !s->candidates ||
      !s->filterBitmap || !s->metadataData || !s->metadata) {
    return SQLITE_NOMEM;
  }
  if (s->codes && array_init(&s->visited, sizeof(sqlite3_int64), 64) != SQLITE_OK) {
    return SQLITE_NOMEM;
  }
  // The selection reads the distances of whole bytes of slots, candidates or not.
  memset(s->chunkDistances.get(), 0, (size_t)s->size * sizeof(float));

  for (const KnnFilter& filter : s->plan->distances()) {
    sqlite3_value* value = s->argv[filter.arg];
    s->bounds.get()[s->numBounds++] = {filter.op, sqlite3_value_type(value) == SQLITE_NULL,
                                       (float)sqlite3_value_double(value)};
  }
  for (const KnnFilter& filter : s->plan->metadata()) {
    const jix0_metadata_in_list* inList =
        filter.op == JIX0_OP_IN ? jix0_find_metadata_in_list(inLists, filter.arg) : nullptr;
    new (&s->metadata.get()[s->numMetadata++])
        MetadataScan{{filter.column, filter.op, s->argv[filter.arg], inList}, {}, {}};
  }
  return SQLITE_OK;
}

// Checks the chunk statement's row: validity and rowids must be BLOBs of the chunk size.
static int knn_scan_check_chunk(KnnScan* s, sqlite3_stmt* stmtChunks) {
  jix0_vtab* p = s->p;
  s->chunkId = sqlite3_column_int64(stmtChunks, 0);
  s->rowidsRead = false;
  // Any other value would be read through its text form: garbage bits of the right size.
  const char* rowidsType = (const char*)sqlite3_column_text(stmtChunks, 2);
  if (sqlite3_column_type(stmtChunks, 1) != SQLITE_BLOB || !rowidsType ||
      strcmp(rowidsType, "blob") != 0) {
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": validity or rowids of chunk %lld is not a BLOB",
                   s->chunkId);
    return SQLITE_ERROR;
  }
  s->validity = (const uint8_t*)sqlite3_column_blob(stmtChunks, 1);
  int validityBytes = sqlite3_column_bytes(stmtChunks, 1);
  if (validityBytes != s->size / 8) {
    vtab_set_error(&p->base, "chunk validity size doesn't match - expected %lld, found %lld",
                   (sqlite3_int64)(s->size / 8), (sqlite3_int64)validityBytes);
    return SQLITE_ERROR;
  }
  sqlite3_int64 rowidsBytes = sqlite3_column_int64(stmtChunks, 3);
  if (rowidsBytes != s->size * 8) {
    vtab_set_error(&p->base, "chunk rowids size doesn't match - expected %lld, found %lld",
                   (sqlite3_int64)s->size * 8, rowidsBytes);
    return SQLITE_ERROR;
  }
  if (!s->validity) return SQLITE_NOMEM;  // a zeroblob could not be expanded
  return s->codes ? array_append(&s->visited, &s->chunkId) : SQLITE_OK;
}

// The chunk's rowids, read only when a filter or the merge needs them: most chunks of a large
// table add nothing to the top k.
static int knn_scan_chunk_rowids(KnnScan* s) {
  if (s->rowidsRead) return SQLITE_OK;
  if (s->cached) {
    s->rowids = s->cached->rowids;
    s->rowidsRead = true;
    return SQLITE_OK;
  }
  int rc = read_chunk_rowids(s->p, &s->rowidsBlob, s->chunkId, s->size, s->chunkRowids.get());
  s->rowids = s->chunkRowids.get();
  s->rowidsRead = rc == SQLITE_OK;
  return rc;
}

// Moves the vectors handle to the chunk (one handle from chunk to chunk: far cheaper than
// closing and opening) and checks the BLOB's size.
static int knn_scan_open_vectors(KnnScan* s) {
  jix0_vtab* p = s->p;
  ChunkFault fault;
  const ChunkPart part = s->codes ? JIX0_PART_CODES : JIX0_PART_VECTORS;
  int rc = jix0_part_open(p, part, s->codes ? 0 : s->vectorIdx, s->chunkId, false, true, 0,
                          &s->vectorsBlob, &fault);
  if (rc == SQLITE_OK) return SQLITE_OK;
  const char* name = s->codes ? "codes" : "vectors";
  if (fault.rc != SQLITE_OK) {
    vtab_set_error(&p->base, "could not open %s blob for chunk %lld", name, s->chunkId);
    return jix0_failure_code(rc);
  }
  vtab_set_error(&p->base, "%s blob size doesn't match - expected %lld, found %lld", name,
                 fault.expected, fault.actual);
  return SQLITE_ERROR;
}

// Finds the chunk in hand in the cache, or reads it whole into a new entry when the budget
// has room. Without an entry the chunk is left to the BLOB path; a failed read fails as that
// path would.
static int knn_scan_cache_chunk(KnnScan* s) {
  s->cached = chunk_cache_find(s->p, s->cacheKey, s->chunkId);
  if (s->cached) return SQLITE_OK;
  CachedChunk* entry = chunk_cache_reserve(s->p, s->cacheKey, s->chunkId, s->vectorBytes);
  if (!entry) return SQLITE_OK;
  int rc = knn_scan_open_vectors(s);
  if (rc == SQLITE_OK) {
    rc = jix_blob_read(s->vectorsBlob.get(), entry->vectors, (int)(s->size * s->vectorBytes), 0);
    if (rc != SQLITE_OK) {
      vtab_set_error(&s->p->base, "vectors blob read error for %lld", s->chunkId);
      rc = jix0_failure_code(rc);
    }
  }
  if (rc == SQLITE_OK) {
    rc = read_chunk_rowids(s->p, &s->rowidsBlob, s->chunkId, s->size, entry->rowids);
  }
  if (rc != SQLITE_OK) {
    chunk_cache_discard(s->p, entry);
    return rc;
  }
  if (chunk_cache_add(s->p, entry)) s->cached = entry;
  return SQLITE_OK;
}

// Narrows the candidates to the slots whose rowid is in the rowid IN list.
static int knn_scan_filter_rowids(KnnScan* s) {
  int rc = knn_scan_chunk_rowids(s);
  if (rc != SQLITE_OK) return rc;
  const sqlite3_int64* slotRowids = s->rowids;
  uint8_t* keep = s->filterBitmap.get();
  bitmap_clear(keep, s->size);
  for (int slot = 0; slot < s->size; slot++) {
    if (!bitmap_get(s->validity, slot)) continue;
    bool found = bsearch(&slotRowids[slot], s->rowidList->data, s->rowidList->length,
                         sizeof(sqlite3_int64), knn_compare_rowids) != nullptr;
    bitmap_set(keep, slot, found);
  }
  bitmap_and_inplace(s->candidates.get(), keep, s->size);
  return SQLITE_OK;
}

// Narrows the candidates by every metadata filter.
static int knn_scan_filter_metadata(KnnScan* s) {
  jix0_vtab* p = s->p;
  for (int i = 0; i < s->numMetadata; i++) {
    MetadataScan& m = s->metadata.get()[i];
    int metadataIdx = m.filter.metadata_index;
    // A handle that cannot be opened at all is told apart from a chunk whose BLOB is missing
    // or damaged, which is found after the rowids are read.
    const bool first = !m.blob;
    ChunkFault fault;
    int rc = SQLITE_OK;
    if (first) {
      rc = jix0_part_open(p, JIX0_PART_METADATA, metadataIdx, s->chunkId, false, true, 0, &m.blob,
                          &fault);
      if (rc != SQLITE_OK && fault.rc != SQLITE_OK) {
        vtab_set_error(&p->base, "Could not open metadata blob");
        return rc;
      }
    }
    // Only TEXT filters need the rowids: long texts are looked up by rowid.
    const uint8_t* slotRowids = nullptr;
    if (p->metadata_columns[metadataIdx].kind == JIX0_METADATA_TEXT) {
      int rowidsRc = knn_scan_chunk_rowids(s);
      if (rowidsRc != SQLITE_OK) return rowidsRc;
      slotRowids = (const uint8_t*)s->rowids;
    }
    if (!first) {
      rc = jix0_part_open(p, JIX0_PART_METADATA, metadataIdx, s->chunkId, false, true, 0, &m.blob,
                          nullptr);
    }
    if (rc == SQLITE_OK) {
      bitmap_clear(s->filterBitmap.get(), s->size);
      sqlite3_stmt* longTextStmt = m.longTextStmt.release();
      rc = jix0_set_metadata_filter_bitmap(
          p, m.filter, m.blob.get(), &longTextStmt,
          jix0_metadata_chunk{s->chunkId, s->size, slotRowids, s->metadataData.get()},
          s->filterBitmap.get());
      m.longTextStmt.reset(longTextStmt);
    }
    if (rc != SQLITE_OK) {
      vtab_set_error(&p->base,
                     "jix0: could not filter on metadata column \"%s\" of %s: chunk %lld of "
                     "%s.%s is missing or damaged",
                     p->metadata_columns[metadataIdx].name, p->tableName, s->chunkId, p->schemaName,
                     p->shadowMetadataChunksNames[metadataIdx]);
      return rc;
    }
    bitmap_and_inplace(s->candidates.get(), s->filterBitmap.get(), s->size);
  }
  return SQLITE_OK;
}

// The candidates' distances, piece by piece, each computed on while it is still in cache; a
// piece without candidates is not read at all.
static int knn_scan_distances(KnnScan* s) {
  if (s->cached) {
    // In memory already: one pass of the kernel over the whole chunk, nothing copied.
    knn_distances(s, s->cached->vectors, (size_t)s->size, s->candidates.get(),
                  s->chunkDistances.get());
    s->bytesComputed += s->size * s->vectorBytes;
    return SQLITE_OK;
  }
  for (int first = 0; first < s->size; first += s->pieceSlots) {
    int count = s->size - first < s->pieceSlots ? s->size - first : s->pieceSlots;
    const uint8_t* pieceCandidates = s->candidates.get() + first / 8;
    if (!bitmap_any(pieceCandidates, count)) continue;
    int rc = jix_blob_read(s->vectorsBlob.get(), s->pieceVectors.get(),
                           (int)(count * s->vectorBytes), (int)(first * s->vectorBytes));
    if (rc != SQLITE_OK) {
      vtab_set_error(&s->p->base, "vectors blob read error for %lld", s->chunkId);
      return jix0_failure_code(rc);
    }
    knn_distances(s, s->pieceVectors.get(), (size_t)count, pieceCandidates,
                  s->chunkDistances.get() + first);
    s->bytesComputed += count * s->vectorBytes;
  }
  return SQLITE_OK;
}

// Merges the selected slots of chunk chunkId (distances, best) into the top k.
int knn_scan_merge(KnnScan* s, sqlite3_int64 chunkId, const float* distances, const int32_t* best,
                   int selected) {
  if (selected == 0) return SQLITE_OK;
  int rc = SQLITE_OK;
  const sqlite3_int64* rowids = nullptr;
  const CachedChunk* cached =
      s->useCache && chunkId != s->chunkId ? chunk_cache_find(s->p, s->cacheKey, chunkId) : nullptr;
  if (chunkId == s->chunkId) {
    rc = knn_scan_chunk_rowids(s);
    rowids = s->rowids;
  } else if (cached) {
    rowids = cached->rowids;
  } else {
    rc = read_chunk_rowids(s->p, &s->rowidsBlob, chunkId, s->size, s->chunkRowids.get());
    rowids = s->chunkRowids.get();
    // The buffer no longer holds the rowids of the chunk in hand.
    s->rowidsRead = false;
  }
  if (rc != SQLITE_OK) return rc;
  int merged = 0;
  MergePlaces places = {s->topChunks.get(), s->topSlots.get(), chunkId, s->mergeChunks.get(),
                        s->mergeSlots.get()};
  merge_sorted_lists(s->topDistances.get(), s->topRowids.get(), s->topCount, distances, rowids,
                     best, selected, s->mergeDistances.get(), s->mergeRowids.get(), s->k, &merged,
                     &places);
  std::swap(s->topDistances, s->mergeDistances);
  std::swap(s->topRowids, s->mergeRowids);
  std::swap(s->topChunks, s->mergeChunks);
  std::swap(s->topSlots, s->mergeSlots);
  s->topCount = merged;
  return SQLITE_OK;
}

// Picks the chunk's best candidates and merges them into the top k.
static int knn_scan_select(KnnScan* s) {
  // Once the top k is full, only slots strictly before its last entry can enter it.
  const float* worst = s->topCount == s->k ? &s->topDistances.get()[s->k - 1] : nullptr;
  int selected = 0;
  min_idx_before(s->chunkDistances.get(), s->size, s->candidates.get(), s->chunkBest.get(),
                 s->perChunk, worst, &selected);
  return knn_scan_merge(s, s->chunkId, s->chunkDistances.get(), s->chunkBest.get(), selected);
}

// Reads the chunk in hand and narrows its candidates by the filters, on bitmaps, so that no
// vector is read for a slot they rule out.
int knn_scan_filter_chunk(KnnScan* s, sqlite3_stmt* stmtChunks) {
  s->cached = nullptr;
  int rc = knn_scan_check_chunk(s, stmtChunks);
  if (rc == SQLITE_OK && s->useCache) rc = knn_scan_cache_chunk(s);
  if (rc == SQLITE_OK && !s->cached) rc = knn_scan_open_vectors(s);
  if (rc != SQLITE_OK) return rc;
  bitmap_copy(s->candidates.get(), s->validity, s->size);
  if (s->rowidList) rc = knn_scan_filter_rowids(s);
  if (rc == SQLITE_OK && s->numMetadata > 0) rc = knn_scan_filter_metadata(s);
  return rc;
}

// Scans one chunk of the statement into the top k.
static int knn_scan_chunk(KnnScan* s, sqlite3_stmt* stmtChunks) {
  int rc = knn_scan_filter_chunk(s, stmtChunks);
  if (rc == SQLITE_OK) rc = knn_scan_distances(s);
  if (rc != SQLITE_OK) return rc;
  apply_distance_bounds(s->bounds.get(), s->numBounds, s->chunkDistances.get(), s->candidates.get(),
                        s->size);
  return knn_scan_select(s);
}

// Scans every chunk of the statement into the top k.
int knn_scan_chunks(KnnScan* s, sqlite3_stmt* stmtChunks) {
  int rc;
  s->cacheChecked = false;
  while ((rc = jix_step(stmtChunks)) == SQLITE_ROW) {
    if (!s->cacheChecked) {
      // Only now is the read transaction surely open, and the data version that of the data
      // this statement reads.
      s->useCache = chunk_cache_begin_scan(s->p);
      s->cacheChecked = true;
    }
#if JIX_HAVE_THREADS
    if (!s->helpers && s->maxHelpers > 0 && s->bytesComputed >= kHelpersAfterBytes) {
      int startRc = knn_start_helpers(s);
      if (startRc != SQLITE_OK) return startRc;
    }
    if (s->helpers) {
      int chunkRc = knn_scan_chunk_threaded(s, stmtChunks);
      if (chunkRc != SQLITE_OK) return chunkRc;
      continue;
    }
#endif
    int chunkRc = knn_scan_chunk(s, stmtChunks);
    if (chunkRc != SQLITE_OK) return chunkRc;
  }
  if (rc != SQLITE_DONE) {
    vtab_set_error(&s->p->base, "jix0: could not list the chunks of %s in %s.%s: %s",
                   s->p->tableName, s->p->schemaName, s->p->shadowChunksName,
                   sqlite3_errmsg(s->p->db));
    return jix0_failure_code(rc);
  }
#if JIX_HAVE_THREADS
  if (s->helpers) return knn_drain_helpers(s);
#endif
  return SQLITE_OK;
}

namespace {

// The stored vector of one candidate: from the resident cache when it holds the chunk, else
// read into buffer through *blob, moved from chunk to chunk (*blobChunk: where it is).
int rerank_vector(KnnScan* s, int i, BlobPtr* blob, sqlite3_int64* blobChunk, uint8_t* buffer,
                  const uint8_t** out) {
  const sqlite3_int64 chunkId = s->topChunks.get()[i];
  const int slot = s->topSlots.get()[i];
  const sqlite3_int64 bytes = (sqlite3_int64)vector_column_byte_size(*s->column);
  const CachedChunk* cached = s->useCache ? chunk_cache_find(s->p, s->vectorIdx, chunkId) : nullptr;
  if (cached) {
    *out = cached->vectors + slot * bytes;
    return SQLITE_OK;
  }
  int rc = SQLITE_OK;
  if (!*blob || *blobChunk != chunkId) {
    rc = jix0_part_open(s->p, JIX0_PART_VECTORS, s->vectorIdx, chunkId, false, false, slot, blob,
                        nullptr);
    *blobChunk = chunkId;
  } else if (!blob_slot_fits(blob->get(), slot, (int)bytes)) {
    rc = SQLITE_CORRUPT_VTAB;
  }
  if (rc == SQLITE_OK) rc = jix_blob_read(blob->get(), buffer, (int)bytes, (int)(slot * bytes));
  if (rc != SQLITE_OK) {
    vtab_set_error(&s->p->base, "vectors blob read error for %lld", chunkId);
    return jix0_failure_code(rc);
  }
  *out = buffer;
  return SQLITE_OK;
}

}  // namespace

int knn_rerank(KnnScan* s, const void* query, int k) {
  const int n = s->topCount;
  const DistanceKernels* kernels =
      kernel_lookup(s->column->distance_metric, s->column->element_type);
  SqlitePtr<uint8_t> buffer =
      allocate_array<uint8_t>((sqlite3_uint64)vector_column_byte_size(*s->column));
  SqlitePtr<int> order = allocate_array<int>((sqlite3_uint64)(n > 0 ? n : 1));
  if (!buffer || !order) return SQLITE_NOMEM;
  float* distances = s->topDistances.get();
  BlobPtr blob;
  sqlite3_int64 blobChunk = 0;
  const uint8_t one = 1;
  // Read chunk by chunk, so that each chunk's BLOB is opened once.
  for (int i = 0; i < n; i++) order.get()[i] = i;
  const sqlite3_int64* chunks = s->topChunks.get();
  const int32_t* slots = s->topSlots.get();
  std::sort(order.get(), order.get() + n, [&](int a, int b) {
    return chunks[a] != chunks[b] ? chunks[a] < chunks[b] : slots[a] < slots[b];
  });
  for (int j = 0; j < n; j++) {
    const int i = order.get()[j];
    const uint8_t* vector = nullptr;
    int rc = rerank_vector(s, i, &blob, &blobChunk, buffer.get(), &vector);
    if (rc != SQLITE_OK) return rc;
    kernels->batch(query, vector, s->column->dimensions, 1, &one, &distances[i]);
  }
  // Where the scan met each candidate (base/select.h gives the order of ties).
  SqlitePtr<sqlite3_int64> met = allocate_array<sqlite3_int64>((sqlite3_uint64)(n > 0 ? n : 1));
  if (!met) return SQLITE_NOMEM;
  const sqlite3_int64* visited = (const sqlite3_int64*)s->visited.data;
  for (int i = 0; i < n; i++) {
    sqlite3_int64 place = 0;
    while (place < (sqlite3_int64)s->visited.length && visited[place] != s->topChunks.get()[i]) {
      place++;
    }
    // As the selection orders ties: earlier chunks first, then the highest slot of a chunk.
    met.get()[i] = place * s->size + (s->size - 1 - s->topSlots.get()[i]);
  }
  const sqlite3_int64* rowids = s->topRowids.get();
  // NaN last, then nearest first, ties to the row met first.
  auto nearer = [&](int a, int b) {
    bool an = std::isnan(distances[a]), bn = std::isnan(distances[b]);
    if (an != bn) return bn;
    if (!an && distances[a] != distances[b]) return distances[a] < distances[b];
    return met.get()[a] < met.get()[b];
  };
  const int kept = k < n ? k : n;
  std::partial_sort(order.get(), order.get() + kept, order.get() + n, nearer);
  for (int j = 0; j < kept; j++) {
    const int i = order.get()[j];
    s->mergeDistances.get()[j] = distances[i];
    s->mergeRowids.get()[j] = rowids[i];
    s->mergeChunks.get()[j] = s->topChunks.get()[i];
    s->mergeSlots.get()[j] = s->topSlots.get()[i];
  }
  std::swap(s->topDistances, s->mergeDistances);
  std::swap(s->topRowids, s->mergeRowids);
  std::swap(s->topChunks, s->mergeChunks);
  std::swap(s->topSlots, s->mergeSlots);
  s->topCount = kept;
  return SQLITE_OK;
}
