// The batch kernels callers use. Each name calls through a table of function pointers that is
// filled once, on first use, with the widest variant the CPU runs: on x86-64 from the CPU's
// instruction sets, on AArch64 the NEON variant (NEON is part of every AArch64 CPU), elsewhere
// or with the fast kernels off the reference loops. Only portable C++ is involved (no loader
// features), so the same code serves ELF, Mach-O and PE builds.
#include "kernels/kernels_batch.h"

#include <cstdlib>
#include <cstring>

namespace {

using BatchF32 = void (*)(const float*, const float*, size_t, size_t, const uint8_t*, float*);
using BatchI8 = void (*)(const int8_t*, const int8_t*, size_t, size_t, const uint8_t*, float*);
using BatchBit = void (*)(const uint8_t*, const uint8_t*, size_t, size_t, const uint8_t*, float*);
using LanesF32 = void (*)(const float*, const float*, size_t, size_t, size_t, size_t, float*);

struct KernelTable {
  BatchF32 l2_float32;
  BatchI8 l2_int8;
  BatchF32 l1_float32;
  BatchI8 l1_int8;
  BatchF32 cosine_float32;
  BatchI8 cosine_int8;
  BatchBit hamming_bit;
  LanesF32 l2_float32_lanes;
};

#define JIX_TABLE(suffix)                                                        \
  KernelTable {                                                                  \
    kernel_l2_float32_batch_##suffix, kernel_l2_int8_batch_##suffix,             \
        kernel_l1_float32_batch_##suffix, kernel_l1_int8_batch_##suffix,         \
        kernel_cosine_float32_batch_##suffix, kernel_cosine_int8_batch_##suffix, \
        kernel_hamming_bit_batch_##suffix, kernel_l2_float32_lanes_##suffix      \
  }

// The widest variant this build and CPU run, or the narrower one JIX_KERNELS asks for.
KernelTable choose_kernels() {
  KernelSupport support;
#if defined(JIX_X86_BATCH_KERNELS)
  __builtin_cpu_init();
  support.sse2 = true;
  support.avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
  support.avx512 = support.avx2 && __builtin_cpu_supports("avx512f") &&
                   __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
                   __builtin_cpu_supports("avx512vl");
#elif defined(JIX_ARM_BATCH_KERNELS)
  support.neon = true;
#endif
  switch (kernel_choose_variant(getenv("JIX_KERNELS"), support)) {
#if defined(JIX_X86_BATCH_KERNELS)
    case KernelVariant::kAvx512: {
      KernelTable table = JIX_TABLE(avx512);
      // Skylake-X and Cascade Lake lack VPOPCNTDQ: their Hamming kernel is the AVX2 one.
      if (!__builtin_cpu_supports("avx512vpopcntdq"))
        table.hamming_bit = kernel_hamming_bit_batch_avx2;
      return table;
    }
    case KernelVariant::kAvx2:
      return JIX_TABLE(avx2);
    case KernelVariant::kSse2:
      return JIX_TABLE(sse2);
#elif defined(JIX_ARM_BATCH_KERNELS)
    case KernelVariant::kNeon:
      return JIX_TABLE(neon);
#endif
    default:
      return JIX_TABLE(reference);
  }
}

// A function-local static is initialised exactly once even when several connections load the
// library at the same moment; later calls only read it.
const KernelTable& kernels() {
  static const KernelTable table = choose_kernels();
  return table;
}

}  // namespace

const char* kernel_batch_variant() {
  BatchF32 l2 = kernels().l2_float32;
#if defined(JIX_X86_BATCH_KERNELS)
  if (l2 == kernel_l2_float32_batch_avx512) return "avx512";
  if (l2 == kernel_l2_float32_batch_avx2) return "avx2";
  if (l2 == kernel_l2_float32_batch_sse2) return "sse2";
#elif defined(JIX_ARM_BATCH_KERNELS)
  if (l2 == kernel_l2_float32_batch_neon) return "neon";
#endif
  (void)l2;
  return "reference";
}

KernelVariant kernel_choose_variant(const char* request, KernelSupport support) {
  struct Choice {
    const char* name;
    KernelVariant variant;
    bool supported;
  };
  // Widest first: without a request that names a supported variant, the first supported one.
  const Choice choices[] = {
      {"avx512", KernelVariant::kAvx512, support.avx512},
      {"avx2", KernelVariant::kAvx2, support.avx2},
      {"sse2", KernelVariant::kSse2, support.sse2},
      {"neon", KernelVariant::kNeon, support.neon},
      {"reference", KernelVariant::kReference, true},
  };
  if (request != nullptr) {
    for (const Choice& c : choices)
      if (c.supported && strcmp(request, c.name) == 0) return c.variant;
  }
  for (const Choice& c : choices)
    if (c.supported) return c.variant;
  return KernelVariant::kReference;
}

void kernel_l2_float32_batch(const float* query, const float* vectors, size_t d, size_t count,
                             const uint8_t* candidates, float* out) {
  kernels().l2_float32(query, vectors, d, count, candidates, out);
}
void kernel_l2_int8_batch(const int8_t* query, const int8_t* vectors, size_t d, size_t count,
                          const uint8_t* candidates, float* out) {
  kernels().l2_int8(query, vectors, d, count, candidates, out);
}
void kernel_l1_float32_batch(const float* query, const float* vectors, size_t d, size_t count,
                             const uint8_t* candidates, float* out) {
  kernels().l1_float32(query, vectors, d, count, candidates, out);
}
void kernel_l1_int8_batch(const int8_t* query, const int8_t* vectors, size_t d, size_t count,
                          const uint8_t* candidates, float* out) {
  kernels().l1_int8(query, vectors, d, count, candidates, out);
}
void kernel_cosine_float32_batch(const float* query, const float* vectors, size_t d, size_t count,
                                 const uint8_t* candidates, float* out) {
  kernels().cosine_float32(query, vectors, d, count, candidates, out);
}
void kernel_cosine_int8_batch(const int8_t* query, const int8_t* vectors, size_t d, size_t count,
                              const uint8_t* candidates, float* out) {
  kernels().cosine_int8(query, vectors, d, count, candidates, out);
}
void kernel_hamming_bit_batch(const uint8_t* query, const uint8_t* vectors, size_t d, size_t count,
                              const uint8_t* candidates, float* out) {
  kernels().hamming_bit(query, vectors, d, count, candidates, out);
}
void kernel_l2_float32_lanes(const float* query, const float* blocks, size_t d, size_t count,
                             size_t from, size_t to, float* sums) {
  kernels().l2_float32_lanes(query, blocks, d, count, from, to, sums);
}
