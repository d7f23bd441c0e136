// INSERT into jix0 tables, observed in the shadow tables: the bytes each row leaves, how
// chunks fill and are created, every refusal with its message, and that a refused row
// leaves storage byte-identical.
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "jix0/table/table.h"
#include "jix0/write/write.h"
#include "support/captured_vtab.h"
#include "support/invariants.h"
#include "support/subtype_probe.h"
#include "support/test_db.h"

namespace {

class Jix0Insert : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(RegisterTagProbe(db.db()), SQLITE_OK); }
  TestDb db;
};

std::string Zeros(int bytes) {
  return std::string(2 * bytes, '0');
}
std::string TextHex(const char* text) {
  return Hex(text, (int)strlen(text));
}
template <typename T>
std::string Le(T value) {
  return Hex(&value, sizeof(value));
}

TEST_F(Jix0Insert, StoresTheFormatBytes) {
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0(p text partition key, f float[2], i int8[3], "
      "b bit[8] , +a text, +n integer, mb bool, mi int, mf float, mt text, chunk_size=8)");
  db.Exec(
      "INSERT INTO t(p, f, i, b, a, n, mb, mi, mf, mt) VALUES ('x', '[1, -2]', "
      "tag(X'01FF7F', 225), tag(X'A5', 224), 'hello', NULL, 1, -2, 0.5, 'twelve bytes')");
  db.Exec(
      "INSERT INTO t(rowid, p, f, i, b, a, n, mb, mi, mf, mt) VALUES (10, 'x', '[0.5, 4]', "
      "tag('[0, 1, -128]', 225), tag(X'FF', 224), NULL, 7, 0, 9223372036854775807, -1.0, "
      "'thirteen byte')");
  db.Exec(
      "INSERT INTO t(p, f, i, b, a, n, mb, mi, mf, mt) VALUES ('y', X'0000C07F00000080', "
      "tag(X'000000', 225), tag(X'00', 224), 'z', 0, 1, 0, 0.0, '')");

  EXPECT_EQ(db.Query("SELECT chunk_id, size, sequence_id, partition00, validity, rowids FROM "
                     "t_chunks"),
            "1|8|NULL|x|X'03'|X'" + Le<int64_t>(1) + Le<int64_t>(10) + Zeros(48) + "'\n" +
                "2|8|NULL|y|X'01'|X'" + Le<int64_t>(11) + Zeros(56) + "'");
  EXPECT_EQ(db.Query("SELECT rowid, id, chunk_id, chunk_offset FROM t_rowids"),
            "1|NULL|1|0\n10|NULL|1|1\n11|NULL|2|0");
  EXPECT_EQ(db.Query("SELECT _rowid_, rowid, vectors FROM t_vector_chunks00"),
            "1|1|X'0000803F000000C00000003F00008040" + Zeros(48) + "'\n" +
                "2|2|X'0000C07F00000080" + Zeros(56) + "'");
  EXPECT_EQ(db.Query("SELECT _rowid_, vectors FROM t_vector_chunks01"),
            "1|X'01FF7F000180" + Zeros(18) + "'\n2|X'" + Zeros(24) + "'");
  EXPECT_EQ(db.Query("SELECT _rowid_, vectors FROM t_vector_chunks02"),
            "1|X'A5FF" + Zeros(6) + "'\n2|X'" + Zeros(8) + "'");
  EXPECT_EQ(db.Query("SELECT rowid, value00, typeof(value01), value01 FROM t_auxiliary"),
            "1|hello|null|NULL\n10|NULL|integer|7\n11|z|integer|0");
  EXPECT_EQ(db.Query("SELECT _rowid_, data FROM t_metadatachunks00"), "1|X'01'\n2|X'01'");
  EXPECT_EQ(
      db.Query("SELECT data FROM t_metadatachunks01"),
      "X'" + Le<int64_t>(-2) + Le<int64_t>(INT64_MAX) + Zeros(48) + "'\nX'" + Zeros(64) + "'");
  EXPECT_EQ(db.Query("SELECT data FROM t_metadatachunks02"),
            "X'" + Le<double>(0.5) + Le<double>(-1.0) + Zeros(48) + "'\nX'" + Zeros(64) + "'");
  // Texts up to 12 bytes live in their entry; longer ones keep a 12-byte prefix there.
  EXPECT_EQ(db.Query("SELECT data FROM t_metadatachunks03"),
            "X'" + Le<int32_t>(12) + TextHex("twelve bytes") + Le<int32_t>(13) +
                TextHex("thirteen byt") + Zeros(96) + "'\nX'" + Zeros(128) + "'");
  EXPECT_EQ(db.Query("SELECT rowid, data FROM t_metadatatext03"), "10|thirteen byte");
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
}

