// k-means training of the IVF centroids, and the vector math it shares with assignment.
#pragma once

#include <cstddef>

#include "base/sqlite.h"
#include "jix0/declaration/declaration.h"

// Distances from one float32 vector to `count` vectors back to back, by the metric.
void ivf_distances(DistanceMetric metric, const float* vector, const float* others, size_t d,
                   size_t count, float* out);

// The first index of the smallest distance; NaN never wins, so a vector of NaNs gets list 0.
int ivf_argmin(const float* values, int n);

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
