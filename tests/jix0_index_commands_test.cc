// 'build-index' on tables declared without an index, its options, and 'drop-index': the index
// is turned on, tuned and dropped from SQL, and every connection sees the same table.
#include <unistd.h>

#include <gtest/gtest.h>
#include <string>

#include "support/invariants.h"
#include "support/test_db.h"

namespace {

// Rows first..last in four clusters around (0,0), (100,0), (0,100) and (100,100), cluster =
// rowid % 4; small offsets keep distances distinct.
std::string InsertClusters(const std::string& table, int first, int last) {
  std::string sql;
  for (int r = first; r <= last; r++) {
    int c = r % 4;
    double x = (c % 2) * 100 + (r * 7 % 23) / 10.0, y = (c / 2) * 100 + (r * 3 % 19) / 10.0;
    sql += "INSERT INTO " + table + "(rowid, v) VALUES (" + std::to_string(r) + ", '[" +
           std::to_string(x) + "," + std::to_string(y) + "]');";
  }
  return sql;
}

constexpr const char* kPlain = "CREATE VIRTUAL TABLE t USING jix0(v float[2], chunk_size=8)";
constexpr const char* kKnn =
    "SELECT rowid, distance FROM (SELECT rowid, distance FROM t WHERE v MATCH '[60, 40]' AND k = "
    "30) ORDER BY distance, rowid";
constexpr const char* kListSizes = "SELECT list, count(*) FROM t_chunks GROUP BY list";

// A temporary database file, removed at the end of the test.
struct TempPath {
  char path[32] = "/tmp/jix0_index_XXXXXX";
  TempPath() {
    int fd = mkstemp(path);
    if (fd >= 0) close(fd);
  }
  ~TempPath() { unlink(path); }
};

TEST(Jix0IndexCommands, BuildIndexTurnsTheIndexOnWithoutRewritingTheDeclaration) {
  TestDb db;
  db.Exec(kPlain);
  db.Exec(InsertClusters("t", 1, 200));
  const std::string exact = db.Query(kKnn);
  const std::string declaration = db.Query("SELECT sql FROM sqlite_master WHERE name = 't'");
  // probes = lists: the search reads every list and is the exact one.
  db.Exec("INSERT INTO t(t) VALUES ('build-index lists=4 probes=4')");
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
  const SqlCase cases[] = {
      {"SELECT sql FROM sqlite_master WHERE name = 't'", declaration.c_str()},
      // The codes map: a scale and an offset per dimension, 4 bytes each.
      {"SELECT key, iif(key = 'IVF_CODES', length(value), value) FROM t_info WHERE key LIKE "
       "'IVF%' AND key NOT IN ('IVF_BUILD', 'IVF_BUILT_AT') ORDER BY key",
       "IVF_BUILD_ROWS|200\nIVF_CODES|12\nIVF_COLUMN|0\nIVF_LISTS|4\nIVF_PROBES|4"},
      {"SELECT count(*) FROM t_info WHERE key = 'IVF_BUILT_AT' AND value LIKE '____-__-__ "
       "__:__:__'",
       "1"},
      {"SELECT count(*) FROM t_ivfcentroids", "4"},
      // 50 rows per list in chunks of 8: six full chunks and one of two rows.
      {kListSizes, "0|7\n1|7\n2|7\n3|7"},
      {"SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 't_chunks'",
       "t_chunks_list"},
      // The declaration has no probes column, so a query cannot name one.
      {"SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 1 AND probes = 2",
       "no such column: probes"},
      {"SELECT name FROM pragma_table_xinfo('t') WHERE hidden", "distance\nk\nt"},
      {kKnn, exact.c_str()},
      // A build keeps the lists given before and takes the new probes.
      {"INSERT INTO t(t) VALUES ('build-index probes=1')", ""},
      {"SELECT count(*) FROM t_ivfcentroids", "4"},
      {"SELECT value FROM t_info WHERE key = 'IVF_PROBES'", "1"},
      {"SELECT count(*) FROM (SELECT rowid FROM t WHERE v MATCH '[60, 40]' AND k = 80)", "80"},
      // An insert after the build goes to its list, not to the newest chunk.
      {"INSERT INTO t(rowid, v) VALUES (1000, '[1, 1]')", ""},
      {"SELECT ch.list = (SELECT list FROM t_chunks JOIN t_rowids r USING (chunk_id) WHERE "
       "r.rowid = 4) FROM t_rowids r JOIN t_chunks ch USING (chunk_id) WHERE r.rowid = 1000",
       "1"},
  };
  for (const SqlCase& c : cases) EXPECT_EQ(db.Query(c.sql), c.expected) << c.sql;
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
}

TEST(Jix0IndexCommands, OptionsAndColumnsAreCheckedExactly) {
  TestDb db;
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0(a float[2], b int8[2], c float[2], chunk_size=8); "
      "INSERT INTO t(rowid, a, b, c) VALUES (1, '[1, 2]', jix_int8('[1, 2]'), '[3, 4]'); "
      "CREATE VIRTUAL TABLE bits USING jix0(v bit[8]); "
      "CREATE VIRTUAL TABLE one USING jix0(v float[2] index=ivf lists=2, w float[2])");
  const SqlCase cases[] = {
      {"INSERT INTO t(t) VALUES ('build-index')",
       "jix0: t has several float32 vector columns: name one, as in 'build-index column=a'"},
      {"INSERT INTO t(t) VALUES ('build-index lists')",
       "jix0: build-index option 'lists' is not of the form key=value"},
      {"INSERT INTO t(t) VALUES ('build-index =4')",
       "jix0: build-index option '=4' is not of the form key=value"},
      {"INSERT INTO t(t) VALUES ('build-index lists=')",
       "jix0: build-index option 'lists=' is not of the form key=value"},
      {"INSERT INTO t(t) VALUES ('build-index nlist=4')",
       "jix0: unknown build-index option 'nlist=4' (known options: column, lists, probes)"},
      {"INSERT INTO t(t) VALUES ('build-index column=a lists=2 lists=3')",
       "jix0: build-index option 'lists=3' is given twice"},
      {"INSERT INTO t(t) VALUES ('build-index column=a column=c')",
       "jix0: build-index option 'column=c' is given twice"},
      {"INSERT INTO t(t) VALUES ('build-index column=a lists=0')",
       "jix0: build-index option lists must be an integer between 1 and 65536"},
      {"INSERT INTO t(t) VALUES ('build-index column=a probes=65537')",
       "jix0: build-index option probes must be an integer between 1 and 65536"},
      {"INSERT INTO t(t) VALUES ('build-index column=a lists=4x')",
       "jix0: build-index option lists must be an integer between 1 and 65536"},
      {"INSERT INTO t(t) VALUES ('build-index column=a lists=-4')",
       "jix0: build-index option lists must be an integer between 1 and 65536"},
      {"INSERT INTO t(t) VALUES ('build-index column=a lists=99999999999')",
       "jix0: build-index option lists must be an integer between 1 and 65536"},
      {"INSERT INTO t(t) VALUES ('build-index column=d')",
       "jix0: build-index option column=d names no vector column of t"},
      {"INSERT INTO t(t) VALUES ('build-index column=b')",
       "jix0: build-index needs a float32 vector column, not the int8 column \"b\""},
      {"INSERT INTO t(t) VALUES ('drop-index')",
       "jix0: unknown command 'drop-index' (known commands: 'optimize', 'build-index')"},
      {"INSERT INTO bits(bits) VALUES ('build-index')",
       "jix0: unknown command 'build-index' (known commands: 'optimize')"},
      // Nothing was turned on by the refused commands.
      {"SELECT count(*) FROM t_info WHERE key LIKE 'IVF%'", "0"},
      // Keys match ignoring case; spaces may repeat.
      {"INSERT INTO t(t) VALUES ('BUILD-INDEX  COLUMN=C   Lists=1 ')", ""},
      {"SELECT value FROM t_info WHERE key = 'IVF_COLUMN'", "2"},
      {"SELECT rowid, distance FROM t WHERE c MATCH '[3, 4]' AND k = 1", "1|0.0"},
      {"INSERT INTO t(t) VALUES ('build-index column=a')",
       "jix0: the index of t is on column \"c\"; it cannot move to \"a\""},
      {"INSERT INTO t(t) VALUES ('drop-index now')",
       "jix0: the command 'drop-index' takes no options"},
      {"INSERT INTO one(one) VALUES ('build-index column=w')",
       "jix0: the index of one is on column \"v\"; it cannot move to \"w\""},
      {"INSERT INTO one(one) VALUES ('build-index column=v')", ""},
  };
  for (const SqlCase& c : cases) EXPECT_EQ(db.Query(c.sql), c.expected) << c.sql;
}

