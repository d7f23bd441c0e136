// The IVF index: declaring it, 'build-index', writes after a build, probed searches that
// widen until k rows pass the filters, and the shadow objects following renames and drops.
#include <unistd.h>

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "jix0/query/cursor.h"
#include "support/captured_vtab.h"
#include "support/invariants.h"
#include "support/test_db.h"

namespace {

// Rows first..last in four well-separated clusters around (0,0), (100,0), (0,100) and
// (100,100): cluster = rowid % 4, also stored in the metadata column c; small offsets keep
// distances distinct.
std::string InsertClusters(const std::string& table, int first, int last, bool partition = false) {
  std::string sql;
  for (int r = first; r <= last; r++) {
    int c = r % 4;
    double x = (c % 2) * 100 + (r * 7 % 23) / 10.0, y = (c / 2) * 100 + (r * 3 % 19) / 10.0;
    sql += "INSERT INTO " + table + "(rowid, v, c" + (partition ? ", p" : "") + ") VALUES (" +
           std::to_string(r) + ", '[" + std::to_string(x) + "," + std::to_string(y) + "]', " +
           std::to_string(c) + (partition ? ", " + std::to_string(r % 2) : "") + ");";
  }
  return sql;
}

constexpr const char* kBuild = "INSERT INTO t(t) VALUES ('build-index')";
constexpr const char* kTable =
    "CREATE VIRTUAL TABLE t USING jix0(v float[2] index=ivf lists=4 probes=1, c integer, "
    "chunk_size=8)";
constexpr const char* kPlain =
    "CREATE VIRTUAL TABLE plain USING jix0(v float[2], c integer, chunk_size=8)";

// The list of the chunk holding each cluster's rows: one list per cluster after a build.
constexpr const char* kListsPerCluster =
    "SELECT t.c, count(DISTINCT ch.list), min(ch.list) IS NOT NULL FROM t JOIN t_rowids r ON "
    "r.rowid = t.rowid JOIN t_chunks ch ON ch.chunk_id = r.chunk_id GROUP BY t.c ORDER BY t.c";

TEST(Jix0Ivf, DeclarationErrors) {
  TestDb db;
  const SqlCase cases[] = {
      {"CREATE VIRTUAL TABLE x USING jix0(v float[2] index=hnsw)",
       "jix0 constructor error: Unknown index kind on vector column \"v\": the only kind is "
       "index=ivf"},
      {"CREATE VIRTUAL TABLE x USING jix0(v float[2] lists=4)",
       "jix0 constructor error: lists and probes on vector column \"v\" need index=ivf"},
      {"CREATE VIRTUAL TABLE x USING jix0(v float[2] probes=4)",
       "jix0 constructor error: lists and probes on vector column \"v\" need index=ivf"},
      {"CREATE VIRTUAL TABLE x USING jix0(v bit[16] index=ivf)",
       "jix0 constructor error: index=ivf is only available on float32 vector columns, not on the "
       "bit column \"v\""},
      {"CREATE VIRTUAL TABLE x USING jix0(v int8[2] index=ivf)",
       "jix0 constructor error: index=ivf is only available on float32 vector columns, not on the "
       "int8 column \"v\""},
      {"CREATE VIRTUAL TABLE x USING jix0(v float[2] index=ivf, w float[2] index=ivf)",
       "jix0 constructor error: Only one vector column of a table can have index=ivf"},
      {"CREATE VIRTUAL TABLE x USING jix0(v float[2] index=ivf lists=0)",
       "jix0 constructor error: lists on vector column \"v\" must be between 1 and 65536"},
      {"CREATE VIRTUAL TABLE x USING jix0(v float[2] index=ivf lists=65537)",
       "jix0 constructor error: lists on vector column \"v\" must be between 1 and 65536"},
      {"CREATE VIRTUAL TABLE x USING jix0(v float[2] index=ivf lists=99999999999)",
       "jix0 constructor error: lists on vector column \"v\" must be between 1 and 65536"},
      {"CREATE VIRTUAL TABLE x USING jix0(v float[2] index=ivf probes=0)",
       "jix0 constructor error: probes on vector column \"v\" must be between 1 and 65536"},
      {"CREATE VIRTUAL TABLE x USING jix0(v float[2] index=ivf lists=x)",
       "jix0 constructor error: could not parse vector column 'v float[2] index=ivf lists=x'"},
      {"SELECT count(*) FROM sqlite_master", "0"},
  };
  for (const SqlCase& c : cases) EXPECT_EQ(db.Query(c.sql), c.expected) << c.sql;
}

TEST(Jix0Ivf, SchemaOfIndexedTables) {
  TestDb db;
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0(p integer partition key, v float[2] "
      "distance_metric=cosine "
      "index=ivf)");
  // A column named probes keeps its name; the hidden one is then left out.
  db.Exec("CREATE VIRTUAL TABLE u USING jix0(v float[2] index=ivf, probes integer)");
  const SqlCase cases[] = {
      {"SELECT name, sql FROM sqlite_master WHERE tbl_name IN ('t_chunks', 't_ivfcentroids') "
       "ORDER BY name",
       "sqlite_autoindex_t_chunks_1|NULL\n"
       "t_chunks|CREATE TABLE \"t_chunks\"(chunk_id INTEGER PRIMARY KEY AUTOINCREMENT,size "
       "INTEGER NOT NULL,sequence_id integer,partition00,validity BLOB NOT NULL, rowids BLOB NOT "
       "NULL, list INTEGER, UNIQUE(list, partition00, chunk_id))\n"
       "t_ivfcentroids|CREATE TABLE \"t_ivfcentroids\"(list INTEGER PRIMARY KEY, centroid "
       "BLOB NOT NULL)"},
      {"SELECT name, hidden FROM pragma_table_xinfo('t') WHERE hidden",
       "distance|1\nk|1\nt|1\nprobes|1"},
      {"SELECT name, hidden FROM pragma_table_xinfo('u') WHERE hidden", "distance|1\nk|1\nu|1"},
      // Without chunk_size an indexed table sizes its chunks by bytes, up to 256 rows.
      {"INSERT INTO t(p, v) VALUES (1, '[1, 2]')", ""},
      {"SELECT size, list FROM t_chunks", "256|NULL"},
      {"INSERT INTO t(p, v, probes) VALUES (1, '[1, 2]', 3)",
       "A value was provided for the hidden \"probes\" column."},
      {"SELECT rowid FROM t WHERE v MATCH '[1, 2]' AND k = 1 AND probes = 0",
       "probes value in knn queries must be a positive integer, provided 0"},
      {"SELECT rowid FROM t WHERE v MATCH '[1, 2]' AND k = 1 AND probes IN (1, 2)",
       "jix0 KNN queries take a single probes value: use 'probes = ?', not 'probes IN (...)'."},
      {"SELECT rowid FROM t WHERE v MATCH '[1, 2]' AND k = 1 AND probes >= 1",
       "jix0 KNN queries take probes only as 'probes = ?', not as another comparison."},
      {"SELECT rowid FROM t WHERE v MATCH '[1, 2]' AND k = 1 AND probes > 3",
       "jix0 KNN queries take probes only as 'probes = ?', not as another comparison."},
      {"CREATE VIRTUAL TABLE plain USING jix0(v float[2])", ""},
      {"SELECT sql FROM sqlite_master WHERE name = 'plain_chunks'",
       "CREATE TABLE \"plain_chunks\"(chunk_id INTEGER PRIMARY KEY AUTOINCREMENT,size INTEGER NOT "
       "NULL,validity BLOB NOT NULL,rowids BLOB NOT NULL)"},
      {"INSERT INTO plain(plain) VALUES ('drop-index')",
       "jix0: unknown command 'drop-index' (known commands: 'optimize', 'build-index')"},
      {"INSERT INTO t(t) VALUES ('vacuum')",
       "jix0: unknown command 'vacuum' (known commands: 'optimize', 'build-index', "
       "'drop-index')"},
  };
  for (const SqlCase& c : cases) EXPECT_EQ(db.Query(c.sql), c.expected) << c.sql;
}

// Two `probes =` with different values cannot both hold. SQLite folds literal ones itself, so
// the search is called directly.
TEST(Jix0Ivf, TwoProbesValuesAreRefused) {
  TestDb db;
  RegisterCapturingJix0(db.db());
  db.Exec("CREATE VIRTUAL TABLE t USING jix0_capture(v float[2] index=ivf)");
  db.Exec("INSERT INTO t(rowid, v) VALUES (1, '[0, 0]')");
  sqlite3_vtab* vtab = (sqlite3_vtab*)LastCapturedJix0();
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db.db(), "SELECT '[0, 0]', 1, 2", -1, &stmt, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  auto run = [&](std::vector<sqlite3_value*> argv) {
    sqlite3_vtab_cursor* cursor = nullptr;
    EXPECT_EQ(jix0Open(vtab, &cursor), SQLITE_OK);
    cursor->pVtab = vtab;
    int rc = jix0Filter(cursor, 0, "3{___}___#___#___", (int)argv.size(), argv.data());
    std::string out = rc == SQLITE_OK ? "ok" : vtab->zErrMsg;
    jix0Close(cursor);
    return out;
  };
  auto arg = [&](int i) { return sqlite3_column_value(stmt, i); };
  EXPECT_EQ(run({arg(0), arg(1), arg(1), arg(1)}), "ok");
  EXPECT_EQ(run({arg(0), arg(1), arg(1), arg(2)}),
            "A jix0 KNN query takes a single probes value, but probes = 1 and probes = 2 were "
            "given");
  sqlite3_finalize(stmt);
}

TEST(Jix0Ivf, BuildGroupsRowsByListDeterministically) {
  TestDb db;
  db.Exec(kTable);
  db.Exec(kPlain);
  db.Exec(InsertClusters("t", 1, 200));
  db.Exec(InsertClusters("plain", 1, 200));
  const std::string query = "SELECT rowid, distance FROM %s WHERE v MATCH '[3, 98]' AND k = 7";
  auto on = [&](const char* table, const std::string& extra = "") {
    std::string sql = query;
    sql.replace(sql.find("%s"), 2, table);
    return db.Query(sql + extra);
  };
  const std::string exact = on("plain");
  // Before the first build every row is in no list and every search is exact.
  EXPECT_EQ(db.Query(kListsPerCluster), "0|0|0\n1|0|0\n2|0|0\n3|0|0");
  EXPECT_EQ(on("t"), exact);

  db.Exec(kBuild);
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
  EXPECT_EQ(db.Query(kListsPerCluster), "0|1|1\n1|1|1\n2|1|1\n3|1|1");
  EXPECT_EQ(db.Query("SELECT count(*), sum(length(centroid)) FROM t_ivfcentroids"), "4|32");
  // 50 rows per list: six full chunks and one of two rows.
  EXPECT_EQ(db.Query("SELECT list, count(*) FROM t_chunks GROUP BY list"), "0|7\n1|7\n2|7\n3|7");
  EXPECT_EQ(on("t"), exact);
  EXPECT_EQ(on("t", " AND probes = 4"), exact);

  // The same data gives the same centroids and the same rows in each list.
  const std::string centroids = db.DumpTables("t_ivfcentroids");
  const std::string members = db.Query(
      "SELECT ch.list, group_concat(r.rowid) FROM t_rowids r JOIN t_chunks ch USING (chunk_id) "
      "GROUP BY ch.list ORDER BY ch.list");
  db.Exec(kBuild);
  EXPECT_EQ(db.DumpTables("t_ivfcentroids"), centroids);
  EXPECT_EQ(db.Query("SELECT ch.list, group_concat(r.rowid) FROM t_rowids r JOIN t_chunks ch "
                     "USING (chunk_id) GROUP BY ch.list ORDER BY ch.list"),
            members);
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
}

// At probes >= lists the search is the exact one: the rows and distances of a table without
// the index, in the same order, for every metric.
TEST(Jix0Ivf, AllListsEqualsExactSearch) {
  for (const char* metric : {"l2", "cosine", "l1"}) {
    TestDb db;
    db.Exec(std::string("CREATE VIRTUAL TABLE t USING jix0(v float[2] distance_metric=") + metric +
            " index=ivf lists=5, c integer, chunk_size=8)");
    db.Exec(std::string("CREATE VIRTUAL TABLE plain USING jix0(v float[2] distance_metric=") +
            metric + ", c integer, chunk_size=8)");
    db.Exec(InsertClusters("t", 1, 120));
    db.Exec(InsertClusters("plain", 1, 120));
    db.Exec(kBuild);
    EXPECT_EQ(db.Query("SELECT count(*) FROM t_ivfcentroids"), "5") << metric;
    // Rows with equal distances may come in another order: build-index moved them between
    // chunks. Each row and its distance must be the same.
    const std::string exact = db.Query(
        "SELECT rowid, distance FROM (SELECT rowid, distance FROM plain WHERE v MATCH '[60, 40]' "
        "AND k = 30) ORDER BY distance, rowid");
    for (const char* probes : {"5", "6", "1000"}) {
      EXPECT_EQ(db.Query("SELECT rowid, distance FROM (SELECT rowid, distance FROM t WHERE v "
                         "MATCH '[60, 40]' AND k = 30 AND probes = " +
                         std::string(probes) + ") ORDER BY distance, rowid"),
                exact)
          << metric << " probes " << probes;
    }
  }
}

TEST(Jix0Ivf, WritesAfterBuildFollowTheLists) {
  TestDb db;
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0(v float[2] index=ivf lists=4 probes=1, c integer, "
      "+a text, chunk_size=8)");
  db.Exec(InsertClusters("t", 1, 60));
  db.Exec(kBuild);
  // The list holding cluster 3, found through a row of it.
  const std::string list3 = db.Query(
      "SELECT ch.list FROM t_rowids r JOIN t_chunks ch USING (chunk_id) WHERE r.rowid = 3");
  const SqlCase cases[] = {
      // An insert goes to its nearest list and a one-list search at its vector finds it.
      {"INSERT INTO t(rowid, v, c, a) VALUES (1000, '[101, 102]', 7, 'aux')", ""},
      {"SELECT ch.list FROM t_rowids r JOIN t_chunks ch USING (chunk_id) WHERE r.rowid = 1000",
       list3.c_str()},
      {"SELECT rowid, distance FROM t WHERE v MATCH '[101, 102]' AND k = 1", "1000|0.0"},
      // An update that changes the vector moves the whole row to the new list.
      {"UPDATE t SET v = '[1, 2]' WHERE rowid = 1000", ""},
      {"SELECT ch.list = (SELECT ch2.list FROM t_rowids r2 JOIN t_chunks ch2 USING (chunk_id) "
       "WHERE r2.rowid = 4) FROM t_rowids r JOIN t_chunks ch USING (chunk_id) WHERE r.rowid = 1000",
       "1"},
      {"SELECT rowid, v, c, a FROM t WHERE rowid = 1000", "1000|X'0000803F00000040'|7|aux"},
      {"SELECT rowid, distance FROM t WHERE v MATCH '[1, 2]' AND k = 1", "1000|0.0"},
      // Other updates leave the row where it is.
      {"UPDATE t SET c = 8 WHERE rowid = 1000", ""},
      {"SELECT rowid, c FROM t WHERE v MATCH '[1, 2]' AND k = 1 AND c = 8", "1000|8"},
      {"DELETE FROM t WHERE rowid = 1000", ""},
      {"SELECT count(*) FROM t", "60"},
  };
  for (const SqlCase& c : cases) {
    EXPECT_EQ(db.Query(c.sql), c.expected) << c.sql;
    EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "") << c.sql;
  }
  // optimize compacts each list on its own: every cluster stays in one list.
  db.Exec("DELETE FROM t WHERE rowid % 3 = 0");
  db.Exec("INSERT INTO t(t) VALUES ('optimize')");
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
  EXPECT_EQ(db.Query(kListsPerCluster), "0|1|1\n1|1|1\n2|1|1\n3|1|1");
  EXPECT_EQ(db.Query("SELECT list, count(*) FROM t_chunks GROUP BY list"), "0|2\n1|2\n2|2\n3|2");
}

