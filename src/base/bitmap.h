// Bitmaps of n bits (n a multiple of 8) in n / 8 bytes: bit i is bit i % 8 of byte i / 8,
// least significant first. The same layout as a chunk's validity bitmap and a BOOLEAN
// metadata chunk, so bitmaps are filled from those BLOBs by copying bytes.
#pragma once

#include <cstdint>

// Allocated with sqlite3_malloc; the caller frees with sqlite3_free. Null on failure.
uint8_t* bitmap_new(int n);
uint8_t* bitmap_new_from(int n, const uint8_t* source);
void bitmap_copy(uint8_t* destination, const uint8_t* source, int n);
void bitmap_and_inplace(uint8_t* base, const uint8_t* other, int n);
inline void bitmap_set(uint8_t* bitmap, int i, int value) {
  if (value)
    bitmap[i / 8] |= (uint8_t)(1u << (i % 8));
  else
    bitmap[i / 8] &= (uint8_t) ~(1u << (i % 8));
}
inline int bitmap_get(const uint8_t* bitmap, int i) {
  return (bitmap[i / 8] >> (i % 8)) & 1;
}
void bitmap_clear(uint8_t* bitmap, int n);
void bitmap_fill(uint8_t* bitmap, int n);
