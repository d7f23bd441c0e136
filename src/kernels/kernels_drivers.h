// The drivers every instruction-set file of the batch kernels shares: how candidates are
// grouped into lanes, stored back, and, for int8, which ones take the float lanes. Each file
// supplies only its own primitives as a struct Isa:
//
//   kLanes, Floats                  lane count and the register of kLanes float32
//   zero, add, sub, mul, sqrt       lane-wise float32 arithmetic, each step rounded on its own
//   store(float*, Floats)           kLanes floats out, unaligned
//   float_lanes(rows, step, p, d, acc)
//                                   adds, lane j, candidate p[j]'s terms in dimension order
//   cosine_finish(dot, aa, sqrtBb)  kernel_cosine_finish lane by lane
//   Float32Rows, Int8Rows           loads of one candidate's block, as float32
//   l2_int8_exact, cosine_int8_exact
//                                   int8 sums along one vector pair in int32
//   kGroups (optional)              groups of kLanes candidates run side by side (default 1)
//   Float32Rows::full_block (optional)
//                                   a full block of kLanes dimensions of a group, loaded and
//                                   transposed without masks (grouped_float_lanes)
//
// The header is included after the file's target pragma, so every driver is compiled for the
// file's instruction set; like kernels_simd.h, everything here has internal linkage.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/kernels_simd.h"

// The hot helpers must inline: out of line, every block of rows would round-trip through memory.
#define JIX_HOT inline __attribute__((always_inline))