// Given options override the declared ones for this build and the next; drop-index forgets
// them, so the next build follows the declaration again.
TEST(Jix0IndexCommands, OptionsAreKeptUntilDropIndex) {
  TestDb db;
  db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[2] index=ivf lists=4, chunk_size=8)");
  db.Exec(InsertClusters("t", 1, 100));
  const SqlCase cases[] = {
      {"INSERT INTO t(t) VALUES ('build-index lists=2')", ""},
      {"SELECT count(*) FROM t_ivfcentroids", "2"},
      {"INSERT INTO t(t) VALUES ('build-index')", ""},
      {"SELECT count(*) FROM t_ivfcentroids", "2"},
      {"INSERT INTO t(t) VALUES ('drop-index')", ""},
      {"SELECT count(*) FROM t_info WHERE key LIKE 'IVF%'", "0"},
      {"INSERT INTO t(t) VALUES ('build-index')", ""},
      {"SELECT count(*) FROM t_ivfcentroids", "4"},
  };
  for (const SqlCase& c : cases) EXPECT_EQ(db.Query(c.sql), c.expected) << c.sql;
}

// drop-index: every row stays, in dense chunks of no list, the search is exact, and the file
// shrinks after VACUUM. A build after it gives what a build of a fresh table gives.
TEST(Jix0IndexCommands, DropIndexReturnsToPlainChunks) {
  TempPath file;
  TestDb db(file.path);
  db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[64], p integer partition key)");
  db.Exec("CREATE VIRTUAL TABLE fresh USING jix0(v float[64], p integer partition key)");
  const std::string load =
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 600) "
      "INSERT INTO %s(rowid, p, v) SELECT i, i % 2, (SELECT json_group_array((i * 31 + j * "
      "i % 97) % 101 / 10.0) FROM (WITH RECURSIVE m(j) AS (SELECT 0 UNION ALL SELECT j + 1 "
      "FROM m WHERE j < 63) SELECT j FROM m)) FROM n";
  for (const char* table : {"t", "fresh"}) {
    std::string sql = load;
    sql.replace(sql.find("%s"), 2, table);
    db.Exec(sql);
  }
  const std::string query =
      "SELECT rowid, distance FROM %s WHERE v MATCH (SELECT v FROM t WHERE rowid = 77) AND k = "
      "10";
  auto on = [&](const char* table) {
    std::string sql = query;
    sql.replace(sql.find("%s"), 2, table);
    return db.Query(sql);
  };
  const std::string exact = on("t");
  db.Exec("VACUUM");
  const std::string before = db.Query("PRAGMA page_count");
  // 40 lists of 1024-row chunks in two partitions: many partly filled chunks.
  db.Exec("INSERT INTO t(t) VALUES ('build-index lists=40 probes=2')");
  db.Exec("VACUUM");
  const std::string built = db.Query("PRAGMA page_count");
  EXPECT_GT(std::stoi(built), std::stoi(before));
  db.Exec("INSERT INTO t(t) VALUES ('drop-index')");
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
  const SqlCase cases[] = {
      {"SELECT count(*) FROM t", "600"},
      {"SELECT list, count(*) FROM t_chunks GROUP BY list", "NULL|2"},
      {"SELECT count(*) FROM t_ivfcentroids", "0"},
      {"SELECT key FROM t_info WHERE key LIKE 'IVF%'", "IVF_COLUMN"},
      {"INSERT INTO t(t) VALUES ('vacuum')",
       "jix0: unknown command 'vacuum' (known commands: 'optimize', 'build-index', "
       "'drop-index')"},
  };
  for (const SqlCase& c : cases) EXPECT_EQ(db.Query(c.sql), c.expected) << c.sql;
  EXPECT_EQ(on("t"), exact);
  db.Exec("VACUUM");
  // Left behind: the list index and the emptied centroids and codes tables, a page each.
  EXPECT_LE(std::stoi(db.Query("PRAGMA page_count")), std::stoi(before) + 3);

  db.Exec("INSERT INTO t(t) VALUES ('build-index lists=40 probes=2')");
  db.Exec("INSERT INTO fresh(fresh) VALUES ('build-index lists=40 probes=2')");
  EXPECT_EQ(db.Query("SELECT list, hex(centroid) FROM t_ivfcentroids"),
            db.Query("SELECT list, hex(centroid) FROM fresh_ivfcentroids"));
  EXPECT_EQ(on("t"), on("fresh"));
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
}

