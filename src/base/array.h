// Array: a growable array of fixed-size elements in SQLite-allocated memory.
#pragma once

#include <cstddef>

struct Array {
  size_t element_size;  // bytes per element
  size_t length;        // elements stored
  size_t capacity;      // elements that fit in data
  void* data;           // owned, from sqlite3_malloc
};

// Allocates elementSize * initialCapacity zeroed bytes. On failure the array is untouched.
[[nodiscard]] int array_init(Array* array, size_t elementSize, size_t initialCapacity);
// Appends one element, growing to capacity * 2 + 100 when full. SQLITE_NOMEM leaves it unchanged.
[[nodiscard]] int array_append(Array* array, const void* element);
// Frees data and zeroes the fields. Accepts nullptr.
void array_cleanup(Array* array);
