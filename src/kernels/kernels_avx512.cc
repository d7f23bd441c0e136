// Batch kernels for AVX-512 F/BW/DQ/VL, Hamming also VPOPCNTDQ: Intel Ice Lake and later, AMD
// Zen 4 and later. kernels/kernels_batch.cc binds them at load on CPUs that have these sets.
//
// Float sums run across candidates: 16 candidates per group, candidate j in lane j. Each block
// of 16 dimensions is loaded per candidate and transposed, so that register c holds dimension c
// of all 16 candidates; then, dimension by dimension, the pair kernel's terms are formed with the
// broadcast query element and added. Every lane thus performs its candidate's operations exactly
// as the pair kernel does; no candidate's sum is ever split.
//
// Integer work (L1 int8, Hamming) is exact in any grouping and runs along each vector. The int8
// L2 and cosine sums are first formed in integers; when they are provably exact in float32
// (kExactFloatIntegers) the integer result is the answer, otherwise the candidate takes the
// float lanes.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "kernels/kernels_batch.h"

#if defined(JIX_X86_BATCH_KERNELS)

// Only x86 compilers have the intrinsics headers.
#include <immintrin.h>

// Included headers keep the default target; only the code below uses the wider sets. Clang
// ignores GCC's target pragma and takes the attribute on every function instead.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,popcnt"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl,popcnt")
#endif

#include "kernels/kernels_drivers.h"

// GCC 12's AVX-512 headers fill "undefined" registers by self-initialisation, which its own
// uninitialised-use warnings then report at every inlined intrinsic.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace {

constexpr size_t kLanes = 16;

// r[j] is row j; afterwards r[c] holds column c of every row, row j in lane j.
JIX_HOT void transpose16(__m512 r[16]) {
  __m512 t[16];
#pragma GCC unroll 16
  for (int k = 0; k < 8; k++) {
    t[2 * k] = _mm512_unpacklo_ps(r[2 * k], r[2 * k + 1]);
    t[2 * k + 1] = _mm512_unpackhi_ps(r[2 * k], r[2 * k + 1]);
  }
  // u[4k + m], 128-bit lane L: rows 4k .. 4k + 3 at column 4L + m.
  __m512 u[16];
#pragma GCC unroll 16
  for (int k = 0; k < 4; k++) {
    u[4 * k] = _mm512_shuffle_ps(t[4 * k], t[4 * k + 2], 0x44);
    u[4 * k + 1] = _mm512_shuffle_ps(t[4 * k], t[4 * k + 2], 0xEE);
    u[4 * k + 2] = _mm512_shuffle_ps(t[4 * k + 1], t[4 * k + 3], 0x44);
    u[4 * k + 3] = _mm512_shuffle_ps(t[4 * k + 1], t[4 * k + 3], 0xEE);
  }
#pragma GCC unroll 16
  for (int m = 0; m < 4; m++) {
    __m512 a = _mm512_shuffle_f32x4(u[m], u[4 + m], 0x88);
    __m512 a2 = _mm512_shuffle_f32x4(u[m], u[4 + m], 0xDD);
    __m512 b = _mm512_shuffle_f32x4(u[8 + m], u[12 + m], 0x88);
    __m512 b2 = _mm512_shuffle_f32x4(u[8 + m], u[12 + m], 0xDD);
    r[m] = _mm512_shuffle_f32x4(a, b, 0x88);
    r[8 + m] = _mm512_shuffle_f32x4(a, b, 0xDD);
    r[4 + m] = _mm512_shuffle_f32x4(a2, b2, 0x88);
    r[12 + m] = _mm512_shuffle_f32x4(a2, b2, 0xDD);
  }
}