namespace {

// p[j] is the vector of slot j of the group; lanes past n repeat the last one, so that every
// lane loads valid memory, and are never stored.
template <typename Isa>
inline void group_pointers(const void* vectors, size_t bytes, const uint32_t* slots, size_t n,
                           const char* p[Isa::kLanes]) {
#pragma GCC unroll 16
  for (size_t j = 0; j < Isa::kLanes; j++)
    p[j] = (const char*)vectors + (size_t)slots[j < n ? j : n - 1] * bytes;
}

template <typename Isa>
inline void store_group(typename Isa::Floats v, const uint32_t* slots, size_t n, float* out) {
  float lanes[Isa::kLanes];
  Isa::store(lanes, v);
  for (size_t j = 0; j < n; j++) out[slots[j]] = lanes[j];
}

// One dimension of the pair kernels' loops, stored vector v first.
template <typename Isa>
struct L2Step {  // t = v - q; s = s + t * t
  using F = typename Isa::Floats;
  JIX_HOT void operator()(F* acc, F v, F q) const {
    F t = Isa::sub(v, q);
    acc[0] = Isa::add(acc[0], Isa::mul(t, t));
  }
};

template <typename Isa>
struct CosineStep {  // dot = dot + v * q; vv = vv + v * v
  using F = typename Isa::Floats;
  JIX_HOT void operator()(F* acc, F v, F q) const {
    acc[0] = Isa::add(acc[0], Isa::mul(v, q));
    acc[1] = Isa::add(acc[1], Isa::mul(v, v));
  }
};

// The query's squared norm, summed as the pair kernels sum it.
inline float query_norm_float32(const float* q, size_t d) {
  float s = 0;
  for (size_t i = 0; i < d; i++) s = s + q[i] * q[i];
  return s;
}

// An int8 query's squared norm as the pair kernel sums it in float32, and exactly.
struct Int8QueryNorm {
  float sum;
  int64_t exact;
};

inline Int8QueryNorm query_norm_int8(const int8_t* q, size_t d) {
  Int8QueryNorm norm = {0, 0};
  for (size_t i = 0; i < d; i++) {
    norm.sum = norm.sum + (float)((int)q[i] * (int)q[i]);
    norm.exact += (int)q[i] * (int)q[i];
  }
  return norm;
}

// Isa::float_lanes for instruction sets with masked loads as wide as their lanes: adds, lane j,
// candidate p[j]'s terms for dimensions 0 .. d - 1 in order. Each block of kLanes dimensions
// is loaded per candidate (R::row, as float32, under Isa::mask) and transposed, so that
// register c holds dimension i + c of every candidate; S then forms that dimension's terms
// from it and the broadcast query element and adds them, as the pair kernel's loop body does
// for one candidate. Dimensions past d in the last block are loaded as zero and never added.
template <typename Isa, typename R, typename S>
JIX_HOT void masked_float_lanes(const R& rows, const S& step, const char* const p[Isa::kLanes],
                                size_t d, typename Isa::Floats* acc) {
  constexpr size_t kLanes = Isa::kLanes;
  for (size_t i = 0; i < d; i += kLanes) {
    size_t n = d - i < kLanes ? d - i : kLanes;
    auto m = Isa::mask(n);
    typename Isa::Floats r[kLanes];
#pragma GCC unroll 16
    for (size_t j = 0; j < kLanes; j++) r[j] = rows.row(p[j], i, n, m);
    Isa::transpose(r);
    if (n == kLanes) {
#pragma GCC unroll 16
      for (size_t col = 0; col < kLanes; col++)
        step(acc, r[col], Isa::broadcast(rows.query(i + col)));
    } else {
      for (size_t col = 0; col < n; col++) step(acc, r[col], Isa::broadcast(rows.query(i + col)));
    }
  }
}

// How many groups of kLanes candidates the float32 kernels run side by side: Isa::kGroups where
// the file sets it, else 1. A candidate's sum is one serial chain of additions; chains of
// separate groups are independent, so the CPU overlaps their latencies.
template <typename Isa>
constexpr size_t kernel_groups() {
  if constexpr (requires { Isa::kGroups; })
    return Isa::kGroups;
  else
    return 1;
}

// masked_float_lanes for G groups side by side: group g is candidates p[g * kLanes + j], its
// sums acc[g]. Every candidate still adds its terms in dimension order. Full blocks come from
// R::full_block, which loads and transposes them without masks; the last, partial block is
// loaded under a mask as above.
template <typename Isa, size_t G, size_t A, typename R, typename S>
JIX_HOT void grouped_float_lanes(const R& rows, const S& step, const char* const* p, size_t d,
                                 typename Isa::Floats (*acc)[A]) {
  constexpr size_t kLanes = Isa::kLanes;
  // The rows are read side by side, one cache line of each at a time: more streams than the
  // hardware prefetcher follows, so each row's line a few lines ahead is asked for here.
  constexpr size_t kAhead = 4 * 64 / sizeof(float);
  // Near the end of the rows, the lines ahead are the first lines of the rows the next call
  // reads. Where this call's rows are evenly spaced (a chunk's rows in order), those follow
  // these at the same spacing; elsewhere they are not known and not asked for. A prefetch never
  // faults, so a wrong guess past the last row costs only bandwidth.
  constexpr size_t kRows = G * kLanes;
  const size_t rowBytes = d * sizeof(float);
  const size_t next =
      (size_t)(p[kRows - 1] - p[0]) == (kRows - 1) * rowBytes ? kRows * rowBytes : 0;
  size_t i = 0;
  for (; i + kLanes <= d; i += kLanes) {
#pragma GCC unroll 4
    for (size_t g = 0; g < G; g++) {
      typename Isa::Floats r[kLanes];
      if (i * sizeof(float) % 64 == 0) {
        if (i + kAhead < d) {
#pragma GCC unroll 16
          for (size_t j = 0; j < kLanes; j++)
            __builtin_prefetch(p[g * kLanes + j] + (i + kAhead) * sizeof(float));
        } else if (next != 0) {
#pragma GCC unroll 16
          for (size_t j = 0; j < kLanes; j++)
            __builtin_prefetch(p[g * kLanes + j] + next + (i + kAhead - d) * sizeof(float));
        }
      }
      rows.full_block(p + g * kLanes, i, r);
#pragma GCC unroll 16
      for (size_t col = 0; col < kLanes; col++)
        step(acc[g], r[col], Isa::broadcast(rows.query(i + col)));
    }
  }
  if (i == d) return;
  size_t n = d - i;
  auto m = Isa::mask(n);
  for (size_t g = 0; g < G; g++) {
    typename Isa::Floats r[kLanes];
#pragma GCC unroll 16
    for (size_t j = 0; j < kLanes; j++) r[j] = rows.row(p[g * kLanes + j], i, n, m);
    Isa::transpose(r);
    for (size_t col = 0; col < n; col++) step(acc[g], r[col], Isa::broadcast(rows.query(i + col)));
  }
}

// Isa::float_lanes over G groups, A accumulators per group. Rows with full_block take
// grouped_float_lanes even for one group.
template <typename Isa, size_t G, size_t A, typename R, typename S>
JIX_HOT void float_lanes_of_groups(const R& rows, const S& step, const char* const* p, size_t d,
                                   typename Isa::Floats (*acc)[A]) {
  if constexpr (G == 1 && !requires(typename Isa::Floats * r) { rows.full_block(p, 0, r); })
    Isa::float_lanes(rows, step, p, d, acc[0]);
  else
    grouped_float_lanes<Isa, G>(rows, step, p, d, acc);
}

// The L2 distances of one group, lane j for candidate p[j].
template <typename Isa, typename Rows>
JIX_HOT typename Isa::Floats l2_lanes(const Rows& rows, const char* const p[Isa::kLanes],
                                      size_t d) {
  typename Isa::Floats acc[1] = {Isa::zero()};
  Isa::float_lanes(rows, L2Step<Isa>(), p, d, acc);
  return Isa::sqrt(acc[0]);
}

// The cosine distances of one group; sqrtQq is sqrt((double)) of the query's float32 norm.
template <typename Isa, typename Rows>
JIX_HOT typename Isa::Floats cosine_lanes(const Rows& rows, const char* const p[Isa::kLanes],
                                          size_t d, double sqrtQq) {
  typename Isa::Floats acc[2] = {Isa::zero(), Isa::zero()};
  Isa::float_lanes(rows, CosineStep<Isa>(), p, d, acc);
  return Isa::cosine_finish(acc[0], acc[1], sqrtQq);
}

// The L2 distances of G groups side by side into out[g].
template <typename Isa, size_t G, typename Rows>
JIX_HOT void l2_groups(const Rows& rows, const char* const* p, size_t d,
                       typename Isa::Floats* out) {
  typename Isa::Floats acc[G][1];
  for (size_t g = 0; g < G; g++) acc[g][0] = Isa::zero();
  float_lanes_of_groups<Isa, G>(rows, L2Step<Isa>(), p, d, acc);
  for (size_t g = 0; g < G; g++) out[g] = Isa::sqrt(acc[g][0]);
}

// The cosine distances of G groups side by side into out[g].
template <typename Isa, size_t G, typename Rows>
JIX_HOT void cosine_groups(const Rows& rows, const char* const* p, size_t d, double sqrtQq,
                           typename Isa::Floats* out) {
  typename Isa::Floats acc[G][2];
  for (size_t g = 0; g < G; g++) acc[g][0] = acc[g][1] = Isa::zero();
  float_lanes_of_groups<Isa, G>(rows, CosineStep<Isa>(), p, d, acc);
  for (size_t g = 0; g < G; g++) out[g] = Isa::cosine_finish(acc[g][0], acc[g][1], sqrtQq);
}

// Float32 kernels: kernel_groups<Isa>() groups of candidates at a time through the float lanes;
// a last window short of candidates repeats its last one. lanes(p, out) sets each group's
// distances.
template <typename Isa, typename Lanes>
inline void float32_batch(const float* vectors, size_t d, size_t count, const uint8_t* candidates,
                          float* out, const Lanes& lanes) {
  constexpr size_t G = kernel_groups<Isa>(), kLanes = Isa::kLanes;
  kernel_for_each_group<G * kLanes>(candidates, count, [&](const uint32_t* slots, size_t n) {
    const char* p[G * kLanes];
#pragma GCC unroll 64
    for (size_t j = 0; j < G * kLanes; j++)
      p[j] = (const char*)vectors + (size_t)slots[j < n ? j : n - 1] * d * sizeof(float);
    typename Isa::Floats result[G];
    lanes(p, result);
    for (size_t g = 0; g < G && g * kLanes < n; g++) {
      size_t left = n - g * kLanes;
      store_group<Isa>(result[g], slots + g * kLanes, left < kLanes ? left : kLanes, out);
    }
  });
}

// Candidates whose int8 sums were not exact in float32, waiting for a full group of lanes.
template <size_t kLanes>
struct Overflow {
  uint32_t slots[kLanes];
  size_t n = 0;
};

// Int8 kernels: exact(v, &result) sums candidate v in integers and sets its distance, or
// returns false when a partial sum may leave float32's exact integers, where the pair kernel
// rounds. Those candidates are gathered and run through lanes(p), the float lanes that repeat
// the pair kernel's float32 steps, a full group at a time.
template <typename Isa, typename Exact, typename Lanes>
inline void int8_batch(const int8_t* vectors, size_t d, size_t count, const uint8_t* candidates,
                       float* out, const Exact& exact, const Lanes& lanes) {
  Overflow<Isa::kLanes> overflow;
  auto flush = [&] {
    const char* p[Isa::kLanes];
    group_pointers<Isa>(vectors, d, overflow.slots, overflow.n, p);
    store_group<Isa>(lanes(p), overflow.slots, overflow.n, out);
    overflow.n = 0;
  };
  kernel_for_each_group<Isa::kLanes>(candidates, count, [&](const uint32_t* slots, size_t n) {
    for (size_t j = 0; j < n; j++) {
      if (exact(vectors + (size_t)slots[j] * d, &out[slots[j]])) continue;
      overflow.slots[overflow.n++] = slots[j];
      if (overflow.n == Isa::kLanes) flush();
    }
  });
  if (overflow.n > 0) flush();
}

template <typename Isa>
inline void l2_float32_batch(const float* query, const float* vectors, size_t d, size_t count,
                             const uint8_t* candidates, float* out) {
  const typename Isa::Float32Rows rows{query};
  float32_batch<Isa>(vectors, d, count, candidates, out,
                     [&](const char* const* p, typename Isa::Floats* result) {
                       l2_groups<Isa, kernel_groups<Isa>()>(rows, p, d, result);
                     });
}

template <typename Isa>
inline void cosine_float32_batch(const float* query, const float* vectors, size_t d, size_t count,
                                 const uint8_t* candidates, float* out) {
  const typename Isa::Float32Rows rows{query};
  double sqrtQq = sqrt((double)query_norm_float32(query, d));
  float32_batch<Isa>(vectors, d, count, candidates, out,
                     [&](const char* const* p, typename Isa::Floats* result) {
                       cosine_groups<Isa, kernel_groups<Isa>()>(rows, p, d, sqrtQq, result);
                     });
}

template <typename Isa>
inline void l2_int8_batch(const int8_t* query, const int8_t* vectors, size_t d, size_t count,
                          const uint8_t* candidates, float* out) {
  const typename Isa::Int8Rows rows{query};
  int8_batch<Isa>(
      vectors, d, count, candidates, out,
      [&](const int8_t* v, float* result) {
        int32_t s = Isa::l2_int8_exact(v, query, d);
        if (s > kExactFloatIntegers) return false;
        *result = sqrtf((float)s);
        return true;
      },
      [&](const char* const* p) { return l2_lanes<Isa>(rows, p, d); });
}

template <typename Isa>
inline void cosine_int8_batch(const int8_t* query, const int8_t* vectors, size_t d, size_t count,
                              const uint8_t* candidates, float* out) {
  const typename Isa::Int8Rows rows{query};
  const Int8QueryNorm qq = query_norm_int8(query, d);
  double sqrtQq = sqrt((double)qq.sum);
  int8_batch<Isa>(
      vectors, d, count, candidates, out,
      [&](const int8_t* v, float* result) {
        int32_t dot, norm;
        Isa::cosine_int8_exact(v, query, d, &dot, &norm);
        // |dot| summed term by term is at most sqrt(norm * qq) (Cauchy-Schwarz), so both
        // bounds keep every partial sum of all three accumulators exact.
        if (norm > kExactFloatIntegers || qq.exact > kExactFloatIntegers) return false;
        *result = kernel_cosine_finish((float)dot, (float)norm, qq.sum);
        return true;
      },
      [&](const char* const* p) { return cosine_lanes<Isa>(rows, p, d, sqrtQq); });
}

}  // namespace

