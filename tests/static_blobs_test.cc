// Static blobs, seen from a C host: the test owns float arrays, registers them by address
// through jix_static_blobs and reads and searches them through jix_static_blob_entries.
#include "table_functions/static_blobs.h"

#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

#include "extension/entry.h"
#include "support/subtype_probe.h"
#include "support/test_db.h"

namespace {

class StaticBlobDb : public TestDb {
 public:
  StaticBlobDb() {
    char* error = nullptr;
    EXPECT_EQ(sqlite3_jix_static_blobs_init(db(), &error, nullptr), SQLITE_OK);
    sqlite3_free(error);
    EXPECT_EQ(RegisterSubtypeProbe(db(), "subtype_of"), SQLITE_OK);
  }
  // Registers count vectors of dims floats at data under name; "" on success.
  std::string Register(const std::string& name, const float* data, long long dims,
                       long long count) {
    return Query("INSERT INTO jix_static_blobs(name, data) VALUES ('" + name +
                 "', jix_static_blob_from_raw(" + std::to_string((long long)(uintptr_t)data) +
                 ", NULL, " + std::to_string(dims) + ", " + std::to_string(count) + "))");
  }
};

// LIMIT reaches a virtual table beside a MATCH only from SQLite 3.41 on; older libraries
// leave the search without its count.
bool LimitReachesTheSearch() {
  return sqlite3_libversion_number() >= 3041000;
}

std::string VectorHex(const float* v, int dims) {
  return "X'" + Hex(v, dims * 4) + "'";
}

// Five vectors of four dimensions; their distances to kQuery are 2, 0, 4, 2 and 1.
const float kVectors[5][4] = {
    {2, 0, 0, 0}, {0, 0, 0, 0}, {0, 4, 0, 0}, {0, 0, -2, 0}, {0, 0, 0, 1},
};
const std::vector<float> kQuery = {0, 0, 0, 0};

TEST(StaticBlobs, RegisterListAndFullScan) {
  StaticBlobDb db;
  ASSERT_EQ(db.Register("emb", &kVectors[0][0], 4, 3), "");
  ASSERT_EQ(db.Register("all", &kVectors[0][0], 4, 5), "");
  EXPECT_EQ(db.Query("SELECT rowid, name, data, dimensions, count FROM jix_static_blobs"),
            "0|emb|NULL|4|3\n1|all|NULL|4|5");

  db.Exec("CREATE VIRTUAL TABLE t USING jix_static_blob_entries(emb)");
  std::string expected;
  for (int i = 0; i < 3; i++) {
    expected +=
        (i ? "\n" : "") + std::to_string(i) + "|" + VectorHex(kVectors[i], 4) + "|223|NULL|NULL";
  }
  EXPECT_EQ(db.Query("SELECT rowid, vector, subtype_of(vector), distance, k FROM t"), expected);
  // The vectors are read from host memory at query time, never copied.
  float live[2] = {1, 2};
  ASSERT_EQ(db.Register("live", live, 2, 1), "");
  db.Exec("CREATE VIRTUAL TABLE l USING jix_static_blob_entries(live)");
  live[1] = 5;
  EXPECT_EQ(db.Query("SELECT vector FROM l"), VectorHex(live, 2));
}

TEST(StaticBlobs, KnnOrdersByL2DistanceNearestFirst) {
  StaticBlobDb db;
  ASSERT_EQ(db.Register("five", &kVectors[0][0], 4, 5), "");
  db.Exec("CREATE VIRTUAL TABLE t USING jix_static_blob_entries(five)");
  const std::vector<unsigned char> q = Float32Blob(kQuery);
  struct Case {
    const char* sql;
    const char* expected;
  };
  // Ties (vectors 0 and 3, both at 2) come out highest index first.
  const Case cases[] = {
      {"SELECT rowid, distance FROM t WHERE vector MATCH ? AND k = 2 ORDER BY distance",
       "1|NULL\n4|NULL"},
      {"SELECT rowid FROM t WHERE vector MATCH ? AND k = 4 ORDER BY distance", "1\n4\n3\n0"},
      {"SELECT rowid FROM t WHERE vector MATCH ? AND k = 99 ORDER BY distance", "1\n4\n3\n0\n2"},
      {"SELECT rowid FROM t WHERE vector MATCH ? AND k = 0 ORDER BY distance", ""},
      {"SELECT vector FROM t WHERE vector MATCH ? AND k = 1 ORDER BY distance",
       "X'00000000000000000000000000000000'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.QueryWithBlobs(c.sql, {q}), c.expected);
  }
  if (LimitReachesTheSearch()) {
    EXPECT_EQ(db.QueryWithBlobs(
                  "SELECT rowid FROM t WHERE vector MATCH ? ORDER BY distance LIMIT 2", {q}),
              "1\n4");
  }
  // JSON query vectors work the same.
  EXPECT_EQ(db.Query("SELECT rowid FROM t WHERE vector MATCH '[0, 3.9, 0, 0]' AND k = 1 "
                     "ORDER BY distance"),
            "2");
}

// Over random data the search agrees with sorting every vector by jix_distance_l2, bit for
// bit: both use the same kernel. 37 vectors leave 3 padding slots in the last byte of the
// candidate bitmap, which must never be chosen.
TEST(StaticBlobs, KnnMatchesSortingByTheDistanceFunction) {
  StaticBlobDb db;
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> value(-1, 1);
  const int dims = 5, count = 37;
  std::vector<float> data(dims * count);
  for (float& x : data) x = value(rng);
  data[7 * dims + 2] = NAN;  // a NaN distance sorts after every real one
  ASSERT_EQ(db.Register("r", data.data(), dims, count), "");
  db.Exec("CREATE VIRTUAL TABLE t USING jix_static_blob_entries(r)");
  for (int trial = 0; trial < 5; trial++) {
    std::vector<float> query(dims);
    for (float& x : query) x = value(rng);
    const auto q = Float32Blob(query);
    std::string knn = db.QueryWithBlobs(
        "SELECT rowid FROM t WHERE vector MATCH ? AND k = 100 ORDER BY distance", {q});
    std::string sorted = db.QueryWithBlobs(
        "SELECT rowid FROM t ORDER BY jix_distance_l2(vector, ?1) IS NULL, "
        "jix_distance_l2(vector, ?1), rowid DESC",
        {q});
    EXPECT_EQ(knn, sorted);
    EXPECT_EQ(knn.substr(knn.rfind('\n') + 1), "7");
  }
}

TEST(StaticBlobs, KnnArgumentAndPlanErrors) {
  StaticBlobDb db;
  ASSERT_EQ(db.Register("five", &kVectors[0][0], 4, 5), "");
  db.Exec("CREATE VIRTUAL TABLE t USING jix_static_blob_entries(five)");
  const SqlCase cases[] = {
      // Query vectors of the wrong kind, and negative k, fail without a message of their own.
      {"SELECT rowid FROM t WHERE vector MATCH jix_int8('[0,0,0,0]') AND k = 1 ORDER BY distance",
       "SQL logic error"},
      {"SELECT rowid FROM t WHERE vector MATCH '[0,0,0]' AND k = 1 ORDER BY distance",
       "SQL logic error"},
      {"SELECT rowid FROM t WHERE vector MATCH 'abc' AND k = 1 ORDER BY distance",
       "SQL logic error"},
      {"SELECT rowid FROM t WHERE vector MATCH '[0,0,0,0]' AND k = -1 ORDER BY distance",
       "SQL logic error"},
      // Exactly one of k and LIMIT.
      {"SELECT rowid FROM t WHERE vector MATCH '[0,0,0,0]' ORDER BY distance", "SQL logic error"},
      {"SELECT rowid FROM t WHERE vector MATCH '[0,0,0,0]' AND k = 2 ORDER BY distance LIMIT 2",
       LimitReachesTheSearch() ? "SQL logic error" : "1\n4"},
      // Without one ascending ORDER BY distance no plan can evaluate the MATCH.
      {"SELECT rowid FROM t WHERE vector MATCH '[0,0,0,0]' AND k = 2", "no query solution"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

// SQLite drops the message of a plan refused with SQLITE_CONSTRAINT, so the ORDER BY
// messages are read straight off the table object by a module that forwards to
// jix_static_blob_entries and keeps what its xBestIndex left.
std::string gPlanMessage;

int ProbeBestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info) {
  int rc = jix_static_blob_entriesModule.xBestIndex(vtab, info);
  if (vtab->zErrMsg) gPlanMessage = vtab->zErrMsg;
  return rc;
}

TEST(StaticBlobs, OrderByMessages) {
  StaticBlobDb db;
  static_blob_registry registry = {};
  registry.slots[0] = {(char*)"five", (void*)&kVectors[0][0], 4, 5, 223};
  sqlite3_module probe = jix_static_blob_entriesModule;
  probe.xBestIndex = ProbeBestIndex;
  ASSERT_EQ(sqlite3_create_module_v2(db.db(), "probe", &probe, &registry, nullptr), SQLITE_OK);
  db.Exec("CREATE VIRTUAL TABLE p USING probe(five)");
  const SqlCase cases[] = {
      {"SELECT rowid FROM p WHERE vector MATCH '[0,0,0,0]' AND k = 2",
       "ORDER BY distance required"},
      {"SELECT rowid FROM p WHERE vector MATCH '[0,0,0,0]' AND k = 2 ORDER BY distance, vector",
       "more than 1 ORDER BY clause provided"},
      {"SELECT rowid FROM p WHERE vector MATCH '[0,0,0,0]' AND k = 2 ORDER BY vector",
       "ORDER BY must be on the distance column"},
      {"SELECT rowid FROM p WHERE vector MATCH '[0,0,0,0]' AND k = 2 ORDER BY distance DESC",
       "Only ascending in ORDER BY distance clause is supported, DESC is not supported yet."},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    gPlanMessage.clear();
    EXPECT_EQ(db.Query(c.sql), "no query solution");
    EXPECT_EQ(gPlanMessage, c.expected);
  }
  gPlanMessage.clear();
  EXPECT_EQ(
      db.Query("SELECT rowid FROM p WHERE vector MATCH '[0,0,0,0]' AND k = 1 ORDER BY distance"),
      "1");
  EXPECT_EQ(gPlanMessage, "");
  db.Exec("DROP TABLE p");
}

// The refusals: a full registry, a data value that is not a definition, names that are not
// registered, and definitions whose sizes cannot be addressed.
TEST(StaticBlobs, Refusals) {
  StaticBlobDb db;
  for (int i = 0; i < 16; i++) {
    ASSERT_EQ(db.Register("b" + std::to_string(i), &kVectors[0][0], 4, 5), "");
  }
  EXPECT_EQ(db.Register("b16", &kVectors[0][0], 4, 5),
            "jix_static_blobs: all 16 slots are taken, no more blobs can be registered");
  EXPECT_EQ(db.Query("SELECT count(*) FROM jix_static_blobs"), "16");

  StaticBlobDb fresh;
  const SqlCase cases[] = {
      {"INSERT INTO jix_static_blobs(name, data) VALUES ('x', X'0011')",
       "jix_static_blobs: the data value must be the result of jix_static_blob_from_raw()"},
      {"INSERT INTO jix_static_blobs(name) VALUES ('x')",
       "jix_static_blobs: the data value must be the result of jix_static_blob_from_raw()"},
      // A pointer value does not survive being stored.
      {"WITH d(v) AS MATERIALIZED (SELECT jix_static_blob_from_raw(64, NULL, 1, 1)) "
       "INSERT INTO jix_static_blobs(name, data) SELECT 'x', v FROM d",
       "jix_static_blobs: the data value must be the result of jix_static_blob_from_raw()"},
      {"SELECT jix_static_blob_from_raw(64, NULL, -1, 1)",
       "jix_static_blob_from_raw: dimensions and count must not be negative, found -1 and 1"},
      {"SELECT jix_static_blob_from_raw(64, NULL, 1, -5)",
       "jix_static_blob_from_raw: dimensions and count must not be negative, found 1 and -5"},
      {"SELECT jix_static_blob_from_raw(64, NULL, 1, 2147483641)",
       "jix_static_blob_from_raw: 2147483641 vectors of 1 dimensions are too many (at most "
       "2147483640 vectors, and their bytes must fit in 64 bits)"},
      {"SELECT jix_static_blob_from_raw(64, NULL, 4611686018427387904, 2)",
       "jix_static_blob_from_raw: 2 vectors of 4611686018427387904 dimensions are too many (at "
       "most 2147483640 vectors, and their bytes must fit in 64 bits)"},
      {"SELECT jix_static_blob_from_raw(NULL, NULL, 4, 1)",
       "jix_static_blob_from_raw: the address must not be 0 (NULL)"},
      // Registrations are never removed or changed.
      {"DELETE FROM jix_static_blobs", ""},
      {"INSERT INTO jix_static_blobs(name, data) VALUES (NULL, jix_static_blob_from_raw(0, NULL, "
       "0, 0))",
       ""},
      {"SELECT name, dimensions, count FROM jix_static_blobs", "|0|0"},
      {"DELETE FROM jix_static_blobs", "SQL logic error"},
      {"UPDATE jix_static_blobs SET name = 'y'", "SQL logic error"},
      // A table binds to the blob whose name equals its argument exactly; the empty name
      // registered above answers to no other name.
      {"CREATE VIRTUAL TABLE t USING jix_static_blob_entries(emb)",
       "jix_static_blob_entries: no static blob named \"emb\" is registered"},
      {"CREATE VIRTUAL TABLE t USING jix_static_blob_entries",
       "jix_static_blob_entries: the name of a registered static blob is required, as in CREATE "
       "VIRTUAL TABLE t USING jix_static_blob_entries(name)"},
      {"SELECT * FROM jix_static_blob_entries",
       "jix_static_blob_entries: the name of a registered static blob is required, as in CREATE "
       "VIRTUAL TABLE t USING jix_static_blob_entries(name)"},
      // The address-taking function never runs from a view, trigger or schema.
      {"CREATE VIEW v AS SELECT jix_static_blob_from_raw(64, NULL, 1, 1)", ""},
      {"SELECT * FROM v", "unsafe use of jix_static_blob_from_raw()"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(fresh.Query(c.sql), c.expected);
  }

  ASSERT_EQ(fresh.Register("emb", &kVectors[0][0], 4, 1), "");
  ASSERT_EQ(fresh.Register("emb", &kVectors[1][0], 4, 1), "");
  EXPECT_EQ(fresh.Query("CREATE VIRTUAL TABLE t USING jix_static_blob_entries(emb2)"),
            "jix_static_blob_entries: no static blob named \"emb2\" is registered");
  EXPECT_EQ(fresh.Query("CREATE VIRTUAL TABLE t USING jix_static_blob_entries(em)"),
            "jix_static_blob_entries: no static blob named \"em\" is registered");
  // The same name twice: the lowest slot wins.
  fresh.Exec("CREATE VIRTUAL TABLE t USING jix_static_blob_entries(emb)");
  EXPECT_EQ(fresh.Query("SELECT vector FROM t"), VectorHex(kVectors[0], 4));
}

}  // namespace
