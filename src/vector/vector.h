// Vector values: element types and subtypes, the compact BLOB and JSON text forms, the
// parsers that turn an SQL value into a vector in memory, and the small helpers shared by
// every part of the library (type names, vtab_set_error).
//
// Compact form: elements packed with no header. float32 is 4 bytes per element in native
// byte order; int8 one byte per element; bit vectors hold element i in bit (i % 8) of byte
// (i / 8), least significant bit first, so a bit vector always has 8 * bytes dimensions.
#pragma once

#include <cstddef>

#include "base/sqlite.h"
#include "kernels/lookup.h"  // VectorElementType

// Subtype SQLite's JSON functions attach to their text; read as float32 JSON.
constexpr int JIX_JSON_SUBTYPE = 74;

// Release action of a parsed vector: sqlite3_free for owned bytes, vector_cleanup_noop for
// bytes borrowed from the SQL value (valid only while that value is unchanged).
using vector_cleanup = void (*)(void*);
void vector_cleanup_noop(void*);

// Parses a vector of any element type, chosen by the value's subtype (0, 74, 223: float32;
// 224: bit; 225: int8). Returns SQLITE_OK, SQLITE_ERROR or SQLITE_NOMEM. On failure
// *outError may hold an sqlite3_mprintf message the caller frees; out-values are set only
// on success and the caller runs *outCleanup(*outVector) exactly once.
[[nodiscard]] int vector_from_value(sqlite3_value* value, void** outVector, size_t* outDimensions,
                                    VectorElementType* outElementType, vector_cleanup* outCleanup,
                                    char** outError);

// Reads the value as float32 whatever its subtype: a BLOB (copied) or JSON text.
[[nodiscard]] int parse_float32_vector(sqlite3_value* value, void** outVector,
                                       size_t* outDimensions, vector_cleanup* outCleanup,
                                       char** outError);

// Reads the value as int8 whatever its subtype: a BLOB (borrowed) or JSON text.
[[nodiscard]] int parse_int8_vector(sqlite3_value* value, void** outVector, size_t* outDimensions,
                                    vector_cleanup* outCleanup, char** outError);

// Parses two vectors and checks they share element type and dimension count.
// Returns SQLITE_OK or SQLITE_ERROR (also when a parse ran out of memory). On success the
// caller releases both vectors with their release actions.
[[nodiscard]] int ensure_vector_match(sqlite3_value* aValue, sqlite3_value* bValue, void** outA,
                                      void** outB, VectorElementType* outElementType,
                                      size_t* outDimensions, vector_cleanup* outCleanupA,
                                      vector_cleanup* outCleanupB, char** outError);

// "float32", "bit", "int8" for 223, 224, 225; "" otherwise.
const char* vector_subtype_name(int elementType);
const char* jix_type_name(int elementType);
// A metric's name, as declarations (`distance_metric=`) and jix_index_info spell it.
struct DistanceMetricName {
  DistanceMetric metric;
  const char* name;
  bool declarable;  // accepted by distance_metric= (Hamming belongs to bit columns alone)
};
// Every metric, in the order a declaration's word is matched against them: the one table of
// metric names.
extern const DistanceMetricName kDistanceMetricNames[4];
// The metric's name; "" for a value that names no metric.
const char* distance_metric_name(DistanceMetric metric);

// "INTEGER", "FLOAT", "TEXT", "BLOB", "NULL" for SQLite's fundamental types 1 to 5; "" otherwise.
const char* type_name(int sqliteType);

// Bytes of one vector in compact form: 4*d for float32, d for int8, d/8 for bit, else 0.
size_t vector_byte_size(int elementType, size_t dimensions);

// Replaces the table's error message with a formatted one.
void vtab_set_error(sqlite3_vtab* vtab, const char* format, ...);
