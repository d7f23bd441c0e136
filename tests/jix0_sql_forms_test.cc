// jix0 under the SQL an ordinary table takes: keys compared as SQLite compares rowids,
// partition IN lists and ORs in one search, ORDER BY distance, LIMIT and OFFSET beside k,
// GROUP BY / DISTINCT / other orders, writes through a KNN plan, and rows deleted while a
// cursor is open.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "jix0/module.h"
#include "jix0/query/cursor.h"
#include "support/captured_vtab.h"
#include "support/test_db.h"

namespace {

// Rows at x = rowid on a line, so the nearest to [0, 0] are the smallest rowids:
// partition p = rowid % 3.
void FillLine(TestDb& db, const char* table, int n) {
  for (int i = 1; i <= n; i++) {
    db.Exec("INSERT INTO " + std::string(table) + "(rowid, v, p) VALUES (" + std::to_string(i) +
            ", '[" + std::to_string(i) + ", 0]', " + std::to_string(i % 3) + ")");
  }
}

// The same WHERE on a jix0 table and on an ordinary table with the same rowids must select
// the same rows: 1.5 and '2abc' name no row, 2.0 and '2' name row 2.
TEST(Jix0SqlForms, KeysMatchAsInAnOrdinaryRowidTable) {
  TestDb db;
  db.Exec("CREATE VIRTUAL TABLE u USING jix0(v float[2], p integer partition key)");
  db.Exec("CREATE VIRTUAL TABLE ik USING jix0(id integer primary key, v float[2])");
  db.Exec("CREATE TABLE mu(x); CREATE TABLE mik(id integer primary key)");
  FillLine(db, "u", 3);
  for (int i = 1; i <= 3; i++) {
    std::string n = std::to_string(i);
    db.Exec("INSERT INTO ik(id, v) VALUES (" + n + ", '[" + n + ", 0]')");
    db.Exec("INSERT INTO mu(rowid, x) VALUES (" + n + ", 0); INSERT INTO mik(id) VALUES (" + n +
            ")");
  }
  const char* values[] = {"2",
                          "2.0",
                          "'2'",
                          "'2.0'",
                          "' 2 '",
                          "'2e0'",
                          "1.5",
                          "'2abc'",
                          "3.7",
                          "X'32'",
                          "NULL",
                          "-0.0",
                          "'0x2'",
                          "2.0000000001",
                          "'+3'",
                          "9223372036854775807",
                          "9.3e18",
                          "'-1'",
                          "'3.'",
                          "'.3e1'",
                          "''",
                          "' '",
                          "'2 3'",
                          "'1e'",
                          "'-'",
                          "char(9) || '2' || char(10)",
                          "'9223372036854775808'",
                          "'00002'",
                          "'2e-0'",
                          "'0.2e1'",
                          "'2.5e0'"};
  for (const char* value : values) {
    SCOPED_TRACE(value);
    std::string v = value;
    std::string expected = db.Query("SELECT rowid FROM mu WHERE rowid = " + v);
    EXPECT_EQ(db.Query("SELECT rowid FROM u WHERE rowid = " + v), expected);
    EXPECT_EQ(db.Query("SELECT id FROM ik WHERE id = " + v),
              db.Query("SELECT id FROM mik WHERE id = " + v));
    // A rowid IN list of the KNN search drops the members that name no row.
    std::string list = "(" + v + ", 3.5, 1)";
    EXPECT_EQ(db.Query("SELECT rowid FROM u WHERE v MATCH '[0, 0]' AND k = 10 AND rowid IN " +
                       list + " ORDER BY rowid"),
              db.Query("SELECT rowid FROM mu WHERE rowid IN " + list + " ORDER BY rowid"));
  }
  // Writes through a point lookup touch exactly the rows an ordinary table's would.
  const std::pair<const char*, const char*> writes[] = {
      {"DELETE FROM u WHERE rowid = 1.5", "DELETE FROM mu WHERE rowid = 1.5"},
      {"DELETE FROM u WHERE rowid = '2abc'", "DELETE FROM mu WHERE rowid = '2abc'"},
      {"UPDATE u SET v = '[7, 7]' WHERE rowid = 3.7", "UPDATE mu SET x = 7 WHERE rowid = 3.7"},
      {"DELETE FROM u WHERE rowid = '3'", "DELETE FROM mu WHERE rowid = '3'"},
  };
  for (const auto& [jix, plain] : writes) {
    SCOPED_TRACE(jix);
    db.Exec(jix);
    int jixChanges = sqlite3_changes(db.db());
    db.Exec(plain);
    EXPECT_EQ(jixChanges, sqlite3_changes(db.db()));
    EXPECT_EQ(db.Query("SELECT rowid FROM u"), db.Query("SELECT rowid FROM mu"));
  }
  EXPECT_EQ(db.Query("SELECT jix_to_json(v) FROM u"), "[1.000000,0.000000]\n[2.000000,0.000000]");
  EXPECT_EQ(db.Query("SELECT rowid FROM u"), "1\n2");
}

// The k nearest over every listed partition, nearest first, from one search: never k rows
// per value.
TEST(Jix0SqlForms, PartitionInListsAndOrsAreOneSearch) {
  TestDb db;
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0(v float[2], p integer partition key, q text partition "
      "key, chunk_size=8)");
  for (int i = 1; i <= 30; i++) {
    std::string n = std::to_string(i);
    db.Exec("INSERT INTO t(rowid, v, p, q) VALUES (" + n + ", '[" + n + ", 0]', " +
            std::to_string(i % 3) + ", '" + (i % 2 ? "odd" : "even") + "')");
  }
  const std::string knn = "SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 3 AND ";
  const SqlCase cases[] = {
      {"p IN (0, 1)", "1\n3\n4"},
      {"(p = 0 OR p = 1)", "1\n3\n4"},
      {"p IN (1, 0, 1, NULL)", "1\n3\n4"},
      {"p IN (2)", "2\n5\n8"},
      {"p = 2", "2\n5\n8"},
      {"p IN ()", ""},
      {"p IN (SELECT 0 UNION SELECT 2)", "2\n3\n5"},
      {"p IN (0, 1) AND q IN ('odd')", "1\n3\n7"},
      {"p IN (0, 2) AND q = 'even'", "2\n6\n8"},
      {"(q = 'odd' OR q = 'even') AND p != 0", "1\n2\n4"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(knn + c.sql), c.expected);
  }
  // The list is handed over whole ('g'); a single value keeps its plan.
  EXPECT_EQ(db.Query("EXPLAIN QUERY PLAN " + knn + "p IN (0, 1)").find("3{___}___]Ag_") !=
                std::string::npos,
            true);
  EXPECT_EQ(
      db.Query("EXPLAIN QUERY PLAN " + knn + "p = 2").find("3{___}___]Aa_") != std::string::npos,
      true);
}

// Cosine distance to an all-zero vector is NaN, which SQLite reads as NULL and would sort
// first; the search's own order keeps such rows last.
TEST(Jix0SqlForms, OrderByDistanceKeepsNanRowsLast) {
  TestDb db;
  db.Exec("CREATE VIRTUAL TABLE c USING jix0(v float[2] distance_metric=cosine)");
  db.Exec(
      "INSERT INTO c(rowid, v) VALUES (1, '[0, 0]'), (2, '[1, 0]'), (3, '[1, 1]'), (4, '[0, 1]')");
  const std::string knn = "SELECT rowid FROM c WHERE v MATCH '[1, 0.1]' ";
  EXPECT_EQ(db.Query(knn + "AND k = 4"), "2\n3\n4\n1");
  EXPECT_EQ(db.Query(knn + "AND k = 4 ORDER BY distance"), "2\n3\n4\n1");
  EXPECT_EQ(db.Query(knn + "AND k = 4 ORDER BY distance ASC"), "2\n3\n4\n1");
  // Descending is SQLite's sort, where NULL is smallest.
  EXPECT_EQ(db.Query(knn + "AND k = 4 ORDER BY distance DESC"), "4\n3\n2\n1");
  if (sqlite3_libversion_number() >= 3041000) {
    EXPECT_EQ(db.Query(knn + "ORDER BY distance LIMIT 4"), "2\n3\n4\n1");
  }
}

// With k, LIMIT and OFFSET page through the k nearest rows, whichever SQLite hands them to.
TEST(Jix0SqlForms, LimitAndOffsetBesideK) {
  TestDb db;
  db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[2], p integer partition key)");
  FillLine(db, "t", 9);
  const std::string knn = "SELECT rowid FROM t WHERE v MATCH '[0, 0]' ";
  const SqlCase cases[] = {
      {"AND k = 5 LIMIT 3", "1\n2\n3"},
      {"AND k = 2 LIMIT 3", "1\n2"},
      {"AND k = 5 LIMIT 3 OFFSET 2", "3\n4\n5"},
      {"AND k = 5 ORDER BY distance LIMIT 3 OFFSET 2", "3\n4\n5"},
      {"AND k = 5 LIMIT 3 OFFSET 4", "5"},
      {"AND k = 5 LIMIT -1 OFFSET 3", "4\n5"},
      {"AND k = 3 AND k = 3", "1\n2\n3"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(knn + c.sql), c.expected);
  }
  // SQLite adds LIMIT 1 to scalar subqueries and EXISTS.
  EXPECT_EQ(db.Query("SELECT (SELECT rowid FROM t WHERE v MATCH '[3, 0]' AND k = 1)"), "3");
  EXPECT_EQ(db.Query("SELECT EXISTS (SELECT 1 FROM t WHERE v MATCH '[3, 0]' AND k = 1)"), "1");
  EXPECT_EQ(db.Query("SELECT rowid FROM t WHERE rowid IN (SELECT rowid FROM t WHERE v MATCH "
                     "'[9, 0]' AND k = 2 LIMIT 1)"),
            "9");
  // Without k, the LIMIT stands for k where SQLite hands it over (3.41 on).
  const char* limitOnly = "ORDER BY distance LIMIT 3 OFFSET 2";
  if (sqlite3_libversion_number() >= 3041000) {
    EXPECT_EQ(db.Query(knn + limitOnly), "3\n4\n5");
    EXPECT_EQ(db.Query(knn + "ORDER BY distance LIMIT 3"), "1\n2\n3");
  } else {
    EXPECT_EQ(
        db.Query(knn + limitOnly),
        std::string("A LIMIT or 'k = ?' constraint is required on jix0 knn queries. SQLite ") +
            sqlite3_libversion() +
            " does not pass a LIMIT to virtual tables (3.41.0 and later do): add 'AND k = ?' "
            "to the WHERE clause instead.");
  }
}

