// The one kernel lookup: the distance kernels of a (metric, element type) pair, for the KNN
// scan, the index and the SQL distance functions alike. Adding a metric or an element
// type means a row in the table of lookup.cc and its kernels.
#pragma once

#include <cstddef>
#include <cstdint>

// Each value is also the SQLite subtype attached to vector results of that type.
enum VectorElementType : int {
  JIX_ELEMENT_FLOAT32 = 223,
  JIX_ELEMENT_BIT = 224,
  JIX_ELEMENT_INT8 = 225,
};

// The values of the first three are the ones table declarations are read into.
enum DistanceMetric : int {
  JIX0_DISTANCE_L2 = 1,
  JIX0_DISTANCE_COSINE = 2,
  JIX0_DISTANCE_L1 = 3,
  JIX0_DISTANCE_HAMMING = 4,
};

// A batch kernel (kernels.h) over vectors of the pair's element type; d counts elements,
// bits for bit vectors.
using BatchKernel = void (*)(const void* query, const void* vectors, size_t d, size_t count,
                             const uint8_t* candidates, float* out);

// A pair kernel's value as SQL returns it: an integer (L1 over int8) or a real.
struct PairDistance {
  bool isInteger;
  int64_t integer;
  double real;
};
using PairKernel = PairDistance (*)(const void* a, const void* b, size_t d);

struct DistanceKernels {
  BatchKernel batch;
  PairKernel pair;
};

// The kernels of metric over element type, or null when the metric does not apply to it.
const DistanceKernels* kernel_lookup(DistanceMetric metric, VectorElementType type);
