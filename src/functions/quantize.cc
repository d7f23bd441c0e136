// Quantisation: float32 vectors mapped onto int8 (one byte per element) or onto bits (the
// sign of each element).
#include "functions/quantize.h"

#include <cstdint>
#include <cstring>

#include "base/handles.h"
#include "vector/parsed_vector.h"
#include "vector/vector.h"

namespace {

// 2/255 rounded to float32, then widened. Being slightly above 2/255, it maps 1.0 to
// 126.99..., which truncates to 126: only inputs a little above 1 reach 127.
constexpr double kInt8Step = (double)(2.0f / 255.0f);

bool is_unit_range(sqlite3_value* value) {
  if (sqlite3_value_type(value) != SQLITE_TEXT) return false;
  const char* text = (const char*)sqlite3_value_text(value);
  return text && sqlite3_value_bytes(value) == 4 && sqlite3_stricmp(text, "unit") == 0;
}

}  // namespace

void jix_quantize_int8(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 2);
  ParsedVector v;
  char* error = nullptr;
  if (parse_float32(argv[0], &v, &error) != SQLITE_OK) {
    result_parse_error(context, error);
    return;
  }
  SqlitePtr<uint8_t> out((uint8_t*)malloc_zeroed_bytes(v.dimensions));
  if (!out) {
    sqlite3_result_error_nomem(context);
    return;
  }
  if (!is_unit_range(argv[1])) {
    sqlite3_result_error(context, "2nd argument to jix_quantize_int8() must be 'unit'.", -1);
    return;
  }
  const float* in = (const float*)v.data;
  int8_t* q = (int8_t*)out.get();
  for (size_t i = 0; i < v.dimensions; i++) {
    double x = ((double)in[i] + 1.0) / kInt8Step + (-128.0);
    // Written so that NaN fails the first comparison and becomes 127.
    x = x < 127.0 ? x : 127.0;
    x = x > -128.0 ? x : -128.0;
    q[i] = (int8_t)x;  // truncates toward zero
  }
  sqlite3_result_blob64(context, out.release(), v.dimensions, sqlite3_free);
  sqlite3_result_subtype(context, JIX_ELEMENT_INT8);
}

void jix_quantize_binary(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 1);
  ParsedVector v;
  char* error = nullptr;
  if (parse_any(argv[0], &v, &error) != SQLITE_OK) {
    result_parse_error(context, error);
    return;
  }
  size_t d = v.dimensions;
  if (d == 0) {
    sqlite3_result_error(context, "Zero length vectors are not supported.", -1);
    return;
  }
  if (d % 8 != 0) {
    sqlite3_result_error(context,
                         "Binary quantization requires vectors with a length divisible by 8", -1);
    return;
  }
  SqlitePtr<uint8_t> out((uint8_t*)malloc_zeroed_bytes(d / 8));
  if (!out) {
    sqlite3_result_error_code(context, SQLITE_NOMEM);
    return;
  }
  uint8_t* bits = out.get();
  // Element i goes to bit i % 8 of byte i / 8, least significant first.
  if (v.type == JIX_ELEMENT_FLOAT32) {
    const float* in = (const float*)v.data;
    for (size_t i = 0; i < d; i++) {
      if (in[i] > 0.0f) bits[i / 8] |= (uint8_t)(1u << (i % 8));
    }
  } else if (v.type == JIX_ELEMENT_INT8) {
    const int8_t* in = (const int8_t*)v.data;
    for (size_t i = 0; i < d; i++) {
      if (in[i] > 0) bits[i / 8] |= (uint8_t)(1u << (i % 8));
    }
  } else {
    sqlite3_result_error(context, "Can only binary quantize float or int8 vectors", -1);
    return;
  }
  sqlite3_result_blob64(context, out.release(), d / 8, sqlite3_free);
  sqlite3_result_subtype(context, JIX_ELEMENT_BIT);
}
