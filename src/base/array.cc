// Growable array of fixed-size elements.
#include "base/array.h"

#include <cstring>

#include "base/handles.h"

int array_init(Array* array, size_t elementSize, size_t initialCapacity) {
  sqlite3_uint64 bytes = (sqlite3_uint64)elementSize * initialCapacity;
  void* data = malloc_zeroed_bytes(bytes);
  if (!data && bytes > 0) return SQLITE_NOMEM;
  array->element_size = elementSize;
  array->length = 0;
  array->capacity = initialCapacity;
  array->data = data;
  return SQLITE_OK;
}

int array_append(Array* array, const void* element) {
  if (array->length == array->capacity) {
    size_t newCapacity = array->capacity * 2 + 100;
    void* grown = sqlite3_realloc64(array->data, (sqlite3_uint64)array->element_size * newCapacity);
    if (!grown) return SQLITE_NOMEM;
    array->data = grown;
    array->capacity = newCapacity;
  }
  memcpy((char*)array->data + array->length * array->element_size, element, array->element_size);
  array->length++;
  return SQLITE_OK;
}

void array_cleanup(Array* array) {
  if (!array) return;
  array->element_size = 0;
  array->length = 0;
  array->capacity = 0;
  sqlite3_free(array->data);
  array->data = nullptr;
}
