// Quantisation: jix_quantize_int8 and jix_quantize_binary.
#include <gtest/gtest.h>

#include "support/subtype_probe.h"
#include "support/test_db.h"

namespace {

TEST(QuantizeFunctions, Int8MapsUnitRangeOntoSignedBytes) {
  TestDb db;
  ASSERT_EQ(RegisterSubtypeProbe(db.db()), SQLITE_OK);
  const SqlCase cases[] = {
      // 1.0 lands just below 127 and truncates to 126.
      {"SELECT jix_to_json(jix_quantize_int8('[-1, -0.5, 0, 0.1, -0.1, 0.25, 0.5, 0.9, 1]', "
       "'unit'))",
       "[-128,-64,0,12,-13,31,63,114,126]"},
      {"SELECT jix_to_json(jix_quantize_int8('[-1.5, -1000, 1.0000001, 1.5, 2, nan]', 'unit'))",
       "[-128,-128,127,127,127,127]"},
      {"SELECT jix_quantize_int8('[0]', 'unit'), subtype(jix_quantize_int8('[0]', 'unit'))",
       "X'00'|225"},
      {"SELECT jix_to_json(jix_quantize_int8('[1]', 'UNIT')), jix_to_json(jix_quantize_int8('[1]', "
       "'Unit'))",
       "[126]|[126]"},
      // Any BLOB is read as float32: 8 int8-tagged bytes are two elements.
      {"SELECT jix_to_json(jix_quantize_int8(jix_int8(X'0000803F000080BF'), 'unit'))",
       "[126,-128]"},
      {"SELECT jix_quantize_int8('[1]', 'units')",
       "2nd argument to jix_quantize_int8() must be 'unit'."},
      {"SELECT jix_quantize_int8('[1]', 'unit ')",
       "2nd argument to jix_quantize_int8() must be 'unit'."},
      {"SELECT jix_quantize_int8('[1]', 'uni')",
       "2nd argument to jix_quantize_int8() must be 'unit'."},
      {"SELECT jix_quantize_int8('[1]', X'756E6974')",
       "2nd argument to jix_quantize_int8() must be 'unit'."},
      {"SELECT jix_quantize_int8('[1]', NULL)",
       "2nd argument to jix_quantize_int8() must be 'unit'."},
      {"SELECT jix_quantize_int8('[1]', 1)", "2nd argument to jix_quantize_int8() must be 'unit'."},
      // The vector is checked before the range.
      {"SELECT jix_quantize_int8(5, 'bad')",
       "Input must have type BLOB (compact format) or TEXT (JSON), found INTEGER"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

TEST(QuantizeFunctions, BinaryKeepsTheSignOfEachElement) {
  TestDb db;
  ASSERT_EQ(RegisterSubtypeProbe(db.db()), SQLITE_OK);
  const SqlCase cases[] = {
      {"SELECT jix_quantize_binary('[1, -1, 0, 2, -3, 4, 0.5, -0.5]'),"
       " subtype(jix_quantize_binary('[1, -1, 0, 2, -3, 4, 0.5, -0.5]'))",
       "X'69'|224"},
      // Only elements above zero set their bit: NaN, 0 and -0 do not.
      {"SELECT jix_quantize_binary('[nan, -0, 0, 1e-30, -1e-30, inf, -inf, 1]')", "X'A8'"},
      {"SELECT jix_quantize_binary('[1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1]')", "X'0180'"},
      {"SELECT jix_quantize_binary(jix_int8('[1, 0, -1, 5, 0, 0, 0, 127]'))", "X'89'"},
      {"SELECT jix_quantize_binary('[1, 2, 3, 4, 5, 6, 7]')",
       "Binary quantization requires vectors with a length divisible by 8"},
      {"SELECT jix_quantize_binary(jix_int8('[1, 2, 3, 4, 5, 6, 7, 8, 9]'))",
       "Binary quantization requires vectors with a length divisible by 8"},
      {"SELECT jix_quantize_binary(jix_bit(X'FF'))",
       "Can only binary quantize float or int8 vectors"},
      {"SELECT jix_quantize_binary('[1, 2')",
       "Binary quantization requires vectors with a length divisible by 8"},
      {"SELECT jix_quantize_binary(X'00')",
       "invalid float32 vector BLOB length. Must be divisible by 4, found 1"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

TEST(QuantizeFunctions, QuantisedVectorsFeedTheDistanceFunctions) {
  TestDb db;
  const SqlCase cases[] = {
      {"SELECT jix_distance_hamming(jix_quantize_binary('[1, -1, 1, -1, 1, -1, 1, -1]'),"
       " jix_quantize_binary('[1, 1, 1, 1, -1, -1, -1, -1]'))",
       "4.0"},
      {"SELECT jix_distance_l1(jix_quantize_int8('[1, -1]', 'unit'), jix_quantize_int8('[0, 0]', "
       "'unit'))",
       "254"},
      {"SELECT jix_to_json(jix_quantize_binary(jix_quantize_int8('[0.5, -0.5, 0, 1, -1, 0.01, "
       "-0.01, 0.9]', 'unit')))",
       "[1,0,0,1,0,0,0,1]"},
      {"SELECT jix_to_json(jix_slice(jix_quantize_binary('[1, 1, 1, 1, 1, 1, 1, 1, -1, 1, -1, 1, "
       "-1, 1, -1, 1]'), 8, 16))",
       "[0,1,0,1,0,1,0,1]"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

}  // namespace
