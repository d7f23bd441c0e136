// build-index and the row move of an UPDATE.
//
// build-index runs in two passes over the table's chunks. The first only reads: it opens
// every chunk BLOB and checks its size, gathers every stored row's (rowid, chunk, slot) and
// checks them against the rowids table, then reads a sample of the vectors and trains the
// centroids. The second writes: chunk by chunk, each row is appended to an in-memory chunk of
// its (partition, list), which is inserted whole when full (and at the end of its partition);
// then the old chunks are deleted, and the centroids and the build id written. What can fail
// while writing (out of memory, I/O, a full disk, an interrupt) makes SQLite roll back the
// transaction, so a failed build leaves the table as it was.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/array.h"
#include "base/bitmap.h"
#include "base/handles.h"
#include "jix0/index/ivf.h"
#include "jix0/index/ivf_codes.h"
#include "jix0/index/kmeans.h"
#include "jix0/storage/chunk.h"
#include "jix0/storage/chunks.h"
#include "jix0/storage/shadow_tables.h"
#include "jix0/table/result_codes.h"

namespace {

// Sample points per list the k-means trains on: enough for centroids whose lists split the
// data evenly, while the sample's training costs less than assigning every row once.
constexpr sqlite3_int64 kSamplePerList = 64;
constexpr sqlite3_int64 kMaxSampleBytes = 256ll * 1024 * 1024;

// The messages of build-index and of the row move for a chunk BLOB that cannot be used.
int report_fault(jix0_vtab* p, const ChunkFault& f) {
  if (f.rc != SQLITE_OK) {
    if ((f.rc & 0xff) == SQLITE_NOMEM) return f.rc;
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": could not open %s.%s.%lld", p->schemaName,
                   f.table, f.chunkId);
    return jix0_failure_code(f.rc);
  }
  vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": BLOB of %d bytes in %s.%s.%lld, expected %lld",
                 (int)f.actual, p->schemaName, f.table, f.chunkId, f.expected);
  return SQLITE_ERROR;
}

struct Entry {
  sqlite3_int64 rowid;
  sqlite3_int64 chunk;
  sqlite3_int64 slot;
};

int compare_entries(const void* a, const void* b) {
  sqlite3_int64 x = ((const Entry*)a)->rowid, y = ((const Entry*)b)->rowid;
  return (x > y) - (x < y);
}

struct ArrayGuard {
  Array array = {};
  ArrayGuard() = default;
  ArrayGuard(const ArrayGuard&) = delete;
  ArrayGuard& operator=(const ArrayGuard&) = delete;
  ~ArrayGuard() { array_cleanup(&array); }
};

