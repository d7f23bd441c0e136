// The IVF codes: every write keeps each row's code, searches of some lists scan the codes and
// return the exact distances of their rows, and tables whose build kept no codes answer as
// they did.
#include <unistd.h>

#include <gtest/gtest.h>
#include <string>

#include "support/invariants.h"
#include "support/test_db.h"

namespace {

// Rows first..last of 8 dimensions in four clusters (cluster = rowid % 4, high on dimensions
// c and c + 4), each row a little apart from the others.
std::string InsertRows(const std::string& table, int first, int last) {
  return "WITH RECURSIVE n(i) AS (SELECT " + std::to_string(first) +
         " UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(last) + ") INSERT INTO " +
         table +
         "(rowid, v, n) SELECT i, (SELECT json_group_array((j % 4 = i % 4) * 50 + (i * 31 + j * "
         "17) % 101 / 10.0) FROM (WITH RECURSIVE m(j) AS (SELECT 0 UNION ALL SELECT j + 1 FROM "
         "m WHERE j < 7) SELECT j FROM m)), i FROM n";
}

constexpr const char kTable[] =
    "CREATE VIRTUAL TABLE t USING jix0(v float[8] index=ivf lists=4 probes=1, n integer, "
    "chunk_size=8)";

// Rows whose own vector, searched in its own list (probes = 1, so through the codes), does not
// give back that row: a row whose code was not written, moved or cleared with it.
constexpr const char kLostRows[] =
    "SELECT count(*) FROM t AS a WHERE (SELECT rowid FROM t WHERE v MATCH a.v AND k = 1) IS NOT "
    "a.rowid";

// A search of one list through the codes and the same search through the vectors (a distance
// bound reads every row's exact distance): with k = 40 the 80 candidates cover a whole list
// (about 60 rows), so the two agree row for row, distances to the bit.
std::string ThroughCodes(TestDb& db, const char* query) {
  return db.Query(std::string("SELECT rowid, distance FROM t WHERE v MATCH '") + query +
                  "' AND k = 40");
}
std::string ThroughVectors(TestDb& db, const char* query) {
  return db.Query(std::string("SELECT rowid, distance FROM t WHERE v MATCH '") + query +
                  "' AND k = 40 AND distance < 1e30");
}

constexpr const char* kQueries[] = {"[51, 1, 2, 3, 49, 5, 6, 7]", "[4, 3, 55, 1, 0, 2, 52, 9]"};

// Each write keeps the stored codes equal to the build's code of each row's vector (the
// invariants check reads them), and searches through them find every row.
TEST(Jix0IvfCodes, EveryWriteKeepsTheCodesOfItsRows) {
  TestDb db;
  db.Exec(kTable);
  db.Exec(InsertRows("t", 1, 240));
  db.Exec("INSERT INTO t(t) VALUES ('build-index')");
  const char* writes[] = {
      "SELECT 'built'",
      "INSERT INTO t(rowid, v, n) VALUES (1001, '[50.5, 1, 2, 3, 51, 4, 5, 6]', 1)",
      // Within its list, then into another list.
      "UPDATE t SET v = '[1, 52, 2, 3, 4, 50.5, 6, 7]' WHERE rowid = 9",
      "UPDATE t SET v = '[0.5, 1, 51, 2, 3, 4, 50, 5]' WHERE rowid = 5",
      "UPDATE t SET n = 7 WHERE rowid = 10",
      "INSERT OR REPLACE INTO t(rowid, v, n) VALUES (100, '[1, 2, 3, 53, 4, 5, 6, 49]', 2)",
      "DELETE FROM t WHERE rowid BETWEEN 20 AND 90",
      "INSERT INTO t(t) VALUES ('optimize')",
      "INSERT INTO t(t) VALUES ('build-index lists=3')",
  };
  for (const char* write : writes) {
    SCOPED_TRACE(write);
    db.Exec(write);
    EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
    EXPECT_EQ(db.Query(kLostRows), "0");
    for (const char* q : kQueries) EXPECT_EQ(ThroughCodes(db, q), ThroughVectors(db, q));
  }
  EXPECT_EQ(db.Query("SELECT count(*) FROM t_chunks"), db.Query("SELECT count(*) FROM t_ivfcodes"));
}

