// KNN search: distances equal to the SQL distance functions bit for bit, results equal to a
// brute-force reference (filters, partitions, ties and their order) before and after
// reopening the database, the k and query-vector checks, NaN ordering, and damaged storage.
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "support/subtype_probe.h"
#include "support/test_db.h"

namespace {

struct Row {
  sqlite3_int64 rowid;
  double distance;  // column 1
  double extra;     // column 2, when the query has one
  bool operator==(const Row& o) const {
    return rowid == o.rowid &&
           std::bit_cast<uint64_t>(distance) == std::bit_cast<uint64_t>(o.distance);
  }
};

std::ostream& operator<<(std::ostream& os, const Row& r) {
  return os << "{" << r.rowid << ", " << r.distance << "}";
}

// Runs sql with ?1 bound to query; fails the test on error.
std::vector<Row> Rows(sqlite3* db, const std::string& sql,
                      const std::vector<unsigned char>& query) {
  sqlite3_stmt* stmt = nullptr;
  std::vector<Row> rows;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db);
    return rows;
  }
  sqlite3_bind_blob(stmt, 1, query.data(), (int)query.size(), SQLITE_TRANSIENT);
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    Row row{sqlite3_column_int64(stmt, 0), 0, 0};
    if (sqlite3_column_count(stmt) > 1) row.distance = sqlite3_column_double(stmt, 1);
    if (sqlite3_column_count(stmt) > 2) row.extra = sqlite3_column_double(stmt, 2);
    rows.push_back(row);
  }
  if (rc != SQLITE_DONE) ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db);
  sqlite3_finalize(stmt);
  return rows;
}

void InsertVector(sqlite3* db, const std::string& sql, sqlite3_int64 rowid,
                  const std::vector<unsigned char>& vector) {
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_bind_int64(stmt, 1, rowid);
  sqlite3_bind_blob(stmt, 2, vector.data(), (int)vector.size(), SQLITE_TRANSIENT);
  EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE) << sqlite3_errmsg(db);
  sqlite3_finalize(stmt);
}

struct MetricCase {
  const char* declaration;  // the vector column
  int subtype;
  const char* function;
  int dimensions;
};

std::vector<unsigned char> RandomVector(std::mt19937& rng, const MetricCase& c) {
  std::vector<unsigned char> out;
  if (c.subtype == 223) {
    std::normal_distribution<float> normal;
    std::uniform_int_distribution<int> scale(-3, 3);
    std::vector<float> values(c.dimensions);
    for (float& v : values) v = normal(rng) * std::pow(10.0f, (float)scale(rng));
    return Float32Blob(values);
  }
  std::uniform_int_distribution<int> byte(0, 255);
  int bytes = c.subtype == 224 ? c.dimensions / 8 : c.dimensions;
  for (int i = 0; i < bytes; i++) out.push_back((unsigned char)byte(rng));
  return out;
}

TEST(Jix0Knn, DistancesEqualTheSqlDistanceFunctionsBitForBit) {
  const MetricCase cases[] = {
      {"v float[19]", 223, "jix_distance_l2", 19},
      {"v float[19] distance_metric=l1", 223, "jix_distance_l1", 19},
      {"v float[19] distance_metric=cosine", 223, "jix_distance_cosine", 19},
      {"v int8[19]", 225, "jix_distance_l2", 19},
      {"v int8[19] distance_metric=l1", 225, "jix_distance_l1", 19},
      {"v int8[19] distance_metric=cosine", 225, "jix_distance_cosine", 19},
      {"v bit[72]", 224, "jix_distance_hamming", 72},
      {"v bit[128]", 224, "jix_distance_hamming", 128},
  };
  std::mt19937 rng(20240607);
  for (const MetricCase& c : cases) {
    SCOPED_TRACE(c.declaration);
    TestDb db;
    ASSERT_EQ(RegisterTagProbe(db.db()), SQLITE_OK);
    db.Exec(std::string("CREATE VIRTUAL TABLE t USING jix0(") + c.declaration + ", chunk_size=8)");
    const int kRows = 43;  // six chunks, the last one partly filled
    for (int i = 1; i <= kRows; i++) {
      InsertVector(
          db.db(),
          "INSERT INTO t(rowid, v) VALUES (?1, tag(?2, " + std::to_string(c.subtype) + "))", i,
          RandomVector(rng, c));
    }
    std::string query = "tag(?1, " + std::to_string(c.subtype) + ")";
    std::vector<Row> rows = Rows(db.db(),
                                 "SELECT rowid, distance, " + std::string(c.function) + "(v, " +
                                     query + ") FROM t WHERE v MATCH " + query + " AND k = 100",
                                 RandomVector(rng, c));
    ASSERT_EQ(rows.size(), (size_t)kRows);
    for (size_t i = 0; i < rows.size(); i++) {
      // The search keeps 32-bit distances: the functions' double (L1 float32) or integer
      // (L1 int8) results are the same values before narrowing.
      double expected = (double)(float)rows[i].extra;
      EXPECT_EQ(std::bit_cast<uint64_t>(rows[i].distance), std::bit_cast<uint64_t>(expected))
          << "rowid " << rows[i].rowid;
      if (i > 0) {
        EXPECT_LE(rows[i - 1].distance, rows[i].distance);
      }
    }
  }
}

