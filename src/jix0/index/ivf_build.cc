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
#include "jix0/index/kmeans.h"
#include "jix0/storage/chunks.h"
#include "jix0/storage/shadow_tables.h"
#include "jix0/table/result_codes.h"

namespace {

// Sample points per list the k-means trains on: enough for centroids whose lists split the
// data evenly, while the sample's training costs less than assigning every row once.
constexpr sqlite3_int64 kSamplePerList = 64;
constexpr sqlite3_int64 kMaxSampleBytes = 256ll * 1024 * 1024;

// Opens one chunk BLOB and checks its size; the message names the table and row.
int open_checked(jix0_vtab* p, const char* table, const char* column, sqlite3_int64 row,
                 sqlite3_int64 expected, int write, BlobPtr* out) {
  sqlite3_blob* raw = nullptr;
  int rc;
  if (*out) {
    rc = sqlite3_blob_reopen(out->get(), row);
  } else {
    rc = sqlite3_blob_open(p->db, p->schemaName, table, column, row, write, &raw);
    out->reset(raw);
  }
  if (rc != SQLITE_OK) {
    out->reset();
    if ((rc & 0xff) == SQLITE_NOMEM) return rc;
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": could not open %s.%s.%lld", p->schemaName,
                   table, row);
    return jix0_failure_code(rc);
  }
  int actual = sqlite3_blob_bytes(out->get());
  if (actual != expected) {
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": BLOB of %d bytes in %s.%s.%lld, expected %lld",
                   actual, p->schemaName, table, row, expected);
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

void copy_metadata_slot(MetadataColumnKind kind, const uint8_t* from, int fromSlot, uint8_t* to,
                        int toSlot) {
  int bytes = jix0_metadata_slot_bytes(kind);
  if (bytes == 0) {
    bitmap_set(to, toSlot, bitmap_get(from, fromSlot));
  } else {
    memcpy(to + (size_t)toSlot * bytes, from + (size_t)fromSlot * bytes, (size_t)bytes);
  }
}

// Byte layout of one chunk held in memory: validity, rowids, each vector column's BLOB, each
// metadata column's BLOB, back to back.
struct ChunkLayout {
  sqlite3_int64 validity = 0;
  sqlite3_int64 rowids = 0;
  sqlite3_int64 vectors[JIX0_MAX_VECTOR_COLUMNS] = {};
  sqlite3_int64 metadata[JIX0_MAX_METADATA_COLUMNS] = {};
  sqlite3_int64 vectorBytes[JIX0_MAX_VECTOR_COLUMNS] = {};
  sqlite3_int64 metadataBytes[JIX0_MAX_METADATA_COLUMNS] = {};
  sqlite3_int64 total = 0;

  // Every part starts on an 8-byte boundary, so that vectors are read as aligned floats.
  explicit ChunkLayout(const jix0_vtab* p) {
    auto align = [](sqlite3_int64 n) { return (n + 7) / 8 * 8; };
    const sqlite3_int64 cs = p->chunk_size;
    validity = 0;
    rowids = align(cs / 8);
    total = rowids + cs * 8;
    for (int i = 0; i < p->numVectorColumns; i++) {
      vectors[i] = total;
      vectorBytes[i] = cs * (sqlite3_int64)vector_column_byte_size(p->vector_columns[i]);
      total = align(total + vectorBytes[i]);
    }
    for (int m = 0; m < p->numMetadataColumns; m++) {
      metadata[m] = total;
      metadataBytes[m] = jix0_metadata_chunk_size(p->metadata_columns[m].kind, p->chunk_size);
      total = align(total + metadataBytes[m]);
    }
  }
};

struct ChunkRef {
  sqlite3_int64 id;
  sqlite3_int64 group;  // chunks of one partition share it
};

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

// Every chunk as (chunk_id, partition group), ordered by group, then chunk_id.
int collect_chunks(jix0_vtab* p, Array* out) {
  StrBuilder s(nullptr);
  if (p->numPartitionColumns == 0) {
    sqlite3_str_appendf(s.get(), "SELECT chunk_id, 0 FROM \"%w\".\"%w_chunks\" ORDER BY 1",
                        p->schemaName, p->tableName);
  } else {
    sqlite3_str_appendall(s.get(), "SELECT chunk_id, dense_rank() OVER (ORDER BY ");
    for (int i = 0; i < p->numPartitionColumns; i++) {
      sqlite3_str_appendf(s.get(), "%spartition%02d", i ? ", " : "", i);
    }
    sqlite3_str_appendf(s.get(), ") FROM \"%w\".\"%w_chunks\" ORDER BY 2, 1", p->schemaName,
                        p->tableName);
  }
  StmtPtr stmt;
  int rc = prepare_text(p->db, s.finish().release(), &stmt);
  if (rc != SQLITE_OK) return rc;
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    ChunkRef ref{sqlite3_column_int64(stmt.get(), 0), sqlite3_column_int64(stmt.get(), 1)};
    rc = array_append(out, &ref);
    if (rc != SQLITE_OK) return rc;
  }
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// The handles of one chunk's BLOBs, moved from chunk to chunk.
struct ChunkBlobs {
  BlobPtr validity, rowids;
  BlobPtr vectors[JIX0_MAX_VECTOR_COLUMNS];
  BlobPtr metadata[JIX0_MAX_METADATA_COLUMNS];

