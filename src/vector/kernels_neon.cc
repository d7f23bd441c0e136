// Batch kernels for AArch64 NEON. The layout of the work is that of vector/kernels_sse2.cc:
// float sums run across candidates (lane j is candidate j, adding dimensions in order, each
// product and sum rounded on its own: no FMLA), integer sums along each vector with NEON's
// widening integer instructions.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "vector/kernels_batch.h"

#if defined(JIX_ARM_BATCH_KERNELS)

#include <arm_neon.h>

#include "vector/kernels_simd.h"

namespace {

// The hot helpers must inline: out of line, every block of rows would round-trip through memory.
#define JIX_HOT inline __attribute__((always_inline))

constexpr size_t kLanes = 4;

// n <= 4 floats, zero past n; reads nothing past n.
JIX_HOT float32x4_t load_floats(const float* p, size_t n) {
  if (n >= 4) return vld1q_f32(p);
  float v[4] = {0, 0, 0, 0};
  memcpy(v, p, n * sizeof(float));
  return vld1q_f32(v);
}

inline void group_pointers(const void* vectors, size_t bytes, const uint32_t* slots, size_t n,
                           const char* p[kLanes]) {
#pragma GCC unroll 16
  for (size_t j = 0; j < kLanes; j++)
    p[j] = (const char*)vectors + (size_t)slots[j < n ? j : n - 1] * bytes;
}

inline void store_group(float32x4_t v, const uint32_t* slots, size_t n, float* out) {
  float lanes[kLanes];
  vst1q_f32(lanes, v);
  for (size_t j = 0; j < n; j++) out[slots[j]] = lanes[j];
}

// Rows r[j] become columns: afterwards r[c] holds element c of every row, row j in lane j.
JIX_HOT void transpose4(float32x4_t r[4]) {
  float32x4_t t0 = vtrn1q_f32(r[0], r[1]), t1 = vtrn2q_f32(r[0], r[1]);
  float32x4_t t2 = vtrn1q_f32(r[2], r[3]), t3 = vtrn2q_f32(r[2], r[3]);
  r[0] = vreinterpretq_f32_f64(vtrn1q_f64(vreinterpretq_f64_f32(t0), vreinterpretq_f64_f32(t2)));
  r[1] = vreinterpretq_f32_f64(vtrn1q_f64(vreinterpretq_f64_f32(t1), vreinterpretq_f64_f32(t3)));
  r[2] = vreinterpretq_f32_f64(vtrn2q_f64(vreinterpretq_f64_f32(t0), vreinterpretq_f64_f32(t2)));
  r[3] = vreinterpretq_f32_f64(vtrn2q_f64(vreinterpretq_f64_f32(t1), vreinterpretq_f64_f32(t3)));
}

// Adds, lane j, candidate p[j]'s terms for dimensions 0 .. d - 1 in order: blocks of 4
// dimensions are loaded per candidate and transposed, and S forms and adds each dimension's
// terms from its column and the broadcast query element.
template <typename S>
JIX_HOT void float_lanes(const S& step, const float* q, const char* const p[kLanes], size_t d,
                         float32x4_t* acc) {
  for (size_t i = 0; i < d; i += 4) {
    size_t n = d - i < 4 ? d - i : 4;
    float32x4_t r[4];
#pragma GCC unroll 16
    for (size_t j = 0; j < kLanes; j++) r[j] = load_floats((const float*)p[j] + i, n);
    transpose4(r);
    step(acc, r[0], vdupq_n_f32(q[i]));
    if (n > 1) step(acc, r[1], vdupq_n_f32(q[i + 1]));
    if (n > 2) step(acc, r[2], vdupq_n_f32(q[i + 2]));
    if (n > 3) step(acc, r[3], vdupq_n_f32(q[i + 3]));
  }
}

// One dimension of the pair kernels' loops, stored vector v first. vmulq and vaddq round
// separately, and -ffp-contract=off keeps the compiler from fusing them.
struct L2Step {  // t = v - q; s = s + t * t
  JIX_HOT void operator()(float32x4_t* acc, float32x4_t v, float32x4_t q) const {
    float32x4_t t = vsubq_f32(v, q);
    acc[0] = vaddq_f32(acc[0], vmulq_f32(t, t));
  }
};

struct CosineStep {  // dot = dot + v * q; vv = vv + v * v
  JIX_HOT void operator()(float32x4_t* acc, float32x4_t v, float32x4_t q) const {
    acc[0] = vaddq_f32(acc[0], vmulq_f32(v, q));
    acc[1] = vaddq_f32(acc[1], vmulq_f32(v, v));
  }
};

// The query's squared norm, summed as the pair kernels sum it.
float query_norm_float32(const float* q, size_t d) {
  float s = 0;
  for (size_t i = 0; i < d; i++) s = s + q[i] * q[i];
  return s;
}

// Differences are at most 255 in magnitude, squares at most 65025: int32 lanes hold any sum of
// up to 2^15 of them, and dimensions are far fewer.
inline int64_t l2_int8_exact(const int8_t* v, const int8_t* q, size_t d) {
  int32x4_t acc = vdupq_n_s32(0);
  size_t i = 0;
  for (; i + 8 <= d; i += 8) {
    int16x8_t t = vsubl_s8(vld1_s8(v + i), vld1_s8(q + i));
    acc = vmlal_s16(acc, vget_low_s16(t), vget_low_s16(t));
    acc = vmlal_high_s16(acc, t, t);
  }
  int64_t s = vaddlvq_s32(acc);
  for (; i < d; i++) s += ((int)v[i] - (int)q[i]) * ((int)v[i] - (int)q[i]);
  return s;
}

// Products of int8 values are at most 2^14 in magnitude, so they fit int16 lanes.
inline void cosine_int8_exact(const int8_t* v, const int8_t* q, size_t d, int64_t* outDot,
                              int64_t* outNorm) {
  int32x4_t dot = vdupq_n_s32(0), norm = vdupq_n_s32(0);
  size_t i = 0;
  for (; i + 8 <= d; i += 8) {
    int8x8_t a = vld1_s8(v + i), b = vld1_s8(q + i);
    dot = vpadalq_s16(dot, vmull_s8(a, b));
    norm = vpadalq_s16(norm, vmull_s8(a, a));
  }
  int64_t sDot = vaddlvq_s32(dot), sNorm = vaddlvq_s32(norm);
  for (; i < d; i++) {
    sDot += (int)v[i] * (int)q[i];
    sNorm += (int)v[i] * (int)v[i];
  }
  *outDot = sDot;
  *outNorm = sNorm;
}

}  // namespace