// transpose16 of rows p[j] + i, the lane-crossing steps done by the loads: register 4k + a
// takes columns 4k .. 4k + 3 of rows a, a + 4, a + 8 and a + 12 in its four 128-bit lanes,
// so that what is left are 4 x 4 transposes within the lanes.
JIX_HOT void load_transposed16(const char* const* p, size_t i, __m512 r[16]) {
#pragma GCC unroll 4
  for (int k = 0; k < 4; k++) {
    __m512 s[4];
#pragma GCC unroll 4
    for (int a = 0; a < 4; a++) {
      __m512 v = _mm512_castps128_ps512(_mm_loadu_ps((const float*)p[a] + i + 4 * k));
      v = _mm512_insertf32x4(v, _mm_loadu_ps((const float*)p[a + 4] + i + 4 * k), 1);
      v = _mm512_insertf32x4(v, _mm_loadu_ps((const float*)p[a + 8] + i + 4 * k), 2);
      s[a] = _mm512_insertf32x4(v, _mm_loadu_ps((const float*)p[a + 12] + i + 4 * k), 3);
    }
    __m512 t0 = _mm512_unpacklo_ps(s[0], s[1]), t1 = _mm512_unpackhi_ps(s[0], s[1]);
    __m512 t2 = _mm512_unpacklo_ps(s[2], s[3]), t3 = _mm512_unpackhi_ps(s[2], s[3]);
    r[4 * k] = _mm512_shuffle_ps(t0, t2, 0x44);
    r[4 * k + 1] = _mm512_shuffle_ps(t0, t2, 0xEE);
    r[4 * k + 2] = _mm512_shuffle_ps(t1, t3, 0x44);
    r[4 * k + 3] = _mm512_shuffle_ps(t1, t3, 0xEE);
  }
}

// The same for 8 rows of 8 doubles.
JIX_HOT void transpose8d(__m512d r[8]) {
  __m512d t[8];
#pragma GCC unroll 16
  for (int k = 0; k < 4; k++) {
    t[2 * k] = _mm512_unpacklo_pd(r[2 * k], r[2 * k + 1]);
    t[2 * k + 1] = _mm512_unpackhi_pd(r[2 * k], r[2 * k + 1]);
  }
// t[2k + m], 128-bit lane L: rows 2k, 2k + 1 at column 2L + m.
#pragma GCC unroll 16
  for (int m = 0; m < 2; m++) {
    __m512d a = _mm512_shuffle_f64x2(t[m], t[2 + m], 0x88);
    __m512d a2 = _mm512_shuffle_f64x2(t[m], t[2 + m], 0xDD);
    __m512d b = _mm512_shuffle_f64x2(t[4 + m], t[6 + m], 0x88);
    __m512d b2 = _mm512_shuffle_f64x2(t[4 + m], t[6 + m], 0xDD);
    r[m] = _mm512_shuffle_f64x2(a, b, 0x88);
    r[4 + m] = _mm512_shuffle_f64x2(a, b, 0xDD);
    r[2 + m] = _mm512_shuffle_f64x2(a2, b2, 0x88);
    r[6 + m] = _mm512_shuffle_f64x2(a2, b2, 0xDD);
  }
}

JIX_HOT __mmask16 mask16(size_t n) {
  return n >= 16 ? (__mmask16)0xFFFF : (__mmask16)((1u << n) - 1);
}
inline __mmask8 mask8(size_t n) {
  return n >= 8 ? (__mmask8)0xFF : (__mmask8)((1u << n) - 1);
}
inline __mmask32 mask32(size_t n) {
  return n >= 32 ? ~(__mmask32)0 : (__mmask32)((1u << n) - 1);
}
inline __mmask64 mask64(size_t n) {
  return n >= 64 ? ~(__mmask64)0 : (__mmask64)((uint64_t{1} << n) - 1);
}

// a[j] holds eight partial sums of candidate j; lane j of the result is their total. Integer
// sums are exact in any grouping, so three transposing steps replace eight reductions.
JIX_HOT __m512i sum_lanes8_epi64(const __m512i a[8]) {
  __m512i b[4];
#pragma GCC unroll 4
  for (int k = 0; k < 4; k++) {
    b[k] = _mm512_add_epi64(_mm512_unpacklo_epi64(a[2 * k], a[2 * k + 1]),
                            _mm512_unpackhi_epi64(a[2 * k], a[2 * k + 1]));
  }
  // b[k], 128-bit lane L: candidates 2k and 2k + 1, each the sum of its lanes 2L and 2L + 1.
  __m512i c0 = _mm512_add_epi64(_mm512_shuffle_i64x2(b[0], b[1], 0x88),
                                _mm512_shuffle_i64x2(b[0], b[1], 0xDD));
  __m512i c1 = _mm512_add_epi64(_mm512_shuffle_i64x2(b[2], b[3], 0x88),
                                _mm512_shuffle_i64x2(b[2], b[3], 0xDD));
  // c0, 128-bit lanes: candidates (0, 1) over lanes 0-3, (0, 1) over 4-7, (2, 3), (2, 3).
  return _mm512_add_epi64(_mm512_shuffle_i64x2(c0, c1, 0x88), _mm512_shuffle_i64x2(c0, c1, 0xDD));
}

