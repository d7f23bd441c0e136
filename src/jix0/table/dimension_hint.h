// The hint a dimension-mismatch message ends with when the vector was most likely float64.
#pragma once

#include "jix0/table/table.h"

// A BLOB of exactly twice a float32 column's bytes is what float64 values (NumPy's default
// dtype) give, so the message names the likely cause; every other mismatch gets "".
inline const char* jix0_float64_hint(const VectorColumnDefinition& column, sqlite3_value* value,
                                     size_t dimensions) {
  bool twice = column.element_type == JIX_ELEMENT_FLOAT32 &&
               sqlite3_value_type(value) == SQLITE_BLOB && dimensions == 2 * column.dimensions;
  return twice ? " The BLOB holds 8 bytes per element, as float64 values do: convert the vector to "
                 "float32 first (NumPy: .astype(numpy.float32); JavaScript: Float32Array)."
               : "";
}
