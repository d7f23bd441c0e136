// UPDATE of jix0 tables: exactly the assigned columns change, under every plan; TEXT metadata
// moves between its chunk entry and the long-text table; KNN sees new vectors; keys and
// partition keys cannot change; and a refused update leaves storage byte-identical, also when
// called outside any statement that SQLite could roll back.
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "jix0/write/write.h"
#include "support/captured_vtab.h"
#include "support/invariants.h"
#include "support/test_db.h"

namespace {

constexpr const char kRow[] =
    "SELECT rowid, jix_to_json(v), hex(i), hex(b), a, typeof(a), mb, mi, mf, mt FROM t "
    "WHERE rowid = ";

TEST(Jix0Update, ChangesExactlyTheAssignedColumns) {
  TestDb db;
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0(v float[2], i int8[2], b bit[8], +a text, mb bool, "
      "mi int, mf float, mt text, chunk_size=8)");
  for (int r = 1; r <= 2; r++) {
    db.Exec("INSERT INTO t(rowid, v, i, b, a, mb, mi, mf, mt) VALUES (" + std::to_string(r) +
            ", '[1, 2]', jix_int8('[1, -1]'), jix_bit(X'0F'), 'aux', 1, 10, 0.5, 'text')");
  }
  const std::string other = db.Query(std::string(kRow) + "2");

  // Applied in order, each on the state the previous left; "WHERE mi = ..." is a full scan,
  // which hands the update every unassigned vector and auxiliary value as stored.
  const SqlCase cases[] = {
      {"UPDATE t SET a = 'new' WHERE rowid = 1",
       "1|[1.000000,2.000000]|01FF|0F|new|text|1|10|0.5|text"},
      {"UPDATE t SET a = 5 WHERE rowid = 1",
       "1|[1.000000,2.000000]|01FF|0F|5|integer|1|10|0.5|text"},
      {"UPDATE t SET a = NULL, mb = 0 WHERE rowid = 1",
       "1|[1.000000,2.000000]|01FF|0F|NULL|null|0|10|0.5|text"},
      {"UPDATE t SET v = '[3, 4]', mi = -3 WHERE rowid = 1",
       "1|[3.000000,4.000000]|01FF|0F|NULL|null|0|-3|0.5|text"},
      {"UPDATE t SET v = NULL, mf = 1.5 WHERE rowid = 1",
       "1|[3.000000,4.000000]|01FF|0F|NULL|null|0|-3|1.5|text"},
      {"UPDATE t SET mt = 'a text of twenty one' WHERE mi = -3",
       "1|[3.000000,4.000000]|01FF|0F|NULL|null|0|-3|1.5|a text of twenty one"},
      // int8 and bit values lose their tag on the way in; an untagged BLOB takes the column's type.
      {"UPDATE t SET i = jix_int8('[5, 6]') WHERE rowid = 1",
       "1|[3.000000,4.000000]|0506|0F|NULL|null|0|-3|1.5|a text of twenty one"},
      {"UPDATE t SET i = X'0708', b = X'F0' WHERE mi = -3",
       "1|[3.000000,4.000000]|0708|F0|NULL|null|0|-3|1.5|a text of twenty one"},
      {"UPDATE t SET b = jix_bit(X'AA'), a = 'x' WHERE mi = -3",
       "1|[3.000000,4.000000]|0708|AA|x|text|0|-3|1.5|a text of twenty one"},
      // The hidden columns are ignored, and assigning the key its own value is allowed.
      {"UPDATE t SET distance = 1, k = 2, rowid = 1 WHERE rowid = 1",
       "1|[3.000000,4.000000]|0708|AA|x|text|0|-3|1.5|a text of twenty one"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    ASSERT_EQ(db.Query(c.sql), "");
    EXPECT_EQ(db.Query(std::string(kRow) + "1"), c.expected);
    EXPECT_EQ(db.Query(std::string(kRow) + "2"), other);
  }
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
}

// The 16-byte chunk entry of a TEXT metadata value: length, then up to 12 bytes, zero padded.
std::string Entry(const std::string& text) {
  unsigned char entry[16] = {};
  int32_t n = (int32_t)text.size();
  memcpy(entry, &n, 4);
  memcpy(entry + 4, text.data(), text.size() < 12 ? text.size() : 12);
  return Hex(entry, 16);
}

TEST(Jix0Update, TextMetadataMovesAcrossTwelveBytes) {
  TestDb db;
  db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[1], mt text, chunk_size=8)");
  db.Exec("INSERT INTO t(rowid, v, mt) VALUES (1, '[1]', 'x'), (2, '[2]', 'neighbour, long')");
  // Short to long inserts the text row, long to long updates it, long to short deletes it.
  const char* texts[] = {"five!",
                         "twenty bytes of text",
                         "now a text of thirty bytes...",
                         "twelve bytes",
                         "thirteen byte",
                         "abc",
                         ""};
  for (const std::string text : texts) {
    SCOPED_TRACE(text);
    ASSERT_EQ(db.Query("UPDATE t SET mt = '" + text + "' WHERE rowid = 1"), "");
    EXPECT_EQ(db.Query("SELECT mt FROM t WHERE rowid = 1"), text);
    EXPECT_EQ(db.Query("SELECT hex(substr(data, 1, 16)) FROM t_metadatachunks00"), Entry(text));
    EXPECT_EQ(db.Query("SELECT rowid, data FROM t_metadatatext00 ORDER BY rowid"),
              (text.size() > 12 ? "1|" + text + "\n" : "") + "2|neighbour, long");
  }
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
}

TEST(Jix0Update, KnnSeesUpdatedVectors) {
  TestDb db;
  db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[2], chunk_size=8)");
  for (int r = 1; r <= 10; r++) {
    db.Exec("INSERT INTO t(rowid, v) VALUES (" + std::to_string(r) + ", '[" + std::to_string(r) +
            ", 0]')");
  }
  const std::string knn = "SELECT rowid, distance FROM t WHERE v MATCH '[0, 0]' AND k = 3";
  ASSERT_EQ(db.Query(knn), "1|1.0\n2|2.0\n3|3.0");
  db.Exec("UPDATE t SET v = '[0, 0.5]' WHERE rowid = 9");
  db.Exec("UPDATE t SET v = '[30, 40]' WHERE rowid = 1");
  EXPECT_EQ(db.Query(knn), "9|0.5\n2|2.0\n3|3.0");
  EXPECT_EQ(db.Query("SELECT rowid, distance FROM t WHERE v MATCH '[30, 40]' AND k = 1"), "1|0.0");
}

