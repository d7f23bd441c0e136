// Failures of the host reach the application with their own codes: a full database, a value
// over SQLite's length limit and an interrupt are never reported as SQLITE_ERROR, so an
// application can tell a rolled-back statement or transaction from a refused one. Storage
// stays consistent after each.
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

#include "support/invariants.h"
#include "support/test_db.h"

namespace {

// Vectors of 256 elements, 1 KiB each, so that a chunk of 64 slots spans many pages.
constexpr const char* kSchema =
    "CREATE VIRTUAL TABLE t USING jix0(p integer partition key, v float[256], +a text, "
    "n integer, s text, chunk_size=64);"
    "CREATE VIRTUAL TABLE x USING jix0(id text primary key, v float[256], s text, chunk_size=64);"
    "CREATE TEMP VIEW series AS WITH RECURSIVE g(value) AS (SELECT 1 UNION ALL SELECT value + 1 "
    "  FROM g WHERE value < 256) SELECT value FROM g;"
    "INSERT INTO t(rowid, p, v, a, n, s) SELECT value, value % 2, "
    "  (SELECT json_group_array(value * 1.0) FROM series), 'aux', value, "
    "  'a text longer than twelve bytes ' || value FROM series WHERE value <= 6;"
    "INSERT INTO x(id, v, s) SELECT 'k' || value, (SELECT json_group_array(value * 1.0) FROM "
    "  series), 'a text longer than twelve bytes' FROM series WHERE value <= 3;";

std::string Vector(float value) {
  std::string out = "'[";
  for (int i = 0; i < 256; i++) out += (i ? "," : "") + std::to_string(value);
  return out + "]'";
}

const std::string kLongText = "'" + std::string(6000, 'w') + "'";

// Writes that need new pages: a new chunk, a new partition, long texts and auxiliary values,
// a replaced row.
std::vector<std::string> Writes() {
  return {
      "INSERT INTO t(rowid, p, v, a, n, s) VALUES (20, 7, " + Vector(2) + ", 'a', 1, 's')",
      "INSERT INTO t(rowid, p, v, a, n, s) VALUES (21, 1, " + Vector(2) + ", " + kLongText +
          ", 1, " + kLongText + ")",
      "UPDATE t SET s = " + kLongText + ", a = " + kLongText + " WHERE rowid = 2",
      "REPLACE INTO t(rowid, p, v, a, n, s) VALUES (3, 9, " + Vector(3) + ", " + kLongText +
          ", 3, " + kLongText + ")",
      "INSERT INTO x(id, v, s) VALUES ('new', " + Vector(1) + ", " + kLongText + ")",
  };
}

class Jix0ErrorCodes : public ::testing::Test {
 protected:
  void SetUp() override { db_.Exec(kSchema); }
  std::string Dump() { return db_.DumpTables("t_") + db_.DumpTables("x_"); }
  void ExpectIntact() {
    EXPECT_EQ(db_.Query("PRAGMA integrity_check"), "ok");
    EXPECT_EQ(CheckJix0Invariants(db_.db(), "t"), "");
    EXPECT_EQ(CheckJix0Invariants(db_.db(), "x"), "");
  }
  TestDb db_;
};

// The database may not grow: every write that needs a page fails with SQLITE_FULL, and SQLite
// rolls it back whole.
TEST_F(Jix0ErrorCodes, FullDatabaseIsReportedAsFull) {
  const std::string pages = db_.Query("PRAGMA page_count");
  db_.Exec("PRAGMA max_page_count = " + pages);
  for (const std::string& sql : Writes()) {
    SCOPED_TRACE(sql.substr(0, 60));
    const std::string before = Dump();
    EXPECT_EQ(db_.Run(sql), SQLITE_FULL) << sqlite3_errmsg(db_.db());
    EXPECT_EQ(Dump(), before);
    ExpectIntact();
  }
  // Inside a transaction SQLite rolls the whole transaction back on a full disk.
  db_.Exec("BEGIN");
  EXPECT_EQ(db_.Run(Writes()[0]), SQLITE_FULL);
  EXPECT_NE(sqlite3_get_autocommit(db_.db()), 0);
  ExpectIntact();
}

// A new chunk's vectors BLOB (64 slots of 1 KiB) exceeds the length limit.
TEST_F(Jix0ErrorCodes, OversizedChunkIsReportedAsTooBig) {
  sqlite3_limit(db_.db(), SQLITE_LIMIT_LENGTH, 40000);
  const std::string before = Dump();
  for (const std::string& sql : {Writes()[0], Writes()[3]}) {
    SCOPED_TRACE(sql.substr(0, 60));
    EXPECT_EQ(db_.Run(sql), SQLITE_TOOBIG);
    EXPECT_STREQ(sqlite3_errmsg(db_.db()),
                 "jix0: a new chunk of t needs a record of 65600 bytes, over this connection's "
                 "length limit of 40000 bytes (SQLITE_LIMIT_LENGTH)");
    EXPECT_EQ(Dump(), before);
  }
  sqlite3_limit(db_.db(), SQLITE_LIMIT_LENGTH, 1000000000);
  ExpectIntact();
}

int InterruptAt(void* arg) {
  auto* state = (std::pair<sqlite3*, long>*)arg;
  if (--state->second == 0) sqlite3_interrupt(state->first);
  return 0;
}

// sqlite3_interrupt() at every point of every statement: the statement ends in success or
// SQLITE_INTERRUPT, never another code, and storage stays consistent.
TEST_F(Jix0ErrorCodes, InterruptIsReportedAsInterrupt) {
  std::vector<std::string> statements = Writes();
  statements.push_back("ALTER TABLE t RENAME TO u");
  statements.push_back("DELETE FROM t WHERE rowid = 4");
  statements.push_back("DELETE FROM x WHERE id = 'k2'");
  statements.push_back("SELECT rowid, distance, p, a, n, s FROM t WHERE v MATCH " + Vector(1) +
                       " AND k = 3 AND n > 1 AND s >= 'a'");
  statements.push_back("SELECT rowid, p, v, a, n, s FROM t");
  statements.push_back("SELECT id, s FROM x WHERE id = 'k2'");
  statements.push_back("DROP TABLE t");
  for (const std::string& sql : statements) {
    long points = 0;
    for (long n = 1;; n += 1 + n / 50) {
      SCOPED_TRACE(sql.substr(0, 60) + " interrupted at " + std::to_string(n));
      TestDb db;
      db.Exec(kSchema);
      std::pair<sqlite3*, long> state{db.db(), n};
      sqlite3_progress_handler(db.db(), 1, InterruptAt, &state);
      int rc = db.Run(sql);
      sqlite3_progress_handler(db.db(), 0, nullptr, nullptr);
      bool reached = state.second <= 0;
      // SQLite's own ALTER TABLE (of the table, and of each shadow table inside xRename)
      // re-parses the schema with nested statements and reports an interrupt met there as
      // SQLITE_ERROR, "error in <table or view>: interrupted"; that code is SQLite's, not ours.
      std::string message = sqlite3_errmsg(db.db());
      bool alterParse = rc == SQLITE_ERROR && sql.rfind("ALTER", 0) == 0 &&
                        message.find("error in ") != std::string::npos && message.size() > 13 &&
                        message.compare(message.size() - 13, 13, ": interrupted") == 0;
      if (rc != SQLITE_OK && !alterParse) {
        EXPECT_EQ(rc, SQLITE_INTERRUPT) << sqlite3_errmsg(db.db());
      }
      EXPECT_EQ(db.Query("PRAGMA integrity_check"), "ok");
      for (const char* table : {"t", "x", "u"}) {
        if (db.Query(std::string("SELECT count(*) FROM sqlite_master WHERE name = '") + table +
                     "_rowids'") == "1") {
          EXPECT_EQ(CheckJix0Invariants(db.db(), table), "");
        }
      }
      points++;
      if (!reached || HasFailure()) break;
    }
    if (HasFailure()) return;
  }
}

}  // namespace