// A row as near to two centroids as to each other goes to the lower list, on insert and on
// an update that moves it. The two clusters are exact points, so their centroids are too.
TEST(Jix0Ivf, TiesGoToTheLowestList) {
  struct Case {
    const char* metric;
    const char* a;
    const char* b;
    const char* tie;
  };
  const Case cases[] = {
      {"l2", "[0, 0]", "[10, 0]", "[5, 3]"},
      {"l1", "[0, 0]", "[10, 0]", "[5, -3]"},
      {"cosine", "[1, 0]", "[0, 1]", "[2, 2]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.metric);
    TestDb db;
    db.Exec(std::string("CREATE VIRTUAL TABLE t USING jix0(v float[2] distance_metric=") +
            c.metric + " index=ivf lists=2, chunk_size=8)");
    for (int r = 1; r <= 8; r++) {
      db.Exec("INSERT INTO t(rowid, v) VALUES (" + std::to_string(r) + ", '" + (r % 2 ? c.a : c.b) +
              "')");
    }
    db.Exec(kBuild);
    ASSERT_EQ(db.Query("SELECT count(DISTINCT list) FROM t_chunks"), "2");
    const std::string listOf =
        "SELECT ch.list FROM t_rowids r JOIN t_chunks ch USING (chunk_id) WHERE r.rowid = 100";
    db.Exec(std::string("INSERT INTO t(rowid, v) VALUES (100, '") + c.tie + "')");
    EXPECT_EQ(db.Query(listOf), "0");
    db.Exec(std::string("UPDATE t SET v = '") + c.b + "' WHERE rowid = 100");
    db.Exec(std::string("UPDATE t SET v = '") + c.tie + "' WHERE rowid = 100");
    EXPECT_EQ(db.Query(listOf), "0");
    EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
  }
}

// A filter the nearest list cannot satisfy widens the search: min(k, matching rows) rows.
TEST(Jix0Ivf, FilteredSearchesWiden) {
  TestDb db;
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0(p integer partition key, v float[2] index=ivf "
      "lists=4 probes=1, c integer, chunk_size=8)");
  db.Exec(InsertClusters("t", 1, 200, true));
  db.Exec(kBuild);
  const SqlCase cases[] = {
      // Near cluster 0, rows of cluster 3 only: the search reaches the farthest list.
      {"SELECT count(*), min(c), max(c) FROM t WHERE v MATCH '[0, 0]' AND k = 10 AND c = 3",
       "10|3|3"},
      {"SELECT count(*) FROM t WHERE v MATCH '[0, 0]' AND k = 80 AND c IN (1, 2)", "80"},
      {"SELECT count(*) FROM t WHERE v MATCH '[0, 0]' AND k = 1000 AND c = 3", "50"},
      {"SELECT count(*) FROM t WHERE v MATCH '[0, 0]' AND k = 5 AND c = 9", "0"},
      {"SELECT count(*) FROM t WHERE v MATCH '[0, 0]' AND k = 60 AND p = 0 AND c = 2", "50"},
      {"SELECT count(*) FROM t WHERE v MATCH '[0, 0]' AND k = 60 AND p = 1 AND c = 2", "0"},
      {"SELECT count(*) FROM t WHERE v MATCH '[0, 0]' AND k = 10 AND distance > 120", "10"},
      {"SELECT count(*) FROM t WHERE v MATCH '[0, 0]' AND k = 10 AND rowid IN (3, 7, 11)", "3"},
      // Without a filter one list holds enough rows.
      {"SELECT count(*), max(c) FROM t WHERE v MATCH '[0, 0]' AND k = 50", "50|0"},
      {"SELECT count(*) FROM t WHERE v MATCH '[0, 0]' AND k = 51", "51"},
      {"SELECT count(*), max(c) FROM t WHERE v MATCH '[0, 0]' AND k = 60 AND probes = 2", "60|2"},
  };
  for (const SqlCase& c : cases) EXPECT_EQ(db.Query(c.sql), c.expected) << c.sql;
}

TEST(Jix0Ivf, RollbackAndEmptyBuilds) {
  TestDb db;
  db.Exec(kTable);
  db.Exec(kBuild);  // an empty table: no lists, searches stay exact
  EXPECT_EQ(db.Query("SELECT count(*) FROM t_ivfcentroids"), "0");
  db.Exec(InsertClusters("t", 1, 40));
  EXPECT_EQ(db.Query("SELECT DISTINCT list FROM t_chunks"), "NULL");
  EXPECT_EQ(db.Query("SELECT count(*) FROM t WHERE v MATCH '[0, 0]' AND k = 40"), "40");
  const std::string before = db.DumpTables("t_");
  db.Exec("BEGIN");
  db.Exec(kBuild);
  EXPECT_EQ(db.Query("SELECT count(*) FROM t_ivfcentroids"), "4");
  db.Exec("ROLLBACK");
  EXPECT_EQ(db.DumpTables("t_"), before);
  // The rolled-back centroids are not used: searches are exact again.
  EXPECT_EQ(db.Query("SELECT count(*) FROM t WHERE v MATCH '[0, 0]' AND k = 40"), "40");
  // Fewer rows than lists: one list per row.
  TestDb small;
  small.Exec(kTable);
  small.Exec(InsertClusters("t", 1, 2));
  small.Exec(kBuild);
  EXPECT_EQ(small.Query("SELECT count(*) FROM t_ivfcentroids"), "2");
  EXPECT_EQ(CheckJix0Invariants(small.db(), "t"), "");
}

TEST(Jix0Ivf, AnotherConnectionsRebuildIsNoticed) {
  char path[] = "/tmp/jix0_ivf_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    TestDb a(path), b(path);
    a.Exec(kTable);
    a.Exec(InsertClusters("t", 1, 200));
    a.Exec(kBuild);
    const std::string query = "SELECT rowid, distance FROM t WHERE v MATCH '[50, 50]' AND k = 5";
    EXPECT_EQ(a.Query(query), b.Query(query));
    // b moves every cluster and rebuilds; a's next search must use the new centroids.
    b.Exec("DELETE FROM t");
    std::string moved = InsertClusters("t", 1, 200);
    for (size_t at = 0; (at = moved.find("'[", at)) != std::string::npos; at += 3) {
      moved.insert(at + 2, "-");
    }
    b.Exec(moved);
    b.Exec(kBuild);
    const std::string near = "SELECT rowid, distance FROM t WHERE v MATCH '[-100, -1]' AND k = 5";
    EXPECT_EQ(a.Query(near), b.Query(near));
    EXPECT_EQ(a.Query(near + " AND probes = 4"), b.Query(near));
  }
  unlink(path);
}

