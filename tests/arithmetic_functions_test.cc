// Arithmetic, slicing and normalisation: jix_add, jix_sub, jix_slice, jix_normalize.
#include <gtest/gtest.h>

#include "support/subtype_probe.h"
#include "support/test_db.h"

namespace {

TEST(ArithmeticFunctions, AddAndSubtract) {
  TestDb db;
  ASSERT_EQ(RegisterSubtypeProbe(db.db()), SQLITE_OK);
  const SqlCase cases[] = {
      {"SELECT jix_add('[1, 2]', '[3, 4]'), subtype(jix_add('[1, 2]', '[3, 4]'))",
       "X'000080400000C040'|223"},
      // The first argument is the left operand.
      {"SELECT jix_to_json(jix_sub('[5, 5]', '[1, 2]'))", "[4.000000,3.000000]"},
      {"SELECT jix_to_json(jix_add(X'0000803F', '[0.5]'))", "[1.500000]"},
      // int8 wraps around in two's complement, no saturation.
      {"SELECT jix_to_json(jix_add(jix_int8('[100]'), jix_int8('[100]'))),"
       " subtype(jix_add(jix_int8('[100]'), jix_int8('[100]')))",
       "[-56]|225"},
      {"SELECT jix_to_json(jix_sub(jix_int8('[-128]'), jix_int8('[1]')))", "[127]"},
      {"SELECT jix_to_json(jix_sub(jix_int8('[1, -1, 0]'), jix_int8('[3, -128, 127]')))",
       "[-2,127,-127]"},
      {"SELECT jix_add(jix_bit(X'01'), jix_bit(X'02'))", "Cannot add two bitvectors together."},
      {"SELECT jix_sub(jix_bit(X'01'), jix_bit(X'02'))",
       "Cannot subtract two bitvectors together."},
      {"SELECT jix_add('[1]', jix_int8('[1]'))",
       "Vector type mistmatch. First vector has type float32, while the second has type int8."},
      {"SELECT jix_sub('[1, 2]', '[1, 2, 3]')",
       "Vector dimension mistmatch. First vector has 2 dimensions, while the second has 3 "
       "dimensions."},
      {"SELECT jix_add('[1]', 'x')",
       "Error reading 2nd vector: JSON array parsing error: Input does not start with '['"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

TEST(ArithmeticFunctions, Slice) {
  TestDb db;
  ASSERT_EQ(RegisterSubtypeProbe(db.db()), SQLITE_OK);
  const SqlCase cases[] = {
      {"SELECT jix_to_json(jix_slice('[1, 2, 3, 4]', 1, 3)), subtype(jix_slice('[1, 2, 3, 4]', 1, "
       "3))",
       "[2.000000,3.000000]|223"},
      {"SELECT jix_to_json(jix_slice('[1, 2, 3, 4]', 0, 4))",
       "[1.000000,2.000000,3.000000,4.000000]"},
      {"SELECT jix_to_json(jix_slice('[1, 2, 3, 4]', 3, 4))", "[4.000000]"},
      // Indexes are read as 32-bit integers: REAL truncates, NULL is 0, TEXT converts.
      {"SELECT jix_to_json(jix_slice('[1, 2, 3, 4]', 1.9, 3))", "[2.000000,3.000000]"},
      {"SELECT jix_to_json(jix_slice('[1, 2, 3, 4]', NULL, '2'))", "[1.000000,2.000000]"},
      {"SELECT jix_slice(jix_int8('[1, 2, 3]'), 1, 3), subtype(jix_slice(jix_int8('[1, 2, 3]'), 1, "
       "3))",
       "X'0203'|225"},
      {"SELECT jix_slice(jix_bit(X'0102'), 8, 16), subtype(jix_slice(jix_bit(X'0102'), 8, 16))",
       "X'02'|224"},
      {"SELECT jix_slice(jix_bit(X'010203'), 0, 16)", "X'0102'"},
      {"SELECT jix_slice('[1, 2, 3, 4]', 2, 2)",
       "slice 'start' index is equal to the 'end' index, vectors must have non-zero length"},
      {"SELECT jix_slice('[1, 2, 3, 4]', 3, 1)", "slice 'start' index is greater than 'end' index"},
      {"SELECT jix_slice('[1, 2, 3, 4]', 0, 5)",
       "slice 'end' index is greater than the number of dimensions"},
      {"SELECT jix_slice('[1, 2, 3, 4]', 5, 6)",
       "slice 'start' index is greater than the number of dimensions"},
      {"SELECT jix_slice('[1, 2, 3, 4]', -1, 2)", "slice 'start' index must be a postive number."},
      {"SELECT jix_slice('[1, 2, 3, 4]', 1, -2)", "slice 'end' index must be a postive number."},
      // Order of checks: the sign of start before that of end, both before the bounds.
      {"SELECT jix_slice('[1, 2, 3, 4]', -1, -1)", "slice 'start' index must be a postive number."},
      {"SELECT jix_slice('[1, 2, 3, 4]', 9, -1)", "slice 'end' index must be a postive number."},
      {"SELECT jix_slice('[1, 2, 3, 4]', 9, 9)",
       "slice 'start' index is greater than the number of dimensions"},
      {"SELECT jix_slice(jix_bit(X'0102'), 4, 8)", "start index must be divisible by 8."},
      {"SELECT jix_slice(jix_bit(X'0102'), 8, 12)", "end index must be divisible by 8."},
      // The general checks come first, so an empty bit slice off a byte boundary is "equal".
      {"SELECT jix_slice(jix_bit(X'0102'), 3, 3)",
       "slice 'start' index is equal to the 'end' index, vectors must have non-zero length"},
      {"SELECT jix_slice('abc', 0, 1)", "JSON array parsing error: Input does not start with '['"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

TEST(ArithmeticFunctions, Normalize) {
  TestDb db;
  ASSERT_EQ(RegisterSubtypeProbe(db.db()), SQLITE_OK);
  const SqlCase cases[] = {
      // 0.6f and 0.8f exactly: 0x3F19999A and 0x3F4CCCCD.
      {"SELECT jix_normalize('[3, 4]'), subtype(jix_normalize('[3, 4]'))",
       "X'9A99193FCDCC4C3F'|223"},
      {"SELECT jix_to_json(jix_normalize('[0, -2, 0]'))", "[0.000000,-1.000000,0.000000]"},
      // A zero vector gives NaN elements, still a BLOB.
      {"SELECT jix_to_json(jix_normalize('[0, 0]')), typeof(jix_normalize('[0, 0]'))",
       "[null,null]|blob"},
      {"SELECT jix_normalize(jix_int8('[1]'))",
       "only float32 vectors are supported when normalizing"},
      {"SELECT jix_normalize(jix_bit(X'01'))",
       "only float32 vectors are supported when normalizing"},
      {"SELECT jix_normalize(NULL)",
       "Input must have type BLOB (compact format) or TEXT (JSON), found NULL"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

TEST(ArithmeticFunctions, NormalizeSumsSquaresInFloat32) {
  TestDb db;
  // 1 + 3 * (2^-12)^2 is 1 + 3 * 2^-24: each addition in float32 rounds back to 1, so the
  // norm is exactly 1 and the first element stays 1.0f (0x3F800000). Summing in double
  // would give a norm above 1 and a first element below 1.
  EXPECT_EQ(db.Query("SELECT hex(jix_slice(jix_normalize("
                     "'[1, 0.000244140625, 0.000244140625, 0.000244140625]'), 0, 1))"),
            "0000803F");
}

}  // namespace