// One db holding a table of each key kind; every refusal must leave all of them unchanged.
class Jix0UpdateRefusals : public ::testing::Test {
 protected:
  void SetUp() override {
    db.Exec("CREATE VIRTUAL TABLE pt USING jix0(p integer partition key, v float[2], m int)");
    db.Exec("INSERT INTO pt(rowid, p, v, m) VALUES (1, 1, '[1, 1]', 1), (2, 2, '[2, 2]', 2)");
    db.Exec("CREATE VIRTUAL TABLE tk USING jix0(id text primary key, v float[2], i int8[2])");
    db.Exec("INSERT INTO tk(id, v, i) VALUES ('a', '[1, 1]', jix_int8('[1, 1]'))");
    db.Exec("CREATE VIRTUAL TABLE ik USING jix0(id integer primary key, v float[2])");
    db.Exec("INSERT INTO ik(id, v) VALUES (1, '[1, 1]')");
    db.Exec("CREATE VIRTUAL TABLE rt USING jix0(v float[2], b bit[8], m int, mt text)");
    db.Exec(
        "INSERT INTO rt(rowid, v, b, m, mt) VALUES (1, '[1, 1]', jix_bit(X'01'), 1, "
        "'long enough to live apart'), (2, '[2, 2]', jix_bit(X'02'), 2, 'short')");
  }
  std::string Storage() {
    return db.DumpTables("pt_") + db.DumpTables("tk_") + db.DumpTables("ik_") +
           db.DumpTables("rt_");
  }
  TestDb db;
};