TEST_F(Jix0Insert, FillsChunksSlotBySlotThenStartsANewOne) {
  db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[1], chunk_size=8)");
  for (int i = 1; i <= 17; i++) {
    db.Exec("INSERT INTO t(v) VALUES ('[" + std::to_string(i) + "]')");
  }
  EXPECT_EQ(db.Query("SELECT chunk_id, validity FROM t_chunks"), "1|X'FF'\n2|X'FF'\n3|X'01'");
  EXPECT_EQ(db.Query("SELECT group_concat(chunk_id || ':' || chunk_offset, ' ') FROM t_rowids"),
            "1:0 1:1 1:2 1:3 1:4 1:5 1:6 1:7 2:0 2:1 2:2 2:3 2:4 2:5 2:6 2:7 3:0");
  EXPECT_EQ(db.Query("SELECT hex(substr(vectors, 4 * 7 + 1, 4)) FROM t_vector_chunks00 "
                     "WHERE _rowid_ = 2"),
            Le<float>(16));
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
}

// Overwrites n bytes at offset of a shadow-table BLOB with zeros.
void ZeroBytes(TestDb& db, const char* table, const char* column, sqlite3_int64 row, int offset,
               int n) {
  sqlite3_blob* blob = nullptr;
  ASSERT_EQ(sqlite3_blob_open(db.db(), "main", table, column, row, 1, &blob), SQLITE_OK);
  std::vector<unsigned char> zeros(n);
  EXPECT_EQ(sqlite3_blob_write(blob, zeros.data(), n, offset), SQLITE_OK);
  EXPECT_EQ(sqlite3_blob_close(blob), SQLITE_OK);
}

// Frees slot `slot` of chunk 1 by hand, as a delete would; the caller clears its validity bit.
void FreeSlot(TestDb& db, int slot, int rowid) {
  ZeroBytes(db, "t_chunks", "rowids", 1, 8 * slot, 8);
  ZeroBytes(db, "t_vector_chunks00", "vectors", 1, 4 * slot, 4);
  db.Exec("DELETE FROM t_rowids WHERE rowid = " + std::to_string(rowid));
}

TEST_F(Jix0Insert, TakesLowestFreeSlotOfNewestChunk) {
  db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[1], chunk_size=8)");
  for (int i = 1; i <= 5; i++) db.Exec("INSERT INTO t(v) VALUES ('[1]')");
  db.Exec("UPDATE t_chunks SET validity = X'15'");  // slots 1 and 3 freed
  FreeSlot(db, 1, 2);
  FreeSlot(db, 3, 4);
  ASSERT_EQ(CheckJix0Invariants(db.db(), "t"), "");
  db.Exec("INSERT INTO t(v) VALUES ('[2]')");
  db.Exec("INSERT INTO t(v) VALUES ('[3]')");
  db.Exec("INSERT INTO t(v) VALUES ('[4]')");
  // Rowids keep counting; slots are reused lowest first.
  EXPECT_EQ(db.Query("SELECT rowid, chunk_offset FROM t_rowids WHERE rowid > 5"), "6|1\n7|3\n8|5");
  EXPECT_EQ(db.Query("SELECT validity FROM t_chunks"), "X'3F'");

  // A slot freed in an older chunk stays unused.
  for (int i = 0; i < 3; i++) db.Exec("INSERT INTO t(v) VALUES ('[5]')");
  db.Exec("UPDATE t_chunks SET validity = X'FB' WHERE chunk_id = 1");
  FreeSlot(db, 2, 3);
  db.Exec("INSERT INTO t(v) VALUES ('[6]')");
  EXPECT_EQ(db.Query("SELECT chunk_id, chunk_offset FROM t_rowids ORDER BY rowid DESC LIMIT 1"),
            "2|1");
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
}

