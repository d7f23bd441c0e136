// Fuzzes a table with an IVF index: each input may first write a row (insert, update, delete,
// kept the same in a plain mirror table) or rebuild the index, then runs a KNN query with
// random k, probes, partition, metadata and distance filters. Every answer is checked against
// a brute-force scan of the mirror: min(k, matching rows) rows (the search widens until it has
// them), each passing the filters, with the SQL function's distance, in ascending order; when
// probes covers every list, also none nearer left out (the exact search). A violation aborts,
// which the fuzzer reports.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

constexpr int kDims = 3;
constexpr int kMaxRows = 150;

void Exec(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    fprintf(stderr, "setup failed: %s: %s\n", sql.c_str(), error ? error : "");
    abort();
  }
}

// Writes the same row into the indexed table and its mirror.
void WriteRow(sqlite3* db, const char* verb, long long id, int part, int n, const float* v) {
  for (const char* sql :
       {"INSERT INTO t(rowid, part, n, v) VALUES (?1, ?2, ?3, ?4)",
        "INSERT INTO m(id, part, n, v) VALUES (?1, ?2, ?3, ?4)",
        "UPDATE t SET v = ?4 WHERE rowid = ?1", "UPDATE m SET v = ?4 WHERE id = ?1"}) {
    bool isInsert = strncmp(sql, "INSERT", 6) == 0;
    if (isInsert != (strcmp(verb, "insert") == 0)) continue;
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    sqlite3_bind_int64(stmt, 1, id);
    sqlite3_bind_int(stmt, 2, part);
    sqlite3_bind_int(stmt, 3, n);
    sqlite3_bind_blob(stmt, 4, v, sizeof(float) * kDims, SQLITE_TRANSIENT);
    int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) {
      fprintf(stderr, "%s failed: %s\n", sql, sqlite3_errmsg(db));
      abort();
    }
  }
}

// Rows in clusters around a few centres, so that lists differ.
void RandomVector(unsigned* seed, float* v) {
  *seed = *seed * 1103515245 + 12345;
  int centre = (int)((*seed >> 16) % 5);
  for (int d = 0; d < kDims; d++) {
    *seed = *seed * 1103515245 + 12345;
    v[d] = (float)(centre * 10 * (d == centre % kDims ? 1 : -1)) + (float)((*seed >> 16) % 5);
  }
}

sqlite3* Setup() {
  sqlite3* db = FuzzOpenDb();
  Exec(db,
       "CREATE VIRTUAL TABLE t USING jix0(part integer partition key, v float[3] index=ivf "
       "lists=6 probes=1, n integer, chunk_size=8);"
       "CREATE TABLE m(id INTEGER PRIMARY KEY, part, n, v);");
  unsigned seed = 7;
  for (int i = 1; i <= 80; i++) {
    float v[kDims];
    RandomVector(&seed, v);
    WriteRow(db, "insert", i, i % 2, i % 4, v);
  }
  Exec(db, "INSERT INTO t(t) VALUES ('build-index')");
  return db;
}

struct Reader {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
  uint8_t Byte() { return pos < size ? data[pos++] : 0; }
};

[[noreturn]] void Violation(const std::string& sql, const char* what) {
  fprintf(stderr, "IVF answer violates the oracle: %s\n  %s\n", what, sql.c_str());
  abort();
}

long long Count(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  long long n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
  sqlite3_finalize(stmt);
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sqlite3* db = Setup();
  static long long nextId = 1000;
  Reader in{data, size};
  uint8_t options = in.Byte();

  // A write first, in both tables.
  unsigned seed = in.Byte() * 131u + in.Byte();
  float v[kDims];
  RandomVector(&seed, v);
  long long rows = Count(db, "SELECT count(*) FROM m");
  switch (options % 8) {
    case 1:
      if (rows < kMaxRows) WriteRow(db, "insert", nextId++, in.Byte() % 3, in.Byte() % 4, v);
      break;
    case 2:
    case 3: {
      long long id = Count(db, ("SELECT id FROM m ORDER BY id LIMIT 1 OFFSET " +
                                std::to_string(rows > 0 ? in.Byte() % rows : 0))
                                   .c_str());
      if (id < 0) break;
      if (options % 8 == 2) {
        WriteRow(db, "update", id, 0, 0, v);
      } else {
        Exec(db, "DELETE FROM t WHERE rowid = " + std::to_string(id) +
                     "; DELETE FROM m WHERE id = " + std::to_string(id));
      }
      break;
    }
    case 4:
      Exec(db, "INSERT INTO t(t) VALUES ('build-index')");
      break;
  }

  float query[kDims];
  for (float& e : query) e = (float)((int)(in.Byte() % 61) - 30);
  int k = in.Byte() % 40;
  int probes = 1 + in.Byte() % 8;
  static const char* kOps[] = {"=", "!=", "<", "<=", ">", ">="};
  std::string where;
  if (options & 8) where += " AND part = " + std::to_string(in.Byte() % 3);
  if (options & 16)
    where += " AND n " + std::string(kOps[in.Byte() % 6]) + " " + std::to_string(in.Byte() % 4);
  if (options & 32) where += " AND distance < " + std::to_string((in.Byte() % 40) * 1.5);

  std::string knn = "SELECT rowid, distance FROM t WHERE v MATCH ?1 AND k = " + std::to_string(k) +
                    " AND probes = " + std::to_string(probes) + where;
  std::string brute =
      "SELECT rowid, distance FROM (SELECT id AS rowid, jix_distance_l2(v, ?1) AS distance, part, "
      "n FROM m) WHERE 1" +
      where + " ORDER BY distance, rowid";
  auto run = [&](const std::string& sql, std::vector<std::pair<long long, double>>* out) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) return false;
    sqlite3_bind_blob(stmt, 1, query, sizeof query, SQLITE_STATIC);
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      out->push_back({sqlite3_column_int64(stmt, 0), sqlite3_column_double(stmt, 1)});
    }
    sqlite3_finalize(stmt);
    return rc == SQLITE_DONE;
  };
  std::vector<std::pair<long long, double>> got, expected;
  if (!run(knn, &got)) Violation(knn, sqlite3_errmsg(db));
  if (!run(brute, &expected)) Violation(brute, "brute force failed");

  size_t want = expected.size() < (size_t)k ? expected.size() : (size_t)k;
  if (got.size() != want) Violation(knn, "row count is not min(k, matching rows)");
  for (size_t i = 0; i < got.size(); i++) {
    bool found = false;
    for (auto& e : expected) {
      if (e.first != got[i].first) continue;
      found = true;
      if (e.second != got[i].second) Violation(knn, "distance differs from jix_distance_l2");
    }
    if (!found) Violation(knn, "a row that fails the filters");
    if (i > 0 && got[i - 1].second > got[i].second) Violation(knn, "not in ascending distance");
  }
  // Probing every list is the exact search: its last distance is the k-th smallest.
  long long lists = Count(db, "SELECT count(*) FROM t_ivfcentroids");
  if (probes >= lists && !got.empty() && got.back().second != expected[got.size() - 1].second) {
    Violation(knn, "probes covering every list left a nearer row out");
  }
  return 0;
}
