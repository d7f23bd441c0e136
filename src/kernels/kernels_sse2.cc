// Batch kernels for the x86-64 baseline, SSE2: every x86-64 CPU. The layout of the work is that
// of kernels/kernels_avx512.cc with 4 lanes: float sums run across candidates (lane j is
// candidate j, adding dimensions in order), integer sums along each vector. SSE2 has no POPCNT
// and no byte shuffle, so Hamming counts bits with shifts and masks.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kernels/kernels_batch.h"

#if defined(JIX_X86_BATCH_KERNELS)

// Only x86 compilers have the intrinsics headers.
#include <emmintrin.h>

#include "kernels/kernels_drivers.h"

namespace {

constexpr size_t kLanes = 4;

// n <= 4 floats, zero past n; reads nothing past n.
JIX_HOT __m128 load_floats(const float* p, size_t n) {
  if (n >= 4) return _mm_loadu_ps(p);
  if (n == 2) return _mm_castsi128_ps(_mm_loadl_epi64((const __m128i*)p));
  float v[4] = {0, 0, 0, 0};
  memcpy(v, p, n * sizeof(float));
  return _mm_loadu_ps(v);
}

inline int64_t hsum_epi32(__m128i s) {
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
  return _mm_cvtsi128_si32(s);
}

inline int64_t hsum_epi64(__m128i s) {
  return _mm_cvtsi128_si64(_mm_add_epi64(s, _mm_unpackhi_epi64(s, s)));
}

// 16 int8 values widened to two registers of 8 int16.
inline void widen_int8(__m128i x, __m128i* outLow, __m128i* outHigh) {
  *outLow = _mm_srai_epi16(_mm_unpacklo_epi8(x, x), 8);
  *outHigh = _mm_srai_epi16(_mm_unpackhi_epi8(x, x), 8);
}

// The primitives of the shared drivers in kernels/kernels_drivers.h.
struct Sse2 {
  static constexpr size_t kLanes = ::kLanes;
  using Floats = __m128;
  static JIX_HOT __m128 zero() { return _mm_setzero_ps(); }
  static JIX_HOT __m128 add(__m128 a, __m128 b) { return _mm_add_ps(a, b); }
  static JIX_HOT __m128 sub(__m128 a, __m128 b) { return _mm_sub_ps(a, b); }
  static JIX_HOT __m128 mul(__m128 a, __m128 b) { return _mm_mul_ps(a, b); }
  static JIX_HOT __m128 sqrt(__m128 v) { return _mm_sqrt_ps(v); }
  static JIX_HOT void store(float* p, __m128 v) { _mm_storeu_ps(p, v); }

  // Adds, lane j, candidate p[j]'s terms for dimensions 0 .. d - 1 in order: blocks of 4
  // dimensions are loaded per candidate (R::row, as float32) and transposed, and S forms and adds
  // each dimension's terms from its column and the broadcast query element.
  template <typename R, typename S>
  static JIX_HOT void float_lanes(const R& rows, const S& step, const char* const p[kLanes],
                                  size_t d, __m128* acc) {
    for (size_t i = 0; i < d; i += 4) {
      size_t n = d - i < 4 ? d - i : 4;
      __m128 r0 = rows.row(p[0], i, n), r1 = rows.row(p[1], i, n);
      __m128 r2 = rows.row(p[2], i, n), r3 = rows.row(p[3], i, n);
      _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
      step(acc, r0, _mm_set1_ps(rows.query(i)));
      if (n > 1) step(acc, r1, _mm_set1_ps(rows.query(i + 1)));
      if (n > 2) step(acc, r2, _mm_set1_ps(rows.query(i + 2)));
      if (n > 3) step(acc, r3, _mm_set1_ps(rows.query(i + 3)));
    }
  }

