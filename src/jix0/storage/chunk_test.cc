// The chunk API on a live table: the size rules of opening, handles moved between chunks,
// chunk listing by group, and creating and deleting whole chunks.
#include "jix0/storage/chunk.h"

#include <gtest/gtest.h>
#include <string>

#include "jix0/storage/chunks.h"
#include "jix0/storage/statements.h"
#include "support/captured_vtab.h"
#include "support/test_db.h"

namespace {

ChunkFault lastFault;
int Record(jix0_vtab*, const ChunkFault& fault) {
  lastFault = fault;
  return SQLITE_CORRUPT_VTAB;  // distinct from every code the open itself returns
}

class Jix0Chunk : public ::testing::Test {
 protected:
  void SetUp() override { RegisterCapturingJix0(db.db()); }
  TestDb db;
};

// A whole part must have exactly its size; a slot only needs to lie inside the BLOB.
TEST_F(Jix0Chunk, OpenChecksWholeSizesAndSlots) {
  db.Exec("CREATE VIRTUAL TABLE t USING jix0_capture(v float[2], m bool, chunk_size=16)");
  db.Exec("INSERT INTO t(rowid, v, m) VALUES (1, '[1,2]', 1)");
  jix0_vtab* p = LastCapturedJix0();
  db.Exec("UPDATE t_vector_chunks00 SET vectors = zeroblob(136)");  // one slot too many
  db.Exec("UPDATE t_metadatachunks00 SET data = zeroblob(1)");      // bits of slots 0..7
  Chunk chunk(p);
  lastFault = {};
  EXPECT_EQ(chunk.OpenPart(JIX0_PART_VECTORS, 0, 1, false, Record), SQLITE_CORRUPT_VTAB);
  EXPECT_EQ(lastFault.rc, SQLITE_OK);
  EXPECT_EQ(lastFault.actual, 136);
  EXPECT_EQ(lastFault.expected, 128);
  EXPECT_STREQ(lastFault.table, "t_vector_chunks00");
  EXPECT_EQ(chunk.blob(JIX0_PART_VECTORS, 0), nullptr);
  EXPECT_EQ(chunk.OpenSlot(JIX0_PART_VECTORS, 0, 1, false, 16, Record), SQLITE_OK);
  EXPECT_EQ(chunk.OpenSlot(JIX0_PART_VECTORS, 0, 1, false, 17, nullptr), SQLITE_ERROR);
  EXPECT_EQ(chunk.OpenSlot(JIX0_PART_METADATA, 0, 1, false, 7, nullptr), SQLITE_OK);
  EXPECT_EQ(chunk.OpenSlot(JIX0_PART_METADATA, 0, 1, false, 8, Record), SQLITE_CORRUPT_VTAB);
  EXPECT_EQ(lastFault.slot, 8);
  EXPECT_EQ(chunk.OpenSlot(JIX0_PART_ROWIDS, 0, 1, false, -1, nullptr), SQLITE_ERROR);
  lastFault = {};
  EXPECT_EQ(chunk.OpenPart(JIX0_PART_ROWIDS, 0, 99, false, Record), SQLITE_CORRUPT_VTAB);
  EXPECT_NE(lastFault.rc, SQLITE_OK);
  EXPECT_EQ(lastFault.chunkId, 99);
}

// Images copy and clear single slots; jix0_chunk_insert stores an image byte for byte, and
// Open moves its handles from chunk to chunk.
TEST_F(Jix0Chunk, ImagesRoundTripThroughNewChunks) {
  db.Exec("CREATE VIRTUAL TABLE t USING jix0_capture(v int8[3], m int, chunk_size=8)");
  db.Exec("INSERT INTO t(rowid, v, m) VALUES (5, jix_int8('[1,2,3]'), 7)");
  jix0_vtab* p = LastCapturedJix0();
  ChunkLayout layout(p);
  std::string source(layout.total, '\0'), target(layout.total, '\0');
  Chunk chunk(p);
  ASSERT_EQ(chunk.Open(1, false, nullptr), SQLITE_OK);
  ASSERT_EQ(chunk.ReadImage(layout, (uint8_t*)source.data()), SQLITE_OK);
  jix0_image_copy_slot(p, layout, (const uint8_t*)source.data(), 0, (uint8_t*)target.data(), 2);
  jix0_image_clear_slot(p, layout, (uint8_t*)source.data(), 0);
  EXPECT_EQ(source, std::string(layout.total, '\0'));
  sqlite3_int64 id = 0;
  ASSERT_EQ(jix0_chunk_insert(p, nullptr, JIX0_NO_LIST, layout, (const uint8_t*)target.data(), &id),
            SQLITE_OK);
  EXPECT_EQ(id, 2);
  EXPECT_EQ(db.Query("SELECT hex(validity), hex(rowids) FROM t_chunks WHERE chunk_id = 2"),
            "04|" + std::string(32, '0') + "05" + std::string(94, '0'));
  EXPECT_EQ(db.Query("SELECT hex(vectors) FROM t_vector_chunks00 WHERE rowid = 2"),
            "000000000000010203000000000000000000000000000000");
  EXPECT_EQ(db.Query("SELECT hex(substr(data, 17, 8)) FROM t_metadatachunks00 WHERE rowid = 2"),
            "0700000000000000");
  ASSERT_EQ(chunk.Open(2, false, nullptr), SQLITE_OK);  // every handle moves to chunk 2
  sqlite3_int64 rowid = 0;
  ASSERT_EQ(chunk.ReadSlot(JIX0_PART_ROWIDS, 0, 2, &rowid), SQLITE_OK);
  EXPECT_EQ(rowid, 5);
}

// Groups follow the partition key (NULL keys share one), and IVF lists only when asked;
// a deleted chunk leaves every chunk table and the latest-chunk lookup is prepared again.
TEST_F(Jix0Chunk, CollectsByGroupAndDeletesEverywhere) {
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0_capture(p int partition key, v float[1] index=ivf, "
      "m text, chunk_size=8)");
  jix0_vtab* p = LastCapturedJix0();
  db.Exec(
      "INSERT INTO t_chunks(chunk_id, size, validity, rowids, partition00, list) VALUES "
      "(1, 8, X'00', zeroblob(64), 1, 0), (2, 8, X'00', zeroblob(64), NULL, 0), "
      "(3, 8, X'00', zeroblob(64), 1, 1), (4, 8, X'00', zeroblob(64), NULL, NULL), "
      "(5, 8, X'00', zeroblob(64), 1, 0)");
  auto collect = [&](bool listsApart) {
    Array chunks = {};
    EXPECT_EQ(array_init(&chunks, sizeof(ChunkRef), 4), SQLITE_OK);
    EXPECT_EQ(jix0_chunks_collect(p, listsApart, &chunks), SQLITE_OK);
    std::string out;
    for (size_t i = 0; i < chunks.length; i++) {
      const ChunkRef& c = ((const ChunkRef*)chunks.data)[i];
      out += std::to_string(c.id) + ":" + std::to_string(c.group) + " ";
    }
    array_cleanup(&chunks);
    return out;
  };
  EXPECT_EQ(collect(false), "2:1 4:1 1:2 3:2 5:2 ");
  EXPECT_EQ(collect(true), "4:1 2:2 1:3 5:3 3:4 ");

  db.Exec("BEGIN");  // the cached statements live until the transaction syncs
  db.Exec("INSERT INTO t(p, v, m) VALUES (1, '[1]', 'x')");
  ASSERT_NE(p->stmts[JIX0_STMT_LATEST_CHUNK], nullptr);
  ASSERT_EQ(jix0_chunk_delete(p, 6), SQLITE_OK);
  EXPECT_EQ(p->stmts[JIX0_STMT_LATEST_CHUNK], nullptr);
  EXPECT_EQ(db.Query("SELECT (SELECT count(*) FROM t_chunks WHERE chunk_id = 6) + "
                     "(SELECT count(*) FROM t_vector_chunks00 WHERE rowid = 6) + "
                     "(SELECT count(*) FROM t_metadatachunks00 WHERE rowid = 6)"),
            "0");
  db.Exec("COMMIT");
}

}  // namespace
