// The resident chunk cache: jix_cache_size, and coherence. A cached answer must equal the
// uncached one after every kind of change: this connection's writes and rollbacks, other
// connections' and processes' commits, DROP, RENAME, VACUUM and ATTACH.
#include <unistd.h>

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

#include "extension/entry.h"
#include "support/child_process.h"
#include "support/test_db.h"

namespace {

constexpr const char* kTable =
    "CREATE VIRTUAL TABLE t USING jix0(v float[4], n integer, chunk_size=8)";

// The queries whose answers are compared: plain, filtered, by rowid list, bounded, k past
// the row count, over every table name the cases use. A missing table answers with its
// error message, on both sides alike.
std::string Answers(TestDb& db, std::vector<const char*> tables = {"t", "u", "aux.t", "other.t"}) {
  static const char* const kShapes[] = {
      "SELECT rowid, distance FROM %s WHERE v MATCH '[1,2,3,4]' AND k = 5",
      "SELECT rowid, distance FROM %s WHERE v MATCH '[9,0,1,4]' AND k = 7 AND n = 1",
      "SELECT rowid, distance FROM %s WHERE v MATCH '[0,0,0,0]' AND k = 3 AND rowid IN "
      "(2,3,5,8,13,21,34,1000)",
      "SELECT rowid, distance FROM %s WHERE v MATCH '[5,5,5,5]' AND k = 4 AND distance > 3",
      "SELECT rowid, distance FROM %s WHERE v MATCH '[2,7,1,8]' AND k = 100",
      "SELECT rowid, hex(v) FROM %s WHERE v MATCH '[3,1,4,1]' AND k = 6",
  };
  std::string out;
  for (const char* table : tables) {
    for (const char* shape : kShapes) {
      char sql[512];
      snprintf(sql, sizeof(sql), shape, table);
      out += std::string(table) + ": " + db.Query(sql) + "\n";
    }
  }
  return out;
}

int64_t SetBudget(TestDb& db, int64_t bytes) {
  return std::stoll(db.Query("SELECT jix_cache_size(" + std::to_string(bytes) + ")"));
}

// The answers with the cache, then without it (budget 0), on the same connection and in the
// same transaction; then the cache is refilled.
void ExpectCoherent(TestDb& db, const std::string& context) {
  std::string cached = Answers(db);
  int64_t budget = SetBudget(db, 0);
  std::string uncached = Answers(db);
  SetBudget(db, budget);
  EXPECT_EQ(cached, uncached) << context;
  Answers(db);
}

std::string Rows(int first, int count, int seed) {
  std::string sql = "INSERT INTO t(rowid, v, n) VALUES ";
  for (int i = 0; i < count; i++) {
    int r = first + i;
    int a = (r * 7 + seed) % 10, b = (r * 3 + seed) % 9, c = (r + seed) % 5, d = (r * r) % 11;
    sql += (i ? ", (" : "(") + std::to_string(r) + ", '[" + std::to_string(a) + "," +
           std::to_string(b) + "," + std::to_string(c) + "," + std::to_string(d) + "]', " +
           std::to_string(r % 3) + ")";
  }
  return sql;
}

TEST(ChunkCache, SizeSetsAndReturnsTheBudgetPerConnection) {
  TestDb db, other;
  const SqlCase cases[] = {
      {"SELECT jix_cache_size(-1)", "0"},
      {"SELECT jix_cache_size(1000)", "0"},
      {"SELECT jix_cache_size(-5)", "1000"},
      {"SELECT jix_cache_size(1 << 40)", "1000"},
      {"SELECT jix_cache_size(0)", "1099511627776"},
      {"SELECT jix_cache_size(-1)", "0"},
      {"SELECT jix_cache_size(4096)", "0"},
  };
  for (const SqlCase& c : cases) EXPECT_EQ(db.Query(c.sql), c.expected) << c.sql;
  EXPECT_EQ(other.Query("SELECT jix_cache_size(-1)"), "0");
  // It sets how much memory a connection takes: never from a schema's views or triggers.
  db.Exec("CREATE VIEW grow AS SELECT jix_cache_size(1 << 30)");
  EXPECT_EQ(db.Query("SELECT * FROM grow"), "unsafe use of jix_cache_size()");
}

// Shows that answers do come from the cache: a write past the module, straight into a
// shadow table inside a transaction, is not seen until the transaction ends, where an
// uncached scan sees it at once.
TEST(ChunkCache, ScansReadTheCachedChunks) {
  TestDb db;
  db.Exec(kTable);
  db.Exec(Rows(1, 40, 0));
  SetBudget(db, 1 << 20);
  std::string before = Answers(db);
  db.Exec("BEGIN");
  db.Exec("UPDATE t_vector_chunks00 SET vectors = zeroblob(length(vectors))");
  // The returned vectors too come from the cache.
  EXPECT_EQ(Answers(db), before);
  SetBudget(db, 0);
  EXPECT_NE(Answers(db), before);
  db.Exec("ROLLBACK");
}

struct EventCase {
  const char* name;
  const char* declaration;  // the table t
  // Run in order, each followed by a check. A leading '@' runs the step on a second
  // connection to the same file, '%' on a connection to the second file, '!' lets it fail;
  // <2> stands for the second file's path.
  std::vector<const char*> steps;
};

class ChunkCacheEvents : public ::testing::TestWithParam<int64_t> {
 protected:
  void SetUp() override {
    std::string base = ::testing::TempDir() + "jix_cache_" + std::to_string(getpid());
    path_ = base + ".db";
    path2_ = base + "_2.db";
    RemoveFiles();
  }
  void TearDown() override { RemoveFiles(); }
  void RemoveFiles() {
    for (const std::string& p : {path_, path2_}) {
      for (const char* suffix : {"", "-journal", "-wal"}) unlink((p + suffix).c_str());
    }
  }
  void Run(const EventCase& c);
  std::string path_, path2_;
};

void ChunkCacheEvents::Run(const EventCase& c) {
  SCOPED_TRACE(c.name);
  RemoveFiles();
  {
    TestDb second(path2_.c_str());
    second.Exec(kTable);
    second.Exec(Rows(1, 30, 4));
  }
  TestDb db(path_.c_str()), writer(path_.c_str()), writer2(path2_.c_str());
  db.Exec(c.declaration);
  db.Exec(Rows(1, 40, 0));
  SetBudget(db, GetParam());
  ExpectCoherent(db, "before the steps");
  for (const char* step : c.steps) {
    TestDb* target = &db;
    bool mayFail = false;
    for (;; step++) {
      if (*step == '@') {
        target = &writer;
      } else if (*step == '%') {
        target = &writer2;
      } else if (*step == '!') {
        mayFail = true;
      } else {
        break;
      }
    }
    std::string sql = step;
    size_t at = sql.find("<2>");
    if (at != std::string::npos) sql.replace(at, 3, path2_);
    int rc = target->Run(sql);
    if (!mayFail) {
      EXPECT_EQ(rc, SQLITE_OK) << sql << ": " << sqlite3_errmsg(target->db());
    } else {
      EXPECT_NE(rc, SQLITE_OK) << sql;
    }
    ExpectCoherent(db, sql);
  }
}

TEST_P(ChunkCacheEvents, CachedAnswersEqualUncachedOnes) {
  const std::vector<EventCase> cases = {
      {"insert", kTable, {"INSERT INTO t(rowid, v, n) VALUES (1000, '[1,2,3,4]', 1)"}},
      {"update",
       kTable,
       {"UPDATE t SET v = '[1,2,3,4]' WHERE rowid = 7", "UPDATE t SET n = 1 WHERE rowid = 9"}},
      {"delete", kTable, {"DELETE FROM t WHERE rowid % 3 = 0", "DELETE FROM t WHERE rowid < 9"}},
      {"replace", kTable, {"INSERT OR REPLACE INTO t(rowid, v, n) VALUES (5, '[0,0,0,1]', 1)"}},
      {"optimize",
       kTable,
       {"DELETE FROM t WHERE rowid % 4 <> 0", "INSERT INTO t(t) VALUES ('optimize')"}},
      {"build-index",
       "CREATE VIRTUAL TABLE t USING jix0(v float[4] index=ivf lists=2 probes=2, n integer, "
       "chunk_size=8)",
       {"INSERT INTO t(t) VALUES ('build-index')", "DELETE FROM t WHERE rowid % 5 = 0",
        "INSERT INTO t(rowid, v, n) VALUES (1000, '[1,2,3,4]', 1)",
        "INSERT INTO t(t) VALUES ('build-index')"}},
      {"rollback",
       kTable,
       {"BEGIN", "INSERT INTO t(rowid, v, n) VALUES (1000, '[1,2,3,4]', 1)",
        "DELETE FROM t WHERE rowid < 20", "ROLLBACK"}},
      {"rollback to a savepoint",
       kTable,
       {"BEGIN", "DELETE FROM t WHERE rowid = 1", "SAVEPOINT s", "DELETE FROM t WHERE rowid > 30",
        "UPDATE t SET v = '[5,5,5,5]' WHERE rowid = 2", "ROLLBACK TO s", "RELEASE s", "COMMIT"}},
      {"savepoint rolled back whole",
       kTable,
       {"SAVEPOINT s", "DELETE FROM t WHERE rowid > 10", "ROLLBACK TO s", "RELEASE s"}},
      {"failed statement",
       kTable,
       {"!INSERT INTO t(rowid, v, n) VALUES (2000, '[1,2,3,4]', 1), (3, '[0,0,0,0]', 0)", "BEGIN",
        "!INSERT INTO t(rowid, v, n) VALUES (2001, '[1,2,3,4]', 1), (4, '[0,0,0,0]', 0)",
        "!UPDATE t SET v = CASE WHEN rowid < 30 THEN '[0,0,0,0]' ELSE '[1,2]' END",
        // Searches the table within the statement that changes it, which then fails.
        "!UPDATE t SET v = CASE WHEN rowid < 30 THEN '[0,0,0,0]' ELSE '[1,2]' END, n = (SELECT "
        "max(rowid) FROM (SELECT rowid FROM t WHERE v MATCH '[1,2,3,4]' AND k = 5))",
        "COMMIT"}},
      {"another connection commits",
       kTable,
       {"@INSERT INTO t(rowid, v, n) VALUES (1000, '[1,2,3,4]', 1)",
        "@DELETE FROM t WHERE rowid % 2 = 0", "@UPDATE t SET v = '[5,5,5,5]' WHERE rowid = 3",
        "@INSERT INTO t(t) VALUES ('optimize')"}},
      {"drop",
       kTable,
       {"DROP TABLE t", kTable, "INSERT INTO t(rowid, v, n) VALUES (1, '[9,9,9,9]', 1)"}},
      {"rename",
       kTable,
       {"ALTER TABLE t RENAME TO u", kTable,
        "INSERT INTO t(rowid, v, n) VALUES (1, '[9,9,9,9]', 1)", "DROP TABLE t",
        "ALTER TABLE u RENAME TO t"}},
      {"vacuum", kTable, {"DELETE FROM t WHERE rowid % 2 = 1", "VACUUM"}},
      {"attach",
       kTable,
       {"ATTACH '<2>' AS aux", "%DELETE FROM t WHERE rowid < 10", "DETACH aux",
        "%INSERT INTO t(rowid, v, n) VALUES (1000, '[1,2,3,4]', 1)", "ATTACH '<2>' AS aux",
        "DETACH aux", "ATTACH '<2>' AS other", "ATTACH ':memory:' AS aux",
        "CREATE VIRTUAL TABLE aux.t USING jix0(v float[4], n integer, chunk_size=8)",
        "INSERT INTO aux.t(rowid, v, n) VALUES (1, '[1,2,3,4]', 1)",
        "%UPDATE t SET v = '[2,7,1,8]' WHERE rowid = 20"}},
  };
  for (const EventCase& c : cases) Run(c);
}

// Budgets: a few chunks of t (the rest read through BLOBs), and all of it.
INSTANTIATE_TEST_SUITE_P(Budgets, ChunkCacheEvents, ::testing::Values(700, 1 << 20));

// The model: two processes on one WAL database write and query at random, each with its
// own cache and budget. Each check holds the write lock (so nobody commits meanwhile) while
// the cached connection answers and a fresh connection without a cache answers too.
class ModelSide {
 public:
  ModelSide(const std::string& path, uint32_t seed) : path_(path), db_(path.c_str()), rng_(seed) {
    sqlite3_busy_timeout(db_.db(), 20000);
    static const int64_t kBudgets[] = {700, 2000, 1 << 20};
    SetBudget(db_, kBudgets[rng_() % 3]);
  }
  // The first mismatch, or "" after rounds of random writes and checks.
  std::string Run(int rounds) {
    for (int round = 0; round < rounds; round++) {
      // Rounds without a write of this side's own leave its cache filled by the last check,
      // for the other side's commits to make stale.
      switch (Random(3)) {
        case 0:
          Write();
          break;
        case 1:
          Answers(db_, {"t"});
          break;
        default:
          usleep((useconds_t)Random(3000));
      }
      std::string failure = Check(round);
      if (!failure.empty()) return failure;
    }
    return "";
  }

