// Vector values: parsing SQL values into vectors, and the shared helpers.
#include "vector/vector.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/array.h"

void jix_assert_fail(const char* expr, const char* file, int line) {
  fprintf(stderr, "sqlite-jix: assertion failed: %s (%s:%d)\n", expr, file, line);
  abort();
}

void vector_cleanup_noop(void*) {}

static void free_with_sqlite(void* p) {
  sqlite3_free(p);
}

const char* vector_subtype_name(int elementType) {
  switch (elementType) {
    case JIX_ELEMENT_FLOAT32:
      return "float32";
    case JIX_ELEMENT_BIT:
      return "bit";
    case JIX_ELEMENT_INT8:
      return "int8";
    default:
      return "";
  }
}

const char* jix_type_name(int elementType) {
  return vector_subtype_name(elementType);
}

const DistanceMetricName kDistanceMetricNames[4] = {
    {JIX0_DISTANCE_L2, "l2", true},
    {JIX0_DISTANCE_L1, "l1", true},
    {JIX0_DISTANCE_COSINE, "cosine", true},
    {JIX0_DISTANCE_HAMMING, "hamming", false},
};

const char* distance_metric_name(DistanceMetric metric) {
  for (const DistanceMetricName& m : kDistanceMetricNames) {
    if (m.metric == metric) return m.name;
  }
  return "";
}

const char* type_name(int sqliteType) {
  switch (sqliteType) {
    case SQLITE_INTEGER:
      return "INTEGER";
    case SQLITE_FLOAT:
      return "FLOAT";
    case SQLITE_TEXT:
      return "TEXT";
    case SQLITE_BLOB:
      return "BLOB";
    case SQLITE_NULL:
      return "NULL";
    default:
      return "";
  }
}

size_t vector_byte_size(int elementType, size_t dimensions) {
  switch (elementType) {
    case JIX_ELEMENT_FLOAT32:
      return dimensions * sizeof(float);
    case JIX_ELEMENT_BIT:
      return dimensions / 8;
    case JIX_ELEMENT_INT8:
      return dimensions;
    default:
      return 0;
  }
}

void vtab_set_error(sqlite3_vtab* vtab, const char* format, ...) {
  va_list args;
  va_start(args, format);
  sqlite3_free(vtab->zErrMsg);
  vtab->zErrMsg = sqlite3_vmprintf(format, args);
  va_end(args);
}

