// The heap selection against the k-pass reference, alone and as the chunk loop uses it (a
// bound from the full running top k, merges skipped for empty selections), on random data
// full of ties, signed zeros, infinities and NaNs.
#include "base/select.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <vector>

namespace {

// Few distinct values, so most distances tie with others; NaNs of both signs and payloads.
std::vector<float> RandomDistances(std::mt19937& rng, int n, int distinct) {
  const float kSpecial[] = {0.0f,
                            -0.0f,
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::denorm_min(),
                            -1.5f,
                            std::bit_cast<float>(0x7FC00000u),
                            std::bit_cast<float>(0xFFC00001u),
                            std::bit_cast<float>(0x7F800001u)};
  std::uniform_int_distribution<int> pick(0, distinct - 1), special(0, std::size(kSpecial) - 1),
      coin(0, 9);
  std::vector<float> d((size_t)n);
  for (float& x : d) x = coin(rng) == 0 ? kSpecial[special(rng)] : 0.25f * (float)pick(rng);
  return d;
}

std::vector<uint8_t> RandomCandidates(std::mt19937& rng, int n, int percent) {
  std::uniform_int_distribution<int> roll(0, 99);
  std::vector<uint8_t> c((size_t)n / 8, 0);
  for (int i = 0; i < n; i++)
    if (roll(rng) < percent) c[(size_t)i / 8] |= (uint8_t)(1u << (i % 8));
  return c;
}

struct Selection {
  int count;
  std::vector<int32_t> slots;
  bool operator==(const Selection& o) const { return count == o.count && slots == o.slots; }
};

Selection Select(bool fast, const std::vector<float>& d, const std::vector<uint8_t>& c, int k) {
  int n = (int)d.size();
  std::vector<int32_t> out((size_t)k, -1);
  std::vector<uint8_t> taken((size_t)n / 8);
  int count = -1;
  (fast ? min_idx : min_idx_reference)(d.data(), n, c.data(), out.data(), k, taken.data(), &count);
  out.resize((size_t)std::max(count, 0));
  return {count, out};
}

struct SizeCase {
  int n;
  int distinct;  // distinct ordinary distances
  int percent;   // candidates
};

constexpr SizeCase kSizes[] = {
    {8, 2, 100},   {8, 3, 50},    {16, 1, 100},   {64, 4, 90},   {72, 3, 70},    {128, 2, 10},
    {1024, 5, 95}, {1024, 40, 3}, {1024, 1, 100}, {4096, 8, 60}, {256, 1000, 0}, {256, 1000, 100},
};

TEST(Jix0Select, HeapSelectionEqualsReferenceOnTiesAndSpecialValues) {
  std::mt19937 rng(424242);
  for (const SizeCase& size : kSizes) {
    for (int round = 0; round < 8; round++) {
      std::vector<float> d = RandomDistances(rng, size.n, size.distinct);
      std::vector<uint8_t> c = RandomCandidates(rng, size.n, size.percent);
      for (int k : {1, 2, 3, 10, size.n / 2, size.n - 1, size.n}) {
        if (k < 1 || k > size.n) continue;
        SCOPED_TRACE(testing::Message() << "n=" << size.n << " distinct=" << size.distinct
                                        << " percent=" << size.percent << " k=" << k);
        ASSERT_EQ(Select(true, d, c, k), Select(false, d, c, k));
      }
    }
  }
}

TEST(Jix0Select, BoundLeavesOutSlotsThatDoNotOrderStrictlyBeforeIt) {
  std::mt19937 rng(99);
  const float kBounds[] = {0.0f,
                           -0.0f,
                           0.5f,
                           1.0f,
                           std::numeric_limits<float>::infinity(),
                           -std::numeric_limits<float>::infinity(),
                           std::numeric_limits<float>::quiet_NaN()};
  for (const SizeCase& size : kSizes) {
    std::vector<float> d = RandomDistances(rng, size.n, size.distinct);
    std::vector<uint8_t> c = RandomCandidates(rng, size.n, size.percent);
    for (float bound : kBounds) {
      // The reference: the candidates strictly before the bound, selected by k passes.
      std::vector<uint8_t> before = c;
      for (int i = 0; i < size.n; i++)
        if (jix0_distance_le(bound, d[(size_t)i])) before[(size_t)i / 8] &= ~(1u << (i % 8));
      for (int k : {1, 4, size.n}) {
        if (k > size.n) continue;
        SCOPED_TRACE(testing::Message() << "n=" << size.n << " bound=" << bound << " k=" << k);
        std::vector<int32_t> out((size_t)k);
        int count = -1;
        min_idx_before(d.data(), size.n, c.data(), out.data(), k, &bound, &count);
        out.resize((size_t)count);
        ASSERT_EQ((Selection{count, out}), Select(false, d, before, k));
      }
    }
  }
}

// A whole search over several chunks, the rowid of slot s in chunk c being c * n + s.
struct Result {
  std::vector<sqlite3_int64> rowids;
  std::vector<uint32_t> distanceBits;
  bool operator==(const Result& o) const {
    return rowids == o.rowids && distanceBits == o.distanceBits;
  }
};

Result Search(bool fast, const std::vector<std::vector<float>>& chunks,
              const std::vector<std::vector<uint8_t>>& candidates, int k) {
  int n = (int)chunks[0].size();
  int perChunk = std::min(k, n);
  std::vector<float> top((size_t)k), merged((size_t)k);
  std::vector<sqlite3_int64> topRowids((size_t)k), mergedRowids((size_t)k), rowids((size_t)n);
  std::vector<int32_t> best((size_t)perChunk);
  std::vector<uint8_t> taken((size_t)n / 8);
  int topCount = 0;
  for (size_t chunk = 0; chunk < chunks.size(); chunk++) {
    for (int s = 0; s < n; s++) rowids[(size_t)s] = (sqlite3_int64)chunk * n + s;
    int selected = 0;
    if (fast) {
      const float* bound = topCount == k ? &top[(size_t)k - 1] : nullptr;
      min_idx_before(chunks[chunk].data(), n, candidates[chunk].data(), best.data(), perChunk,
                     bound, &selected);
      if (selected == 0) continue;
    } else {
      min_idx_reference(chunks[chunk].data(), n, candidates[chunk].data(), best.data(), perChunk,
                        taken.data(), &selected);
    }
    merge_sorted_lists(top.data(), topRowids.data(), topCount, chunks[chunk].data(), rowids.data(),
                       best.data(), selected, merged.data(), mergedRowids.data(), k, &topCount);
    std::swap(top, merged);
    std::swap(topRowids, mergedRowids);
  }
  Result r;
  for (int i = 0; i < topCount; i++) {
    r.rowids.push_back(topRowids[(size_t)i]);
    r.distanceBits.push_back(std::bit_cast<uint32_t>(top[(size_t)i]));
  }
  return r;
}

TEST(Jix0Select, ChunkLoopWithBoundEqualsReferenceLoop) {
  std::mt19937 rng(2024);
  const int kChunkCases[][3] = {
      // slots per chunk, chunks, distinct distances
      {8, 30, 2}, {8, 30, 6}, {64, 12, 3}, {64, 12, 50}, {1024, 4, 7},
  };
  for (const auto& chunkCase : kChunkCases) {
    int n = chunkCase[0], numChunks = chunkCase[1], distinct = chunkCase[2];
    std::vector<std::vector<float>> chunks;
    std::vector<std::vector<uint8_t>> candidates;
    for (int i = 0; i < numChunks; i++) {
      chunks.push_back(RandomDistances(rng, n, distinct));
      candidates.push_back(RandomCandidates(rng, n, i % 5 == 3 ? 0 : 80));
    }
    for (int k : {1, 3, 10, 100, 4096}) {
      SCOPED_TRACE(testing::Message() << "n=" << n << " chunks=" << numChunks
                                      << " distinct=" << distinct << " k=" << k);
      ASSERT_EQ(Search(true, chunks, candidates, k), Search(false, chunks, candidates, k));
    }
  }
}

}  // namespace