// A random table with partitions, metadata of every kind, long texts and many tied
// distances (vector elements from {0, 1, 2}).
constexpr const char* kItems =
    "CREATE VIRTUAL TABLE items USING jix0(p integer partition key, v float[3], flag boolean,"
    " n integer, x float, s text, chunk_size=8)";

const char* const kTexts[] = {"",
                              "a",
                              "ab",
                              "abc",
                              "twelve bytes",
                              "thirteen byte",
                              "a long text",
                              "a long text value one",
                              "a long text value two",
                              "zz"};

void FillItems(sqlite3* db, std::mt19937& rng) {
  char* error = nullptr;
  ASSERT_EQ(sqlite3_exec(db, kItems, nullptr, nullptr, &error), SQLITE_OK) << error;
  ASSERT_EQ(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db,
                               "INSERT INTO items(rowid, p, v, flag, n, x, s)"
                               " VALUES (?, ?, ?, ?, ?, ?, ?)",
                               -1, &stmt, nullptr),
            SQLITE_OK);
  std::uniform_int_distribution<int> element(0, 2), partition(1, 3), small(-3, 3), coin(0, 1),
      text(0, std::size(kTexts) - 1);
  const double floats[] = {0.5, 1.5, -2.25};
  for (int i = 0; i < 150; i++) {
    sqlite3_int64 rowid = i == 0 ? (sqlite3_int64)1 << 40 : 1 + i * 7;
    std::vector<unsigned char> v =
        Float32Blob({(float)element(rng), (float)element(rng), (float)element(rng)});
    sqlite3_bind_int64(stmt, 1, rowid);
    sqlite3_bind_int(stmt, 2, partition(rng));
    sqlite3_bind_blob(stmt, 3, v.data(), (int)v.size(), SQLITE_TRANSIENT);
    sqlite3_bind_int(stmt, 4, coin(rng));
    sqlite3_bind_int(stmt, 5, small(rng));
    sqlite3_bind_double(stmt, 6, floats[text(rng) % 3]);
    sqlite3_bind_text(stmt, 7, kTexts[text(rng)], -1, SQLITE_STATIC);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_DONE) << sqlite3_errmsg(db);
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
  ASSERT_EQ(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
}

struct KnnCase {
  const char* where;     // filters the search consumes whole, so SQLite can check them too
  const char* distance;  // distance bounds of the KNN query; the reference applies Keep()
  float low, high;
  bool lowInclusive, highInclusive;
  int k;
};

bool Keep(const KnnCase& c, float d) {
  bool aboveLow = c.lowInclusive ? d >= c.low : d > c.low;
  bool belowHigh = c.highInclusive ? d <= c.high : d < c.high;
  return aboveLow && belowHigh;
}

