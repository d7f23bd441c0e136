// Allocation failures in the vector toolkit: fail allocation 1, 2, 3, ... of each statement
// and accept only the normal result or an out-of-memory report, with every byte given back.
#include <sqlite3.h>

#include <gtest/gtest.h>
#include <string>
#include <utility>

#include "support/fault_injection.h"
#include "support/test_db.h"

namespace {

using VectorToolkitOom = AllocationFaultTest;

bool g_fired = false;  // whether the last run reached its fault

struct Outcome {
  int rc;
  std::string text;  // rows as TestDb::Query renders them, or the error message
};

// Prepares sql, then runs it with allocation number failAt failing (0: none).
Outcome RunWithFault(sqlite3* db, const char* sql, int failAt) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  if (rc != SQLITE_OK) return {rc, sqlite3_errmsg(db)};
  if (failAt > 0) AllocationFaults::Arm(failAt, false);
  std::string rows;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    AllocationFaults::Pause pause;  // rendering is the test's own work
    if (!rows.empty()) rows += "\n";
    rows += RenderRow(stmt);
  }
  g_fired = AllocationFaults::Disarm() > 0;
  Outcome out{rc == SQLITE_DONE ? SQLITE_OK : rc, rc == SQLITE_DONE ? rows : sqlite3_errmsg(db)};
  sqlite3_finalize(stmt);
  return out;
}

TEST_F(VectorToolkitOom, EveryFailureIsReportedAndNothingLeaks) {
  struct Case {
    const char* sql;
    // Parse failures inside jix_each's filter surface as SQLite's generic SQLITE_ERROR text,
    // and ensure_vector_match reports a failed parse as SQLITE_ERROR with its own prefix.
    bool errorAllowed;
  };
  const Case cases[] = {
      {"SELECT jix_length('[1, 2, 3]'), jix_type(jix_int8('[1]'))", false},
      {"SELECT jix_to_json('[1, 2.5, nan]'), jix_to_json(jix_int8('[1, -2]')), "
       "jix_to_json(jix_bit(X'01'))",
       false},
      {"SELECT jix_f32('[1, 2]'), jix_f32(X'0000803F'), jix_bit(X'FF'), jix_int8('[3, 4]')", false},
      {"SELECT jix_add('[1, 2]', '[3, 4]'), jix_sub(jix_int8('[1]'), jix_int8('[2]'))", true},
      {"SELECT jix_slice('[1, 2, 3]', 1, 3), jix_slice(jix_bit(X'0102'), 8, 16)", false},
      {"SELECT jix_normalize('[3, 4]')", false},
      {"SELECT jix_quantize_int8('[0.5, -0.5]', 'unit'), "
       "jix_quantize_binary('[1,-1,0,2,-3,4,0.5,-0.5]')",
       false},
      {"SELECT rowid, value FROM jix_each('[1, 2]')", true},
      {"SELECT rowid, value FROM jix_each(jix_int8('[1, 2]'))", true},
      {"WITH v(x) AS (VALUES (X'01'), (X'0280')) SELECT value FROM v, jix_each(jix_bit(v.x))",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    Outcome expected;
    {
      TestDb db;
      expected = RunWithFault(db.db(), c.sql, 0);
    }
    ASSERT_EQ(expected.rc, SQLITE_OK) << expected.text;
    for (int failAt = 1; failAt < 500; failAt++) {
      SCOPED_TRACE("failing allocation " + std::to_string(failAt));
      sqlite3_int64 before = sqlite3_memory_used();
      Outcome got;
      {
        TestDb db;
        got = RunWithFault(db.db(), c.sql, failAt);
      }
      EXPECT_EQ(sqlite3_memory_used(), before);
      if (!g_fired) {
        EXPECT_EQ(got.rc, SQLITE_OK);
        EXPECT_EQ(got.text, expected.text);
        break;
      }
      if (got.rc == SQLITE_OK) {
        EXPECT_EQ(got.text, expected.text);  // the failure was absorbed without changing the result
      } else if (got.rc != SQLITE_NOMEM && got.text.find("out of memory") == std::string::npos) {
        EXPECT_TRUE(c.errorAllowed) << got.rc << ": " << got.text;
        EXPECT_EQ(got.rc, SQLITE_ERROR) << got.text;
      }
    }
  }
}

}  // namespace
