// Top-k selection: picking a chunk's best candidates and merging them into the running
// result. Ties: within one selection the highest slot wins; in a merge the entry already in
// the running result stays ahead. NaN distances order after every real distance (and equal
// to each other), so they never push a real neighbour out of the top k.
#pragma once

#include <cstdint>

#include "base/sqlite.h"

// True when distance a orders before b or ties with it.
inline bool jix0_distance_le(float a, float b) {
  if (b != b) return true;   // everything orders before or ties with NaN
  if (a != a) return false;  // NaN orders after every real distance
  return a <= b;
}

// Writes to outIndexes the slots of the k smallest distances among the candidate bits of
// n slots, ascending. taken is scratch of n bits (only the reference uses it).
// O(n log k) with a bounded heap held in outIndexes.
// REQUIRES: 0 < k <= n, n % 8 == 0, all n distances initialised (a non-candidate's value is
// read alongside its neighbours' and then ignored).
int min_idx(const float* distances, int n, const uint8_t* candidates, int32_t* outIndexes, int k,
            uint8_t* taken, int* outCount);

// min_idx restricted to the candidates whose distance orders strictly before *bound (none
// when bound is null). Once the running top k is full, a slot that only ties its last entry
// can never enter it, because the entry already there wins the tie; leaving such slots out
// keeps the heap to the few slots that can.
int min_idx_before(const float* distances, int n, const uint8_t* candidates, int32_t* outIndexes,
                   int k, const float* bound, int* outCount);

// The straightforward selection: k passes over the n slots, each taking the smallest
// remaining distance, the highest slot among equals. The definition min_idx must match.
int min_idx_reference(const float* distances, int n, const uint8_t* candidates, int32_t* outIndexes,
                      int k, uint8_t* taken, int* outCount);

// Where the entries of a merge are stored, carried along with their rowids: A's entries have
// theirs in aChunks/aSlots, B's all lie in chunk bChunk at the slot of their index.
struct MergePlaces {
  const sqlite3_int64* aChunks;
  const int32_t* aSlots;
  sqlite3_int64 bChunk;
  sqlite3_int64* outChunks;
  int32_t* outSlots;
};

// Merges ascending list A (running top-k) with ascending list B (reached through bIndexes)
// into at most capacity entries; carries the places too when places is not null.
void merge_sorted_lists(const float* aDistances, const sqlite3_int64* aRowids, int aCount,
                        const float* bDistances, const sqlite3_int64* bRowids,
                        const int32_t* bIndexes, int bCount, float* outDistances,
                        sqlite3_int64* outRowids, int capacity, int* outCount,
                        const MergePlaces* places = nullptr);
