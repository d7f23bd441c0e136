// A random mix of inserts, updates, deletes, refused writes, 'optimize', rollbacks and
// savepoints on jix0 tables, checked against an in-memory model: after every batch the storage
// invariants hold, the table reads back exactly as the model, and KNN answers match a brute-force
// search.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/invariants.h"
#include "support/test_db.h"

namespace {

constexpr int kDims = 4;

struct Row {
  int64_t p = 0;
  std::vector<float> v;
  std::string i;  // int8[4], raw bytes
  std::string b;  // bit[8], one raw byte
  bool aNull = true;
  std::string a;
  int64_t m = 0;
  std::string t;
};

// A parameter of a statement: NULL, an integer, a text, or a BLOB.
struct Param {
  enum Kind { kNull, kInt, kText, kBlob } kind;
  int64_t n = 0;
  std::string s;
};
Param Null() {
  return {Param::kNull, 0, ""};
}
Param Int(int64_t n) {
  return {Param::kInt, n, ""};
}
Param Text(const std::string& s) {
  return {Param::kText, 0, s};
}
Param Blob(const std::string& s) {
  return {Param::kBlob, 0, s};
}
Param Blob(const std::vector<float>& v) {
  return Blob(std::string((const char*)v.data(), v.size() * sizeof(float)));
}

// Rows as text ('|' between columns), or the error message.
std::string Run(sqlite3* db, const std::string& sql, const std::vector<Param>& params = {}) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    return sqlite3_errmsg(db);
  }
  for (size_t k = 0; k < params.size(); k++) {
    const Param& p = params[k];
    int index = (int)k + 1;
    switch (p.kind) {
      case Param::kNull:
        sqlite3_bind_null(stmt, index);
        break;
      case Param::kInt:
        sqlite3_bind_int64(stmt, index, p.n);
        break;
      case Param::kText:
        sqlite3_bind_text(stmt, index, p.s.data(), (int)p.s.size(), SQLITE_TRANSIENT);
        break;
      case Param::kBlob:
        sqlite3_bind_blob(stmt, index, p.s.data(), (int)p.s.size(), SQLITE_TRANSIENT);
        break;
    }
  }
  std::string out;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    if (!out.empty()) out += "\n";
    out += RenderRow(stmt);
  }
  if (rc != SQLITE_DONE) out = sqlite3_errmsg(db);
  sqlite3_finalize(stmt);
  return out;
}

struct Config {
  const char* name;
  const char* declaration;
  bool textKey;  // else a rowid table with a partition key
};

class Workload {
 public:
  Workload(const Config& config, unsigned seed) : config_(config), rng_(seed) {}

  void Go(int steps) {
    db_.Exec(config_.declaration);
    for (int step = 1; step <= steps; step++) {
      // Alternate growing and shrinking, so that chunks fill up and also empty out.
      Step((step / 150) % 2 == 1);
      if (::testing::Test::HasFatalFailure()) return;
      if (step % 40 == 0) Verify();
    }
    if (inTransaction_) Commit();
    Verify();
  }

 private:
  std::string KeyColumn() const { return config_.textKey ? "id" : "rowid"; }
  Param KeyParam(const std::string& key) const {
    return config_.textKey ? Text(key) : Int(std::stoll(key));
  }

  int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  std::string RandomText(int maxLength) {
    std::string s(Uniform(0, maxLength), 'x');
    for (char& c : s) c = (char)('a' + Uniform(0, 25));
    return s;
  }
  std::vector<float> RandomVector() {
    std::vector<float> v(kDims);
    for (float& x : v) x = std::uniform_real_distribution<float>(-1, 1)(rng_);
    return v;
  }
  std::string RandomBytes(int n) {
    std::string s(n, '\0');
    for (char& c : s) c = (char)Uniform(0, 255);
    return s;
  }
  Row RandomRow() {
    Row r;
    r.p = Uniform(1, 2);
    r.v = RandomVector();
    r.i = RandomBytes(4);
    r.b = RandomBytes(1);
    r.aNull = Uniform(0, 4) == 0;
    r.a = r.aNull ? "" : RandomText(6);
    r.m = Uniform(0, 20);
    r.t = RandomText(24);  // crosses the 12-byte boundary both ways
    return r;
  }
  std::string AnyKey() {
    auto it = rows_.begin();
    std::advance(it, Uniform(0, (int)rows_.size() - 1));
    return it->first;
  }

