// jix_each: one row per element, index as rowid, with the planning and filter failures.
#include <gtest/gtest.h>

#include "support/test_db.h"

namespace {

TEST(JixEach, ListsElementsOfEveryType) {
  TestDb db;
  const SqlCase cases[] = {
      {"SELECT rowid, value, typeof(value) FROM jix_each('[1, 2.5]')", "0|1.0|real\n1|2.5|real"},
      {"SELECT rowid, value FROM jix_each(X'0000803F00000040')", "0|1.0\n1|2.0"},
      {"SELECT value, typeof(value) FROM jix_each(jix_int8('[-1, 2]'))", "-1|integer\n2|integer"},
      // Bits are listed most significant first within each byte, unlike jix_to_json.
      {"SELECT group_concat(value, '') FROM jix_each(jix_bit(X'01'))", "00000001"},
      {"SELECT group_concat(value, '') FROM jix_each(jix_bit(X'80'))", "10000000"},
      {"SELECT group_concat(value, ''), max(rowid) FROM jix_each(jix_bit(X'0180'))",
       "0000000110000000|15"},
      {"SELECT group_concat(value, '') FROM jix_each(jix_quantize_binary('[1, 0, 0, 0, 0, 0, 0, "
       "0]'))",
       "00000001"},
      // The hidden argument column reads as NULL.
      {"SELECT vector FROM jix_each('[1]')", "NULL"},
      {"SELECT value FROM jix_each('[1, 2, 3]') WHERE rowid = 1", "2.0"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

TEST(JixEach, RefusesMissingOrInvalidArgument) {
  TestDb db;
  // No plan without the argument; SQLite reports that no plan was found.
  EXPECT_EQ(db.Query("SELECT * FROM jix_each"), "no query solution");
  // Filter failures drop the parse message: SQLite's generic text for SQLITE_ERROR.
  EXPECT_EQ(db.Run("SELECT * FROM jix_each('abc')"), SQLITE_ERROR);
  EXPECT_EQ(db.Query("SELECT * FROM jix_each('abc')"), "SQL logic error");
  EXPECT_EQ(db.Query("SELECT * FROM jix_each(5)"), "SQL logic error");
  EXPECT_EQ(db.Query("CREATE VIRTUAL TABLE e USING jix_each"), "no such module: jix_each");
}

TEST(JixEach, RefilteredCursorStartsOverWithEachOuterRow) {
  TestDb db;
  db.Exec(
      "CREATE TABLE t(id INTEGER PRIMARY KEY, v BLOB);"
      "INSERT INTO t VALUES (1, jix_int8('[1, 2]')), (2, jix_int8('[-3]')), (3, jix_int8('[4, 5, "
      "6]'));");
  // Stored vectors lose their subtype and are re-tagged for each outer row.
  EXPECT_EQ(
      db.Query(
          "SELECT id, e.rowid, e.value FROM t, jix_each(jix_int8(t.v)) e ORDER BY id, e.rowid"),
      "1|0|1\n1|1|2\n2|0|-3\n3|0|4\n3|1|5\n3|2|6");
  EXPECT_EQ(db.Query("WITH v(id, x) AS (VALUES (1, '[1, 2]'), (2, '[3]'))"
                     " SELECT id, e.rowid, e.value FROM v, jix_each(v.x) e"),
            "1|0|1.0\n1|1|2.0\n2|0|3.0");
  // A failure on a later outer row, after the cursor held an earlier vector.
  EXPECT_EQ(db.Query("WITH v(x) AS (VALUES ('[1]'), ('bad')) SELECT value FROM v, jix_each(v.x)"),
            "SQL logic error");
}

}  // namespace
