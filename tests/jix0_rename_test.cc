// ALTER TABLE ... RENAME TO moves every shadow table with the table, inside the same
// statement: the renamed table reads, writes, reopens and drops; a rename that fails or is
// rolled back leaves the old names in place.
#include <unistd.h>

#include <gtest/gtest.h>
#include <string>

#include "support/invariants.h"
#include "support/test_db.h"

namespace {

constexpr const char* kSchema =
    "CREATE VIRTUAL TABLE t USING jix0(p integer partition key, v float[2], w int8[2], "
    "+a text, n integer, s text, chunk_size=8);"
    "INSERT INTO t(rowid, p, v, w, a, n, s) VALUES"
    " (1, 1, '[1,0]', jix_int8('[1,2]'), 'one', 1, 'a text longer than twelve bytes'),"
    " (2, 2, '[2,0]', jix_int8('[3,4]'), NULL, 2, 'short');";

constexpr const char* kShadowNames =
    "SELECT name FROM sqlite_master WHERE name NOT LIKE 'sqlite_%' ORDER BY name";

std::string ShadowNamesOf(const std::string& table) {
  std::string out = table;
  for (const char* suffix :
       {"_auxiliary", "_chunks", "_info", "_metadatachunks00", "_metadatachunks01",
        "_metadatatext01", "_rowids", "_vector_chunks00", "_vector_chunks01"}) {
    out += "\n" + table + suffix;
  }
  return out;
}

// What the table answers through every access path.
std::string Answers(TestDb& db, const std::string& table) {
  return db.Query("SELECT rowid, p, v, w, a, n, s FROM " + table + " ORDER BY rowid") + "\n" +
         db.Query("SELECT rowid, distance FROM " + table + " WHERE v MATCH '[0,0]' AND k = 5") +
         "\n" + db.Query("SELECT s FROM " + table + " WHERE rowid = 1") + "\n" +
         db.Query("SELECT name, seq FROM sqlite_sequence ORDER BY name");
}

class Jix0Rename : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ::testing::TempDir() + "jix_rename_" + std::to_string(getpid()) + ".db";
    unlink(path_.c_str());
  }
  void TearDown() override { unlink(path_.c_str()); }
  std::string path_;
};

// In every mode SQLite renames in: the current one, legacy_alter_table, and defensive mode
// (where shadow tables are read-only to ordinary SQL).
TEST_F(Jix0Rename, RenamedTableReadsWritesReopensAndDrops) {
  for (const char* setting : {"", "PRAGMA legacy_alter_table = ON", "defensive"}) {
    SCOPED_TRACE(setting);
    unlink(path_.c_str());
    std::string before;
    {
      TestDb db(path_.c_str());
      if (std::string(setting) == "defensive") {
        ASSERT_EQ(sqlite3_db_config(db.db(), SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr), SQLITE_OK);
      } else if (*setting) {
        db.Exec(setting);
      }
      db.Exec(kSchema);
      std::string sequenceBefore = db.Query("SELECT seq FROM sqlite_sequence ORDER BY name");
      before = db.Query("SELECT rowid, p, v, w, a, n, s FROM t ORDER BY rowid");
      EXPECT_EQ(db.Query("ALTER TABLE t RENAME TO u"), "");
      EXPECT_EQ(db.Query(kShadowNames), ShadowNamesOf("u"));
      EXPECT_EQ(db.Query("SELECT name FROM sqlite_sequence ORDER BY name"), "u_chunks\nu_rowids");
      EXPECT_EQ(db.Query("SELECT seq FROM sqlite_sequence ORDER BY name"), sequenceBefore);
      EXPECT_EQ(db.Query("SELECT rowid, p, v, w, a, n, s FROM u ORDER BY rowid"), before);
      EXPECT_EQ(db.Query("SELECT * FROM t"), "no such table: t");
      // Every write path works on the new names.
      db.Exec(
          "INSERT INTO u(rowid, p, v, w, a, n, s) VALUES (3, 1, '[3,0]', jix_int8('[5,6]'), "
          "'three', 3, 'another text longer than twelve');"
          "UPDATE u SET s = 'now short', v = '[1,1]' WHERE rowid = 1;"
          "DELETE FROM u WHERE rowid = 2;"
          "REPLACE INTO u(rowid, p, v, w, a, n, s) VALUES (3, 2, '[4,0]', jix_int8('[7,8]'), "
          "NULL, 4, 'replaced by a text longer than twelve')");
      EXPECT_EQ(db.Query("PRAGMA integrity_check"), "ok");
      EXPECT_EQ(CheckJix0Invariants(db.db(), "u"), "");
      before = Answers(db, "u");
    }
    TestDb db(path_.c_str());
    EXPECT_EQ(Answers(db, "u"), before);
    // Renamed again, back to the first name, on a fresh connection.
    EXPECT_EQ(db.Query("ALTER TABLE u RENAME TO t"), "");
    EXPECT_EQ(db.Query(kShadowNames), ShadowNamesOf("t"));
    EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
    EXPECT_EQ(db.Query("DROP TABLE t"), "");
    EXPECT_EQ(db.Query("SELECT name FROM sqlite_master WHERE name <> 'sqlite_sequence'"), "");
    EXPECT_EQ(db.Query("SELECT count(*) FROM sqlite_sequence"), "0");
    EXPECT_EQ(db.Query("PRAGMA integrity_check"), "ok");
  }
}

