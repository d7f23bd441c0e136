// Metadata filters of KNN queries: every operator on BOOLEAN, INTEGER, FLOAT and TEXT
// columns, IN lists, the 12-byte prefix and the long-text lookups, free slots and NULLs.
#include <gtest/gtest.h>

#include "support/test_db.h"

namespace {

// v equals the rowid, so every query lists its rows in rowid order. Rows 9 and 10 are in a
// second chunk whose free slots hold zero metadata: 0, false, 0.0 and the empty text.
void FillTable(TestDb& db) {
  db.Exec(
      "CREATE VIRTUAL TABLE m USING jix0(v float[1], flag boolean, n integer, x float, s text,"
      " chunk_size=8)");
  db.Exec(
      "INSERT INTO m(rowid, v, flag, n, x, s) VALUES"
      " (1, '[1]', 1, 2, 0.5, 'abc'),"
      " (2, '[2]', 0, 3, 1.5, 'abcd'),"
      " (3, '[3]', 1, -1, -2.0, 'twelve bytes'),"
      " (4, '[4]', 0, 2, 2.5, 'thirteen byte'),"
      " (5, '[5]', 1, 10, 0.5, 'a long text, first'),"
      " (6, '[6]', 0, 0, 3.0, 'a long text, second'),"
      " (7, '[7]', 1, 2, 1.0, ''),"
      " (8, '[8]', 0, -5, 0.5, 'a long text'),"
      " (9, '[9]', 1, 4, -0.5, 'a long text, first plus'),"
      " (10, '[10]', 0, 3, 1.5, CAST(X'610062' AS TEXT))");
}

std::string Knn(const char* filter) {
  return std::string(
             "SELECT group_concat(rowid, ',') FROM (SELECT rowid FROM m WHERE v MATCH"
             " '[0]' AND k = 20 AND ") +
         filter + ")";
}

TEST(MetadataFilters, EveryOperatorOnEveryKind) {
  TestDb db;
  FillTable(db);
  const SqlCase cases[] = {
      {"flag = 1", "1,3,5,7,9"},
      {"flag != 1", "2,4,6,8,10"},
      {"flag = 0", "2,4,6,8,10"},
      {"flag != 0", "1,3,5,7,9"},
      {"flag = 'abc'", "2,4,6,8,10"},  // reads as 0
      {"n = 2", "1,4,7"},
      {"n > 2", "2,5,9,10"},
      {"n <= 2", "1,3,4,6,7,8"},
      {"n < 2", "3,6,8"},
      {"n >= 3", "2,5,9,10"},
      {"n != 2", "2,3,5,6,8,9,10"},
      {"n = 2.5", "1,4,7"},  // compared as the integer 2
      {"n = 0", "6"},
      {"n IN (2, 10)", "1,4,5,7"},
      {"n IN (3, -5, 99)", "2,8,10"},
      {"x = 0.5", "1,5,8"},
      {"x > 1.5", "4,6"},
      {"x <= 1.0", "1,3,5,7,8,9"},
      {"x < 0.5", "3,9"},
      {"x >= 1.5", "2,4,6,10"},
      {"x != 0.5", "2,3,4,6,7,9,10"},
      {"x = 1", "7"},
      {"s = 'abc'", "1"},
      {"s = 'twelve bytes'", "3"},
      {"s = 'thirteen byte'", "4"},
      {"s = 'a long text, first'", "5"},
      // Same length and 12-byte prefix as row 5's text; only the long-text table tells.
      {"s = 'a long text, firsX'", "NULL"},
      {"s != 'a long text, first'", "1,2,3,4,6,7,8,9,10"},
      {"s = ''", "7"},
      {"s = CAST(X'610062' AS TEXT)", "10"},
      {"s = 'a'", "NULL"},
      {"s > 'abc'", "2,3,4"},
      {"s >= 'abc'", "1,2,3,4"},
      {"s < 'abcd'", "1,5,6,7,8,9,10"},
      {"s <= 'a long text, first'", "5,7,8,10"},
      {"s > 'a long text, first'", "1,2,3,4,6,9"},
      {"s IN ('abc', 'a long text, second', 'zzz')", "1,6"},
      {"s IN ('ab', 'abcd')", "2"},
      {"s IN ('a long text, firsX', 'a long text, first plus')", "9"},
      {"n = 2 AND flag = 1 AND s != ''", "1"},
      // A NULL comparison value matches nothing, and NULL members of an IN list are skipped,
      // as SQL's own comparisons with NULL are never true.
      {"flag = NULL", "NULL"},
      {"n = NULL", "NULL"},
      {"x != NULL", "NULL"},
      {"s > NULL", "NULL"},
      {"n IN (2, NULL)", "1,4,7"},
      {"s IN ('abc', NULL)", "1"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(Knn(c.sql)), c.expected);
  }
}

TEST(MetadataFilters, LongTextsAreReadOnlyWhenThePrefixDoesNotDecide) {
  TestDb db;
  FillTable(db);
  // Without row 5's long text, only comparisons that need it fail.
  db.Exec("DELETE FROM m_metadatatext03 WHERE rowid = 5");
  const char* kFailed =
      "jix0: could not filter on metadata column \"s\" of m: chunk 1 of main.m_metadatachunks03 is "
      "missing or damaged";
  const SqlCase cases[] = {
      {"s = 'twelve bytes'", "3"},
      {"s = 'thirteen byte'", "4"},
      {"s IN ('abc', 'a long text, second')", "1,6"},
      {"s = 'a long text, first'", kFailed},
      {"s IN ('a long text, firsX', 'zz')", kFailed},
      {"s > 'abc'", kFailed},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(Knn(c.sql)), c.expected);
  }
}

}  // namespace