// A later connection reads the index from T_info; a connection open before the first build
// reconnects, as the build changed the schema, and writes into the lists too.
TEST(Jix0IndexCommands, EveryConnectionSeesTheIndex) {
  TempPath file;
  {
    TestDb a(file.path), stale(file.path);
    a.Exec(kPlain);
    a.Exec(InsertClusters("t", 1, 100));
    EXPECT_EQ(stale.Query("SELECT count(*) FROM t"), "100");
    a.Exec("INSERT INTO t(t) VALUES ('build-index lists=4 probes=1')");
    stale.Exec("INSERT INTO t(rowid, v) VALUES (1000, '[100, 100]')");
    TestDb later(file.path);
    later.Exec("INSERT INTO t(rowid, v) VALUES (1001, '[0, 0]')");
    // Each row is in the list of its cluster: 1000 with row 3, 1001 with row 4.
    const std::string lists =
        "SELECT r.rowid, ch.list = (SELECT list FROM t_chunks JOIN t_rowids r2 USING (chunk_id) "
        "WHERE r2.rowid = r.rowid - 997) FROM t_rowids r JOIN t_chunks ch USING (chunk_id) "
        "WHERE r.rowid >= 1000";
    EXPECT_EQ(a.Query(lists), "1000|1\n1001|1");
    EXPECT_EQ(stale.Query("SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 1"), "1001");
    EXPECT_EQ(later.Query("SELECT rowid FROM t WHERE v MATCH '[100, 100]' AND k = 1"), "1000");
    a.Exec("INSERT INTO t(t) VALUES ('drop-index')");
    EXPECT_EQ(later.Query("SELECT count(*) FROM t_chunks WHERE list IS NULL"),
              later.Query("SELECT count(*) FROM t_chunks"));
    later.Exec("INSERT INTO t(rowid, v) VALUES (1002, '[0, 1]')");
    EXPECT_EQ(CheckJix0Invariants(a.db(), "t"), "");
  }
}

