// Vector values: compact BLOBs, tagged BLOBs and the lenient JSON grammar, with every
// parse message. Parsed vectors are observed through jix_distance_l1 against a zero
// vector of the same shape, which reports the sum of absolute values, and through the
// dimension-mismatch message, which reports dimension counts.
#include <gtest/gtest.h>

#include "support/subtype_probe.h"
#include "support/test_db.h"

namespace {

TEST(VectorForms, ParseMessagesAndAcceptedTexts) {
  TestDb db;
  const SqlCase cases[] = {
      // Dimension counts show through the mismatch message.
      {"SELECT jix_distance_l2(X'000000000000000000000000', '[1]')",
       "Vector dimension mistmatch. First vector has 3 dimensions, while the second has 1 "
       "dimensions."},
      {"SELECT jix_distance_l1(X'000000000000000000000000', X'000000000000000000000000')", "0.0"},
      {"SELECT jix_distance_l2(X'000000000000', '[1]')",
       "Error reading 1st vector: invalid float32 vector BLOB length. Must be divisible by 4, "
       "found 6"},
      // printf: SQLite's own text form of a double changed between releases.
      {"SELECT printf('%.15g', jix_distance_l2('  [1, 2.5, -3e0]', '[0,0,0]'))",
       "4.03112888336182"},
      {"SELECT jix_distance_l1('  [1, 2.5, -3e0]', '[0,0,0]')", "6.5"},
      {"SELECT jix_distance_l1('[1 2 3]', '[0,0,0]')", "6.0"},
      {"SELECT jix_distance_l1('[1,2,3,]', '[0,0,0]')", "6.0"},
      {"SELECT jix_distance_l1('[1,2,3', '[0,0,0]')", "6.0"},
      {"SELECT jix_distance_l1('[1,,2,]', '[0,0]')", "3.0"},
      {"SELECT jix_distance_l1('[1-2]', '[0,0]')", "3.0"},
      {"SELECT jix_distance_l1('[1]xyz', '[0]')", "1.0"},
      {"SELECT jix_distance_l1('[0x1p1]', '[0]')", "2.0"},
      {"SELECT jix_distance_l1('[1e39]', '[0]')", "Inf"},
      {"SELECT jix_distance_l2('[]', '[0]')",
       "Error reading 1st vector: zero-length vectors are not supported."},
      {"SELECT jix_distance_l2('[ ]', '[0]')", "Error reading 1st vector: JSON parsing error"},
      {"SELECT jix_distance_l2('[', '[0]')",
       "Error reading 1st vector: zero-length vectors are not supported."},
      {"SELECT jix_distance_l2('', '[0]')",
       "Error reading 1st vector: zero-length vectors are not supported."},
      {"SELECT jix_distance_l2(X'', '[0]')",
       "Error reading 1st vector: zero-length vectors are not supported."},
      {"SELECT jix_distance_l2('1, 2', '[0]')",
       "Error reading 1st vector: JSON array parsing error: Input does not start with '['"},
      {"SELECT jix_distance_l2('   ', '[0]')",
       "Error reading 1st vector: JSON array parsing error: Input does not start with '['"},
      {"SELECT jix_distance_l2('[,1]', '[0]')", "Error reading 1st vector: JSON parsing error"},
      {"SELECT jix_distance_l2('[1;2]', '[0]')", "Error reading 1st vector: JSON parsing error"},
      {"SELECT jix_distance_l2('[true]', '[0]')", "Error reading 1st vector: JSON parsing error"},
      {"SELECT jix_distance_l2('[1e999]', '[0]')", "Error reading 1st vector: JSON parsing error"},
      {"SELECT jix_distance_l2('[1e-400]', '[0]')", "Error reading 1st vector: JSON parsing error"},
      {"SELECT jix_distance_l2(5, '[0]')",
       "Error reading 1st vector: Input must have type BLOB (compact format) or TEXT (JSON), found "
       "INTEGER"},
      {"SELECT jix_distance_l2('[0]', 1.5)",
       "Error reading 2nd vector: Input must have type BLOB (compact format) or TEXT (JSON), found "
       "FLOAT"},
      {"SELECT jix_distance_l2(NULL, '[0]')",
       "Error reading 1st vector: Input must have type BLOB (compact format) or TEXT (JSON), found "
       "NULL"},
      // SQLite's json() output carries subtype 74 and reads as float32.
      {"SELECT jix_distance_l1(json('[1,2]'), '[0,0]')", "3.0"},
      // NaN elements are stored unchanged.
      {"SELECT jix_distance_l2('[nan]', '[0]') IS NULL", "1"},
      {"SELECT jix_distance_l1('[1, 2]', '[0, 0, 0]')",
       "Vector dimension mistmatch. First vector has 2 dimensions, while the second has 3 "
       "dimensions."},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

TEST(VectorForms, SubtypeChoosesTheParser) {
  TestDb db;
  ASSERT_EQ(RegisterTagProbe(db.db()), SQLITE_OK);
  const SqlCase cases[] = {
      // 12 bytes: int8 of 12 dimensions, bit of 96.
      {"SELECT jix_distance_l1(tag(X'000000000000000000000000', 225), '[1]')",
       "Vector type mistmatch. First vector has type int8, while the second has type float32."},
      {"SELECT jix_distance_l1(tag(X'010203', 225), tag(X'000000', 225))", "6"},
      {"SELECT jix_distance_l1(tag(X'7F', 225), tag(X'80', 225))", "255"},
      {"SELECT jix_distance_hamming(tag(X'000000000000000000000000', 224), tag(X'FF', 224))",
       "Vector dimension mistmatch. First vector has 96 dimensions, while the second has 8 "
       "dimensions."},
      {"SELECT jix_distance_l1(tag('[127, -128]', 225), tag('[0,0]', 225))", "255"},
      {"SELECT jix_distance_l1(tag('[128]', 225), tag('[0]', 225))",
       "Error reading 1st vector: JSON parsing error: value out of range for int8"},
      {"SELECT jix_distance_l1(tag('[1.5]', 225), tag('[0]', 225))",
       "Error reading 1st vector: JSON parsing error"},
      {"SELECT jix_distance_l1(tag(5, 225), tag('[0]', 225))",
       "Error reading 1st vector: Unknown type for int8 vector."},
      {"SELECT jix_distance_l1(tag(X'', 225), tag('[0]', 225))",
       "Error reading 1st vector: zero-length vectors are not supported."},
      {"SELECT jix_distance_hamming(tag('[1]', 224), tag(X'00', 224))",
       "Error reading 1st vector: Unknown type for bitvector."},
      {"SELECT jix_distance_hamming(tag(X'00', 224), tag(X'', 224))",
       "Error reading 2nd vector: zero-length vectors are not supported."},
      {"SELECT jix_distance_l1(tag('[1]', 5), '[0]')",
       "Error reading 1st vector: Unknown subtype: 5"},
      {"SELECT jix_distance_l1(tag('[1,2]', 223), tag('[0,0]', 74))", "3.0"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

}  // namespace