// The primitives of the shared drivers in kernels/kernels_drivers.h.
struct Avx512 {
  static constexpr size_t kLanes = ::kLanes;
  using Floats = __m512;
  static JIX_HOT __m512 zero() { return _mm512_setzero_ps(); }
  static JIX_HOT __m512 add(__m512 a, __m512 b) { return _mm512_add_ps(a, b); }
  static JIX_HOT __m512 sub(__m512 a, __m512 b) { return _mm512_sub_ps(a, b); }
  static JIX_HOT __m512 mul(__m512 a, __m512 b) { return _mm512_mul_ps(a, b); }
  static JIX_HOT __m512 sqrt(__m512 v) { return _mm512_sqrt_ps(v); }
  static JIX_HOT void store(float* p, __m512 v) { _mm512_storeu_ps(p, v); }

  // For masked_float_lanes.
  static JIX_HOT __mmask16 mask(size_t n) { return mask16(n); }
  static JIX_HOT void transpose(__m512 r[kLanes]) { transpose16(r); }
  static JIX_HOT __m512 broadcast(float x) { return _mm512_set1_ps(x); }
  template <typename R, typename S>
  static JIX_HOT void float_lanes(const R& rows, const S& step, const char* const p[kLanes],
                                  size_t d, __m512* acc) {
    masked_float_lanes<Avx512>(rows, step, p, d, acc);
  }

  // (float)(1 - dot / (sqrt(aa) * sqrt(bb))) in double, lane by lane; sqrtBb is sqrt((double)bb).
  static JIX_HOT __m512 cosine_finish(__m512 dot, __m512 aa, double sqrtBb) {
    __m256 half[2];
#pragma GCC unroll 16
    for (int h = 0; h < 2; h++) {
      __m512d dotD = _mm512_cvtps_pd(
          h == 0 ? _mm512_castps512_ps256(dot)
                 : _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(dot), 1)));
      __m512d aaD = _mm512_cvtps_pd(
          h == 0 ? _mm512_castps512_ps256(aa)
                 : _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(aa), 1)));
      __m512d den = _mm512_mul_pd(_mm512_sqrt_pd(aaD), _mm512_set1_pd(sqrtBb));
      __m512d q = _mm512_div_pd(dotD, den);
      half[h] = _mm512_cvtpd_ps(_mm512_sub_pd(_mm512_set1_pd(1.0), q));
    }
    return _mm512_insertf32x8(_mm512_castps256_ps512(half[0]), half[1], 1);
  }

  struct Float32Rows {
    const float* q;
    JIX_HOT __m512 row(const char* p, size_t i, size_t, __mmask16 m) const {
      return _mm512_maskz_loadu_ps(m, (const float*)p + i);
    }
    JIX_HOT void full_block(const char* const* p, size_t i, __m512 r[16]) const {
      load_transposed16(p, i, r);
    }
    JIX_HOT float query(size_t i) const { return q[i]; }
  };

  // int8 values, their differences (at most 255) and products (at most 2^14) are exact in
  // float32, so float32 arithmetic on them gives exactly the pair kernels' integer terms.
  struct Int8Rows {
    const int8_t* q;
    JIX_HOT __m512 row(const char* p, size_t i, size_t, __mmask16 m) const {
      return _mm512_cvtepi32_ps(
          _mm512_cvtepi8_epi32(_mm_maskz_loadu_epi8(m, (const int8_t*)p + i)));
    }
    JIX_HOT float query(size_t i) const { return (float)q[i]; }
  };

  // Sums over one int8 vector pair in int32, exact for d <= kKernelMaxInt8Dimensions.
  static int32_t l2_int8_exact(const int8_t* v, const int8_t* q, size_t d) {
    __m512i acc = _mm512_setzero_si512();
    size_t i = 0;
    for (; i + 32 <= d; i += 32) {
      __m512i t =
          _mm512_sub_epi16(_mm512_cvtepi8_epi16(_mm256_loadu_si256((const __m256i*)(v + i))),
                           _mm512_cvtepi8_epi16(_mm256_loadu_si256((const __m256i*)(q + i))));
      acc = _mm512_add_epi32(acc, _mm512_madd_epi16(t, t));
    }
    if (i < d) {
      __mmask32 m = mask32(d - i);
      __m512i t = _mm512_sub_epi16(_mm512_cvtepi8_epi16(_mm256_maskz_loadu_epi8(m, v + i)),
                                   _mm512_cvtepi8_epi16(_mm256_maskz_loadu_epi8(m, q + i)));
      acc = _mm512_add_epi32(acc, _mm512_madd_epi16(t, t));
    }
    return _mm512_reduce_add_epi32(acc);
  }

  static void cosine_int8_exact(const int8_t* v, const int8_t* q, size_t d, int32_t* outDot,
                                int32_t* outNorm) {
    __m512i dot = _mm512_setzero_si512(), norm = _mm512_setzero_si512();
    auto add = [&](__m512i vv, __m512i qv) {
      dot = _mm512_add_epi32(dot, _mm512_madd_epi16(vv, qv));
      norm = _mm512_add_epi32(norm, _mm512_madd_epi16(vv, vv));
    };
    size_t i = 0;
    for (; i + 32 <= d; i += 32)
      add(_mm512_cvtepi8_epi16(_mm256_loadu_si256((const __m256i*)(v + i))),
          _mm512_cvtepi8_epi16(_mm256_loadu_si256((const __m256i*)(q + i))));
    if (i < d) {
      __mmask32 m = mask32(d - i);
      add(_mm512_cvtepi8_epi16(_mm256_maskz_loadu_epi8(m, v + i)),
          _mm512_cvtepi8_epi16(_mm256_maskz_loadu_epi8(m, q + i)));
    }
    *outDot = _mm512_reduce_add_epi32(dot);
    *outNorm = _mm512_reduce_add_epi32(norm);
  }
};

}  // namespace

