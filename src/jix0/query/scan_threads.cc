// The helper-thread ring of a KNN scan.
#include <atomic>
#include <bit>
#include <cstring>
#include <new>
#include <utility>

#include "base/bitmap.h"
#include "base/calls.h"
#include "base/select.h"
#include "jix0/query/scan.h"
#include "jix0/storage/chunk_cache.h"
#include "jix0/table/result_codes.h"

#if JIX_HAVE_THREADS
// With PRAGMA threads = N > 0 the connection's thread keeps reading the vectors, piece by
// piece, into a ring of buffers, while up to N helper threads compute the pieces' distances;
// whoever computes a chunk's last piece also applies the distance bounds and picks the
// chunk's best slots. The connection's thread alone touches SQLite: it reads the rowids and
// merges the chunks into the top k, in chunk order, so the answer is the one of a scan
// without helpers, ties included. A helper's selection may see an older top k than the
// scan without helpers would: its bound is then looser, it keeps slots that merge away, and
// the merge still gives the same answer. When the connection's thread has to wait for a
// buffer or a chunk it computes a piece itself, so the scan finishes even if no helper could
// be started.

constexpr int kMaxHelpers = 16;
// Checks of a condition before a thread sleeps: pieces arrive every few microseconds, and
// waking a sleeping thread costs about as much. Past the first checks the thread yields its
// core between them, in case the thread it waits for needs it.
constexpr int kSpins = 2000;
constexpr int kSpinsBeforeYield = 500;

// A piece of a chunk in one buffer of the ring.
struct ScanPiece {
  uint8_t* vectors;     // the buffer
  const uint8_t* data;  // the piece's vectors: the buffer, or the chunk's cache entry
  int chunk;            // index in the chunk ring
  int first;            // first slot
  int count;
  std::atomic<uint64_t> done{0};  // 1 + the last piece number computed in this buffer
};

// A chunk whose pieces are being computed.
struct ScanChunk {
  sqlite3_int64 chunkId;
  float* distances;
  uint8_t* candidates;
  int32_t* best;
  int selected;
  std::atomic<int> pending{0};     // pieces not computed yet
  std::atomic<bool> ready{false};  // the selection is made
};

struct ScanHelpers {
  KnnScan* s = nullptr;
  int numBuffers = 0, numChunks = 0;
  SqlitePtr<uint8_t> memory;  // buffers, then the chunks' distances, candidates and best
  SqlitePtr<ScanPiece> pieces;
  SqlitePtr<ScanChunk> chunks;
  uint64_t nextPiece = 0;                 // the connection's thread only
  uint64_t chunkHead = 0, chunkTail = 0;  // chunks [head, tail) are in flight; likewise
  std::atomic<uint64_t> published{0};     // pieces handed out
  std::atomic<uint64_t> claimed{0};       // pieces taken by a thread
  std::atomic<uint64_t> progress{0};      // pieces computed
  // The top k's last distance once it is full: bit 32 set, the float's bits below.
  std::atomic<uint64_t> worst{0};
  std::atomic<bool> stop{false};
  std::atomic<int> sleepers{0};
  std::atomic<bool> ownerSleeping{false};
  Mutex mutex;
  CondVar work, moved;
  ThreadHandle threads[kMaxHelpers];
  int numThreads = 0;

  ~ScanHelpers() {
    stop.store(true);
    {
      MutexLock lock(mutex);
      work.notify_all();
    }
    for (int i = 0; i < numThreads; i++) thread_join(threads[i]);
  }
};

void ScanHelpersFree::operator()(ScanHelpers* h) const {
  h->~ScanHelpers();
  sqlite3_free(h);
}

static void spin_wait(int spin) {
  if (spin < kSpinsBeforeYield) {
    spin_pause();
  } else {
    thread_yield();
  }
}

static bool claim_piece(ScanHelpers* h, uint64_t* outPiece) {
  uint64_t c = h->claimed.load();
  while (c < h->published.load()) {
    if (h->claimed.compare_exchange_weak(c, c + 1)) {
      *outPiece = c;
      return true;
    }
  }
  return false;
}

// The distance bounds and the chunk's best slots, once all its distances are in.
static void select_chunk(ScanHelpers* h, ScanChunk* c) {
  const KnnScan* s = h->s;
  apply_distance_bounds(s->bounds.get(), s->numBounds, c->distances, c->candidates, s->size);
  uint64_t worst = h->worst.load();
  float bound = std::bit_cast<float>((uint32_t)worst);
  int selected = 0;
  min_idx_before(c->distances, s->size, c->candidates, c->best, s->perChunk,
                 worst >> 32 ? &bound : nullptr, &selected);
  c->selected = selected;
  c->ready.store(true);
}