// A rename rolled back with its transaction, or refused because a shadow table's new name is
// taken, leaves every name and byte as it was, and the table keeps working under its old name.
TEST_F(Jix0Rename, FailedOrRolledBackRenameChangesNothing) {
  TestDb db(path_.c_str());
  db.Exec(kSchema);
  const std::string dump = db.DumpTables("t_");
  const std::string answers = Answers(db, "t");

  db.Exec("BEGIN");
  EXPECT_EQ(db.Query("ALTER TABLE t RENAME TO u"), "");
  db.Exec("INSERT INTO u(rowid, p, v, w, n, s) VALUES (5, 1, '[5,0]', jix_int8('[1,1]'), 5, 'x')");
  db.Exec("ROLLBACK");
  EXPECT_EQ(db.Query(kShadowNames), ShadowNamesOf("t"));
  EXPECT_EQ(db.DumpTables("t_"), dump);
  EXPECT_EQ(Answers(db, "t"), answers);

  db.Exec("CREATE TABLE u_rowids(x)");
  EXPECT_EQ(db.Query("ALTER TABLE t RENAME TO u"),
            "could not rename shadow tables of t: there is already another table or index with "
            "this name: u_rowids");
  EXPECT_EQ(db.Query(kShadowNames), ShadowNamesOf("t") + "\nu_rowids");
  EXPECT_EQ(db.DumpTables("t_"), dump);
  EXPECT_EQ(Answers(db, "t"), answers);
  db.Exec("INSERT INTO t(rowid, p, v, w, n, s) VALUES (5, 1, '[5,0]', jix_int8('[1,1]'), 5, 'x')");
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
  EXPECT_EQ(db.Query("PRAGMA integrity_check"), "ok");
}

// A table that lost a shadow table can still be renamed and dropped: what exists moves.
TEST_F(Jix0Rename, RenameMovesWhatExists) {
  TestDb db(path_.c_str());
  db.Exec(kSchema);
  db.Exec("DROP TABLE t_info");
  EXPECT_EQ(db.Query("ALTER TABLE t RENAME TO u"), "");
  EXPECT_EQ(db.Query("SELECT count(*) FROM sqlite_master WHERE name LIKE 't%'"), "0");
  EXPECT_EQ(db.Query("SELECT rowid FROM u ORDER BY rowid"), "1\n2");
  EXPECT_EQ(db.Query("DROP TABLE u"), "");
  EXPECT_EQ(db.Query("SELECT name FROM sqlite_master WHERE name <> 'sqlite_sequence'"), "");
}

}  // namespace
