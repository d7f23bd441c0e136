// Batch kernels for AArch64 NEON. The layout of the work is that of kernels/kernels_sse2.cc:
// float sums run across candidates (lane j is candidate j, adding dimensions in order, each
// product and sum rounded on its own: no FMLA), integer sums along each vector with NEON's
// widening integer instructions.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kernels/kernels_batch.h"

#if defined(JIX_ARM_BATCH_KERNELS)

#include <arm_neon.h>

#include "kernels/kernels_drivers.h"

namespace {

constexpr size_t kLanes = 4;

// n <= 4 floats, zero past n; reads nothing past n.
JIX_HOT float32x4_t load_floats(const float* p, size_t n) {
  if (n >= 4) return vld1q_f32(p);
  float v[4] = {0, 0, 0, 0};
  memcpy(v, p, n * sizeof(float));
  return vld1q_f32(v);
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

// The primitives of the shared drivers in kernels/kernels_drivers.h that the float32 kernels
// use. vmulq and vaddq round separately, and -ffp-contract=off keeps the compiler from fusing
// them.
struct Neon {
  static constexpr size_t kLanes = ::kLanes;
  using Floats = float32x4_t;
  static JIX_HOT float32x4_t zero() { return vdupq_n_f32(0); }
  static JIX_HOT float32x4_t add(float32x4_t a, float32x4_t b) { return vaddq_f32(a, b); }
  static JIX_HOT float32x4_t sub(float32x4_t a, float32x4_t b) { return vsubq_f32(a, b); }
  static JIX_HOT float32x4_t mul(float32x4_t a, float32x4_t b) { return vmulq_f32(a, b); }
  static JIX_HOT float32x4_t sqrt(float32x4_t v) { return vsqrtq_f32(v); }
  static JIX_HOT void store(float* p, float32x4_t v) { vst1q_f32(p, v); }

  // Adds, lane j, candidate p[j]'s terms for dimensions 0 .. d - 1 in order: blocks of 4
  // dimensions are loaded per candidate and transposed, and S forms and adds each dimension's
  // terms from its column and the broadcast query element.
  template <typename R, typename S>
  static JIX_HOT void float_lanes(const R& rows, const S& step, const char* const p[kLanes],
                                  size_t d, float32x4_t* acc) {
    for (size_t i = 0; i < d; i += 4) {
      size_t n = d - i < 4 ? d - i : 4;
      float32x4_t r[4];
#pragma GCC unroll 16
      for (size_t j = 0; j < kLanes; j++) r[j] = load_floats((const float*)p[j] + i, n);
      transpose4(r);
      step(acc, r[0], vdupq_n_f32(rows.q[i]));
      if (n > 1) step(acc, r[1], vdupq_n_f32(rows.q[i + 1]));
      if (n > 2) step(acc, r[2], vdupq_n_f32(rows.q[i + 2]));
      if (n > 3) step(acc, r[3], vdupq_n_f32(rows.q[i + 3]));
    }
  }

  struct Float32Rows {
    const float* q;
  };
};

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
  l2_float32_batch<Neon>(query, vectors, d, count, candidates, out);
}

// Two blocks: eight of the 32 registers hold sums.
void kernel_l2_float32_lanes_neon(const float* query, const float* blocks, size_t d, size_t count,
                                  size_t from, size_t to, float* sums) {
  l2_float32_lanes<2>(query, blocks, d, count, from, to, sums);
}

// The final division and square roots are in double, as in the pair kernel, one lane at a time.
void kernel_cosine_float32_batch_neon(const float* query, const float* vectors, size_t d,
                                      size_t count, const uint8_t* candidates, float* out) {
  const Neon::Float32Rows rows{query};
  float qq = query_norm_float32(query, d);
  kernel_for_each_group<kLanes>(candidates, count, [&](const uint32_t* slots, size_t n) {
    const char* p[kLanes];
    group_pointers<Neon>(vectors, d * sizeof(float), slots, n, p);
    float32x4_t acc[2] = {vdupq_n_f32(0), vdupq_n_f32(0)};
    Neon::float_lanes(rows, CosineStep<Neon>(), p, d, acc);
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
    group_pointers<Neon>(vectors, d * sizeof(float), slots, n, p);
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
    store_group<Neon>(vcombine_f32(vcvt_f32_f64(acc[0]), vcvt_f32_f64(acc[1])), slots, n, out);
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
  const Int8QueryNorm qq = query_norm_int8(query, d);
  kernel_for_each_group<kLanes>(candidates, count, [&](const uint32_t* slots, size_t n) {
    for (size_t j = 0; j < n; j++) {
      const int8_t* v = vectors + (size_t)slots[j] * d;
      int64_t dot, norm;
      cosine_int8_exact(v, query, d, &dot, &norm);
      // Both norms within 2^24 bound the dot product's partial sums too (Cauchy-Schwarz).
      if (norm <= kExactFloatIntegers && qq.exact <= kExactFloatIntegers)
        out[slots[j]] = kernel_cosine_finish((float)dot, (float)norm, qq.sum);
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