// The auxiliary insert and each column's long-text insert are prepared once and kept on the
// table object, idle after every row (so nothing holds the transaction open), and released
// at COMMIT with the other cached statements; rows written through them, also by an UPDATE
// and across a new chunk, are stored as without them.
TEST_F(Jix0Insert, AuxiliaryAndLongTextStatementsAreCachedUntilCommit) {
  RegisterCapturingJix0(db.db());
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0_capture(v float[1], +a text, +n integer, s text, "
      "u text, chunk_size=8)");
  jix0_vtab* p = LastCapturedJix0();
  ASSERT_NE(p, nullptr);
  db.Exec("BEGIN");
  for (int i = 1; i <= 10; i++) {
    std::string n = std::to_string(i);
    db.Exec("INSERT INTO t(rowid, v, a, n, s, u) VALUES (" + n + ", '[" + n + "]', 'aux " + n +
            "', " + n + ", 'a long text number " + n + "', '" +
            (i % 3 ? "short" : "a longer text, row ") + n + "')");
  }
  ASSERT_NE(p->stmts[JIX0_STMT_INSERT_AUXILIARY], nullptr);
  EXPECT_EQ(sqlite3_stmt_busy(p->stmts[JIX0_STMT_INSERT_AUXILIARY]), 0);
  ASSERT_NE(p->stmts[JIX0_STMT_INSERT_METADATA_TEXT + 0], nullptr);
  ASSERT_NE(p->stmts[JIX0_STMT_INSERT_METADATA_TEXT + 1], nullptr);
  EXPECT_EQ(sqlite3_stmt_busy(p->stmts[JIX0_STMT_INSERT_METADATA_TEXT + 0]), 0);
  EXPECT_EQ(p->stmts[JIX0_STMT_INSERT_METADATA_TEXT + 2], nullptr);
  db.Exec("UPDATE t SET u = 'now a long text' WHERE rowid = 1");
  db.Exec("COMMIT");
  EXPECT_EQ(p->stmts[JIX0_STMT_INSERT_AUXILIARY], nullptr);
  EXPECT_EQ(p->stmts[JIX0_STMT_INSERT_METADATA_TEXT + 0], nullptr);
  EXPECT_EQ(p->stmts[JIX0_STMT_INSERT_METADATA_TEXT + 1], nullptr);
  db.Exec(
      "INSERT INTO t(rowid, v, a, n, s, u) VALUES (11, '[11]', NULL, NULL, 'x', "
      "'the last long text')");

  EXPECT_EQ(db.Query("SELECT count(*), min(value00), max(value00), sum(value01) FROM t_auxiliary"),
            "11|aux 1|aux 9|55");
  EXPECT_EQ(db.Query("SELECT rowid, data FROM t_metadatatext00 WHERE rowid IN (1, 10)"),
            "1|a long text number 1\n10|a long text number 10");
  EXPECT_EQ(db.Query("SELECT group_concat(rowid || '=' || data, ';') FROM t_metadatatext01"),
            "3=a longer text, row 3;6=a longer text, row 6;9=a longer text, row 9;1=now a long "
            "text;11=the last long text");
  EXPECT_EQ(
      db.Query("SELECT rowid, a, n, s, u FROM t WHERE rowid IN (9, 11)"),
      "9|aux 9|9|a long text number 9|a longer text, row 9\n11|NULL|NULL|x|the last long text");
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
}