 private:
  int Random(int n) { return (int)(rng_() % (uint32_t)n); }
  std::string Vector() {
    return "'[" + std::to_string(Random(10)) + "," + std::to_string(Random(10)) + "," +
           std::to_string(Random(10)) + "," + std::to_string(Random(10)) + "]'";
  }
  std::string OneWrite() {
    int rowid = 1 + Random(120);
    switch (Random(6)) {
      case 0:
      case 1:
        return "INSERT OR REPLACE INTO t(rowid, v, n) VALUES (" + std::to_string(rowid) + ", " +
               Vector() + ", " + std::to_string(Random(3)) + ")";
      case 2:
        return "DELETE FROM t WHERE rowid BETWEEN " + std::to_string(rowid) + " AND " +
               std::to_string(rowid + Random(8));
      case 3:
        return "UPDATE t SET v = " + Vector() + " WHERE rowid = " + std::to_string(rowid);
      case 4:  // fails on an existing rowid, after the first row went in
        return "INSERT INTO t(rowid, v, n) VALUES (" + std::to_string(200 + Random(100)) + ", " +
               Vector() + ", 1), (" + std::to_string(rowid) + ", " + Vector() + ", 0)";
      default:
        return Random(4) == 0 ? "INSERT INTO t(t) VALUES ('optimize')"
                              : "UPDATE t SET n = " + std::to_string(Random(3)) +
                                    " WHERE rowid % 7 = " + std::to_string(Random(7));
    }
  }
  // A write transaction: one to three writes, sometimes under a savepoint rolled back,
  // committed or rolled back, with cached queries in between.
  void Write() {
    db_.Run("BEGIN IMMEDIATE");
    int writes = 1 + Random(3);
    bool savepoint = Random(4) == 0;
    for (int i = 0; i < writes; i++) {
      if (savepoint && i == 1) db_.Run("SAVEPOINT s");
      db_.Run(OneWrite());
      if (Random(2)) Answers(db_, {"t"});
    }
    if (savepoint && writes > 1) db_.Run("ROLLBACK TO s");
    db_.Run(Random(5) == 0 ? "ROLLBACK" : "COMMIT");
  }
  std::string Check(int round) {
    if (db_.Run("BEGIN IMMEDIATE") != SQLITE_OK) return "BEGIN IMMEDIATE failed";
    std::string cached = Answers(db_, {"t"});
    std::string fresh;
    {
      TestDb uncached(path_.c_str());
      fresh = Answers(uncached, {"t"});
    }
    db_.Run("COMMIT");
    checks_++;
    if (cached == fresh) return "";
    return "round " + std::to_string(round) + ": cached\n" + cached + "uncached\n" + fresh;
  }

  std::string path_;
  TestDb db_;
  std::mt19937 rng_;
  int checks_ = 0;
};

TEST(ChunkCacheModel, TwoProcessesAgreeWithFreshConnections) {
  std::string path = ::testing::TempDir() + "jix_cache_model_" + std::to_string(getpid()) + ".db";
  auto remove = [&] {
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
  };
  remove();
  {
    TestDb db(path.c_str());
    EXPECT_EQ(db.Query("PRAGMA journal_mode=wal"), "wal");
    db.Exec(kTable);
    db.Exec(Rows(1, 60, 0));
  }
  constexpr int kRounds = 150;
  ChildProcess child([&] {
    ModelSide side(path, 7);
    std::string failure = side.Run(kRounds);
    if (!failure.empty()) ChildProcess::Fail(failure);
    ChildProcess::Send(0, "done");
  });
  {
    ModelSide side(path, 3);
    EXPECT_EQ(side.Run(kRounds), "");
  }
  ChildReport report;
  bool done = false;
  while (child.Receive(&report)) {
    EXPECT_NE(report.value, kChildFailed) << report.text;
    done = done || report.value == 0;
  }
  EXPECT_TRUE(done);
  EXPECT_EQ(child.Wait(), 0);
  remove();
}

}  // namespace