TEST_F(Jix0UpdateRefusals, EachIsReportedAndChangesNothing) {
  const char* kPartition = "UPDATE on partition key columns are not supported yet. ";
  const char* kKey = "UPDATEs on jix0 primary key values are not allowed.";
  const SqlCase cases[] = {
      {"UPDATE pt SET p = 1 WHERE rowid = 1", kPartition},
      {"UPDATE pt SET p = 2, m = 5 WHERE rowid = 1", kPartition},
      {"UPDATE tk SET id = 'b' WHERE id = 'a'", kKey},
      {"UPDATE tk SET id = 'A' WHERE id = 'a'", kKey},
      {"UPDATE ik SET id = 2 WHERE id = 1", kKey},
      {"UPDATE ik SET id = '1' WHERE id = 1", kKey},
      {"UPDATE rt SET rowid = 99 WHERE rowid = 1", kKey},
      {"UPDATE rt SET _rowid_ = 99 WHERE rowid = 1", kKey},
      {"UPDATE rt SET rowid = rowid + 1", kKey},
      {"UPDATE rt SET rowid = NULL WHERE rowid = 1", kKey},
      {"UPDATE rt SET v = 'nope' WHERE rowid = 1",
       "Updated vector for the \"v\" column is invalid: JSON array parsing error: Input does not "
       "start with '['"},
      {"UPDATE rt SET v = 7 WHERE rowid = 1",
       "Updated vector for the \"v\" column is invalid: Input must have type BLOB (compact "
       "format) or TEXT (JSON), found INTEGER"},
      {"UPDATE rt SET b = X'' WHERE rowid = 1",
       "Updated vector for the \"b\" column is invalid: zero-length vectors are not supported."},
      {"UPDATE rt SET b = '[1, 0]' WHERE rowid = 1",
       "Updated vector for the \"b\" column is expected to be of type bit, but a float32 vector "
       "was provided."},
      {"UPDATE tk SET i = '[1, 2]' WHERE id = 'a'",
       "Updated vector for the \"i\" column is expected to be of type int8, but a float32 vector "
       "was provided."},
      {"UPDATE rt SET v = '[1, 2, 3]' WHERE rowid = 1",
       "Dimension mismatch for new updated vector for the \"v\" column. Expected 2 dimensions "
       "but received 3."},
      {"UPDATE rt SET b = X'0102' WHERE rowid = 1",
       "Dimension mismatch for new updated vector for the \"b\" column. Expected 8 dimensions "
       "but received 16."},
      // The float32 tag is lost on the way in too, so the bytes read as int8.
      {"UPDATE tk SET i = jix_f32('[1, 2]') WHERE id = 'a'",
       "Dimension mismatch for new updated vector for the \"i\" column. Expected 2 dimensions "
       "but received 8."},
      // Metadata is reported before vectors, whatever the column order.
      {"UPDATE rt SET v = '[1]', m = 'x' WHERE rowid = 1",
       "Expected integer for INTEGER metadata column m, received TEXT"},
      {"UPDATE rt SET mt = NULL WHERE rowid = 1",
       "Expected text for TEXT metadata column mt, received NULL"},
      // A later row's refusal undoes the rows before it.
      {"UPDATE rt SET mt = 'now long enough to need a row', v = CASE rowid WHEN 2 THEN '[1]' "
       "ELSE '[5, 5]' END",
       "Dimension mismatch for new updated vector for the \"v\" column. Expected 2 dimensions "
       "but received 1."},
  };
  const std::string before = Storage();
  for (const char* mode : {"autocommit", "transaction"}) {
    if (std::string(mode) == "transaction") db.Exec("BEGIN");
    for (const SqlCase& c : cases) {
      SCOPED_TRACE(std::string(mode) + ": " + c.sql);
      EXPECT_EQ(db.Query(c.sql), c.expected);
      EXPECT_EQ(Storage(), before);
    }
  }
  db.Exec("COMMIT");
}

