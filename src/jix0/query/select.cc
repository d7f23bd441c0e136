// Straightforward top-k selection and merge.
#include "jix0/query/select.h"

#include "jix0/storage/bitmap.h"

int min_idx(const float* distances, int n, const uint8_t* candidates, int32_t* outIndexes, int k,
            uint8_t* taken, int* outCount) {
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
                        sqlite3_int64* outRowids, int capacity, int* outCount) {
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
      a++;
    } else {
      outDistances[out] = bDistances[bIndexes[b]];
      outRowids[out] = bRowids[bIndexes[b]];
      b++;
    }
    out++;
  }
  *outCount = out;
}