// Defines the batch kernels that are the shared drivers over struct isa, as kernel_*_##suffix.
// Lane blocks: each lane is its own sum, so plain lane-wise arithmetic on kKernelLaneBlock floats
// keeps the pair kernel's order; the compiler maps it onto the file's registers. kBlocks blocks
// run side by side, so that their sums' additions overlap.
typedef float LaneFloats __attribute__((vector_size(kKernelLaneBlock * sizeof(float))));

template <size_t kBlocks>
JIX_HOT void l2_lane_blocks(const float* query, const float* blocks, size_t d, size_t from,
                            size_t to, float* sums) {
  LaneFloats acc[kBlocks];
#pragma GCC unroll 8
  for (size_t b = 0; b < kBlocks; b++) memcpy(&acc[b], sums + b * kKernelLaneBlock, sizeof acc[b]);
  for (size_t i = from; i < to; i++) {
    const float q = query[i];
#pragma GCC unroll 8
    for (size_t b = 0; b < kBlocks; b++) {
      LaneFloats v;
      memcpy(&v, blocks + (b * d + i) * kKernelLaneBlock, sizeof v);
      LaneFloats t = v - q;
      acc[b] = acc[b] + t * t;
    }
  }
#pragma GCC unroll 8
  for (size_t b = 0; b < kBlocks; b++) memcpy(sums + b * kKernelLaneBlock, &acc[b], sizeof acc[b]);
}