TEST_F(Jix0UpdateRefusals, AssigningAKeyItsOwnValueIsAllowed) {
  EXPECT_EQ(db.Query("UPDATE tk SET id = 'a', v = '[3, 3]' WHERE id = 'a'"), "");
  EXPECT_EQ(db.Query("UPDATE ik SET id = 1, v = '[3, 3]' WHERE id = 1"), "");
  EXPECT_EQ(db.Query("UPDATE rt SET rowid = 1, _rowid_ = 1, v = '[3, 3]' WHERE rowid = 1"), "");
  EXPECT_EQ(db.Query("UPDATE rt SET rowid = rowid, v = '[4, 4]'"), "");
  EXPECT_EQ(db.Query("SELECT jix_to_json(v) FROM tk UNION ALL SELECT jix_to_json(v) FROM ik"),
            "[3.000000,3.000000]\n[3.000000,3.000000]");
  EXPECT_EQ(db.Query("SELECT rowid, jix_to_json(v) FROM rt"),
            "1|[4.000000,4.000000]\n2|[4.000000,4.000000]");
}

// Under the full-scan and KNN plans SQLite hands back the stored value of every column the
// UPDATE does not assign; writing them back must leave their bytes as they were.
TEST(Jix0Update, UnassignedColumnsSurviveEveryPlan) {
  TestDb db;
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0(id text primary key, v float[2], i int8[3], b bit[16], "
      "+a text, mb bool, mt text, chunk_size=8)");
  db.Exec(
      "INSERT INTO t(id, v, i, b, a, mb, mt) VALUES "
      "('x', '[0.1, 0.2]', jix_int8('[-128, 0, 127]'), jix_bit(X'FF00'), 'a', 1, 'short'), "
      "('y', '[0.3, 0.4]', jix_int8('[1, 2, 3]'), jix_bit(X'0180'), 'b', 0, "
      "'a text that lives in its own row')");
  auto chunkStorage = [&] {
    return db.DumpTables("t_chunks") + db.DumpTables("t_metadata") + db.DumpTables("t_rowids") +
           db.DumpTables("t_vector");
  };
  const std::string before = chunkStorage();
  EXPECT_EQ(db.Query("UPDATE t SET a = 'full scan'"), "");
  EXPECT_EQ(chunkStorage(), before);
  EXPECT_EQ(db.Query("UPDATE t SET a = 'knn' WHERE v MATCH '[0, 0]' AND k = 2"), "");
  EXPECT_EQ(chunkStorage(), before);
  EXPECT_EQ(db.Query("SELECT id, a FROM t"), "x|knn\ny|knn");
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
}

TEST(Jix0Update, DamagedVectorStorageIsReported) {
  const SqlCase cases[] = {
      {"DELETE FROM t_vector_chunks00", "Could not open vectors blob for main.t_vector_chunks00.1"},
      {"UPDATE t_vector_chunks00 SET vectors = zeroblob(15)",
       "Could not write to vectors blob for main.t_vector_chunks00.1"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    TestDb db;
    db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[2], m int, chunk_size=8)");
    db.Exec("INSERT INTO t(rowid, v, m) VALUES (1, '[1, 1]', 1), (2, '[2, 2]', 2)");
    db.Exec(c.sql);
    const std::string before = db.DumpTables("t_");
    // A full scan: the point lookup would meet the damaged vectors itself, before the update.
    EXPECT_EQ(db.Query("UPDATE t SET m = 5, v = '[3, 3]' WHERE m = 2"), c.expected);
    EXPECT_EQ(db.DumpTables("t_"), before);
  }
}

struct ValueFree {
  void operator()(sqlite3_value* v) const { sqlite3_value_free(v); }
};
using Value = std::unique_ptr<sqlite3_value, ValueFree>;