// Inserts fill each list's newest chunk, which a connection remembers between inserts. What it
// remembers must follow rollbacks (whole, to a savepoint, of a failed statement) and other
// connections' inserts: then every list still has one partly filled chunk at most, no insert
// fails, and a fresh connection sees the same table.
TEST(Jix0Ivf, RememberedNewestChunksStayTrue) {
  char path[] = "/tmp/jix0_ivf_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    TestDb a(path), b(path);
    a.Exec(kTable);
    a.Exec(InsertClusters("t", 1, 60));
    a.Exec(kBuild);
    // Each batch inserts 10 rows per list, so every list needs a new chunk of 8 slots.
    struct Step {
      std::string sql;
      bool fails;
    };
    const Step steps[] = {
        {"BEGIN", false},
        {InsertClusters("t", 100, 139), false},
        {"SAVEPOINT s", false},
        {InsertClusters("t", 140, 179), false},
        {"ROLLBACK TO s", false},
        {InsertClusters("t", 180, 219), false},
        {"COMMIT", false},
        {"BEGIN", false},
        {InsertClusters("t", 220, 259), false},
        {"ROLLBACK", false},
        {InsertClusters("t", 260, 299), false},
        // A statement that fails on its last row is rolled back inside the transaction.
        {"BEGIN", false},
        {"INSERT INTO t(rowid, v, c) SELECT value, '[1, 1]', 0 FROM json_each('[400, 401, 402, "
         "403, 404, 405, 406, 407, 408, 409, 1]')",
         true},
        {InsertClusters("t", 300, 339), false},
        {"COMMIT", false},
    };
    for (const Step& s : steps) {
      if (s.fails) {
        EXPECT_NE(a.Run(s.sql), SQLITE_OK) << s.sql;
      } else {
        a.Exec(s.sql);
      }
    }
    // b fills the lists' newest chunks and starts new ones between two batches of a.
    a.Exec(InsertClusters("t", 340, 379));
    b.Exec(InsertClusters("t", 380, 419));
    a.Exec(InsertClusters("t", 420, 459));
    EXPECT_EQ(CheckJix0Invariants(a.db(), "t"), "");
    EXPECT_EQ(a.Query("SELECT count(*) FROM t"), "340");
    EXPECT_EQ(a.Query("SELECT count(*) FROM (SELECT ch.list, count(DISTINCT chunk_id) AS n, "
                      "count(*) AS rows FROM t_rowids JOIN t_chunks ch USING (chunk_id) GROUP BY "
                      "ch.list) WHERE n <> (rows + 7) / 8"),
              "0");
    EXPECT_EQ(a.Query(kListsPerCluster), "0|1|1\n1|1|1\n2|1|1\n3|1|1");
    TestDb fresh(path);
    const std::string query = "SELECT rowid, distance FROM t WHERE v MATCH '[50, 50]' AND k = 9";
    EXPECT_EQ(a.Query(query), fresh.Query(query));
  }
  unlink(path);
}