JIX_DEFINE_DRIVEN_BATCH_KERNELS(avx512, Avx512)

// Four blocks: one register of sums each, enough to hide the additions' latency.
void kernel_l2_float32_lanes_avx512(const float* query, const float* blocks, size_t d, size_t count,
                                    size_t from, size_t to, float* sums) {
  l2_float32_lanes<4>(query, blocks, d, count, from, to, sums);
}

// Doubles: 8 lanes per register, two registers per group of 16 candidates.
void kernel_l1_float32_batch_avx512(const float* query, const float* vectors, size_t d,
                                    size_t count, const uint8_t* candidates, float* out) {
  kernel_for_each_group<kLanes>(candidates, count, [&](const uint32_t* slots, size_t n) {
    const char* p[kLanes];
    group_pointers<Avx512>(vectors, d * sizeof(float), slots, n, p);
    __m512d acc[2] = {_mm512_setzero_pd(), _mm512_setzero_pd()};
    for (size_t i = 0; i < d; i += 8) {
      size_t cols = d - i < 8 ? d - i : 8;
      __mmask8 m = mask8(cols);
      __m512d qd = _mm512_cvtps_pd(_mm256_maskz_loadu_ps(m, query + i));
#pragma GCC unroll 16
      for (int h = 0; h < 2; h++) {
        __m512d r[8];
#pragma GCC unroll 16
        for (int j = 0; j < 8; j++) {
          __m512d v = _mm512_cvtps_pd(_mm256_maskz_loadu_ps(m, (const float*)p[8 * h + j] + i));
          r[j] = _mm512_abs_pd(_mm512_sub_pd(v, qd));
        }
        transpose8d(r);
        if (cols == 8) {
#pragma GCC unroll 16
          for (int c = 0; c < 8; c++) acc[h] = _mm512_add_pd(acc[h], r[c]);
        } else {
          for (size_t c = 0; c < cols; c++) acc[h] = _mm512_add_pd(acc[h], r[c]);
        }
      }
    }
    __m512 narrowed = _mm512_insertf32x8(_mm512_castps256_ps512(_mm512_cvtpd_ps(acc[0])),
                                         _mm512_cvtpd_ps(acc[1]), 1);
    store_group<Avx512>(narrowed, slots, n, out);
  });
}