// The columns of a one-row query as xUpdate arguments; the copies keep their subtypes.
class Arguments {
 public:
  Arguments(TestDb& db, const std::string& select) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db.db(), select.c_str(), -1, &stmt, nullptr);
    EXPECT_EQ(sqlite3_step(stmt), SQLITE_ROW) << select;
    for (int c = 0; c < sqlite3_column_count(stmt); c++) {
      values_.emplace_back(sqlite3_value_dup(sqlite3_column_value(stmt, c)));
      argv_.push_back(values_.back().get());
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_value** argv() { return argv_.data(); }

 private:
  std::vector<Value> values_;
  std::vector<sqlite3_value*> argv_;
};

// jix0Update_Update called directly in autocommit, where every write commits at once: a
// refused update must not have written anything. SQLite never hands over tags, so tagged
// values are tried here: they keep the type rules.
TEST(Jix0Update, DirectCallsCheckEverythingBeforeTheFirstWrite) {
  TestDb db;
  RegisterCapturingJix0(db.db());
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0_capture(v float[2], i int8[2], b bit[8], +a text, "
      "m int, mt text, chunk_size=8)");
  jix0_vtab* p = LastCapturedJix0();
  db.Exec(
      "INSERT INTO t(rowid, v, i, b, a, m, mt) VALUES (1, '[1, 1]', jix_int8('[1, 1]'), "
      "jix_bit(X'01'), 'a', 1, 'short'), (2, '[2, 2]', jix_int8('[2, 2]'), jix_bit(X'02'), 'b', "
      "2, 'short')");

  // Arguments: old key, new key, rowid, v, i, b, a, m, mt, distance, k.
  const std::string others = ", 'new', 9, 'a new text long enough for its own row', NULL, NULL";
  const std::string good = "'[9, 9]', jix_int8('[9, 9]'), jix_bit(X'09')" + others;
  const SqlCase refused[] = {
      {"jix_int8('[1, 2]'), jix_int8('[9, 9]'), jix_bit(X'09')",
       "Updated vector for the \"v\" column is expected to be of type float32, but a int8 vector "
       "was provided."},
      {"'[9, 9]', jix_f32('[1, 2]'), jix_bit(X'09')",
       "Updated vector for the \"i\" column is expected to be of type int8, but a float32 vector "
       "was provided."},
      {"'[9, 9]', jix_int8('[9, 9]'), jix_int8('[1]')",
       "Updated vector for the \"b\" column is expected to be of type bit, but a int8 vector was "
       "provided."},
      {"'[9, 9]', jix_int8('[9, 9]'), X'0909'",
       "Dimension mismatch for new updated vector for the \"b\" column. Expected 8 dimensions "
       "but received 16."},
  };
  const std::string before = db.DumpTables("t_");
  for (const SqlCase& c : refused) {
    SCOPED_TRACE(c.sql);
    Arguments arguments(db, "SELECT 1, 1, 1, " + std::string(c.sql) + others);
    EXPECT_EQ(jix0Update_Update(p, arguments.argv()), SQLITE_ERROR);
    EXPECT_STREQ(p->base.zErrMsg, c.expected);
    EXPECT_EQ(db.DumpTables("t_"), before);
  }

  // A slot outside its vector BLOB is met before the metadata is written.
  db.Exec("UPDATE t_vector_chunks02 SET vectors = X'00'");
  const std::string damaged = db.DumpTables("t_");
  Arguments second(db, "SELECT 2, 2, 2, " + good);
  EXPECT_EQ(jix0Update_Update(p, second.argv()), SQLITE_ERROR);
  EXPECT_STREQ(p->base.zErrMsg, "Could not write to vectors blob for main.t_vector_chunks02.1");
  EXPECT_EQ(db.DumpTables("t_"), damaged);

  // Tagged values of the right types are written.
  Arguments first(db, "SELECT 1, 1, 1, " + good);
  EXPECT_EQ(jix0Update_Update(p, first.argv()), SQLITE_OK);
  EXPECT_EQ(db.Query("SELECT jix_to_json(v), hex(i), hex(b), a, m, mt FROM t WHERE rowid = 1"),
            "[9.000000,9.000000]|0909|09|new|9|a new text long enough for its own row");
}

}  // namespace
