// Shared frame of the scalar vector functions: guards that run a parsed vector's release
// action on every exit, and the report of a failed parse.
#pragma once

#include <cstddef>
#include <utility>

#include "base/handles.h"
#include "vector/vector.h"

// One parsed vector. The release action runs once, when the guard goes out of scope,
// unless release() handed the bytes to their next owner first.
struct ParsedVector {
  void* data = nullptr;
  size_t dimensions = 0;
  VectorElementType type = JIX_ELEMENT_FLOAT32;
  vector_cleanup cleanup = nullptr;  // null until a parse succeeds

  ParsedVector() = default;
  ~ParsedVector() {
    if (cleanup) cleanup(data);
  }
  ParsedVector(const ParsedVector&) = delete;
  ParsedVector& operator=(const ParsedVector&) = delete;

  // The caller now owns the bytes and must run the returned release action on them.
  vector_cleanup release() { return std::exchange(cleanup, nullptr); }
};

// Two vectors checked by ensure_vector_match; released first, then second.
struct MatchedVectors {
  void* a = nullptr;
  void* b = nullptr;
  size_t dimensions = 0;
  VectorElementType type = JIX_ELEMENT_FLOAT32;
  vector_cleanup cleanupA = nullptr;
  vector_cleanup cleanupB = nullptr;

  MatchedVectors() = default;
  ~MatchedVectors() {
    if (cleanupA) cleanupA(a);
    if (cleanupB) cleanupB(b);
  }
  MatchedVectors(const MatchedVectors&) = delete;
  MatchedVectors& operator=(const MatchedVectors&) = delete;
};

// Sets a failed parse's message as the SQL error and frees it. A parse that ran out of
// memory may leave no message; that is reported as SQLITE_NOMEM.
inline void result_parse_error(sqlite3_context* context, char* error) {
  SqlitePtr<char> message(error);
  if (message) {
    sqlite3_result_error(context, message.get(), -1);
  } else {
    sqlite3_result_error_nomem(context);
  }
}

// The three parsers, filling a guard. Out-values of the guard are set only on success.
[[nodiscard]] inline int parse_any(sqlite3_value* value, ParsedVector* out, char** outError) {
  return vector_from_value(value, &out->data, &out->dimensions, &out->type, &out->cleanup,
                           outError);
}
[[nodiscard]] inline int parse_float32(sqlite3_value* value, ParsedVector* out, char** outError) {
  int rc = parse_float32_vector(value, &out->data, &out->dimensions, &out->cleanup, outError);
  if (rc == SQLITE_OK) out->type = JIX_ELEMENT_FLOAT32;
  return rc;
}
[[nodiscard]] inline int parse_int8(sqlite3_value* value, ParsedVector* out, char** outError) {
  int rc = parse_int8_vector(value, &out->data, &out->dimensions, &out->cleanup, outError);
  if (rc == SQLITE_OK) out->type = JIX_ELEMENT_INT8;
  return rc;
}
[[nodiscard]] inline int parse_matched(sqlite3_value* aValue, sqlite3_value* bValue,
                                       MatchedVectors* out, char** outError) {
  return ensure_vector_match(aValue, bValue, &out->a, &out->b, &out->type, &out->dimensions,
                             &out->cleanupA, &out->cleanupB, outError);
}
