// The row and chunk primitives, called on a live table: answers, result codes and the
// messages they set.
#include "jix0/storage/chunks.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "support/captured_vtab.h"
#include "support/test_db.h"

namespace {

// meta(rowid, m): the row's slot of metadata column m through jix0_result_metadata_slot;
// id(rowid): jix0_result_id. Failures surface as "rc=<code>".
int ResultMeta(sqlite3_context* context, sqlite3_int64 rowid, int metadataIdx) {
  jix0_vtab* p = LastCapturedJix0();
  sqlite3_int64 chunkId = 0, slot = 0;
  int rc = jix0_get_chunk_position(p, rowid, nullptr, &chunkId, &slot);
  if (rc != SQLITE_OK) return rc;
  sqlite3_blob* blob = nullptr;
  rc = sqlite3_blob_open(p->db, p->schemaName, p->shadowMetadataChunksNames[metadataIdx], "data",
                         chunkId, 0, &blob);
  if (rc == SQLITE_OK) rc = jix0_result_metadata_slot(p, blob, rowid, metadataIdx, slot, context);
  sqlite3_blob_close(blob);
  return rc;
}
void Meta(sqlite3_context* context, int, sqlite3_value** argv) {
  int rc = ResultMeta(context, sqlite3_value_int64(argv[0]), sqlite3_value_int(argv[1]));
  if (rc != SQLITE_OK)
    sqlite3_result_text(context, ("rc=" + std::to_string(rc)).c_str(), -1, SQLITE_TRANSIENT);
}
void Id(sqlite3_context* context, int, sqlite3_value** argv) {
  int rc = jix0_result_id(LastCapturedJix0(), context, sqlite3_value_int64(argv[0]));
  if (rc != SQLITE_OK)
    sqlite3_result_text(context, ("rc=" + std::to_string(rc)).c_str(), -1, SQLITE_TRANSIENT);
}

class Jix0Chunks : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterCapturingJix0(db.db());
    sqlite3_create_function(db.db(), "meta", 2, SQLITE_UTF8, nullptr, Meta, nullptr, nullptr);
    sqlite3_create_function(db.db(), "id", 1, SQLITE_UTF8, nullptr, Id, nullptr, nullptr);
  }
  // The table's message, cleared for the next check.
  std::string TakeMessage() {
    jix0_vtab* p = LastCapturedJix0();
    std::string message = p->base.zErrMsg ? p->base.zErrMsg : "<none>";
    sqlite3_free(p->base.zErrMsg);
    p->base.zErrMsg = nullptr;
    return message;
  }
  std::string Text(sqlite3_value* value) {
    std::string out = value ? std::string((const char*)sqlite3_value_text(value)) : "<none>";
    sqlite3_value_free(value);
    return out;
  }
  TestDb db;
};