// A build that fails leaves no trace: the table is plain again, in storage and in the
// connection that ran it.
TEST(Jix0IndexCommands, FailedFirstBuildLeavesThePlainTable) {
  TestDb db;
  db.Exec(kPlain);
  db.Exec(InsertClusters("t", 1, 20));
  db.Exec("UPDATE t_vector_chunks00 SET vectors = zeroblob(3) WHERE rowid = 1");
  EXPECT_EQ(db.Query("INSERT INTO t(t) VALUES ('build-index')"),
            std::string("Internal sqlite-jix error: BLOB of 3 bytes in main.t_vector_chunks00.1, "
                        "expected 64") +
                kRolledBackNote);
  const SqlCase cases[] = {
      {"SELECT count(*) FROM t_info WHERE key LIKE 'IVF%'", "0"},
      {"SELECT count(*) FROM sqlite_master WHERE name IN ('t_ivfcentroids', 't_chunks_list')", "0"},
      {"SELECT count(*) FROM pragma_table_info('t_chunks') WHERE name = 'list'", "0"},
      {"INSERT INTO t(t) VALUES ('drop-index')",
       "jix0: unknown command 'drop-index' (known commands: 'optimize', 'build-index')"},
      {"DELETE FROM t WHERE rowid > 8", ""},
  };
  for (const SqlCase& c : cases) EXPECT_EQ(db.Query(c.sql), c.expected) << c.sql;
}