static bool is_list_whitespace(char c) {
  return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

// The lenient JSON list grammar shared by float32 (elementSize 4) and int8 (elementSize 1).
// Sets *outError to the formatted message: SQLITE_ERROR, or SQLITE_NOMEM when even the
// message cannot be allocated, so that running out of memory never reads as bad input.
static int vector_error(char** outError, const char* format, ...) {
  va_list args;
  va_start(args, format);
  *outError = sqlite3_vmprintf(format, args);
  va_end(args);
  return *outError ? SQLITE_ERROR : SQLITE_NOMEM;
}

static int parse_json_vector(sqlite3_value* value, size_t elementSize, void** outVector,
                             size_t* outDimensions, vector_cleanup* outCleanup, char** outError) {
  const char* text = (const char*)sqlite3_value_text(value);
  int n = sqlite3_value_bytes(value);
  if (n == 0 || !text) {
    if (!text && n > 0) return SQLITE_NOMEM;
    return vector_error(outError, "zero-length vectors are not supported.");
  }
  Array array;
  if (array_init(&array, elementSize, (size_t)ceil(n * 0.5)) != SQLITE_OK) return SQLITE_NOMEM;

  const char* p = text;
  const char* end = text + n;
  auto fail = [&](const char* message) {
    array_cleanup(&array);
    return vector_error(outError, "%s", message);
  };

  while (p < end && is_list_whitespace(*p)) p++;
  if (p == end || *p != '[') return fail("JSON array parsing error: Input does not start with '['");
  p++;
  if (p == end) return fail("zero-length vectors are not supported.");

  while (p < end) {
    char* consumed = nullptr;
    errno = 0;
    if (elementSize == sizeof(float)) {
      double result = strtod(p, &consumed);
      if (errno != 0 && result == 0) return fail("JSON parsing error");
      if (errno == ERANGE && (result == HUGE_VAL || result == -HUGE_VAL)) {
        return fail("JSON parsing error");
      }
      if (consumed == p) {
        if (*p == ']') break;
        return fail("JSON parsing error");
      }
      float element = (float)result;
      if (array_append(&array, &element) != SQLITE_OK) {
        array_cleanup(&array);
        return SQLITE_NOMEM;
      }
    } else {
      long result = strtol(p, &consumed, 10);
      if (errno != 0 && result == 0) return fail("JSON parsing error");
      if (errno == ERANGE && (result == LONG_MIN || result == LONG_MAX)) {
        return fail("JSON parsing error");
      }
      if (consumed == p) {
        if (*p == ']') break;
        return fail("JSON parsing error");
      }
      if (result < -128 || result > 127)
        return fail("JSON parsing error: value out of range for int8");
      signed char element = (signed char)result;
      if (array_append(&array, &element) != SQLITE_OK) {
        array_cleanup(&array);
        return SQLITE_NOMEM;
      }
    }
    p = consumed;
    while (p < end && (is_list_whitespace(*p) || *p == ',')) p++;
    if (p == end || *p == ']') break;
  }

  if (array.length == 0) return fail("zero-length vectors are not supported.");
  *outVector = array.data;
  *outDimensions = array.length;
  *outCleanup = free_with_sqlite;
  return SQLITE_OK;
}

int parse_float32_vector(sqlite3_value* value, void** outVector, size_t* outDimensions,
                         vector_cleanup* outCleanup, char** outError) {
  int type = sqlite3_value_type(value);
  if (type == SQLITE_BLOB) {
    int n = sqlite3_value_bytes(value);
    if (n == 0) {
      return vector_error(outError, "zero-length vectors are not supported.");
    }
    if (n % 4 != 0) {
      return vector_error(
          outError, "invalid float32 vector BLOB length. Must be divisible by %d, found %d", 4, n);
    }
    const void* blob = sqlite3_value_blob(value);
    void* copy = blob ? sqlite3_malloc(n) : nullptr;
    if (!copy) {
      *outError = sqlite3_mprintf("out of memory");
      return SQLITE_NOMEM;
    }
    memcpy(copy, blob, n);
    *outVector = copy;
    *outDimensions = (size_t)n / 4;
    *outCleanup = free_with_sqlite;
    return SQLITE_OK;
  }
  if (type == SQLITE_TEXT) {
    return parse_json_vector(value, sizeof(float), outVector, outDimensions, outCleanup, outError);
  }
  return vector_error(outError,
                      "Input must have type BLOB (compact format) or TEXT (JSON), found %s",
                      type_name(type));
}

int parse_int8_vector(sqlite3_value* value, void** outVector, size_t* outDimensions,
                      vector_cleanup* outCleanup, char** outError) {
  int type = sqlite3_value_type(value);
  if (type == SQLITE_BLOB) {
    int n = sqlite3_value_bytes(value);
    if (n == 0) {
      return vector_error(outError, "zero-length vectors are not supported.");
    }
    const void* blob = sqlite3_value_blob(value);
    if (!blob) return SQLITE_NOMEM;
    *outVector = (void*)blob;
    *outDimensions = (size_t)n;
    *outCleanup = vector_cleanup_noop;
    return SQLITE_OK;
  }
  if (type == SQLITE_TEXT) {
    return parse_json_vector(value, 1, outVector, outDimensions, outCleanup, outError);
  }
  return vector_error(outError, "Unknown type for int8 vector.");
}

int vector_from_value(sqlite3_value* value, void** outVector, size_t* outDimensions,
                      VectorElementType* outElementType, vector_cleanup* outCleanup,
                      char** outError) {
  unsigned int subtype = sqlite3_value_subtype(value);
  if (subtype == 0 || subtype == JIX_JSON_SUBTYPE || subtype == JIX_ELEMENT_FLOAT32) {
    int rc = parse_float32_vector(value, outVector, outDimensions, outCleanup, outError);
    if (rc == SQLITE_OK) *outElementType = JIX_ELEMENT_FLOAT32;
    return rc;
  }
  if (subtype == JIX_ELEMENT_INT8) {
    int rc = parse_int8_vector(value, outVector, outDimensions, outCleanup, outError);
    if (rc == SQLITE_OK) *outElementType = JIX_ELEMENT_INT8;
    return rc;
  }
  if (subtype == JIX_ELEMENT_BIT) {
    if (sqlite3_value_type(value) != SQLITE_BLOB) {
      return vector_error(outError, "Unknown type for bitvector.");
    }
    int n = sqlite3_value_bytes(value);
    if (n == 0) {
      return vector_error(outError, "zero-length vectors are not supported.");
    }
    const void* blob = sqlite3_value_blob(value);
    if (!blob) return SQLITE_NOMEM;
    *outVector = (void*)blob;
    *outDimensions = (size_t)n * 8;
    *outElementType = JIX_ELEMENT_BIT;
    *outCleanup = vector_cleanup_noop;
    return SQLITE_OK;
  }
  return vector_error(outError, "Unknown subtype: %d", (int)subtype);
}

int ensure_vector_match(sqlite3_value* aValue, sqlite3_value* bValue, void** outA, void** outB,
                        VectorElementType* outElementType, size_t* outDimensions,
                        vector_cleanup* outCleanupA, vector_cleanup* outCleanupB, char** outError) {
  void* a = nullptr;
  void* b = nullptr;
  size_t aDims = 0, bDims = 0;
  VectorElementType aType = JIX_ELEMENT_FLOAT32, bType = JIX_ELEMENT_FLOAT32;
  vector_cleanup aCleanup, bCleanup;
  char* error = nullptr;

  // Out of memory is passed on as it is, without a message.
  int rc = vector_from_value(aValue, &a, &aDims, &aType, &aCleanup, &error);
  if (rc != SQLITE_OK) {
    if (rc != SQLITE_NOMEM) rc = vector_error(outError, "Error reading 1st vector: %s", error);
    sqlite3_free(error);
    return rc;
  }
  rc = vector_from_value(bValue, &b, &bDims, &bType, &bCleanup, &error);
  if (rc != SQLITE_OK) {
    if (rc != SQLITE_NOMEM) rc = vector_error(outError, "Error reading 2nd vector: %s", error);
    sqlite3_free(error);
    aCleanup(a);
    return rc;
  }
  if (aType != bType) {
    aCleanup(a);
    bCleanup(b);
    return vector_error(
        outError, "Vector type mistmatch. First vector has type %s, while the second has type %s.",
        vector_subtype_name(aType), vector_subtype_name(bType));
  }
  if (aDims != bDims) {
    aCleanup(a);
    bCleanup(b);
    return vector_error(
        outError,
        "Vector dimension mistmatch. First vector has %ld dimensions, while the second has %ld "
        "dimensions.",
        (long)aDims, (long)bDims);
  }
  *outA = a;
  *outB = b;
  *outElementType = aType;
  *outDimensions = aDims;
  *outCleanupA = aCleanup;
  *outCleanupB = bCleanup;
  return SQLITE_OK;
}