  // Opens every BLOB of the chunk read-only and checks its size.
  int Open(jix0_vtab* p, const ChunkLayout& layout, sqlite3_int64 id) {
    int rc = open_checked(p, p->shadowChunksName, "validity", id, p->chunk_size / 8, 0, &validity);
    if (rc == SQLITE_OK) {
      rc = open_checked(p, p->shadowChunksName, "rowids", id, (sqlite3_int64)p->chunk_size * 8, 0,
                        &rowids);
    }
    for (int i = 0; rc == SQLITE_OK && i < p->numVectorColumns; i++) {
      rc = open_checked(p, p->shadowVectorChunksNames[i], "vectors", id, layout.vectorBytes[i], 0,
                        &vectors[i]);
    }
    for (int m = 0; rc == SQLITE_OK && m < p->numMetadataColumns; m++) {
      rc = open_checked(p, p->shadowMetadataChunksNames[m], "data", id, layout.metadataBytes[m], 0,
                        &metadata[m]);
    }
    return rc;
  }

  // Reads the whole chunk into buffer, laid out as layout says. REQUIRES: Open succeeded.
  int Read(const jix0_vtab* p, const ChunkLayout& layout, uint8_t* buffer) {
    int rc = sqlite3_blob_read(validity.get(), buffer + layout.validity, p->chunk_size / 8, 0);
    if (rc == SQLITE_OK) {
      rc = sqlite3_blob_read(rowids.get(), buffer + layout.rowids, p->chunk_size * 8, 0);
    }
    for (int i = 0; rc == SQLITE_OK && i < p->numVectorColumns; i++) {
      rc = sqlite3_blob_read(vectors[i].get(), buffer + layout.vectors[i],
                             (int)layout.vectorBytes[i], 0);
    }
    for (int m = 0; rc == SQLITE_OK && m < p->numMetadataColumns; m++) {
      rc = sqlite3_blob_read(metadata[m].get(), buffer + layout.metadata[m],
                             (int)layout.metadataBytes[m], 0);
    }
    return rc;
  }
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
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
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
  const int bytes = (int)vector_column_byte_size(column);
  BlobPtr blob;
  for (sqlite3_int64 j = 0; j < n; j++) {
    const Entry& e = entries[(sqlite3_int64)((double)j * (double)total / (double)n)];
    int rc = open_checked(p, p->shadowVectorChunksNames[p->ivfVectorIdx], "vectors", e.chunk,
                          (sqlite3_int64)p->chunk_size * bytes, 0, &blob);
    if (rc == SQLITE_OK) {
      rc = sqlite3_blob_read(blob.get(), out + j * (sqlite3_int64)column.dimensions, bytes,
                             (int)(e.slot * bytes));
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
    StrBuilder s(nullptr);
    sqlite3_str_appendf(s.get(), "INSERT INTO \"%w\".\"%w_chunks\"(size, validity, rowids",
                        p_->schemaName, p_->tableName);
    for (int i = 0; i < p_->numPartitionColumns; i++) {
      sqlite3_str_appendf(s.get(), ", partition%02d", i);
    }
    sqlite3_str_appendall(s.get(), ", list) VALUES (?1, ?2, ?3");
    for (int i = 0; i < p_->numPartitionColumns; i++) {
      sqlite3_str_appendf(s.get(), ", ?%d", 5 + i);
    }
    sqlite3_str_appendall(s.get(), ", ?4)");
    int rc = prepare_text(p_->db, s.finish().release(), &insertChunk_);
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
    for (int i = 0; rc == SQLITE_OK && i < p_->numVectorColumns; i++) {
      rc = prepare_text(
          p_->db, sqlite3_mprintf(JIX0_SQL_INSERT_VECTOR_CHUNK, p_->schemaName, p_->tableName, i),
          &insertVectors_[i]);
    }
    for (int m = 0; rc == SQLITE_OK && m < p_->numMetadataColumns; m++) {
      rc = prepare_text(
          p_->db, sqlite3_mprintf(JIX0_SQL_INSERT_METADATA_CHUNK, p_->schemaName, p_->tableName, m),
          &insertMetadata_[m]);
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
    int rc = sqlite3_step(stmt);
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
    const int to = count++;
    bitmap_set(buffer + layout_.validity, to, true);
    memcpy(buffer + layout_.rowids + to * 8, chunk + layout_.rowids + slot * 8, 8);
    for (int i = 0; i < p_->numVectorColumns; i++) {
      sqlite3_int64 b = layout_.vectorBytes[i] / p_->chunk_size;
      memcpy(buffer + layout_.vectors[i] + to * b, chunk + layout_.vectors[i] + slot * b,
             (size_t)b);
    }
    for (int m = 0; m < p_->numMetadataColumns; m++) {
      copy_metadata_slot(p_->metadata_columns[m].kind, chunk + layout_.metadata[m], slot,
                         buffer + layout_.metadata[m], to);
    }
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
    int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
  }

  int Flush(int list) {
    uint8_t* buffer = buffers_.get()[list];
    const int cs = p_->chunk_size;
    sqlite3_stmt* stmt = insertChunk_.get();
    sqlite3_bind_int64(stmt, 1, cs);
    sqlite3_bind_blob(stmt, 2, buffer + layout_.validity, cs / 8, SQLITE_STATIC);
    sqlite3_bind_blob(stmt, 3, buffer + layout_.rowids, cs * 8, SQLITE_STATIC);
    sqlite3_bind_int64(stmt, 4, list);
    for (int i = 0; i < p_->numPartitionColumns; i++) {
      sqlite3_bind_value(stmt, 5 + i, partition_[i].get());
    }
    int rc = Step(stmt);
    if (rc != SQLITE_OK) return rc;
    sqlite3_int64 id = sqlite3_last_insert_rowid(p_->db);
    auto insert = [&](sqlite3_stmt* s, sqlite3_int64 offset, sqlite3_int64 bytes) {
      sqlite3_bind_int64(s, 1, id);
      sqlite3_bind_int64(s, 2, id);
      sqlite3_bind_blob64(s, 3, buffer + offset, (sqlite3_uint64)bytes, SQLITE_STATIC);
      return Step(s);
    };
    for (int i = 0; rc == SQLITE_OK && i < p_->numVectorColumns; i++) {
      rc = insert(insertVectors_[i].get(), layout_.vectors[i], layout_.vectorBytes[i]);
    }
    for (int m = 0; rc == SQLITE_OK && m < p_->numMetadataColumns; m++) {
      rc = insert(insertMetadata_[m].get(), layout_.metadata[m], layout_.metadataBytes[m]);
    }
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
  StmtPtr insertChunk_, setPosition_, selectPartition_;
  StmtPtr insertVectors_[JIX0_MAX_VECTOR_COLUMNS];
  StmtPtr insertMetadata_[JIX0_MAX_METADATA_COLUMNS];
};

// Deletes chunks from the chunks table and every per-column chunk table.
class ChunkDeleter {
 public:
  explicit ChunkDeleter(jix0_vtab* p) : p_(p) {}

  int Prepare() {
    int rc = prepare_text(p_->db,
                          sqlite3_mprintf("DELETE FROM \"%w\".\"%w_chunks\" WHERE rowid = ?",
                                          p_->schemaName, p_->tableName),
                          &stmts_[0]);
    n_ = 1;
    for (int i = 0; rc == SQLITE_OK && i < p_->numVectorColumns; i++) {
      rc = prepare_text(
          p_->db,
          sqlite3_mprintf("DELETE FROM \"%w\".\"%w_vector_chunks%02d\" WHERE rowid = ?",
                          p_->schemaName, p_->tableName, i),
          &stmts_[n_++]);
    }
    for (int m = 0; rc == SQLITE_OK && m < p_->numMetadataColumns; m++) {
      rc = prepare_text(
          p_->db,
          sqlite3_mprintf("DELETE FROM \"%w\".\"%w_metadatachunks%02d\" WHERE rowid = ?",
                          p_->schemaName, p_->tableName, m),
          &stmts_[n_++]);
    }
    return rc;
  }

  int Delete(sqlite3_int64 chunkId) {
    for (int i = 0; i < n_; i++) {
      sqlite3_stmt* stmt = stmts_[i].get();
      ResetOnExit reset(stmt);
      sqlite3_bind_int64(stmt, 1, chunkId);
      int rc = sqlite3_step(stmt);
      if (rc != SQLITE_DONE) return rc;
    }
    return SQLITE_OK;
  }

 private:
  jix0_vtab* p_;
  int n_ = 0;
  StmtPtr stmts_[1 + JIX0_MAX_VECTOR_COLUMNS + JIX0_MAX_METADATA_COLUMNS];
};

// Replaces the centroids and gives the build a new id. Its statements are prepared before the
// build's first write, so a missing table is found while nothing has changed.
class CentroidWriter {
 public:
  explicit CentroidWriter(jix0_vtab* p) : p_(p) {}

  int Prepare() {
    int rc = prepare_text(
        p_->db,
        sqlite3_mprintf("DELETE FROM \"%w\".\"%w\"", p_->schemaName, p_->shadowCentroidsName),
        &clear_);
    if (rc == SQLITE_OK) {
      rc = prepare_text(p_->db,
                        sqlite3_mprintf("INSERT INTO \"%w\".\"%w\"(list, centroid) VALUES (?, ?)",
                                        p_->schemaName, p_->shadowCentroidsName),
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
    int rc = sqlite3_step(clear_.get());
    if (rc != SQLITE_DONE) return rc;
    const size_t d = jix0_ivf_column(p_).dimensions;
    for (int c = 0; c < lists; c++) {
      sqlite3_stmt* stmt = insert_.get();
      ResetOnExit reset(stmt);
      sqlite3_bind_int(stmt, 1, c);
      sqlite3_bind_blob64(stmt, 2, centroids + (size_t)c * d, d * sizeof(float), SQLITE_STATIC);
      rc = sqlite3_step(stmt);
      if (rc != SQLITE_DONE) return rc;
    }
    sqlite3_int64 build = 0;
    while (build == 0) {
      sqlite3_randomness(sizeof(build), &build);
      build &= INT64_MAX;
    }
    sqlite3_bind_int64(setBuild_.get(), 1, build);
    rc = sqlite3_step(setBuild_.get());
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
  ChunkBlobs blobs;
  for (size_t c = 0; c < chunks.length; c++) {
    int rc = blobs.Open(p, layout, all[c].id);
    if (rc == SQLITE_OK) rc = sqlite3_blob_read(blobs.validity.get(), chunk, cs / 8, 0);
    if (rc == SQLITE_OK) {
      rc = sqlite3_blob_read(blobs.rowids.get(), chunk + layout.rowids, cs * 8, 0);
    }
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
int repack(jix0_vtab* p, const ChunkLayout& layout, const Array& chunks, ChunkDeleter* deleter,
           const float* centroids, int lists, uint8_t* chunk) {
  const VectorColumnDefinition& column = jix0_ivf_column(p);
  const size_t d = column.dimensions;
  const int cs = p->chunk_size;
  const ChunkRef* all = (const ChunkRef*)chunks.data;
  const sqlite3_int64 numChunks = (sqlite3_int64)chunks.length;
  Packer packer(p, layout, lists);
  int rc = packer.Prepare();
  if (rc != SQLITE_OK) return rc;
  SqlitePtr<float> dist = allocate_zeroed<float>((sqlite3_uint64)lists);
  if (!dist) return SQLITE_NOMEM;
  const sqlite3_int64 vectorBytes = (sqlite3_int64)(d * sizeof(float));
  for (sqlite3_int64 c = 0; c < numChunks; c++) {
    if (c == 0 || all[c - 1].group != all[c].group) {
      rc = packer.StartPartition(all[c].id);
      if (rc != SQLITE_OK) return rc;
    }
    {
      ChunkBlobs blobs;
      rc = blobs.Open(p, layout, all[c].id);
      if (rc == SQLITE_OK) rc = blobs.Read(p, layout, chunk);
      if (rc != SQLITE_OK) return rc;
    }
    rc = deleter->Delete(all[c].id);
    if (rc != SQLITE_OK) return rc;
    const uint8_t* vectors = chunk + layout.vectors[p->ivfVectorIdx];
    for (int slot = 0; slot < cs; slot++) {
      if (!bitmap_get(chunk, slot)) continue;
      ivf_distances(column.distance_metric, (const float*)(vectors + slot * vectorBytes), centroids,
                    d, (size_t)lists, dist.get());
      rc = packer.Add(ivf_argmin(dist.get(), lists), chunk, slot);
      if (rc != SQLITE_OK) return rc;
    }
    if (c + 1 == numChunks || all[c + 1].group != all[c].group) {
      rc = packer.FlushAll();
      if (rc != SQLITE_OK) return rc;
    }
  }
  return SQLITE_OK;
}

int build(jix0_vtab* p) {
  ChunkLayout layout(p);
  ArrayGuard chunks, entries;
  int rc = array_init(&chunks.array, sizeof(ChunkRef), 64);
  if (rc == SQLITE_OK) rc = array_init(&entries.array, sizeof(Entry), 1024);
  if (rc == SQLITE_OK) rc = collect_chunks(p, &chunks.array);
  if (rc != SQLITE_OK) return rc;
  SqlitePtr<uint8_t> chunk = allocate_zeroed<uint8_t>((sqlite3_uint64)layout.total);
  if (!chunk) return SQLITE_NOMEM;
  rc = collect_entries(p, layout, chunks.array, chunk.get(), &entries.array);
  if (rc != SQLITE_OK) return rc;

  const sqlite3_int64 n = (sqlite3_int64)entries.array.length;
  const int lists = jix0_ivf_lists_for(p, n);
  SqlitePtr<float> centroids =
      allocate_zeroed<float>((sqlite3_uint64)lists * jix0_ivf_column(p).dimensions);
  if (!centroids) return SQLITE_NOMEM;
  if (lists > 0) {
    rc = train_centroids(p, (const Entry*)entries.array.data, n, lists, centroids.get());
    if (rc != SQLITE_OK) return rc;
  }

  ChunkDeleter deleter(p);
  CentroidWriter writer(p);
  rc = deleter.Prepare();
  if (rc == SQLITE_OK) rc = writer.Prepare();
  if (rc != SQLITE_OK) return rc;
  if (lists > 0) {
    rc = repack(p, layout, chunks.array, &deleter, centroids.get(), lists, chunk.get());
  } else {
    const ChunkRef* all = (const ChunkRef*)chunks.array.data;
    for (size_t c = 0; rc == SQLITE_OK && c < chunks.array.length; c++) {
      rc = deleter.Delete(all[c].id);
    }
  }
  if (rc != SQLITE_OK) return rc;
  return writer.Write(centroids.get(), lists);
}

}  // namespace

int jix0_ivf_build(jix0_vtab* p) {
  // Only tables with an IVF index offer the command.
  JIX_ASSERT(jix0_has_ivf(p));
  int rc = build(p);
  // The statements and centroids of the old layout are read again on next use.
  sqlite3_finalize(p->stmtLatestChunk);
  p->stmtLatestChunk = nullptr;
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
  rc = sqlite3_step(stmt.get());
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
  ChunkBlobs blobs;
  int rc = jix0_get_latest_chunk_rowid(p, outId, partitionValues, list);
  if (rc == SQLITE_OK) {
    rc = blobs.Open(p, layout, *outId);
    if (rc == SQLITE_OK) rc = blobs.Read(p, layout, target);
    if (rc != SQLITE_OK) return rc;
    for (int slot = 0; slot < cs; slot++) {
      if (bitmap_get(target, slot)) continue;
      *outSlot = slot;
      return SQLITE_OK;
    }
  } else if (rc != SQLITE_EMPTY) {
    return rc;
  }
  ChunkBlobs fresh;
  rc = jix0_new_chunk(p, partitionValues, outId, list);
  if (rc == SQLITE_OK) rc = fresh.Open(p, layout, *outId);
  if (rc == SQLITE_OK) rc = fresh.Read(p, layout, target);
  *outSlot = 0;
  return rc;
}

// Copies slot `from` of source into slot `to` of target and clears it in source.
void move_slot(const jix0_vtab* p, const ChunkLayout& layout, sqlite3_int64 rowid, uint8_t* source,
               int from, uint8_t* target, int to) {
  const int cs = p->chunk_size;
  bitmap_set(target, to, true);
  memcpy(target + layout.rowids + to * 8, &rowid, 8);
  bitmap_set(source, from, false);
  memset(source + layout.rowids + from * 8, 0, 8);
  for (int i = 0; i < p->numVectorColumns; i++) {
    sqlite3_int64 b = layout.vectorBytes[i] / cs;
    memcpy(target + layout.vectors[i] + to * b, source + layout.vectors[i] + from * b, (size_t)b);
    memset(source + layout.vectors[i] + from * b, 0, (size_t)b);
  }
  for (int m = 0; m < p->numMetadataColumns; m++) {
    MetadataColumnKind kind = p->metadata_columns[m].kind;
    copy_metadata_slot(kind, source + layout.metadata[m], from, target + layout.metadata[m], to);
    int b = jix0_metadata_slot_bytes(kind);
    if (b == 0) {
      bitmap_set(source + layout.metadata[m], from, false);
    } else {
      memset(source + layout.metadata[m] + (size_t)from * b, 0, (size_t)b);
    }
  }
}

// Writes a whole chunk, read into buffer and changed there, back to storage.
int write_back_chunk(jix0_vtab* p, const ChunkLayout& layout, sqlite3_int64 id,
                     const uint8_t* buffer) {
  const int cs = p->chunk_size;
  ChunkBlobs blobs;
  int r = open_checked(p, p->shadowChunksName, "validity", id, cs / 8, 1, &blobs.validity);
  if (r == SQLITE_OK) r = sqlite3_blob_write(blobs.validity.get(), buffer, cs / 8, 0);
  if (r == SQLITE_OK) {
    r = open_checked(p, p->shadowChunksName, "rowids", id, (sqlite3_int64)cs * 8, 1, &blobs.rowids);
  }
  if (r == SQLITE_OK) r = sqlite3_blob_write(blobs.rowids.get(), buffer + layout.rowids, cs * 8, 0);
  for (int i = 0; r == SQLITE_OK && i < p->numVectorColumns; i++) {
    r = open_checked(p, p->shadowVectorChunksNames[i], "vectors", id, layout.vectorBytes[i], 1,
                     &blobs.vectors[i]);
    if (r == SQLITE_OK) {
      r = sqlite3_blob_write(blobs.vectors[i].get(), buffer + layout.vectors[i],
                             (int)layout.vectorBytes[i], 0);
    }
  }
  for (int m = 0; r == SQLITE_OK && m < p->numMetadataColumns; m++) {
    r = open_checked(p, p->shadowMetadataChunksNames[m], "data", id, layout.metadataBytes[m], 1,
                     &blobs.metadata[m]);
    if (r == SQLITE_OK) {
      r = sqlite3_blob_write(blobs.metadata[m].get(), buffer + layout.metadata[m],
                             (int)layout.metadataBytes[m], 0);
    }
  }
  return r;
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
    ChunkBlobs sourceBlobs;
    rc = sourceBlobs.Open(p, layout, chunkId);
    if (rc == SQLITE_OK) rc = sourceBlobs.Read(p, layout, source.get());
    if (rc != SQLITE_OK) return rc;
  }
  // Both chunks are written back whole.
  move_slot(p, layout, rowid, source.get(), (int)chunkOffset, target.get(), to);
  rc = write_back_chunk(p, layout, targetId, target.get());
  if (rc != SQLITE_OK) return jix0_failure_code(rc);

  bool empty = true;
  for (int i = 0; i < p->chunk_size / 8; i++) empty &= source.get()[i] == 0;
  if (empty) {
    ChunkDeleter deleter(p);
    rc = deleter.Prepare();
    if (rc == SQLITE_OK) rc = deleter.Delete(chunkId);
    sqlite3_finalize(p->stmtLatestChunk);
    p->stmtLatestChunk = nullptr;
  } else {
    rc = write_back_chunk(p, layout, chunkId, source.get());
  }
  if (rc == SQLITE_OK) rc = jix0_rowids_update_position(p, rowid, targetId, to);
  return rc == SQLITE_OK ? rc : jix0_failure_code(rc);
}
