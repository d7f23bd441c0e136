// Duplicate keys and conflict clauses: a taken key is a constraint failure that SQLite
// resolves as the statement asks (ABORT, FAIL, ROLLBACK, IGNORE), and OR REPLACE swaps the
// whole row, moving it to its new partition.
#include <gtest/gtest.h>
#include <string>

#include "support/invariants.h"
#include "support/test_db.h"

namespace {

// One table per kind of key, each holding keys 1 and 2 ('1' and '2' for TEXT).
struct KeyedTable {
  const char* name;
  const char* key;  // the id column
  const char* create;
};

constexpr KeyedTable kTables[] = {
    {"r", "rowid",
     "CREATE VIRTUAL TABLE r USING jix0(p integer partition key, v float[2], +a text, "
     "n integer, s text, chunk_size=8)"},
    {"i", "id",
     "CREATE VIRTUAL TABLE i USING jix0(id integer primary key, p integer partition key, "
     "v float[2], +a text, n integer, s text, chunk_size=8)"},
    {"x", "id",
     "CREATE VIRTUAL TABLE x USING jix0(id text primary key, p integer partition key, "
     "v float[2], +a text, n integer, s text, chunk_size=8)"},
};

std::string Key(const KeyedTable& t, int k) {
  return std::string(t.name) == "x" ? "'" + std::to_string(k) + "'" : std::to_string(k);
}

std::string Insert(const KeyedTable& t, const std::string& verb, const std::string& rows) {
  return verb + " INTO " + t.name + "(" + t.key + ", p, v, a, n, s) VALUES " + rows;
}

std::string Row(const KeyedTable& t, int k, int p, const char* v, const char* a, int n,
                const char* s) {
  return "(" + Key(t, k) + ", " + std::to_string(p) + ", '" + v + "', " + a + ", " +
         std::to_string(n) + ", '" + s + "')";
}

class Jix0Conflict : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const KeyedTable& t : kTables) {
      db_.Exec(t.create);
      db_.Exec(Insert(t, "INSERT",
                      Row(t, 1, 1, "[1,0]", "'one'", 1, "a text longer than twelve bytes") + "," +
                          Row(t, 2, 1, "[2,0]", "NULL", 2, "short")));
    }
  }
  std::string Dump(const KeyedTable& t) {
    return db_.DumpTables(std::string(t.name) + "_") + db_.DumpTables("sqlite_sequence");
  }
  std::string Rows(const KeyedTable& t) {
    return db_.Query(std::string("SELECT ") + t.key + ", p, v, a, n, s FROM " + t.name +
                     " ORDER BY 1");
  }
  TestDb db_;
};

TEST_F(Jix0Conflict, DuplicateKeyIsAPrimaryKeyConstraintFailure) {
  for (const KeyedTable& t : kTables) {
    SCOPED_TRACE(t.name);
    const std::string before = Dump(t);
    std::string sql = Insert(t, "INSERT", Row(t, 1, 2, "[9,9]", "'new'", 9, "n"));
    EXPECT_EQ(db_.Query(sql),
              std::string("UNIQUE constraint failed on ") + t.name + " primary key");
    EXPECT_EQ(sqlite3_extended_errcode(db_.db()), SQLITE_CONSTRAINT_PRIMARYKEY);
    EXPECT_EQ(Dump(t), before);
  }
}

// The default (ABORT) undoes the failing statement's earlier rows and keeps the
// transaction; FAIL keeps them; ROLLBACK ends the transaction; IGNORE skips only the row.
TEST_F(Jix0Conflict, ConflictClausesResolveAsForOrdinaryTables) {
  struct Case {
    const char* verb;
    int code;
    bool keepsEarlierRows;
    bool keepsStatementRows;
    bool keepsLaterRows;
  };
  const Case cases[] = {
      {"INSERT", SQLITE_CONSTRAINT, true, false, false},
      {"INSERT OR ABORT", SQLITE_CONSTRAINT, true, false, false},
      {"INSERT OR FAIL", SQLITE_CONSTRAINT, true, true, false},
      {"INSERT OR ROLLBACK", SQLITE_CONSTRAINT, false, false, false},
      {"INSERT OR IGNORE", SQLITE_OK, true, true, true},
  };
  for (const KeyedTable& t : kTables) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(t.name) + " " + c.verb);
      db_.Exec("BEGIN");
      db_.Exec(Insert(t, "INSERT", Row(t, 5, 1, "[5,0]", "NULL", 5, "earlier")));
      // Row 6 is stored, row 1 collides, row 7 comes after it.
      std::string sql = Insert(t, c.verb,
                               Row(t, 6, 2, "[6,0]", "NULL", 6, "statement") + "," +
                                   Row(t, 1, 2, "[9,9]", "'new'", 9, "collides") + "," +
                                   Row(t, 7, 1, "[7,0]", "NULL", 7, "later"));
      EXPECT_EQ(db_.Run(sql), c.code);
      const bool open = !sqlite3_get_autocommit(db_.db());
      EXPECT_EQ(open, c.keepsEarlierRows);
      auto count = [&](int k) {
        return db_.Query(std::string("SELECT count(*) FROM ") + t.name + " WHERE " + t.key + " = " +
                         Key(t, k));
      };
      EXPECT_EQ(count(5), c.keepsEarlierRows ? "1" : "0");
      EXPECT_EQ(count(6), c.keepsStatementRows ? "1" : "0");
      EXPECT_EQ(count(7), c.keepsLaterRows ? "1" : "0");
      // The old row 1 is untouched.
      EXPECT_EQ(db_.Query(std::string("SELECT p, v, a, n, s FROM ") + t.name + " WHERE " + t.key +
                          " = " + Key(t, 1)),
                "1|X'0000803F00000000'|one|1|a text longer than twelve bytes");
      EXPECT_EQ(CheckJix0Invariants(db_.db(), t.name), "");
      if (open) db_.Exec("ROLLBACK");
    }
  }
}

