// The four SQL distance functions: worked values, element-type errors and matching errors.
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>

#include "support/subtype_probe.h"
#include "support/test_db.h"

namespace {

TEST(DistanceFunctions, WorkedValuesAndMessages) {
  TestDb db;
  ASSERT_EQ(RegisterTagProbe(db.db()), SQLITE_OK);
  const SqlCase cases[] = {
      {"SELECT jix_distance_l2('[0, 0]', '[3, 4]')", "5.0"},
      {"SELECT jix_distance_l1('[1, 2]', '[3, 5]'), typeof(jix_distance_l1('[1, 2]', '[3, 5]'))",
       "5.0|real"},
      {"SELECT jix_distance_l1(tag('[1, 2]', 225), tag('[3, 5]', 225)),"
       " typeof(jix_distance_l1(tag('[1, 2]', 225), tag('[3, 5]', 225)))",
       "5|integer"},
      {"SELECT jix_distance_l2(tag('[0, 0]', 225), tag('[3, 4]', 225))", "5.0"},
      {"SELECT jix_distance_cosine('[1, 0]', '[0, 1]')", "1.0"},
      {"SELECT jix_distance_cosine('[1, 1]', '[-1, -1]')", "2.0"},
      {"SELECT jix_distance_cosine('[1, 2]', '[2, 4]') = pow(2, -52)", "1"},
      {"SELECT jix_distance_cosine(tag('[1, 2]', 225), tag('[2, 4]', 225)) = pow(2, -52)", "1"},
      {"SELECT jix_distance_cosine('[0, 0]', '[1, 1]')", "NULL"},
      {"SELECT jix_distance_hamming(tag(X'FF', 224), tag(X'0F', 224))", "4.0"},
      {"SELECT jix_distance_hamming(tag(X'FFFFFFFFFFFFFFFF', 224), tag(X'0000000000000001', 224))",
       "63.0"},
      {"SELECT jix_distance_hamming('[1]', '[2]')",
       "Cannot calculate hamming distance between two float32 vectors."},
      {"SELECT jix_distance_hamming(tag(X'01', 225), tag(X'02', 225))",
       "Cannot calculate hamming distance between two int8 vectors."},
      {"SELECT jix_distance_l2(tag(X'01', 224), tag(X'02', 224))",
       "Cannot calculate L2 distance between two bitvectors."},
      {"SELECT jix_distance_l1(tag(X'01', 224), tag(X'02', 224))",
       "Cannot calculate L1 distance between two bitvectors."},
      {"SELECT jix_distance_cosine(tag(X'01', 224), tag(X'02', 224))",
       "Cannot calculate cosine distance between two bitvectors."},
      {"SELECT jix_distance_l2('[1]', tag('[1]', 225))",
       "Vector type mistmatch. First vector has type float32, while the second has type int8."},
      {"SELECT jix_distance_cosine('[1, 2]', '[1, 2, 3]')",
       "Vector dimension mistmatch. First vector has 2 dimensions, while the second has 3 "
       "dimensions."},
      {"SELECT jix_distance_l1(5, '[1]')",
       "Error reading 1st vector: Input must have type BLOB (compact format) or TEXT (JSON), found "
       "INTEGER"},
      {"SELECT jix_distance_l2('[1]')", "wrong number of arguments to function jix_distance_l2()"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

TEST(DistanceFunctions, ResultIsTheFloat32KernelValueWidenedExactly) {
  TestDb db;
  // sqrt(2) is not representable: the float32 result widened to double differs from the
  // double square root, and the function must return the former.
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(
      sqlite3_prepare_v2(db.db(), "SELECT jix_distance_l2('[1, 1]', '[0, 0]')", -1, &stmt, nullptr),
      SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_double(stmt, 0), (double)sqrtf(2.0f));
  sqlite3_finalize(stmt);
}

}  // namespace
