// Crash safety: a child process writes a jix0 table in transactions (every third one also
// runs 'optimize'; on a table with an IVF index every other one also runs 'build-index',
// which moves every row, and in one mode every sixth then 'drop-index') and reports each COMMIT
// that returned; the parent kills it with SIGKILL at a random moment, reopens the file and checks
// that recovery left exactly the committed transactions on intact storage. Each mode keeps one
// database across all its kills, so every child starts on a recovered file.
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "extension/entry.h"
#include "support/child_process.h"
#include "support/invariants.h"
#include "support/test_db.h"

namespace {

constexpr int kKillsPerMode = 20;
// The parent kills after this many commits at most, then after a random pause, so kills land
// in statements, in COMMIT and between transactions.
constexpr int kMaxCommitsBeforeKill = 10;
constexpr int kMaxPauseBeforeKillMicros = 3000;

constexpr const char* kCreateTable =
    "CREATE VIRTUAL TABLE t USING jix0(p integer partition key, v float[4], +aux text,"
    " n integer, s text, chunk_size=8)";
constexpr const char* kCreateIvfTable =
    "CREATE VIRTUAL TABLE t USING jix0(p integer partition key, v float[4] index=ivf lists=3, "
    "+aux text, n integer, s text, chunk_size=8)";
constexpr const char* kSelectContent = "SELECT rowid, p, v, aux, n, s FROM t ORDER BY rowid";

struct Row {
  int64_t p;
  std::array<float, 4> v;
  std::optional<std::string> aux;
  int64_t n;
  std::string s;
};
using Model = std::map<int64_t, Row>;

enum class OpKind { kInsert, kUpdate, kDelete };
struct Op {
  OpKind kind;
  int64_t rowid;
  Row row;  // the new values of an insert or update
};

uint64_t Mix(uint64_t x) {  // splitmix64: a deterministic spread of (transaction, index)
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Texts alternate between the chunk entry alone (up to 12 bytes) and the long-text table,
// so transactions add, replace and drop long-text rows.
Row MakeRow(int64_t rowid, int64_t txn) {
  Row row;
  row.p = rowid % 3;
  row.v = {(float)rowid, (float)txn, (float)(rowid % 7), -(float)rowid};
  if ((rowid + txn) % 4 != 0) row.aux = "aux " + std::to_string(rowid) + "/" + std::to_string(txn);
  row.n = rowid * 7 + txn;
  row.s = (rowid + txn) % 2
              ? "s" + std::to_string(txn)
              : "a long text for row " + std::to_string(rowid) + " from " + std::to_string(txn);
  return row;
}

int64_t PickRowid(const Model& model, uint64_t seed) {
  auto it = model.begin();
  std::advance(it, (long)(Mix(seed) % model.size()));
  return it->first;
}

// Transaction txn of the workload, as it applies to model (which it advances). The parent
// and the child derive the same transactions from the same model.
std::vector<Op> NextTransaction(Model* model, int64_t txn) {
  std::vector<Op> ops;
  int inserts = 2 + (int)(Mix(txn) % 7);
  for (int j = 0; j < inserts; j++) {
    int64_t rowid = txn * 16 + j;
    ops.push_back({OpKind::kInsert, rowid, MakeRow(rowid, txn)});
    (*model)[rowid] = ops.back().row;
  }
  // Deletes slightly outnumber inserts in the long run: chunks empty out and disappear.
  int deletes = (int)(Mix(txn * 3 + 1) % 9);
  for (int j = 0; j < deletes && model->size() > 1; j++) {
    int64_t rowid = PickRowid(*model, txn * 64 + j);
    ops.push_back({OpKind::kDelete, rowid, {}});
    model->erase(rowid);
  }
  int updates = (int)(Mix(txn * 3 + 2) % 4);
  for (int j = 0; j < updates && !model->empty(); j++) {
    int64_t rowid = PickRowid(*model, txn * 64 + 32 + j);
    Row row = MakeRow(rowid, txn);
    row.p = (*model)[rowid].p;  // partition keys stay: the row keeps its chunk
    ops.push_back({OpKind::kUpdate, rowid, row});
    (*model)[rowid] = row;
  }
  return ops;
}

std::string Render(const Model& model) {
  std::string out;
  for (const auto& [rowid, row] : model) {
    if (!out.empty()) out += "\n";
    out += std::to_string(rowid) + "|" + std::to_string(row.p) + "|X'" + Hex(row.v.data(), 16) +
           "'|" + (row.aux ? *row.aux : "NULL") + "|" + std::to_string(row.n) + "|" + row.s;
  }
  return out;
}

// The child: opens its own connection and runs transactions firstTxn, firstTxn + 1, ...
// until it is killed, reporting -id after BEGIN and id after its COMMIT returned.
void RunWriter(const std::string& path, const char* journalMode, bool buildIndex, bool dropIndex,
               Model model, int64_t firstTxn) {
  sqlite3* db = nullptr;
  auto fail = [&](const std::string& what) {
    ChildProcess::Fail(what + ": " + (db ? sqlite3_errmsg(db) : "no connection"));
    _exit(1);
  };
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) fail("open");
  char* error = nullptr;
  if (sqlite3_jix_init(db, &error, nullptr) != SQLITE_OK) fail("jix init");
  // A tiny page cache spills changed pages to the file (or WAL) before COMMIT, so a kill
  // mid-transaction leaves uncommitted bytes there for recovery to undo.
  std::string pragmas =
      std::string("PRAGMA cache_size=2; PRAGMA journal_mode=") + journalMode +
      "; PRAGMA synchronous=" + (strcmp(journalMode, "wal") == 0 ? "NORMAL" : "FULL");
  if (sqlite3_exec(db, pragmas.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) fail("pragmas");
  sqlite3_stmt *insert = nullptr, *update = nullptr, *remove = nullptr;
  if (sqlite3_prepare_v2(db, "INSERT INTO t(rowid, p, v, aux, n, s) VALUES (?, ?, ?, ?, ?, ?)", -1,
                         &insert, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db, "UPDATE t SET v = ?2, aux = ?3, n = ?4, s = ?5 WHERE rowid = ?1", -1,
                         &update, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db, "DELETE FROM t WHERE rowid = ?", -1, &remove, nullptr) != SQLITE_OK) {
    fail("prepare");
  }
  for (int64_t txn = firstTxn;; txn++) {
    std::vector<Op> ops = NextTransaction(&model, txn);
    if (sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) fail("BEGIN");
    ChildProcess::Send(-txn);
    for (const Op& op : ops) {
      sqlite3_stmt* stmt = op.kind == OpKind::kInsert   ? insert
                           : op.kind == OpKind::kUpdate ? update
                                                        : remove;
      sqlite3_bind_int64(stmt, 1, op.rowid);
      if (op.kind == OpKind::kInsert) {
        sqlite3_bind_int64(stmt, 2, op.row.p);
        sqlite3_bind_blob(stmt, 3, op.row.v.data(), 16, SQLITE_STATIC);
        if (op.row.aux) {
          sqlite3_bind_text(stmt, 4, op.row.aux->c_str(), -1, SQLITE_STATIC);
        } else {
          sqlite3_bind_null(stmt, 4);
        }
        sqlite3_bind_int64(stmt, 5, op.row.n);
        sqlite3_bind_text(stmt, 6, op.row.s.c_str(), -1, SQLITE_STATIC);
      } else if (op.kind == OpKind::kUpdate) {
        sqlite3_bind_blob(stmt, 2, op.row.v.data(), 16, SQLITE_STATIC);
        if (op.row.aux) {
          sqlite3_bind_text(stmt, 3, op.row.aux->c_str(), -1, SQLITE_STATIC);
        } else {
          sqlite3_bind_null(stmt, 3);
        }
        sqlite3_bind_int64(stmt, 4, op.row.n);
        sqlite3_bind_text(stmt, 5, op.row.s.c_str(), -1, SQLITE_STATIC);
      }
      int rc = sqlite3_step(stmt);
      sqlite3_reset(stmt);
      sqlite3_clear_bindings(stmt);
      if (rc != SQLITE_DONE) fail("transaction " + std::to_string(txn));
    }
    // Every third transaction also compacts the table, which changes no row.
    if (txn % 3 == 0 && sqlite3_exec(db, "INSERT INTO t(t) VALUES ('optimize')", nullptr, nullptr,
                                     nullptr) != SQLITE_OK) {
      fail("optimize in transaction " + std::to_string(txn));
    }
    if (buildIndex && txn % 2 == 0 &&
        sqlite3_exec(db, "INSERT INTO t(t) VALUES ('build-index')", nullptr, nullptr, nullptr) !=
            SQLITE_OK) {
      fail("build-index in transaction " + std::to_string(txn));
    }
    // Every sixth drops the index it has just built: every row leaves its list.
    if (dropIndex && txn % 6 == 0 &&
        sqlite3_exec(db, "INSERT INTO t(t) VALUES ('drop-index')", nullptr, nullptr, nullptr) !=
            SQLITE_OK) {
      fail("drop-index in transaction " + std::to_string(txn));
    }
    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) fail("COMMIT");
    ChildProcess::Send(txn);
  }
}

struct CrashMode {
  const char* name;
  const char* journalMode;
  const char* createTable = kCreateTable;
  bool buildIndex = false;
  bool dropIndex = false;  // REQUIRES: buildIndex
};

class CrashSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ::testing::TempDir() + "jix_crash_" + std::to_string(getpid()) + ".db";
    RemoveFiles();
  }
  void TearDown() override { RemoveFiles(); }
  void RemoveFiles() {
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) unlink((path_ + suffix).c_str());
  }
  void KillWriterRepeatedly(const CrashMode& mode);
  std::string path_;
};