TEST(Jix0Ivf, RenameAndDropCoverTheIndex) {
  TestDb db;
  db.Exec(kTable);
  db.Exec(InsertClusters("t", 1, 40));
  db.Exec(kBuild);
  const std::string answer = db.Query("SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 3");
  db.Exec("ALTER TABLE t RENAME TO u");
  const SqlCase cases[] = {
      {"SELECT name, tbl_name FROM sqlite_master WHERE name NOT LIKE 'sqlite_sequence' ORDER BY "
       "name",
       "sqlite_autoindex_u_chunks_1|u_chunks\nsqlite_autoindex_u_info_1|u_info\n"
       "sqlite_autoindex_u_metadatachunks00_1|u_metadatachunks00\n"
       "sqlite_autoindex_u_vector_chunks00_1|u_vector_chunks00\nu|u\n"
       "u_chunks|u_chunks\nu_info|u_info\n"
       "u_ivfcentroids|u_ivfcentroids\nu_ivfcodes|u_ivfcodes\n"
       "u_metadatachunks00|u_metadatachunks00\n"
       "u_rowids|u_rowids\nu_vector_chunks00|u_vector_chunks00"},
      {"SELECT rowid FROM u WHERE v MATCH '[0, 0]' AND k = 3", answer.c_str()},
      {"INSERT INTO u(u) VALUES ('build-index')", ""},
      {"INSERT INTO u(rowid, v, c) VALUES (100, '[1, 1]', 0)", ""},
      // The old name is free again, its index name included.
      {kTable, ""},
      {"SELECT name FROM sqlite_master WHERE tbl_name = 't_chunks' AND type = 'index'",
       "sqlite_autoindex_t_chunks_1"},
      {"DROP TABLE u", ""},
      {"DROP TABLE t", ""},
      {"SELECT count(*) FROM sqlite_master WHERE name NOT LIKE 'sqlite_%'", "0"},
  };
  for (const SqlCase& c : cases) EXPECT_EQ(db.Query(c.sql), c.expected) << c.sql;
}

