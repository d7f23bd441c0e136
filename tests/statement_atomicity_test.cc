// A failing INSERT, UPDATE or DELETE leaves the shadow tables exactly as they were: in
// autocommit mode, inside BEGIN ... COMMIT after earlier successful writes, and inside a
// SAVEPOINT, where ROLLBACK TO then also undoes the successful writes before it. Multi-row
// statements that fail on a later row must undo their earlier rows too.
#include <gtest/gtest.h>
#include <string>

#include "support/invariants.h"
#include "support/test_db.h"

namespace {

constexpr const char* kSchema =
    "CREATE VIRTUAL TABLE t USING jix0(p integer partition key, v float[2], i int8[2],"
    " +aux text, n integer, s text, f boolean, chunk_size=8);"
    "INSERT INTO t(rowid, p, v, i, aux, n, s, f) VALUES"
    " (1, 1, '[1, 0]', jix_int8('[1, 2]'), 'a', 1, 'short', 1),"
    " (2, 1, '[2, 0]', jix_int8('[3, 4]'), 'b', 2, 'a text longer than twelve', 0),"
    " (3, 2, '[3, 0]', jix_int8('[5, 6]'), NULL, 3, 'x', 1);"
    "CREATE VIRTUAL TABLE d USING jix0(id text primary key, v float[1], chunk_size=8);"
    "INSERT INTO d(id, v) VALUES ('a', '[1]'), ('b', '[2]');"
    // Without partition keys, so that updates can run through a full scan.
    "CREATE VIRTUAL TABLE m USING jix0(v float[2], n integer, s text, chunk_size=8);"
    "INSERT INTO m(rowid, v, n, s) VALUES (1, '[1, 0]', 1, 'a'), (2, '[2, 0]', 2, 'b'),"
    " (3, '[3, 0]', 3, 'c');";

// A successful write made before the failing statement, inside the same transaction.
constexpr const char* kEarlierWrite =
    "INSERT INTO t(rowid, p, v, i, aux, n, s, f) VALUES"
    " (10, 1, '[9, 9]', jix_int8('[9, 9]'), 'z', 9, 'another text longer than twelve', 0);"
    "UPDATE t SET s = 'now a rather long text' WHERE rowid = 1;"
    "DELETE FROM t WHERE rowid = 3";

struct FailingWrite {
  const char* sql;
  const char* message;
};

const FailingWrite kFailingWrites[] = {
    // Single-row inserts: every check of the row.
    {"INSERT INTO t(rowid, p, v, i, n, s, f) VALUES (20, 'x', '[1, 1]', jix_int8('[1, 1]'), 1, "
     "'s', 1)",
     "Parition key type mismatch: The partition key column p has type INTEGER, but TEXT was "
     "provided."},
    {"INSERT INTO t(rowid, p, v, i, n, s, f) VALUES (20, 1, '[1, 1, 1]', jix_int8('[1, 1]'), 1, "
     "'s', 1)",
     "Dimension mismatch for inserted vector for the \"v\" column. Expected 2 dimensions but "
     "received 3."},
    {"INSERT INTO t(rowid, p, v, i, n, s, f) VALUES (2, 1, '[1, 1]', jix_int8('[1, 1]'), 1, 's', "
     "1)",
     "UNIQUE constraint failed on t primary key"},
    {"INSERT INTO t(rowid, p, v, i, aux, n, s, f) VALUES (20, 1, '[1, 1]', jix_int8('[1, 1]'), 5, "
     "1, 's', 1)",
     "Auxiliary column type mismatch: The auxiliary column aux has type TEXT, but INTEGER was "
     "provided."},
    {"INSERT INTO t(rowid, p, v, i, n, s, f) VALUES (20, 1, '[1, 1]', jix_int8('[1, 1]'), 1, 's', "
     "2)",
     "Expected 0 or 1 for BOOLEAN metadata column f"},
    {"INSERT INTO t(rowid, p, v, i, n, s, f) VALUES (20, 1, '[1, 1]', jix_int8('[1, 1]'), 1, 5, 1)",
     "Expected text for TEXT metadata column s, received INTEGER"},
    {"INSERT INTO d(id, v) VALUES ('a', '[5]')", "UNIQUE constraint failed on d primary key"},
    // Multi-row: the first row is stored, then the second fails.
    {"INSERT INTO t(rowid, p, v, i, n, s, f) VALUES (20, 1, '[1, 1]', jix_int8('[1, 1]'), 1, 'new "
     "long text value', 1),"
     " (21, 1, '[1, 1]', jix_int8('[1, 1]'), 1, 's', 7)",
     "Expected 0 or 1 for BOOLEAN metadata column f"},
    // Updates.
    {"UPDATE t SET p = 5 WHERE rowid = 1",
     "UPDATE on partition key columns are not supported yet. "},
    {"UPDATE t SET rowid = 99 WHERE rowid = 1",
     "UPDATEs on jix0 primary key values are not allowed."},
    {"UPDATE d SET id = 'q' WHERE id = 'a'", "UPDATEs on jix0 primary key values are not allowed."},
    {"UPDATE t SET s = 'a new text that is long', v = '[1, 2, 3]' WHERE rowid = 1",
     "Dimension mismatch for new updated vector for the \"v\" column. Expected 2 dimensions but "
     "received 3."},
    {"UPDATE m SET n = CASE WHEN rowid = 2 THEN 'bad' ELSE 50 END, s = 'every row gets a long "
     "text'",
     "Expected integer for INTEGER metadata column n, received TEXT"},
};

class StatementAtomicity : public ::testing::Test {
 protected:
  void SetUp() override { db_.Exec(kSchema); }
  std::string Dump() { return db_.DumpTables("t_") + db_.DumpTables("d_") + db_.DumpTables("m_"); }
  void ExpectFailure(const FailingWrite& w) { EXPECT_EQ(db_.Query(w.sql), w.message); }
  void ExpectIntact() {
    EXPECT_EQ(CheckJix0Invariants(db_.db(), "t"), "");
    EXPECT_EQ(CheckJix0Invariants(db_.db(), "d"), "");
    EXPECT_EQ(CheckJix0Invariants(db_.db(), "m"), "");
  }
  TestDb db_;
};

TEST_F(StatementAtomicity, Autocommit) {
  for (const FailingWrite& w : kFailingWrites) {
    SCOPED_TRACE(w.sql);
    const std::string before = Dump();
    ExpectFailure(w);
    EXPECT_EQ(Dump(), before);
  }
  ExpectIntact();
}

TEST_F(StatementAtomicity, InsideATransaction) {
  for (const FailingWrite& w : kFailingWrites) {
    SCOPED_TRACE(w.sql);
    db_.Exec("BEGIN");
    db_.Exec(kEarlierWrite);
    const std::string before = Dump();
    ExpectFailure(w);
    EXPECT_EQ(Dump(), before);
    ExpectIntact();
    db_.Exec("ROLLBACK");
  }
}

TEST_F(StatementAtomicity, InsideASavepoint) {
  for (const FailingWrite& w : kFailingWrites) {
    SCOPED_TRACE(w.sql);
    const std::string start = Dump();
    db_.Exec("BEGIN; SAVEPOINT s");
    db_.Exec(kEarlierWrite);
    const std::string before = Dump();
    ExpectFailure(w);
    EXPECT_EQ(Dump(), before);
    db_.Exec("ROLLBACK TO s");
    EXPECT_EQ(Dump(), start);
    ExpectIntact();
    db_.Exec("RELEASE s; COMMIT");
  }
}

}  // namespace