// xFilter on a real table through a hand-made plan, as SQLite 3.41 and later run
// `ORDER BY distance LIMIT ? OFFSET ?`: the rowids it yields, by xRowid.
std::string FilterRowids(sqlite3_vtab* vtab, const char* idxStr, std::vector<sqlite3_value*> argv) {
  sqlite3_vtab_cursor* cursor = nullptr;
  if (jix0Open(vtab, &cursor) != SQLITE_OK) return "open failed";
  cursor->pVtab = vtab;
  std::string out;
  int rc = jix0Filter(cursor, 0, idxStr, (int)argv.size(), argv.data());
  while (rc == SQLITE_OK && !jix0Eof(cursor)) {
    sqlite3_int64 rowid = 0;
    rc = jix0Rowid(cursor, &rowid);
    if (rc != SQLITE_OK) break;
    out += (out.empty() ? "" : " ") + std::to_string(rowid);
    rc = jix0Next(cursor);
  }
  if (rc != SQLITE_OK)
    out = "rc " + std::to_string(rc) + ": " + (vtab->zErrMsg ? vtab->zErrMsg : "");
  jix0Close(cursor);
  return out;
}

TEST(Jix0SqlForms, LimitStandingForKReturnsOffsetMoreRows) {
  TestDb db;
  RegisterCapturingJix0(db.db());
  db.Exec("CREATE VIRTUAL TABLE t USING jix0_capture(v float[2], p integer partition key)");
  FillLine(db, "t", 9);
  sqlite3_vtab* vtab = (sqlite3_vtab*)LastCapturedJix0();
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db.db(), "SELECT '[0, 0]', 3, 2, -4, 4096, 5", -1, &stmt, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  auto arg = [&](int i) { return sqlite3_column_value(stmt, i); };
  // LIMIT 3 OFFSET 2: five rows, of which SQLite skips two.
  EXPECT_EQ(FilterRowids(vtab, "3{___}___+___", {arg(0), arg(1), arg(2)}), "1 2 3 4 5");
  // A negative OFFSET counts as none.
  EXPECT_EQ(FilterRowids(vtab, "3{___}___+___", {arg(0), arg(1), arg(3)}), "1 2 3");
  EXPECT_EQ(FilterRowids(vtab, "3{___}___+___", {arg(0), arg(4), arg(2)}),
            "rc 1: k value in knn query too large, provided 4098 and the limit is 4096");
  // Two `k =` constraints with different values cannot both hold.
  EXPECT_EQ(FilterRowids(vtab, "3{___}___}___", {arg(0), arg(1), arg(1)}), "1 2 3");
  EXPECT_EQ(FilterRowids(vtab, "3{___}___}___", {arg(0), arg(1), arg(5)}),
            "rc 1: A jix0 KNN query takes a single k value, but k = 3 and k = 5 were given: keep "
            "one 'k = ?' constraint");
  sqlite3_finalize(stmt);
}

