// Out-of-memory injection: every allocation of a workload is failed in turn.
//
// SQLite's allocator is replaced before initialisation with one that fails the Nth
// allocation and every one after it. Each workload runs on a fresh database for
// N = 1, 2, ... until it completes without reaching the fault. After every run the failing
// statement must have reported an error (or produced exactly the fault-free result), the
// database must pass integrity_check and the jix0 storage-invariant checker, and closing it
// must return every byte to the allocator.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "extension/entry.h"
#include "support/invariants.h"
#include "support/test_db.h"

namespace {

sqlite3_mem_methods g_default;
long g_countdown = 0;  // allocations left before the fault; 0 when disarmed
long g_failures = 0;   // allocations refused since arming

bool ShouldFail() {
  if (g_countdown == 0) return false;
  if (g_countdown > 1) {
    g_countdown--;
    return false;
  }
  g_failures++;
  return true;
}

void* FaultMalloc(int n) { return ShouldFail() ? nullptr : g_default.xMalloc(n); }
void* FaultRealloc(void* p, int n) { return ShouldFail() ? nullptr : g_default.xRealloc(p, n); }

void Arm(long n) {
  g_countdown = n;
  g_failures = 0;
}
long Disarm() {
  g_countdown = 0;
  return g_failures;
}

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
        // Reading the row back (text conversions) is the harness's work, not the workload's.
        long saved = g_countdown;
        g_countdown = 0;
        outcome.text += RenderRow(stmt) + "\n";
        g_countdown = saved;
      }
      if (rc == SQLITE_DONE) rc = SQLITE_OK;
    }
    if (rc != SQLITE_OK) {
      outcome.rc = rc;
      outcome.text = sqlite3_errmsg(db);
      sqlite3_finalize(stmt);
      return outcome;
    }
    sqlite3_finalize(stmt);
  }
  return outcome;
}

// Rows of sql, newline-separated, or its error.
std::string TestQuery(sqlite3* db, const char* sql) {
  Outcome o = RunStatements(db, {sql});
  std::string text = o.text;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

struct Workload {
  const char* name;
  std::vector<std::string> setup;      // runs without faults
  std::vector<std::string> statements;  // runs under fault injection
  std::vector<std::string> tables;      // jix0 tables whose invariants must hold afterwards
  bool loadsNumpy = false;
  bool loadsStaticBlobs = false;
};

sqlite3* OpenDb(const Workload& w) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_jix_init(db, &error, nullptr), SQLITE_OK);
  if (w.loadsNumpy) {
    EXPECT_EQ(sqlite3_jix_numpy_init(db, &error, nullptr), SQLITE_OK);
  }
  if (w.loadsStaticBlobs) {
    EXPECT_EQ(sqlite3_jix_static_blobs_init(db, &error, nullptr), SQLITE_OK);
  }
  Outcome setup = RunStatements(db, w.setup);
  EXPECT_EQ(setup.rc, SQLITE_OK) << setup.text;
  return db;
}

// Runs w under fault injection at every allocation; returns the number of fault points tried.
long SweepFaults(const Workload& w) {
  sqlite3_int64 baseline = sqlite3_memory_used();
  sqlite3* db = OpenDb(w);
  // Some workloads end in an error of their own; under faults they must still fail.
  Outcome reference = RunStatements(db, w.statements);
  sqlite3_close(db);

  long n = 1;
  for (;; n++) {
    SCOPED_TRACE(std::string(w.name) + ", failing allocation " + std::to_string(n));
    db = OpenDb(w);
    Arm(n);
    Outcome outcome = RunStatements(db, w.statements);
    long failures = Disarm();
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
    EXPECT_EQ(TestQuery(db, "PRAGMA integrity_check"), "ok");
    for (const std::string& t : w.tables) EXPECT_EQ(CheckJix0Invariants(db, t), "") << t;
    EXPECT_EQ(sqlite3_close(db), SQLITE_OK);
    EXPECT_EQ(sqlite3_memory_used(), baseline) << "memory not returned";
    if (::testing::Test::HasFailure()) break;
  }
  return n;
}

#include "oom/oom_workloads.inc"

}  // namespace

int main(int argc, char** argv) {
  sqlite3_config(SQLITE_CONFIG_GETMALLOC, &g_default);
  sqlite3_mem_methods methods = g_default;
  methods.xMalloc = FaultMalloc;
  methods.xRealloc = FaultRealloc;
  sqlite3_config(SQLITE_CONFIG_MALLOC, &methods);
  // Lookaside would serve small allocations without asking the allocator.
  sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 0, 0);
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 1);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