  static JIX_HOT __m128 cosine_finish(__m128 dot, __m128 aa, double sqrtBb) {
    __m128 half[2];
#pragma GCC unroll 16
    for (int h = 0; h < 2; h++) {
      __m128d dotD = _mm_cvtps_pd(h == 0 ? dot : _mm_movehl_ps(dot, dot));
      __m128d aaD = _mm_cvtps_pd(h == 0 ? aa : _mm_movehl_ps(aa, aa));
      __m128d den = _mm_mul_pd(_mm_sqrt_pd(aaD), _mm_set1_pd(sqrtBb));
      half[h] = _mm_cvtpd_ps(_mm_sub_pd(_mm_set1_pd(1.0), _mm_div_pd(dotD, den)));
    }
    return _mm_movelh_ps(half[0], half[1]);
  }

  struct Float32Rows {
    const float* q;
    JIX_HOT __m128 row(const char* p, size_t i, size_t n) const {
      return load_floats((const float*)p + i, n);
    }
    JIX_HOT float query(size_t i) const { return q[i]; }
  };

  // int8 values, their differences (at most 255) and products (at most 2^14) are exact in
  // float32, so float32 arithmetic on them gives exactly the pair kernels' integer terms.
  struct Int8Rows {
    const int8_t* q;
    JIX_HOT __m128 row(const char* p, size_t i, size_t n) const {
      float v[4] = {0, 0, 0, 0};
      for (size_t c = 0; c < n && c < 4; c++) v[c] = (float)((const int8_t*)p)[i + c];
      return _mm_loadu_ps(v);
    }
    JIX_HOT float query(size_t i) const { return (float)q[i]; }
  };

  static int32_t l2_int8_exact(const int8_t* v, const int8_t* q, size_t d) {
    __m128i acc = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 16 <= d; i += 16) {
      __m128i vl, vh, ql, qh;
      widen_int8(_mm_loadu_si128((const __m128i*)(v + i)), &vl, &vh);
      widen_int8(_mm_loadu_si128((const __m128i*)(q + i)), &ql, &qh);
      __m128i tl = _mm_sub_epi16(vl, ql), th = _mm_sub_epi16(vh, qh);
      acc = _mm_add_epi32(acc, _mm_add_epi32(_mm_madd_epi16(tl, tl), _mm_madd_epi16(th, th)));
    }
    int32_t s = (int32_t)hsum_epi32(acc);
    for (; i < d; i++) s += ((int)v[i] - (int)q[i]) * ((int)v[i] - (int)q[i]);
    return s;
  }

  static void cosine_int8_exact(const int8_t* v, const int8_t* q, size_t d, int32_t* outDot,
                                int32_t* outNorm) {
    __m128i dot = _mm_setzero_si128(), norm = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 16 <= d; i += 16) {
      __m128i vl, vh, ql, qh;
      widen_int8(_mm_loadu_si128((const __m128i*)(v + i)), &vl, &vh);
      widen_int8(_mm_loadu_si128((const __m128i*)(q + i)), &ql, &qh);
      dot = _mm_add_epi32(dot, _mm_add_epi32(_mm_madd_epi16(vl, ql), _mm_madd_epi16(vh, qh)));
      norm = _mm_add_epi32(norm, _mm_add_epi32(_mm_madd_epi16(vl, vl), _mm_madd_epi16(vh, vh)));
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

JIX_DEFINE_DRIVEN_BATCH_KERNELS(sse2, Sse2)

// Four blocks' sums would fill every register; one at a time.
void kernel_l2_float32_lanes_sse2(const float* query, const float* blocks, size_t d, size_t count,
                                  size_t from, size_t to, float* sums) {
  l2_float32_lanes<1>(query, blocks, d, count, from, to, sums);
}

// Doubles: 2 lanes per register, two registers per group of 4 candidates.
void kernel_l1_float32_batch_sse2(const float* query, const float* vectors, size_t d, size_t count,
                                  const uint8_t* candidates, float* out) {
  const __m128d noSign = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFF));
  kernel_for_each_group<kLanes>(candidates, count, [&](const uint32_t* slots, size_t n) {
    const char* p[kLanes];
    group_pointers<Sse2>(vectors, d * sizeof(float), slots, n, p);
    __m128d acc[2] = {_mm_setzero_pd(), _mm_setzero_pd()};
    for (size_t i = 0; i < d; i += 2) {
      size_t cols = d - i < 2 ? d - i : 2;
      __m128d qd = _mm_cvtps_pd(load_floats(query + i, cols));
#pragma GCC unroll 16
      for (int h = 0; h < 2; h++) {
        __m128d r0 = _mm_cvtps_pd(load_floats((const float*)p[2 * h] + i, cols));
        __m128d r1 = _mm_cvtps_pd(load_floats((const float*)p[2 * h + 1] + i, cols));
        r0 = _mm_and_pd(_mm_sub_pd(r0, qd), noSign);
        r1 = _mm_and_pd(_mm_sub_pd(r1, qd), noSign);
        acc[h] = _mm_add_pd(acc[h], _mm_unpacklo_pd(r0, r1));
        if (cols > 1) acc[h] = _mm_add_pd(acc[h], _mm_unpackhi_pd(r0, r1));
      }
    }
    store_group<Sse2>(_mm_movelh_ps(_mm_cvtpd_ps(acc[0]), _mm_cvtpd_ps(acc[1])), slots, n, out);
  });
}

