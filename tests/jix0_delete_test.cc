// DELETE from jix0 tables, observed in the shadow tables: a deleted row leaves no byte
// behind, freed slots are reused only in the newest chunk, empty chunks vanish from every
// chunk table, and damaged storage is refused with its message before anything is written.
#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "jix0/write/write.h"
#include "support/captured_vtab.h"
#include "support/invariants.h"
#include "support/test_db.h"

namespace {

struct ValueFree {
  void operator()(sqlite3_value* v) const { sqlite3_value_free(v); }
};
using Value = std::unique_ptr<sqlite3_value, ValueFree>;

// The first column of a one-row query, as a value of its own.
Value ValueOf(TestDb& db, const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db.db(), sql.c_str(), -1, &stmt, nullptr);
  EXPECT_EQ(sqlite3_step(stmt), SQLITE_ROW) << sql;
  Value value(sqlite3_value_dup(sqlite3_column_value(stmt, 0)));
  sqlite3_finalize(stmt);
  return value;
}

constexpr const char kEveryKind[] =
    "CREATE VIRTUAL TABLE t USING jix0(p text partition key, f float[2], i int8[3], b bit[8], "
    "+a text, mb bool, mi int, mf float, mt text, chunk_size=8)";

std::string InsertEveryKind(int rowid, const char* text) {
  return "INSERT INTO t(rowid, p, f, i, b, a, mb, mi, mf, mt) VALUES (" + std::to_string(rowid) +
         ", 'x', '[1.5, -2]', jix_int8('[1, -1, 127]'), jix_bit(X'A5'), 'aux', 1, -7, 0.25, '" +
         text + "')";
}

TEST(Jix0Delete, DeletedRowLeavesNoTrace) {
  TestDb db;
  db.Exec(kEveryKind);
  db.Exec(InsertEveryKind(1, "short"));
  const std::string before = db.DumpTables("t_");
  // Same values in the neighbouring slot, so clearing one slot's bits must spare the other's.
  db.Exec(InsertEveryKind(2, "longer than twelve bytes"));
  ASSERT_NE(db.DumpTables("t_"), before);
  EXPECT_EQ(db.Query("DELETE FROM t WHERE rowid = 2"), "");
  EXPECT_EQ(db.DumpTables("t_"), before);

  // A short text leaves the long-text table alone; the last row takes its chunk with it.
  db.Exec(InsertEveryKind(3, "twelve bytes"));
  db.Exec("DELETE FROM t WHERE rowid IN (1, 3)");
  EXPECT_EQ(db.DumpTables("t_"),
            "== t_auxiliary\n\n== t_chunks\n\n== t_info\n" +
                db.Query("SELECT _rowid_, * FROM t_info") +
                "\n== t_metadatachunks00\n\n== t_metadatachunks01\n\n== t_metadatachunks02\n\n"
                "== t_metadatachunks03\n\n== t_metadatatext03\n\n== t_rowids\n\n"
                "== t_vector_chunks00\n\n== t_vector_chunks01\n\n== t_vector_chunks02\n\n");
}