static void compute_piece(ScanHelpers* h, uint64_t number) {
  const KnnScan* s = h->s;
  ScanPiece* piece = &h->pieces.get()[number % h->numBuffers];
  ScanChunk* c = &h->chunks.get()[piece->chunk];
  knn_distances(s, piece->data, (size_t)piece->count, c->candidates + piece->first / 8,
                c->distances + piece->first);
  piece->done.store(number + 1);
  if (c->pending.fetch_sub(1) == 1) select_chunk(h, c);
  h->progress.fetch_add(1);
  if (h->ownerSleeping.load()) {
    MutexLock lock(h->mutex);
    h->moved.notify_one();
  }
}

static void* helper_main(void* arg) {
  ScanHelpers* h = (ScanHelpers*)arg;
  for (;;) {
    uint64_t number;
    bool found = false;
    for (int spin = 0; spin < kSpins && !(found = claim_piece(h, &number)); spin++) {
      if (h->stop.load()) return nullptr;
      spin_wait(spin);
    }
    if (!found) {
      MutexLock lock(h->mutex);
      h->sleepers.fetch_add(1);
      while (!h->stop.load() && h->claimed.load() >= h->published.load()) h->work.wait(h->mutex);
      h->sleepers.fetch_sub(1);
      continue;
    }
    if (h->stop.load()) return nullptr;
    compute_piece(h, number);
  }
}

// Sets up the ring and starts up to s->maxHelpers threads; fewer when the system refuses
// more, none at all included.
int knn_start_helpers(KnnScan* s) {
  ScanHelpers* raw = (ScanHelpers*)sqlite3_malloc64(sizeof(ScanHelpers));
  if (!raw) return SQLITE_NOMEM;
  ScanHelpersPtr h(new (raw) ScanHelpers);
  h->s = s;
  int helpers = s->maxHelpers < kMaxHelpers ? s->maxHelpers : kMaxHelpers;
  // Two buffers for each helper and a few more, so that the reading goes on while a helper
  // the system has paused holds one; a chunk for each buffer and the one being filtered.
  h->numBuffers = 2 * helpers + 4;
  h->numChunks = h->numBuffers + 1;
  sqlite3_uint64 bufferBytes = (sqlite3_uint64)s->pieceSlots * s->vectorBytes;
  // A chunk's distances, then its best slots, then its candidates: each part aligned for
  // its type, and each chunk rounded up to 8 bytes (the buffers are a multiple of 8 slots).
  sqlite3_uint64 chunkBytes = (sqlite3_uint64)s->size * sizeof(float) +
                              (sqlite3_uint64)s->perChunk * sizeof(int32_t) + s->size / 8;
  chunkBytes = (chunkBytes + 7) / 8 * 8;
  h->memory = allocate_array<uint8_t>(bufferBytes * h->numBuffers + chunkBytes * h->numChunks);
  h->pieces = allocate_array<ScanPiece>(h->numBuffers);
  h->chunks = allocate_array<ScanChunk>(h->numChunks);
  if (!h->memory || !h->pieces || !h->chunks) return SQLITE_NOMEM;
  // The selection reads the distances of whole bytes of slots, candidates or not.
  memset(h->memory.get(), 0, bufferBytes * h->numBuffers + chunkBytes * h->numChunks);
  for (int i = 0; i < h->numBuffers; i++) {
    new (&h->pieces.get()[i]) ScanPiece{h->memory.get() + bufferBytes * i, nullptr, 0, 0, 0};
  }
  uint8_t* next = h->memory.get() + bufferBytes * h->numBuffers;
  for (int i = 0; i < h->numChunks; i++, next += chunkBytes) {
    float* distances = (float*)next;
    int32_t* best = (int32_t*)(next + (size_t)s->size * sizeof(float));
    uint8_t* candidates = (uint8_t*)(best + s->perChunk);
    new (&h->chunks.get()[i]) ScanChunk{0, distances, candidates, best, 0};
  }
  for (int i = 0; i < helpers; i++) {
    if (!thread_start(&h->threads[h->numThreads], helper_main, h.get())) break;
    h->numThreads++;
  }
  if (s->topCount == s->k) {
    h->worst.store(1ull << 32 | std::bit_cast<uint32_t>(s->topDistances.get()[s->k - 1]));
  }
  s->helpers = std::move(h);
  return SQLITE_OK;
}