// With k, SQLite applies grouping, DISTINCT and other orders to the k nearest rows.
TEST(Jix0SqlForms, OtherOrdersGroupsAndDistinctApplyToTheKRows) {
  TestDb db;
  db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[2], p integer partition key, n integer)");
  for (int i = 1; i <= 9; i++) {
    std::string s = std::to_string(i);
    db.Exec("INSERT INTO t(rowid, v, p, n) VALUES (" + s + ", '[" + s + ", 0]', " +
            std::to_string(i % 3) + ", " + std::to_string(10 - i) + ")");
  }
  const std::string from = " FROM t WHERE v MATCH '[0, 0]' AND k = 5";
  const std::pair<std::string, const char*> queries[] = {
      {"SELECT p, count(*)" + from + " GROUP BY p", "0|1\n1|2\n2|2"},
      {"SELECT DISTINCT p" + from + " ORDER BY p", "0\n1\n2"},
      {"SELECT count(DISTINCT p)" + from, "3"},
      {"SELECT rowid" + from + " ORDER BY n", "5\n4\n3\n2\n1"},
      {"SELECT rowid" + from + " ORDER BY p, rowid DESC", "3\n4\n1\n5\n2"},
      {"SELECT rowid" + from + " ORDER BY distance DESC LIMIT 2", "5\n4"},
      {"SELECT rowid" + from + " ORDER BY rowid DESC LIMIT 2 OFFSET 1", "4\n3"},
      {"SELECT rowid" + from + " ORDER BY distance, rowid", "1\n2\n3\n4\n5"},
      {"SELECT max(distance)" + from, "5.0"},
  };
  for (const auto& [sql, expected] : queries) {
    SCOPED_TRACE(sql);
    EXPECT_EQ(db.Query(sql), expected);
  }
}