// Signed bytes biased by 128 become unsigned with the same differences, for VPSADBW.
void kernel_l1_int8_batch_avx512(const int8_t* query, const int8_t* vectors, size_t d, size_t count,
                                 const uint8_t* candidates, float* out) {
  const __m512i bias = _mm512_set1_epi8((char)0x80);
  kernel_for_each_group<kLanes>(candidates, count, [&](const uint32_t* slots, size_t n) {
    for (size_t j = 0; j < n; j++) {
      const int8_t* v = vectors + (size_t)slots[j] * d;
      __m512i acc = _mm512_setzero_si512();
      size_t i = 0;
      for (; i + 64 <= d; i += 64) {
        __m512i a = _mm512_xor_si512(_mm512_loadu_si512(v + i), bias);
        __m512i b = _mm512_xor_si512(_mm512_loadu_si512(query + i), bias);
        acc = _mm512_add_epi64(acc, _mm512_sad_epu8(a, b));
      }
      if (i < d) {  // masked-off bytes load as 0 in both, so they add nothing
        __mmask64 m = mask64(d - i);
        __m512i a = _mm512_xor_si512(_mm512_maskz_loadu_epi8(m, v + i), bias);
        __m512i b = _mm512_xor_si512(_mm512_maskz_loadu_epi8(m, query + i), bias);
        acc = _mm512_add_epi64(acc, _mm512_sad_epu8(a, b));
      }
      out[slots[j]] = (float)(int32_t)_mm512_reduce_add_epi64(acc);
    }
  });
}

// Bound at load only where VPOPCNTDQ exists (Ice Lake, Zen 4), hence its own target.
#if defined(__clang__)
#pragma clang attribute pop
#pragma clang attribute push(                                                             \
    __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx512vpopcntdq,popcnt"))), \
    apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl,avx512vpopcntdq,popcnt")
#endif

void kernel_hamming_bit_batch_avx512(const uint8_t* query, const uint8_t* vectors, size_t d,
                                     size_t count, const uint8_t* candidates, float* out) {
  size_t bytes = d / 8;
  kernel_for_each_group<kLanes>(candidates, count, [&](const uint32_t* slots, size_t n) {
    size_t j = 0;
    // Eight candidates at a time share each query load and one reduction of their counts.
    for (; j + 8 <= n; j += 8) {
      const uint8_t* v[8];
      __m512i acc[8];
      for (int c = 0; c < 8; c++) {
        v[c] = vectors + (size_t)slots[j + c] * bytes;
        acc[c] = _mm512_setzero_si512();
      }
      size_t i = 0;
      for (; i + 64 <= bytes; i += 64) {
        __m512i q = _mm512_loadu_si512(query + i);
#pragma GCC unroll 8
        for (int c = 0; c < 8; c++) {
          __m512i x = _mm512_xor_si512(_mm512_loadu_si512(v[c] + i), q);
          acc[c] = _mm512_add_epi64(acc[c], _mm512_popcnt_epi64(x));
        }
      }
      if (i < bytes) {
        __mmask64 m = mask64(bytes - i);
        __m512i q = _mm512_maskz_loadu_epi8(m, query + i);
#pragma GCC unroll 8
        for (int c = 0; c < 8; c++) {
          __m512i x = _mm512_xor_si512(_mm512_maskz_loadu_epi8(m, v[c] + i), q);
          acc[c] = _mm512_add_epi64(acc[c], _mm512_popcnt_epi64(x));
        }
      }
      // Counts are taken modulo 2^32 and then converted, as the pair kernel's int32 count is.
      __m256 counts = _mm256_cvtepu32_ps(_mm512_cvtepi64_epi32(sum_lanes8_epi64(acc)));
      if (slots[j + 7] - slots[j] == 7) {  // eight consecutive slots: one store
        _mm256_storeu_ps(out + slots[j], counts);
      } else {
        alignas(32) float f[8];
        _mm256_store_ps(f, counts);
        for (int c = 0; c < 8; c++) out[slots[j + c]] = f[c];
      }
    }
    for (; j < n; j++) {
      const uint8_t* v = vectors + (size_t)slots[j] * bytes;
      __m512i acc = _mm512_setzero_si512();
      size_t i = 0;
      for (; i + 64 <= bytes; i += 64) {
        __m512i x = _mm512_xor_si512(_mm512_loadu_si512(v + i), _mm512_loadu_si512(query + i));
        acc = _mm512_add_epi64(acc, _mm512_popcnt_epi64(x));
      }
      if (i < bytes) {
        __mmask64 m = mask64(bytes - i);
        __m512i x = _mm512_xor_si512(_mm512_maskz_loadu_epi8(m, v + i),
                                     _mm512_maskz_loadu_epi8(m, query + i));
        acc = _mm512_add_epi64(acc, _mm512_popcnt_epi64(x));
      }
      out[slots[j]] = (float)(uint32_t)_mm512_reduce_add_epi64(acc);
    }
  });
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#pragma GCC pop_options
#endif

#endif