// Checks that the rowids table holds exactly the rows the chunks hold, where they hold them.
// REQUIRES: entries sorted by rowid.
int check_rowids(jix0_vtab* p, const Entry* entries, sqlite3_int64 n) {
  StmtPtr stmt;
  int rc = prepare_text(p->db,
                        sqlite3_mprintf("SELECT rowid, chunk_id, chunk_offset FROM \"%w\".\"%w\" "
                                        "ORDER BY rowid",
                                        p->schemaName, p->shadowRowidsName),
                        &stmt);
  if (rc != SQLITE_OK) return rc;
  sqlite3_int64 i = 0;
  sqlite3_int64 bad = -1;
  while ((rc = jix_step(stmt.get())) == SQLITE_ROW) {
    sqlite3_int64 rowid = sqlite3_column_int64(stmt.get(), 0);
    if (i >= n || entries[i].rowid != rowid ||
        sqlite3_column_type(stmt.get(), 1) != SQLITE_INTEGER ||
        sqlite3_column_int64(stmt.get(), 1) != entries[i].chunk ||
        sqlite3_column_int64(stmt.get(), 2) != entries[i].slot) {
      bad = i < n && entries[i].rowid < rowid ? entries[i].rowid : rowid;
      break;
    }
    i++;
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return rc;
  if (bad < 0 && i < n) bad = entries[i].rowid;
  if (bad < 0) return SQLITE_OK;
  vtab_set_error(&p->base,
                 JIX0_INTERNAL_ERROR
                 ": build-index found the chunks and the rowids table of %s disagreeing about "
                 "rowid %lld",
                 p->tableName, bad);
  return SQLITE_ERROR;
}

// Reads the sample's vectors: n of the rows, evenly spaced in rowid order.
int read_sample(jix0_vtab* p, const Entry* entries, sqlite3_int64 total, sqlite3_int64 n,
                float* out) {
  const VectorColumnDefinition& column = jix0_ivf_column(p);
  Chunk chunk(p);
  for (sqlite3_int64 j = 0; j < n; j++) {
    const Entry& e = entries[(sqlite3_int64)((double)j * (double)total / (double)n)];
    int rc = chunk.OpenPart(JIX0_PART_VECTORS, p->indexVectorIdx, e.chunk, false, report_fault);
    if (rc == SQLITE_OK) {
      rc = chunk.ReadSlot(JIX0_PART_VECTORS, p->indexVectorIdx, e.slot,
                          out + j * (sqlite3_int64)column.dimensions);
    }
    if (rc != SQLITE_OK) return rc;
    if (column.distance_metric == JIX0_DISTANCE_COSINE) {
      ivf_normalise(out + j * (sqlite3_int64)column.dimensions, column.dimensions);
    }
  }
  return SQLITE_OK;
}

// The in-memory chunks of one partition's lists during the second pass.
class Packer {
 public:
  Packer(jix0_vtab* p, const ChunkLayout& layout, int lists)
      : p_(p), layout_(layout), lists_(lists) {}
  ~Packer() { FreeBuffers(); }
  Packer(const Packer&) = delete;
  Packer& operator=(const Packer&) = delete;

  int Prepare() {
    buffers_ = allocate_zeroed<uint8_t*>((sqlite3_uint64)lists_);
    counts_ = allocate_zeroed<int>((sqlite3_uint64)lists_);
    if (!buffers_ || !counts_) return SQLITE_NOMEM;
    int rc = SQLITE_OK;
    if (rc == SQLITE_OK && p_->numPartitionColumns > 0) {
      StrBuilder q(nullptr);
      sqlite3_str_appendall(q.get(), "SELECT ");
      for (int i = 0; i < p_->numPartitionColumns; i++) {
        sqlite3_str_appendf(q.get(), "%spartition%02d", i ? ", " : "", i);
      }
      sqlite3_str_appendf(q.get(), " FROM \"%w\".\"%w_chunks\" WHERE chunk_id = ?", p_->schemaName,
                          p_->tableName);
      rc = prepare_text(p_->db, q.finish().release(), &selectPartition_);
    }
    if (rc == SQLITE_OK) {
      rc = prepare_text(
          p_->db, sqlite3_mprintf(JIX0_SQL_ROWIDS_UPDATE_POSITION, p_->schemaName, p_->tableName),
          &setPosition_);
    }
    return rc;
  }

  // Starts a partition: its values are those of chunk chunkId, read before it is deleted.
  int StartPartition(sqlite3_int64 chunkId) {
    if (!selectPartition_) return SQLITE_OK;
    sqlite3_stmt* stmt = selectPartition_.get();
    ResetOnExit reset(stmt);
    sqlite3_bind_int64(stmt, 1, chunkId);
    int rc = jix_step(stmt);
    if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? SQLITE_ERROR : rc;
    for (int i = 0; i < p_->numPartitionColumns; i++) {
      partition_[i].reset(sqlite3_value_dup(sqlite3_column_value(stmt, i)));
      if (!partition_[i]) return SQLITE_NOMEM;
    }
    return SQLITE_OK;
  }

  // Appends slot `slot` of the chunk in `chunk` (read whole) to list's chunk of the current
  // partition.
  int Add(int list, const uint8_t* chunk, int slot) {
    uint8_t*& buffer = buffers_.get()[list];
    if (!buffer) {
      buffer = (uint8_t*)sqlite3_malloc64((sqlite3_uint64)layout_.total);
      if (!buffer) return SQLITE_NOMEM;
      memset(buffer, 0, (size_t)layout_.total);
    }
    int& count = counts_.get()[list];
    jix0_image_copy_slot(p_, layout_, chunk, slot, buffer, count++);
    return count == p_->chunk_size ? Flush(list) : SQLITE_OK;
  }

  // Stores every partly filled chunk, lists in order, and starts the next partition.
  int FlushAll() {
    for (int list = 0; list < lists_; list++) {
      if (counts_.get()[list] == 0) continue;
      int rc = Flush(list);
      if (rc != SQLITE_OK) return rc;
    }
    FreeBuffers();
    return SQLITE_OK;
  }

 private:
  int Step(sqlite3_stmt* stmt) {
    int rc = jix_step(stmt);
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
  }

  int Flush(int list) {
    uint8_t* buffer = buffers_.get()[list];
    sqlite3_value* partition[JIX0_MAX_PARTITION_COLUMNS] = {};
    for (int i = 0; i < p_->numPartitionColumns; i++) partition[i] = partition_[i].get();
    sqlite3_int64 id = 0;
    int rc = jix0_chunk_insert(p_, partition, list, layout_, buffer, &id);
    const int count = counts_.get()[list];
    for (int slot = 0; rc == SQLITE_OK && slot < count; slot++) {
      sqlite3_int64 rowid;
      memcpy(&rowid, buffer + layout_.rowids + slot * 8, 8);
      sqlite3_bind_int64(setPosition_.get(), 1, id);
      sqlite3_bind_int64(setPosition_.get(), 2, slot);
      sqlite3_bind_int64(setPosition_.get(), 3, rowid);
      rc = Step(setPosition_.get());
    }
    memset(buffer, 0, (size_t)layout_.total);
    counts_.get()[list] = 0;
    return rc;
  }

  void FreeBuffers() {
    if (!buffers_) return;
    for (int list = 0; list < lists_; list++) {
      sqlite3_free(buffers_.get()[list]);
      buffers_.get()[list] = nullptr;
    }
  }

  jix0_vtab* p_;
  const ChunkLayout& layout_;
  int lists_;
  ValuePtr partition_[JIX0_MAX_PARTITION_COLUMNS];
  SqlitePtr<uint8_t*> buffers_;
  SqlitePtr<int> counts_;
  StmtPtr setPosition_, selectPartition_;
};

// Replaces the centroids and gives the build a new id. Its statements are prepared before the
// build's first write, so a missing table is found while nothing has changed.
class CentroidWriter {
 public:
  explicit CentroidWriter(jix0_vtab* p) : p_(p) {}

  int Prepare() {
    int rc = prepare_text(
        p_->db, sqlite3_mprintf("DELETE FROM \"%w\".\"%w\"", p_->schemaName, p_->shadowIndexName),
        &clear_);
    if (rc == SQLITE_OK) {
      rc = prepare_text(p_->db,
                        sqlite3_mprintf("INSERT INTO \"%w\".\"%w\"(list, centroid) VALUES (?, ?)",
                                        p_->schemaName, p_->shadowIndexName),
                        &insert_);
    }
    if (rc == SQLITE_OK) {
      rc = prepare_text(p_->db,
                        sqlite3_mprintf("INSERT OR REPLACE INTO \"%w\".\"%w_info\"(key, value) "
                                        "VALUES ('IVF_BUILD', ?)",
                                        p_->schemaName, p_->tableName),
                        &setBuild_);
    }
    if (rc != SQLITE_OK && (rc & 0xff) != SQLITE_NOMEM) {
      vtab_set_error(&p_->base,
                     JIX0_INTERNAL_ERROR ": build-index cannot write the centroids of %s: %s",
                     p_->tableName, sqlite3_errmsg(p_->db));
    }
    return rc;
  }

  int Write(const float* centroids, int lists) {
    int rc = jix_step(clear_.get());
    if (rc != SQLITE_DONE) return rc;
    const size_t d = jix0_ivf_column(p_).dimensions;
    for (int c = 0; c < lists; c++) {
      sqlite3_stmt* stmt = insert_.get();
      ResetOnExit reset(stmt);
      sqlite3_bind_int(stmt, 1, c);
      rc =
          sqlite3_bind_blob64(stmt, 2, centroids + (size_t)c * d, d * sizeof(float), SQLITE_STATIC);
      if (rc != SQLITE_OK) return rc;
      rc = jix_step(stmt);
      if (rc != SQLITE_DONE) return rc;
    }
    sqlite3_int64 build = 0;
    while (build == 0) {
      sqlite3_randomness(sizeof(build), &build);
      build &= INT64_MAX;
    }
    sqlite3_bind_int64(setBuild_.get(), 1, build);
    rc = jix_step(setBuild_.get());
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
  }

 private:
  jix0_vtab* p_;
  StmtPtr clear_, insert_, setBuild_;
};

// First pass: every stored row's (rowid, chunk, slot), in rowid order, with the storage
// checked before anything is written.
int collect_entries(jix0_vtab* p, const ChunkLayout& layout, const Array& chunks, uint8_t* chunk,
                    Array* entries) {
  const int cs = p->chunk_size;
  const ChunkRef* all = (const ChunkRef*)chunks.data;
  Chunk blobs(p);
  for (size_t c = 0; c < chunks.length; c++) {
    int rc = blobs.Open(all[c].id, false, report_fault);
    if (rc == SQLITE_OK) rc = blobs.ReadPart(JIX0_PART_VALIDITY, 0, chunk + layout.validity);
    if (rc == SQLITE_OK) rc = blobs.ReadPart(JIX0_PART_ROWIDS, 0, chunk + layout.rowids);
    if (rc != SQLITE_OK) return rc;
    for (int slot = 0; slot < cs; slot++) {
      if (!bitmap_get(chunk, slot)) continue;
      Entry e{0, all[c].id, slot};
      memcpy(&e.rowid, chunk + layout.rowids + slot * 8, 8);
      rc = array_append(entries, &e);
      if (rc != SQLITE_OK) return rc;
    }
  }
  Entry* rows = (Entry*)entries->data;
  qsort(rows, entries->length, sizeof(Entry), compare_entries);
  return check_rowids(p, rows, (sqlite3_int64)entries->length);
}

// The centroids of `lists` lists, trained on an even sample of the n rows.
int train_centroids(jix0_vtab* p, const Entry* rows, sqlite3_int64 n, int lists, float* centroids) {
  const VectorColumnDefinition& column = jix0_ivf_column(p);
  const size_t d = column.dimensions;
  sqlite3_int64 sampleSize = kSamplePerList * lists;
  sqlite3_int64 byBytes = kMaxSampleBytes / (sqlite3_int64)(d * sizeof(float));
  if (sampleSize > byBytes) sampleSize = byBytes;
  if (sampleSize < lists) sampleSize = lists;
  if (sampleSize > n) sampleSize = n;
  SqlitePtr<float> sample = allocate_zeroed<float>((sqlite3_uint64)sampleSize * d);
  if (!sample) return SQLITE_NOMEM;
  int rc = read_sample(p, rows, n, sampleSize, sample.get());
  if (rc == SQLITE_OK) rc = ivf_kmeans_train(column, sample.get(), sampleSize, lists, centroids);
  return rc;
}

// Second pass: every row into the chunks of its (partition, list). An old chunk is deleted
// as soon as it is read, so the new chunks reuse its pages and the file does not grow.
int repack(jix0_vtab* p, const ChunkLayout& layout, const Array& chunks, const float* centroids,
           int lists, uint8_t* chunk) {
  const VectorColumnDefinition& column = jix0_ivf_column(p);
  const size_t d = column.dimensions;
  const int cs = p->chunk_size;
  const ChunkRef* all = (const ChunkRef*)chunks.data;
  const sqlite3_int64 numChunks = (sqlite3_int64)chunks.length;
  Packer packer(p, layout, lists);
  int rc = packer.Prepare();
  if (rc != SQLITE_OK) return rc;
  IvfNearest nearest;
  rc = ivf_nearest_init(&nearest, column.distance_metric, centroids, d, lists);
  if (rc != SQLITE_OK) return rc;
  struct Release {
    IvfNearest* n;
    ~Release() { ivf_nearest_free(n); }
  } release{&nearest};
  const sqlite3_int64 vectorBytes = (sqlite3_int64)(d * sizeof(float));
  for (sqlite3_int64 c = 0; c < numChunks; c++) {
    if (c == 0 || all[c - 1].group != all[c].group) {
      rc = packer.StartPartition(all[c].id);
      if (rc != SQLITE_OK) return rc;
    }
    {
      Chunk blobs(p);
      rc = blobs.Open(all[c].id, false, report_fault);
      if (rc == SQLITE_OK) rc = blobs.ReadImage(layout, chunk);
      if (rc != SQLITE_OK) return rc;
    }
    rc = jix0_chunk_delete(p, all[c].id);
    if (rc != SQLITE_OK) return rc;
    const uint8_t* vectors = chunk + layout.vectors[p->indexVectorIdx];
    for (int slot = 0; slot < cs; slot++) {
      if (!bitmap_get(chunk, slot)) continue;
      const int list = ivf_nearest(&nearest, (const float*)(vectors + slot * vectorBytes));
      rc = packer.Add(list, chunk, slot);
      if (rc != SQLITE_OK) return rc;
    }
    if (c + 1 == numChunks || all[c + 1].group != all[c].group) {
      rc = packer.FlushAll();
      if (rc != SQLITE_OK) return rc;
    }
  }
  return SQLITE_OK;
}

int build(jix0_vtab* p, int chosenLists) {
  ChunkLayout layout(p);
  ArrayGuard chunks, entries;
  int rc = array_init(&chunks.array, sizeof(ChunkRef), 64);
  if (rc == SQLITE_OK) rc = array_init(&entries.array, sizeof(Entry), 1024);
  if (rc == SQLITE_OK) rc = jix0_chunks_collect(p, false, &chunks.array);
  if (rc != SQLITE_OK) return rc;
  SqlitePtr<uint8_t> chunk = allocate_zeroed<uint8_t>((sqlite3_uint64)layout.total);
  if (!chunk) return SQLITE_NOMEM;
  rc = collect_entries(p, layout, chunks.array, chunk.get(), &entries.array);
  if (rc != SQLITE_OK) return rc;

  const sqlite3_int64 n = (sqlite3_int64)entries.array.length;
  const int lists = jix0_ivf_lists_for(p, n, chosenLists);
  SqlitePtr<float> centroids =
      allocate_zeroed<float>((sqlite3_uint64)lists * jix0_ivf_column(p).dimensions);
  if (!centroids) return SQLITE_NOMEM;
  if (lists > 0) {
    rc = train_centroids(p, (const Entry*)entries.array.data, n, lists, centroids.get());
    if (rc != SQLITE_OK) return rc;
  }

  CentroidWriter writer(p);
  rc = writer.Prepare();
  if (rc != SQLITE_OK) return rc;
  if (lists > 0) {
    rc = repack(p, layout, chunks.array, centroids.get(), lists, chunk.get());
  } else {
    const ChunkRef* all = (const ChunkRef*)chunks.array.data;
    for (size_t c = 0; rc == SQLITE_OK && c < chunks.array.length; c++) {
      rc = jix0_chunk_delete(p, all[c].id);
    }
  }
  if (rc == SQLITE_OK) rc = writer.Write(centroids.get(), lists);
  return rc == SQLITE_OK ? jix0_ivf_build_codes(p, lists) : rc;
}

}  // namespace

