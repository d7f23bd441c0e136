// KNN with helper threads (PRAGMA threads = N): the answer, distances and tie order are the
// ones without helpers, bit for bit, for every element type and metric and with every kind
// of filter; damage met while helpers are busy is reported as without them. The scans here
// pass the size at which helpers start (1 MiB of vectors) well before their end.
#include <bit>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

#include "support/test_db.h"

namespace {

// Rows as "rowid:distance bits" lines, or the error message.
std::string Answer(sqlite3* db, const std::string& sql, const std::vector<unsigned char>& query) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    return sqlite3_errmsg(db);
  }
  sqlite3_bind_blob(stmt, 1, query.data(), (int)query.size(), SQLITE_TRANSIENT);
  std::string out;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    out += std::to_string(sqlite3_column_int64(stmt, 0)) + ":" +
           std::to_string(std::bit_cast<uint64_t>(sqlite3_column_double(stmt, 1))) + "\n";
  }
  if (rc != SQLITE_DONE) out = sqlite3_errmsg(db);
  sqlite3_finalize(stmt);
  return out;
}

struct Column {
  const char* declaration;
  const char* wrap;  // a raw vector BLOB as a value of the column's type, N for the parameter
  int bytes;         // per vector
  bool isFloat;
  int chunkSize;
};

// Elements from a few values only, so that many distances tie.
std::vector<unsigned char> Vector(std::mt19937& rng, const Column& c) {
  std::vector<unsigned char> out((size_t)c.bytes);
  std::uniform_int_distribution<int> pick(-1, 1);
  if (c.isFloat) {
    for (int i = 0; i < c.bytes / 4; i++) {
      float f = (float)pick(rng);
      memcpy(&out[(size_t)i * 4], &f, 4);
    }
  } else {
    for (unsigned char& b : out) b = (unsigned char)(signed char)pick(rng);
  }
  return out;
}

std::string Param(const Column& c, int n) {
  std::string out = c.wrap;
  out.replace(out.find('N'), 1, std::to_string(n));
  return out;
}

void Fill(TestDb& db, const Column& c, int rows, std::mt19937& rng) {
  db.Exec(std::string("CREATE VIRTUAL TABLE t USING jix0(") + c.declaration +
          ", p integer partition key, n integer, chunk_size=" + std::to_string(c.chunkSize) + ")");
  sqlite3_stmt* insert = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db.db(),
                               (std::string("INSERT INTO t(rowid, v, p, n) VALUES (?1, ") +
                                Param(c, 2) + ", ?1 % 2, ?1 % 5)")
                                   .c_str(),
                               -1, &insert, nullptr),
            SQLITE_OK);
  db.Exec("BEGIN");
  for (int r = 1; r <= rows; r++) {
    std::vector<unsigned char> v = Vector(rng, c);
    sqlite3_bind_int(insert, 1, r);
    sqlite3_bind_blob(insert, 2, v.data(), (int)v.size(), SQLITE_TRANSIENT);
    ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE) << sqlite3_errmsg(db.db());
    sqlite3_reset(insert);
  }
  db.Exec("COMMIT");
  sqlite3_finalize(insert);
}

const Column kColumns[] = {
    {"v float[256]", "?N", 1024, true, 1024},  // six pieces a chunk
    {"v float[256] distance_metric=l1", "?N", 1024, true, 64},
    {"v float[256] distance_metric=cosine", "?N", 1024, true, 64},
    {"v int8[1024]", "jix_int8(?N)", 1024, false, 64},
    {"v int8[1024] distance_metric=l1", "jix_int8(?N)", 1024, false, 64},
    {"v int8[1024] distance_metric=cosine", "jix_int8(?N)", 1024, false, 64},
    {"v bit[8192]", "jix_bit(?N)", 1024, false, 64},
    {"v float[1024]", "?N", 4096, true, 8},  // one byte of bitmap a chunk
};

