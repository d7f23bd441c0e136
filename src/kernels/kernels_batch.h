// Every variant of the batch kernels, for the tests and benchmarks that compare them. Callers
// outside those use the dispatched names in kernels/kernels.h.
//
// _reference  a loop over the pair kernel: the definition every other variant must match.
// _sse2       x86-64 baseline; every x86-64 CPU.
// _avx2       AVX2 (and POPCNT): Intel Haswell and later, AMD Zen and later.
// _avx512     AVX-512 F/BW/DQ/VL (Hamming: VPOPCNTDQ): Intel Ice Lake and later, AMD Zen 4 and
//             later. Skylake-X and Cascade Lake lack VPOPCNTDQ and use _avx2 for Hamming.
// _neon       AArch64 (every AArch64 CPU has NEON): the layout of _sse2, 4 lanes.
// The x86 variants exist only when JIX_FAST_KERNELS is set on x86-64 with GCC or clang, the
// NEON variant only when it is set on AArch64.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/kernels.h"

#define JIX_DECLARE_BATCH_KERNELS(suffix)                                                         \
  void kernel_l2_float32_batch_##suffix(const float* query, const float* vectors, size_t d,       \
                                        size_t count, const uint8_t* candidates, float* out);     \
  void kernel_l2_int8_batch_##suffix(const int8_t* query, const int8_t* vectors, size_t d,        \
                                     size_t count, const uint8_t* candidates, float* out);        \
  void kernel_l1_float32_batch_##suffix(const float* query, const float* vectors, size_t d,       \
                                        size_t count, const uint8_t* candidates, float* out);     \
  void kernel_l1_int8_batch_##suffix(const int8_t* query, const int8_t* vectors, size_t d,        \
                                     size_t count, const uint8_t* candidates, float* out);        \
  void kernel_cosine_float32_batch_##suffix(const float* query, const float* vectors, size_t d,   \
                                            size_t count, const uint8_t* candidates, float* out); \
  void kernel_cosine_int8_batch_##suffix(const int8_t* query, const int8_t* vectors, size_t d,    \
                                         size_t count, const uint8_t* candidates, float* out);    \
  void kernel_hamming_bit_batch_##suffix(const uint8_t* query, const uint8_t* vectors, size_t d,  \
                                         size_t count, const uint8_t* candidates, float* out);    \
  void kernel_l2_float32_lanes_##suffix(const float* query, const float* blocks, size_t d,        \
                                        size_t count, size_t from, size_t to, float* sums);

JIX_DECLARE_BATCH_KERNELS(reference)
#if defined(JIX_FAST_KERNELS) && defined(__x86_64__) && defined(__GNUC__)
#define JIX_X86_BATCH_KERNELS 1
JIX_DECLARE_BATCH_KERNELS(sse2)
JIX_DECLARE_BATCH_KERNELS(avx2)
JIX_DECLARE_BATCH_KERNELS(avx512)
#elif defined(JIX_FAST_KERNELS) && defined(__aarch64__) && defined(__ARM_NEON)
#define JIX_ARM_BATCH_KERNELS 1
JIX_DECLARE_BATCH_KERNELS(neon)
#endif

// The name of the variant the dispatched kernels use on this CPU: "reference", "sse2", "avx2",
// "avx512" (whose Hamming kernel is the AVX2 one without VPOPCNTDQ) or "neon".
const char* kernel_batch_variant();

// The variants, as kernel_choose_variant picks among them.
enum class KernelVariant { kReference, kSse2, kAvx2, kAvx512, kNeon };

// What this build and CPU can run besides the reference loops: sse2 when the x86 variants are
// built, avx2 and avx512 when the CPU also has those sets, neon when the AArch64 one is built.
struct KernelSupport {
  bool sse2 = false, avx2 = false, avx512 = false, neon = false;
};

// The variant the dispatched kernels use: the widest `support` allows, unless `request` names
// another that `support` allows ("reference", "sse2", "avx2", "avx512" or "neon"). A request
// for a variant this build or CPU lacks, an unknown word or nullptr is ignored, so a request
// can only narrow the choice. The request is the environment variable JIX_KERNELS, read once at
// the kernels' first use: a benchmarking aid that measures a narrower variant on a wider CPU.
// The library reads no other environment variable.
KernelVariant kernel_choose_variant(const char* request, KernelSupport support);