// xRowid answers under the KNN plan, so SQLite can combine OR branches and write to the
// rows a KNN query found.
TEST(Jix0SqlForms, KnnRowsCanBeCombinedDeletedAndUpdated) {
  TestDb db;
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0(v float[2], p integer partition key, +aux text, n "
      "integer)");
  for (int i = 1; i <= 6; i++) {
    std::string s = std::to_string(i);
    db.Exec("INSERT INTO t(rowid, v, p, aux, n) VALUES (" + s + ", '[" + s + ", 0]', " +
            std::to_string(i % 2) + ", 'a" + s + "', " + s + ")");
  }
  EXPECT_EQ(db.Query("SELECT rowid FROM t WHERE (v MATCH '[0, 0]' AND k = 2) OR rowid = 5 "
                     "ORDER BY rowid"),
            "1\n2\n5");
  EXPECT_EQ(db.Query("SELECT rowid FROM t WHERE (v MATCH '[0, 0]' AND k = 1) OR "
                     "(v MATCH '[9, 0]' AND k = 1) ORDER BY rowid"),
            "1\n6");
  db.Exec("DELETE FROM t WHERE v MATCH '[0, 0]' AND k = 1");
  EXPECT_EQ(sqlite3_changes(db.db()), 1);
  db.Exec("UPDATE t SET aux = 'near', n = 0, v = '[0, 1]' WHERE v MATCH '[0, 0]' AND k = 2");
  EXPECT_EQ(sqlite3_changes(db.db()), 2);
  // Unassigned columns, the partition key among them, keep their values.
  EXPECT_EQ(db.Query("SELECT rowid, p, aux, n, jix_to_json(v) FROM t ORDER BY rowid"),
            "2|0|near|0|[0.000000,1.000000]\n3|1|near|0|[0.000000,1.000000]\n"
            "4|0|a4|4|[4.000000,0.000000]\n5|1|a5|5|[5.000000,0.000000]\n"
            "6|0|a6|6|[6.000000,0.000000]");
  // So can a full scan of a partitioned table.
  db.Exec("UPDATE t SET n = n + 10 WHERE n >= 5");
  EXPECT_EQ(db.Query("SELECT rowid, p, n FROM t WHERE n > 10 ORDER BY rowid"), "5|1|15\n6|0|16");
  db.Exec("DELETE FROM t WHERE rowid IN (SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 2)");
  EXPECT_EQ(db.Query("SELECT rowid FROM t ORDER BY rowid"), "4\n5\n6");
}

