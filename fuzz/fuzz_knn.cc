// Fuzzes KNN queries with random query vectors, k, filters and distance bounds against a
// small table, and checks every answer against a brute-force scan of a plain mirror table:
// the same number of rows, each passing the filters, with the SQL function's distance, in
// ascending order, and none nearer left out. A violation aborts, which the fuzzer reports.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

constexpr int kRows = 60;
constexpr int kDims = 4;

sqlite3* Setup() {
  sqlite3* db = FuzzOpenDb();
  sqlite3_exec(db,
               "CREATE VIRTUAL TABLE t USING jix0(part integer partition key, v float[4],"
               " flag boolean, n integer, x float, s text, +aux text, chunk_size=8);"
               "CREATE TABLE m(id INTEGER PRIMARY KEY, part, v, flag, n, x, s);",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* ins = nullptr;
  sqlite3_stmt* mirror = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO t(rowid, part, v, flag, n, x, s, aux) VALUES (?,?,?,?,?,?,?,'a')",
                     -1, &ins, nullptr);
  sqlite3_prepare_v2(db, "INSERT INTO m VALUES (?,?,?,?,?,?,?)", -1, &mirror, nullptr);
  const char* texts[] = {"a", "abc", "abcdefghijkl", "abcdefghijklm", "abcdefghijklmnop", "zz"};
  unsigned seed = 1;
  for (int i = 1; i <= kRows; i++) {
    float v[kDims];
    for (float& e : v) {
      seed = seed * 1103515245 + 12345;
      e = (float)((seed >> 16) % 7) - 3;  // small integers: many ties
    }
    for (sqlite3_stmt* s : {ins, mirror}) {
      sqlite3_bind_int64(s, 1, i);
      sqlite3_bind_int(s, 2, i % 3);
      sqlite3_bind_blob(s, 3, v, sizeof v, SQLITE_TRANSIENT);
      sqlite3_bind_int(s, 4, i % 2);
      sqlite3_bind_int(s, 5, i % 5);
      sqlite3_bind_double(s, 6, (i % 4) * 0.5);
      sqlite3_bind_text(s, 7, texts[i % 6], -1, SQLITE_STATIC);
      sqlite3_step(s);
      sqlite3_reset(s);
    }
  }
  sqlite3_finalize(ins);
  sqlite3_finalize(mirror);
  return db;
}

struct Reader {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
  uint8_t Byte() { return pos < size ? data[pos++] : 0; }
  float Float() {
    float f = 0;
    uint8_t b[4] = {Byte(), Byte(), Byte(), Byte()};
    memcpy(&f, b, 4);
    return f;
  }
};

[[noreturn]] void Violation(const std::string& sql, const char* what) {
  fprintf(stderr, "KNN answer differs from brute force: %s\n  %s\n", what, sql.c_str());
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sqlite3* db = Setup();
  Reader in{data, size};
  uint8_t options = in.Byte();
  float query[kDims];
  for (float& e : query) e = (options & 0x80) ? in.Float() : (float)((int)(in.Byte() % 9) - 4);
  int k = in.Byte() % 70;

  static const char* kOps[] = {"=", "!=", "<", "<=", ">", ">="};
  std::string where;
  std::vector<std::string> params;  // literal SQL values, shared by both queries
  if (options & 1)
    where += " AND part " + std::string(kOps[in.Byte() % 6]) + " " + std::to_string(in.Byte() % 4);
  if (options & 2)
    where += " AND flag " + std::string(kOps[in.Byte() % 2]) + " " + std::to_string(in.Byte() % 2);
  if (options & 4)
    where += " AND n " + std::string(kOps[in.Byte() % 6]) + " " + std::to_string(in.Byte() % 6);
  if (options & 8)
    where +=
        " AND x " + std::string(kOps[in.Byte() % 6]) + " " + std::to_string((in.Byte() % 5) * 0.5);
  if (options & 16) {
    static const char* kTexts[] = {
        "'a'", "'abc'", "'abcd'", "'abcdefghijkl'", "'abcdefghijklm'", "'abcdefghijklmnop'", "'b'"};
    where += " AND s " + std::string(kOps[in.Byte() % 6]) + " " + kTexts[in.Byte() % 7];
  }
  if (options & 32)
    where +=
        " AND n IN (" + std::to_string(in.Byte() % 6) + ", " + std::to_string(in.Byte() % 6) + ")";
  if (options & 64) {
    where += " AND rowid IN (" + std::to_string(in.Byte() % 70) + ", " +
             std::to_string(in.Byte() % 70) + ", " + std::to_string(in.Byte() % 70) + ")";
  }
  double bound = (in.Byte() % 16) * 0.5;
  bool bounded = in.Byte() & 1;
  if (bounded) where += " AND distance < " + std::to_string(bound);

  std::string knn =
      "SELECT rowid, distance FROM t WHERE v MATCH ?1 AND k = " + std::to_string(k) + where;
  std::string brute =
      "SELECT id, jix_distance_l2(v, ?1) AS distance FROM m WHERE 1" + where.substr(0) + "";
  // The mirror has no hidden distance column: evaluate the bound on the computed distance.
  brute =
      "SELECT rowid, distance FROM (SELECT id AS rowid, jix_distance_l2(v, ?1) AS distance,"
      " part, flag, n, x, s FROM m) WHERE 1" +
      where + " ORDER BY distance, rowid";

  auto run = [&](const std::string& sql, std::vector<std::pair<long long, double>>* out) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) return false;
    sqlite3_bind_blob(stmt, 1, query, sizeof query, SQLITE_STATIC);
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      out->push_back({sqlite3_column_int64(stmt, 0), sqlite3_column_type(stmt, 1) == SQLITE_NULL
                                                         ? NAN
                                                         : sqlite3_column_double(stmt, 1)});
    }
    sqlite3_finalize(stmt);
    return rc == SQLITE_DONE;
  };
  std::vector<std::pair<long long, double>> got, expected;
  bool knnOk = run(knn, &got);
  if (!run(brute, &expected)) Violation(brute, "brute force failed");
  if (!knnOk) return 0;  // refused forms are fine; wrong answers are not

  // NaN distances (from NaN or infinite query elements) order last in KNN answers.
  size_t want = expected.size() < (size_t)k ? expected.size() : (size_t)k;
  if (got.size() != want) Violation(knn, "row count");
  for (size_t i = 0; i < got.size(); i++) {
    bool found = false;
    for (auto& e : expected) {
      if (e.first == got[i].first) {
        found = true;
        bool bothNan = std::isnan(e.second) && std::isnan(got[i].second);
        if (!bothNan && e.second != got[i].second)
          Violation(knn, "distance differs from jix_distance_l2");
      }
    }
    if (!found) Violation(knn, "a row that fails the filters");
    if (i > 0 && !std::isnan(got[i].second) &&
        (std::isnan(got[i - 1].second) || got[i - 1].second > got[i].second)) {
      Violation(knn, "not in ascending distance");
    }
  }
  if (!got.empty() && got.size() < expected.size()) {
    double last = got.back().second;
    for (auto& e : expected) {
      bool returned = false;
      for (auto& g : got) returned |= g.first == e.first;
      if (!returned && !std::isnan(e.second) && (std::isnan(last) || e.second < last)) {
        Violation(knn, "a nearer row was left out");
      }
    }
  }
  return 0;
}
