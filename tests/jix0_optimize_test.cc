// The command column and 'optimize': commands run through INSERT INTO t(t), are refused with
// other values or in an UPDATE, and never show as data; optimize moves rows from the newest
// chunks into the lowest free slots of older ones, deletes the chunks it empties, keeps every
// storage invariant and answer, and leaves the table untouched when it fails or is interrupted.
#include <unistd.h>

#include <gtest/gtest.h>
#include <string>

#include "support/invariants.h"
#include "support/test_db.h"

namespace {

constexpr const char* kOptimize = "INSERT INTO t(t) VALUES ('optimize')";

// Rows 1..n into t (one float[2] column, an INTEGER and a TEXT metadata column, an
// auxiliary column); texts of even rows are long enough for the long-text table.
std::string InsertRows(int first, int last, const char* partition = nullptr) {
  std::string sql;
  for (int r = first; r <= last; r++) {
    sql += "INSERT INTO t(rowid, v, n, s, b, a" + std::string(partition ? ", p" : "") +
           ") VALUES (" + std::to_string(r) + ", '[" + std::to_string(r) + ", " +
           std::to_string(r % 5) + "]', " + std::to_string(r * 10) + ", '" +
           (r % 2 ? "s" + std::to_string(r) : "a long text for row " + std::to_string(r)) + "', " +
           std::to_string(r % 3 == 0) + ", 'aux" + std::to_string(r) + "'" +
           (partition ? std::string(", ") + partition : "") + ");";
  }
  return sql;
}

constexpr const char* kTable =
    "CREATE VIRTUAL TABLE t USING jix0(v float[2], n integer, s text, b boolean, +a text, "
    "chunk_size=8)";
constexpr const char* kContent = "SELECT rowid, v, n, s, b, a FROM t ORDER BY rowid";
constexpr const char* kPositions = "SELECT rowid, chunk_id, chunk_offset FROM t_rowids ORDER BY 1";

TEST(Jix0Command, ColumnTakesCommandsOnly) {
  TestDb db;
  db.Exec(kTable);
  db.Exec(InsertRows(1, 3));
  const SqlCase cases[] = {
      {"SELECT * FROM t WHERE rowid = 1", "1|X'0000803F0000803F'|10|s1|0|aux1"},
      {"SELECT t, typeof(t) FROM t WHERE rowid = 2", "NULL|null"},
      {"SELECT count(*) FROM t WHERE t IS NULL", "3"},
      // A full scan and a KNN search both leave the comparison to SQLite: no row matches.
      {"SELECT rowid FROM t WHERE t = 'optimize'", ""},
      {"SELECT rowid FROM t WHERE v MATCH '[1, 1]' AND k = 2 AND t = 'x'", ""},
      {"SELECT rowid FROM t WHERE t MATCH 'x'",
       "unable to use function MATCH in the requested context"},
      {kOptimize, ""},
      {"INSERT INTO t(t) VALUES ('OPTIMIZE')", ""},
      {"INSERT INTO t(t) VALUES ('vacuum')",
       "jix0: unknown command 'vacuum' (known commands: 'optimize', 'build-index')"},
      {"INSERT INTO t(t) VALUES (42)",
       "jix0: unknown command '42' (known commands: 'optimize', 'build-index')"},
      {"INSERT INTO t(t) VALUES ('optimize now')", "jix0: the command 'optimize' takes no options"},
      {"INSERT INTO t(t) VALUES ('optimize ')", "jix0: the command 'optimize' takes no options"},
      {"INSERT INTO t(t) VALUES (CAST(X'6F7074696D697A650078' AS TEXT))",
       "jix0: the command in the \"t\" column contains a NUL byte"},
      {"INSERT INTO t(t, v) VALUES ('optimize', '[1, 2]')",
       "jix0: a command in the \"t\" column cannot be combined with values for other columns"},
      {"INSERT INTO t(t, rowid) VALUES ('optimize', 9)",
       "jix0: a command in the \"t\" column cannot be combined with values for other columns"},
      {"UPDATE t SET t = 'optimize' WHERE rowid = 1",
       "jix0: UPDATE cannot set the command column \"t\"; run a command with INSERT INTO "
       "\"t\"(\"t\") VALUES ('optimize')"},
      {"UPDATE t SET n = 5, t = 'x'",
       "jix0: UPDATE cannot set the command column \"t\"; run a command with INSERT INTO "
       "\"t\"(\"t\") VALUES ('optimize')"},
      {"UPDATE t SET t = NULL, n = 7 WHERE rowid = 3", ""},
      {"SELECT rowid, n FROM t ORDER BY rowid", "1|10\n2|20\n3|7"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
  // A command stores nothing: last_insert_rowid() keeps the last row's.
  EXPECT_EQ(sqlite3_last_insert_rowid(db.db()), 3);
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
}

// A table named like one of its columns has no command column and works as it always did.
TEST(Jix0Command, TableNamedLikeAColumnHasNoCommandColumn) {
  TestDb db;
  const SqlCase cases[] = {
      {"CREATE VIRTUAL TABLE v USING jix0(v float[2])", ""},
      {"INSERT INTO v(v) VALUES ('[1, 2]')", ""},
      {"INSERT INTO v(v) VALUES ('optimize')",
       "Inserted vector for the \"v\" column is invalid: JSON array parsing error: Input does not "
       "start with '['"},
      {"SELECT rowid, v FROM v", "1|X'0000803F00000040'"},
      {"CREATE VIRTUAL TABLE Distance USING jix0(e float[1])", ""},
      {"INSERT INTO Distance(e, Distance) VALUES ('[1]', 'optimize')",
       "A value was provided for the hidden \"distance\" column."},
      {"CREATE VIRTUAL TABLE k USING jix0(e float[1])", ""},
      {"CREATE VIRTUAL TABLE rowid USING jix0(e float[1])", ""},
      {"CREATE VIRTUAL TABLE id USING jix0(id text primary key, e float[1])", ""},
      {"INSERT INTO id(id, e) VALUES ('optimize', '[1]')", ""},
      {"SELECT id FROM id", "optimize"},
      {"CREATE VIRTUAL TABLE \"we\"\"ird\" USING jix0(e float[1])", ""},
      {"INSERT INTO \"we\"\"ird\"(\"we\"\"ird\") VALUES ('optimize')", ""},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

// The declaration changes at connect time only: a file written before has the column too.
TEST(Jix0Command, ReopenedFileHasTheCommandColumn) {
  std::string path = ::testing::TempDir() + "jix_command_" + std::to_string(getpid()) + ".db";
  unlink(path.c_str());
  {
    TestDb db(path.c_str());
    db.Exec(kTable);
    db.Exec(InsertRows(1, 20) + "DELETE FROM t WHERE rowid <= 8");
  }
  {
    TestDb db(path.c_str());
    EXPECT_EQ(db.Query("SELECT count(*) FROM t_chunks"), "2");
    EXPECT_EQ(db.Query(kOptimize), "");
    EXPECT_EQ(db.Query("SELECT count(*) FROM t_chunks"), "2");
    EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
  }
  unlink(path.c_str());
}

class Jix0Optimize : public ::testing::Test {
 protected:
  void ExpectIntact() { EXPECT_EQ(CheckJix0Invariants(db_.db(), "t"), ""); }
  TestDb db_;
};

// Rows leave the newest chunk for the lowest free slots of older ones, oldest first; the
// emptied chunk goes from every chunk table.
TEST_F(Jix0Optimize, FillsLowestFreeSlotsFromNewestChunk) {
  db_.Exec(kTable);
  db_.Exec(InsertRows(1, 20) + "DELETE FROM t WHERE rowid IN (2, 3, 10, 11, 12)");
  const std::string content = db_.Query(kContent);
  EXPECT_EQ(db_.Query("SELECT chunk_id FROM t_chunks"), "1\n2\n3");
  EXPECT_EQ(db_.Query(kOptimize), "");
  ExpectIntact();
  EXPECT_EQ(db_.Query(kContent), content);
  EXPECT_EQ(db_.Query("SELECT chunk_id FROM t_chunks"), "1\n2");
  EXPECT_EQ(db_.Query("SELECT count(*) FROM t_vector_chunks00 WHERE rowid = 3"), "0");
  EXPECT_EQ(db_.Query("SELECT count(*) FROM t_metadatachunks02 WHERE rowid = 3"), "0");
  EXPECT_EQ(db_.Query(kPositions + std::string(" LIMIT -1 OFFSET 11")),
            "17|1|1\n18|1|2\n19|2|1\n20|2|2");
  // The newest chunk keeps the free slot, which the next insert takes.
  db_.Exec(InsertRows(21, 21));
  EXPECT_EQ(db_.Query("SELECT chunk_id, chunk_offset FROM t_rowids WHERE rowid = 21"), "2|3");
  // Nothing left to move: a second run changes nothing.
  const std::string before = db_.DumpTables("t_");
  EXPECT_EQ(db_.Query(kOptimize), "");
  EXPECT_EQ(db_.DumpTables("t_"), before);
}

// When the walk ends inside the newest chunk, the slots it gave up are zeroed and reused.
TEST_F(Jix0Optimize, PartlyEmptiedNewestChunkStays) {
  db_.Exec(kTable);
  db_.Exec(InsertRows(1, 16) + "DELETE FROM t WHERE rowid IN (2, 4, 9, 10, 11)");
  const std::string content = db_.Query(kContent);
  EXPECT_EQ(db_.Query(kOptimize), "");
  ExpectIntact();  // zero bytes in every freed slot, long texts still in place
  EXPECT_EQ(db_.Query(kContent), content);
  EXPECT_EQ(db_.Query(kPositions + std::string(" LIMIT -1 OFFSET 6")),
            "12|1|1\n13|1|3\n14|2|5\n15|2|6\n16|2|7");
  db_.Exec(InsertRows(17, 17));
  EXPECT_EQ(db_.Query("SELECT chunk_id, chunk_offset FROM t_rowids WHERE rowid = 17"), "2|0");
}

// Rows never cross partitions, NULL keys form one partition, and each partition ends with the
// fewest chunks its rows need.
TEST_F(Jix0Optimize, CompactsEachPartitionApart) {
  db_.Exec(
      "CREATE VIRTUAL TABLE t USING jix0(p text partition key, v float[2], n integer, s text, "
      "b boolean, +a text, chunk_size=8)");
  std::string sql;
  const char* partitions[] = {"'x'", "'y'", "NULL"};
  for (int r = 1; r <= 90; r++) sql += InsertRows(r, r, partitions[(r / 5) % 3]);
  db_.Exec(sql + "DELETE FROM t WHERE rowid % 3 = 0 OR rowid % 7 = 0");
  const std::string content = db_.Query("SELECT rowid, p, v, n, s, b, a FROM t ORDER BY rowid");
  EXPECT_EQ(db_.Query(kOptimize), "");
  ExpectIntact();
  EXPECT_EQ(db_.Query("SELECT rowid, p, v, n, s, b, a FROM t ORDER BY rowid"), content);
  EXPECT_EQ(db_.Query("SELECT t.p, count(*), count(DISTINCT c.chunk_id) FROM t JOIN t_rowids r "
                      "USING (rowid) JOIN t_chunks c ON c.chunk_id = r.chunk_id "
                      "GROUP BY t.p ORDER BY t.p"),
            db_.Query("SELECT p, count(*), (count(*) + 7) / 8 FROM t GROUP BY p ORDER BY p"));
  EXPECT_EQ(db_.Query("SELECT count(*) FROM t_chunks"),
            db_.Query("SELECT sum((c + 7) / 8) FROM (SELECT count(*) AS c FROM t GROUP BY p)"));
  EXPECT_EQ(db_.Query("SELECT count(*) FROM t_chunks c JOIN t_rowids r USING (chunk_id) "
                      "JOIN t USING (rowid) WHERE c.partition00 IS NOT t.p"),
            "0");
}

// KNN answers, point lookups and metadata filters give the same rows and distances after.
TEST_F(Jix0Optimize, QueriesAnswerTheSame) {
  db_.Exec(kTable);
  db_.Exec(InsertRows(1, 200) + "DELETE FROM t WHERE rowid % 2 = 0 OR rowid % 11 = 0;" +
           InsertRows(201, 260) + "DELETE FROM t WHERE rowid % 5 = 1");
  const char* queries[] = {
      "SELECT rowid, distance FROM t WHERE v MATCH '[50, 2]' AND k = 20 ORDER BY distance, rowid",
      "SELECT rowid, distance FROM t WHERE v MATCH '[1, 1]' AND k = 500 AND n > 300 AND "
      "s != 's7' ORDER BY distance, rowid",
      "SELECT rowid, v, n, s, b, a FROM t WHERE rowid = 233",
      "SELECT count(*), sum(n) FROM t WHERE b = 1",
  };
  std::string before[4];
  for (int q = 0; q < 4; q++) before[q] = db_.Query(queries[q]);
  const int chunksBefore = std::stoi(db_.Query("SELECT count(*) FROM t_chunks"));
  EXPECT_EQ(db_.Query(kOptimize), "");
  ExpectIntact();
  for (int q = 0; q < 4; q++) EXPECT_EQ(db_.Query(queries[q]), before[q]) << queries[q];
  const int rows = std::stoi(db_.Query("SELECT count(*) FROM t"));
  EXPECT_EQ(db_.Query("SELECT count(*) FROM t_chunks"), std::to_string((rows + 7) / 8));
  EXPECT_LT((rows + 7) / 8, chunksBefore);
}

// Damage is found by the reading pass, before anything is written, also inside a transaction.
TEST_F(Jix0Optimize, DamagedStorageFailsBeforeWriting) {
  struct Damage {
    const char* sql;
    const char* message;
  };
  const Damage damages[] = {
      {"UPDATE t_rowids SET chunk_offset = 6 WHERE rowid = 17",
       "Internal sqlite-jix error: optimize found rowid 17 in slot 0 of main.t_chunks.3, but the "
       "rowids table places it elsewhere"},
      {"UPDATE t_vector_chunks00 SET vectors = zeroblob(3) WHERE rowid = 3",
       "Internal sqlite-jix error: optimize found a BLOB of 3 bytes in main.t_vector_chunks00.3, "
       "expected 64"},
      {"UPDATE t_metadatachunks01 SET data = zeroblob(3) WHERE rowid = 1",
       "Internal sqlite-jix error: optimize found a BLOB of 3 bytes in main.t_metadatachunks01.1, "
       "expected 128"},
      {"DELETE FROM t_vector_chunks00 WHERE rowid = 2",
       "Internal sqlite-jix error: optimize could not open main.t_vector_chunks00.2: no such "
       "rowid: 2"},
  };
  db_.Exec(kTable);
  db_.Exec(InsertRows(1, 20) + "DELETE FROM t WHERE rowid IN (2, 3, 10, 11, 12)");
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.sql);
    db_.Exec("SAVEPOINT damage");
    db_.Exec(d.sql);
    const std::string damaged = db_.DumpTables("t_");
    EXPECT_EQ(db_.Query(kOptimize), d.message);
    EXPECT_EQ(db_.DumpTables("t_"), damaged);
    db_.Exec("ROLLBACK TO damage; RELEASE damage");
  }
  ExpectIntact();
}

struct Countdown {
  int left;
  sqlite3* db;
};
// A progress handler that interrupts the connection once `left` calls have passed.
int InterruptAt(void* arg) {
  Countdown* countdown = (Countdown*)arg;
  if (--countdown->left == 0) sqlite3_interrupt(countdown->db);
  return 0;
}

// sqlite3_interrupt() at every point of the run: the table stays exactly as it was, and a
// transaction the command ran in is rolled back whole, as SQLite does for interrupts.
TEST_F(Jix0Optimize, InterruptedAnywhereLeavesTableAsItWas) {
  db_.Exec(kTable);
  db_.Exec(InsertRows(1, 40) + "DELETE FROM t WHERE rowid % 3 = 0 OR rowid < 6");
  const std::string before = db_.DumpTables("t_");
  Countdown state{0, db_.db()};
  int interrupted = 0;
  for (bool inTransaction : {true, false}) {  // the transaction's successful run is rolled back
    for (int at = 1;; at++) {
      SCOPED_TRACE(std::string(inTransaction ? "in a transaction, " : "") + "interrupt " +
                   std::to_string(at));
      if (inTransaction) db_.Exec("BEGIN; DELETE FROM t WHERE rowid = 7");
      state.left = at;
      sqlite3_progress_handler(db_.db(), 5, InterruptAt, &state);
      int rc = db_.Run(kOptimize);
      sqlite3_progress_handler(db_.db(), 0, nullptr, nullptr);
      if (rc == SQLITE_OK) {
        if (inTransaction) db_.Exec("ROLLBACK");
        break;
      }
      ASSERT_EQ(rc, SQLITE_INTERRUPT);
      interrupted++;
      EXPECT_EQ(sqlite3_get_autocommit(db_.db()), 1);
      ASSERT_EQ(db_.DumpTables("t_"), before);
      ASSERT_LT(at, 100000);
    }
  }
  EXPECT_GT(interrupted, 20);
  EXPECT_EQ(db_.Query(kOptimize), "");
  ExpectIntact();
  EXPECT_NE(db_.DumpTables("t_"), before);
}

}  // namespace
