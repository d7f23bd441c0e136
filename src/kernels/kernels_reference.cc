// Scalar reference kernels: the exact definitions of every distance.
#include <cmath>
#include <cstring>

#include "kernels/kernels.h"
#include "kernels/kernels_batch.h"
#include "kernels/kernels_simd.h"

float kernel_l2_float32(const float* a, const float* b, size_t d) {
  float s = 0;
  for (size_t i = 0; i < d; i++) {
    float t = a[i] - b[i];
    s = s + t * t;
  }
  return sqrtf(s);
}

float kernel_l2_int8(const int8_t* a, const int8_t* b, size_t d) {
  float s = 0;
  for (size_t i = 0; i < d; i++) {
    float t = (float)((int)a[i] - (int)b[i]);
    s = s + t * t;
  }
  return sqrtf(s);
}

double kernel_l1_float32(const float* a, const float* b, size_t d) {
  double s = 0;
  for (size_t i = 0; i < d; i++) s = s + fabs((double)a[i] - (double)b[i]);
  return s;
}

// Integer sums are exact in any grouping, so the compiler may vectorise freely.
int32_t kernel_l1_int8(const int8_t* a, const int8_t* b, size_t d) {
  int32_t s = 0;
  for (size_t i = 0; i < d; i++) s += abs((int)a[i] - (int)b[i]);
  return s;
}

float kernel_cosine_float32(const float* a, const float* b, size_t d) {
  float dot = 0, aa = 0, bb = 0;
  for (size_t i = 0; i < d; i++) {
    dot = dot + a[i] * b[i];
    aa = aa + a[i] * a[i];
    bb = bb + b[i] * b[i];
  }
  return kernel_cosine_finish(dot, aa, bb);
}

float kernel_cosine_int8(const int8_t* a, const int8_t* b, size_t d) {
  float dot = 0, aa = 0, bb = 0;
  for (size_t i = 0; i < d; i++) {
    dot = dot + (float)((int)a[i] * (int)b[i]);
    aa = aa + (float)((int)a[i] * (int)a[i]);
    bb = bb + (float)((int)b[i] * (int)b[i]);
  }
  return kernel_cosine_finish(dot, aa, bb);
}

float kernel_hamming_bit(const uint8_t* a, const uint8_t* b, size_t d) {
  size_t bytes = d / 8;
  uint32_t count = 0;
  if (d % 64 == 0) {
    for (size_t i = 0; i < bytes; i += 8) {
      uint64_t x, y;
      memcpy(&x, a + i, 8);
      memcpy(&y, b + i, 8);
      count += (uint32_t)__builtin_popcountll(x ^ y);
    }
  } else {
    for (size_t i = 0; i < bytes; i++)
      count += (uint32_t)__builtin_popcount((unsigned)(a[i] ^ b[i]));
  }
  return (float)count;
}

// Batch references: the pair kernel on every candidate, stored vector first.
static bool is_candidate(const uint8_t* candidates, size_t i) {
  return candidates == nullptr || (candidates[i / 8] >> (i % 8)) & 1;
}

void kernel_l2_float32_batch_reference(const float* query, const float* vectors, size_t d,
                                       size_t count, const uint8_t* candidates, float* out) {
  for (size_t i = 0; i < count; i++)
    if (is_candidate(candidates, i)) out[i] = kernel_l2_float32(vectors + i * d, query, d);
}

void kernel_l2_float32_lanes_reference(const float* query, const float* blocks, size_t d,
                                       size_t count, size_t from, size_t to, float* sums) {
  for (size_t j = 0; j < count * kKernelLaneBlock; j++) {
    const float* block = blocks + j / kKernelLaneBlock * d * kKernelLaneBlock;
    float s = sums[j];
    for (size_t i = from; i < to; i++) {
      float t = block[i * kKernelLaneBlock + j % kKernelLaneBlock] - query[i];
      s = s + t * t;
    }
    sums[j] = s;
  }
}

void kernel_l2_int8_batch_reference(const int8_t* query, const int8_t* vectors, size_t d,
                                    size_t count, const uint8_t* candidates, float* out) {
  for (size_t i = 0; i < count; i++)
    if (is_candidate(candidates, i)) out[i] = kernel_l2_int8(vectors + i * d, query, d);
}

void kernel_l1_float32_batch_reference(const float* query, const float* vectors, size_t d,
                                       size_t count, const uint8_t* candidates, float* out) {
  for (size_t i = 0; i < count; i++)
    if (is_candidate(candidates, i)) out[i] = (float)kernel_l1_float32(vectors + i * d, query, d);
}

void kernel_l1_int8_batch_reference(const int8_t* query, const int8_t* vectors, size_t d,
                                    size_t count, const uint8_t* candidates, float* out) {
  for (size_t i = 0; i < count; i++)
    if (is_candidate(candidates, i)) out[i] = (float)kernel_l1_int8(vectors + i * d, query, d);
}

void kernel_cosine_float32_batch_reference(const float* query, const float* vectors, size_t d,
                                           size_t count, const uint8_t* candidates, float* out) {
  for (size_t i = 0; i < count; i++)
    if (is_candidate(candidates, i)) out[i] = kernel_cosine_float32(vectors + i * d, query, d);
}

void kernel_cosine_int8_batch_reference(const int8_t* query, const int8_t* vectors, size_t d,
                                        size_t count, const uint8_t* candidates, float* out) {
  for (size_t i = 0; i < count; i++)
    if (is_candidate(candidates, i)) out[i] = kernel_cosine_int8(vectors + i * d, query, d);
}

void kernel_hamming_bit_batch_reference(const uint8_t* query, const uint8_t* vectors, size_t d,
                                        size_t count, const uint8_t* candidates, float* out) {
  for (size_t i = 0; i < count; i++)
    if (is_candidate(candidates, i)) out[i] = kernel_hamming_bit(vectors + i * (d / 8), query, d);
}