const KnnCase kKnnCases[] = {
    {"1", "", -1, 1e9, false, false, 10},
    {"1", "", -1, 1e9, false, false, 200},
    {"p = 2", "", -1, 1e9, false, false, 7},
    {"p != 2 AND n >= 0", "", -1, 1e9, false, false, 15},
    {"p > 1 AND p <= 3 AND flag = 1", "", -1, 1e9, false, false, 9},
    {"p < 3 AND p >= 2 AND flag != 1 AND x < 1.0", "", -1, 1e9, false, false, 9},
    {"flag = 0 AND n != 1 AND x >= 0.5 AND x <= 1.5", "", -1, 1e9, false, false, 30},
    {"n IN (1, -2, 3) AND x > -3.0", "", -1, 1e9, false, false, 12},
    {"n < 0 AND n > -3", "", -1, 1e9, false, false, 5},
    {"s IN ('abc', 'a long text value two', 'nope', 'twelve bytes')", "", -1, 1e9, false, false,
     20},
    {"s = 'a long text value one'", "", -1, 1e9, false, false, 20},
    {"s != 'a long text value one' AND s != ''", "", -1, 1e9, false, false, 20},
    {"s = 'thirteen byte'", "", -1, 1e9, false, false, 20},
    {"s > 'a long text'", "", -1, 1e9, false, false, 25},
    {"s >= 'a long text' AND s < 'abc'", "", -1, 1e9, false, false, 25},
    {"s <= 'ab'", "", -1, 1e9, false, false, 25},
    {"s < 'twelve bytes' AND s > 'a long text value one'", "", -1, 1e9, false, false, 25},
    {"rowid IN (1, 8, 15, 1099511627776, 36, 99999, 50, 57, 64)", "", -1, 1e9, false, false, 5},
    {"rowid IN (1099511627776, 2)", "", -1, 1e9, false, false, 5},
    {"1", " AND distance < 2.0", -1, 2.0f, false, false, 40},
    {"p = 1", " AND distance >= 1.0 AND distance <= 2.0", 1.0f, 2.0f, true, true, 40},
    {"s != 'zz'", " AND distance > 1.0", 1.0f, 1e9, false, false, 10},
};

// The reference: SQLite evaluates the filters on a full scan, the distance function gives
// the distance, and rows order by distance, then chunk, then slot from the highest.
std::vector<Row> BruteForce(sqlite3* db, const KnnCase& c, const std::vector<unsigned char>& q) {
  std::map<sqlite3_int64, std::pair<sqlite3_int64, sqlite3_int64>> position;
  sqlite3_stmt* stmt = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, "SELECT rowid, chunk_id, chunk_offset FROM items_rowids", -1,
                               &stmt, nullptr),
            SQLITE_OK);
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    position[sqlite3_column_int64(stmt, 0)] = {sqlite3_column_int64(stmt, 1),
                                               sqlite3_column_int64(stmt, 2)};
  }
  sqlite3_finalize(stmt);

  std::vector<Row> all =
      Rows(db, std::string("SELECT rowid, jix_distance_l2(v, ?1) FROM items WHERE ") + c.where, q);
  std::vector<std::tuple<float, sqlite3_int64, sqlite3_int64, sqlite3_int64>> keyed;
  for (const Row& r : all) {
    float d = (float)r.distance;
    if (!Keep(c, d)) continue;
    auto [chunk, slot] = position.at(r.rowid);
    keyed.emplace_back(d, chunk, -slot, r.rowid);
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<Row> out;
  for (size_t i = 0; i < keyed.size() && (int)i < c.k; i++) {
    out.push_back({std::get<3>(keyed[i]), (double)std::get<0>(keyed[i]), 0});
  }
  return out;
}

std::vector<Row> Knn(sqlite3* db, const KnnCase& c, const std::vector<unsigned char>& q) {
  return Rows(db,
              "SELECT rowid, distance FROM items WHERE v MATCH ?1 AND k = " + std::to_string(c.k) +
                  " AND (" + c.where + ")" + c.distance,
              q);
}

TEST(Jix0Knn, MatchesBruteForceWithFiltersAndTiesAlsoAfterReopening) {
  std::string path = testing::TempDir() + "jix0_knn_reopen_" + std::to_string(getpid()) + ".db";
  std::remove(path.c_str());
  std::mt19937 rng(7);
  std::vector<std::vector<unsigned char>> queries;
  std::uniform_int_distribution<int> element(0, 2);
  for (int i = 0; i < 4; i++) {
    queries.push_back(Float32Blob({(float)element(rng), (float)element(rng), 0.5f * i}));
  }

  std::vector<std::vector<Row>> before;
  {
    TestDb db(path.c_str());
    FillItems(db.db(), rng);
    for (const KnnCase& c : kKnnCases) {
      for (const auto& q : queries) {
        SCOPED_TRACE(std::string(c.where) + c.distance + " k=" + std::to_string(c.k));
        std::vector<Row> knn = Knn(db.db(), c, q);
        EXPECT_EQ(knn, BruteForce(db.db(), c, q));
        before.push_back(knn);
      }
    }
    // The reference is not trivially small: ties and several chunks per partition occur.
    EXPECT_GT(std::stoi(db.Query("SELECT count(*) FROM items_chunks")), 18);
  }
  {
    TestDb db(path.c_str());
    size_t i = 0;
    for (const KnnCase& c : kKnnCases) {
      for (const auto& q : queries) {
        SCOPED_TRACE(std::string("reopened: ") + c.where + c.distance);
        EXPECT_EQ(Knn(db.db(), c, q), before[i++]);
      }
    }
  }
  std::remove(path.c_str());
}