constexpr const char* kInfo =
    "SELECT vector_column, metric, lists, probes, rows_in_lists, rows_in_no_list, rows_at_build, "
    "largest_list, smallest_list, built_at IS NOT NULL FROM jix_index_info('t')";

// jix_index_info follows the index through its life: off, declared but unbuilt, built, grown,
// dropped; in another connection too.
TEST(Jix0IndexCommands, IndexInfoReportsTheState) {
  TempPath file;
  TestDb db(file.path);
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0(w int8[2], v float[2] distance_metric=l1, "
      "chunk_size=8)");
  db.Exec("CREATE VIRTUAL TABLE src USING jix0(v float[2])");
  db.Exec(InsertClusters("src", 1, 100));
  db.Exec("INSERT INTO t(rowid, w, v) SELECT rowid, jix_int8('[1, 1]'), v FROM src");
  const SqlCase cases[] = {
      {kInfo, ""},
      {"INSERT INTO t(t) VALUES ('build-index lists=4 probes=2')", ""},
      // 25 rows per cluster, one list each.
      {kInfo, "v|l1|4|2|100|0|100|25|25|1"},
      {"INSERT INTO t(rowid, w, v) VALUES (1000, jix_int8('[1, 1]'), '[1, 1]'), (1001, "
       "jix_int8('[1, 1]'), '[1, 2]')",
       ""},
      {"DELETE FROM t WHERE rowid IN (1, 5, 9)", ""},
      {kInfo, "v|l1|4|2|99|0|100|27|22|1"},
      {"SELECT rowid FROM jix_index_info('t')", "1"},
      {"INSERT INTO t(t) VALUES ('drop-index')", ""},
      {kInfo, "v|l1|0|8|0|99|NULL|0|0|0"},
      {"SELECT * FROM jix_index_info('nothing')", "jix_index_info: no jix0 table named 'nothing'"},
      {"CREATE TABLE plain(x)", ""},
      {"SELECT * FROM jix_index_info('plain')", "jix_index_info: no jix0 table named 'plain'"},
      {"SELECT * FROM jix_index_info(NULL)", "jix_index_info: no jix0 table named ''"},
      {"SELECT * FROM jix_index_info", "no query solution"},
  };
  for (const SqlCase& c : cases) EXPECT_EQ(db.Query(c.sql), c.expected) << c.sql;

  db.Exec("INSERT INTO t(t) VALUES ('build-index')");
  // A declared index before its first build; a connection that has not opened t yet.
  db.Exec("CREATE VIRTUAL TABLE d USING jix0(v float[2] index=ivf lists=3 probes=2)");
  db.Exec("INSERT INTO d(rowid, v) VALUES (1, '[1, 1]')");
  TestDb other(file.path);
  EXPECT_EQ(other.Query(kInfo), "v|l1|3|8|99|0|99|47|25|1");
  EXPECT_EQ(other.Query("SELECT lists, probes, rows_in_no_list FROM jix_index_info('D')"), "0|2|1");
  EXPECT_EQ(other.Query("SELECT t.rowid, i.lists FROM t, jix_index_info('t') AS i WHERE t.rowid < "
                        "4"),
            "2|3\n3|3");
}

