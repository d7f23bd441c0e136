// k-means training of the IVF centroids, and the vector math it shares with assignment.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/sqlite.h"
#include "jix0/declaration/declaration.h"

// Distances from one float32 vector to `count` vectors back to back, by the metric.
void ivf_distances(DistanceMetric metric, const float* vector, const float* others, size_t d,
                   size_t count, float* out);

// The first index of the smallest distance; NaN never wins, so a vector of NaNs gets list 0.
int ivf_argmin(const float* values, int n);

// The nearest of `lists` centroids to a vector: the list ivf_distances and ivf_argmin give, with
// less arithmetic under L2. There the centroids are kept as lane blocks
// (kernel_l2_float32_lanes), and a distance's running sum only grows with each dimension, so the
// sum over the first dimensions is a lower bound of the whole one, bit for bit. The sums run in
// stages of dimensions: after the first, the centroid whose sum is least is measured in full,
// and after each stage the blocks in which every sum already exceeds that are dropped; the rest
// go on from their sums. Its buffers are made once, so a search allocates nothing. Plain data:
// zero-initialise, ivf_nearest_free after. Every path gives the same list, so the choice
// between them is free to follow the data.
struct IvfNearest {
  DistanceMetric metric;
  const float* centroids;  // not owned: lists * d, list by list
  size_t d;
  int lists;
  int stages;  // L2: stage k covers dimensions stops[k] .. stops[k + 1]; 1: no bound
  size_t stops[4];
  float* blocks;      // L2: stage by stage, the centroids' dimensions of the stage as lane
                      // blocks; the last block's spare lanes zero
  float* sums;        // L2: each lane's running sum, the search's scratch
  uint8_t* measured;  // L2: block b is still measured
  float* distances;   // other metrics: the search's scratch
};

// Prepares n for centroids, which must stay in place while n is used. SQLITE_NOMEM.
[[nodiscard]] int ivf_nearest_init(IvfNearest* n, DistanceMetric metric, const float* centroids,
                                   size_t d, int lists);
void ivf_nearest_free(IvfNearest* n);
// The nearest centroid's list. REQUIRES: n->lists > 0.
int ivf_nearest(IvfNearest* n, const float* vector);

// Scales v to unit length; a zero or non-finite vector stays as it is.
void ivf_normalise(float* v, size_t d);

// Lloyd's k-means on the sample, L2 (spherical for cosine: points and centroids of unit
// length). From 64 lists on it trains in two levels, so that its cost grows with lists^1.5:
// round(sqrt(lists)) coarse clusters, each split into a share of the lists in proportion to
// its points, then two rounds over all lists in which each point looks only at the lists of
// its three nearest coarse clusters. Deterministic: the centroids start at evenly spaced
// sample points, and a list left empty takes the point farthest from its centroid (the
// lowest such point on ties).
[[nodiscard]] int ivf_kmeans_train(const VectorColumnDefinition& column, const float* sample,
                                   sqlite3_int64 n, int lists, float* centroids);