TEST(Jix0Delete, FreedSlotsAndEmptyChunks) {
  TestDb db;
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0(p integer partition key, v float[1], m text, "
      "chunk_size=8)");
  for (int i = 1; i <= 10; i++) {
    db.Exec("INSERT INTO t(rowid, p, v, m) VALUES (" + std::to_string(i) + ", 1, '[" +
            std::to_string(i) + "]', 'm')");
  }
  db.Exec("INSERT INTO t(rowid, p, v, m) VALUES (20, 2, '[20]', 'other partition')");
  ASSERT_EQ(db.Query("SELECT chunk_id, partition00, validity FROM t_chunks"),
            "1|1|X'FF'\n2|1|X'03'\n3|2|X'01'");

  // A slot freed in the newest chunk of the partition is taken again; one freed in an older
  // chunk is not.
  db.Exec("DELETE FROM t WHERE rowid IN (3, 10)");
  db.Exec("INSERT INTO t(rowid, p, v, m) VALUES (11, 1, '[11]', 'm')");
  db.Exec("INSERT INTO t(rowid, p, v, m) VALUES (12, 1, '[12]', 'm')");
  EXPECT_EQ(db.Query("SELECT rowid, chunk_id, chunk_offset FROM t_rowids WHERE rowid > 10"),
            "11|2|1\n12|2|2\n20|3|0");
  EXPECT_EQ(db.Query("SELECT chunk_id, validity FROM t_chunks"), "1|X'FB'\n2|X'07'\n3|X'01'");

  // Emptying chunks 2 and 3 removes them everywhere; chunk ids are never handed out again.
  db.Exec("DELETE FROM t WHERE rowid IN (9, 11, 12, 20)");
  EXPECT_EQ(db.Query("SELECT chunk_id FROM t_chunks"), "1");
  EXPECT_EQ(db.Query("SELECT rowid FROM t_vector_chunks00"), "1");
  EXPECT_EQ(db.Query("SELECT rowid FROM t_metadatachunks00"), "1");
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
  db.Exec("INSERT INTO t(rowid, p, v, m) VALUES (21, 2, '[21]', 'm')");
  db.Exec("INSERT INTO t(rowid, p, v, m) VALUES (22, 1, '[22]', 'm')");
  EXPECT_EQ(db.Query("SELECT rowid, chunk_id, chunk_offset FROM t_rowids WHERE rowid > 20"),
            "21|4|0\n22|1|2");  // chunk 1 is the partition's newest again
  EXPECT_EQ(db.Query("SELECT rowid FROM t WHERE v MATCH '[2]' AND k = 3 AND p = 1"), "2\n1\n4");
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
}

TEST(Jix0Delete, TextKeyCanBeInsertedAgain) {
  TestDb db;
  db.Exec("CREATE VIRTUAL TABLE t USING jix0(id text primary key, v float[1], +a text)");
  db.Exec("INSERT INTO t(id, v, a) VALUES ('a', '[1]', 'first'), ('b', '[2]', 'b')");
  EXPECT_EQ(db.Query("DELETE FROM t WHERE id = 'a'"), "");
  EXPECT_EQ(db.Query("SELECT rowid, id FROM t_rowids"), "2|b");
  EXPECT_EQ(db.Query("INSERT INTO t(id, v, a) VALUES ('a', '[3]', 'second')"), "");
  EXPECT_EQ(db.Query("SELECT id, a FROM t ORDER BY id"), "a|second\nb|b");
  EXPECT_EQ(db.Query("SELECT rowid, id FROM t_rowids ORDER BY rowid"), "2|b\n3|a");
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
}

TEST(Jix0Delete, DeletesEveryRowAScanFinds) {
  TestDb db;
  db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[1], n int, chunk_size=8)");
  for (int i = 1; i <= 20; i++) {
    db.Exec("INSERT INTO t(v, n) VALUES ('[" + std::to_string(i) + "]', " + std::to_string(i % 3) +
            ")");
  }
  EXPECT_EQ(db.Query("DELETE FROM t WHERE n = 0"), "");
  EXPECT_EQ(db.Query("SELECT count(*), sum(n = 0) FROM t"), "14|0");
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
  EXPECT_EQ(db.Query("DELETE FROM t"), "");
  EXPECT_EQ(db.Query("SELECT count(*) FROM t_chunks"), "0");
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
}

// Rows 1 to 10 in slots 0 to 9 of chunk 1 (two validity bytes), every column kind that has a
// chunk BLOB of its own.
void FillDamageTable(TestDb& db) {
  RegisterCapturingJix0(db.db());
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0_capture(f float[2], i int8[4], +a text, mt text, "
      "mi int, chunk_size=16)");
  for (int i = 1; i <= 10; i++) {
    db.Exec("INSERT INTO t(rowid, f, i, a, mt, mi) VALUES (" + std::to_string(i) +
            ", '[1, 2]', jix_int8('[1, 2, 3, 4]'), 'a', 'a text longer than twelve', 5)");
  }
}

