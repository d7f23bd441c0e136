// Inspection and conversion: report a vector's length and type, write it as JSON text, and
// re-tag a value as a vector of one fixed element type.
#include "functions/inspect.h"

#include <cmath>
#include <cstdint>

#include "base/handles.h"
#include "vector/parsed_vector.h"
#include "vector/vector.h"

void jix_length(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 1);
  ParsedVector v;
  char* error = nullptr;
  if (parse_any(argv[0], &v, &error) != SQLITE_OK) {
    result_parse_error(context, error);
    return;
  }
  sqlite3_result_int64(context, (sqlite3_int64)v.dimensions);
}

void jix_type(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 1);
  ParsedVector v;
  char* error = nullptr;
  if (parse_any(argv[0], &v, &error) != SQLITE_OK) {
    result_parse_error(context, error);
    return;
  }
  sqlite3_result_text(context, vector_subtype_name(v.type), -1, SQLITE_STATIC);
}

void jix_to_json(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 1);
  ParsedVector v;
  char* error = nullptr;
  if (parse_any(argv[0], &v, &error) != SQLITE_OK) {
    result_parse_error(context, error);
    return;
  }
  StrBuilder json(sqlite3_context_db_handle(context));
  sqlite3_str* s = json.get();
  sqlite3_str_appendchar(s, 1, '[');
  for (size_t i = 0; i < v.dimensions; i++) {
    if (i != 0) sqlite3_str_appendchar(s, 1, ',');
    switch (v.type) {
      case JIX_ELEMENT_FLOAT32: {
        float element = ((const float*)v.data)[i];
        // JSON has no NaN; null keeps the list parseable.
        if (std::isnan(element)) {
          sqlite3_str_appendall(s, "null");
        } else {
          sqlite3_str_appendf(s, "%f", (double)element);
        }
        break;
      }
      case JIX_ELEMENT_INT8:
        sqlite3_str_appendf(s, "%d", (int)((const int8_t*)v.data)[i]);
        break;
      case JIX_ELEMENT_BIT:
        sqlite3_str_appendf(s, "%d", (((const uint8_t*)v.data)[i / 8] >> (i % 8)) & 1);
        break;
    }
  }
  sqlite3_str_appendchar(s, 1, ']');
  int length = sqlite3_str_length(s);
  SqlitePtr<char> text = json.finish();
  if (!text) {
    sqlite3_result_error_nomem(context);
    return;
  }
  sqlite3_result_text(context, text.release(), length, sqlite3_free);
  sqlite3_result_subtype(context, JIX_JSON_SUBTYPE);
}

void jix_f32(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 1);
  ParsedVector v;
  char* error = nullptr;
  if (parse_float32(argv[0], &v, &error) != SQLITE_OK) {
    result_parse_error(context, error);
    return;
  }
  // The parse always owns float32 bytes, so SQLite takes them over without a copy.
  sqlite3_uint64 bytes = vector_byte_size(JIX_ELEMENT_FLOAT32, v.dimensions);
  sqlite3_result_blob64(context, v.data, bytes, v.release());
  sqlite3_result_subtype(context, JIX_ELEMENT_FLOAT32);
}

void jix_bit(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 1);
  sqlite3_value* value = argv[0];
  const char* problem = nullptr;
  if (sqlite3_value_type(value) != SQLITE_BLOB) {
    problem = "Unknown type for bitvector.";
  } else if (sqlite3_value_bytes(value) == 0) {
    problem = "zero-length vectors are not supported.";
  }
  if (problem) {
    result_parse_error(context, sqlite3_mprintf("%s", problem));
    return;
  }
  // Any BLOB is accepted whatever its subtype: 8 dimensions per byte.
  const void* blob = sqlite3_value_blob(value);
  if (!blob) {
    sqlite3_result_error_nomem(context);
    return;
  }
  sqlite3_result_blob(context, blob, sqlite3_value_bytes(value), SQLITE_TRANSIENT);
  sqlite3_result_subtype(context, JIX_ELEMENT_BIT);
}

void jix_int8(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 1);
  ParsedVector v;
  char* error = nullptr;
  if (parse_int8(argv[0], &v, &error) != SQLITE_OK) {
    result_parse_error(context, error);
    return;
  }
  // Borrowed BLOB bytes or a parse buffer larger than needed: copy exactly d bytes.
  sqlite3_result_blob64(context, v.data, v.dimensions, SQLITE_TRANSIENT);
  sqlite3_result_subtype(context, JIX_ELEMENT_INT8);
}
