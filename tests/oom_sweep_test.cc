// Out-of-memory sweeps over representative workloads: for N = 1, 2, ... allocation N of the
// workload fails (once, then again with every later allocation failing too) until the
// workload completes without reaching the fault. Every faulted run must report SQLITE_NOMEM
// (or the workload's own error, unchanged) or give exactly the fault-free result; afterwards the
// database passes integrity_check and the storage-invariant checker, and closing it gives every
// byte back.
#include <cstdio>
#include <string>
#include <vector>

#include "extension/entry.h"
#include "support/fault_injection.h"
#include "support/invariants.h"
#include "support/test_db.h"

namespace {

struct Outcome {
  int rc = SQLITE_OK;
  std::string text;  // rows of every statement, or the first error
};

Outcome RunStatements(sqlite3* db, const std::vector<std::string>& statements) {
  Outcome outcome;
  for (const std::string& sql : statements) {
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
    if (rc == SQLITE_OK) {
      while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        AllocationFaults::Pause pause;  // reading rows back is the test's work
        outcome.text += RenderRow(stmt) + "\n";
      }
      if (rc == SQLITE_DONE) rc = SQLITE_OK;
    }
    if (rc != SQLITE_OK) {
      AllocationFaults::Pause pause;
      outcome.rc = rc;
      outcome.text = sqlite3_errmsg(db);
      sqlite3_finalize(stmt);
      return outcome;
    }
    sqlite3_finalize(stmt);
  }
  return outcome;
}

struct Workload {
  const char* name;
  std::vector<std::string> setup;       // runs without faults
  std::vector<std::string> statements;  // runs with faults
  std::vector<std::string> tables;      // jix0 tables whose invariants must hold afterwards
};

sqlite3* OpenDb(const Workload& w) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_jix_init(db, &error, nullptr), SQLITE_OK);
  EXPECT_EQ(sqlite3_jix_numpy_init(db, &error, nullptr), SQLITE_OK);
  EXPECT_EQ(sqlite3_jix_static_blobs_init(db, &error, nullptr), SQLITE_OK);
  Outcome setup = RunStatements(db, w.setup);
  EXPECT_EQ(setup.rc, SQLITE_OK) << setup.text;
  return db;
}

// Faulted runs that may end in a code other than SQLITE_NOMEM, each with its reason.
struct AllowedOutcome {
  int code;
  const char* text;
  const char* reason;
};
constexpr AllowedOutcome kAllowedOutcomes[] = {
    {SQLITE_ERROR, "SQL logic error",
     "The workload is refused without faults (its reference is an error). When the refusal's "
     "message is the allocation that fails, the statement is still refused with SQLITE_ERROR, "
     "and SQLite reports its generic text: the outcome is the same refusal, without words."},
};

bool Allowed(const Workload&, const Outcome& outcome, const Outcome& reference) {
  if (reference.rc == SQLITE_OK) return false;  // a fault must never turn success into this
  for (const AllowedOutcome& a : kAllowedOutcomes) {
    if (outcome.rc == a.code && outcome.text == a.text && outcome.rc == reference.rc) return true;
  }
  return false;
}

// Returns the number of fault points tried in each mode.
long SweepFaults(const Workload& w, bool persistent) {
  sqlite3_int64 baseline = sqlite3_memory_used();
  sqlite3* db = OpenDb(w);
  // Some workloads end in an error of their own; under faults they must still fail.
  Outcome reference = RunStatements(db, w.statements);
  sqlite3_close(db);

  long n = 1;
  for (;; n++) {
    SCOPED_TRACE(std::string(w.name) + (persistent ? ", persistent" : ", transient") +
                 " failure of allocation " + std::to_string(n));
    db = OpenDb(w);
    AllocationFaults::Arm(n, persistent);
    Outcome outcome = RunStatements(db, w.statements);
    long failures = AllocationFaults::Disarm();
    if (failures == 0) {
      EXPECT_EQ(outcome.text, reference.text);
      sqlite3_close(db);
      break;
    }
    if (outcome.rc == SQLITE_OK) {
      EXPECT_EQ(outcome.text, reference.text) << "success with a wrong result";
    }
    if (reference.rc != SQLITE_OK) {
      EXPECT_NE(outcome.rc, SQLITE_OK) << "an error turned into success";
    }
    // Strict: a failed allocation reports SQLITE_NOMEM, or the workload's own error when
    // the fault came too late to matter. Any other code hides what happened.
    if (outcome.rc != SQLITE_OK && (outcome.rc & 0xff) != SQLITE_NOMEM &&
        !(outcome.rc == reference.rc && outcome.text == reference.text) &&
        !Allowed(w, outcome, reference)) {
      ADD_FAILURE() << "allocation failure reported as code " << outcome.rc << ": " << outcome.text;
    }
    EXPECT_EQ(RunStatements(db, {"PRAGMA integrity_check"}).text, "ok\n");
    for (const std::string& t : w.tables) EXPECT_EQ(CheckJix0Invariants(db, t), "") << t;
    EXPECT_EQ(sqlite3_close(db), SQLITE_OK);
    EXPECT_EQ(sqlite3_memory_used(), baseline) << "memory not given back";
    if (::testing::Test::HasFailure()) break;
  }
  return n;
}

