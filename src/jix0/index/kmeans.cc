#include "jix0/index/kmeans.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "base/handles.h"
#include "kernels/kernels.h"
#include "kernels/lookup.h"

namespace {

// Iterations at most: enough for centroids whose lists split the data evenly.
constexpr int kIterations = 8;
// Below this many lists one level of k-means is cheap enough.
constexpr int kFlatLists = 64;
// Rounds over all lists after the two levels, and the coarse clusters each point looks in.
constexpr int kRefineRounds = 2;
constexpr int kNearGroups = 3;
// The bound of ivf_nearest pays only with enough work to skip.
constexpr size_t kMinPrefixDimensions = 8;
constexpr int kMinPrefixLists = 16;

// Lane blocks of `lists` centroids.
size_t lane_blocks(int lists) {
  return ((size_t)lists + kKernelLaneBlock - 1) / kKernelLaneBlock;
}

// The largest sum whose square root is at most limit, so that sum > ceiling says
// sqrtf(sum) > limit exactly; every sum passes a NaN limit.
float sqrt_ceiling(float limit) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  if (std::isnan(limit) || limit == kInf) return kInf;
  float x = limit * limit;
  while (x > 0 && sqrtf(x) > limit) x = std::nextafter(x, 0.0f);
  while (x < kInf && sqrtf(std::nextafter(x, kInf)) <= limit) x = std::nextafter(x, kInf);
  return x;
}

// The nearest of the L2 centroids, from the lane blocks; see IvfNearest.
int l2_nearest(IvfNearest* n, const float* vector) {
  const size_t blocks = lane_blocks(n->lists), d = n->d;
  float* sums = n->sums;
  uint8_t* measured = n->measured;
  memset(sums, 0, blocks * kKernelLaneBlock * sizeof(float));
  memset(measured, 1, blocks);
  float ceiling = 0;
  for (int k = 0; k < n->stages; k++) {
    const size_t from = n->stops[k], dims = n->stops[k + 1] - from;
    const float* stage = n->blocks + blocks * from * kKernelLaneBlock;
    // Runs of measured blocks go on together.
    for (size_t b = 0; b < blocks;) {
      if (!measured[b]) {
        b++;
        continue;
      }
      size_t e = b + 1;
      while (e < blocks && measured[e]) e++;
      kernel_l2_float32_lanes(vector + from, stage + b * dims * kKernelLaneBlock, dims, e - b, 0,
                              dims, sums + b * kKernelLaneBlock);
      b = e;
    }
    if (k + 1 == n->stages) break;
    if (k == 0) {
      // Any guess keeps the result exact; the nearest prefix is likely the nearest centroid.
      int guess = 0;
      for (int c = 1; c < n->lists; c++) {
        if (sums[c] < sums[guess]) guess = c;
      }
      float s = sums[guess];
      const float* centroid = n->centroids + (size_t)guess * d;
      for (size_t i = n->stops[1]; i < d; i++) {
        float t = centroid[i] - vector[i];
        s = s + t * t;
      }
      // A centroid at exactly the limit stays, so ties still go to the lowest list.
      ceiling = sqrt_ceiling(sqrtf(s));
    }
    for (size_t b = 0; b < blocks; b++) {
      if (!measured[b]) continue;
      const size_t end = std::min((b + 1) * kKernelLaneBlock, (size_t)n->lists);
      bool kept = false;
      for (size_t c = b * kKernelLaneBlock; c < end; c++) kept |= !(sums[c] > ceiling);
      measured[b] = kept;
    }
  }
  // ivf_argmin over the square roots of the measured centroids' sums: each one left out is
  // farther than the guess, which is measured. The smallest sum has the smallest root; the
  // first list whose root equals it wins.
  float least = std::numeric_limits<float>::quiet_NaN();
  for (size_t b = 0; b < blocks; b++) {
    if (!measured[b]) continue;
    const size_t end = std::min((b + 1) * kKernelLaneBlock, (size_t)n->lists);
    for (size_t c = b * kKernelLaneBlock; c < end; c++) {
      if (sums[c] < least || (std::isnan(least) && !std::isnan(sums[c]))) least = sums[c];
    }
  }
  if (std::isnan(least)) return 0;  // every distance NaN: every block was measured
  const float tie = sqrt_ceiling(sqrtf(least));
  for (size_t b = 0; b < blocks; b++) {
    if (!measured[b]) continue;
    const size_t end = std::min((b + 1) * kKernelLaneBlock, (size_t)n->lists);
    for (size_t c = b * kKernelLaneBlock; c < end; c++) {
      if (sums[c] <= tie) return (int)c;
    }
  }
  return 0;  // not reached: the smallest sum passes its own ceiling
}

}  // namespace

