// A jix0 table written by one connection is read and extended by later ones: they connect
// to the stored shadow tables (never re-create them) and continue the same chunks.
#include <unistd.h>

#include <gtest/gtest.h>
#include <string>

#include "support/invariants.h"
#include "support/test_db.h"

namespace {

class Persistence : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ::testing::TempDir() + "jix_persistence_" + std::to_string(getpid()) + ".db";
    unlink(path_.c_str());
  }
  void TearDown() override { unlink(path_.c_str()); }
  std::string path_;
};

TEST_F(Persistence, LaterConnectionsConnectAndContinueTheChunks) {
  {
    TestDb db(path_.c_str());
    db.Exec(
        "CREATE VIRTUAL TABLE t USING jix0(p int partition key, v float[2], +a text, "
        "m text, id text primary key, chunk_size=8)");
    db.Exec("INSERT INTO t(id, p, v, a, m) VALUES ('one', 1, '[1,2]', 'x', 'a long text value')");
    // Marks the stored table, so a re-creation would show.
    db.Exec(
        "UPDATE t_info SET value = 'written by the first connection' WHERE key = "
        "'CREATE_VERSION'");
  }
  const std::string expectedChunks = "1|1|X'03'\n2|2|X'01'";
  {
    TestDb db(path_.c_str());
    db.Exec("INSERT INTO t(id, p, v, a, m) VALUES ('two', 1, '[3,4]', NULL, 'b')");
    db.Exec("INSERT INTO t(id, p, v, a, m) VALUES ('three', 2, '[5,6]', 'z', 'c')");
    EXPECT_EQ(db.Query("INSERT INTO t(id, p, v, a, m) VALUES ('one', 1, '[1,2]', 'x', 'a')"),
              "UNIQUE constraint failed on t primary key");
    EXPECT_EQ(db.Query("SELECT chunk_id, partition00, validity FROM t_chunks"), expectedChunks);
  }
  TestDb db(path_.c_str());
  EXPECT_EQ(db.Query("SELECT value FROM t_info WHERE key = 'CREATE_VERSION'"),
            "written by the first connection");
  EXPECT_EQ(db.Query("SELECT rowid, id, chunk_id, chunk_offset FROM t_rowids"),
            "1|one|1|0\n2|two|1|1\n3|three|2|0");
  EXPECT_EQ(db.Query("SELECT chunk_id, partition00, validity FROM t_chunks"), expectedChunks);
  EXPECT_EQ(db.Query("SELECT rowid, data FROM t_metadatatext00"), "1|a long text value");
  EXPECT_EQ(db.Query("SELECT rowid, value00 FROM t_auxiliary"), "1|x\n2|NULL\n3|z");
  EXPECT_EQ(db.Query("SELECT hex(substr(vectors, 9, 8)) FROM t_vector_chunks00 WHERE _rowid_ = 1"),
            "0000404000008040");
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
}

TEST_F(Persistence, TwoConnectionsShareOneTable) {
  TestDb first(path_.c_str());
  first.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[1], chunk_size=8)");
  TestDb second(path_.c_str());
  first.Exec("INSERT INTO t(v) VALUES ('[1]')");
  second.Exec("INSERT INTO t(v) VALUES ('[2]')");
  first.Exec("INSERT INTO t(v) VALUES ('[3]')");
  EXPECT_EQ(second.Query("SELECT rowid, chunk_id, chunk_offset FROM t_rowids"),
            "1|1|0\n2|1|1\n3|1|2");
  EXPECT_EQ(second.Query("SELECT validity FROM t_chunks"), "X'07'");
  second.Exec("DROP TABLE t");
  EXPECT_EQ(first.Query("SELECT name FROM sqlite_master"), "sqlite_sequence");
}

}  // namespace