void kernel_l2_float32_batch_neon(const float* query, const float* vectors, size_t d, size_t count,
                                  const uint8_t* candidates, float* out) {
  const L2Step step;
  kernel_for_each_group<kLanes>(candidates, count, [&](const uint32_t* slots, size_t n) {
    const char* p[kLanes];
    group_pointers(vectors, d * sizeof(float), slots, n, p);
    float32x4_t acc[1] = {vdupq_n_f32(0)};
    float_lanes(step, query, p, d, acc);
    store_group(vsqrtq_f32(acc[0]), slots, n, out);
  });
}

// The final division and square roots are in double, as in the pair kernel, one lane at a time.
void kernel_cosine_float32_batch_neon(const float* query, const float* vectors, size_t d,
                                      size_t count, const uint8_t* candidates, float* out) {
  const CosineStep step;
  float qq = query_norm_float32(query, d);
  kernel_for_each_group<kLanes>(candidates, count, [&](const uint32_t* slots, size_t n) {
    const char* p[kLanes];
    group_pointers(vectors, d * sizeof(float), slots, n, p);
    float32x4_t acc[2] = {vdupq_n_f32(0), vdupq_n_f32(0)};
    float_lanes(step, query, p, d, acc);
    float dot[kLanes], vv[kLanes];
    vst1q_f32(dot, acc[0]);
    vst1q_f32(vv, acc[1]);
    for (size_t j = 0; j < n; j++) out[slots[j]] = kernel_cosine_finish(dot[j], vv[j], qq);
  });
}

// Doubles: 2 lanes per register, two registers per group of 4 candidates; 2 dimensions at a
// time are widened per candidate and interleaved so that each lane adds them in order.
void kernel_l1_float32_batch_neon(const float* query, const float* vectors, size_t d, size_t count,
                                  const uint8_t* candidates, float* out) {
  kernel_for_each_group<kLanes>(candidates, count, [&](const uint32_t* slots, size_t n) {
    const char* p[kLanes];
    group_pointers(vectors, d * sizeof(float), slots, n, p);
    float64x2_t acc[2] = {vdupq_n_f64(0), vdupq_n_f64(0)};
    size_t i = 0;
    for (; i + 2 <= d; i += 2) {
      float64x2_t qd = vcvt_f64_f32(vld1_f32(query + i));
#pragma GCC unroll 16
      for (int h = 0; h < 2; h++) {
        float64x2_t r0 = vcvt_f64_f32(vld1_f32((const float*)p[2 * h] + i));
        float64x2_t r1 = vcvt_f64_f32(vld1_f32((const float*)p[2 * h + 1] + i));
        r0 = vabsq_f64(vsubq_f64(r0, qd));
        r1 = vabsq_f64(vsubq_f64(r1, qd));
        acc[h] = vaddq_f64(acc[h], vzip1q_f64(r0, r1));
        acc[h] = vaddq_f64(acc[h], vzip2q_f64(r0, r1));
      }
    }
    if (i < d) {
      float64x2_t qd = vdupq_n_f64((double)query[i]);
#pragma GCC unroll 16
      for (int h = 0; h < 2; h++) {
        float64x2_t r = {(double)((const float*)p[2 * h])[i],
                         (double)((const float*)p[2 * h + 1])[i]};
        acc[h] = vaddq_f64(acc[h], vabsq_f64(vsubq_f64(r, qd)));
      }
    }
    store_group(vcombine_f32(vcvt_f32_f64(acc[0]), vcvt_f32_f64(acc[1])), slots, n, out);
  });
}

