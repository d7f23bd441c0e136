// Concurrency: two connections on one database file -- two threads of this process, or two
// processes -- interleave write transactions (insert, delete, update) with KNN queries,
// waiting on each other through a busy timeout. Every KNN answer must agree with a full scan
// taken in the same read transaction, each side must always see exactly its own committed
// rows, and at the end the file holds both sides' rows on intact storage.
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "extension/entry.h"
#include "support/child_process.h"
#include "support/invariants.h"
#include "support/test_db.h"

namespace {

constexpr int kRoundsPerSide = 150;
constexpr int kBusyTimeoutMillis = 10000;  // a bound on waiting, not a measurement
constexpr int kMaxPauseMicros = 2000;
constexpr int kK = 5;

constexpr const char* kCreateTable =
    "CREATE VIRTUAL TABLE t USING jix0(v float[4], n integer, chunk_size=8)";

struct Row {
  std::array<float, 4> v;
  int64_t n;
};
using Rows = std::map<int64_t, Row>;

std::string RenderRow(int64_t rowid, const Row& row) {
  return std::to_string(rowid) + "|X'" + Hex(row.v.data(), 16) + "'|" + std::to_string(row.n);
}

std::string Render(const Rows& rows) {
  std::string out;
  for (const auto& [rowid, row] : rows) out += (out.empty() ? "" : "\n") + RenderRow(rowid, row);
  return out;
}

// The distance as the search computes it: float sums of squares, which are exact for these
// small integer elements, then the square root.
float Distance(const Row& row, const std::array<float, 4>& q) {
  float sum = 0;
  for (int i = 0; i < 4; i++) sum += (row.v[i] - q[i]) * (row.v[i] - q[i]);
  return std::sqrt(sum);
}

// One side of the race: its own connection, rows whose rowid has its parity, and a record
// of what it saw. Nothing here uses gtest, so it runs in a thread or a child process alike.
class Side {
 public:
  Side(const std::string& path, int parity, uint32_t seed) : parity_(parity), rng_(seed) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) Fail("open");
    char* error = nullptr;
    if (!failure_.empty() || sqlite3_jix_init(db_, &error, nullptr) != SQLITE_OK) Fail("jix init");
    sqlite3_busy_timeout(db_, kBusyTimeoutMillis);
    // Durability is not under test here; without fsync the transactions are short, so the
    // sides take turns many times within the rounds.
    Exec("PRAGMA synchronous=OFF");
  }
  ~Side() { sqlite3_close_v2(db_); }
  Side(const Side&) = delete;
  Side& operator=(const Side&) = delete;

  // Runs the rounds; false at the first failure (failure() says what).
  bool Run(int rounds) {
    for (int round = 0; round < rounds && failure_.empty(); round++) {
      // A pause outside any transaction lets the other side in: the busy handler sleeps
      // for milliseconds at a time, and without pauses one side would run many rounds
      // while the other sleeps.
      usleep(rng_() % kMaxPauseMicros);
      if (rng_() % 2) {
        Write();
      } else {
        Exec("BEGIN");
        CheckSnapshot(own_);
        Exec("COMMIT");
        reads_++;
      }
    }
    return failure_.empty();
  }

  const std::string& failure() const { return failure_; }
  const Rows& own() const { return own_; }
  int writes() const { return writes_; }
  int reads() const { return reads_; }
  int foreignChanges() const { return foreignChanges_; }

 private:
  void Fail(const std::string& what) {
    if (failure_.empty()) failure_ = what + ": " + (db_ ? sqlite3_errmsg(db_) : "no connection");
  }
  void Exec(const char* sql) {
    if (failure_.empty() && sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
      Fail(sql);
    }
  }
  float Element() { return (float)((int)(rng_() % 17) - 8); }

  // Runs sql with its parameters; each result row goes to onRow.
  template <typename OnRow>
  void Query(const char* sql, const std::vector<std::vector<unsigned char>>& blobs,
             const std::vector<int64_t>& integers, OnRow onRow) {
    if (!failure_.empty()) return;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK) return Fail(sql);
    int param = 1;
    for (const auto& blob : blobs) {
      sqlite3_bind_blob(stmt, param++, blob.data(), (int)blob.size(), SQLITE_TRANSIENT);
    }
    for (int64_t value : integers) sqlite3_bind_int64(stmt, param++, value);
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) onRow(stmt);
    if (rc != SQLITE_DONE) Fail(sql);
    sqlite3_finalize(stmt);
  }

  // One write transaction: a few inserts, deletes and updates of this side's rows. Inside
  // it, the side also checks that its own uncommitted rows are searched consistently.
  void Write() {
    Rows next = own_;
    Exec("BEGIN IMMEDIATE");
    int inserts = 1 + (int)(rng_() % 4);
    for (int i = 0; i < inserts; i++) {
      int64_t rowid = 2 * nextId_++ + parity_;
      Row row{{Element(), Element(), Element(), Element()}, (int64_t)(rng_() % 10)};
      Query("INSERT INTO t(rowid, v, n) VALUES (?3, ?1, ?2)",
            {std::vector<unsigned char>((unsigned char*)row.v.data(),
                                        (unsigned char*)row.v.data() + 16)},
            {row.n, rowid}, [](sqlite3_stmt*) {});
      next[rowid] = row;
    }
    int deletes = next.size() > 4 ? (int)(rng_() % 3) : 0;
    for (int i = 0; i < deletes; i++) {
      auto victim = next.begin();
      std::advance(victim, (long)(rng_() % next.size()));
      Query("DELETE FROM t WHERE rowid = ?", {}, {victim->first}, [](sqlite3_stmt*) {});
      next.erase(victim);
    }
    if (rng_() % 2 && !next.empty()) {
      auto target = next.begin();
      std::advance(target, (long)(rng_() % next.size()));
      target->second.v = {Element(), Element(), Element(), Element()};
      const auto& v = target->second.v;
      Query("UPDATE t SET v = ?1 WHERE rowid = ?2",
            {std::vector<unsigned char>((const unsigned char*)v.data(),
                                        (const unsigned char*)v.data() + 16)},
            {target->first}, [](sqlite3_stmt*) {});
    }
    if (rng_() % 4 == 0) CheckSnapshot(next);
    Exec("COMMIT");
    if (failure_.empty()) {
      own_ = std::move(next);
      writes_++;
    }
  }

  // In the current transaction: a full scan and KNN queries (plain and filtered) must agree,
  // and this side's rows must be exactly `expectedOwn`.
  void CheckSnapshot(const Rows& expectedOwn) {
    Rows all;
    Query("SELECT rowid, v, n FROM t", {}, {}, [&](sqlite3_stmt* stmt) {
      Row row{};
      if (sqlite3_column_bytes(stmt, 1) == 16)
        memcpy(row.v.data(), sqlite3_column_blob(stmt, 1), 16);
      row.n = sqlite3_column_int64(stmt, 2);
      all[sqlite3_column_int64(stmt, 0)] = row;
    });
    Rows mine, foreign;
    for (const auto& [rowid, row] : all) ((rowid % 2 == parity_) ? mine : foreign)[rowid] = row;
    if (failure_.empty() && Render(mine) != Render(expectedOwn)) {
      failure_ = "own rows differ from what this side wrote:\n" + Render(mine) + "\nexpected:\n" +
                 Render(expectedOwn);
    }
    std::string foreignNow = Render(foreign);
    if (foreignNow != lastForeign_) foreignChanges_++;
    lastForeign_ = foreignNow;

    std::array<float, 4> q{Element(), Element(), Element(), Element()};
    std::vector<unsigned char> qBlob((unsigned char*)q.data(), (unsigned char*)q.data() + 16);
    int64_t minN = rng_() % 10;
    CheckKnn("SELECT rowid, distance FROM t WHERE v MATCH ?1 AND k = ?2", qBlob, {kK}, q, all, -1);
    CheckKnn("SELECT rowid, distance FROM t WHERE v MATCH ?1 AND k = ?2 AND n >= ?3", qBlob,
             {kK, minN}, q, all, minN);
  }

  // Tie-tolerant brute force: the answer has min(k, candidates) distinct candidates with
  // their exact distances, in ascending order, and no candidate left out is nearer.
  void CheckKnn(const char* sql, const std::vector<unsigned char>& qBlob,
                const std::vector<int64_t>& integers, const std::array<float, 4>& q,
                const Rows& all, int64_t minN) {
    std::map<int64_t, float> candidates;
    for (const auto& [rowid, row] : all) {
      if (row.n >= minN) candidates[rowid] = Distance(row, q);
    }
    std::vector<std::pair<int64_t, double>> answer;
    Query(sql, {qBlob}, integers, [&](sqlite3_stmt* stmt) {
      answer.emplace_back(sqlite3_column_int64(stmt, 0), sqlite3_column_double(stmt, 1));
    });
    if (!failure_.empty()) return;
    std::string problem;
    if (answer.size() != std::min<size_t>(kK, candidates.size())) problem = "wrong count";
    double largest = -1;
    for (const auto& [rowid, distance] : answer) {
      auto it = candidates.find(rowid);
      if (it == candidates.end()) {
        problem = "row " + std::to_string(rowid) + " is not a candidate";
        break;
      }
      if (distance != (double)it->second) problem = "wrong distance for " + std::to_string(rowid);
      if (distance < largest) problem = "not in ascending order";
      largest = distance;
      candidates.erase(it);
    }
    for (const auto& [rowid, distance] : candidates) {
      if (distance < largest) problem = "row " + std::to_string(rowid) + " is nearer but missing";
    }
    if (!problem.empty()) {
      failure_ = std::string(sql) + (minN < 0 ? "" : " with n >= " + std::to_string(minN)) + ": " +
                 problem + "\nsnapshot:\n" + Render(all);
    }
  }

  sqlite3* db_ = nullptr;
  int parity_;
  std::mt19937 rng_;
  Rows own_;
  int64_t nextId_ = 1;
  std::string failure_, lastForeign_;
  int writes_ = 0, reads_ = 0, foreignChanges_ = 0;
};