// A search that reads every list answers as the table without an index does.
TEST(Jix0IvfCodes, SearchesOfEveryListAreExact) {
  TestDb db;
  db.Exec(kTable);
  db.Exec("CREATE VIRTUAL TABLE u USING jix0(v float[8], n integer, chunk_size=8)");
  db.Exec(InsertRows("t", 1, 240));
  db.Exec(InsertRows("u", 1, 240));
  db.Exec("INSERT INTO t(t) VALUES ('build-index')");
  for (const char* q : kQueries) {
    for (const char* k : {"1", "10", "100"}) {
      std::string tail = std::string("v MATCH '") + q + "' AND k = " + k;
      EXPECT_EQ(db.Query("SELECT rowid, distance FROM t WHERE " + tail + " AND probes = 4"),
                db.Query("SELECT rowid, distance FROM u WHERE " + tail))
          << q << " k = " << k;
    }
  }
}

struct TempPath {
  char path[32] = "/tmp/jix0_codes_XXXXXX";
  TempPath() {
    int fd = mkstemp(path);
    if (fd >= 0) close(fd);
  }
  ~TempPath() { unlink(path); }
};

// A table whose last build kept no codes (built before there were codes: no map, no codes
// table) reads the vectors as before, every write leaves it without codes, and its next build
// gives it codes, which follow its renames.
TEST(Jix0IvfCodes, TablesBuiltWithoutCodesAnswerAsBeforeUntilTheNextBuild) {
  TempPath file;
  std::string before[2];
  {
    TestDb db(file.path);
    db.Exec(kTable);
    db.Exec(InsertRows("t", 1, 240));
    db.Exec("INSERT INTO t(t) VALUES ('build-index')");
    db.Exec("DELETE FROM t_info WHERE key = 'IVF_CODES'");
    db.Exec("DROP TABLE t_ivfcodes");
    for (int i = 0; i < 2; i++) before[i] = ThroughVectors(db, kQueries[i]);
  }
  TestDb db(file.path);
  for (int i = 0; i < 2; i++) EXPECT_EQ(ThroughCodes(db, kQueries[i]), before[i]);
  const SqlCase cases[] = {
      {"INSERT INTO t(rowid, v, n) VALUES (1001, '[50.5, 1, 2, 3, 51, 4, 5, 6]', 1)", ""},
      {"UPDATE t SET v = '[0.5, 1, 51, 2, 3, 4, 50, 5]' WHERE rowid = 5", ""},
      {"DELETE FROM t WHERE rowid BETWEEN 20 AND 90", ""},
      {"INSERT INTO t(t) VALUES ('optimize')", ""},
      {"SELECT count(*) FROM sqlite_master WHERE name LIKE '%ivfcodes'", "0"},
      {kLostRows, "0"},
      {"INSERT INTO t(t) VALUES ('build-index')", ""},
      {"SELECT count(*) = (SELECT count(*) FROM t_chunks) FROM t_ivfcodes", "1"},
      {kLostRows, "0"},
  };
  for (const SqlCase& c : cases) {
    EXPECT_EQ(db.Query(c.sql), c.expected) << c.sql;
    EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "") << c.sql;
  }
  for (const char* q : kQueries) EXPECT_EQ(ThroughCodes(db, q), ThroughVectors(db, q));
  // The codes table follows a rename, as it would have without codes.
  db.Exec("ALTER TABLE t RENAME TO t2");
  EXPECT_EQ(db.Query("SELECT count(*) = (SELECT count(*) FROM t2_chunks) FROM t2_ivfcodes"), "1");
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t2"), "");
  EXPECT_EQ(db.Query(std::string("SELECT count(*) FROM t2 WHERE v MATCH '") + kQueries[0] +
                     "' AND k = 5"),
            "5");
}