int jix0_ivf_build(jix0_vtab* p, int lists) {
  JIX_ASSERT(jix0_has_index(p));
  // The build rewrites every chunk: one the length limit refuses is refused before it starts,
  // once for all the chunks it makes.
  int rc = jix0_chunk_check_length(p);
  // The old build's codes are left behind whole: the move works on the chunks without them,
  // and the new build writes its own once every row is placed.
  jix0_ivf_cache_free(p);
  if (rc == SQLITE_OK) rc = build(p, lists);
  // The centroids of the old build are read again on next use.
  jix0_ivf_cache_free(p);
  return rc;
}

namespace {

// Chunk chunkId's partition values into partition/partitionValues, and whether its list is
// already `list`.
int read_chunk_key(jix0_vtab* p, sqlite3_int64 chunkId, sqlite3_int64 list, bool* outSameList,
                   ValuePtr* partition, sqlite3_value** partitionValues) {
  StrBuilder s(nullptr);
  sqlite3_str_appendall(s.get(), "SELECT list");
  for (int i = 0; i < p->numPartitionColumns; i++) {
    sqlite3_str_appendf(s.get(), ", partition%02d", i);
  }
  sqlite3_str_appendf(s.get(), " FROM \"%w\".\"%w_chunks\" WHERE chunk_id = ?", p->schemaName,
                      p->tableName);
  StmtPtr stmt;
  int rc = prepare_text(p->db, s.finish().release(), &stmt);
  if (rc != SQLITE_OK) return rc;
  sqlite3_bind_int64(stmt.get(), 1, chunkId);
  rc = jix_step(stmt.get());
  if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? SQLITE_ERROR : rc;
  *outSameList = sqlite3_column_type(stmt.get(), 0) == SQLITE_INTEGER &&
                 sqlite3_column_int64(stmt.get(), 0) == list;
  for (int i = 0; !*outSameList && i < p->numPartitionColumns; i++) {
    partition[i].reset(sqlite3_value_dup(sqlite3_column_value(stmt.get(), 1 + i)));
    if (!partition[i]) return SQLITE_NOMEM;
    partitionValues[i] = partition[i].get();
  }
  return SQLITE_OK;
}

// The slot a moved row goes to: the lowest free one of the list's newest chunk, or slot 0 of
// a new chunk. The chunk is read into target.
int find_target_slot(jix0_vtab* p, const ChunkLayout& layout, sqlite3_value** partitionValues,
                     sqlite3_int64 list, uint8_t* target, sqlite3_int64* outId, int* outSlot) {
  const int cs = p->chunk_size;
  Chunk blobs(p);
  int rc = jix0_chunk_newest(p, partitionValues, list, outId);
  if (rc == SQLITE_OK) {
    rc = blobs.Open(*outId, false, report_fault);
    if (rc == SQLITE_OK) rc = blobs.ReadImage(layout, target);
    if (rc != SQLITE_OK) return rc;
    for (int slot = 0; slot < cs; slot++) {
      if (bitmap_get(target, slot)) continue;
      *outSlot = slot;
      return SQLITE_OK;
    }
  } else if (rc != SQLITE_EMPTY) {
    return rc;
  }
  rc = jix0_chunk_check_length(p);
  if (rc == SQLITE_OK) rc = jix0_new_chunk(p, partitionValues, outId, list);
  if (rc == SQLITE_OK) rc = blobs.Open(*outId, false, report_fault);
  if (rc == SQLITE_OK) rc = blobs.ReadImage(layout, target);
  *outSlot = 0;
  return rc;
}

// Writes a whole chunk, read into buffer and changed there, back to storage.
int write_back_chunk(jix0_vtab* p, const ChunkLayout& layout, sqlite3_int64 id,
                     const uint8_t* buffer) {
  Chunk blobs(p);
  int rc = blobs.Open(id, true, report_fault);
  return rc == SQLITE_OK ? blobs.WriteImage(layout, buffer) : rc;
}

}  // namespace