TEST_F(Jix0Insert, RowidsAndPrimaryKeys) {
  db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[1])");
  db.Exec("INSERT INTO t(rowid, v) VALUES (10, '[1]')");
  db.Exec("INSERT INTO t(v) VALUES ('[1]')");
  db.Exec("INSERT INTO t(rowid, v) VALUES (5, '[1]')");
  db.Exec("INSERT INTO t(rowid, v) VALUES (NULL, '[1]')");
  db.Exec("INSERT INTO t(rowid, v) VALUES (-3, '[1]')");
  // AUTOINCREMENT: one more than the largest rowid ever used.
  EXPECT_EQ(db.Query("SELECT rowid, id, chunk_offset FROM t_rowids"),
            "-3|NULL|4\n5|NULL|2\n10|NULL|0\n11|NULL|1\n12|NULL|3");
  EXPECT_EQ(db.Query("SELECT last_insert_rowid()"), "-3");

  db.Exec("CREATE VIRTUAL TABLE u USING jix0(id text primary key, v float[1])");
  db.Exec("INSERT INTO u(id, v) VALUES ('alpha', '[1]'), ('beta', '[2]'), ('', '[3]')");
  EXPECT_EQ(db.Query("SELECT rowid, id, chunk_id, chunk_offset FROM u_rowids"),
            "1|alpha|1|0\n2|beta|1|1\n3||1|2");

  db.Exec("CREATE VIRTUAL TABLE w USING jix0(v float[1], id integer primary key)");
  db.Exec("INSERT INTO w(id, v) VALUES (42, '[1]')");
  db.Exec("INSERT INTO w(v) VALUES ('[1]')");
  EXPECT_EQ(db.Query("SELECT rowid, id, chunk_offset FROM w_rowids"), "42|NULL|0\n43|NULL|1");
  for (const char* table : {"t", "u", "w"}) EXPECT_EQ(CheckJix0Invariants(db.db(), table), "");
}

TEST_F(Jix0Insert, PartitionsKeepTheirOwnChunks) {
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0(a int partition key, b text partition key, "
      "v float[1], chunk_size=8)");
  db.Exec(
      "INSERT INTO t(a, b, v) VALUES (1, 'x', '[1]'), (2, 'x', '[1]'), (1, 'x', '[1]'), "
      "(NULL, 'x', '[1]'), (NULL, 'x', '[1]'), (1, NULL, '[1]'), (NULL, NULL, '[1]'), "
      "(1, NULL, '[1]'), (NULL, NULL, '[1]')");
  // Rows with a NULL key share chunks like any other partition.
  EXPECT_EQ(db.Query("SELECT chunk_id, partition00, partition01, validity FROM t_chunks"),
            "1|1|x|X'03'\n2|2|x|X'01'\n3|NULL|x|X'03'\n4|1|NULL|X'03'\n5|NULL|NULL|X'03'");
  EXPECT_EQ(db.Query("SELECT typeof(partition00), typeof(partition01) FROM t_chunks LIMIT 1"),
            "integer|text");
  EXPECT_EQ(CheckJix0Invariants(db.db(), "t"), "");
}

struct ErrorCase {
  const char* sql;
  const char* message;
  int code;
};