class Concurrency : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ::testing::TempDir() + "jix_concurrency_" + std::to_string(getpid()) + ".db";
    RemoveFiles();
  }
  void TearDown() override { RemoveFiles(); }
  void RemoveFiles() {
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) unlink((path_ + suffix).c_str());
  }
  void Create(const char* journalMode) {
    TestDb db(path_.c_str());
    EXPECT_EQ(db.Query(std::string("PRAGMA journal_mode=") + journalMode), journalMode);
    db.Exec(kCreateTable);
  }
  // Both sides' rows (rendered, by rowid) are there, on intact storage.
  void CheckFinal(const std::map<int64_t, std::string>& rendered) {
    std::string expected;
    for (const auto& [rowid, row] : rendered) expected += (expected.empty() ? "" : "\n") + row;
    TestDb db(path_.c_str());
    EXPECT_EQ(db.Query("PRAGMA integrity_check"), "ok");
    EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
    EXPECT_EQ(db.Query("SELECT rowid, v, n FROM t ORDER BY rowid"), expected);
  }
  void Report(const char* what, int writes, int reads, int foreignChanges) {
    std::cout << "[ race     ] " << what << ": " << writes << " write transactions, " << reads
              << " read transactions, " << foreignChanges
              << " snapshots showed the other side's rows changed\n";
  }
  void RunThreads(const char* journalMode);
  void RunProcesses(const char* journalMode);
  std::string path_;
};