  void Expect(const std::string& sql, const std::vector<Param>& params, const std::string& want) {
    ASSERT_EQ(Run(db_.db(), sql, params), want) << sql;
  }

  void Step(bool shrinking) {
    int op = Uniform(0, 99);
    int inserts = shrinking ? 15 : 40;
    if (rows_.empty() || op < inserts) return Insert();
    op = Uniform(0, 99);
    if (op < (shrinking ? 25 : 40)) return Update();
    if (op < 70) return Delete();
    if (op < 78) return MultiRowDelete();
    if (op < 86) return MultiRowUpdate();
    if (op < 93) return RefusedUpdate();
    if (op < 96) return Optimize();
    return Transaction();
  }

  void Insert() {
    Row r = RandomRow();
    std::string key;
    Param keyParam = Null();
    if (config_.textKey) {
      key = "k" + std::to_string(Uniform(0, 300));
      keyParam = Text(key);
    } else if (Uniform(0, 1)) {
      key = std::to_string(Uniform(1, 400));
      keyParam = Int(std::stoll(key));
    }
    std::vector<Param> params = {
        keyParam, Blob(r.v), Blob(r.i), Blob(r.b), r.aNull ? Null() : Text(r.a),
        Int(r.m), Text(r.t)};
    // Every conflict clause: a taken key fails, is skipped, or has its whole row replaced.
    static const char* const kVerbs[] = {"INSERT", "INSERT", "INSERT OR IGNORE",
                                         "INSERT OR REPLACE", "REPLACE"};
    const std::string verb = kVerbs[Uniform(0, 4)];
    std::string sql;
    if (config_.textKey) {
      sql = verb + " INTO w(id, v, i, b, a, m, t) VALUES (?, ?, jix_int8(?), jix_bit(?), ?, ?, ?)";
    } else {
      params.push_back(Int(r.p));
      sql = verb +
            " INTO w(rowid, v, i, b, a, m, t, p) VALUES (?, ?, jix_int8(?), jix_bit(?), ?, ?, "
            "?, ?)";
    }
    if (!key.empty() && rows_.count(key)) {
      if (verb == "INSERT") {
        Expect(sql, params, "UNIQUE constraint failed on w primary key");
        return;
      }
      Expect(sql, params, "");
      if (verb != "INSERT OR IGNORE") rows_[key] = r;
      return;
    }
    Expect(sql, params, "");
    if (key.empty()) key = std::to_string(sqlite3_last_insert_rowid(db_.db()));
    if (!config_.textKey) {
      ASSERT_EQ(std::stoll(key), sqlite3_last_insert_rowid(db_.db()));
    }
    rows_[key] = r;
  }

  void Update() {
    std::string key = AnyKey();
    Row& r = rows_[key];
    Row fresh = RandomRow();
    std::string set;
    std::vector<Param> params;
    auto assign = [&](const char* column, Param value) {
      if (!set.empty()) set += ", ";
      set += std::string(column) + " = ?";
      params.push_back(value);
    };
    // Each column is assigned or not at random; at least one always is.
    int mask = Uniform(1, 63);
    if (mask & 1) assign("v", Blob(r.v = fresh.v));
    if (mask & 2) assign("i", Blob(r.i = fresh.i));  // untagged: read as the column's type
    if (mask & 4) assign("b", Blob(r.b = fresh.b));
    if (mask & 8) {
      r.aNull = fresh.aNull;
      r.a = fresh.a;
      assign("a", r.aNull ? Null() : Text(r.a));
    }
    if (mask & 16) assign("m", Int(r.m = fresh.m));
    if (mask & 32) assign("t", Text(r.t = fresh.t));
    params.push_back(KeyParam(key));
    Expect("UPDATE w SET " + set + " WHERE " + KeyColumn() + " = ?", params, "");
  }