class OomSweep : public AllocationFaultTest {
 protected:
  void Sweep(const std::vector<Workload>& workloads) {
    for (const Workload& w : workloads) {
      long transient = SweepFaults(w, false);
      if (HasFailure()) return;
      long persistent = SweepFaults(w, true);
      if (HasFailure()) return;
      printf("[ oom      ] %-24s %5ld fault points (transient), %5ld (persistent)\n", w.name,
             transient, persistent);
    }
  }
};

const std::vector<std::string> kTables = {
    "CREATE VIRTUAL TABLE t USING jix0(p integer partition key, v float[2], +aux text,"
    " n integer, s text, f boolean, x float, chunk_size=8)",
    "INSERT INTO t(rowid, p, v, aux, n, s, f, x) VALUES (1, 1, '[1, 0]', 'a', 1, 'short', 1, 0.5),"
    " (2, 1, '[2, 0]', 'b', 2, 'a much longer text value', 0, 1.5),"
    " (3, 2, '[3, 0]', NULL, 3, 'a much longer text value!', 1, 2.5),"
    " (4, 1, '[4, 0]', 'd', 4, '', 0, 3.5)",
    "CREATE VIRTUAL TABLE d USING jix0(id text primary key, v float[1], chunk_size=8)",
    "INSERT INTO d(id, v) VALUES ('a', '[1]'), ('b', '[2]'), ('c', '[3]')",
};

TEST_F(OomSweep, ScalarFunctions) {
  Sweep({
      {"distances",
       {},
       {"SELECT jix_distance_l2('[1,2,3]', '[4,5,6]'), jix_distance_l1(X'0000803F', '[2]'),"
        " jix_distance_cosine('[1,2]', '[2,1]')"},
       {}},
      {"parse errors", {}, {"SELECT jix_distance_l2('[1,2]', '[1,2,3]')"}, {}},
  });
}

TEST_F(OomSweep, Jix0Lifecycle) {
  Sweep({
      {"create",
       {},
       {"CREATE VIRTUAL TABLE c USING jix0(p text partition key, v float[2], b bit[8],"
        " +a integer, m text, chunk_size=8)"},
       {}},
      {"create text key",
       {},
       {"CREATE VIRTUAL TABLE c USING jix0(id text primary key, v int8[2])"},
       {}},
      {"drop", kTables, {"DROP TABLE t"}, {}},
  });
}

TEST_F(OomSweep, Jix0Insert) {
  Sweep({
      {"insert",
       kTables,
       {"INSERT INTO t(rowid, p, v, aux, n, s, f, x) VALUES (5, 1, '[5, 0]', 'e', 5,"
        " 'another long text value', 1, 4.5), (6, 3, '[6, 0]', 'f', 6, 'x', 0, 5.5)"},
       {"t"}},
      {"insert new chunk",
       kTables,
       {"WITH RECURSIVE g(value) AS (SELECT 10 UNION ALL SELECT value + 1 FROM g WHERE value < 14)"
        " INSERT INTO t(p, v, aux, n, s, f, x) SELECT 1, '[7, 7]', 'g', value,"
        " 'text number ' || value, 0, 1.0 FROM g"},
       {"t"}},
      {"insert text id", kTables, {"INSERT INTO d(id, v) VALUES ('e', '[5]')"}, {"d"}},
      {"insert refused",
       kTables,
       {"INSERT INTO t(rowid, p, v, aux, n, s, f, x) VALUES (9, 1, '[1, 0]', 'a', 1, 's', 2, 0.5)"},
       {"t"}},
  });
}

