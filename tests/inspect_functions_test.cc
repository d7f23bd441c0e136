// Inspection and conversion: jix_length, jix_type, jix_to_json, jix_f32, jix_bit, jix_int8.
#include <gtest/gtest.h>

#include "support/subtype_probe.h"
#include "support/test_db.h"

namespace {

TEST(InspectFunctions, LengthAndType) {
  TestDb db;
  const SqlCase cases[] = {
      {"SELECT jix_length('[1, 2, 3]'), typeof(jix_length('[1, 2, 3]'))", "3|integer"},
      {"SELECT jix_length(jix_bit(X'FFFF'))", "16"},
      {"SELECT jix_length(X'0000000000000000')", "2"},
      {"SELECT jix_length(jix_int8(X'0000000000000000'))", "8"},
      {"SELECT jix_type('[1]'), jix_type(jix_int8('[1]')), jix_type(jix_bit(X'00'))",
       "float32|int8|bit"},
      {"SELECT jix_type(X'0000803F')", "float32"},
      // Parse failures pass the parser's message through unchanged.
      {"SELECT jix_length(5)",
       "Input must have type BLOB (compact format) or TEXT (JSON), found INTEGER"},
      {"SELECT jix_type('[1, 2')", "float32"},
      {"SELECT jix_type('nope')", "JSON array parsing error: Input does not start with '['"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

TEST(InspectFunctions, ToJsonWritesEveryElementType) {
  TestDb db;
  ASSERT_EQ(RegisterSubtypeProbe(db.db()), SQLITE_OK);
  const SqlCase cases[] = {
      {"SELECT jix_to_json('[1, 2.5]'), subtype(jix_to_json('[1, 2.5]'))",
       "[1.000000,2.500000]|74"},
      {"SELECT typeof(jix_to_json('[1]'))", "text"},
      {"SELECT jix_to_json('[0.1, -3, 123456.75]')", "[0.100000,-3.000000,123456.750000]"},
      // Six fixed decimals: tiny magnitudes print as zero.
      {"SELECT jix_to_json('[0.0000004, -0.0000004]')", "[0.000000,-0.000000]"},
      {"SELECT jix_to_json('[nan, 1]')", "[null,1.000000]"},
      {"SELECT jix_to_json('[1e39, -1e39]')", "[Inf,-Inf]"},
      {"SELECT jix_to_json(jix_int8('[1, -2]'))", "[1,-2]"},
      {"SELECT jix_to_json(jix_int8('[127, -128, 0]'))", "[127,-128,0]"},
      // Bit i is bit i % 8 of byte i / 8, least significant first.
      {"SELECT jix_to_json(jix_bit(X'01'))", "[1,0,0,0,0,0,0,0]"},
      {"SELECT jix_to_json(jix_bit(X'80'))", "[0,0,0,0,0,0,0,1]"},
      {"SELECT jix_to_json(jix_bit(X'0280'))", "[0,1,0,0,0,0,0,0,0,0,0,0,0,0,0,1]"},
      {"SELECT jix_to_json(X'0000803F00000040')", "[1.000000,2.000000]"},
      {"SELECT jix_to_json(1.5)",
       "Input must have type BLOB (compact format) or TEXT (JSON), found FLOAT"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

TEST(InspectFunctions, ConvertersTagTheirResults) {
  TestDb db;
  ASSERT_EQ(RegisterSubtypeProbe(db.db()), SQLITE_OK);
  const SqlCase cases[] = {
      {"SELECT jix_f32('[1, 2]'), subtype(jix_f32('[1, 2]'))", "X'0000803F00000040'|223"},
      // jix_f32 and jix_int8 ignore the argument's subtype and re-read any BLOB.
      {"SELECT jix_length(jix_f32(jix_int8(X'0000803F00000040')))", "2"},
      {"SELECT jix_f32(jix_bit(X'0000803F'))", "X'0000803F'"},
      {"SELECT jix_f32('abc')", "JSON array parsing error: Input does not start with '['"},
      {"SELECT jix_f32(X'000000')",
       "invalid float32 vector BLOB length. Must be divisible by 4, found 3"},
      {"SELECT jix_int8('[1, -2]'), subtype(jix_int8('[1, -2]'))", "X'01FE'|225"},
      {"SELECT jix_int8(jix_f32('[1, 2]')), jix_length(jix_int8(jix_f32('[1, 2]')))",
       "X'0000803F00000040'|8"},
      {"SELECT jix_int8('[1, 200]')", "JSON parsing error: value out of range for int8"},
      {"SELECT jix_int8(3)", "Unknown type for int8 vector."},
      {"SELECT jix_int8(X'')", "zero-length vectors are not supported."},
      {"SELECT jix_bit(X'0F'), subtype(jix_bit(X'0F'))", "X'0F'|224"},
      {"SELECT jix_bit(jix_int8(X'0102')), jix_length(jix_bit(jix_int8(X'0102')))", "X'0102'|16"},
      {"SELECT jix_bit('[1]')", "Unknown type for bitvector."},
      {"SELECT jix_bit(NULL)", "Unknown type for bitvector."},
      {"SELECT jix_bit(X'')", "zero-length vectors are not supported."},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

TEST(InspectFunctions, OutputsAreValidInputs) {
  TestDb db;
  const SqlCase cases[] = {
      // JSON text carries subtype 74, which reads as float32.
      {"SELECT jix_length(jix_to_json('[1, 2, 3]'))", "3"},
      {"SELECT jix_f32(jix_to_json('[1, 2]'))", "X'0000803F00000040'"},
      {"SELECT jix_to_json(jix_to_json('[1, 2.5]'))", "[1.000000,2.500000]"},
      {"SELECT jix_to_json(jix_f32(json('[0.5]')))", "[0.500000]"},
      // Tagged BLOBs keep their element type through the next call.
      {"SELECT jix_type(jix_int8(jix_int8('[3]'))), jix_type(jix_bit(jix_bit(X'01')))", "int8|bit"},
      {"SELECT jix_distance_hamming(jix_bit(X'FF'), jix_bit(X'0F'))", "4.0"},
      {"SELECT jix_distance_l1(jix_int8('[1, 2]'), jix_int8('[3, 5]'))", "5"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

}  // namespace