// Every refusal of an insert, with its message and code; storage stays byte-identical, in
// autocommit and inside an explicit transaction, where SQLite takes no statement journal
// for a one-row insert into a virtual table.
TEST_F(Jix0Insert, RefusedRowsLeaveStorageUntouched) {
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0(p int partition key, v float[2], +a text, mb bool, "
      "mi int, mf float, mt text, chunk_size=8)");
  db.Exec("CREATE VIRTUAL TABLE u USING jix0(id text primary key, v float[2])");
  db.Exec("CREATE VIRTUAL TABLE w USING jix0(id integer primary key, v float[2])");
  db.Exec(
      "INSERT INTO t(rowid, p, v, a, mb, mi, mf, mt) VALUES (1, 1, '[1,2]', 'x', 1, 2, 0.5, "
      "'a text longer than twelve')");
  db.Exec("INSERT INTO u(id, v) VALUES ('a', '[1,2]')");
  db.Exec("INSERT INTO w(id, v) VALUES (1, '[1,2]')");

  // Columns: rowid, p, v, a, mb, mi, mf, mt; a valid row is (2, 1, '[1,2]', 'x', 1, 2, 0.5, 't').
  const ErrorCase cases[] = {
      {"(2, 'x', '[1,2]', 'x', 1, 2, 0.5, 't')",
       "Parition key type mismatch: The partition key column p has type INTEGER, but TEXT was "
       "provided.",
       SQLITE_ERROR},
      {"(2, 1.0, '[1,2]', 'x', 1, 2, 0.5, 't')",
       "Parition key type mismatch: The partition key column p has type INTEGER, but FLOAT was "
       "provided.",
       SQLITE_ERROR},
      {"(2, 1, NULL, 'x', 1, 2, 0.5, 't')",
       "Inserted vector for the \"v\" column is invalid: Input must have type BLOB (compact "
       "format) or TEXT (JSON), found NULL",
       SQLITE_ERROR},
      {"(2, 1, '[]', 'x', 1, 2, 0.5, 't')",
       "Inserted vector for the \"v\" column is invalid: zero-length vectors are not supported.",
       SQLITE_ERROR},
      {"(2, 1, tag(X'0102', 225), 'x', 1, 2, 0.5, 't')",
       "Inserted vector for the \"v\" column is expected to be of type float32, but a int8 vector "
       "was provided.",
       SQLITE_ERROR},
      {"(2, 1, '[1,2,3]', 'x', 1, 2, 0.5, 't')",
       "Dimension mismatch for inserted vector for the \"v\" column. Expected 2 dimensions but "
       "received 3.",
       SQLITE_ERROR},
      {"(2.5, 1, '[1,2]', 'x', 1, 2, 0.5, 't')",
       "Only integers are allows for primary key values on t", SQLITE_ERROR},
      {"('2', 1, '[1,2]', 'x', 1, 2, 0.5, 't')",
       "Only integers are allows for primary key values on t", SQLITE_ERROR},
      {"(1, 1, '[1,2]', 'x', 1, 2, 0.5, 't')", "UNIQUE constraint failed on t primary key",
       SQLITE_CONSTRAINT},
      {"(2, 1, '[1,2]', 5, 1, 2, 0.5, 't')",
       "Auxiliary column type mismatch: The auxiliary column a has type TEXT, but INTEGER was "
       "provided.",
       SQLITE_CONSTRAINT},
      {"(2, 1, '[1,2]', 'x', 2, 2, 0.5, 't')", "Expected 0 or 1 for BOOLEAN metadata column mb",
       SQLITE_ERROR},
      {"(2, 1, '[1,2]', 'x', 1.0, 2, 0.5, 't')", "Expected 0 or 1 for BOOLEAN metadata column mb",
       SQLITE_ERROR},
      {"(2, 1, '[1,2]', 'x', NULL, 2, 0.5, 't')", "Expected 0 or 1 for BOOLEAN metadata column mb",
       SQLITE_ERROR},
      // Decided on all 64 bits: 2^32 + 1 is not true.
      {"(2, 1, '[1,2]', 'x', 4294967297, 2, 0.5, 't')",
       "Expected 0 or 1 for BOOLEAN metadata column mb", SQLITE_ERROR},
      {"(2, 1, '[1,2]', 'x', 1, 2.5, 0.5, 't')",
       "Expected integer for INTEGER metadata column mi, received FLOAT", SQLITE_ERROR},
      {"(2, 1, '[1,2]', 'x', 1, NULL, 0.5, 't')",
       "Expected integer for INTEGER metadata column mi, received NULL", SQLITE_ERROR},
      {"(2, 1, '[1,2]', 'x', 1, 2, 3, 't')",
       "Expected float for FLOAT metadata column mf, received INTEGER", SQLITE_ERROR},
      {"(2, 1, '[1,2]', 'x', 1, 2, 0.5, X'00')",
       "Expected text for TEXT metadata column mt, received BLOB", SQLITE_ERROR},
      // With several faults, the earliest check reports.
      {"(1, 'x', NULL, 5, 2, NULL, 3, 4)",
       "Parition key type mismatch: The partition key column p has type INTEGER, but TEXT was "
       "provided.",
       SQLITE_ERROR},
      {"(1, 1, NULL, 5, 2, NULL, 3, 4)",
       "Inserted vector for the \"v\" column is invalid: Input must have type BLOB (compact "
       "format) or TEXT (JSON), found NULL",
       SQLITE_ERROR},
      {"(1, 1, '[1,2]', 5, 2, NULL, 3, 4)", "UNIQUE constraint failed on t primary key",
       SQLITE_CONSTRAINT},
      {"(2, 1, '[1,2]', 5, 2, NULL, 3, 4)",
       "Auxiliary column type mismatch: The auxiliary column a has type TEXT, but INTEGER was "
       "provided.",
       SQLITE_CONSTRAINT},
      {"(2, 1, '[1,2]', 'x', 1, 2, 3, 4)",
       "Expected float for FLOAT metadata column mf, received INTEGER", SQLITE_ERROR},
  };
  std::vector<ErrorCase> all;
  std::vector<std::string> texts;
  for (const ErrorCase& c : cases) {
    texts.push_back(std::string("INSERT INTO t(rowid, p, v, a, mb, mi, mf, mt) VALUES ") + c.sql);
  }
  for (size_t i = 0; i < std::size(cases); i++)
    all.push_back({texts[i].c_str(), cases[i].message, cases[i].code});
  const ErrorCase more[] = {
      {"INSERT INTO t(p, v, a, mb, mi, mf, mt, distance) VALUES (1, '[1,2]', 'x', 1, 2, 0.5, 't', "
       "0.5)",
       "A value was provided for the hidden \"distance\" column.", SQLITE_ERROR},
      {"INSERT INTO t(p, v, a, mb, mi, mf, mt, k) VALUES (1, '[1,2]', 'x', 1, 2, 0.5, 't', 3)",
       "A value was provided for the hidden \"k\" column.", SQLITE_ERROR},
      {"INSERT INTO t(p, v, a, mb, mi, mf, mt, distance, k) VALUES (1, '[1,2]', 'x', 1, 2, 0.5, "
       "'t', 1, 3)",
       "A value was provided for the hidden \"distance\" column.", SQLITE_ERROR},
      {"INSERT INTO u(id, v) VALUES (NULL, '[1,2]')",
       "The u virtual table was declared with a TEXT primary key, but a non-TEXT value was "
       "provided in an INSERT.",
       SQLITE_ERROR},
      {"INSERT INTO u(id, v) VALUES (7, '[1,2]')",
       "The u virtual table was declared with a TEXT primary key, but a non-TEXT value was "
       "provided in an INSERT.",
       SQLITE_ERROR},
      {"INSERT INTO u(id, v) VALUES ('a', '[1,2]')", "UNIQUE constraint failed on u primary key",
       SQLITE_CONSTRAINT},
      {"INSERT INTO w(id, v) VALUES ('x', '[1,2]')",
       "Only integers are allows for primary key values on w", SQLITE_ERROR},
      {"INSERT INTO w(id, v) VALUES (1, '[1,2]')", "UNIQUE constraint failed on w primary key",
       SQLITE_CONSTRAINT},
  };
  for (const ErrorCase& c : more) all.push_back(c);

  auto dump = [&] {
    return db.DumpTables("t_") + db.DumpTables("u_") + db.DumpTables("w_") +
           db.DumpTables("sqlite_sequence");
  };
  const std::string before = dump();
  for (const ErrorCase& c : all) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.message);
    EXPECT_EQ(db.Run(c.sql), c.code);
    EXPECT_EQ(dump(), before);
    db.Exec("BEGIN");
    EXPECT_EQ(db.Query(c.sql), c.message);
    EXPECT_EQ(dump(), before);
    db.Exec("COMMIT");
    EXPECT_EQ(dump(), before);
  }
  db.Exec(
      "INSERT INTO t(rowid, p, v, a, mb, mi, mf, mt) VALUES (2, 1, '[1,2]', 'x', 1, 2, 0.5, "
      "'t')");
  for (const char* table : {"t", "u", "w"}) EXPECT_EQ(CheckJix0Invariants(db.db(), table), "");
}

