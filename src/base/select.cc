// Top-k selection with a bounded heap, its straightforward reference, and the merge.
#include "base/select.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/bitmap.h"

namespace {

// Maps a distance to an unsigned key in the order of jix0_distance_le: negative and positive
// zero tie, NaN of any sign or payload ties other NaNs and follows +infinity.
inline uint32_t distance_key(float d) {
  if (d != d) return 0xFFFFFFFFu;
  uint32_t bits = std::bit_cast<uint32_t>(d);
  if (bits == 0x80000000u) bits = 0;
  return (bits & 0x80000000u) ? ~bits : bits | 0x80000000u;
}

// One key per slot, unique and in selection order: distance first, then the higher slot.
// Slots are below 2^31, so no key is all ones and UINT64_MAX bounds nothing.
inline uint64_t slot_key(const float* distances, int32_t slot) {
  return (uint64_t)distance_key(distances[slot]) << 32 | (uint32_t)(0x7FFFFFFF - slot);
}

// heap[0, count) is a max-heap by slot_key: its root is the slot that orders last.
void sift_down(const float* distances, int32_t* heap, int count, int i) {
  int32_t slot = heap[i];
  uint64_t key = slot_key(distances, slot);
  for (;;) {
    int child = 2 * i + 1;
    if (child >= count) break;
    uint64_t childKey = slot_key(distances, heap[child]);
    if (child + 1 < count) {
      uint64_t rightKey = slot_key(distances, heap[child + 1]);
      if (rightKey > childKey) {
        child++;
        childKey = rightKey;
      }
    }
    if (childKey <= key) break;
    heap[i] = heap[child];
    i = child;
  }
  heap[i] = slot;
}

void sift_up(const float* distances, int32_t* heap, int i) {
  int32_t slot = heap[i];
  uint64_t key = slot_key(distances, slot);
  while (i > 0) {
    int parent = (i - 1) / 2;
    if (slot_key(distances, heap[parent]) >= key) break;
    heap[i] = heap[parent];
    i = parent;
  }
  heap[i] = slot;
}

// Bit j is set when distances[j] <= t, for the 8 distances from `distances`; NaN compares false.
inline unsigned le_mask8(const float* distances, float t) {
#if defined(__SSE2__)
  __m128 tv = _mm_set1_ps(t);
  unsigned lo = (unsigned)_mm_movemask_ps(_mm_cmple_ps(_mm_loadu_ps(distances), tv));
  unsigned hi = (unsigned)_mm_movemask_ps(_mm_cmple_ps(_mm_loadu_ps(distances + 4), tv));
  return lo | hi << 4;
#else
  unsigned m = 0;
  for (int j = 0; j < 8; j++) m |= (unsigned)(distances[j] <= t) << j;
  return m;
#endif
}

}  // namespace

int min_idx_before(const float* distances, int n, const uint8_t* candidates, int32_t* outIndexes,
                   int k, const float* bound, int* outCount) {
  JIX_ASSERT(k > 0);
  JIX_ASSERT(k <= n);
  // A slot is taken only with a key below limit: first the bound (a slot tying it has a key
  // above bound << 32), then, once the heap is full, the key of its root.
  uint64_t limit = bound ? (uint64_t)distance_key(*bound) << 32 : UINT64_MAX;
  // Cheap first test, eight slots at a time: a slot below limit has a distance <= the
  // limit's. With a NaN limit every distance passes it, so it is skipped.
  bool screen = bound && *bound == *bound;
  float screenDistance = bound ? *bound : 0;
  auto set_limit = [&](int32_t root) {
    limit = slot_key(distances, root);
    screenDistance = distances[root];
    screen = screenDistance == screenDistance;
  };
  int count = 0;
  const int bytes = n / 8;
  for (int b = 0; b < bytes; b += 8) {
    int wordBytes = bytes - b < 8 ? bytes - b : 8;
    uint64_t word = 0;
    memcpy(&word, candidates + b, (size_t)wordBytes);
    if (word == 0) continue;
    if (screen) {
      uint64_t pass = 0;
      for (int j = 0; j < wordBytes; j++) {
        if ((word >> (8 * j)) & 0xFF) {
          pass |= (uint64_t)le_mask8(distances + (b + j) * 8, screenDistance) << (8 * j);
        }
      }
      word &= pass;
    }
    while (word != 0) {
      int32_t slot = b * 8 + std::countr_zero(word);
      word &= word - 1;
      uint64_t key = slot_key(distances, slot);
      if (key >= limit) continue;
      if (count < k) {
        outIndexes[count] = slot;
        sift_up(distances, outIndexes, count++);
        if (count == k) set_limit(outIndexes[0]);
      } else {
        outIndexes[0] = slot;
        sift_down(distances, outIndexes, count, 0);
        set_limit(outIndexes[0]);
      }
    }
  }
  // Heap sort: the root, the last in order, goes to the end each time.
  for (int end = count - 1; end > 0; end--) {
    int32_t last = outIndexes[0];
    outIndexes[0] = outIndexes[end];
    outIndexes[end] = last;
    sift_down(distances, outIndexes, end, 0);
  }
  *outCount = count;
  return 0;
}

int min_idx(const float* distances, int n, const uint8_t* candidates, int32_t* outIndexes, int k,
            uint8_t*, int* outCount) {
  return min_idx_before(distances, n, candidates, outIndexes, k, nullptr, outCount);
}

int min_idx_reference(const float* distances, int n, const uint8_t* candidates, int32_t* outIndexes,
                      int k, uint8_t* taken, int* outCount) {
  JIX_ASSERT(k > 0);
  JIX_ASSERT(k <= n);
  bitmap_clear(taken, n);
  for (int i = 0; i < k; i++) {
    int j = -1;
    for (int s = 0; s < n; s++) {
      if (bitmap_get(candidates, s) && !bitmap_get(taken, s)) {
        j = s;
        break;
      }
    }
    if (j < 0) {
      *outCount = i;
      return 0;
    }
    for (int s = 0; s < n; s++) {
      if (bitmap_get(candidates, s) && !bitmap_get(taken, s) &&
          jix0_distance_le(distances[s], distances[j])) {
        j = s;
      }
    }
    outIndexes[i] = j;
    bitmap_set(taken, j, 1);
  }
  *outCount = k;
  return 0;
}

void merge_sorted_lists(const float* aDistances, const sqlite3_int64* aRowids, int aCount,
                        const float* bDistances, const sqlite3_int64* bRowids,
                        const int32_t* bIndexes, int bCount, float* outDistances,
                        sqlite3_int64* outRowids, int capacity, int* outCount,
                        const MergePlaces* places) {
  int a = 0, b = 0, out = 0;
  while (out < capacity && (a < aCount || b < bCount)) {
    bool takeA;
    if (a < aCount && b >= bCount)
      takeA = true;
    else if (b < bCount && a >= aCount)
      takeA = false;
    else
      takeA = jix0_distance_le(aDistances[a], bDistances[bIndexes[b]]);
    if (takeA) {
      outDistances[out] = aDistances[a];
      outRowids[out] = aRowids[a];
      if (places) {
        places->outChunks[out] = places->aChunks[a];
        places->outSlots[out] = places->aSlots[a];
      }
      a++;
    } else {
      outDistances[out] = bDistances[bIndexes[b]];
      outRowids[out] = bRowids[bIndexes[b]];
      if (places) {
        places->outChunks[out] = places->bChunk;
        places->outSlots[out] = bIndexes[b];
      }
      b++;
    }
    out++;
  }
  *outCount = out;
}