void CrashSafety::KillWriterRepeatedly(const CrashMode& mode) {
  {
    TestDb db(path_.c_str());
    EXPECT_EQ(db.Query(std::string("PRAGMA journal_mode=") + mode.journalMode), mode.journalMode);
    db.Exec(mode.createTable);
  }
  std::mt19937 rng(20240611);
  Model committed;  // the content after transactions 1..lastTxn
  int64_t lastTxn = 0;
  int inFlightCommitted = 0, killsInTransaction = 0;
  for (int kill = 0; kill < kKillsPerMode; kill++) {
    SCOPED_TRACE("kill " + std::to_string(kill) + " after transaction " + std::to_string(lastTxn));
    int64_t reported = lastTxn;
    {
      ChildProcess child([&] {
        RunWriter(path_, mode.journalMode, mode.buildIndex, mode.dropIndex, committed, lastTxn + 1);
      });
      ChildReport report;
      bool inTransaction = false;
      auto take = [&] {
        if (report.value == kChildFailed) return false;
        inTransaction = report.value < 0;
        if (report.value > 0) reported = report.value;
        return true;
      };
      int commits = (int)(rng() % (kMaxCommitsBeforeKill + 1));
      while (reported - lastTxn < commits && child.Receive(&report)) {
        ASSERT_TRUE(take()) << report.text;
      }
      usleep(rng() % kMaxPauseBeforeKillMicros);
      child.Kill();
      while (child.Receive(&report)) {  // reports sent after we stopped listening
        ASSERT_TRUE(take()) << report.text;
      }
      killsInTransaction += inTransaction;
    }

    // Recovery happens on this first connection; then the file must hold transactions up
    // to `reported`, or one more when the kill fell after COMMIT but before the report.
    Model atReported = committed;
    for (int64_t txn = lastTxn + 1; txn <= reported; txn++) {
      NextTransaction(&atReported, txn);
    }
    Model oneMore = atReported;
    NextTransaction(&oneMore, reported + 1);

    TestDb db(path_.c_str());
    ASSERT_EQ(db.Query("PRAGMA integrity_check"), "ok");
    ASSERT_EQ(CheckJix0Invariants(db.db(), "t"), "");
    std::string content = db.Query(kSelectContent);
    if (content == Render(atReported)) {
      committed = std::move(atReported);
      lastTxn = reported;
    } else {
      ASSERT_EQ(content, Render(oneMore))
          << "neither transaction " << reported << " nor " << reported + 1;
      committed = std::move(oneMore);
      lastTxn = reported + 1;
      inFlightCommitted++;
    }
  }
  std::cout << "[ crash    ] " << mode.name << ": " << kKillsPerMode << " kills, " << lastTxn
            << " transactions committed, " << committed.size() << " rows at the end, "
            << killsInTransaction << " kills inside a transaction (" << inFlightCommitted
            << " of them after COMMIT, before its report)\n";
}

TEST_F(CrashSafety, RollbackJournalKeepsExactlyTheCommittedTransactions) {
  KillWriterRepeatedly({"rollback journal", "delete"});
}

TEST_F(CrashSafety, WalKeepsExactlyTheCommittedTransactions) {
  KillWriterRepeatedly({"wal", "wal"});
}

TEST_F(CrashSafety, BuildIndexKeepsExactlyTheCommittedTransactions) {
  KillWriterRepeatedly({"build-index, rollback journal", "delete", kCreateIvfTable, true});
}

// The table is declared without an index: its first committed build-index adds the list
// column and the centroids table, which recovery must undo with the rest of a killed one.
TEST_F(CrashSafety, BuildAndDropIndexOnAPlainTableKeepExactlyTheCommittedTransactions) {
  KillWriterRepeatedly(
      {"build-index and drop-index, plain table, wal", "wal", kCreateTable, true, true});
}

}  // namespace