void ivf_distances(DistanceMetric metric, const float* vector, const float* others, size_t d,
                   size_t count, float* out) {
  // Indexes are declared only on float32 columns, whose metrics all have kernels.
  kernel_lookup(metric, JIX_ELEMENT_FLOAT32)->batch(vector, others, d, count, nullptr, out);
}

int ivf_argmin(const float* values, int n) {
  int best = 0;
  for (int i = 1; i < n; i++) {
    if (values[i] < values[best] || (std::isnan(values[best]) && !std::isnan(values[i]))) best = i;
  }
  return best;
}

int ivf_nearest_init(IvfNearest* n, DistanceMetric metric, const float* centroids, size_t d,
                     int lists) {
  *n = IvfNearest{};
  n->metric = metric;
  n->centroids = centroids;
  n->d = d;
  n->lists = lists;
  const sqlite3_uint64 count = lists > 0 ? (sqlite3_uint64)lists : 1;
  if (metric != JIX0_DISTANCE_L2) {
    n->distances = allocate_zeroed<float>(count).release();
    return n->distances ? SQLITE_OK : SQLITE_NOMEM;
  }
  // An eighth of the dimensions, then a quarter: on clustered data the first already rules out
  // most far centroids, the second nearly all the rest, at a quarter of their cost. Few
  // centroids or dimensions are measured in full at once.
  n->stops[0] = 0;
  if (d >= kMinPrefixDimensions * 4 && lists >= kMinPrefixLists) {
    n->stops[1] = d / 8;
    n->stops[2] = d / 4;
    n->stops[3] = d;
    n->stages = 3;
  } else {
    n->stops[1] = d;
    n->stages = 1;
  }
  const size_t blocks = lane_blocks((int)count);
  n->blocks = allocate_zeroed<float>(blocks * kKernelLaneBlock * d).release();
  n->sums = allocate_zeroed<float>(blocks * kKernelLaneBlock).release();
  n->measured = allocate_zeroed<uint8_t>(blocks).release();
  if (!n->blocks || !n->sums || !n->measured) {
    ivf_nearest_free(n);
    return SQLITE_NOMEM;
  }
  // Stage by stage, so that each stage reads one run of memory.
  for (int k = 0; k < n->stages; k++) {
    const size_t from = n->stops[k], dims = n->stops[k + 1] - from;
    float* stage = n->blocks + blocks * from * kKernelLaneBlock;
    for (int c = 0; c < lists; c++) {
      const size_t b = (size_t)c / kKernelLaneBlock, lane = (size_t)c % kKernelLaneBlock;
      for (size_t i = 0; i < dims; i++) {
        stage[(b * dims + i) * kKernelLaneBlock + lane] = centroids[(size_t)c * d + from + i];
      }
    }
  }
  return SQLITE_OK;
}

void ivf_nearest_free(IvfNearest* n) {
  sqlite3_free(n->blocks);
  sqlite3_free(n->sums);
  sqlite3_free(n->measured);
  sqlite3_free(n->distances);
  *n = IvfNearest{};
}

