// The 'optimize' command: compacts each partition's rows into its oldest chunks.
//
// Within a partition, chunks are taken in chunk_id order. A destination walks the free slots
// from the oldest chunk up, a source walks the stored rows from the newest chunk down, and
// each row moves into the lowest free slot until the two meet in one chunk. Every chunk below
// that one is then full and every chunk above it empty, so the partition keeps
// ceil(rows / chunk_size) chunks; the empty ones are deleted from every chunk table.
//
// The same walk runs twice. The first pass only reads: it opens every BLOB the move touches,
// checks its size, and checks that each row to move is where the rowids table says. The second
// pass writes. Damage is therefore found while nothing has changed; what can still fail while
// writing (out of memory, I/O, a full disk, an interrupt) makes SQLite roll back the
// transaction, which a plain INSERT ... VALUES of one row gets no statement journal for.
//
// A moved row is read and written once, one slot at a time: besides SQLite's cache the command
// holds two validity bitmaps, two rowid arrays and one slot.
#include <cstdint>
#include <cstring>

#include "base/array.h"
#include "base/bitmap.h"
#include "base/handles.h"
#include "jix0/storage/chunk.h"
#include "jix0/storage/chunks.h"
#include "jix0/storage/shadow_tables.h"
#include "jix0/write/command.h"

namespace {

// Largest slot of any chunk BLOB: a float32 vector of the most dimensions.
constexpr int kMaxSlotBytes = JIX0_MAX_DIMENSIONS * 4;

// One chunk opened by the walk, with its bitmap and rowid array in memory.
struct OpenChunk {
  explicit OpenChunk(jix0_vtab* p) : chunk(p) {}
  sqlite3_int64 id = 0;
  Chunk chunk;
  uint8_t bitmap[JIX0_MAX_CHUNK_SIZE / 8];
  uint8_t original[JIX0_MAX_CHUNK_SIZE / 8];  // the bitmap as opened
  SqlitePtr<sqlite3_int64> rowidArray;
  int next = 0;        // slots below this one were looked at already
  bool moved = false;  // a row moved into or out of the chunk

  void Close() { chunk.Close(); }
  bool IsOpen() { return chunk.blob(JIX0_PART_VALIDITY) != nullptr; }
};

// Optimize's messages for a chunk BLOB it cannot open, or whose size is wrong.
int optimize_fault(jix0_vtab* p, const ChunkFault& f) {
  if (f.rc != SQLITE_OK) {
    if ((f.rc & 0xff) == SQLITE_NOMEM) return f.rc;
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": optimize could not open %s.%s.%lld: %s",
                   p->schemaName, f.table, f.chunkId, sqlite3_errmsg(p->db));
    return f.rc;
  }
  vtab_set_error(&p->base,
                 JIX0_INTERNAL_ERROR
                 ": optimize found a BLOB of %d bytes in %s.%s.%lld, expected %lld",
                 (int)f.actual, p->schemaName, f.table, f.chunkId, f.expected);
  return SQLITE_ERROR;
}

class Optimizer {
 public:
  explicit Optimizer(jix0_vtab* p) : p_(p), src_(p), dst_(p) {}

  int Prepare() {
    slot_.reset((uint8_t*)sqlite3_malloc(kMaxSlotBytes));
    src_.rowidArray.reset((sqlite3_int64*)sqlite3_malloc64((sqlite3_uint64)p_->chunk_size * 8));
    dst_.rowidArray.reset((sqlite3_int64*)sqlite3_malloc64((sqlite3_uint64)p_->chunk_size * 8));
    if (!slot_ || !src_.rowidArray || !dst_.rowidArray) return SQLITE_NOMEM;
    int rc = PrepareSql(&getPosition_, sqlite3_mprintf(JIX0_SQL_ROWIDS_GET_CHUNK_POSITION,
                                                       p_->schemaName, p_->tableName));
    if (rc != SQLITE_OK) return rc;
    return PrepareSql(&setPosition_, sqlite3_mprintf(JIX0_SQL_ROWIDS_UPDATE_POSITION,
                                                     p_->schemaName, p_->tableName));
  }