// Integer sums within float32's exact integers equal the pair kernel's float32 sums; the rare
// vector past them takes the pair kernel itself.
void kernel_l2_int8_batch_neon(const int8_t* query, const int8_t* vectors, size_t d, size_t count,
                               const uint8_t* candidates, float* out) {
  kernel_for_each_group<kLanes>(candidates, count, [&](const uint32_t* slots, size_t n) {
    for (size_t j = 0; j < n; j++) {
      const int8_t* v = vectors + (size_t)slots[j] * d;
      int64_t s = l2_int8_exact(v, query, d);
      out[slots[j]] = s <= kExactFloatIntegers ? sqrtf((float)s) : kernel_l2_int8(v, query, d);
    }
  });
}

void kernel_cosine_int8_batch_neon(const int8_t* query, const int8_t* vectors, size_t d,
                                   size_t count, const uint8_t* candidates, float* out) {
  float qq = 0;
  int64_t qqExact = 0;
  for (size_t i = 0; i < d; i++) {
    qq = qq + (float)((int)query[i] * (int)query[i]);
    qqExact += (int)query[i] * (int)query[i];
  }
  kernel_for_each_group<kLanes>(candidates, count, [&](const uint32_t* slots, size_t n) {
    for (size_t j = 0; j < n; j++) {
      const int8_t* v = vectors + (size_t)slots[j] * d;
      int64_t dot, norm;
      cosine_int8_exact(v, query, d, &dot, &norm);
      // Both norms within 2^24 bound the dot product's partial sums too (Cauchy-Schwarz).
      if (norm <= kExactFloatIntegers && qqExact <= kExactFloatIntegers)
        out[slots[j]] = kernel_cosine_finish((float)dot, (float)norm, qq);
      else
        out[slots[j]] = kernel_cosine_int8(v, query, d);
    }
  });
}

// Absolute differences (0 .. 255) widened to 16 bits, added pairwise into 32-bit lanes.
void kernel_l1_int8_batch_neon(const int8_t* query, const int8_t* vectors, size_t d, size_t count,
                               const uint8_t* candidates, float* out) {
  kernel_for_each_group<kLanes>(candidates, count, [&](const uint32_t* slots, size_t n) {
    for (size_t j = 0; j < n; j++) {
      const int8_t* v = vectors + (size_t)slots[j] * d;
      uint32x4_t acc = vdupq_n_u32(0);
      size_t i = 0;
      for (; i + 16 <= d; i += 16) {
        int8x16_t a = vld1q_s8(v + i), b = vld1q_s8(query + i);
        acc = vpadalq_u16(acc, vreinterpretq_u16_s16(vabdl_s8(vget_low_s8(a), vget_low_s8(b))));
        acc = vpadalq_u16(acc, vreinterpretq_u16_s16(vabdl_high_s8(a, b)));
      }
      int64_t s = (int64_t)vaddlvq_u32(acc);
      for (; i < d; i++) s += abs((int)v[i] - (int)query[i]);
      out[slots[j]] = (float)(int32_t)s;
    }
  });
}

// Bits counted per byte by CNT, then added pairwise into 32-bit lanes.
void kernel_hamming_bit_batch_neon(const uint8_t* query, const uint8_t* vectors, size_t d,
                                   size_t count, const uint8_t* candidates, float* out) {
  size_t bytes = d / 8;
  kernel_for_each_group<kLanes>(candidates, count, [&](const uint32_t* slots, size_t n) {
    for (size_t j = 0; j < n; j++) {
      const uint8_t* v = vectors + (size_t)slots[j] * bytes;
      uint32x4_t acc = vdupq_n_u32(0);
      size_t i = 0;
      for (; i + 16 <= bytes; i += 16) {
        uint8x16_t x = veorq_u8(vld1q_u8(v + i), vld1q_u8(query + i));
        acc = vpadalq_u16(acc, vpaddlq_u8(vcntq_u8(x)));
      }
      uint32_t s = (uint32_t)vaddlvq_u32(acc);
      for (; i < bytes; i++) s += (uint32_t)__builtin_popcount((unsigned)(v[i] ^ query[i]));
      out[slots[j]] = (float)s;
    }
  });
}

#endif
