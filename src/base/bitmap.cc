// Whole-bitmap operations work on bytes, never bit by bit.
#include "base/bitmap.h"

#include <cstring>

#include "base/handles.h"

uint8_t* bitmap_new(int n) {
  JIX_ASSERT(n % 8 == 0);
  return (uint8_t*)malloc_zeroed_bytes(n / 8 > 0 ? n / 8 : 1);
}

uint8_t* bitmap_new_from(int n, const uint8_t* source) {
  JIX_ASSERT(n % 8 == 0);
  uint8_t* p = (uint8_t*)sqlite3_malloc(n / 8 > 0 ? n / 8 : 1);
  if (p) memcpy(p, source, n / 8);
  return p;
}

void bitmap_copy(uint8_t* destination, const uint8_t* source, int n) {
  JIX_ASSERT(n % 8 == 0);
  memcpy(destination, source, n / 8);
}

void bitmap_and_inplace(uint8_t* base, const uint8_t* other, int n) {
  JIX_ASSERT((n % 8) == 0);
  for (int i = 0; i < n / 8; i++) base[i] &= other[i];
}

void bitmap_clear(uint8_t* bitmap, int n) {
  JIX_ASSERT((n % 8) == 0);
  memset(bitmap, 0, n / 8);
}

void bitmap_fill(uint8_t* bitmap, int n) {
  JIX_ASSERT((n % 8) == 0);
  memset(bitmap, 0xFF, n / 8);
}