// The centroids table is a shadow table SQLite recognises: under SQLITE_DBCONFIG_DEFENSIVE
// ordinary SQL cannot change it, while the table's own build still can.
TEST(Jix0Ivf, DefensiveModeProtectsTheCentroids) {
  TestDb db;
  sqlite3_db_config(db.db(), SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  db.Exec(kTable);
  db.Exec(InsertClusters("t", 1, 40));
  db.Exec(kBuild);
  EXPECT_EQ(db.Query("DELETE FROM t_ivfcentroids"), "table t_ivfcentroids may not be modified");
  EXPECT_EQ(db.Query("SELECT count(*) > 0 FROM t_ivfcentroids"), "1");
}

// Tables of earlier versions name their centroids table t_ivf_centroids: they keep answering,
// building, renaming and dropping with that name.
TEST(Jix0Ivf, OlderCentroidsTableNameKeepsWorking) {
  TestDb db;
  db.Exec(kTable);
  db.Exec(InsertClusters("t", 1, 40));
  db.Exec(kBuild);
  const std::string answer = db.Query("SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 3");
  const std::string centroids = db.Query("SELECT * FROM t_ivfcentroids");
  db.Exec("ALTER TABLE t_ivfcentroids RENAME TO t_ivf_centroids");  // as an older file has it
  const SqlCase cases[] = {
      {"SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 3", answer.c_str()},
      {kBuild, ""},
      {"SELECT * FROM t_ivf_centroids", centroids.c_str()},
      {"ALTER TABLE t RENAME TO u", ""},
      {"SELECT name FROM sqlite_master WHERE name LIKE '%centroids'", "u_ivf_centroids"},
      {"SELECT rowid FROM u WHERE v MATCH '[0, 0]' AND k = 3", answer.c_str()},
      {"DROP TABLE u", ""},
      {"SELECT count(*) FROM sqlite_master WHERE name NOT LIKE 'sqlite_%'", "0"},
  };
  for (const SqlCase& c : cases) EXPECT_EQ(db.Query(c.sql), c.expected) << c.sql;
}

// Refuses reading one column of one table while armed, so a single read of a path fails with
// SQLite's own message.
struct DeniedRead {
  const char* table;
  const char* column;
};

int DenyRead(void* arg, int action, const char* table, const char* column, const char*,
             const char*) {
  const auto* deny = (const DeniedRead*)arg;
  if (action != SQLITE_READ || !table || !column) return SQLITE_OK;
  return strcmp(table, deny->table) == 0 && strcmp(column, deny->column) == 0 ? SQLITE_DENY
                                                                              : SQLITE_OK;
}

// The reads that load an index report their failure with the table's name: the look-up of
// the older centroids table name when a connection opens the table, and the probe of the
// chunks' lists when the centroids are loaded.
TEST(Jix0Ivf, FailedIndexLoadReadsNameTheTable) {
  const std::string path = ::testing::TempDir() + "jix_ivf_load_" + std::to_string(getpid());
  unlink(path.c_str());
  {
    TestDb db(path.c_str());
    db.Exec(kTable);
    db.Exec(InsertClusters("t", 1, 40));
    db.Exec(kBuild);
  }
  {
    TestDb db(path.c_str());
    DeniedRead deny{"sqlite_master", "name"};
    sqlite3_set_authorizer(db.db(), DenyRead, &deny);
    EXPECT_EQ(db.Query("SELECT count(*) FROM t"),
              "Could not look up the centroids table of t: access to sqlite_master.name is "
              "prohibited");
    sqlite3_set_authorizer(db.db(), nullptr, nullptr);
    EXPECT_EQ(db.Query("SELECT count(*) FROM t"), "40");
    DeniedRead lists{"t_chunks", "list"};
    sqlite3_set_authorizer(db.db(), DenyRead, &lists);
    EXPECT_EQ(db.Query("SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 1"),
              "Internal sqlite-jix error: could not read the lists of t: access to "
              "t_chunks.list is prohibited");
  }
  unlink(path.c_str());
}

// A chunk whose list is a number between lists (damage) is searched on every query, as a
// chunk of no list is, rather than never.
TEST(Jix0Ivf, ChunkWithAStrayListIsAlwaysSearched) {
  TestDb db;
  db.Exec(kTable);
  db.Exec(InsertClusters("t", 1, 40));
  db.Exec(kBuild);
  // The nearest list holds cluster 0's ten rows, in a full chunk and one of two rows.
  const char* knn = "SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 3";
  const std::string answer = db.Query(knn);
  db.Exec(
      "UPDATE t_chunks SET list = list + 0.5 WHERE chunk_id = (SELECT chunk_id FROM"
      " t_rowids WHERE rowid = 4)");
  // The index is read again when its build changes, as after another connection's build.
  db.Exec("UPDATE t_info SET value = value + 1 WHERE key = 'IVF_BUILD'");
  EXPECT_EQ(db.Query(knn), answer);
}

}  // namespace