int ivf_nearest(IvfNearest* n, const float* vector) {
  if (n->metric == JIX0_DISTANCE_L2) return l2_nearest(n, vector);
  kernel_lookup(n->metric, JIX_ELEMENT_FLOAT32)
      ->batch(vector, n->centroids, n->d, (size_t)n->lists, nullptr, n->distances);
  return ivf_argmin(n->distances, n->lists);
}

void ivf_normalise(float* v, size_t d) {
  double sum = 0;
  for (size_t i = 0; i < d; i++) sum += (double)v[i] * v[i];
  if (sum <= 0 || !std::isfinite(sum)) return;
  float scale = (float)(1.0 / std::sqrt(sum));
  for (size_t i = 0; i < d; i++) v[i] *= scale;
}

namespace {

// Lloyd's k-means on the points members[0 .. n) of sample (every point in order when members
// is null), into `lists` centroids. Deterministic: the centroids start at evenly spaced
// points, and a list left empty takes the point farthest from its centroid (the lowest such
// point on ties). When assigned is given, it receives each point's nearest final centroid.
int lloyd(const float* sample, const int* members, sqlite3_int64 n, size_t d, bool spherical,
          int lists, float* centroids, int* assignedOut) {
  SqlitePtr<int> assigned = allocate_zeroed<int>((sqlite3_uint64)n);
  SqlitePtr<float> nearest = allocate_zeroed<float>((sqlite3_uint64)n);
  SqlitePtr<float> dist = allocate_zeroed<float>((sqlite3_uint64)lists);
  SqlitePtr<double> sums = allocate_zeroed<double>((sqlite3_uint64)lists * d);
  SqlitePtr<sqlite3_int64> counts = allocate_zeroed<sqlite3_int64>((sqlite3_uint64)lists);
  if (!assigned || !nearest || !dist || !sums || !counts) return SQLITE_NOMEM;
  auto point = [&](sqlite3_int64 j) { return sample + (size_t)(members ? members[j] : j) * d; };
  auto assign = [&](sqlite3_int64 j) {
    kernel_l2_float32_batch(point(j), centroids, d, (size_t)lists, nullptr, dist.get());
    int best = ivf_argmin(dist.get(), lists);
    nearest.get()[j] = dist.get()[best];
    return best;
  };
  for (int c = 0; c < lists; c++) {
    sqlite3_int64 j = (sqlite3_int64)((double)c * (double)n / (double)lists);
    memcpy(centroids + (size_t)c * d, point(j), d * sizeof(float));
  }
  bool converged = false;
  for (int iteration = 0; iteration < kIterations && !converged; iteration++) {
    bool changed = false;
    for (sqlite3_int64 j = 0; j < n; j++) {
      int best = assign(j);
      changed |= iteration == 0 || assigned.get()[j] != best;
      assigned.get()[j] = best;
    }
    if (!changed) {
      converged = true;
      break;
    }
    memset(sums.get(), 0, (size_t)lists * d * sizeof(double));
    memset(counts.get(), 0, (size_t)lists * sizeof(sqlite3_int64));
    for (sqlite3_int64 j = 0; j < n; j++) {
      double* sum = sums.get() + (size_t)assigned.get()[j] * d;
      const float* x = point(j);
      for (size_t i = 0; i < d; i++) sum[i] += x[i];
      counts.get()[assigned.get()[j]]++;
    }
    for (int c = 0; c < lists; c++) {
      float* centroid = centroids + (size_t)c * d;
      if (counts.get()[c] == 0) {
        sqlite3_int64 far = 0;
        for (sqlite3_int64 j = 1; j < n; j++) {
          if (nearest.get()[j] > nearest.get()[far]) far = j;
        }
        memcpy(centroid, point(far), d * sizeof(float));
        nearest.get()[far] = -1;  // not taken twice
        continue;
      }
      const double* sum = sums.get() + (size_t)c * d;
      for (size_t i = 0; i < d; i++) centroid[i] = (float)(sum[i] / (double)counts.get()[c]);
      if (spherical) ivf_normalise(centroid, d);
    }
  }
  if (assignedOut) {
    // The centroids moved after the last assignment unless it changed nothing.
    for (sqlite3_int64 j = 0; j < n; j++) {
      assignedOut[j] = converged ? assigned.get()[j] : assign(j);
    }
  }
  return SQLITE_OK;
}

// Splits `lists` lists among groups of the given sizes, in proportion (largest remainders,
// the lower group first on ties), every non-empty group at least one and none more than its
// size. REQUIRES: lists <= the sum of the sizes.
void share_lists(const sqlite3_int64* sizes, int groups, int lists, int* out) {
  sqlite3_int64 total = 0, nonEmpty = 0;
  for (int g = 0; g < groups; g++) {
    total += sizes[g];
    nonEmpty += sizes[g] > 0;
  }
  // Each non-empty group's one list first, the rest by size.
  const int rest = lists - (int)nonEmpty;
  int given = 0;
  for (int g = 0; g < groups; g++) {
    out[g] = sizes[g] > 0 ? 1 + (int)((double)rest * (double)sizes[g] / (double)total) : 0;
    if (out[g] > sizes[g]) out[g] = (int)sizes[g];
    given += out[g];
  }
  while (given < lists) {
    int best = -1;
    double bestShort = 0;
    for (int g = 0; g < groups; g++) {
      if (out[g] >= sizes[g]) continue;
      double want = (double)lists * (double)sizes[g] / (double)total;
      double shortBy = want - out[g];
      if (best < 0 || shortBy > bestShort) best = g, bestShort = shortBy;
    }
    out[best]++;
    given++;
  }
}

// Rounds of Lloyd's k-means over all the lists after the two levels, each point choosing
// among the lists of its kNearGroups nearest coarse clusters: points near a coarse boundary
// then reach the lists beyond it, at a few coarse clusters' cost rather than all lists'.
// The lists of group g are centroids [first of g, first of g + shares[g]); a list no point
// chose keeps its centroid.
int refine(const float* sample, sqlite3_int64 n, size_t d, bool spherical, const float* top,
           int coarse, const int* shares, int lists, float* centroids) {
  const int nearGroups = coarse < kNearGroups ? coarse : kNearGroups;
  SqlitePtr<int> first = allocate_zeroed<int>((sqlite3_uint64)coarse);
  SqlitePtr<float> coarseDist = allocate_zeroed<float>((sqlite3_uint64)coarse);
  SqlitePtr<float> dist = allocate_zeroed<float>((sqlite3_uint64)lists);
  SqlitePtr<int> assigned = allocate_zeroed<int>((sqlite3_uint64)n);
  SqlitePtr<double> sums = allocate_zeroed<double>((sqlite3_uint64)lists * d);
  SqlitePtr<sqlite3_int64> counts = allocate_zeroed<sqlite3_int64>((sqlite3_uint64)lists);
  if (!first || !coarseDist || !dist || !assigned || !sums || !counts) return SQLITE_NOMEM;
  for (int g = 1; g < coarse; g++) first.get()[g] = first.get()[g - 1] + shares[g - 1];
  for (int round = 0; round < kRefineRounds; round++) {
    for (sqlite3_int64 j = 0; j < n; j++) {
      const float* x = sample + (size_t)j * d;
      kernel_l2_float32_batch(x, top, d, (size_t)coarse, nullptr, coarseDist.get());
      int best = -1;
      for (int pick = 0; pick < nearGroups; pick++) {
        const int g = ivf_argmin(coarseDist.get(), coarse);
        coarseDist.get()[g] = INFINITY;  // not picked twice
        if (shares[g] == 0) continue;
        const int f = first.get()[g];
        float* out = dist.get() + f;
        kernel_l2_float32_batch(x, centroids + (size_t)f * d, d, (size_t)shares[g], nullptr, out);
        const int local = f + ivf_argmin(out, shares[g]);
        if (best < 0 || dist.get()[local] < dist.get()[best] ||
            (dist.get()[local] == dist.get()[best] && local < best)) {
          best = local;
        }
      }
      assigned.get()[j] = best < 0 ? 0 : best;
    }
    memset(sums.get(), 0, (size_t)lists * d * sizeof(double));
    memset(counts.get(), 0, (size_t)lists * sizeof(sqlite3_int64));
    for (sqlite3_int64 j = 0; j < n; j++) {
      double* sum = sums.get() + (size_t)assigned.get()[j] * d;
      const float* x = sample + (size_t)j * d;
      for (size_t i = 0; i < d; i++) sum[i] += x[i];
      counts.get()[assigned.get()[j]]++;
    }
    for (int c = 0; c < lists; c++) {
      if (counts.get()[c] == 0) continue;
      float* centroid = centroids + (size_t)c * d;
      const double* sum = sums.get() + (size_t)c * d;
      for (size_t i = 0; i < d; i++) centroid[i] = (float)(sum[i] / (double)counts.get()[c]);
      if (spherical) ivf_normalise(centroid, d);
    }
  }
  return SQLITE_OK;
}

}  // namespace