template <size_t kBlocks>
inline void l2_float32_lanes(const float* query, const float* blocks, size_t d, size_t count,
                             size_t from, size_t to, float* sums) {
  const size_t stride = d * kKernelLaneBlock;
  size_t b = 0;
  for (; b + kBlocks <= count; b += kBlocks) {
    l2_lane_blocks<kBlocks>(query, blocks + b * stride, d, from, to, sums + b * kKernelLaneBlock);
  }
  for (; b < count; b++) {
    l2_lane_blocks<1>(query, blocks + b * stride, d, from, to, sums + b * kKernelLaneBlock);
  }
}

#define JIX_DEFINE_DRIVEN_BATCH_KERNELS(suffix, isa)                                               \
  void kernel_l2_float32_batch_##suffix(const float* query, const float* vectors, size_t d,        \
                                        size_t count, const uint8_t* candidates, float* out) {     \
    l2_float32_batch<isa>(query, vectors, d, count, candidates, out);                              \
  }                                                                                                \
  void kernel_cosine_float32_batch_##suffix(const float* query, const float* vectors, size_t d,    \
                                            size_t count, const uint8_t* candidates, float* out) { \
    cosine_float32_batch<isa>(query, vectors, d, count, candidates, out);                          \
  }                                                                                                \
  void kernel_l2_int8_batch_##suffix(const int8_t* query, const int8_t* vectors, size_t d,         \
                                     size_t count, const uint8_t* candidates, float* out) {        \
    l2_int8_batch<isa>(query, vectors, d, count, candidates, out);                                 \
  }                                                                                                \
  void kernel_cosine_int8_batch_##suffix(const int8_t* query, const int8_t* vectors, size_t d,     \
                                         size_t count, const uint8_t* candidates, float* out) {    \
    cosine_int8_batch<isa>(query, vectors, d, count, candidates, out);                             \
  }