namespace {

// rows rows of 3 dimensions spread over a box without clusters, the same on every call.
std::string InsertSpread(int rows) {
  return "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
         std::to_string(rows) +
         ") INSERT INTO t(rowid, v) SELECT i, json_array((i * 37 % 101) / 10.0 + 0.5, "
         "(i * 53 % 97) / 10.0 + 0.5, (i * 71 % 89) / 10.0 + 0.5) FROM n";
}

}  // namespace

// Builds of many lists train in two levels: they keep the asked number of lists, give the
// same centroids every time, and still put every row in its nearest centroid's list, the
// lowest one on ties, as an insert would.
TEST(Jix0Ivf, ManyListsBuildDeterministicallyAndPlaceRowsExactly) {
  for (const char* metric : {"l2", "cosine"}) {
    TestDb db;
    db.Exec(std::string("CREATE VIRTUAL TABLE t USING jix0(v float[3] distance_metric=") + metric +
            " index=ivf lists=120, chunk_size=8)");
    db.Exec(InsertSpread(3000));
    db.Exec(kBuild);
    EXPECT_EQ(db.Query("SELECT count(*) FROM t_ivfcentroids"), "120") << metric;
    const std::string misplaced =
        std::string(
            "WITH d AS (SELECT t.rowid AS id, c.list AS list, row_number() OVER (PARTITION BY "
            "t.rowid ORDER BY jix_distance_") +
        metric +
        "(t.v, c.centroid), c.list) AS rank FROM t, t_ivfcentroids c) SELECT count(*) FROM d "
        "JOIN t_rowids r ON r.rowid = d.id JOIN t_chunks ch ON ch.chunk_id = r.chunk_id WHERE "
        "d.rank = 1 AND ch.list <> d.list";
    EXPECT_EQ(db.Query(misplaced), "0") << metric;
    const std::string centroids = db.DumpTables("t_ivfcentroids");
    db.Exec(kBuild);
    EXPECT_EQ(db.DumpTables("t_ivfcentroids"), centroids) << metric;
    EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "") << metric;
  }
}