TEST_F(OomSweep, Jix0Queries) {
  Sweep({
      {"knn filters",
       kTables,
       {"SELECT rowid, distance, p, v, aux, n, s, f, x FROM t WHERE v MATCH '[0, 0]' AND k = 3"
        " AND p = 1 AND rowid IN (1, 2, 4, 9) AND n IN (1, 2, 4) AND s IN ('short',"
        " 'a much longer text value', 'zz') AND f != 1 AND x > 0.0 AND distance < 10"},
       {"t"}},
      {"knn text compare",
       kTables,
       {"SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 4 AND s > 'a much longer text'",
        "SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 4 AND s = 'a much longer text value'"},
       {"t"}},
      {"full scan and point",
       kTables,
       {"SELECT rowid, p, v, aux, n, s, f, x, distance FROM t",
        "SELECT rowid, p, v, aux, n, s, f, x FROM t WHERE rowid = 3"},
       {"t"}},
      {"text ids",
       kTables,
       {"SELECT id, v FROM d", "SELECT id FROM d WHERE id = 'b'",
        "SELECT id, distance FROM d WHERE v MATCH '[0]' AND k = 2 AND id IN ('c', 'zz', 'a')"},
       {"d"}},
      {"knn errors", kTables, {"SELECT rowid FROM t WHERE v MATCH '[0, 0, 0]' AND k = 3"}, {"t"}},
  });
}

// 1.2 MiB of vectors, enough for a search to start its helper threads part way through.
TEST_F(OomSweep, Jix0QueriesWithHelperThreads) {
  std::string query = "'[1";
  for (int i = 1; i < 256; i++) query += ",0";
  query += "]'";
  Sweep({
      {"knn with helper threads",
       {"CREATE VIRTUAL TABLE big USING jix0(v float[256], n integer, chunk_size=64)",
        "WITH RECURSIVE g(value) AS (SELECT 1 UNION ALL SELECT value + 1 FROM g WHERE value < 1200)"
        " INSERT INTO big(rowid, v, n) SELECT value, '[' || (value % 7) ||"
        " replace(hex(zeroblob(255)), '00', ',0') || ']', value % 3 FROM g",
        "PRAGMA threads = 2"},
       {"SELECT rowid, distance FROM big WHERE v MATCH " + query + " AND k = 5 AND n != 1"},
       {"big"}},
  });
}

// The chunk cache on: a failed allocation for it leaves the chunk to the BLOB reads, so the
// answers stay those of the run without faults; filled, read, emptied by a write and filled
// again, with and without helper threads.
TEST_F(OomSweep, Jix0QueriesWithTheChunkCache) {
  std::vector<std::string> setup = kTables;
  setup.push_back("SELECT jix_cache_size(1 << 20)");
  const std::string knn =
      "SELECT rowid, distance FROM t WHERE v MATCH '[0, 0]' AND k = 3 AND rowid IN (1, 2, 4, 9)"
      " AND s IN ('short', 'a much longer text value')";
  std::string query = "'[1";
  for (int i = 1; i < 256; i++) query += ",0";
  query += "]'";
  Sweep({
      {"knn with the chunk cache",
       setup,
       {knn, "SELECT rowid, distance FROM t WHERE v MATCH '[2, 0]' AND k = 4", knn,
        "INSERT INTO t(rowid, p, v, n) VALUES (5, 2, '[0, 1]', 5)", knn},
       {"t"}},
      {"cached, helper threads",
       {"CREATE VIRTUAL TABLE big USING jix0(v float[256], n integer, chunk_size=64)",
        "WITH RECURSIVE g(value) AS (SELECT 1 UNION ALL SELECT value + 1 FROM g WHERE value < 1200)"
        " INSERT INTO big(rowid, v, n) SELECT value, '[' || (value % 7) ||"
        " replace(hex(zeroblob(255)), '00', ',0') || ']', value % 3 FROM g",
        "PRAGMA threads = 2", "SELECT jix_cache_size(800000)"},
       {"SELECT rowid, distance FROM big WHERE v MATCH " + query + " AND k = 5 AND n != 1",
        "SELECT rowid, distance FROM big WHERE v MATCH " + query + " AND k = 5"},
       {"big"}},
  });
}

// Three chunks of partition 1 with holes, one of partition 2; optimize moves rows of every
// metadata kind, long texts included, and deletes a chunk.
std::vector<std::string> Fragmented() {
  std::vector<std::string> setup = {kTables[0]};
  std::string insert = "INSERT INTO t(rowid, p, v, aux, n, s, f, x) VALUES ";
  for (int r = 1; r <= 20; r++) {
    insert += (r > 1 ? ", (" : "(") + std::to_string(r) + ", " + std::to_string(r == 20 ? 2 : 1) +
              ", '[" + std::to_string(r) + ", 0]', 'a', " + std::to_string(r) + ", '" +
              (r % 2 ? "short" : "a text longer than twelve") + "', " + std::to_string(r % 2) +
              ", 0.5)";
  }
  setup.push_back(insert);
  setup.push_back("DELETE FROM t WHERE rowid IN (1, 3, 4, 9, 12)");
  return setup;
}
const std::vector<std::string> kFragmented = Fragmented();

