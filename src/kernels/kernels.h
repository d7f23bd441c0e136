// Distance kernels, shared by the SQL distance functions and the KNN search.
//
// The arithmetic is part of each kernel's definition: one accumulator, index order, every
// float32 step rounded to float32, no fused multiply-add. The query path and the SQL
// functions therefore agree to the last bit. Any faster variant must reproduce these
// results bit for bit.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

// The most dimensions an int8 kernel sums without wrapping. The batch forms sum int8 L2 terms,
// each at most 255 * 255, in 32-bit integers; past this count the sum would wrap. (Cosine
// terms are at most 128 * 128 and L1 terms at most 255, so their limits lie further out.)
// Whoever stores vectors bounds their dimensions by this, at compile time.
constexpr size_t kKernelMaxInt8Dimensions = INT32_MAX / (255 * 255);

// Preconditions of every kernel below:
// - each vector holds d elements (for bit vectors d bits, d / 8 bytes), in compact form, and
//   may be unaligned; pair kernels' a and b may be the same vector;
// - int8 batch kernels: d <= kKernelMaxInt8Dimensions (the pair kernels sum L2 and cosine
//   in float32 and have no such limit; kernel_l1_int8's int32 sum needs d <= INT32_MAX / 255);
// - bit kernels: d % 8 == 0.
float kernel_l2_float32(const float* a, const float* b, size_t d);
float kernel_l2_int8(const int8_t* a, const int8_t* b, size_t d);
double kernel_l1_float32(const float* a, const float* b, size_t d);
int32_t kernel_l1_int8(const int8_t* a, const int8_t* b, size_t d);
float kernel_cosine_float32(const float* a, const float* b, size_t d);
float kernel_cosine_int8(const int8_t* a, const int8_t* b, size_t d);
// d is the number of bits, a multiple of 8.
float kernel_hamming_bit(const uint8_t* a, const uint8_t* b, size_t d);

// Batch forms: the distance from one query to `count` stored vectors laid out back to back,
// as in a chunk (vector i starts at element i * d). Each result is exactly the pair kernel's
// kernel_x(vector i, query, d), narrowed to the 32-bit float the KNN search keeps: L1 float32's
// double and L1 int8's integer are converted to float.
//
// out[i] is written for every i < count whose bit is set in `candidates` (bit i is bit i % 8 of
// byte i / 8); other entries are left untouched. candidates == nullptr means every slot.
// To work on part of a chunk, pass the part's vectors, candidates + first / 8 and out + first.
// REQUIRES: first % 8 == 0 when slicing the bitmap; count < 2^32.
//
// With JIX_FAST_KERNELS the variant is chosen once, on first use: on x86-64 from the CPU's
// instruction sets (SSE2, AVX2, AVX-512), on AArch64 NEON; every variant gives the same bits.
void kernel_l2_float32_batch(const float* query, const float* vectors, size_t d, size_t count,
                             const uint8_t* candidates, float* out);
void kernel_l2_int8_batch(const int8_t* query, const int8_t* vectors, size_t d, size_t count,
                          const uint8_t* candidates, float* out);
void kernel_l1_float32_batch(const float* query, const float* vectors, size_t d, size_t count,
                             const uint8_t* candidates, float* out);
void kernel_l1_int8_batch(const int8_t* query, const int8_t* vectors, size_t d, size_t count,
                          const uint8_t* candidates, float* out);
void kernel_cosine_float32_batch(const float* query, const float* vectors, size_t d, size_t count,
                                 const uint8_t* candidates, float* out);
void kernel_cosine_int8_batch(const int8_t* query, const int8_t* vectors, size_t d, size_t count,
                              const uint8_t* candidates, float* out);
// d is the number of bits, a multiple of 8; vector i starts at byte i * d / 8.
void kernel_hamming_bit_batch(const uint8_t* query, const uint8_t* vectors, size_t d, size_t count,
                              const uint8_t* candidates, float* out);

// Lane blocks: kKernelLaneBlock float32 vectors of d elements interleaved, element i of the
// block's vector l at block[i * kKernelLaneBlock + l]; block b of `count` starts at element
// b * d * kKernelLaneBlock. For vector j (block j / kKernelLaneBlock, lane j % kKernelLaneBlock),
// continues kernel_l2_float32's running sum sums[j] over the elements [from, to), in element
// order: started at 0 over [0, d), sqrtf(sums[j]) is kernel_l2_float32(vector j, query, d) to
// the bit, and a sum stopped at any element is a lower bound of the whole one. The layout lets
// every lane keep its own sum without transposing, which pays where the same vectors meet many
// queries (the IVF centroids).
constexpr size_t kKernelLaneBlock = 16;
void kernel_l2_float32_lanes(const float* query, const float* blocks, size_t d, size_t count,
                             size_t from, size_t to, float* sums);
