// Helpers shared by the fast batch kernels: candidate bitmaps turned into groups of slots, and
// the bounds under which int8 sums in integers equal the float32 sums of the pair kernels; and
// the cosine kernels' final step, which the pair kernels define. Everything here has internal
// linkage, so each instruction-set file gets its own copy, compiled for its instruction set.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace {

// Integers up to 2^24 are exact in float32. When every partial sum of integer terms stays within
// ±2^24, each float32 addition of the pair kernel is exact, so the float32 sum equals the
// integer sum converted once.
constexpr int64_t kExactFloatIntegers = int64_t{1} << 24;

// Calls visit(slots, n) for consecutive groups of n <= kGroup candidate slots, in slot order.
template <size_t kGroup, typename Visit>
inline void kernel_for_each_group(const uint8_t* candidates, size_t count, Visit&& visit) {
  constexpr size_t kWindow = 256;  // slots examined at a time: a multiple of 8 and of kGroup
  static_assert(kWindow % 8 == 0 && kWindow % kGroup == 0);
  uint32_t slots[kWindow];
  for (size_t first = 0; first < count; first += kWindow) {
    size_t end = count - first < kWindow ? count : first + kWindow;
    size_t n = 0;
    if (candidates == nullptr) {
      for (size_t s = first; s < end; s++) slots[n++] = (uint32_t)s;
    } else {
      for (size_t byte = first / 8; byte * 8 < end; byte++) {
        unsigned bits = candidates[byte];
        if (end - byte * 8 < 8) bits &= (1u << (end - byte * 8)) - 1;
        if (bits == 0xFF) {  // the common case of a full byte, without a search per slot
          for (uint32_t b = 0; b < 8; b++) slots[n++] = (uint32_t)(byte * 8) + b;
          continue;
        }
        while (bits != 0) {
          slots[n++] = (uint32_t)(byte * 8 + (size_t)__builtin_ctz(bits));
          bits &= bits - 1;
        }
      }
    }
    for (size_t g = 0; g < n; g += kGroup) visit(slots + g, n - g < kGroup ? n - g : kGroup);
  }
}

// The final step of both cosine kernels: the quotient and the square roots in double.
inline float kernel_cosine_finish(float dot, float aa, float bb) {
  double q = (double)dot / (sqrt((double)aa) * sqrt((double)bb));
  return (float)(1.0 - q);
}

}  // namespace
