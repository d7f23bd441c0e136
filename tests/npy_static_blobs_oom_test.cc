// Allocation failures in NumPy input and static blobs: fail allocation 1, 2, 3, ... of each
// workload and accept only the fault-free result or an error, with every byte given back.
#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

#include "extension/entry.h"
#include "support/fault_injection.h"
#include "support/test_db.h"

namespace {

using NpyStaticBlobsOom = AllocationFaultTest;

bool g_fired = false;  // whether the last run reached its fault

struct Outcome {
  int rc;
  std::string text;
};

// Runs the setup statements without faults, then sql with allocation failAt failing (0: none).
Outcome RunWithFault(const std::vector<std::string>& setup, const std::string& sql, int failAt) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_jix_init(db, nullptr, nullptr), SQLITE_OK);
  EXPECT_EQ(sqlite3_jix_numpy_init(db, nullptr, nullptr), SQLITE_OK);
  EXPECT_EQ(sqlite3_jix_static_blobs_init(db, nullptr, nullptr), SQLITE_OK);
  for (const std::string& s : setup) {
    EXPECT_EQ(sqlite3_exec(db, s.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << s;
  }
  if (failAt > 0) AllocationFaults::Arm(failAt, false);
  Outcome out{SQLITE_OK, ""};
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
  if (rc == SQLITE_OK) {
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      AllocationFaults::Pause pause;  // rendering is the test's own work
      out.text += RenderRow(stmt) + "\n";
    }
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  g_fired = AllocationFaults::Disarm() > 0;
  if (rc != SQLITE_OK) out = {rc, sqlite3_errmsg(db)};
  sqlite3_finalize(stmt);
  EXPECT_EQ(sqlite3_close(db), SQLITE_OK);
  return out;
}

std::string HexLiteral(const std::vector<unsigned char>& bytes) {
  return "X'" + Hex(bytes.data(), (int)bytes.size()) + "'";
}

TEST_F(NpyStaticBlobsOom, EveryFailureIsReportedAndNothingLeaks) {
  std::string header = "{'descr': '<f4', 'fortran_order': False, 'shape': (5, 3), }";
  std::vector<unsigned char> npy = {
      0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0, (unsigned char)header.size(), 0};
  npy.reserve(npy.size() + header.size() + 15 * 4);  // also keeps GCC 12's -Warray-bounds quiet
  npy.insert(npy.end(), header.begin(), header.end());
  for (int i = 0; i < 15; i++) {
    float v = (float)i;
    unsigned char b[4];
    memcpy(b, &v, 4);
    npy.insert(npy.end(), b, b + 4);
  }
  std::string path = testing::TempDir() + "jix_oom_" + std::to_string((long)getpid()) + ".npy";
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_TRUE(f);
  fwrite(npy.data(), 1, npy.size(), f);
  fclose(f);

  static const float kData[6][2] = {{0, 0}, {1, 0}, {3, 0}, {0, 2}, {5, 5}, {0, 1}};
  const std::string raw = "jix_static_blob_from_raw(" +
                          std::to_string((long long)(uintptr_t)&kData[0][0]) + ", NULL, 2, 6)";
  const std::vector<std::string> registered = {
      "INSERT INTO jix_static_blobs(name, data) VALUES ('b', " + raw + ")",
      "CREATE VIRTUAL TABLE t USING jix_static_blob_entries(b)"};
  struct Case {
    std::vector<std::string> setup;
    std::string sql;
  };
  const Case cases[] = {
      {{}, "SELECT rowid, vector FROM jix_npy_each(" + HexLiteral(npy) + ")"},
      {{}, "SELECT rowid, vector FROM jix_npy_each(jix_npy_file('" + path + "'))"},
      {{}, "INSERT INTO jix_static_blobs(name, data) VALUES ('b', " + raw + ")"},
      {registered, "SELECT name, dimensions, count FROM jix_static_blobs"},
      {registered, "SELECT rowid, vector FROM t"},
      {registered, "SELECT rowid FROM t WHERE vector MATCH '[0.9, 0]' AND k = 3 ORDER BY distance"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    const sqlite3_int64 baseline = sqlite3_memory_used();
    const Outcome expected = RunWithFault(c.setup, c.sql, 0);
    ASSERT_EQ(expected.rc, SQLITE_OK) << expected.text;
    for (int failAt = 1;; failAt++) {
      Outcome got = RunWithFault(c.setup, c.sql, failAt);
      EXPECT_EQ(sqlite3_memory_used(), baseline) << "failAt=" << failAt;
      if (!g_fired) {
        EXPECT_EQ(got.text, expected.text);
        break;
      }
      if (got.rc != SQLITE_OK) {
        EXPECT_EQ(got.rc, SQLITE_NOMEM) << "failAt=" << failAt << ": " << got.rc << " " << got.text;
      } else {
        EXPECT_EQ(got.text, expected.text) << "failAt=" << failAt;
      }
    }
  }
  remove(path.c_str());
}

}  // namespace
