// Batch kernels for AVX2 with POPCNT: Intel Haswell and later, AMD Zen and later. The layout of
// the work is that of kernels/kernels_avx512.cc with 8 lanes: float sums run across candidates
// (lane j is candidate j, adding dimensions in order), integer sums along each vector. No FMA:
// a fused multiply-add rounds once where the pair kernels round twice.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kernels/kernels_batch.h"

#if defined(JIX_X86_BATCH_KERNELS)

// Only x86 compilers have the intrinsics headers.
#include <immintrin.h>

// Included headers keep the default target; only the code below uses AVX2. Clang ignores
// GCC's target pragma and takes the attribute on every function instead.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,popcnt"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,popcnt")
#endif

#include "kernels/kernels_drivers.h"

namespace {

constexpr size_t kLanes = 8;

// r[j] is row j; afterwards r[c] holds column c of every row, row j in lane j.
JIX_HOT void transpose8(__m256 r[8]) {
  __m256 t[8];
#pragma GCC unroll 16
  for (int k = 0; k < 4; k++) {
    t[2 * k] = _mm256_unpacklo_ps(r[2 * k], r[2 * k + 1]);
    t[2 * k + 1] = _mm256_unpackhi_ps(r[2 * k], r[2 * k + 1]);
  }
  // u[4k + m], 128-bit lane L: rows 4k .. 4k + 3 at column 4L + m.
  __m256 u[8];
#pragma GCC unroll 16
  for (int k = 0; k < 2; k++) {
    u[4 * k] = _mm256_shuffle_ps(t[4 * k], t[4 * k + 2], 0x44);
    u[4 * k + 1] = _mm256_shuffle_ps(t[4 * k], t[4 * k + 2], 0xEE);
    u[4 * k + 2] = _mm256_shuffle_ps(t[4 * k + 1], t[4 * k + 3], 0x44);
    u[4 * k + 3] = _mm256_shuffle_ps(t[4 * k + 1], t[4 * k + 3], 0xEE);
  }
#pragma GCC unroll 16
  for (int m = 0; m < 4; m++) {
    r[m] = _mm256_permute2f128_ps(u[m], u[4 + m], 0x20);
    r[4 + m] = _mm256_permute2f128_ps(u[m], u[4 + m], 0x31);
  }
}

// transpose8 of rows p[j] + i, with the lane-crossing step done by the loads: each register
// takes 4 columns of row j in its low half and the same 4 of row j + 4 in its high half, so
// that what is left are 4 x 4 transposes within the 128-bit halves.
JIX_HOT void load_transposed8(const char* const* p, size_t i, __m256 r[8]) {
  __m256 s[8];
#pragma GCC unroll 16
  for (int j = 0; j < 4; j++) {
    const float* lo = (const float*)p[j] + i;
    const float* hi = (const float*)p[j + 4] + i;
    s[j] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(lo)), _mm_loadu_ps(hi), 1);
    s[j + 4] =
        _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(lo + 4)), _mm_loadu_ps(hi + 4), 1);
  }
#pragma GCC unroll 16
  for (int h = 0; h < 2; h++) {
    __m256* q = s + 4 * h;
    __m256 t0 = _mm256_unpacklo_ps(q[0], q[1]), t1 = _mm256_unpackhi_ps(q[0], q[1]);
    __m256 t2 = _mm256_unpacklo_ps(q[2], q[3]), t3 = _mm256_unpackhi_ps(q[2], q[3]);
    r[4 * h] = _mm256_shuffle_ps(t0, t2, 0x44);
    r[4 * h + 1] = _mm256_shuffle_ps(t0, t2, 0xEE);
    r[4 * h + 2] = _mm256_shuffle_ps(t1, t3, 0x44);
    r[4 * h + 3] = _mm256_shuffle_ps(t1, t3, 0xEE);
  }
}