// The cells of a search's rows are read where the search found them; they must equal the
// row's values as a lookup by rowid finds them, across many chunks and in distance order.
TEST(Jix0Knn, ReturnedCellsEqualTheRowsValues) {
  TestDb db;
  std::mt19937 rng(11);
  FillItems(db.db(), rng);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(
      sqlite3_prepare_v2(db.db(),
                         "SELECT count(*), sum(o.p IS NOT s.p OR o.flag IS NOT s.flag OR "
                         "o.n IS NOT s.n OR o.x IS NOT s.x OR o.s IS NOT s.s) FROM "
                         "(SELECT rowid AS r, p, flag, n, x, s FROM items "
                         "WHERE v MATCH ?1 AND k = 150) AS s JOIN items AS o ON o.rowid = s.r",
                         -1, &stmt, nullptr),
      SQLITE_OK);
  std::vector<unsigned char> q = Float32Blob({1, 0, 2});
  sqlite3_bind_blob(stmt, 1, q.data(), (int)q.size(), SQLITE_STATIC);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW) << sqlite3_errmsg(db.db());
  EXPECT_EQ(sqlite3_column_int(stmt, 0), 150);
  EXPECT_EQ(sqlite3_column_int(stmt, 1), 0);
  sqlite3_finalize(stmt);
}

