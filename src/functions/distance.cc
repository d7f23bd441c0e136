// SQL distance functions over two vectors of one element type and dimension count.
#include "functions/distance.h"

#include <cstdint>

#include "base/handles.h"
#include "kernels/kernels.h"
#include "vector/parsed_vector.h"
#include "vector/vector.h"

namespace {

enum class Metric { kL2, kL1, kCosine, kHamming };

// Parses and matches both arguments, computes the metric's kernel for their element type,
// and releases both vectors on every path (the guard's job).
void distance_frame(sqlite3_context* context, sqlite3_value** argv, Metric metric) {
  MatchedVectors vectors;
  char* error = nullptr;
  int rc = parse_matched(argv[0], argv[1], &vectors, &error);
  if (rc != SQLITE_OK) {
    SqlitePtr<char> message(error);
    if (rc == SQLITE_NOMEM) {
      sqlite3_result_error_nomem(context);
    } else {
      sqlite3_result_error(context, message.get(), -1);
    }
    return;
  }

  const void* a = vectors.a;
  const void* b = vectors.b;
  const VectorElementType type = vectors.type;
  const size_t dims = vectors.dimensions;
  const float* fa = (const float*)a;
  const float* fb = (const float*)b;
  const int8_t* ia = (const int8_t*)a;
  const int8_t* ib = (const int8_t*)b;
  switch (metric) {
    case Metric::kL2:
      if (type == JIX_ELEMENT_FLOAT32)
        sqlite3_result_double(context, kernel_l2_float32(fa, fb, dims));
      else if (type == JIX_ELEMENT_INT8)
        sqlite3_result_double(context, kernel_l2_int8(ia, ib, dims));
      else
        sqlite3_result_error(context, "Cannot calculate L2 distance between two bitvectors.", -1);
      break;
    case Metric::kL1:
      if (type == JIX_ELEMENT_FLOAT32)
        sqlite3_result_double(context, kernel_l1_float32(fa, fb, dims));
      else if (type == JIX_ELEMENT_INT8)
        sqlite3_result_int(context, kernel_l1_int8(ia, ib, dims));
      else
        sqlite3_result_error(context, "Cannot calculate L1 distance between two bitvectors.", -1);
      break;
    case Metric::kCosine:
      if (type == JIX_ELEMENT_FLOAT32) {
        sqlite3_result_double(context, kernel_cosine_float32(fa, fb, dims));
      } else if (type == JIX_ELEMENT_INT8) {
        sqlite3_result_double(context, kernel_cosine_int8(ia, ib, dims));
      } else {
        sqlite3_result_error(context, "Cannot calculate cosine distance between two bitvectors.",
                             -1);
      }
      break;
    case Metric::kHamming:
      if (type == JIX_ELEMENT_BIT) {
        sqlite3_result_double(context,
                              kernel_hamming_bit((const uint8_t*)a, (const uint8_t*)b, dims));
      } else if (type == JIX_ELEMENT_FLOAT32) {
        sqlite3_result_error(context,
                             "Cannot calculate hamming distance between two float32 vectors.", -1);
      } else {
        sqlite3_result_error(context, "Cannot calculate hamming distance between two int8 vectors.",
                             -1);
      }
      break;
  }
}

}  // namespace

void jix_distance_l2(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 2);
  distance_frame(context, argv, Metric::kL2);
}

void jix_distance_l1(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 2);
  distance_frame(context, argv, Metric::kL1);
}

void jix_distance_cosine(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 2);
  distance_frame(context, argv, Metric::kCosine);
}

void jix_distance_hamming(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 2);
  distance_frame(context, argv, Metric::kHamming);
}