int ivf_kmeans_train(const VectorColumnDefinition& column, const float* sample, sqlite3_int64 n,
                     int lists, float* centroids) {
  const size_t d = column.dimensions;
  const bool spherical = column.distance_metric == JIX0_DISTANCE_COSINE;
  const int coarse = (int)std::lround(std::sqrt((double)lists));
  if (lists < kFlatLists || coarse < 2) {
    return lloyd(sample, nullptr, n, d, spherical, lists, centroids, nullptr);
  }
  // Two levels, so that training costs lists^1.5 rather than lists^2: coarse clusters of the
  // sample first, then each one's points split into its share of the lists.
  SqlitePtr<float> top = allocate_zeroed<float>((sqlite3_uint64)coarse * d);
  SqlitePtr<int> group = allocate_zeroed<int>((sqlite3_uint64)n);
  SqlitePtr<int> members = allocate_zeroed<int>((sqlite3_uint64)n);
  SqlitePtr<sqlite3_int64> sizes = allocate_zeroed<sqlite3_int64>((sqlite3_uint64)coarse + 1);
  SqlitePtr<int> shares = allocate_zeroed<int>((sqlite3_uint64)coarse);
  if (!top || !group || !members || !sizes || !shares) return SQLITE_NOMEM;
  int rc = lloyd(sample, nullptr, n, d, spherical, coarse, top.get(), group.get());
  if (rc != SQLITE_OK) return rc;
  // Points grouped by coarse cluster, in sample order within each.
  sqlite3_int64* start = sizes.get();
  for (sqlite3_int64 j = 0; j < n; j++) start[group.get()[j] + 1]++;
  share_lists(start + 1, coarse, lists, shares.get());
  for (int g = 0; g < coarse; g++) start[g + 1] += start[g];
  {
    SqlitePtr<sqlite3_int64> at = allocate_zeroed<sqlite3_int64>((sqlite3_uint64)coarse);
    if (!at) return SQLITE_NOMEM;
    memcpy(at.get(), start, (size_t)coarse * sizeof(sqlite3_int64));
    for (sqlite3_int64 j = 0; j < n; j++) members.get()[at.get()[group.get()[j]]++] = (int)j;
  }
  float* out = centroids;
  for (int g = 0; g < coarse; g++) {
    if (shares.get()[g] == 0) continue;
    rc = lloyd(sample, members.get() + start[g], start[g + 1] - start[g], d, spherical,
               shares.get()[g], out, nullptr);
    if (rc != SQLITE_OK) return rc;
    out += (size_t)shares.get()[g] * d;
  }
  return refine(sample, n, d, spherical, top.get(), coarse, shares.get(), lists, centroids);
}