// Steps sql; on its first row runs `write` on the same connection, then reads the rest.
// Returns the rowids seen, or the error.
std::string ScanWhileWriting(TestDb& db, const std::string& sql, const std::string& write) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db.db(), sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    return sqlite3_errmsg(db.db());
  }
  std::string out;
  int rc;
  bool first = true;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    out += (out.empty() ? "" : " ") + std::to_string(sqlite3_column_int64(stmt, 0));
    if (sqlite3_column_count(stmt) > 1) sqlite3_column_blob(stmt, 1);  // read the vector too
    if (first) db.Exec(write);
    first = false;
  }
  if (rc != SQLITE_DONE) out += " error: " + std::string(sqlite3_errmsg(db.db()));
  sqlite3_finalize(stmt);
  return out;
}

// Rows deleted while a full scan or KNN cursor is open are passed over, as an ordinary
// table does, whether their chunk survives or goes with them.
TEST(Jix0SqlForms, RowsDeletedDuringAScanAreSkipped) {
  const struct {
    const char* sql;
    const char* write;
    const char* expected;
  } cases[] = {
      // Storage order: the chunk of partition 1, then 2, then 0.
      {"SELECT rowid, v FROM t", "DELETE FROM t WHERE rowid IN (4, 7)", "1 10 2 5 8 3 6 9"},
      {"SELECT rowid, v FROM t", "DELETE FROM t WHERE rowid > 1", "1"},
      {"SELECT rowid, v FROM t WHERE v MATCH '[0, 0]' AND k = 6",
       "DELETE FROM t WHERE rowid IN (2, 5)", "1 3 4 6"},
      {"SELECT rowid, v FROM t WHERE v MATCH '[0, 0]' AND k = 6 ORDER BY distance",
       "DELETE FROM t WHERE rowid >= 3", "1 2"},
      // A change that deletes nothing skips nothing.
      {"SELECT rowid, v FROM t WHERE v MATCH '[0, 0]' AND k = 3",
       "CREATE TABLE x(a); INSERT INTO x VALUES (1)", "1 2 3"},
      {"SELECT rowid, v FROM t WHERE v MATCH '[0, 0]' AND k = 3",
       "INSERT INTO t(rowid, v, p) VALUES (11, '[0, 0]', 0)", "1 2 3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.sql) + " / " + c.write);
    TestDb db;
    db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[2], p integer partition key, chunk_size=8)");
    FillLine(db, "t", 10);
    EXPECT_EQ(ScanWhileWriting(db, c.sql, c.write), c.expected);
  }
}

}  // namespace