TEST(Jix0Delete, DamagedStorageIsRefusedBeforeAnyWrite) {
  struct Case {
    const char* damage;
    int rowid;
    const char* message;
  };
  const Case cases[] = {
      // The bit alone decides, whatever the rest of its byte holds; "at" names the byte.
      {"UPDATE t_chunks SET validity = X'FEFF'", 1,
       "jix0 deletion error: validity bit is not set for main.t_chunks.1 at 0"},
      {"UPDATE t_chunks SET validity = X'FF01'", 10,
       "jix0 deletion error: validity bit is not set for main.t_chunks.1 at 1"},
      {"UPDATE t_rowids SET chunk_id = 7 WHERE rowid = 1", 1,
       "could not open validity blob for main.t_chunks.7"},
      {"UPDATE t_chunks SET validity = X'FF'", 10,
       "could not read validity blob for main.t_chunks.1 at 1"},
      {"UPDATE t_chunks SET rowids = 0", 1, "could not open rowids blob for main.t_chunks.1"},
      {"UPDATE t_chunks SET rowids = zeroblob(72)", 10,
       "could not write to rowids blob for main.t_chunks.1 at 9"},
      {"DELETE FROM t_vector_chunks01", 1,
       "could not open vector blob for main.t_vector_chunks01.1 column 1"},
      {"UPDATE t_vector_chunks00 SET vectors = zeroblob(79)", 10,
       "could not write to vector blob for main.t_vector_chunks00.1 at 9 column 0"},
      {"DELETE FROM t_metadatachunks01", 1, "SQL logic error"},
      {"UPDATE t_metadatachunks00 SET data = zeroblob(159)", 10, "SQL logic error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.damage);
    TestDb db;
    FillDamageTable(db);
    db.Exec(c.damage);
    const std::string before = db.DumpTables("t_");
    // A full scan (+rowid), because the point lookup reads the row's vectors first.
    const std::string rowid = std::to_string(c.rowid);
    EXPECT_EQ(db.Query("DELETE FROM t WHERE +rowid = " + rowid), c.message);
    EXPECT_EQ(db.DumpTables("t_"), before);

    // Called directly, in autocommit, where no statement rollback could hide a write.
    EXPECT_NE(jix0Update_Delete(LastCapturedJix0(), ValueOf(db, "SELECT " + rowid).get()),
              SQLITE_OK);
    EXPECT_EQ(db.DumpTables("t_"), before);
  }
}

TEST(Jix0Delete, MissingKeysAnswerEmptyAndChunkRemovalDropsTheLatestChunkStatement) {
  TestDb db;
  RegisterCapturingJix0(db.db());
  db.Exec("CREATE VIRTUAL TABLE t USING jix0_capture(id text primary key, v float[1])");
  jix0_vtab* p = LastCapturedJix0();
  db.Exec("BEGIN");  // xSync at each commit would finalize the cached statements too
  db.Exec("INSERT INTO t(id, v) VALUES ('a', '[1]'), ('b', '[2]')");
  ASSERT_NE(p->stmts[JIX0_STMT_LATEST_CHUNK], nullptr);

  Value missing = ValueOf(db, "SELECT 'zzz'");
  Value a = ValueOf(db, "SELECT 'a'");
  Value b = ValueOf(db, "SELECT 'b'");

  EXPECT_EQ(jix0Update_Delete(p, missing.get()), SQLITE_EMPTY);
  EXPECT_EQ(jix0Update_Delete(p, a.get()), SQLITE_OK);
  EXPECT_NE(p->stmts[JIX0_STMT_LATEST_CHUNK], nullptr);  // the chunk still holds b
  EXPECT_EQ(jix0Update_Delete(p, a.get()), SQLITE_EMPTY);
  EXPECT_EQ(jix0Update_Delete(p, b.get()), SQLITE_OK);
  EXPECT_EQ(p->stmts[JIX0_STMT_LATEST_CHUNK], nullptr);
  EXPECT_EQ(db.Query("SELECT count(*) FROM t_chunks"), "0");
  EXPECT_EQ(db.Query("INSERT INTO t(id, v) VALUES ('a', '[1]')"), "");
  EXPECT_EQ(db.Query("SELECT chunk_id FROM t_chunks"), "2");
  db.Exec("COMMIT");
}

}  // namespace