  // Walks one partition's chunks (ids ascending); *outKeep is how many of the oldest stay.
  int Walk(bool write, const ChunkRef* chunks, int n, int* outKeep) {
    write_ = write;
    *outKeep = n;
    if (n < 2) return SQLITE_OK;
    int lo = 0, hi = n - 1;
    int rc = Open(&dst_, chunks[lo].id);
    if (rc == SQLITE_OK) rc = Open(&src_, chunks[hi].id);
    while (rc == SQLITE_OK) {
      int to = NextSlot(&dst_, false);
      if (to < 0) {
        rc = CloseDestination();
        if (rc != SQLITE_OK || ++lo == hi) break;
        rc = Open(&dst_, chunks[lo].id);
        continue;
      }
      int from = NextSlot(&src_, true);
      if (from < 0) {
        // Drained: the chunk is deleted after the walk, so its bytes stay as they are.
        src_.Close();
        if (--hi == lo) break;
        rc = Open(&src_, chunks[hi].id);
        continue;
      }
      rc = Move(from, to);
    }
    // The walk ended in chunk lo. It stays unless it has no row left: the destination filled
    // up just as the source gave its last row.
    bool meetingEmpty = false;
    if (rc == SQLITE_OK && src_.IsOpen()) {
      meetingEmpty = Empty(src_.bitmap);
      // The source stays: clear the slots it gave up.
      if (!meetingEmpty) rc = CloseMeetingSource();
    }
    if (rc == SQLITE_OK && dst_.IsOpen()) {
      meetingEmpty = Empty(dst_.bitmap);
      rc = CloseDestination();
    }
    src_.Close();
    dst_.Close();
    *outKeep = meetingEmpty ? lo : lo + 1;
    return rc;
  }

 private:
  int PrepareSql(StmtPtr* out, char* sql) {
    SqlitePtr<char> text(sql);
    if (!text) return SQLITE_NOMEM;
    return prepare(p_->db, text.get(), out);
  }

  int Open(OpenChunk* c, sqlite3_int64 chunkId) {
    c->Close();
    c->id = chunkId;
    c->next = 0;
    c->moved = false;
    const int cs = p_->chunk_size;
    int rc = c->chunk.Open(chunkId, write_, optimize_fault);
    if (rc == SQLITE_OK) rc = c->chunk.ReadPart(JIX0_PART_VALIDITY, 0, c->bitmap);
    if (rc == SQLITE_OK) rc = c->chunk.ReadPart(JIX0_PART_ROWIDS, 0, c->rowidArray.get());
    memcpy(c->original, c->bitmap, (size_t)(cs / 8));
    return rc;
  }

  bool Empty(const uint8_t* bitmap) const {
    for (int i = 0; i < p_->chunk_size / 8; i++) {
      if (bitmap[i]) return false;
    }
    return true;
  }

  // The next slot at or after c->next whose validity bit is `occupied`, or -1.
  int NextSlot(OpenChunk* c, bool occupied) {
    for (; c->next < p_->chunk_size; c->next++) {
      if (bitmap_get(c->bitmap, c->next) == occupied) return c->next;
    }
    return -1;
  }