// drop-index takes the codes with the index; a build after it writes them again.
TEST(Jix0IvfCodes, DropIndexRemovesTheCodes) {
  TestDb db;
  db.Exec(kTable);
  db.Exec(InsertRows("t", 1, 240));
  db.Exec("INSERT INTO t(t) VALUES ('build-index')");
  const SqlCase cases[] = {
      {"INSERT INTO t(t) VALUES ('drop-index')", ""},
      {"SELECT count(*) FROM t_info WHERE key = 'IVF_CODES'", "0"},
      {"SELECT count(*) FROM t_ivfcodes", "0"},
      {"INSERT INTO t(rowid, v, n) VALUES (1001, '[50.5, 1, 2, 3, 51, 4, 5, 6]', 1)", ""},
      {"DELETE FROM t WHERE rowid = 7", ""},
      {"SELECT count(*) FROM t_ivfcodes", "0"},
      {"INSERT INTO t(t) VALUES ('build-index')", ""},
      {"SELECT count(*) = (SELECT count(*) FROM t_chunks) FROM t_ivfcodes", "1"},
      {kLostRows, "0"},
  };
  for (const SqlCase& c : cases) {
    EXPECT_EQ(db.Query(c.sql), c.expected) << c.sql;
    EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "") << c.sql;
  }
}

// A search of some lists ranks the centroids by their codes first, then reads the lists
// nearest by exact distance, ties to the lower list. Rows spanning [-100, 100] make the codes
// coarse (a step of about 0.8), so that centroids 8 to 14, set by hand within 0.4 of the
// query, share one code and tie in the codes' ranking, which puts them in list order: only
// the exact distances order them right.
TEST(Jix0IvfCodes, SearchesReadTheListsNearestByExactDistance) {
  TestDb db;
  db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[4] index=ivf lists=16, chunk_size=8)");
  // 16 clusters along the first dimension.
  db.Exec(
      "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 95) INSERT INTO "
      "t(rowid, v) SELECT i + 1, json_array(-100 + (i % 16) * 200.0 / 15, (i * 7 % 10) / 10.0, "
      "(i * 3 % 10) / 10.0, (i * 9 % 10) / 10.0) FROM n");
  db.Exec("INSERT INTO t(t) VALUES ('build-index')");
  ASSERT_EQ(db.Query("SELECT count(DISTINCT list) FROM t_chunks"), "16");
  // Exact distances from the origin: 14 (0.05), 11 and 13 (0.1, a tie), 9 and 10 (0.2, a
  // tie), 8, 12, 15 (0.6, the next code), then 0 to 7 (50 and more).
  db.Exec(
      "UPDATE t_ivfcentroids SET centroid = jix_f32(json_array(CASE list WHEN 8 THEN 0.3 WHEN 9 "
      "THEN 0.2 WHEN 10 THEN -0.2 WHEN 11 THEN 0.1 WHEN 12 THEN 0.35 WHEN 13 THEN -0.1 WHEN 14 "
      "THEN 0.05 WHEN 15 THEN 0.6 ELSE 50 + list END, 0, 0, 0))");
  // The index is read again when its build changes, as after another connection's build.
  db.Exec("UPDATE t_info SET value = value + 1 WHERE key = 'IVF_BUILD'");
  const char* expected[] = {
      "14",
      "11,14",
      "11,13,14",
      "9,11,13,14",
      "9,10,11,13,14",
      "8,9,10,11,13,14",
      "8,9,10,11,12,13,14",
      "8,9,10,11,12,13,14,15",  // every list measured exactly
  };
  const std::string rows = "FROM t_rowids r JOIN t_chunks c ON c.chunk_id = r.chunk_id";
  for (int probes = 1; probes <= 8; probes++) {
    // k = every row of the expected lists: reading them, the search neither widens nor leaves
    // a list out; reading others, it returns rows of another list.
    const std::string k =
        db.Query("SELECT count(*) " + rows + " WHERE c.list IN (" + expected[probes - 1] + ")");
    const std::string knn = "SELECT rowid FROM t WHERE v MATCH '[0, 0, 0, 0]' AND k = " + k +
                            " AND probes = " + std::to_string(probes);
    EXPECT_EQ(db.Query("SELECT group_concat(list) FROM (SELECT DISTINCT c.list " + rows +
                       " WHERE r.rowid IN (" + knn + ") ORDER BY c.list)"),
              expected[probes - 1])
        << "probes = " << probes;
  }
}

}  // namespace