TEST_F(Jix0Chunks, ReadsOneValueOfEachKind) {
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0_capture(id text primary key, p int partition key, "
      "v float[2], +a text, mb bool, mi int, mf float, mt text, chunk_size=16)");
  for (int i = 1; i <= 10; i++) {
    const std::string n = std::to_string(i);
    db.Exec("INSERT INTO t(id, p, v, a, mb, mi, mf, mt) VALUES ('id" + n + "', " +
            std::to_string(i % 2) + ", '[" + n + ", 0.5]', 'aux" + n + "', " +
            (i == 10 ? "1" : "0") + ", " + n + " - 5, " + n + ".25, " +
            (i == 3   ? "'exactly12byt'"
             : i == 4 ? "'thirteen byte'"
                      : "''") +
            ")");
  }
  jix0_vtab* p = LastCapturedJix0();

  sqlite3_value* id = nullptr;
  sqlite3_int64 chunkId = -1, chunkOffset = -1;
  ASSERT_EQ(jix0_get_chunk_position(p, 4, &id, &chunkId, &chunkOffset), SQLITE_OK);
  EXPECT_EQ(Text(id), "id4");
  EXPECT_EQ(chunkId, 2);  // odd rows went to partition 1's chunk 1, even ones to chunk 2
  EXPECT_EQ(chunkOffset, 1);
  ASSERT_EQ(jix0_get_id_value_from_rowid(p, 10, &id), SQLITE_OK);
  EXPECT_EQ(Text(id), "id10");
  EXPECT_EQ(jix0_get_chunk_position(p, 99, &id, &chunkId, &chunkOffset), SQLITE_EMPTY);
  EXPECT_EQ(TakeMessage(), "<none>");

  sqlite3_int64 rowid = -1;
  db.Exec("CREATE TEMP TABLE keys(k)");
  db.Exec("INSERT INTO keys VALUES ('id7'), ('nope')");
  sqlite3_stmt* stmt;
  ASSERT_EQ(sqlite3_prepare_v2(db.db(), "SELECT k FROM keys", -1, &stmt, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_EQ(jix0_rowid_from_id(p, sqlite3_column_value(stmt, 0), &rowid), SQLITE_OK);
  EXPECT_EQ(rowid, 7);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_EQ(jix0_rowid_from_id(p, sqlite3_column_value(stmt, 0), &rowid), SQLITE_EMPTY);
  EXPECT_EQ(TakeMessage(), "<none>");
  sqlite3_finalize(stmt);

  void* vector = nullptr;
  int size = 0;
  ASSERT_EQ(jix0_get_vector_data(p, 3, 0, &vector, &size), SQLITE_OK);
  ASSERT_EQ(size, 8);
  float elements[2];
  memcpy(elements, vector, 8);
  sqlite3_free(vector);
  EXPECT_EQ(elements[0], 3.0f);
  EXPECT_EQ(elements[1], 0.5f);
  EXPECT_EQ(jix0_get_vector_data(p, 99, 0, &vector, nullptr), SQLITE_EMPTY);
  EXPECT_EQ(TakeMessage(), "Could not find a row with rowid 99");

  EXPECT_EQ(db.Query("SELECT id(10), meta(10, 0), meta(9, 0), meta(4, 1), meta(4, 2), "
                     "typeof(meta(4, 2)), meta(3, 3), meta(4, 3), quote(meta(5, 3)), id(99)"),
            "id10|1|0|-1|4.25|real|exactly12byt|thirteen byte|''|rc=16");
  // The 13-byte text is read from the long-text table, the 12-byte one from its entry.
  db.Exec("UPDATE t_metadatatext03 SET data = 'the table row' WHERE rowid = 4");
  db.Exec("DELETE FROM t_metadatatext03 WHERE rowid = 3");
  EXPECT_EQ(db.Query("SELECT meta(4, 3), meta(3, 3)"), "the table row|exactly12byt");
  db.Exec("DELETE FROM t_metadatatext03");
  EXPECT_EQ(db.Query("SELECT meta(4, 3), meta(99, 3)"), "rc=1|rc=16");
}

TEST_F(Jix0Chunks, BooleanSlotNineIsBitOneOfByteOne) {
  db.Exec("CREATE VIRTUAL TABLE t USING jix0_capture(v float[1], b bool, chunk_size=16)");
  for (int i = 0; i < 10; i++) {
    db.Exec(std::string("INSERT INTO t(v, b) VALUES ('[1]', ") + (i == 9 ? "1" : "0") + ")");
  }
  EXPECT_EQ(db.Query("SELECT data FROM t_metadatachunks00"), "X'0002'");
  EXPECT_EQ(db.Query("SELECT meta(10, 0), meta(9, 0)"), "1|0");
}

TEST_F(Jix0Chunks, LatestChunkOfEachPartition) {
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0_capture(p int partition key, v float[4], m text, "
      "chunk_size=8)");
  jix0_vtab* p = LastCapturedJix0();
  sqlite3_stmt* stmt;
  ASSERT_EQ(sqlite3_prepare_v2(db.db(), "SELECT 1, 2, NULL", -1, &stmt, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  sqlite3_value* one = sqlite3_column_value(stmt, 0);
  sqlite3_value* two = sqlite3_column_value(stmt, 1);
  sqlite3_value* null = sqlite3_column_value(stmt, 2);

  sqlite3_int64 chunkId = -1;
  EXPECT_EQ(jix0_get_latest_chunk_rowid(p, &chunkId, &one), SQLITE_EMPTY);
  EXPECT_EQ(jix0_new_chunk(p, &one, &chunkId), SQLITE_OK);
  EXPECT_EQ(chunkId, 1);
  EXPECT_EQ(jix0_new_chunk(p, &two, nullptr), SQLITE_OK);
  EXPECT_EQ(jix0_new_chunk(p, &one, &chunkId), SQLITE_OK);
  EXPECT_EQ(chunkId, 3);
  EXPECT_EQ(jix0_get_latest_chunk_rowid(p, &chunkId, &one), SQLITE_OK);
  EXPECT_EQ(chunkId, 3);
  EXPECT_EQ(jix0_get_latest_chunk_rowid(p, &chunkId, &two), SQLITE_OK);
  EXPECT_EQ(chunkId, 2);
  // NULL keys find the chunks of NULL keys.
  EXPECT_EQ(jix0_get_latest_chunk_rowid(p, &chunkId, &null), SQLITE_EMPTY);
  EXPECT_EQ(jix0_new_chunk(p, &null, &chunkId), SQLITE_OK);
  EXPECT_EQ(jix0_get_latest_chunk_rowid(p, &chunkId, &null), SQLITE_OK);
  EXPECT_EQ(chunkId, 4);
  EXPECT_EQ(TakeMessage(), "<none>");
  sqlite3_finalize(stmt);

  EXPECT_EQ(db.Query("SELECT chunk_id, size, sequence_id, quote(partition00), validity, "
                     "rowids = zeroblob(64) FROM t_chunks WHERE chunk_id IN (1, 4)"),
            "1|8|NULL|1|X'00'|1\n4|8|NULL|NULL|X'00'|1");
  EXPECT_EQ(db.Query("SELECT group_concat(_rowid_ || ':' || rowid || ':' || (vectors = "
                     "zeroblob(128))) FROM t_vector_chunks00"),
            "1:1:1,2:2:1,3:3:1,4:4:1");
  EXPECT_EQ(db.Query("SELECT group_concat(_rowid_ || ':' || rowid || ':' || (data = "
                     "zeroblob(128))) FROM t_metadatachunks00"),
            "1:1:1,2:2:1,3:3:1,4:4:1");

  EXPECT_EQ(jix0_metadata_chunk_size(JIX0_METADATA_BOOLEAN, 8), 1);
  EXPECT_EQ(jix0_metadata_chunk_size(JIX0_METADATA_INTEGER, 8), 64);
  EXPECT_EQ(jix0_metadata_chunk_size(JIX0_METADATA_FLOAT, 8), 64);
  EXPECT_EQ(jix0_metadata_chunk_size(JIX0_METADATA_TEXT, 8), 128);
  EXPECT_EQ(jix0_metadata_chunk_size((MetadataColumnKind)9, 8), 0);
}

TEST_F(Jix0Chunks, RowidsTable) {
  db.Exec("CREATE VIRTUAL TABLE t USING jix0_capture(v float[1])");
  jix0_vtab* p = LastCapturedJix0();
  EXPECT_EQ(jix0_rowids_insert_rowid(p, 5), SQLITE_OK);
  EXPECT_EQ(jix0_rowids_insert_rowid(p, 5), SQLITE_ERROR);
  EXPECT_EQ(TakeMessage(), "UNIQUE constraint failed on t primary key");
  sqlite3_int64 rowid = -1;
  EXPECT_EQ(jix0_rowids_insert_id(p, nullptr, &rowid), SQLITE_OK);
  EXPECT_EQ(rowid, 6);
  EXPECT_EQ(jix0_rowids_update_position(p, 6, 3, 4), SQLITE_OK);
  EXPECT_EQ(jix0_rowids_update_position(p, 77, 3, 4), SQLITE_OK);
  EXPECT_EQ(db.Query("SELECT rowid, id, chunk_id, chunk_offset FROM t_rowids"),
            "5|NULL|NULL|NULL\n6|NULL|3|4");
  // Without a TEXT key the id is the rowid, whether or not a row has it.
  EXPECT_EQ(db.Query("SELECT id(12345)"), "12345");

  db.Exec("CREATE VIRTUAL TABLE u USING jix0_capture(id text primary key, v float[1])");
  p = LastCapturedJix0();
  sqlite3_stmt* stmt;
  ASSERT_EQ(sqlite3_prepare_v2(db.db(), "SELECT 'a'", -1, &stmt, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_EQ(jix0_rowids_insert_id(p, sqlite3_column_value(stmt, 0), &rowid), SQLITE_OK);
  EXPECT_EQ(rowid, 1);
  EXPECT_EQ(jix0_rowids_insert_id(p, sqlite3_column_value(stmt, 0), &rowid), SQLITE_ERROR);
  EXPECT_EQ(TakeMessage(), "UNIQUE constraint failed on u primary key");
  sqlite3_finalize(stmt);
}

int DenyRowidsReads(void*, int action, const char* table, const char*, const char*, const char*) {
  return action == SQLITE_READ && std::string(table) == "t_rowids" ? SQLITE_DENY : SQLITE_OK;
}

TEST_F(Jix0Chunks, VectorReadFailures) {
  db.Exec("CREATE VIRTUAL TABLE t USING jix0_capture(v float[2], chunk_size=8)");
  db.Exec("INSERT INTO t(v) VALUES ('[1,2]'), ('[3,4]')");
  jix0_vtab* p = LastCapturedJix0();
  void* vector = nullptr;

  db.Exec("UPDATE t_vector_chunks00 SET vectors = zeroblob(12)");
  EXPECT_EQ(jix0_get_vector_data(p, 2, 0, &vector, nullptr), SQLITE_ERROR);
  EXPECT_EQ(TakeMessage(), "Could not fetch vector data for 2, reading from blob failed");
  EXPECT_EQ(vector, nullptr);

  db.Exec("DELETE FROM t_vector_chunks00");
  EXPECT_EQ(jix0_get_vector_data(p, 1, 0, &vector, nullptr), SQLITE_ERROR);
  EXPECT_EQ(TakeMessage(), "Could not fetch vector data for 1, opening blob failed");
}

TEST_F(Jix0Chunks, CachedStatementRefusedByTheAuthorizer) {
  db.Exec("CREATE VIRTUAL TABLE t USING jix0_capture(v float[2])");
  db.Exec("INSERT INTO t(v) VALUES ('[1,2]')");
  jix0_vtab* p = LastCapturedJix0();
  ASSERT_EQ(p->stmts[JIX0_STMT_ROWIDS_GET_CHUNK_POSITION], nullptr);
  sqlite3_set_authorizer(db.db(), DenyRowidsReads, nullptr);
  void* vector = nullptr;
  EXPECT_EQ(jix0_get_vector_data(p, 1, 0, &vector, nullptr), SQLITE_AUTH);
  EXPECT_EQ(TakeMessage(),
            "Internal sqlite-jix error: could not initialize 'rowids get chunk position' "
            "statement");
  sqlite3_set_authorizer(db.db(), nullptr, nullptr);
  EXPECT_EQ(jix0_get_vector_data(p, 1, 0, &vector, nullptr), SQLITE_OK);
  sqlite3_free(vector);
}

}  // namespace