TEST(Jix0KnnThreads, AnswersEqualTheSearchWithoutHelpers) {
  const int kRows = 3000;  // about 3 MiB of vectors
  std::mt19937 rng(18);
  for (const Column& c : kColumns) {
    SCOPED_TRACE(c.declaration);
    TestDb db;
    Fill(db, c, kRows, rng);
    std::string match = "SELECT rowid, distance FROM t WHERE v MATCH " + Param(c, 1);
    std::vector<unsigned char> query = Vector(rng, c);
    // A bound that keeps about half the rows: the median distance of the unfiltered answer.
    std::string all = Answer(db.db(), match + " AND k = " + std::to_string(kRows), query);
    size_t line = 0;
    for (int i = 0; i < kRows / 2; i++) line = all.find('\n', line) + 1;
    size_t colon = all.find(':', line);
    double median =
        std::bit_cast<double>(std::stoull(all.substr(colon + 1, all.find('\n', line) - colon - 1)));
    const std::string bound = std::to_string(median);
    const std::string filters[] = {
        " AND k = 10",
        " AND k = 100",
        " AND k = 4096",
        " AND k = 20 AND n = 3",
        " AND k = 20 AND n IN (1, 4)",
        " AND k = 20 AND p = 1",
        " AND k = 20 AND rowid IN (5, 17, 640, 1111, 1999, 2048, 2500, 2999, 3000, 77777)",
        " AND k = 50 AND distance < " + bound,
        " AND k = 50 AND distance >= " + bound + " AND n != 2",
    };
    for (const std::string& filter : filters) {
      SCOPED_TRACE(filter);
      db.Exec("PRAGMA threads = 0");
      std::string expected = Answer(db.db(), match + filter, query);
      ASSERT_NE(expected, "");
      for (int threads : {1, 2, 3}) {
        SCOPED_TRACE(threads);
        db.Exec("PRAGMA threads = " + std::to_string(threads));
        EXPECT_EQ(Answer(db.db(), match + filter, query), expected);
      }
      // With the chunk cache holding all of the table, and about half of it (the rest read
      // through BLOBs): the query that fills it, and the next, served from it.
      for (const char* budget : {"1 << 30", "1 << 20"}) {
        db.Query(std::string("SELECT jix_cache_size(") + budget + ")");
        for (int threads : {0, 2}) {
          SCOPED_TRACE(std::string("cache ") + budget + ", threads " + std::to_string(threads));
          db.Exec("PRAGMA threads = " + std::to_string(threads));
          EXPECT_EQ(Answer(db.db(), match + filter, query), expected);
          EXPECT_EQ(Answer(db.db(), match + filter, query), expected);
        }
        db.Query("SELECT jix_cache_size(0)");
      }
    }
  }
}

TEST(Jix0KnnThreads, DamageWhileHelpersAreBusyIsReportedAsWithoutThem) {
  const Column c = {"v float[256]", "?N", 1024, true, 64};
  struct Damage {
    const char* sql;
    const char* expected;
  };
  // Chunk 40 of 47 is met long after the helpers have started.
  const Damage cases[] = {
      {"UPDATE t_vector_chunks00 SET vectors = X'0000' WHERE rowid = 40",
       "vectors blob size doesn't match - expected 65536, found 2"},
      {"DELETE FROM t_vector_chunks00 WHERE rowid = 40",
       "could not open vectors blob for chunk 40"},
      {"UPDATE t_chunks SET validity = X'00' WHERE rowid = 40",
       "chunk validity size doesn't match - expected 8, found 1"},
  };
  for (const Damage& d : cases) {
    SCOPED_TRACE(d.sql);
    std::mt19937 rng(40);
    TestDb db;
    Fill(db, c, 3000, rng);
    db.Exec(d.sql);
    for (int threads : {0, 1, 2}) {
      db.Exec("PRAGMA threads = " + std::to_string(threads));
      EXPECT_EQ(Answer(db.db(), "SELECT rowid, distance FROM t WHERE v MATCH ?1 AND k = 5",
                       Vector(rng, c)),
                d.expected)
          << "threads " << threads;
    }
  }
}

}  // namespace