// OR IGNORE counts only the rows it stored.
TEST_F(Jix0Conflict, IgnoreSkipsTakenKeys) {
  for (const KeyedTable& t : kTables) {
    SCOPED_TRACE(t.name);
    const std::string before = Rows(t);
    db_.Exec(Insert(t, "INSERT OR IGNORE", Row(t, 2, 2, "[9,9]", "'new'", 9, "n")));
    EXPECT_EQ(sqlite3_changes(db_.db()), 0);
    EXPECT_EQ(Rows(t), before);
    db_.Exec(Insert(
        t, "INSERT OR IGNORE",
        Row(t, 1, 2, "[9,9]", "'new'", 9, "n") + "," + Row(t, 3, 2, "[3,0]", "NULL", 3, "three")));
    EXPECT_EQ(sqlite3_changes(db_.db()), 1);
    EXPECT_EQ(db_.Query(std::string("SELECT count(*) FROM ") + t.name), "3");
    EXPECT_EQ(CheckJix0Invariants(db_.db(), t.name), "");
  }
}

// OR REPLACE and REPLACE INTO swap every value of the row: vector, partition (the row moves
// to a chunk of its new partition), auxiliary value (also to NULL) and metadata, long texts
// included. A KNN search then finds the new vector only.
TEST_F(Jix0Conflict, ReplaceSwapsTheWholeRow) {
  for (const KeyedTable& t : kTables) {
    for (const char* verb : {"INSERT OR REPLACE", "REPLACE"}) {
      SCOPED_TRACE(std::string(t.name) + " " + verb);
      db_.Exec("SAVEPOINT s");
      db_.Exec(Insert(t, verb,
                      Row(t, 1, 2, "[7,7]", "NULL", 10, "short now") + "," +
                          Row(t, 2, 1, "[8,8]", "'aux'", 20, "now a text longer than twelve")));
      EXPECT_EQ(sqlite3_changes(db_.db()), 2);
      std::string k1 = Key(t, 1), k2 = Key(t, 2);
      if (std::string(t.name) == "x") k1 = "1", k2 = "2";
      EXPECT_EQ(Rows(t), k1 + "|2|X'0000E0400000E040'|NULL|10|short now\n" + k2 +
                             "|1|X'0000004100000041'|aux|20|now a text longer than twelve");
      EXPECT_EQ(db_.Query(std::string("SELECT ") + t.key + ", distance FROM " + t.name +
                          " WHERE v MATCH '[7,7]' AND k = 5 AND p = 2"),
                k1 + "|0.0");
      EXPECT_EQ(db_.Query(std::string("SELECT count(*) FROM ") + t.name +
                          " WHERE v MATCH '[1,0]' AND k = 5 AND p = 1 AND distance < 0.5"),
                "0");
      // Row 1 now lives in a chunk of partition 2.
      EXPECT_EQ(db_.Query(std::string("SELECT c.partition00 FROM ") + t.name + "_rowids r JOIN " +
                          t.name + "_chunks c USING (chunk_id) ORDER BY r.rowid DESC LIMIT 2"),
                "1\n2");
      EXPECT_EQ(CheckJix0Invariants(db_.db(), t.name), "");
      db_.Exec("ROLLBACK TO s; RELEASE s");
    }
  }
}

// A replacement that is refused by another check leaves the old row in place, even inside a
// transaction; so does one refused under the default conflict clause.
TEST_F(Jix0Conflict, RefusedReplaceKeepsTheOldRow) {
  for (const KeyedTable& t : kTables) {
    SCOPED_TRACE(t.name);
    db_.Exec("BEGIN");
    const std::string before = Dump(t);
    EXPECT_EQ(db_.Query(Insert(t, "REPLACE", Row(t, 1, 2, "[1,2,3]", "NULL", 1, "s"))),
              "Dimension mismatch for inserted vector for the \"v\" column. Expected 2 "
              "dimensions but received 3.");
    EXPECT_EQ(db_.Query(Insert(t, "REPLACE", Row(t, 1, 2, "[1,2]", "5", 1, "s"))),
              "Auxiliary column type mismatch: The auxiliary column a has type TEXT, but INTEGER "
              "was provided.");
    EXPECT_EQ(db_.Query(std::string("REPLACE INTO ") + t.name + "(" + t.key +
                        ", p, v, a, n, s) VALUES (" + Key(t, 1) + ", 2, '[1,2]', NULL, 'n', 's')"),
              "Expected integer for INTEGER metadata column n, received TEXT");
    EXPECT_EQ(Dump(t), before);
    db_.Exec("COMMIT");
  }
}

// UPDATE cannot move a row onto another key, whatever the conflict clause.
TEST_F(Jix0Conflict, UpdateOntoATakenKeyStaysRefused) {
  for (const KeyedTable& t : kTables) {
    SCOPED_TRACE(t.name);
    const std::string before = Dump(t);
    for (const char* verb : {"UPDATE", "UPDATE OR REPLACE", "UPDATE OR IGNORE"}) {
      EXPECT_EQ(db_.Query(std::string(verb) + " " + t.name + " SET " + t.key + " = " + Key(t, 2) +
                          " WHERE " + t.key + " = " + Key(t, 1)),
                "UPDATEs on jix0 primary key values are not allowed.");
    }
    EXPECT_EQ(Dump(t), before);
  }
}

}  // namespace
