// Arithmetic, slicing and normalisation: new vectors built from one or two others, returned
// as compact BLOBs tagged with their element type.
#include "functions/arithmetic.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "base/handles.h"
#include "vector/parsed_vector.h"
#include "vector/vector.h"

namespace {

enum class Op { kAdd, kSub };

// Hands a sqlite3_malloc'd buffer to SQLite as the result, tagged with its element type.
void result_vector(sqlite3_context* context, void* bytes, sqlite3_uint64 n,
                   VectorElementType type) {
  sqlite3_result_blob64(context, bytes, n, sqlite3_free);
  sqlite3_result_subtype(context, type);
}

void elementwise(sqlite3_context* context, sqlite3_value** argv, Op op) {
  MatchedVectors v;
  char* error = nullptr;
  if (parse_matched(argv[0], argv[1], &v, &error) != SQLITE_OK) {
    result_parse_error(context, error);
    return;
  }
  size_t d = v.dimensions;
  if (v.type == JIX_ELEMENT_BIT) {
    sqlite3_result_error(context,
                         op == Op::kAdd ? "Cannot add two bitvectors together."
                                        : "Cannot subtract two bitvectors together.",
                         -1);
    return;
  }
  sqlite3_uint64 bytes = vector_byte_size(v.type, d);
  void* out = malloc_zeroed_bytes(bytes);
  if (!out) {
    sqlite3_result_error_nomem(context);
    return;
  }
  if (v.type == JIX_ELEMENT_FLOAT32) {
    const float* a = (const float*)v.a;
    const float* b = (const float*)v.b;
    float* r = (float*)out;
    for (size_t i = 0; i < d; i++) r[i] = op == Op::kAdd ? a[i] + b[i] : a[i] - b[i];
  } else {
    const int8_t* a = (const int8_t*)v.a;
    const int8_t* b = (const int8_t*)v.b;
    int8_t* r = (int8_t*)out;
    // Two's-complement wrap-around, no saturation: 100 + 100 is -56.
    for (size_t i = 0; i < d; i++) r[i] = (int8_t)(op == Op::kAdd ? a[i] + b[i] : a[i] - b[i]);
  }
  result_vector(context, out, bytes, v.type);
}

// The first failing check of a slice's bounds, or null when they are valid.
const char* slice_bounds_error(int start, int end, size_t dimensions) {
  if (start < 0) return "slice 'start' index must be a postive number.";
  if (end < 0) return "slice 'end' index must be a postive number.";
  if ((size_t)start > dimensions)
    return "slice 'start' index is greater than the number of dimensions";
  if ((size_t)end > dimensions) return "slice 'end' index is greater than the number of dimensions";
  if (start > end) return "slice 'start' index is greater than 'end' index";
  if (start == end) {
    return "slice 'start' index is equal to the 'end' index, vectors must have non-zero length";
  }
  return nullptr;
}

}  // namespace

void jix_add(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 2);
  elementwise(context, argv, Op::kAdd);
}

void jix_sub(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 2);
  elementwise(context, argv, Op::kSub);
}

void jix_slice(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 3);
  ParsedVector v;
  char* error = nullptr;
  if (parse_any(argv[0], &v, &error) != SQLITE_OK) {
    result_parse_error(context, error);
    return;
  }
  int start = sqlite3_value_int(argv[1]);
  int end = sqlite3_value_int(argv[2]);
  if (const char* problem = slice_bounds_error(start, end, v.dimensions)) {
    sqlite3_result_error(context, problem, -1);
    return;
  }
  // Bit slices count bits but copy whole bytes, so both ends sit on byte boundaries.
  if (v.type == JIX_ELEMENT_BIT) {
    if (start % 8 != 0) {
      sqlite3_result_error(context, "start index must be divisible by 8.", -1);
      return;
    }
    if (end % 8 != 0) {
      sqlite3_result_error(context, "end index must be divisible by 8.", -1);
      return;
    }
  }
  size_t n = (size_t)(end - start);
  sqlite3_uint64 bytes = vector_byte_size(v.type, n);
  void* out = malloc_zeroed_bytes(bytes);
  if (!out) {
    sqlite3_result_error_nomem(context);
    return;
  }
  size_t offset = vector_byte_size(v.type, (size_t)start);
  memcpy(out, (const char*)v.data + offset, bytes);
  result_vector(context, out, bytes, v.type);
}

void jix_normalize(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 1);
  ParsedVector v;
  char* error = nullptr;
  if (parse_any(argv[0], &v, &error) != SQLITE_OK) {
    result_parse_error(context, error);
    return;
  }
  if (v.type != JIX_ELEMENT_FLOAT32) {
    sqlite3_result_error(context, "only float32 vectors are supported when normalizing", -1);
    return;
  }
  sqlite3_uint64 bytes = vector_byte_size(JIX_ELEMENT_FLOAT32, v.dimensions);
  float* out = (float*)malloc_zeroed_bytes(bytes);
  if (!out) {
    sqlite3_result_error_code(context, SQLITE_NOMEM);
    return;
  }
  const float* in = (const float*)v.data;
  float sum = 0.0f;
  for (size_t i = 0; i < v.dimensions; i++) sum = sum + in[i] * in[i];
  float norm = sqrtf(sum);
  // A zero vector divides 0 by 0: NaN elements, not an error.
  for (size_t i = 0; i < v.dimensions; i++) out[i] = in[i] / norm;
  result_vector(context, out, bytes, JIX_ELEMENT_FLOAT32);
}
