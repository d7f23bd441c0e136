// Writes that fail part-way for reasons SQLite does not answer with a rollback: a length
// limit below a chunk's size, a table locked by another connection of a shared cache, and
// damage met after the first write. SQLite takes no statement journal for a single-row
// INSERT into a virtual table or for a command, so whatever such a statement wrote stays,
// and the next COMMIT would keep it. Each case checks that the shadow tables are exactly as
// before the statement, that the table still answers a scan, a KNN and a new insert once
// the cause is gone, and that the transaction commits cleanly around the failure.
// A write that fails before its first change keeps its own code; one that fails after it
// reports SQLITE_IOERR, and SQLite rolls the transaction back.
#include <unistd.h>

#include <gtest/gtest.h>
#include <string>

#include "support/invariants.h"
#include "support/test_db.h"

namespace {

std::string TempPath(const char* stem) {
  char path[64];
  snprintf(path, sizeof path, "/tmp/jix0_%s_XXXXXX", stem);
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  close(fd);
  return path;
}

class TempFile {
 public:
  explicit TempFile(const char* stem) : path_(TempPath(stem)) {}
  ~TempFile() {
    unlink(path_.c_str());
    unlink((path_ + "-journal").c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The shadow tables' content, read with the length limit lifted for the moment (a dump of a
// table whose BLOBs exceed the limit would otherwise read as an error).
std::string Dump(TestDb& db, const char* prefix = "t_") {
  int limit = sqlite3_limit(db.db(), SQLITE_LIMIT_LENGTH, 1000000000);
  std::string dump = db.DumpTables(prefix);
  sqlite3_limit(db.db(), SQLITE_LIMIT_LENGTH, limit);
  return dump;
}

// Fills t (float[2], optional metadata n) with rows 1..count at [i, 0].
std::string Rows(const char* table, int from, int count, bool withN = false) {
  std::string sql = std::string("INSERT INTO ") + table +
                    (withN ? "(rowid, v, n) VALUES " : "(rowid, v) VALUES ");
  for (int i = from; i < from + count; i++) {
    if (i > from) sql += ", ";
    sql += "(" + std::to_string(i) + ", '[" + std::to_string(i) + ", 0]'" +
           (withN ? ", " + std::to_string(i % 3) : "") + ")";
  }
  return sql;
}

// Commits the transaction unless the failed write rolled it back.
void CommitIfOpen(TestDb& db) {
  if (!sqlite3_get_autocommit(db.db())) db.Exec("COMMIT");
}

// A new insert, a scan and a KNN all work, and storage keeps its invariants.
void ExpectUsable(TestDb& db, const char* table, int expectedRows) {
  const std::string t = table;
  EXPECT_EQ(CheckJix0Invariants(db.db(), t), "");
  EXPECT_EQ(db.Query("SELECT count(*) FROM " + t), std::to_string(expectedRows));
  EXPECT_EQ(db.Query("SELECT rowid FROM " + t + " WHERE v MATCH '[1, 0]' AND k = 1"), "1");
  EXPECT_EQ(db.Run("INSERT INTO " + t + "(rowid, v) VALUES (5000, '[0.5, 0]')"), SQLITE_OK);
  EXPECT_EQ(db.Query("SELECT count(*) FROM " + t), std::to_string(expectedRows + 1));
}

// A declaration whose chunks would not fit the length limit is refused, naming the
// chunk_size that fits; a table declared with it then takes rows.
TEST(WriteFailure, ChunkSizeOverTheLengthLimitIsRefusedAtCreate) {
  TestDb db;
  sqlite3_limit(db.db(), SQLITE_LIMIT_LENGTH, 1000000);
  const SqlCase refused[] = {
      // The default chunk of 1,024 slots of 384 floats would be a 1.5 MiB BLOB.
      {"CREATE VIRTUAL TABLE docs USING jix0(embedding float[384], +title text)",
       "jix0 constructor error: a chunk of 1024 rows needs a record of 1572928 bytes, over this "
       "connection's length limit of 1000000 bytes (SQLITE_LIMIT_LENGTH): declare "
       "chunk_size=648 or less"},
      {"CREATE VIRTUAL TABLE docs USING jix0(embedding float[384], chunk_size=656)",
       "jix0 constructor error: a chunk of 656 rows needs a record of 1007680 bytes, over this "
       "connection's length limit of 1000000 bytes (SQLITE_LIMIT_LENGTH): declare "
       "chunk_size=648 or less"},
      {"CREATE VIRTUAL TABLE docs USING jix0(embedding float[8192], chunk_size=8)",
       "jix0 constructor error: a chunk of 8 rows needs a record of 262208 bytes, over this "
       "connection's length limit of 200000 bytes (SQLITE_LIMIT_LENGTH), and no chunk_size "
       "fits"},
  };
  for (const SqlCase& c : refused) {
    SCOPED_TRACE(c.sql);
    if (std::string(c.sql).find("8192") != std::string::npos) {
      sqlite3_limit(db.db(), SQLITE_LIMIT_LENGTH, 200000);
    }
    EXPECT_EQ(db.Run(c.sql), SQLITE_TOOBIG);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
  EXPECT_EQ(db.Query("SELECT count(*) FROM sqlite_master"), "0");
  sqlite3_limit(db.db(), SQLITE_LIMIT_LENGTH, 1000000);
  db.Exec(
      "CREATE VIRTUAL TABLE docs USING jix0(embedding float[384], +title text, "
      "chunk_size=648)");
  db.Exec("BEGIN");
  for (int i = 1; i <= 3; i++) {
    std::string v = "[" + std::to_string(i);
    for (int d = 1; d < 384; d++) v += ", 0";
    v += "]";
    EXPECT_EQ(db.Query("INSERT INTO docs(rowid, embedding, title) VALUES (" + std::to_string(i) +
                       ", '" + v + "', 't')"),
              "");
  }
  db.Exec("COMMIT");
  EXPECT_EQ(CheckJix0Invariants(db.db(), "docs"), "");
  EXPECT_EQ(db.Query("SELECT count(*) FROM docs"), "3");
}

TEST(WriteFailure, LengthLimitLoweredAfterCreate) {
  TestDb db;
  db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[2], +title text, chunk_size=8)");
  db.Exec(Rows("t", 1, 8));  // the first chunk is full: the next insert needs a new one
  sqlite3_limit(db.db(), SQLITE_LIMIT_LENGTH, 40);  // a 64-byte vectors BLOB no longer fits
  const std::string before = Dump(db);
  db.Exec("BEGIN");
  // Refused before the first write: the code is SQLite's own and the transaction goes on.
  for (int i = 0; i < 3; i++) EXPECT_EQ(db.Run(Rows("t", 100 + i, 1)), SQLITE_TOOBIG);
  EXPECT_EQ(sqlite3_get_autocommit(db.db()), 0);
  EXPECT_EQ(Dump(db), before);
  CommitIfOpen(db);
  sqlite3_limit(db.db(), SQLITE_LIMIT_LENGTH, 1000000000);
  EXPECT_EQ(db.Run(Rows("t", 100, 1)), SQLITE_OK);  // the key was not left reserved
  ExpectUsable(db, "t", 9);
}

TEST(WriteFailure, BuildIndexOverTheLengthLimit) {
  for (const char* form : {"INSERT INTO t(t) VALUES ('build-index')",
                           "INSERT OR IGNORE INTO t(t) VALUES ('build-index')"}) {
    SCOPED_TRACE(form);
    TestDb db;
    db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[64] index=ivf lists=2, chunk_size=64)");
    std::string sql = "INSERT INTO t(rowid, v) VALUES ";
    for (int i = 1; i <= 200; i++) {
      if (i > 1) sql += ", ";
      sql += "(" + std::to_string(i) + ", jix_f32('[" + std::to_string(i % 7);
      for (int d = 1; d < 64; d++) sql += d == 1 ? ", " + std::to_string(i % 5) : ", 0";
      sql += "]'))";
    }
    db.Exec(sql);
    const std::string before = Dump(db);
    sqlite3_limit(db.db(), SQLITE_LIMIT_LENGTH, 10000);  // below a 16 KiB vectors BLOB
    db.Exec("BEGIN");
    EXPECT_EQ(db.Run(form), SQLITE_TOOBIG);
    EXPECT_EQ(db.Query(form),
              "jix0: a new chunk of t needs a record of 16448 bytes, over this connection's "
              "length limit of 10000 bytes (SQLITE_LIMIT_LENGTH)");
    EXPECT_EQ(sqlite3_get_autocommit(db.db()), 0);
    EXPECT_EQ(Dump(db), before);
    CommitIfOpen(db);
    sqlite3_limit(db.db(), SQLITE_LIMIT_LENGTH, 1000000000);
    EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
    EXPECT_EQ(db.Query("SELECT count(*) FROM t WHERE v MATCH (SELECT v FROM t WHERE rowid = 1)"
                       " AND k = 500"),
              "200");
  }
}

// Two connections of one shared cache: a read cursor of the first on a shadow table makes
// the second's write to that table fail with SQLITE_LOCKED after its earlier writes.
class SharedCache : public ::testing::Test {
 protected:
  void SetUp() override {
    sqlite3_enable_shared_cache(1);
    uri_ = "file:" + file_.path() + "?cache=shared";
  }
  void TearDown() override { sqlite3_enable_shared_cache(0); }
  sqlite3* Open() {
    sqlite3* db = nullptr;
    EXPECT_EQ(
        sqlite3_open_v2(uri_.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI, nullptr),
        SQLITE_OK);
    return db;
  }
  TempFile file_{"shared"};
  std::string uri_;
};

TEST_F(SharedCache, WritesBlockedByAReaderLeaveNoTrace) {
  const struct {
    const char* readerTable;
    const char* write;
  } cases[] = {
      {"t_auxiliary", "INSERT INTO t(rowid, v, aux) VALUES (100, '[100, 0]', 'x')"},
      {"t_auxiliary", "INSERT OR REPLACE INTO t(rowid, v, aux) VALUES (3, '[30, 0]', 'x')"},
      {"t_rowids", "INSERT INTO t(t) VALUES ('build-index')"},
  };
  {
    TestDb setup(file_.path().c_str());
    setup.Exec(
        "CREATE VIRTUAL TABLE t USING jix0(v float[2] index=ivf lists=3, +aux text,"
        " chunk_size=8)");
    std::string sql = "INSERT INTO t(rowid, v, aux) VALUES ";
    for (int i = 1; i <= 27; i++)
      sql += (i > 1 ? ", (" : "(") + std::to_string(i) + ", '[" + std::to_string(i % 9) + ", " +
             std::to_string(i / 9) + "]', 'a')";
    setup.Exec(sql);
    setup.Exec("INSERT INTO t(t) VALUES ('build-index')");
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.write);
    TestDb writer(uri_.c_str());
    sqlite3* reader = Open();
    sqlite3_stmt* cursor = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(reader, (std::string("SELECT * FROM ") + c.readerTable).c_str(),
                                 -1, &cursor, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(cursor), SQLITE_ROW);
    const std::string before = Dump(writer);
    writer.Exec("BEGIN");
    EXPECT_NE(writer.Run(c.write), SQLITE_OK);
    EXPECT_EQ(Dump(writer), before);
    CommitIfOpen(writer);
    sqlite3_finalize(cursor);
    sqlite3_close(reader);
    EXPECT_EQ(CheckJix0Invariants(writer.db(), "t"), "");
    EXPECT_EQ(writer.Query("SELECT count(*) FROM t"), "27");
    EXPECT_EQ(writer.Query("SELECT count(*) FROM t WHERE v MATCH '[0, 0]' AND k = 100"
                           " AND probes = 3"),
              "27");
  }
}

// Damage met after the first write: REPLACE must not lose the row it replaces, and a plain
// INSERT must not leave its key reserved.
TEST(WriteFailure, DamageMetMidWay) {
  const struct {
    const char* schema;
    const char* damage;
    const char* repair;
  } cases[] = {
      {"CREATE VIRTUAL TABLE t USING jix0(v float[2], chunk_size=8)",
       "UPDATE t_chunks SET validity = X'' WHERE chunk_id = (SELECT max(chunk_id) FROM t_chunks)",
       "UPDATE t_chunks SET validity = X'0F' WHERE chunk_id = (SELECT max(chunk_id) FROM "
       "t_chunks)"},
      {"CREATE VIRTUAL TABLE t USING jix0(v float[2] index=ivf lists=2, chunk_size=8)",
       "UPDATE t_info SET value = 'x' WHERE key = 'IVF_BUILD'",
       "UPDATE t_info SET value = 7 WHERE key = 'IVF_BUILD'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.damage);
    TestDb db;
    db.Exec(c.schema);
    db.Exec(Rows("t", 1, 12));
    if (std::string(c.schema).find("ivf") != std::string::npos)
      db.Exec("INSERT INTO t(t) VALUES ('build-index')");
    db.Exec(c.damage);
    const std::string before = Dump(db);
    db.Exec("BEGIN");
    // The old row is deleted before the damage is met: the transaction goes.
    EXPECT_EQ(db.Run("INSERT OR REPLACE INTO t(rowid, v) VALUES (1, '[5, 5]')"), SQLITE_IOERR);
    EXPECT_NE(std::string(sqlite3_errmsg(db.db())).find(kRolledBackNote), std::string::npos);
    EXPECT_NE(sqlite3_get_autocommit(db.db()), 0);
    EXPECT_EQ(Dump(db), before);
    EXPECT_NE(db.Run("INSERT INTO t(rowid, v) VALUES (100, '[5, 5]')"), SQLITE_OK);
    EXPECT_EQ(Dump(db), before);
    CommitIfOpen(db);
    db.Exec(c.repair);
    EXPECT_EQ(db.Query("SELECT count(*) FROM t"), "12");
    EXPECT_EQ(db.Run("INSERT INTO t(rowid, v) VALUES (100, '[5, 5]')"), SQLITE_OK);
  }
}

// A failed auxiliary insert names the table, the shadow table and SQLite's error.
TEST(WriteFailure, FailedAuxiliaryInsertIsNamed) {
  TestDb db;
  db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[2], +aux text)");
  db.Exec("CREATE TRIGGER d BEFORE INSERT ON t_auxiliary BEGIN SELECT RAISE(ABORT, 'no'); END");
  const std::string before = Dump(db);
  EXPECT_EQ(db.Run("INSERT INTO t(rowid, v, aux) VALUES (1, '[1, 0]', 'x')"), SQLITE_IOERR);
  EXPECT_EQ(std::string(sqlite3_errmsg(db.db())),
            std::string("jix0: could not store the auxiliary values of row 1 in main.t_auxiliary: "
                        "no") +
                kRolledBackNote);
  EXPECT_EQ(Dump(db), before);
}

}  // namespace