  void Delete() {
    std::string key = AnyKey();
    Expect("DELETE FROM w WHERE " + KeyColumn() + " = ?", {KeyParam(key)}, "");
    rows_.erase(key);
  }

  void MultiRowDelete() {
    int below = Uniform(0, 3);
    Expect("DELETE FROM w WHERE m < ?", {Int(below)}, "");
    std::erase_if(rows_, [&](const auto& entry) { return entry.second.m < below; });
  }

  // A full scan leaves unassigned columns unchanged, partition keys included; it writes back
  // nothing but m and t.
  void MultiRowUpdate() {
    int above = Uniform(10, 20);
    std::string t = RandomText(24);
    Expect("UPDATE w SET m = m + 1, t = ? WHERE m > ?", {Text(t), Int(above)}, "");
    for (auto& [key, r] : rows_) {
      if (r.m > above) {
        r.m++;
        r.t = t;
      }
    }
  }

  // A good value next to a bad vector: nothing of the row may change.
  void RefusedUpdate() {
    std::string key = AnyKey();
    Expect("UPDATE w SET m = ?, t = ?, a = 'refused', v = ? WHERE " + KeyColumn() + " = ?",
           {Int(99), Text(RandomText(24)), Blob(std::vector<float>(kDims + 1)), KeyParam(key)},
           "Dimension mismatch for new updated vector for the \"v\" column. Expected 4 "
           "dimensions but received 5.");
  }

  // Compacts the table: the model does not change, every partition (the TEXT-key table has
  // none) keeps the fewest chunks of chunk_size 8 its rows need, and every answer stays.
  void Optimize() {
    Expect("INSERT INTO w(w) VALUES ('optimize')", {}, "");
    std::map<int64_t, int> perPartition;
    for (auto& [key, r] : rows_) perPartition[config_.textKey ? 0 : r.p]++;
    int chunks = 0;
    for (auto& [p, n] : perPartition) chunks += (n + 7) / 8;
    Expect("SELECT count(*) FROM w_chunks", {}, std::to_string(chunks));
    Verify();
  }

  // Opens, commits or rolls back a transaction, or rolls back to a savepoint; the model
  // follows.
  void Transaction() {
    int what = Uniform(0, 3);
    if (!inTransaction_) {
      db_.Exec("BEGIN");
      inTransaction_ = true;
      atBegin_ = rows_;
      db_.Exec("SAVEPOINT s");
      atSavepoint_ = rows_;
    } else if (what == 0) {
      Commit();
    } else if (what == 1) {
      db_.Exec("ROLLBACK");
      inTransaction_ = false;
      rows_ = atBegin_;
    } else {
      db_.Exec("ROLLBACK TO s");
      rows_ = atSavepoint_;
    }
  }

  void Commit() {
    db_.Exec("COMMIT");
    inTransaction_ = false;
  }

  void Verify() {
    ASSERT_EQ(CheckJix0Invariants(db_.db(), "w"), "");
    VerifyContent();
    for (int q = 0; q < 3; q++) VerifyKnn();
  }

  void VerifyContent() {
    // Rowids sort as numbers, TEXT ids as text.
    std::vector<std::pair<std::string, const Row*>> ordered;
    for (auto& [key, r] : rows_) ordered.push_back({key, &r});
    if (!config_.textKey) {
      std::sort(ordered.begin(), ordered.end(), [](const auto& x, const auto& y) {
        return std::stoll(x.first) < std::stoll(y.first);
      });
    }
    std::string want;
    for (auto& [key, r] : ordered) {
      if (!want.empty()) want += "\n";
      want += key + "|" + (config_.textKey ? "NULL" : std::to_string(r->p)) + "|X'" +
              Hex(r->v.data(), kDims * 4) + "'|X'" + Hex(r->i.data(), 4) + "'|X'" +
              Hex(r->b.data(), 1) + "'|" + (r->aNull ? "NULL" : r->a) + "|" + std::to_string(r->m) +
              "|" + r->t;
    }
    std::string partition = config_.textKey ? "NULL" : "p";
    std::string order = config_.textKey ? "id" : "rowid";
    EXPECT_EQ(Run(db_.db(), "SELECT " + KeyColumn() + ", " + partition +
                                ", v, i, b, a, m, t FROM w ORDER BY " + order),
              want);
  }

