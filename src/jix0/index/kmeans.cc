#include "jix0/index/kmeans.h"

#include <cmath>
#include <cstring>

#include "base/handles.h"
#include "kernels/kernels.h"
#include "kernels/lookup.h"

namespace {

// Iterations at most: enough for centroids whose lists split the data evenly.
constexpr int kIterations = 8;

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