// Signed bytes biased by 128 become unsigned with the same differences, for PSADBW.
void kernel_l1_int8_batch_sse2(const int8_t* query, const int8_t* vectors, size_t d, size_t count,
                               const uint8_t* candidates, float* out) {
  const __m128i bias = _mm_set1_epi8((char)0x80);
  kernel_for_each_group<kLanes>(candidates, count, [&](const uint32_t* slots, size_t n) {
    for (size_t j = 0; j < n; j++) {
      const int8_t* v = vectors + (size_t)slots[j] * d;
      __m128i acc = _mm_setzero_si128();
      size_t i = 0;
      for (; i + 16 <= d; i += 16) {
        __m128i a = _mm_xor_si128(_mm_loadu_si128((const __m128i*)(v + i)), bias);
        __m128i b = _mm_xor_si128(_mm_loadu_si128((const __m128i*)(query + i)), bias);
        acc = _mm_add_epi64(acc, _mm_sad_epu8(a, b));
      }
      int32_t s = (int32_t)hsum_epi64(acc);
      for (; i < d; i++) s += abs((int)v[i] - (int)query[i]);
      out[slots[j]] = (float)s;
    }
  });
}

// Bits counted per byte with shifts and masks, bytes summed by PSADBW.
void kernel_hamming_bit_batch_sse2(const uint8_t* query, const uint8_t* vectors, size_t d,
                                   size_t count, const uint8_t* candidates, float* out) {
  size_t bytes = d / 8;
  const __m128i m1 = _mm_set1_epi8(0x55), m2 = _mm_set1_epi8(0x33), m4 = _mm_set1_epi8(0x0F);
  kernel_for_each_group<kLanes>(candidates, count, [&](const uint32_t* slots, size_t n) {
    for (size_t j = 0; j < n; j++) {
      const uint8_t* v = vectors + (size_t)slots[j] * bytes;
      __m128i acc = _mm_setzero_si128();
      size_t i = 0;
      for (; i + 16 <= bytes; i += 16) {
        __m128i x = _mm_xor_si128(_mm_loadu_si128((const __m128i*)(v + i)),
                                  _mm_loadu_si128((const __m128i*)(query + i)));
        x = _mm_sub_epi8(x, _mm_and_si128(_mm_srli_epi16(x, 1), m1));
        x = _mm_add_epi8(_mm_and_si128(x, m2), _mm_and_si128(_mm_srli_epi16(x, 2), m2));
        x = _mm_and_si128(_mm_add_epi8(x, _mm_srli_epi16(x, 4)), m4);
        acc = _mm_add_epi64(acc, _mm_sad_epu8(x, _mm_setzero_si128()));
      }
      uint32_t s = (uint32_t)hsum_epi64(acc);
      for (; i < bytes; i++) s += (uint32_t)__builtin_popcount((unsigned)(v[i] ^ query[i]));
      out[slots[j]] = (float)s;
    }
  });
}

#endif
