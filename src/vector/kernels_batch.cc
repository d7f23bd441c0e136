// The batch kernels callers use. On x86-64 with JIX_FAST_KERNELS each name is an ifunc: the
// dynamic loader runs its resolver once, when the library is loaded, and binds the name to the
// widest variant the CPU runs. The binding lives in the loader's relocations, not in any
// variable of ours. Elsewhere, or with the fast kernels off, the names are the reference loops.
#include "vector/kernels_batch.h"

#if defined(JIX_X86_BATCH_KERNELS)

namespace {

using BatchF32 = void(const float*, const float*, size_t, size_t, const uint8_t*, float*);
using BatchI8 = void(const int8_t*, const int8_t*, size_t, size_t, const uint8_t*, float*);
using BatchBit = void(const uint8_t*, const uint8_t*, size_t, size_t, const uint8_t*, float*);

// Resolvers run before sanitizer runtimes are set up, so they must not be instrumented.
#define JIX_RESOLVER __attribute__((no_sanitize_address, no_sanitize("undefined"), used))

JIX_RESOLVER bool has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
}

JIX_RESOLVER bool has_avx512() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
         __builtin_cpu_supports("popcnt");
}

JIX_RESOLVER bool has_avx512_popcount() {
  return has_avx512() && __builtin_cpu_supports("avx512vpopcntdq");
}

}  // namespace

#define JIX_RESOLVE(kernel, type, wide_check)            \
  extern "C" JIX_RESOLVER type* jix_resolve_##kernel() { \
    if (wide_check()) return kernel##_avx512;            \
    if (has_avx2()) return kernel##_avx2;                \
    return kernel##_sse2;                                \
  }

JIX_RESOLVE(kernel_l2_float32_batch, BatchF32, has_avx512)
JIX_RESOLVE(kernel_l2_int8_batch, BatchI8, has_avx512)
JIX_RESOLVE(kernel_l1_float32_batch, BatchF32, has_avx512)
JIX_RESOLVE(kernel_l1_int8_batch, BatchI8, has_avx512)
JIX_RESOLVE(kernel_cosine_float32_batch, BatchF32, has_avx512)
JIX_RESOLVE(kernel_cosine_int8_batch, BatchI8, has_avx512)
JIX_RESOLVE(kernel_hamming_bit_batch, BatchBit, has_avx512_popcount)

#define JIX_IFUNC(kernel) __attribute__((ifunc("jix_resolve_" #kernel)))

void kernel_l2_float32_batch(const float*, const float*, size_t, size_t, const uint8_t*, float*)
    JIX_IFUNC(kernel_l2_float32_batch);
void kernel_l2_int8_batch(const int8_t*, const int8_t*, size_t, size_t, const uint8_t*, float*)
    JIX_IFUNC(kernel_l2_int8_batch);
void kernel_l1_float32_batch(const float*, const float*, size_t, size_t, const uint8_t*, float*)
    JIX_IFUNC(kernel_l1_float32_batch);
void kernel_l1_int8_batch(const int8_t*, const int8_t*, size_t, size_t, const uint8_t*, float*)
    JIX_IFUNC(kernel_l1_int8_batch);
void kernel_cosine_float32_batch(const float*, const float*, size_t, size_t, const uint8_t*, float*)
    JIX_IFUNC(kernel_cosine_float32_batch);
void kernel_cosine_int8_batch(const int8_t*, const int8_t*, size_t, size_t, const uint8_t*, float*)
    JIX_IFUNC(kernel_cosine_int8_batch);
void kernel_hamming_bit_batch(const uint8_t*, const uint8_t*, size_t, size_t, const uint8_t*,
                              float*) JIX_IFUNC(kernel_hamming_bit_batch);

#else

void kernel_l2_float32_batch(const float* query, const float* vectors, size_t d, size_t count,
                             const uint8_t* candidates, float* out) {
  kernel_l2_float32_batch_reference(query, vectors, d, count, candidates, out);
}
void kernel_l2_int8_batch(const int8_t* query, const int8_t* vectors, size_t d, size_t count,
                          const uint8_t* candidates, float* out) {
  kernel_l2_int8_batch_reference(query, vectors, d, count, candidates, out);
}
void kernel_l1_float32_batch(const float* query, const float* vectors, size_t d, size_t count,
                             const uint8_t* candidates, float* out) {
  kernel_l1_float32_batch_reference(query, vectors, d, count, candidates, out);
}
void kernel_l1_int8_batch(const int8_t* query, const int8_t* vectors, size_t d, size_t count,
                          const uint8_t* candidates, float* out) {
  kernel_l1_int8_batch_reference(query, vectors, d, count, candidates, out);
}
void kernel_cosine_float32_batch(const float* query, const float* vectors, size_t d, size_t count,
                                 const uint8_t* candidates, float* out) {
  kernel_cosine_float32_batch_reference(query, vectors, d, count, candidates, out);
}
void kernel_cosine_int8_batch(const int8_t* query, const int8_t* vectors, size_t d, size_t count,
                              const uint8_t* candidates, float* out) {
  kernel_cosine_int8_batch_reference(query, vectors, d, count, candidates, out);
}
void kernel_hamming_bit_batch(const uint8_t* query, const uint8_t* vectors, size_t d, size_t count,
                              const uint8_t* candidates, float* out) {
  kernel_hamming_bit_batch_reference(query, vectors, d, count, candidates, out);
}

#endif