// A table given its index by build-index renames and drops with every shadow object.
TEST(Jix0IndexCommands, RenameAndDropCoverTheAddedIndex) {
  TestDb db;
  db.Exec(kPlain);
  db.Exec(InsertClusters("t", 1, 40));
  db.Exec("INSERT INTO t(t) VALUES ('build-index lists=4 probes=1')");
  const std::string answer = db.Query("SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 3");
  const SqlCase cases[] = {
      {"ALTER TABLE t RENAME TO u", ""},
      {"SELECT name FROM sqlite_master WHERE name LIKE 't%' ORDER BY name", "t_chunks_list"},
      {"SELECT rowid FROM u WHERE v MATCH '[0, 0]' AND k = 3", answer.c_str()},
      {"SELECT lists, probes, rows_in_lists FROM jix_index_info('u')", "4|1|40"},
      {"INSERT INTO u(rowid, v) VALUES (100, '[1, 1]')", ""},
      {"INSERT INTO u(u) VALUES ('build-index')", ""},
      {"INSERT INTO u(u) VALUES ('drop-index')", ""},
      {"DROP TABLE u", ""},
      {"SELECT count(*) FROM sqlite_master WHERE name NOT LIKE 'sqlite_%'", "0"},
  };
  for (const SqlCase& c : cases) EXPECT_EQ(db.Query(c.sql), c.expected) << c.sql;
}

// Shadow tables the commands and jix_index_info need, lost by hand or by damage: each says
// which table it could not use.
TEST(Jix0IndexCommands, MissingShadowTablesAreReported) {
  TestDb db;
  db.Exec(
      "CREATE VIRTUAL TABLE a USING jix0(v float[2]); INSERT INTO a(rowid, v) VALUES (1, '[0, "
      "0]'); DROP TABLE a_info; "
      "CREATE VIRTUAL TABLE b USING jix0(v float[2] index=ivf); INSERT INTO b(rowid, v) VALUES "
      "(1, '[0, 0]'); DROP TABLE b_info; "
      "CREATE VIRTUAL TABLE c USING jix0(v float[2] index=ivf); INSERT INTO c(rowid, v) VALUES "
      "(1, '[0, 0]'); INSERT INTO c(c) VALUES ('build-index'); DROP TABLE c_ivfcentroids; "
      "CREATE VIRTUAL TABLE d USING jix0(v float[2] index=ivf); DROP TABLE d_chunks");
  const SqlCase cases[] = {
      {"INSERT INTO a(a) VALUES ('build-index')",
       "Internal sqlite-jix error: build-index cannot add an index to a: no such table: "
       "main.a_info (the write to a failed part-way, so the transaction was rolled back)"},
      {"INSERT INTO b(b) VALUES ('build-index lists=1')",
       "Internal sqlite-jix error: build-index cannot record its options in b: no such table: "
       "main.b_info"},
      {"INSERT INTO c(c) VALUES ('drop-index')",
       "Internal sqlite-jix error: drop-index cannot clear the index of c: no such table: "
       "main.c_ivfcentroids (the write to c failed part-way, so the transaction was rolled "
       "back)"},
      {"SELECT * FROM jix_index_info('d')",
       "Internal sqlite-jix error: could not read the index state of d: no such table: "
       "main.d_chunks"},
  };
  for (const SqlCase& c : cases) EXPECT_EQ(db.Query(c.sql), c.expected) << c.sql;
}

}  // namespace
