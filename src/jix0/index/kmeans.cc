#include "jix0/index/kmeans.h"

#include <cmath>
#include <cstring>

#include "base/handles.h"
#include "kernels/kernels.h"
#include "kernels/lookup.h"

namespace {

// Iterations at most: enough for centroids whose lists split the data evenly.
constexpr int kIterations = 8;
// The bound of ivf_nearest pays only with enough work to skip.
constexpr size_t kMinPrefixDimensions = 8;
constexpr int kMinPrefixLists = 16;
// Searches measured in full after one where the bound kept more than half the centroids.
constexpr int kUnboundedSearches = 32;

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
  // A quarter of the dimensions: on clustered data the bound already rules out nearly every
  // far centroid, at a quarter of their cost. Few centroids or dimensions are measured in full.
  if (metric == JIX0_DISTANCE_L2 && d >= kMinPrefixDimensions * 4 && lists >= kMinPrefixLists) {
    n->prefix = d / 4;
  }
  const sqlite3_uint64 count = lists > 0 ? (sqlite3_uint64)lists : 1;
  n->distances = allocate_zeroed<float>(count).release();
  if (!n->distances) return SQLITE_NOMEM;
  if (n->prefix == 0) return SQLITE_OK;
  n->prefixes = allocate_zeroed<float>(count * n->prefix).release();
  n->bounds = allocate_zeroed<float>(count).release();
  n->measured = allocate_zeroed<uint8_t>((count + 7) / 8).release();
  n->kept = allocate_zeroed<int>(count).release();
  if (!n->prefixes || !n->bounds || !n->measured || !n->kept) {
    ivf_nearest_free(n);
    return SQLITE_NOMEM;
  }
  for (int c = 0; c < lists; c++) {
    memcpy(n->prefixes + (size_t)c * n->prefix, centroids + (size_t)c * d,
           n->prefix * sizeof(float));
  }
  return SQLITE_OK;
}

void ivf_nearest_free(IvfNearest* n) {
  sqlite3_free(n->prefixes);
  sqlite3_free(n->bounds);
  sqlite3_free(n->distances);
  sqlite3_free(n->measured);
  sqlite3_free(n->kept);
  *n = IvfNearest{};
}

int ivf_nearest(IvfNearest* n, const float* vector) {
  const BatchKernel batch = kernel_lookup(n->metric, JIX_ELEMENT_FLOAT32)->batch;
  if (n->prefix == 0 || n->unbounded > 0) {
    if (n->unbounded > 0) n->unbounded--;
    batch(vector, n->centroids, n->d, (size_t)n->lists, nullptr, n->distances);
    return ivf_argmin(n->distances, n->lists);
  }
  batch(vector, n->prefixes, n->prefix, (size_t)n->lists, nullptr, n->bounds);
  const int guess = ivf_argmin(n->bounds, n->lists);
  float limit;
  batch(vector, n->centroids + (size_t)guess * n->d, n->d, 1, nullptr, &limit);
  // A NaN limit rules nothing out; a centroid at exactly the limit stays, so ties still go
  // to the lowest list.
  memset(n->measured, 0, ((size_t)n->lists + 7) / 8);
  int kept = 0;
  for (int c = 0; c < n->lists; c++) {
    if (n->bounds[c] > limit) continue;
    n->measured[c / 8] |= (uint8_t)(1u << (c % 8));
    n->kept[kept++] = c;
  }
  if (kept > n->lists / 2) n->unbounded = kUnboundedSearches;
  batch(vector, n->centroids, n->d, (size_t)n->lists, n->measured, n->distances);
  // ivf_argmin over the measured centroids: each one left out is farther than the limit,
  // which a measured one reaches.
  const float* distances = n->distances;
  int best = n->kept[0];
  for (int i = 1; i < kept; i++) {
    const int c = n->kept[i];
    if (distances[c] < distances[best] ||
        (std::isnan(distances[best]) && !std::isnan(distances[c]))) {
      best = c;
    }
  }
  return best;
}

void ivf_normalise(float* v, size_t d) {
  double sum = 0;
  for (size_t i = 0; i < d; i++) sum += (double)v[i] * v[i];
  if (sum <= 0 || !std::isfinite(sum)) return;
  float scale = (float)(1.0 / std::sqrt(sum));
  for (size_t i = 0; i < d; i++) v[i] *= scale;
}

int ivf_kmeans_train(const VectorColumnDefinition& column, const float* sample, sqlite3_int64 n,
                     int lists, float* centroids) {
  const size_t d = column.dimensions;
  const bool spherical = column.distance_metric == JIX0_DISTANCE_COSINE;
  SqlitePtr<int> assigned = allocate_zeroed<int>((sqlite3_uint64)n);
  SqlitePtr<float> nearest = allocate_zeroed<float>((sqlite3_uint64)n);
  SqlitePtr<float> dist = allocate_zeroed<float>((sqlite3_uint64)lists);
  SqlitePtr<double> sums = allocate_zeroed<double>((sqlite3_uint64)lists * d);
  SqlitePtr<sqlite3_int64> counts = allocate_zeroed<sqlite3_int64>((sqlite3_uint64)lists);
  if (!assigned || !nearest || !dist || !sums || !counts) return SQLITE_NOMEM;
  for (int c = 0; c < lists; c++) {
    sqlite3_int64 j = (sqlite3_int64)((double)c * (double)n / (double)lists);
    memcpy(centroids + (size_t)c * d, sample + (size_t)j * d, d * sizeof(float));
  }
  for (int iteration = 0; iteration < kIterations; iteration++) {
    bool changed = false;
    for (sqlite3_int64 j = 0; j < n; j++) {
      kernel_l2_float32_batch(sample + (size_t)j * d, centroids, d, (size_t)lists, nullptr,
                              dist.get());
      int best = ivf_argmin(dist.get(), lists);
      changed |= iteration == 0 || assigned.get()[j] != best;
      assigned.get()[j] = best;
      nearest.get()[j] = dist.get()[best];
    }
    if (!changed) break;
    memset(sums.get(), 0, (size_t)lists * d * sizeof(double));
    memset(counts.get(), 0, (size_t)lists * sizeof(sqlite3_int64));
    for (sqlite3_int64 j = 0; j < n; j++) {
      double* sum = sums.get() + (size_t)assigned.get()[j] * d;
      const float* point = sample + (size_t)j * d;
      for (size_t x = 0; x < d; x++) sum[x] += point[x];
      counts.get()[assigned.get()[j]]++;
    }
    for (int c = 0; c < lists; c++) {
      float* centroid = centroids + (size_t)c * d;
      if (counts.get()[c] == 0) {
        sqlite3_int64 far = 0;
        for (sqlite3_int64 j = 1; j < n; j++) {
          if (nearest.get()[j] > nearest.get()[far]) far = j;
        }
        memcpy(centroid, sample + (size_t)far * d, d * sizeof(float));
        nearest.get()[far] = -1;  // not taken twice
        continue;
      }
      const double* sum = sums.get() + (size_t)c * d;
      for (size_t x = 0; x < d; x++) centroid[x] = (float)(sum[x] / (double)counts.get()[c]);
      if (spherical) ivf_normalise(centroid, d);
    }
  }
  return SQLITE_OK;
}
