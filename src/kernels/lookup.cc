#include "kernels/lookup.h"

#include "kernels/kernels.h"

namespace {

// Typed kernels behind the untyped signatures of the table.
template <typename T, void (*Kernel)(const T*, const T*, size_t, size_t, const uint8_t*, float*)>
void batch(const void* query, const void* vectors, size_t d, size_t count,
           const uint8_t* candidates, float* out) {
  Kernel((const T*)query, (const T*)vectors, d, count, candidates, out);
}

template <typename T, typename R, R (*Kernel)(const T*, const T*, size_t)>
PairDistance real_pair(const void* a, const void* b, size_t d) {
  return {false, 0, (double)Kernel((const T*)a, (const T*)b, d)};
}

PairDistance l1_int8_pair(const void* a, const void* b, size_t d) {
  return {true, kernel_l1_int8((const int8_t*)a, (const int8_t*)b, d), 0};
}

constexpr DistanceKernels kL2Float32 = {batch<float, kernel_l2_float32_batch>,
                                        real_pair<float, float, kernel_l2_float32>};
constexpr DistanceKernels kL2Int8 = {batch<int8_t, kernel_l2_int8_batch>,
                                     real_pair<int8_t, float, kernel_l2_int8>};
constexpr DistanceKernels kL1Float32 = {batch<float, kernel_l1_float32_batch>,
                                        real_pair<float, double, kernel_l1_float32>};
constexpr DistanceKernels kL1Int8 = {batch<int8_t, kernel_l1_int8_batch>, l1_int8_pair};
constexpr DistanceKernels kCosineFloat32 = {batch<float, kernel_cosine_float32_batch>,
                                            real_pair<float, float, kernel_cosine_float32>};
constexpr DistanceKernels kCosineInt8 = {batch<int8_t, kernel_cosine_int8_batch>,
                                         real_pair<int8_t, float, kernel_cosine_int8>};
constexpr DistanceKernels kHammingBit = {batch<uint8_t, kernel_hamming_bit_batch>,
                                         real_pair<uint8_t, float, kernel_hamming_bit>};

struct Entry {
  DistanceMetric metric;
  VectorElementType type;
  const DistanceKernels* kernels;
};

constexpr Entry kTable[] = {
    {JIX0_DISTANCE_L2, JIX_ELEMENT_FLOAT32, &kL2Float32},
    {JIX0_DISTANCE_L2, JIX_ELEMENT_INT8, &kL2Int8},
    {JIX0_DISTANCE_L1, JIX_ELEMENT_FLOAT32, &kL1Float32},
    {JIX0_DISTANCE_L1, JIX_ELEMENT_INT8, &kL1Int8},
    {JIX0_DISTANCE_COSINE, JIX_ELEMENT_FLOAT32, &kCosineFloat32},
    {JIX0_DISTANCE_COSINE, JIX_ELEMENT_INT8, &kCosineInt8},
    {JIX0_DISTANCE_HAMMING, JIX_ELEMENT_BIT, &kHammingBit},
};

}  // namespace

const DistanceKernels* kernel_lookup(DistanceMetric metric, VectorElementType type) {
  for (const Entry& e : kTable) {
    if (e.metric == metric && e.type == type) return e.kernels;
  }
  return nullptr;
}
