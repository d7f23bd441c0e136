// SQL distance functions over two vectors of one element type and dimension count.
#include "functions/distance.h"

#include <cstdint>

#include "base/handles.h"
#include "kernels/lookup.h"
#include "vector/parsed_vector.h"
#include "vector/vector.h"

namespace {

// The message for a metric the two vectors' element type has no kernel for.
void result_no_kernel(sqlite3_context* context, DistanceMetric metric, VectorElementType type) {
  const char* message;
  switch (metric) {
    case JIX0_DISTANCE_L2:
      message = "Cannot calculate L2 distance between two bitvectors.";
      break;
    case JIX0_DISTANCE_L1:
      message = "Cannot calculate L1 distance between two bitvectors.";
      break;
    case JIX0_DISTANCE_COSINE:
      message = "Cannot calculate cosine distance between two bitvectors.";
      break;
    default:
      message = type == JIX_ELEMENT_FLOAT32
                    ? "Cannot calculate hamming distance between two float32 vectors."
                    : "Cannot calculate hamming distance between two int8 vectors.";
      break;
  }
  sqlite3_result_error(context, message, -1);
}

// Parses and matches both arguments, computes the metric's kernel for their element type,
// and releases both vectors on every path (the guard's job).
void distance_frame(sqlite3_context* context, sqlite3_value** argv, DistanceMetric metric) {
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
  const DistanceKernels* kernels = kernel_lookup(metric, vectors.type);
  if (!kernels) {
    result_no_kernel(context, metric, vectors.type);
    return;
  }
  PairDistance distance = kernels->pair(vectors.a, vectors.b, vectors.dimensions);
  if (distance.isInteger) {
    sqlite3_result_int(context, (int)distance.integer);
  } else {
    sqlite3_result_double(context, distance.real);
  }
}

}  // namespace

void jix_distance_l2(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 2);
  distance_frame(context, argv, JIX0_DISTANCE_L2);
}

void jix_distance_l1(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 2);
  distance_frame(context, argv, JIX0_DISTANCE_L1);
}

void jix_distance_cosine(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 2);
  distance_frame(context, argv, JIX0_DISTANCE_COSINE);
}

void jix_distance_hamming(sqlite3_context* context, int argc, sqlite3_value** argv) {
  JIX_ASSERT(argc == 2);
  distance_frame(context, argv, JIX0_DISTANCE_HAMMING);
}