TEST(Jix0Knn, TiesOrderByChunkThenHighestSlot) {
  TestDb db;
  db.Exec("CREATE VIRTUAL TABLE t USING jix0(p integer partition key, v float[1], chunk_size=8)");
  // Chunk 1 (p = 1): rowids 1, 2, 3, 6..10; chunk 2 (p = 2): 4, 5; chunk 3 (p = 1): 11, 12.
  db.Exec(
      "INSERT INTO t(rowid, p, v) VALUES (1, 1, '[1]'), (2, 1, '[1]'), (3, 1, '[5]'),"
      " (4, 2, '[1]'), (5, 2, '[-1]')");
  db.Exec(
      "INSERT INTO t(rowid, p, v) VALUES (6, 1, '[9]'), (7, 1, '[9]'), (8, 1, '[9]'),"
      " (9, 1, '[9]'), (10, 1, '[9]'), (11, 1, '[-1]'), (12, 1, '[1]')");
  const SqlCase cases[] = {
      {"SELECT rowid FROM t WHERE v MATCH '[0]' AND k = 6", "2\n1\n5\n4\n12\n11"},
      {"SELECT rowid FROM t WHERE v MATCH '[0]' AND k = 3", "2\n1\n5"},
      // A rowid inequality is not the search's: SQLite applies it to the k rows found.
      {"SELECT rowid FROM t WHERE v MATCH '[0]' AND k = 2 AND p = 1 AND rowid != 2", "1"},
      // SQLite sorts again for ORDER BY, so the order among ties is its own.
      {"SELECT count(*) FROM (SELECT rowid FROM t WHERE v MATCH '[0]' AND k = 6"
       " ORDER BY distance)",
       "6"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

TEST(Jix0Knn, KAndQueryVectorChecks) {
  TestDb db;
  ASSERT_EQ(RegisterTagProbe(db.db()), SQLITE_OK);
  db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[2], b bit[8], chunk_size=8)");
  db.Exec(
      "INSERT INTO t(rowid, v, b) VALUES (1, '[1, 0]', tag(X'01', 224)),"
      " (2, '[2, 0]', tag(X'03', 224)), (3, '[3, 0]', tag(X'07', 224))");
  const SqlCase cases[] = {
      {"SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 0", ""},
      {"SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = NULL", ""},
      {"SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 1.7", "1"},
      {"SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 4096", "1\n2\n3"},
      {"SELECT rowid FROM t WHERE v MATCH X'0000803F00000000' AND k = 1", "1"},
      {"SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 4097",
       "k value in knn query too large, provided 4097 and the limit is 4096"},
      {"SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = -1",
       "k value in knn queries must be greater than or equal to 0."},
      {"SELECT rowid FROM t WHERE v MATCH 'abc' AND k = 1",
       "Query vector on the \"v\" column is invalid: JSON array parsing error: Input does not "
       "start with '['"},
      {"SELECT rowid FROM t WHERE v MATCH tag(X'0102', 225) AND k = 1",
       "Query vector for the \"v\" column is expected to be of type float32, but a int8 vector "
       "was provided."},
      {"SELECT rowid FROM t WHERE b MATCH '[1]' AND k = 1",
       "Query vector for the \"b\" column is expected to be of type bit, but a float32 vector "
       "was provided."},
      {"SELECT rowid FROM t WHERE v MATCH '[0, 0, 0]' AND k = 1",
       "Dimension mismatch for query vector for the \"v\" column. Expected 2 dimensions but "
       "received 3."},
      {"SELECT rowid, distance FROM t WHERE b MATCH tag(X'00', 224) AND k = 2", "1|1.0\n2|2.0"},
      // Rowid lists, distance bounds and k together.
      {"SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 5 AND rowid IN (3, 1, 77)", "1\n3"},
      {"SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 5 AND rowid IN (77, 78)", ""},
      {"SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 1 AND distance > 1", "2"},
      {"SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 5 AND distance >= 2 AND distance < 3",
       "2"},
      // NULL never satisfies a comparison, in SQL and here.
      {"SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 5 AND distance < NULL", ""},
      {"SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 5 AND rowid IN (1, NULL)", "1"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

// One key beside a MATCH restricts the search to that row, as a longer list does, whatever
// its distance: SQLite turns a one-value IN list into `=`.
TEST(Jix0Knn, OneKeyRestrictsTheSearch) {
  TestDb db;
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0(v float[2], chunk_size=8);"
      "CREATE VIRTUAL TABLE d USING jix0(id text primary key, v float[2], chunk_size=8)");
  for (int i = 1; i <= 20; i++) {
    db.Exec("INSERT INTO t(rowid, v) VALUES (" + std::to_string(i) + ", '[" + std::to_string(i) +
            ", 0]'); INSERT INTO d(id, v) VALUES ('r" + std::to_string(i) + "', '[" +
            std::to_string(i) + ", 0]')");
  }
  const SqlCase cases[] = {
      {"SELECT rowid, distance FROM t WHERE v MATCH '[0, 0]' AND k = 1 AND rowid = 15", "15|15.0"},
      {"SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 3 AND rowid IN (15)", "15"},
      {"SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 3 AND rowid = '15'", "15"},
      {"SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 3 AND rowid = 99", ""},
      {"SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 3 AND rowid = NULL", ""},
      {"SELECT id, distance FROM d WHERE v MATCH '[0, 0]' AND k = 1 AND id = 'r15'", "r15|15.0"},
      {"SELECT id FROM d WHERE v MATCH '[0, 0]' AND k = 3 AND id IN ('r15')", "r15"},
      {"SELECT id FROM d WHERE v MATCH '[0, 0]' AND k = 3 AND id = 'nope'", ""},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

TEST(Jix0Knn, NanDistancesOrderAfterEveryRealDistance) {
  TestDb db;
  db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[2] distance_metric=cosine, chunk_size=8)");
  db.Exec(
      "INSERT INTO t(rowid, v) VALUES (1, '[0, 0]'), (2, '[1, 0]'), (3, '[0, 1]'), (4, '[0, 0]'),"
      " (5, '[-1, 0]')");
  const SqlCase cases[] = {
      {"SELECT rowid, distance FROM t WHERE v MATCH '[1, 0]' AND k = 5",
       "2|0.0\n3|1.0\n5|2.0\n4|NULL\n1|NULL"},
      {"SELECT rowid FROM t WHERE v MATCH '[1, 0]' AND k = 3", "2\n3\n5"},
      {"SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 2", "5\n4"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

TEST(Jix0Knn, DamagedStorageIsReportedNotTrusted) {
  struct Damage {
    const char* sql;
    const char* query;
    const char* expected;
  };
  const char* kKnn = "SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 3";
  const char* kKnnFiltered = "SELECT rowid FROM t WHERE v MATCH '[0, 0]' AND k = 3 AND s = 'x'";
  const Damage cases[] = {
      {"UPDATE t_chunks SET validity = X'0300'", kKnn,
       "chunk validity size doesn't match - expected 1, found 2"},
      {"UPDATE t_chunks SET rowids = X'01'", kKnn,
       "chunk rowids size doesn't match - expected 64, found 1"},
      {"UPDATE t_vector_chunks00 SET vectors = X'0000'", kKnn,
       "vectors blob size doesn't match - expected 64, found 2"},
      {"DELETE FROM t_vector_chunks00", kKnn, "could not open vectors blob for chunk 1"},
      {"DELETE FROM t_metadatachunks00", kKnnFiltered, "Could not open metadata blob"},
      {"UPDATE t_metadatachunks00 SET data = X'00'", kKnnFiltered,
       "jix0: could not filter on metadata column \"s\" of t: chunk 1 of main.t_metadatachunks00 "
       "is "
       "missing or damaged"},
      {"DROP TABLE t_chunks", kKnn, "Error preparing stmtChunk: no such table: main.t_chunks"},
      // Stepping the chunks fails on its second row (the first has no candidate).
      {"DROP TABLE t_chunks; CREATE VIEW t_chunks AS SELECT 1 AS chunk_id, X'00' AS validity,"
       " CAST(X'01000000000000000200000000000000' || zeroblob(48) AS BLOB) AS rowids UNION ALL"
       " SELECT abs(-9223372036854775808), X'00', zeroblob(64)",
       kKnn, "jix0: could not list the chunks of t in main.t_chunks: integer overflow"},
      // Rowids are read through a BLOB handle only for chunks that need them; a view has none.
      {"DROP TABLE t_chunks; CREATE VIEW t_chunks AS SELECT 1 AS chunk_id, X'03' AS validity,"
       " CAST(X'01000000000000000200000000000000' || zeroblob(48) AS BLOB) AS rowids",
       kKnn, "Internal sqlite-jix error: could not read the rowids of chunk 1"},
  };
  for (const Damage& c : cases) {
    SCOPED_TRACE(c.sql);
    TestDb db;
    db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[2], s text, chunk_size=8)");
    db.Exec("INSERT INTO t(rowid, v, s) VALUES (1, '[1, 0]', 'x'), (2, '[2, 0]', 'y')");
    db.Exec(c.sql);
    EXPECT_EQ(db.Query(c.query), c.expected);
  }
}

TEST(Jix0Knn, VectorsThatCannotBeReadAreReported) {
  // A vectors BLOB longer than a page continues on overflow pages; breaking the chain of
  // pages in the file makes the read fail while the BLOB still opens.
  std::string path = testing::TempDir() + "jix0_knn_corrupt_" + std::to_string(getpid()) + ".db";
  std::remove(path.c_str());
  int page = 0;
  {
    TestDb db(path.c_str());
    db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[512], chunk_size=8)");
    EXPECT_EQ(db.QueryWithBlobs("INSERT INTO t(rowid, v) VALUES (1, ?)",
                                {Float32Blob(std::vector<float>(512, 1.0f))}),
              "");
    page =
        std::stoi(db.Query("SELECT min(pageno) FROM dbstat WHERE name = 't_vector_chunks00' AND "
                           "pagetype = 'overflow'"));
    ASSERT_EQ(db.Query("PRAGMA page_size"), "4096");
  }
  FILE* file = fopen(path.c_str(), "r+b");
  ASSERT_NE(file, nullptr);
  const unsigned char kNoSuchPage[4] = {0x7F, 0xFF, 0xFF, 0xFF};  // next overflow page
  fseek(file, (long)(page - 1) * 4096, SEEK_SET);
  fwrite(kNoSuchPage, 1, sizeof(kNoSuchPage), file);
  fclose(file);
  {
    TestDb db(path.c_str());
    EXPECT_EQ(db.QueryWithBlobs("SELECT rowid FROM t WHERE v MATCH ? AND k = 1",
                                {Float32Blob(std::vector<float>(512, 0.0f))}),
              "vectors blob read error for 1");
  }
  std::remove(path.c_str());
}

}  // namespace