// An indexed table declared without chunk_size sizes its chunks by the bytes of its vectors,
// and keeps that size; a table created before (no recorded size) keeps 64-row chunks.
TEST(Jix0Ivf, DefaultChunksAreSizedInBytes) {
  const std::string path = ::testing::TempDir() + "jix_ivf_chunks_" + std::to_string(getpid());
  unlink(path.c_str());
  {
    TestDb db(path.c_str());
    const SqlCase cases[] = {
        {"CREATE VIRTUAL TABLE t USING jix0(v float[128] index=ivf)", ""},
        {"CREATE VIRTUAL TABLE wide USING jix0(v float[2000] index=ivf)", ""},
        {"CREATE VIRTUAL TABLE narrow USING jix0(v float[4] index=ivf)", ""},
        {"CREATE VIRTUAL TABLE declared USING jix0(v float[128] index=ivf, chunk_size=16)", ""},
        {"CREATE VIRTUAL TABLE older USING jix0(v float[128] index=ivf)", ""},
        {"SELECT 't', value FROM t_info WHERE key = 'IVF_CHUNK_SIZE' UNION ALL "
         "SELECT 'wide', value FROM wide_info WHERE key = 'IVF_CHUNK_SIZE' UNION ALL "
         "SELECT 'narrow', value FROM narrow_info WHERE key = 'IVF_CHUNK_SIZE' UNION ALL "
         "SELECT 'declared', value FROM declared_info WHERE key = 'IVF_CHUNK_SIZE'",
         "t|128\nwide|64\nnarrow|256"},
        // As a file of an earlier version has it.
        {"DELETE FROM older_info WHERE key = 'IVF_CHUNK_SIZE'", ""},
    };
    for (const SqlCase& c : cases) EXPECT_EQ(db.Query(c.sql), c.expected) << c.sql;
  }
  {
    TestDb db(path.c_str());
    for (const char* table : {"t", "wide", "narrow", "declared", "older"}) {
      const std::string dims = strcmp(table, "wide") == 0     ? "2000"
                               : strcmp(table, "narrow") == 0 ? "4"
                                                              : "128";
      db.Exec(std::string("INSERT INTO ") + table + "(rowid, v) SELECT 1, jix_f32(zeroblob(4 * " +
              dims + "))");
    }
    EXPECT_EQ(db.Query("SELECT (SELECT size FROM t_chunks), (SELECT size FROM wide_chunks), "
                       "(SELECT size FROM narrow_chunks), (SELECT size FROM declared_chunks), "
                       "(SELECT size FROM older_chunks)"),
              "128|64|256|16|64");
    db.Exec("UPDATE t_info SET value = 12 WHERE key = 'IVF_CHUNK_SIZE'");
  }
  {
    TestDb db(path.c_str());
    EXPECT_EQ(db.Query("SELECT count(*) FROM t"),
              "Internal sqlite-jix error: the chunk size of t in t_info is not a chunk_size from "
              "8 to 4096 in steps of 8");
    EXPECT_EQ(db.Query("SELECT count(*) FROM older"), "1");
  }
  unlink(path.c_str());
}