void Concurrency::RunThreads(const char* journalMode) {
  ASSERT_NE(sqlite3_threadsafe(), 0);
  Create(journalMode);
  Side a(path_, 0, 1), b(path_, 1, 2);
  std::thread other([&] { b.Run(kRoundsPerSide); });
  a.Run(kRoundsPerSide);
  other.join();
  EXPECT_EQ(a.failure(), "");
  EXPECT_EQ(b.failure(), "");
  std::map<int64_t, std::string> rendered;
  for (const Side* side : {&a, &b}) {
    for (const auto& [rowid, row] : side->own()) rendered[rowid] = RenderRow(rowid, row);
  }
  CheckFinal(rendered);
  Report((std::string("threads, ") + journalMode).c_str(), a.writes() + b.writes(),
         a.reads() + b.reads(), a.foreignChanges() + b.foreignChanges());
}

// A child reports its rows (value = rowid, text = the rendered row), then its figures with
// value -1, or its failure.
void RunSideInChild(const std::string& path, int parity) {
  Side side(path, parity, 10 + parity);
  if (!side.Run(kRoundsPerSide)) {
    ChildProcess::Fail(side.failure());
    return;
  }
  for (const auto& [rowid, row] : side.own()) ChildProcess::Send(rowid, RenderRow(rowid, row));
  ChildProcess::Send(-1, std::to_string(side.writes()) + " " + std::to_string(side.reads()) + " " +
                             std::to_string(side.foreignChanges()));
}

void Concurrency::RunProcesses(const char* journalMode) {
  Create(journalMode);
  std::map<int64_t, std::string> rendered;
  int writes = 0, reads = 0, foreignChanges = 0;
  {
    ChildProcess a([&] { RunSideInChild(path_, 0); });
    ChildProcess b([&] { RunSideInChild(path_, 1); });
    ChildProcess* children[2] = {&a, &b};
    for (int side = 0; side < 2; side++) {
      ChildReport report;
      bool finished = false;
      while (!finished && children[side]->Receive(&report)) {
        ASSERT_NE(report.value, kChildFailed) << "side " << side << ": " << report.text;
        if (report.value >= 0) {
          rendered[report.value] = report.text;
          continue;
        }
        int w = 0, r = 0, f = 0;
        sscanf(report.text, "%d %d %d", &w, &r, &f);
        writes += w;
        reads += r;
        foreignChanges += f;
        finished = true;
      }
      ASSERT_TRUE(finished) << "side " << side << " ended without its figures";
      EXPECT_EQ(children[side]->Wait(), 0);
    }
  }
  CheckFinal(rendered);
  Report((std::string("processes, ") + journalMode).c_str(), writes, reads, foreignChanges);
}

TEST_F(Concurrency, ThreadsInWalMode) {
  RunThreads("wal");
}
TEST_F(Concurrency, ThreadsInRollbackJournalMode) {
  RunThreads("delete");
}
TEST_F(Concurrency, ProcessesInWalMode) {
  RunProcesses("wal");
}
TEST_F(Concurrency, ProcessesInRollbackJournalMode) {
  RunProcesses("delete");
}

}  // namespace