  // KNN with an optional partition or metadata filter, against a brute-force search.
  void VerifyKnn() {
    std::vector<float> query = RandomVector();
    int k = Uniform(1, 12);
    int filter = Uniform(0, 2);
    int64_t p = Uniform(1, 2), above = Uniform(0, 15);
    std::string sql = "SELECT " + KeyColumn() + ", distance FROM w WHERE v MATCH ? AND k = ?";
    std::vector<Param> params = {Blob(query), Int(k)};
    if (filter == 1 && !config_.textKey) {
      sql += " AND p = ?";
      params.push_back(Int(p));
    } else if (filter == 2) {
      sql += " AND m > ?";
      params.push_back(Int(above));
    }

    std::vector<std::pair<double, std::string>> expected;
    std::map<std::string, double> distanceOf;
    for (auto& [key, r] : rows_) {
      if (filter == 1 && !config_.textKey && r.p != p) continue;
      if (filter == 2 && r.m <= above) continue;
      double sum = 0;
      for (int d = 0; d < kDims; d++)
        sum += ((double)r.v[d] - query[d]) * ((double)r.v[d] - query[d]);
      expected.push_back({std::sqrt(sum), key});
      distanceOf[key] = std::sqrt(sum);
    }
    std::sort(expected.begin(), expected.end());
    if ((int)expected.size() > k) expected.resize(k);

    std::string result = Run(db_.db(), sql, params);
    std::vector<std::pair<std::string, double>> got;
    size_t start = 0;
    while (start < result.size()) {
      size_t end = result.find('\n', start);
      if (end == std::string::npos) end = result.size();
      std::string line = result.substr(start, end - start);
      size_t bar = line.find('|');
      ASSERT_NE(bar, std::string::npos) << sql << ": " << result;
      got.push_back({line.substr(0, bar), std::stod(line.substr(bar + 1))});
      start = end + 1;
    }
    ASSERT_EQ(got.size(), expected.size()) << sql << ": " << result;
    // Rows at equal distance may come in either order, so compare distances position by
    // position, and each returned row's distance with its own.
    for (size_t n = 0; n < got.size(); n++) {
      SCOPED_TRACE(sql + " result " + std::to_string(n));
      ASSERT_TRUE(distanceOf.count(got[n].first));
      EXPECT_NEAR(got[n].second, distanceOf[got[n].first], 1e-5);
      EXPECT_NEAR(got[n].second, expected[n].first, 1e-5);
    }
  }

  Config config_;
  std::mt19937 rng_;
  TestDb db_;
  std::map<std::string, Row> rows_;
  bool inTransaction_ = false;
  std::map<std::string, Row> atBegin_, atSavepoint_;
};

TEST(Jix0Workload, MixedWritesKeepInvariantsAndKnnMatchesBruteForce) {
  const Config configs[] = {
      {"rowid table with partitions",
       "CREATE VIRTUAL TABLE w USING jix0(p integer partition key, v float[4], i int8[4], "
       "b bit[8], +a text, m int, t text, chunk_size=8)",
       false},
      {"text key",
       "CREATE VIRTUAL TABLE w USING jix0(id text primary key, v float[4], i int8[4], b bit[8], "
       "+a text, m int, t text, chunk_size=8)",
       true},
  };
  for (const Config& config : configs) {
    for (unsigned seed : {1u, 2u, 3u}) {
      SCOPED_TRACE(std::string(config.name) + ", seed " + std::to_string(seed));
      Workload(config, seed).Go(600);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

}  // namespace