  // Checks that the rowids table places the row where the chunk does.
  int CheckPosition(sqlite3_int64 rowid, int from) {
    sqlite3_stmt* stmt = getPosition_.get();
    ResetOnExit reset(stmt);
    sqlite3_bind_int64(stmt, 1, rowid);
    int rc = jix_step(stmt);
    if (rc == SQLITE_ROW && sqlite3_column_int64(stmt, 1) == src_.id &&
        sqlite3_column_int64(stmt, 2) == from && sqlite3_column_type(stmt, 1) == SQLITE_INTEGER) {
      return SQLITE_OK;
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return rc;
    vtab_set_error(&p_->base,
                   JIX0_INTERNAL_ERROR
                   ": optimize found rowid %lld in slot %d of %s.%s.%lld, but the rowids table "
                   "places it elsewhere",
                   rowid, from, p_->schemaName, p_->shadowChunksName, src_.id);
    return SQLITE_ERROR;
  }

  int CopyMetadata(int m, int from, int to) {
    sqlite3_blob* in = src_.chunk.blob(JIX0_PART_METADATA, m);
    sqlite3_blob* out = dst_.chunk.blob(JIX0_PART_METADATA, m);
    int bytes = jix0_metadata_slot_bytes(p_->metadata_columns[m].kind);
    if (bytes > 0) {
      int rc = jix_blob_read(in, slot_.get(), bytes, from * bytes);
      return rc == SQLITE_OK ? jix_blob_write(out, slot_.get(), bytes, to * bytes) : rc;
    }
    uint8_t source, target;
    int rc = jix_blob_read(in, &source, 1, from / 8);
    if (rc == SQLITE_OK) rc = jix_blob_read(out, &target, 1, to / 8);
    if (rc != SQLITE_OK) return rc;
    bitmap_set(&target, to % 8, bitmap_get(&source, from % 8));
    return jix_blob_write(out, &target, 1, to / 8);
  }

  // Moves the row in source slot `from` to destination slot `to`. Long texts and auxiliary
  // values are keyed by rowid, so they stay where they are.
  int Move(int from, int to) {
    sqlite3_int64 rowid = src_.rowidArray.get()[from];
    bitmap_set(src_.bitmap, from, false);
    bitmap_set(dst_.bitmap, to, true);
    src_.rowidArray.get()[from] = 0;
    dst_.rowidArray.get()[to] = rowid;
    src_.moved = dst_.moved = true;
    if (!write_) return CheckPosition(rowid, from);
    int rc = SQLITE_OK;
    for (int i = 0; rc == SQLITE_OK && i < p_->numVectorColumns; i++) {
      int bytes = (int)vector_column_byte_size(p_->vector_columns[i]);
      rc = jix_blob_read(src_.chunk.blob(JIX0_PART_VECTORS, i), slot_.get(), bytes, from * bytes);
      if (rc == SQLITE_OK) {
        rc = jix_blob_write(dst_.chunk.blob(JIX0_PART_VECTORS, i), slot_.get(), bytes, to * bytes);
      }
    }
    for (int m = 0; rc == SQLITE_OK && m < p_->numMetadataColumns; m++) {
      rc = CopyMetadata(m, from, to);
    }
    const int codeBytes = p_->codesSlotBytes;
    if (rc == SQLITE_OK && codeBytes > 0) {
      rc =
          jix_blob_read(src_.chunk.blob(JIX0_PART_CODES), slot_.get(), codeBytes, from * codeBytes);
      if (rc == SQLITE_OK) {
        rc = jix_blob_write(dst_.chunk.blob(JIX0_PART_CODES), slot_.get(), codeBytes,
                            to * codeBytes);
      }
    }
    if (rc != SQLITE_OK) return rc;
    sqlite3_stmt* stmt = setPosition_.get();
    ResetOnExit reset(stmt);
    sqlite3_bind_int64(stmt, 1, dst_.id);
    sqlite3_bind_int64(stmt, 2, to);
    sqlite3_bind_int64(stmt, 3, rowid);
    rc = jix_step(stmt);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
  }

  // Writes the destination's bitmap and rowid array back whole, once per chunk.
  int CloseDestination() {
    int rc = SQLITE_OK;
    if (write_ && dst_.moved) {
      rc = jix_blob_write(dst_.chunk.blob(JIX0_PART_VALIDITY), dst_.bitmap, p_->chunk_size / 8, 0);
      if (rc == SQLITE_OK) {
        rc = jix_blob_write(dst_.chunk.blob(JIX0_PART_ROWIDS), dst_.rowidArray.get(),
                            p_->chunk_size * 8, 0);
      }
    }
    dst_.Close();
    return rc;
  }

  // The chunk where the walk ended gave up some rows and stays: its freed slots become zero
  // bytes in every BLOB, as a delete leaves them.
  int CloseMeetingSource() {
    if (!write_ || !src_.moved) {
      src_.Close();
      return SQLITE_OK;
    }
    memset(slot_.get(), 0, kMaxSlotBytes);
    int rc = SQLITE_OK;
    for (int s = 0; rc == SQLITE_OK && s < p_->chunk_size; s++) {
      if (!bitmap_get(src_.original, s) || bitmap_get(src_.bitmap, s)) continue;
      for (int i = 0; rc == SQLITE_OK && i < p_->numVectorColumns; i++) {
        int bytes = (int)vector_column_byte_size(p_->vector_columns[i]);
        rc = jix_blob_write(src_.chunk.blob(JIX0_PART_VECTORS, i), slot_.get(), bytes, s * bytes);
      }
      for (int m = 0; rc == SQLITE_OK && m < p_->numMetadataColumns; m++) {
        int bytes = jix0_metadata_slot_bytes(p_->metadata_columns[m].kind);
        if (bytes > 0) {
          rc =
              jix_blob_write(src_.chunk.blob(JIX0_PART_METADATA, m), slot_.get(), bytes, s * bytes);
          continue;
        }
        uint8_t byte = 0;
        rc = jix_blob_read(src_.chunk.blob(JIX0_PART_METADATA, m), &byte, 1, s / 8);
        bitmap_set(&byte, s % 8, false);
        if (rc == SQLITE_OK)
          rc = jix_blob_write(src_.chunk.blob(JIX0_PART_METADATA, m), &byte, 1, s / 8);
      }
      const int codeBytes = p_->codesSlotBytes;
      if (rc == SQLITE_OK && codeBytes > 0) {
        rc =
            jix_blob_write(src_.chunk.blob(JIX0_PART_CODES), slot_.get(), codeBytes, s * codeBytes);
      }
    }
    if (rc == SQLITE_OK)
      rc = jix_blob_write(src_.chunk.blob(JIX0_PART_VALIDITY), src_.bitmap, p_->chunk_size / 8, 0);
    if (rc == SQLITE_OK) {
      rc = jix_blob_write(src_.chunk.blob(JIX0_PART_ROWIDS), src_.rowidArray.get(),
                          p_->chunk_size * 8, 0);
    }
    src_.Close();
    return rc;
  }

  jix0_vtab* p_;
  bool write_ = false;
  StmtPtr getPosition_;
  StmtPtr setPosition_;
  SqlitePtr<uint8_t> slot_;
  OpenChunk src_;
  OpenChunk dst_;
};

// Deletes chunks[0..n) from the chunks table and every per-column chunk table.
int delete_chunks(jix0_vtab* p, const ChunkRef* chunks, int n) {
  int rc = SQLITE_OK;
  for (int i = 0; rc == SQLITE_OK && i < n; i++) rc = jix0_chunk_delete(p, chunks[i].id);
  return rc;
}

struct ArrayGuard {
  Array array = {};
  ~ArrayGuard() { array_cleanup(&array); }
};

}  // namespace

int jix0_optimize(jix0_vtab* p) {
  ArrayGuard chunks;
  int rc = array_init(&chunks.array, sizeof(ChunkRef), 16);
  // An index's list is a group of its own: rows never move into another list's chunk.
  if (rc == SQLITE_OK) rc = jix0_chunks_collect(p, true, &chunks.array);
  if (rc != SQLITE_OK) return rc;
  const ChunkRef* all = (const ChunkRef*)chunks.array.data;
  const int total = (int)chunks.array.length;

  Optimizer optimizer(p);
  rc = optimizer.Prepare();
  // The first pass reads only; the second runs the same walk and writes.
  for (int pass = 0; rc == SQLITE_OK && pass < 2; pass++) {
    for (int start = 0; rc == SQLITE_OK && start < total;) {
      int end = start;
      while (end < total && all[end].group == all[start].group) end++;
      int keep;
      rc = optimizer.Walk(pass == 1, all + start, end - start, &keep);
      if (rc == SQLITE_OK && pass == 1)
        rc = delete_chunks(p, all + start + keep, end - start - keep);
      start = end;
    }
  }
  return rc;
}