int DenyRowidsUpdates(void*, int action, const char* table, const char*, const char*, const char*) {
  return action == SQLITE_UPDATE && std::string(table) == "t_rowids" ? SQLITE_DENY : SQLITE_OK;
}

// NumPy's default dtype is float64: its bytes are twice a float32 vector's, and the message
// for exactly that case names the cause. Other mismatches keep the plain message.
TEST_F(Jix0Insert, DimensionMismatchOfTwiceTheBytesNamesFloat64) {
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0(v float[2], i int8[2]);"
      "INSERT INTO t(rowid, v, i) VALUES (1, '[1, 2]', jix_int8('[1, 2]'))");
  const std::string hint =
      " The BLOB holds 8 bytes per element, as float64 values do: convert the vector to float32 "
      "first (NumPy: .astype(numpy.float32); JavaScript: Float32Array).";
  const std::string inserted = "Dimension mismatch for inserted vector for the \"v\" column. ";
  const std::string updated = "Dimension mismatch for new updated vector for the \"";
  const std::string queried = "Dimension mismatch for query vector for the \"v\" column. ";
  const struct {
    std::string sql, expected;
  } cases[] = {
      {"INSERT INTO t(rowid, v, i) VALUES (2, zeroblob(16), jix_int8('[1, 2]'))",
       inserted + "Expected 2 dimensions but received 4." + hint},
      {"INSERT INTO t(rowid, v, i) VALUES (2, zeroblob(12), jix_int8('[1, 2]'))",
       inserted + "Expected 2 dimensions but received 3."},
      {"INSERT INTO t(rowid, v, i) VALUES (2, '[1, 2, 3, 4]', jix_int8('[1, 2]'))",
       inserted + "Expected 2 dimensions but received 4."},
      {"UPDATE t SET v = zeroblob(16) WHERE rowid = 1",
       updated + "v\" column. Expected 2 dimensions but received 4." + hint},
      {"UPDATE t SET i = zeroblob(4) WHERE rowid = 1",
       updated + "i\" column. Expected 2 dimensions but received 4."},
      {"SELECT rowid FROM t WHERE v MATCH zeroblob(16) AND k = 1",
       queried + "Expected 2 dimensions but received 4." + hint},
      {"SELECT rowid FROM t WHERE v MATCH '[0, 0, 0, 0]' AND k = 1",
       queried + "Expected 2 dimensions but received 4."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

// Storage that no longer matches the table, and SQLite refusing the shadow-table writes:
// reported with the internal messages, never a crash.
TEST_F(Jix0Insert, DamagedStorageIsReported) {
  const char* const same = "INSERT INTO t(p, v, m) VALUES (1, '[3,4]', 'b')";
  const char* const fresh = "INSERT INTO t(p, v, m) VALUES (2, '[3,4]', 'b')";
  const char* const given = "INSERT INTO t(rowid, p, v, m) VALUES (5, 1, '[3,4]', 'b')";
  const struct {
    const char* damage;
    const char* insert;
    const char* message;
  } cases[] = {
      {"UPDATE t_chunks SET validity = 5", same,
       "Internal sqlite-jix error: could not open validity blob on main.t_chunks.1"},
      {"UPDATE t_chunks SET validity = X'0000'", same,
       "Internal sqlite-jix error: validity blob size mismatch on main.t_chunks.1, expected 1 but "
       "received 2."},
      {"CREATE TRIGGER d AFTER INSERT ON t_chunks BEGIN UPDATE t_chunks SET validity = 5 WHERE "
       "chunk_id = new.chunk_id; END",
       fresh,
       "Internal sqlite-jix error: Could not open validity blob for newly created chunk "
       "main.t_chunks.2"},
      {"CREATE TRIGGER d AFTER INSERT ON t_chunks BEGIN UPDATE t_chunks SET validity = X'0000' "
       "WHERE chunk_id = new.chunk_id; END",
       fresh,
       "Internal sqlite-jix error: validity blob size mismatch for newly created chunk "
       "main.t_chunks.2. Exepcted 1, got 2"},
      {"CREATE TRIGGER d BEFORE INSERT ON t_metadatachunks00 BEGIN SELECT RAISE(ABORT, 'no'); "
       "END",
       fresh, "Internal sqlite-jix error: Could not insert a new vector chunk"},
      {"DELETE FROM t_vector_chunks00", same,
       "Error opening vector blob at main.t_vector_chunks00.1"},
      {"UPDATE t_vector_chunks00 SET vectors = zeroblob(8)", same,
       "Internal sqlite-jix error: vector blob size mismatch on main.t_vector_chunks00.1. "
       "Expected 64, actual 8"},
      {"UPDATE t_chunks SET rowids = 5", same,
       "Internal sqlite-jix error: could not open rowids blob on main.t_chunks.1"},
      {"UPDATE t_chunks SET rowids = zeroblob(3)", same,
       "Internal sqlite-jix error: rowids blob size mismatch on main.t_chunks.1. Expected 64, "
       "actual 3"},
      {"CREATE TRIGGER d BEFORE UPDATE ON t_rowids BEGIN SELECT RAISE(ABORT, 'no'); END", same,
       "Internal sqlite-jix error: could not update rowids position for rowid=2, chunk_rowid=1, "
       "chunk_offset=1"},
      {"CREATE TRIGGER d BEFORE INSERT ON t_rowids BEGIN SELECT RAISE(ABORT, 'no'); END", same,
       "Error inserting id into rowids shadow table: no"},
      {"CREATE TRIGGER d BEFORE INSERT ON t_rowids BEGIN SELECT RAISE(ABORT, 'no'); END", given,
       "Error inserting rowid into rowids shadow table: no"},
      {"DROP TABLE t_rowids", same,
       "Internal sqlite-jix error: could not initialize 'insert rowids id' statement"},
      {"DROP TABLE t_rowids", given,
       "Internal sqlite-jix error: could not initialize 'insert rowids' statement"},
      {"DROP TABLE t_chunks", same,
       "Internal sqlite-jix error: could not initialize 'latest chunk' statement"},
      // A chunks "table" whose reading fails only when stepped.
      {"DROP TABLE t_chunks; CREATE VIEW t_chunks(rowid, partition00) AS "
       "SELECT abs(-9223372036854775807 - 1), 1",
       same, "Internal sqlite-jix error: Could not find latest chunk"},
      {"AUTHORIZE", same,
       "Internal sqlite-jix error: could not initialize 'update rowids position' statement"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.damage) + " / " + c.insert);
    TestDb fresh_db;
    fresh_db.Exec(
        "CREATE VIRTUAL TABLE t USING jix0(p int partition key, v float[2], m text, "
        "chunk_size=8)");
    fresh_db.Exec("INSERT INTO t(rowid, p, v, m) VALUES (1, 1, '[1,2]', 'a')");
    if (std::string(c.damage) == "AUTHORIZE") {
      sqlite3_set_authorizer(fresh_db.db(), DenyRowidsUpdates, nullptr);
    } else {
      fresh_db.Exec(c.damage);
    }
    EXPECT_EQ(WithoutRolledBackNote(fresh_db.Query(c.insert)), c.message);
  }
}

TEST(Jix0Update, RefusesAnUnrecognizedCall) {
  jix0_vtab table = {};
  char name[] = "t";
  table.tableName = name;
  sqlite3_int64 rowid;
  EXPECT_EQ(jix0Update(&table.base, 0, nullptr, &rowid), SQLITE_ERROR);
  EXPECT_STREQ(table.base.zErrMsg, "Unrecognized xUpdate operation provided for jix0.");
  sqlite3_free(table.base.zErrMsg);
  table.base.zErrMsg = nullptr;

  TestDb db;
  sqlite3_stmt* stmt;
  ASSERT_EQ(sqlite3_prepare_v2(db.db(), "SELECT NULL", -1, &stmt, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  sqlite3_value* null = sqlite3_column_value(stmt, 0);
  EXPECT_EQ(jix0Update(&table.base, 1, &null, &rowid), SQLITE_ERROR);
  EXPECT_STREQ(table.base.zErrMsg, "Unrecognized xUpdate operation provided for jix0.");
  sqlite3_free(table.base.zErrMsg);
  sqlite3_finalize(stmt);
}

}  // namespace