// The same for 4 rows of 4 doubles.
JIX_HOT void transpose4d(__m256d r[4]) {
  __m256d t0 = _mm256_unpacklo_pd(r[0], r[1]), t1 = _mm256_unpackhi_pd(r[0], r[1]);
  __m256d t2 = _mm256_unpacklo_pd(r[2], r[3]), t3 = _mm256_unpackhi_pd(r[2], r[3]);
  r[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
  r[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
  r[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
  r[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
}

// Lane i of the mask is set when i < n; VMASKMOVPS does not touch memory under clear lanes.
JIX_HOT __m256i mask8(size_t n) {
  return _mm256_cmpgt_epi32(_mm256_set1_epi32((int)(n < 8 ? n : 8)),
                            _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// n <= 8 int8 values widened to int32, zero past n.
JIX_HOT __m256i load_int8_as_int32(const int8_t* p, size_t n) {
  int64_t bytes = 0;
  memcpy(&bytes, p, n < 8 ? n : 8);
  return _mm256_cvtepi8_epi32(_mm_cvtsi64_si128(bytes));
}

inline int64_t hsum_epi32(__m256i v) {
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
  return _mm_cvtsi128_si32(s);
}

inline int64_t hsum_epi64(__m256i v) {
  __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  s = _mm_add_epi64(s, _mm_unpackhi_epi64(s, s));
  return _mm_cvtsi128_si64(s);
}

// The primitives of the shared drivers in kernels/kernels_drivers.h.
struct Avx2 {
  static constexpr size_t kLanes = ::kLanes;
  // Two groups side by side: one group's chain of additions (8 per block of 8 dimensions)
  // leaves the adder idle most of the time.
  static constexpr size_t kGroups = 2;
  using Floats = __m256;
  static JIX_HOT __m256 zero() { return _mm256_setzero_ps(); }
  static JIX_HOT __m256 add(__m256 a, __m256 b) { return _mm256_add_ps(a, b); }
  static JIX_HOT __m256 sub(__m256 a, __m256 b) { return _mm256_sub_ps(a, b); }
  static JIX_HOT __m256 mul(__m256 a, __m256 b) { return _mm256_mul_ps(a, b); }
  static JIX_HOT __m256 sqrt(__m256 v) { return _mm256_sqrt_ps(v); }
  static JIX_HOT void store(float* p, __m256 v) { _mm256_storeu_ps(p, v); }

  // For masked_float_lanes.
  static JIX_HOT __m256i mask(size_t n) { return mask8(n); }
  static JIX_HOT void transpose(__m256 r[kLanes]) { transpose8(r); }
  static JIX_HOT __m256 broadcast(float x) { return _mm256_set1_ps(x); }
  template <typename R, typename S>
  static JIX_HOT void float_lanes(const R& rows, const S& step, const char* const p[kLanes],
                                  size_t d, __m256* acc) {
    masked_float_lanes<Avx2>(rows, step, p, d, acc);
  }

  // (float)(1 - dot / (sqrt(aa) * sqrt(bb))) in double, lane by lane; sqrtBb is sqrt((double)bb).
  static JIX_HOT __m256 cosine_finish(__m256 dot, __m256 aa, double sqrtBb) {
    __m128 half[2];
#pragma GCC unroll 16
    for (int h = 0; h < 2; h++) {
      __m256d dotD =
          _mm256_cvtps_pd(h == 0 ? _mm256_castps256_ps128(dot) : _mm256_extractf128_ps(dot, 1));
      __m256d aaD =
          _mm256_cvtps_pd(h == 0 ? _mm256_castps256_ps128(aa) : _mm256_extractf128_ps(aa, 1));
      __m256d den = _mm256_mul_pd(_mm256_sqrt_pd(aaD), _mm256_set1_pd(sqrtBb));
      half[h] = _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_set1_pd(1.0), _mm256_div_pd(dotD, den)));
    }
    return _mm256_set_m128(half[1], half[0]);
  }

  struct Float32Rows {
    const float* q;
    JIX_HOT __m256 row(const char* p, size_t i, size_t, __m256i m) const {
      return _mm256_maskload_ps((const float*)p + i, m);
    }
    // Dimensions i .. i + 7 of candidates p[0 .. 7], transposed: r[c] holds dimension i + c.
    JIX_HOT void full_block(const char* const* p, size_t i, __m256 r[8]) const {
      load_transposed8(p, i, r);
    }
    JIX_HOT float query(size_t i) const { return q[i]; }
  };

  // int8 values, their differences (at most 255) and products (at most 2^14) are exact in
  // float32, so float32 arithmetic on them gives exactly the pair kernels' integer terms.
  struct Int8Rows {
    const int8_t* q;
    JIX_HOT __m256 row(const char* p, size_t i, size_t n, __m256i) const {
      return _mm256_cvtepi32_ps(load_int8_as_int32((const int8_t*)p + i, n));
    }
    JIX_HOT float query(size_t i) const { return (float)q[i]; }
  };

  static int32_t l2_int8_exact(const int8_t* v, const int8_t* q, size_t d) {
    __m256i acc = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 16 <= d; i += 16) {
      __m256i t = _mm256_sub_epi16(_mm256_cvtepi8_epi16(_mm_loadu_si128((const __m128i*)(v + i))),
                                   _mm256_cvtepi8_epi16(_mm_loadu_si128((const __m128i*)(q + i))));
      acc = _mm256_add_epi32(acc, _mm256_madd_epi16(t, t));
    }
    int32_t s = (int32_t)hsum_epi32(acc);
    for (; i < d; i++) s += ((int)v[i] - (int)q[i]) * ((int)v[i] - (int)q[i]);
    return s;
  }

  static void cosine_int8_exact(const int8_t* v, const int8_t* q, size_t d, int32_t* outDot,
                                int32_t* outNorm) {
    __m256i dot = _mm256_setzero_si256(), norm = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 16 <= d; i += 16) {
      __m256i vv = _mm256_cvtepi8_epi16(_mm_loadu_si128((const __m128i*)(v + i)));
      __m256i qv = _mm256_cvtepi8_epi16(_mm_loadu_si128((const __m128i*)(q + i)));
      dot = _mm256_add_epi32(dot, _mm256_madd_epi16(vv, qv));
      norm = _mm256_add_epi32(norm, _mm256_madd_epi16(vv, vv));
    }
    int32_t sDot = (int32_t)hsum_epi32(dot), sNorm = (int32_t)hsum_epi32(norm);
    for (; i < d; i++) {
      sDot += (int)v[i] * (int)q[i];
      sNorm += (int)v[i] * (int)v[i];
    }
    *outDot = sDot;
    *outNorm = sNorm;
  }
};

}  // namespace

JIX_DEFINE_DRIVEN_BATCH_KERNELS(avx2, Avx2)

// Two blocks: four registers of sums.
void kernel_l2_float32_lanes_avx2(const float* query, const float* blocks, size_t d, size_t count,
                                  size_t from, size_t to, float* sums) {
  l2_float32_lanes<2>(query, blocks, d, count, from, to, sums);
}

// Doubles: 4 lanes per register, two registers per group of 8 candidates.
void kernel_l1_float32_batch_avx2(const float* query, const float* vectors, size_t d, size_t count,
                                  const uint8_t* candidates, float* out) {
  const __m256d noSign = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
  kernel_for_each_group<kLanes>(candidates, count, [&](const uint32_t* slots, size_t n) {
    const char* p[kLanes];
    group_pointers<Avx2>(vectors, d * sizeof(float), slots, n, p);
    __m256d acc[2] = {_mm256_setzero_pd(), _mm256_setzero_pd()};
    for (size_t i = 0; i < d; i += 4) {
      size_t cols = d - i < 4 ? d - i : 4;
      __m128i m = _mm256_castsi256_si128(mask8(cols));
      __m256d qd = _mm256_cvtps_pd(_mm_maskload_ps(query + i, m));
#pragma GCC unroll 16
      for (int h = 0; h < 2; h++) {
        __m256d r[4];
#pragma GCC unroll 16
        for (int j = 0; j < 4; j++) {
          __m256d v = _mm256_cvtps_pd(_mm_maskload_ps((const float*)p[4 * h + j] + i, m));
          r[j] = _mm256_and_pd(_mm256_sub_pd(v, qd), noSign);
        }
        transpose4d(r);
        for (size_t c = 0; c < cols; c++) acc[h] = _mm256_add_pd(acc[h], r[c]);
      }
    }
    store_group<Avx2>(_mm256_set_m128(_mm256_cvtpd_ps(acc[1]), _mm256_cvtpd_ps(acc[0])), slots, n,
                      out);
  });
}

// Signed bytes biased by 128 become unsigned with the same differences, for VPSADBW.
void kernel_l1_int8_batch_avx2(const int8_t* query, const int8_t* vectors, size_t d, size_t count,
                               const uint8_t* candidates, float* out) {
  const __m256i bias = _mm256_set1_epi8((char)0x80);
  kernel_for_each_group<kLanes>(candidates, count, [&](const uint32_t* slots, size_t n) {
    for (size_t j = 0; j < n; j++) {
      const int8_t* v = vectors + (size_t)slots[j] * d;
      __m256i acc = _mm256_setzero_si256();
      size_t i = 0;
      for (; i + 32 <= d; i += 32) {
        __m256i a = _mm256_xor_si256(_mm256_loadu_si256((const __m256i*)(v + i)), bias);
        __m256i b = _mm256_xor_si256(_mm256_loadu_si256((const __m256i*)(query + i)), bias);
        acc = _mm256_add_epi64(acc, _mm256_sad_epu8(a, b));
      }
      int32_t s = (int32_t)hsum_epi64(acc);
      for (; i < d; i++) s += abs((int)v[i] - (int)query[i]);
      out[slots[j]] = (float)s;
    }
  });
}

// Population count by nibble lookup (VPSHUFB), bytes summed by VPSADBW; the tail by POPCNT.
void kernel_hamming_bit_batch_avx2(const uint8_t* query, const uint8_t* vectors, size_t d,
                                   size_t count, const uint8_t* candidates, float* out) {
  size_t bytes = d / 8;
  const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2,
                                         1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i low = _mm256_set1_epi8(0x0F);
  kernel_for_each_group<kLanes>(candidates, count, [&](const uint32_t* slots, size_t n) {
    for (size_t j = 0; j < n; j++) {
      const uint8_t* v = vectors + (size_t)slots[j] * bytes;
      __m256i acc = _mm256_setzero_si256();
      size_t i = 0;
      for (; i + 32 <= bytes; i += 32) {
        __m256i x = _mm256_xor_si256(_mm256_loadu_si256((const __m256i*)(v + i)),
                                     _mm256_loadu_si256((const __m256i*)(query + i)));
        __m256i c = _mm256_add_epi8(
            _mm256_shuffle_epi8(table, _mm256_and_si256(x, low)),
            _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(x, 4), low)));
        acc = _mm256_add_epi64(acc, _mm256_sad_epu8(c, _mm256_setzero_si256()));
      }
      uint32_t s = (uint32_t)hsum_epi64(acc);
      for (; i + 8 <= bytes; i += 8) {
        uint64_t x, y;
        memcpy(&x, v + i, 8);
        memcpy(&y, query + i, 8);
        s += (uint32_t)__builtin_popcountll(x ^ y);
      }
      for (; i < bytes; i++) s += (uint32_t)__builtin_popcount((unsigned)(v[i] ^ query[i]));
      out[slots[j]] = (float)s;
    }
  });
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
