// Error sweeps, the sibling of the out-of-memory sweeps: for every write workload and for
// each error code SQLite may answer a call with, call N of the library's SQLite calls fails
// (N = 1, 2, ... until the workload no longer reaches the fault), inside a transaction that
// is then committed. A failed statement must leave the shadow tables exactly as they were
// before it (or SQLite must have rolled the whole transaction back); a statement that still
// succeeds must leave exactly what the fault-free run leaves. Either way the table keeps its
// invariants and answers a scan, a KNN and a new insert.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "base/calls.h"
#include "support/invariants.h"
#include "support/test_db.h"

namespace {

struct Fixture {
  std::vector<std::string> setup;
  const char* newRow;  // an insert that must work afterwards
};

struct Workload {
  const char* name;
  const Fixture& fixture;
  std::string statement;
};

// Ten rows in chunks of 8, so that writes meet both a partly filled and a new chunk.
const Fixture kPlain = {
    {
        "CREATE VIRTUAL TABLE t USING jix0(v float[2], p integer partition key, +aux text,"
        " n integer, s text, chunk_size=8)",
        "WITH RECURSIVE r(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM r WHERE i < 10)"
        " INSERT INTO t(rowid, v, p, aux, n, s) SELECT i, json_array(i, i % 3), i % 2, 'a' || i, i,"
        " 'a text longer than twelve bytes ' || i FROM r",
    },
    "INSERT INTO t(rowid, v, p, n, s) VALUES (9999, '[0.5, 0.5]', 0, 1, 's')"};

// 26 rows, two chunks per partition, with a third of the rows deleted: 'optimize' moves rows
// into the holes and frees a chunk.
Fixture Sparse() {
  Fixture f = kPlain;
  f.setup.push_back(
      "WITH RECURSIVE r(i) AS (SELECT 11 UNION ALL SELECT i + 1 FROM r WHERE i < 26)"
      " INSERT INTO t(rowid, v, p, aux, n, s) SELECT i, json_array(i, 1), i % 2, 'a', i, 's'"
      " FROM r");
  f.setup.push_back("DELETE FROM t WHERE rowid % 3 = 0 OR rowid < 5");
  return f;
}
const Fixture kSparse = Sparse();

const Fixture kIndexed = {
    {
        "CREATE VIRTUAL TABLE t USING jix0(v float[2] index=ivf lists=2, +aux text, chunk_size=8)",
        "WITH RECURSIVE r(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM r WHERE i < 20)"
        " INSERT INTO t(rowid, v, aux) SELECT i, json_array(i % 5, i / 5), 'a' || i FROM r",
        "INSERT INTO t(t) VALUES ('build-index')",
    },
    "INSERT INTO t(rowid, v) VALUES (9999, '[0.5, 0.5]')"};

// The indexed table with holes in its lists, for 'optimize' to move rows and their codes.
Fixture IndexedSparse() {
  Fixture f = kIndexed;
  f.setup.push_back("DELETE FROM t WHERE rowid % 3 = 0");
  return f;
}
const Fixture kIndexedSparse = IndexedSparse();

const Workload kWorkloads[] = {
    {"insert", kPlain,
     "INSERT INTO t(rowid, v, p, aux, n, s) VALUES (50, '[5, 5]', 1, 'x', 7,"
     " 'another text longer than twelve bytes')"},
    {"insert into a new chunk", kPlain,
     "INSERT INTO t(rowid, v, p, aux, n, s) VALUES (50, '[5, 5]', 7, 'x', 7, 'y')"},
    {"insert of several rows", kPlain,
     "INSERT INTO t(rowid, v, p, aux, n, s) VALUES (50, '[5, 5]', 1, 'x', 7, 'y'),"
     " (51, '[6, 6]', 0, 'z', 8, 'a text longer than twelve bytes')"},
    {"replace", kPlain,
     "INSERT OR REPLACE INTO t(rowid, v, p, aux, n, s) VALUES (3, '[5, 5]', 0, 'x', 7, 'y')"},
    {"update", kPlain,
     "UPDATE t SET v = '[9, 9]', aux = 'u', n = 70, s = 'a new text longer than twelve'"
     " WHERE rowid = 4"},
    {"update of several rows", kPlain, "UPDATE t SET n = n + 1, aux = NULL WHERE p = 0"},
    {"delete", kPlain, "DELETE FROM t WHERE rowid IN (2, 9)"},
    {"optimize", kSparse, "INSERT INTO t(t) VALUES ('optimize')"},
    {"insert into an indexed table", kIndexed,
     "INSERT INTO t(rowid, v, aux) VALUES (50, '[1, 1]', 'x')"},
    {"update of an indexed vector", kIndexed, "UPDATE t SET v = '[4, 3]' WHERE rowid = 2"},
    {"replace in an indexed table", kIndexed,
     "INSERT OR REPLACE INTO t(rowid, v, aux) VALUES (3, '[0, 4]', 'y')"},
    {"delete from an indexed table", kIndexed, "DELETE FROM t WHERE rowid IN (2, 9)"},
    {"optimize of an indexed table", kIndexedSparse, "INSERT INTO t(t) VALUES ('optimize')"},
    {"build-index", kIndexed, "INSERT INTO t(t) VALUES ('build-index')"},
    {"build-index of a plain table", kPlain, "INSERT INTO t(t) VALUES ('build-index lists=2')"},
    {"drop-index", kIndexed, "INSERT INTO t(t) VALUES ('drop-index')"},
};

constexpr int kCodes[] = {SQLITE_TOOBIG,     SQLITE_LOCKED, SQLITE_BUSY,
                          SQLITE_CONSTRAINT, SQLITE_ERROR,  SQLITE_CORRUPT};

void Prepare(TestDb& db, const Workload& w) {
  for (const std::string& sql : w.fixture.setup) db.Exec(sql);
}

// dump with the build's id and time masked: each build draws a random id.
std::string WithoutBuildStamps(std::string dump) {
  for (const std::string key : {"|IVF_BUILD|", "|IVF_BUILT_AT|"}) {
    size_t at = dump.find(key);
    if (at == std::string::npos) continue;
    at += key.size();
    dump.replace(at, dump.find('\n', at) - at, "*");
  }
  return dump;
}

// A scan, a KNN and a new insert work, and storage keeps its invariants.
void ExpectUsable(TestDb& db, const Workload& w) {
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
  const std::string rows = db.Query("SELECT count(*) FROM t");
  EXPECT_EQ(db.Query("SELECT count(*) FROM t WHERE v MATCH '[1, 1]' AND k = 100"), rows);
  EXPECT_EQ(db.Query(w.fixture.newRow), "");
}

TEST(ErrorSweep, FailedWritesLeaveTheTableAsItWas) {
  for (const Workload& w : kWorkloads) {
    SCOPED_TRACE(w.name);
    std::string after;
    {
      TestDb db;
      Prepare(db, w);
      db.Exec(w.statement);
      after = WithoutBuildStamps(db.DumpTables("t_"));
    }
    for (int code : kCodes) {
      SCOPED_TRACE(sqlite3_errstr(code));
      bool reached = true;
      long n = 1;
      for (; reached; n++) {
        SCOPED_TRACE("failing call " + std::to_string(n));
        TestDb db;
        Prepare(db, w);
        const std::string before = db.DumpTables("t_");
        db.Exec("BEGIN");
        jix_fault_arm(n, code);
        const int rc = db.Run(w.statement);
        reached = jix_fault_fired();
        jix_fault_arm(0, SQLITE_OK);
        if (!sqlite3_get_autocommit(db.db()) && db.Run("COMMIT") != SQLITE_OK) {
          // Once a statement of the transaction failed with SQLITE_CORRUPT, SQLite refuses
          // to commit it.
          EXPECT_EQ(code, SQLITE_CORRUPT) << sqlite3_errmsg(db.db());
          if (!sqlite3_get_autocommit(db.db())) db.Exec("ROLLBACK");
        }
        if (rc == SQLITE_OK) {
          EXPECT_EQ(WithoutBuildStamps(db.DumpTables("t_")), after);
        } else {
          EXPECT_EQ(db.DumpTables("t_"), before) << sqlite3_errmsg(db.db());
        }
        ExpectUsable(db, w);
        if (::testing::Test::HasFailure()) return;
      }
      EXPECT_GT(n, 5) << "the workload makes fewer calls than a write needs";
    }
  }
}

}  // namespace