// Merges the oldest chunk in flight, once its selection is made, and publishes the new worst
// distance for the helpers' selections.
static int merge_oldest(KnnScan* s) {
  ScanHelpers* h = s->helpers.get();
  ScanChunk* c = &h->chunks.get()[h->chunkHead % h->numChunks];
  int rc = knn_scan_merge(s, c->chunkId, c->distances, c->best, c->selected);
  if (rc != SQLITE_OK) return rc;
  h->chunkHead++;
  if (s->topCount == s->k) {
    h->worst.store(1ull << 32 | std::bit_cast<uint32_t>(s->topDistances.get()[s->k - 1]));
  }
  return SQLITE_OK;
}

// Waits until done() holds, making progress meanwhile: merges the oldest chunk once it is
// ready, else computes a piece nobody took, else waits for a helper to finish one.
template <typename Done>
int wait_for_helpers(KnnScan* s, Done done) {
  ScanHelpers* h = s->helpers.get();
  for (;;) {
    // Read before the checks: any piece finished after them moves it.
    uint64_t seen = h->progress.load();
    if (done()) return SQLITE_OK;
    if (h->chunkHead < h->chunkTail && h->chunks.get()[h->chunkHead % h->numChunks].ready.load()) {
      int rc = merge_oldest(s);
      if (rc != SQLITE_OK) return rc;
      continue;
    }
    uint64_t number;
    if (claim_piece(h, &number)) {
      compute_piece(h, number);
      continue;
    }
    bool moved = false;
    for (int spin = 0; spin < kSpins && !moved; spin++) {
      spin_wait(spin);
      moved = h->progress.load() != seen;
    }
    if (moved) continue;
    MutexLock lock(h->mutex);
    h->ownerSleeping.store(true);
    while (h->progress.load() == seen) h->moved.wait(h->mutex);
    h->ownerSleeping.store(false);
  }
}

// Merges every chunk still in flight.
int knn_drain_helpers(KnnScan* s) {
  ScanHelpers* h = s->helpers.get();
  return wait_for_helpers(s, [h] { return h->chunkHead == h->chunkTail; });
}

// The chunk in hand, its pieces read here and computed by whichever thread is free.
int knn_scan_chunk_threaded(KnnScan* s, sqlite3_stmt* stmtChunks) {
  ScanHelpers* h = s->helpers.get();
  int rc =
      wait_for_helpers(s, [h] { return h->chunkTail - h->chunkHead < (uint64_t)h->numChunks; });
  if (rc == SQLITE_OK) rc = knn_scan_filter_chunk(s, stmtChunks);
  if (rc != SQLITE_OK) return rc;
  int numPieces = 0;
  for (int first = 0; first < s->size; first += s->pieceSlots) {
    int count = s->size - first < s->pieceSlots ? s->size - first : s->pieceSlots;
    numPieces += bitmap_any(s->candidates.get() + first / 8, count);
  }
  if (numPieces == 0) return SQLITE_OK;  // no candidate: nothing to merge
  int chunkIndex = (int)(h->chunkTail % h->numChunks);
  ScanChunk* c = &h->chunks.get()[chunkIndex];
  c->chunkId = s->chunkId;
  bitmap_copy(c->candidates, s->candidates.get(), s->size);
  c->selected = 0;
  c->ready.store(false);
  c->pending.store(numPieces);
  h->chunkTail++;
  for (int first = 0; first < s->size; first += s->pieceSlots) {
    int count = s->size - first < s->pieceSlots ? s->size - first : s->pieceSlots;
    if (!bitmap_any(c->candidates + first / 8, count)) continue;
    uint64_t number = h->nextPiece;
    ScanPiece* piece = &h->pieces.get()[number % h->numBuffers];
    rc = wait_for_helpers(s, [h, piece, number] {
      return number < (uint64_t)h->numBuffers || piece->done.load() > number - h->numBuffers;
    });
    if (rc == SQLITE_OK && s->cached) {
      piece->data = s->cached->vectors + first * s->vectorBytes;
    } else if (rc == SQLITE_OK) {
      piece->data = piece->vectors;
      rc = jix_blob_read(s->vectorsBlob.get(), piece->vectors, (int)(count * s->vectorBytes),
                         (int)(first * s->vectorBytes));
      if (rc != SQLITE_OK) {
        vtab_set_error(&s->p->base, "vectors blob read error for %lld", s->chunkId);
        return jix0_failure_code(rc);
      }
    }
    if (rc != SQLITE_OK) return rc;
    piece->chunk = chunkIndex;
    piece->first = first;
    piece->count = count;
    h->nextPiece = number + 1;
    h->published.store(number + 1);
    if (h->sleepers.load() > 0) {
      MutexLock lock(h->mutex);
      h->work.notify_one();
    }
  }
  // Merge what is ready, so that the helpers select against a recent top k.
  while (h->chunkHead < h->chunkTail && h->chunks.get()[h->chunkHead % h->numChunks].ready.load()) {
    rc = merge_oldest(s);
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}
#endif