TEST_F(OomSweep, Jix0WritesAndOptimize) {
  Sweep({
      {"update",
       kTables,
       {"UPDATE t SET v = '[9, 9]', aux = 'z', n = 7, s = 'now a longer text than before', f = 0,"
        " x = 9.5 WHERE rowid = 1",
        "UPDATE t SET s = 'short' WHERE rowid = 2", "UPDATE d SET v = '[7]' WHERE id = 'b'"},
       {"t", "d"}},
      {"update refused", kTables, {"UPDATE t SET v = '[1, 2, 3]' WHERE rowid = 1"}, {"t"}},
      {"optimize",
       kFragmented,
       {"INSERT INTO t(t) VALUES ('optimize')", "SELECT count(*) FROM t_chunks",
        "SELECT rowid, chunk_id, chunk_offset FROM t_rowids ORDER BY 1"},
       {"t"}},
      {"delete",
       kTables,
       {"DELETE FROM t WHERE rowid = 2", "DELETE FROM t WHERE rowid = 3",
        "DELETE FROM d WHERE id = 'a'"},
       {"t", "d"}},
  });
}

// An IVF table before and after build-index: two partitions, two metadata columns (one of
// long texts) and rows in three clusters.
std::vector<std::string> IvfTables(bool built) {
  std::vector<std::string> setup = {
      "CREATE VIRTUAL TABLE t USING jix0(p integer partition key, v float[2] index=ivf lists=3 "
      "probes=1, n integer, s text, +aux text, chunk_size=8)",
      "WITH RECURSIVE g(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM g WHERE i < 30) "
      "INSERT INTO t(rowid, p, v, n, s, aux) SELECT i, i % 2, json_array((i % 3) * 50 + i % 5, "
      "i % 7), i % 3, CASE WHEN i % 4 = 0 THEN 'a text longer than twelve bytes' ELSE 's' END, "
      "'x' FROM g",
  };
  if (built) setup.push_back("INSERT INTO t(t) VALUES ('build-index')");
  return setup;
}

TEST_F(OomSweep, Jix0IvfIndex) {
  const std::vector<std::string> unbuilt = IvfTables(false), built = IvfTables(true);
  std::vector<std::string> plain = unbuilt;
  plain[0].replace(plain[0].find(" index=ivf lists=3 probes=1"), 27, "");
  const std::string layout =
      "SELECT r.rowid, ch.list, ch.partition00 FROM t_rowids r JOIN t_chunks ch USING (chunk_id) "
      "ORDER BY 1";
  Sweep({
      {"build-index",
       unbuilt,
       {"INSERT INTO t(t) VALUES ('build-index')", layout,
        "SELECT list, hex(centroid) FROM t_ivfcentroids"},
       {"t"}},
      {"insert and update after build",
       built,
       {"INSERT INTO t(rowid, p, v, n, s, aux) VALUES (100, 1, '[101, 3]', 5, 'a long text "
        "once more', 'y')",
        "UPDATE t SET v = '[1, 1]' WHERE rowid = 100", "DELETE FROM t WHERE rowid = 3", layout},
       {"t"}},
      {"build-index on a plain table, then drop-index",
       plain,
       {"INSERT INTO t(t) VALUES ('build-index lists=3 probes=1')", layout,
        "SELECT key, value FROM t_info WHERE key IN ('IVF_COLUMN', 'IVF_LISTS', 'IVF_PROBES')",
        "SELECT rowid, distance FROM t WHERE v MATCH '[0, 0]' AND k = 5",
        "SELECT lists, probes, rows_in_lists, largest_list FROM jix_index_info('t')",
        "INSERT INTO t(t) VALUES ('drop-index')", layout},
       {"t"}},
      {"probed search",
       built,
       {"SELECT rowid, distance FROM t WHERE v MATCH '[0, 0]' AND k = 5",
        "SELECT rowid, distance FROM t WHERE v MATCH '[0, 0]' AND k = 5 AND n = 2 AND p = 1",
        "SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 3 AND probes = 3"},
       {"t"}},
  });
}

}  // namespace