int jix0_ivf_after_vector_update(jix0_vtab* p, sqlite3_int64 rowid, sqlite3_int64 chunkId,
                                 sqlite3_int64 chunkOffset, const void* vector) {
  sqlite3_int64 list;
  int rc = jix0_ivf_assign(p, vector, &list);
  if (rc != SQLITE_OK || list == JIX0_NO_LIST) return rc;
  bool sameList = false;
  ValuePtr partition[JIX0_MAX_PARTITION_COLUMNS];
  sqlite3_value* partitionValues[JIX0_MAX_PARTITION_COLUMNS] = {};
  rc = read_chunk_key(p, chunkId, list, &sameList, partition, partitionValues);
  if (rc != SQLITE_OK || sameList) return rc;

  ChunkLayout layout(p);
  SqlitePtr<uint8_t> target = allocate_zeroed<uint8_t>((sqlite3_uint64)layout.total);
  SqlitePtr<uint8_t> source = allocate_zeroed<uint8_t>((sqlite3_uint64)layout.total);
  if (!target || !source) return SQLITE_NOMEM;
  sqlite3_int64 targetId = 0;
  int to = 0;
  rc = find_target_slot(p, layout, partitionValues, list, target.get(), &targetId, &to);
  if (rc != SQLITE_OK) return rc;
  {
    Chunk sourceBlobs(p);
    rc = sourceBlobs.Open(chunkId, false, report_fault);
    if (rc == SQLITE_OK) rc = sourceBlobs.ReadImage(layout, source.get());
    if (rc != SQLITE_OK) return rc;
  }
  // Both chunks are written back whole.
  jix0_image_copy_slot(p, layout, source.get(), (int)chunkOffset, target.get(), to);
  jix0_image_clear_slot(p, layout, source.get(), (int)chunkOffset);
  rc = write_back_chunk(p, layout, targetId, target.get());
  if (rc != SQLITE_OK) return jix0_failure_code(rc);

  bool empty = true;
  for (int i = 0; i < p->chunk_size / 8; i++) empty &= source.get()[i] == 0;
  if (empty) {
    rc = jix0_chunk_delete(p, chunkId);
  } else {
    rc = write_back_chunk(p, layout, chunkId, source.get());
  }
  if (rc == SQLITE_OK) rc = jix0_rowids_update_position(p, rowid, targetId, to);
  return rc == SQLITE_OK ? rc : jix0_failure_code(rc);
}
