// The chunk API: BLOB handles opened and size-checked once per chunk, whole-chunk deletes and
// listings, and the metadata slot writers.
#include "jix0/storage/chunk.h"

#include <cstdint>
#include <cstring>

#include "base/bitmap.h"
#include "base/calls.h"
#include "base/handles.h"
#include "jix0/storage/chunks.h"
#include "jix0/storage/shadow_tables.h"
#include "jix0/storage/statements.h"
#include "jix0/table/result_codes.h"

sqlite3_int64 jix0_part_bytes(const jix0_vtab* p, ChunkPart part, int column) {
  const sqlite3_int64 cs = p->chunk_size;
  switch (part) {
    case JIX0_PART_VALIDITY:
      return cs / 8;
    case JIX0_PART_ROWIDS:
      return cs * 8;
    case JIX0_PART_VECTORS:
      return cs * (sqlite3_int64)vector_column_byte_size(p->vector_columns[column]);
    case JIX0_PART_METADATA:
      return jix0_metadata_chunk_size(p->metadata_columns[column].kind, p->chunk_size);
    case JIX0_PART_CODES:
      return cs * p->codesSlotBytes;
  }
  return 0;
}

sqlite3_int64 jix0_chunk_largest_record(const jix0_vtab* p, int chunkSize) {
  // Room for a record header and the small columns beside the BLOB (ids, size, list).
  constexpr sqlite3_int64 kRecordOverhead = 64;
  const sqlite3_int64 cs = chunkSize;
  sqlite3_int64 largest = cs / 8 + cs * 8;  // the chunks row: validity and rowids
  for (int i = 0; i < p->numVectorColumns; i++) {
    sqlite3_int64 bytes = cs * (sqlite3_int64)vector_column_byte_size(p->vector_columns[i]);
    if (bytes > largest) largest = bytes;
  }
  for (int m = 0; m < p->numMetadataColumns; m++) {
    sqlite3_int64 bytes = jix0_metadata_chunk_size(p->metadata_columns[m].kind, chunkSize);
    if (bytes > largest) largest = bytes;
  }
  return largest + kRecordOverhead;
}

int jix0_chunk_check_length(jix0_vtab* p) {
  const int limit = sqlite3_limit(p->db, SQLITE_LIMIT_LENGTH, -1);
  const sqlite3_int64 bytes = jix0_chunk_largest_record(p, p->chunk_size);
  if (bytes <= limit) return SQLITE_OK;
  vtab_set_error(&p->base,
                 "jix0: a new chunk of %s needs a record of %lld bytes, over this connection's "
                 "length limit of %d bytes (SQLITE_LIMIT_LENGTH)",
                 p->tableName, bytes, limit);
  return SQLITE_TOOBIG;
}

int jix0_part_slot_bytes(const jix0_vtab* p, ChunkPart part, int column) {
  switch (part) {
    case JIX0_PART_VALIDITY:
      return 0;
    case JIX0_PART_ROWIDS:
      return 8;
    case JIX0_PART_VECTORS:
      return (int)vector_column_byte_size(p->vector_columns[column]);
    case JIX0_PART_METADATA:
      return jix0_metadata_slot_bytes(p->metadata_columns[column].kind);
    case JIX0_PART_CODES:
      return p->codesSlotBytes;
  }
  return 0;
}

namespace {

const char* part_table(const jix0_vtab* p, ChunkPart part, int column) {
  switch (part) {
    case JIX0_PART_VALIDITY:
    case JIX0_PART_ROWIDS:
      return p->shadowChunksName;
    case JIX0_PART_VECTORS:
      return p->shadowVectorChunksNames[column];
    case JIX0_PART_METADATA:
      return p->shadowMetadataChunksNames[column];
    case JIX0_PART_CODES:
      return p->shadowCodesName;
  }
  return nullptr;
}

const char* part_column(ChunkPart part) {
  switch (part) {
    case JIX0_PART_VALIDITY:
      return "validity";
    case JIX0_PART_ROWIDS:
      return "rowids";
    case JIX0_PART_VECTORS:
      return "vectors";
    case JIX0_PART_METADATA:
      return "data";
    case JIX0_PART_CODES:
      return "codes";
  }
  return nullptr;
}

int handle_index(ChunkPart part, int column) {
  switch (part) {
    case JIX0_PART_VALIDITY:
      return 0;
    case JIX0_PART_ROWIDS:
      return 1;
    case JIX0_PART_VECTORS:
      return 2 + column;
    case JIX0_PART_METADATA:
      return 2 + JIX0_MAX_VECTOR_COLUMNS + column;
    case JIX0_PART_CODES:
      return 2 + JIX0_MAX_VECTOR_COLUMNS + JIX0_MAX_METADATA_COLUMNS;
  }
  return 0;
}

// Whether slot lies inside the BLOB of a part whose slots have slotBytes bytes (0: bits).
bool slot_inside(sqlite3_blob* blob, sqlite3_int64 slot, int slotBytes) {
  if (slot < 0) return false;
  return slotBytes == 0 ? blob_slot_fits(blob, slot / 8, 1) : blob_slot_fits(blob, slot, slotBytes);
}

}  // namespace

BlobPtr& Chunk::Handle(ChunkPart part, int column) {
  switch (part) {
    case JIX0_PART_VALIDITY:
      return validity_;
    case JIX0_PART_ROWIDS:
      return rowids_;
    case JIX0_PART_VECTORS:
      return vectors_[column];
    case JIX0_PART_METADATA:
      break;
    case JIX0_PART_CODES:
      return codes_;
  }
  return metadata_[column];
}

int Chunk::OpenPart(ChunkPart part, int column, sqlite3_int64 id, bool write,
                    ChunkFaultReport report) {
  return OpenChecked(part, column, id, write, true, 0, report);
}

int Chunk::OpenSlot(ChunkPart part, int column, sqlite3_int64 id, bool write, sqlite3_int64 slot,
                    ChunkFaultReport report) {
  return OpenChecked(part, column, id, write, false, slot, report);
}

int jix0_part_open(jix0_vtab* p, ChunkPart part, int column, sqlite3_int64 id, bool write,
                   bool whole, sqlite3_int64 slot, sqlite3_blob** handle, ChunkFault* fault) {
  const char* table = part_table(p, part, column);
  int rc = *handle ? jix_blob_reopen(*handle, id)
                   : jix_blob_open(p->db, p->schemaName, table, part_column(part), id,
                                   write ? 1 : 0, handle);
  ChunkFault found{part, column, table, id, slot, rc, 0, 0};
  if (rc == SQLITE_OK) {
    found.actual = sqlite3_blob_bytes(*handle);
    if (whole) {
      found.expected = jix0_part_bytes(p, part, column);
      if (found.actual == found.expected) return SQLITE_OK;
    } else if (slot_inside(*handle, slot, jix0_part_slot_bytes(p, part, column))) {
      return SQLITE_OK;
    }
  }
  sqlite3_blob_close(*handle);
  *handle = nullptr;
  if (fault) *fault = found;
  return rc != SQLITE_OK ? rc : SQLITE_ERROR;
}

int Chunk::OpenChecked(ChunkPart part, int column, sqlite3_int64 id, bool write, bool whole,
                       sqlite3_int64 slot, ChunkFaultReport report) {
  BlobPtr& handle = Handle(part, column);
  bool& writable = writable_[handle_index(part, column)];
  id_ = id;
  if (handle && writable != write) handle.reset();
  writable = write;
  ChunkFault fault;
  int rc = jix0_part_open(p_, part, column, id, write, whole, slot, &handle, &fault);
  if (rc == SQLITE_OK || !report) return rc;
  return report(p_, fault);
}

int Chunk::Open(sqlite3_int64 id, bool write, ChunkFaultReport report) {
  int rc = OpenPart(JIX0_PART_VALIDITY, 0, id, write, report);
  if (rc == SQLITE_OK) rc = OpenPart(JIX0_PART_ROWIDS, 0, id, write, report);
  for (int i = 0; rc == SQLITE_OK && i < p_->numVectorColumns; i++) {
    rc = OpenPart(JIX0_PART_VECTORS, i, id, write, report);
  }
  for (int m = 0; rc == SQLITE_OK && m < p_->numMetadataColumns; m++) {
    rc = OpenPart(JIX0_PART_METADATA, m, id, write, report);
  }
  if (rc == SQLITE_OK && jix0_has_codes(p_)) rc = OpenPart(JIX0_PART_CODES, 0, id, write, report);
  return rc;
}

int Chunk::ReadPart(ChunkPart part, int column, void* buffer) {
  return jix_blob_read(blob(part, column), buffer, (int)jix0_part_bytes(p_, part, column), 0);
}

int Chunk::WritePart(ChunkPart part, int column, const void* buffer) {
  return jix_blob_write(blob(part, column), buffer, (int)jix0_part_bytes(p_, part, column), 0);
}

ChunkLayout::ChunkLayout(const jix0_vtab* p) {
  auto align = [](sqlite3_int64 n) { return (n + 7) / 8 * 8; };
  rowids = align(jix0_part_bytes(p, JIX0_PART_VALIDITY, 0));
  total = rowids + jix0_part_bytes(p, JIX0_PART_ROWIDS, 0);
  for (int i = 0; i < p->numVectorColumns; i++) {
    vectors[i] = total;
    vectorBytes[i] = jix0_part_bytes(p, JIX0_PART_VECTORS, i);
    total = align(total + vectorBytes[i]);
  }
  for (int m = 0; m < p->numMetadataColumns; m++) {
    metadata[m] = total;
    metadataBytes[m] = jix0_part_bytes(p, JIX0_PART_METADATA, m);
    total = align(total + metadataBytes[m]);
  }
  codes = total;
  codesBytes = jix0_part_bytes(p, JIX0_PART_CODES, 0);
  total = align(total + codesBytes);
}

int Chunk::ReadImage(const ChunkLayout& layout, uint8_t* image) {
  int rc = ReadPart(JIX0_PART_VALIDITY, 0, image + layout.validity);
  if (rc == SQLITE_OK) rc = ReadPart(JIX0_PART_ROWIDS, 0, image + layout.rowids);
  for (int i = 0; rc == SQLITE_OK && i < p_->numVectorColumns; i++) {
    rc = ReadPart(JIX0_PART_VECTORS, i, image + layout.vectors[i]);
  }
  for (int m = 0; rc == SQLITE_OK && m < p_->numMetadataColumns; m++) {
    rc = ReadPart(JIX0_PART_METADATA, m, image + layout.metadata[m]);
  }
  if (rc == SQLITE_OK && layout.codesBytes > 0) {
    rc = ReadPart(JIX0_PART_CODES, 0, image + layout.codes);
  }
  return rc;
}

int Chunk::WriteImage(const ChunkLayout& layout, const uint8_t* image) {
  int rc = WritePart(JIX0_PART_VALIDITY, 0, image + layout.validity);
  if (rc == SQLITE_OK) rc = WritePart(JIX0_PART_ROWIDS, 0, image + layout.rowids);
  for (int i = 0; rc == SQLITE_OK && i < p_->numVectorColumns; i++) {
    rc = WritePart(JIX0_PART_VECTORS, i, image + layout.vectors[i]);
  }
  for (int m = 0; rc == SQLITE_OK && m < p_->numMetadataColumns; m++) {
    rc = WritePart(JIX0_PART_METADATA, m, image + layout.metadata[m]);
  }
  if (rc == SQLITE_OK && layout.codesBytes > 0) {
    rc = WritePart(JIX0_PART_CODES, 0, image + layout.codes);
  }
  return rc;
}

void jix0_image_copy_slot(const jix0_vtab* p, const ChunkLayout& layout, const uint8_t* source,
                          int from, uint8_t* target, int to) {
  bitmap_set(target + layout.validity, to, bitmap_get(source + layout.validity, from));
  memcpy(target + layout.rowids + to * 8, source + layout.rowids + from * 8, 8);
  for (int i = 0; i < p->numVectorColumns; i++) {
    sqlite3_int64 b = layout.vectorBytes[i] / p->chunk_size;
    memcpy(target + layout.vectors[i] + to * b, source + layout.vectors[i] + from * b, (size_t)b);
  }
  for (int m = 0; m < p->numMetadataColumns; m++) {
    const uint8_t* in = source + layout.metadata[m];
    uint8_t* out = target + layout.metadata[m];
    int b = jix0_metadata_slot_bytes(p->metadata_columns[m].kind);
    if (b == 0) {
      bitmap_set(out, to, bitmap_get(in, from));
    } else {
      memcpy(out + (size_t)to * b, in + (size_t)from * b, (size_t)b);
    }
  }
  const sqlite3_int64 c = layout.codesBytes / p->chunk_size;
  memcpy(target + layout.codes + to * c, source + layout.codes + from * c, (size_t)c);
}

void jix0_image_clear_slot(const jix0_vtab* p, const ChunkLayout& layout, uint8_t* image,
                           int slot) {
  bitmap_set(image + layout.validity, slot, false);
  memset(image + layout.rowids + slot * 8, 0, 8);
  for (int i = 0; i < p->numVectorColumns; i++) {
    sqlite3_int64 b = layout.vectorBytes[i] / p->chunk_size;
    memset(image + layout.vectors[i] + slot * b, 0, (size_t)b);
  }
  for (int m = 0; m < p->numMetadataColumns; m++) {
    uint8_t* part = image + layout.metadata[m];
    int b = jix0_metadata_slot_bytes(p->metadata_columns[m].kind);
    if (b == 0) {
      bitmap_set(part, slot, false);
    } else {
      memset(part + (size_t)slot * b, 0, (size_t)b);
    }
  }
  const sqlite3_int64 c = layout.codesBytes / p->chunk_size;
  memset(image + layout.codes + slot * c, 0, (size_t)c);
}

int Chunk::ReadSlot(ChunkPart part, int column, sqlite3_int64 slot, void* out) {
  int bytes = jix0_part_slot_bytes(p_, part, column);
  return jix_blob_read(blob(part, column), out, bytes, (int)(slot * bytes));
}

int Chunk::WriteSlot(ChunkPart part, int column, sqlite3_int64 slot, const void* in) {
  int bytes = jix0_part_slot_bytes(p_, part, column);
  return jix_blob_write(blob(part, column), in, bytes, (int)(slot * bytes));
}

int Chunk::WriteBit(ChunkPart part, int column, sqlite3_int64 slot, bool on) {
  sqlite3_blob* b = blob(part, column);
  const int offset = (int)(slot / 8);
  uint8_t byte;
  int rc = jix_blob_read(b, &byte, 1, offset);
  if (rc != SQLITE_OK) return rc;
  bitmap_set(&byte, (int)(slot % 8), on);
  return jix_blob_write(b, &byte, 1, offset);
}

int Chunk::ClosePart(ChunkPart part, int column) {
  return sqlite3_blob_close(Handle(part, column).release());
}

void Chunk::Close() {
  validity_.reset();
  rowids_.reset();
  for (BlobPtr& handle : vectors_) handle.reset();
  for (BlobPtr& handle : metadata_) handle.reset();
  codes_.reset();
}

int jix0_chunks_collect(jix0_vtab* p, bool listsApart, Array* out) {
  const bool byList = listsApart && jix0_has_index(p);
  StrBuilder s(nullptr);
  if (p->numPartitionColumns == 0 && !byList) {
    sqlite3_str_appendf(s.get(), "SELECT chunk_id, 0 FROM \"%w\".\"%w_chunks\" ORDER BY 1",
                        p->schemaName, p->tableName);
  } else {
    sqlite3_str_appendall(s.get(), "SELECT chunk_id, dense_rank() OVER (ORDER BY ");
    for (int i = 0; i < p->numPartitionColumns; i++) {
      sqlite3_str_appendf(s.get(), "%spartition%02d", i ? ", " : "", i);
    }
    if (byList) sqlite3_str_appendall(s.get(), p->numPartitionColumns ? ", list" : "list");
    sqlite3_str_appendf(s.get(), ") FROM \"%w\".\"%w_chunks\" ORDER BY 2, 1", p->schemaName,
                        p->tableName);
  }
  SqlitePtr<char> sql = s.finish();
  if (!sql) return SQLITE_NOMEM;
  StmtPtr stmt;
  int rc = prepare(p->db, sql.get(), &stmt);
  if (rc != SQLITE_OK) return rc;
  while ((rc = jix_step(stmt.get())) == SQLITE_ROW) {
    ChunkRef ref{sqlite3_column_int64(stmt.get(), 0), sqlite3_column_int64(stmt.get(), 1)};
    rc = array_append(out, &ref);
    if (rc != SQLITE_OK) return rc;
  }
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

namespace {

// Adds chunk chunkId's row to one per-column chunk table: `bytes` bytes from data, or zero
// bytes when data is null.
int insert_column_chunk(jix0_vtab* p, Jix0Stmt which, int idx, sqlite3_int64 chunkId,
                        sqlite3_int64 bytes, const uint8_t* data) {
  sqlite3_stmt* stmt;
  int rc = jix0_stmt(p, which, idx, &stmt);
  if (rc != SQLITE_OK) return rc;
  ResetOnExit reset(stmt);
  sqlite3_bind_int64(stmt, 1, chunkId);
  sqlite3_bind_int64(stmt, 2, chunkId);
  // A chunk over SQLite's length limit is refused here (SQLITE_TOOBIG); left unbound, the
  // column would read NULL and fail as a constraint instead.
  rc = data ? sqlite3_bind_blob64(stmt, 3, data, (sqlite3_uint64)bytes, SQLITE_STATIC)
            : sqlite3_bind_zeroblob64(stmt, 3, (sqlite3_uint64)bytes);
  if (rc != SQLITE_OK) return rc;
  rc = jix_step(stmt);
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// Binds a part of the new chunk's T_chunks row: from the image, or zero bytes.
int bind_part(sqlite3_stmt* stmt, int param, const uint8_t* image, sqlite3_int64 offset,
              sqlite3_int64 bytes) {
  if (image) return sqlite3_bind_blob64(stmt, param, image + offset, bytes, SQLITE_STATIC);
  return sqlite3_bind_zeroblob64(stmt, param, (sqlite3_uint64)bytes);
}

// Adds the chunk's row to T_chunks; *outChunkId is its new chunk_id.
int insert_chunk_row(jix0_vtab* p, sqlite3_value** partitionValues, sqlite3_int64 list,
                     const ChunkLayout& layout, const uint8_t* image, sqlite3_int64* outChunkId) {
  sqlite3_stmt* stmt;
  int rc = jix0_stmt(p, JIX0_STMT_INSERT_CHUNK, 0, &stmt);
  if (rc != SQLITE_OK) return rc;
  ResetOnExit reset(stmt);
  sqlite3_bind_int64(stmt, 1, p->chunk_size);
  rc = bind_part(stmt, 2, image, layout.validity, jix0_part_bytes(p, JIX0_PART_VALIDITY, 0));
  if (rc == SQLITE_OK) {
    rc = bind_part(stmt, 3, image, layout.rowids, jix0_part_bytes(p, JIX0_PART_ROWIDS, 0));
  }
  if (rc != SQLITE_OK) return rc;
  for (int i = 0; i < p->numPartitionColumns; i++) {
    rc = sqlite3_bind_value(stmt, 4 + i, partitionValues[i]);
    if (rc != SQLITE_OK) return rc;
  }
  if (jix0_has_index(p) && list != JIX0_NO_LIST) {
    sqlite3_bind_int64(stmt, 4 + p->numPartitionColumns, list);
  }
  rc = jix_step(stmt);
  if (rc != SQLITE_DONE) return jix0_failure_code(rc);
  *outChunkId = sqlite3_last_insert_rowid(p->db);
  return SQLITE_OK;
}

}  // namespace

int jix0_chunk_insert(jix0_vtab* p, sqlite3_value** partitionValues, sqlite3_int64 list,
                      const ChunkLayout& layout, const uint8_t* image, sqlite3_int64* outChunkId) {
  sqlite3_int64 chunkId = 0;
  int rc = insert_chunk_row(p, partitionValues, list, layout, image, &chunkId);
  if (rc != SQLITE_OK) return rc;
  for (int i = 0; i < p->numVectorColumns; i++) {
    rc = insert_column_chunk(p, JIX0_STMT_INSERT_VECTOR_CHUNK, i, chunkId, layout.vectorBytes[i],
                             image ? image + layout.vectors[i] : nullptr);
    if (rc != SQLITE_OK) return rc;
  }
  for (int m = 0; m < p->numMetadataColumns; m++) {
    rc = insert_column_chunk(p, JIX0_STMT_INSERT_METADATA_CHUNK, m, chunkId,
                             layout.metadataBytes[m], image ? image + layout.metadata[m] : nullptr);
    if (rc != SQLITE_OK) return rc;
  }
  if (layout.codesBytes > 0) {
    rc = insert_column_chunk(p, JIX0_STMT_INSERT_CODES, 0, chunkId, layout.codesBytes,
                             image ? image + layout.codes : nullptr);
    if (rc != SQLITE_OK) return rc;
  }
  if (outChunkId) *outChunkId = chunkId;
  return SQLITE_OK;
}

// Chunk ids by list + 1 (slot 0: no list), 0 where unknown, as of data version dataVersion.
struct NewestChunks {
  unsigned int dataVersion;
  int count;
  sqlite3_int64* ids;
};

namespace {

// The table's memory, valid for the database as it is now, or null when there is none: a
// table with partition keys keeps none, and one whose data version cannot be read trusts none.
NewestChunks* newest_memory(jix0_vtab* p) {
  if (p->numPartitionColumns > 0) return nullptr;
  unsigned int dataVersion = 0;
  if (sqlite3_file_control(p->db, p->schemaName, SQLITE_FCNTL_DATA_VERSION, &dataVersion) !=
      SQLITE_OK) {
    return nullptr;
  }
  if (!p->newestChunks) {
    p->newestChunks = malloc_zeroed<NewestChunks>();
    if (!p->newestChunks) return nullptr;
    p->newestChunks->dataVersion = dataVersion;
  }
  NewestChunks* m = p->newestChunks;
  if (m->dataVersion != dataVersion) {
    jix0_chunk_newest_forget(p);
    m->dataVersion = dataVersion;
  }
  return m;
}

// Remembers chunkId as list's newest; without memory to spare, it is simply not remembered.
void remember_newest(jix0_vtab* p, sqlite3_int64 list, sqlite3_int64 chunkId) {
  NewestChunks* m = newest_memory(p);
  if (!m || list < JIX0_NO_LIST || list >= JIX0_MAX_LISTS) return;
  const int slot = (int)(list + 1);
  if (slot >= m->count) {
    const int count = slot + 1 > m->count * 2 ? slot + 1 : m->count * 2;
    auto* ids =
        (sqlite3_int64*)sqlite3_realloc64(m->ids, (sqlite3_uint64)count * sizeof(sqlite3_int64));
    if (!ids) return;
    memset(ids + m->count, 0, (size_t)(count - m->count) * sizeof(sqlite3_int64));
    m->ids = ids;
    m->count = count;
  }
  m->ids[slot] = chunkId;
}

}  // namespace

int jix0_chunk_newest(jix0_vtab* p, sqlite3_value** partitionValues, sqlite3_int64 list,
                      sqlite3_int64* outChunkId) {
  const NewestChunks* m = newest_memory(p);
  if (m && list + 1 >= 0 && list + 1 < m->count && m->ids[list + 1] != 0) {
    *outChunkId = m->ids[list + 1];
    return SQLITE_OK;
  }
  int rc = jix0_get_latest_chunk_rowid(p, outChunkId, partitionValues, list);
  if (rc == SQLITE_OK) remember_newest(p, list, *outChunkId);
  return rc;
}

void jix0_chunk_newest_forget(jix0_vtab* p) {
  NewestChunks* m = p->newestChunks;
  if (m && m->count > 0) memset(m->ids, 0, (size_t)m->count * sizeof(sqlite3_int64));
}

void jix0_chunk_newest_free(jix0_vtab* p) {
  if (!p->newestChunks) return;
  sqlite3_free(p->newestChunks->ids);
  sqlite3_free(p->newestChunks);
  p->newestChunks = nullptr;
}

int jix0_new_chunk(jix0_vtab* p, sqlite3_value** partitionValues, sqlite3_int64* outChunkId,
                   sqlite3_int64 list) {
  sqlite3_int64 chunkId = 0;
  int rc = jix0_chunk_insert(p, partitionValues, list, ChunkLayout(p), nullptr, &chunkId);
  if (rc != SQLITE_OK) return rc;
  remember_newest(p, list, chunkId);
  if (outChunkId) *outChunkId = chunkId;
  return SQLITE_OK;
}

namespace {

int delete_keyed(jix0_vtab* p, Jix0Stmt which, int column, sqlite3_int64 key) {
  sqlite3_stmt* stmt;
  int rc = jix0_stmt(p, which, column, &stmt);
  if (rc != SQLITE_OK) return rc;
  ResetOnExit reset(stmt);
  sqlite3_bind_int64(stmt, 1, key);
  rc = jix_step(stmt);
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

}  // namespace

int jix0_chunk_delete(jix0_vtab* p, sqlite3_int64 chunkId) {
  int rc = delete_keyed(p, JIX0_STMT_DELETE_CHUNK, 0, chunkId);
  for (int i = 0; rc == SQLITE_OK && i < p->numVectorColumns; i++) {
    rc = delete_keyed(p, JIX0_STMT_DELETE_VECTOR_CHUNK, i, chunkId);
  }
  for (int m = 0; rc == SQLITE_OK && m < p->numMetadataColumns; m++) {
    rc = delete_keyed(p, JIX0_STMT_DELETE_METADATA_CHUNK, m, chunkId);
  }
  if (rc == SQLITE_OK && jix0_has_codes(p))
    rc = delete_keyed(p, JIX0_STMT_DELETE_CODES, 0, chunkId);
  // The newest chunk of its group may have been this one: the lookup is prepared again, and
  // nothing remembered is trusted.
  jix0_stmt_forget(p, JIX0_STMT_LATEST_CHUNK);
  jix0_chunk_newest_forget(p);
  return rc;
}

namespace {

// Zeros for the largest slot of any metadata chunk BLOB.
const uint8_t kZeroSlot[JIX0_METADATA_TEXT_ENTRY] = {};

// Runs one statement on the metadata-text table of column m, binding the rowid to ?1 and,
// when text is given, the text to ?2. With a cache slot the statement is kept there (the
// insert, which every new row with a long text runs); without, it is prepared for this use.
int run_metadata_text(jix0_vtab* p, const char* format, sqlite3_stmt** cache, int m,
                      sqlite3_int64 rowid, const char* text, int n) {
  StmtPtr owned;
  sqlite3_stmt* stmt;
  int rc;
  if (cache) {
    rc = prepare_cached(p->db, cache,
                        [&] { return sqlite3_mprintf(format, p->schemaName, p->tableName, m); });
    stmt = *cache;
  } else {
    SqlitePtr<char> sql(sqlite3_mprintf(format, p->schemaName, p->tableName, m));
    if (!sql) return SQLITE_NOMEM;
    rc = prepare(p->db, sql.get(), &owned);
    stmt = owned.get();
  }
  if (rc != SQLITE_OK) return rc;
  ResetOnExit reset(owned ? nullptr : stmt);
  sqlite3_bind_int64(stmt, 1, rowid);
  if (text) rc = sqlite3_bind_text(stmt, 2, text, n, SQLITE_STATIC);
  if (rc != SQLITE_OK) return rc;
  rc = jix_step(stmt);
  return rc == SQLITE_DONE ? SQLITE_OK : jix0_failure_code(rc);
}

int write_metadata_text(jix0_vtab* p, sqlite3_blob* blob, int m, sqlite3_int64 rowid,
                        sqlite3_int64 chunkOffset, sqlite3_value* value, int isUpdate) {
  const int offset = (int)(chunkOffset * JIX0_METADATA_TEXT_ENTRY);
  int32_t previousLength;
  int rc = jix_blob_read(blob, &previousLength, sizeof(previousLength), offset);
  if (rc != SQLITE_OK) return rc;
  const char* text = (const char*)sqlite3_value_text(value);
  int32_t n = sqlite3_value_bytes(value);
  uint8_t entry[JIX0_METADATA_TEXT_ENTRY] = {};
  memcpy(entry, &n, sizeof(n));
  if (n > 0) memcpy(entry + 4, text, n < JIX0_METADATA_TEXT_PREFIX ? n : JIX0_METADATA_TEXT_PREFIX);
  rc = jix_blob_write(blob, entry, sizeof(entry), offset);
  if (rc != SQLITE_OK) return rc;
  if (n > JIX0_METADATA_TEXT_PREFIX) {
    if (isUpdate && previousLength > JIX0_METADATA_TEXT_PREFIX) {
      return run_metadata_text(p, JIX0_SQL_UPDATE_METADATA_TEXT, nullptr, m, rowid, text, n);
    }
    return run_metadata_text(p, JIX0_SQL_INSERT_METADATA_TEXT,
                             &p->stmts[JIX0_STMT_INSERT_METADATA_TEXT + m], m, rowid, text, n);
  }
  if (previousLength > JIX0_METADATA_TEXT_PREFIX) {
    return run_metadata_text(p, JIX0_SQL_DELETE_METADATA_TEXT, nullptr, m, rowid, nullptr, 0);
  }
  return SQLITE_OK;
}

int write_metadata_slot(jix0_vtab* p, sqlite3_blob* blob, int m, sqlite3_int64 rowid,
                        sqlite3_int64 chunkOffset, sqlite3_value* value, int isUpdate) {
  switch (p->metadata_columns[m].kind) {
    case JIX0_METADATA_BOOLEAN: {
      uint8_t byte;
      int offset = (int)(chunkOffset / 8);
      int rc = jix_blob_read(blob, &byte, 1, offset);
      if (rc != SQLITE_OK) return rc;
      uint8_t mask = (uint8_t)(1u << (chunkOffset % 8));
      byte = sqlite3_value_int64(value) ? (uint8_t)(byte | mask) : (uint8_t)(byte & ~mask);
      return jix_blob_write(blob, &byte, 1, offset);
    }
    case JIX0_METADATA_INTEGER: {
      sqlite3_int64 v = sqlite3_value_int64(value);
      return jix_blob_write(blob, &v, 8, (int)(chunkOffset * 8));
    }
    case JIX0_METADATA_FLOAT: {
      double v = sqlite3_value_double(value);
      return jix_blob_write(blob, &v, 8, (int)(chunkOffset * 8));
    }
    case JIX0_METADATA_TEXT:
      return write_metadata_text(p, blob, m, rowid, chunkOffset, value, isUpdate);
  }
  return SQLITE_ERROR;
}

}  // namespace

int jix0_check_metadata_value(jix0_vtab* p, int metadataIdx, sqlite3_value* value) {
  const MetadataColumnDefinition& column = p->metadata_columns[metadataIdx];
  int type = sqlite3_value_type(value);
  switch (column.kind) {
    case JIX0_METADATA_BOOLEAN: {
      // The whole 64-bit value decides: 2^32 + 1 is not true.
      sqlite3_int64 v = sqlite3_value_int64(value);
      if (type == SQLITE_INTEGER && (v == 0 || v == 1)) return SQLITE_OK;
      vtab_set_error(&p->base, "Expected 0 or 1 for BOOLEAN metadata column %.*s",
                     column.name_length, column.name);
      return SQLITE_ERROR;
    }
    case JIX0_METADATA_INTEGER:
      if (type == SQLITE_INTEGER) return SQLITE_OK;
      vtab_set_error(&p->base, "Expected integer for INTEGER metadata column %.*s, received %s",
                     column.name_length, column.name, type_name(type));
      return SQLITE_ERROR;
    case JIX0_METADATA_FLOAT:
      if (type == SQLITE_FLOAT) return SQLITE_OK;
      vtab_set_error(&p->base, "Expected float for FLOAT metadata column %.*s, received %s",
                     column.name_length, column.name, type_name(type));
      return SQLITE_ERROR;
    case JIX0_METADATA_TEXT:
      if (type == SQLITE_TEXT) return SQLITE_OK;
      vtab_set_error(&p->base, "Expected text for TEXT metadata column %.*s, received %s",
                     column.name_length, column.name, type_name(type));
      return SQLITE_ERROR;
  }
  return SQLITE_ERROR;
}

int jix0_write_metadata_value(jix0_vtab* p, int metadataIdx, sqlite3_int64 rowid,
                              sqlite3_int64 chunkId, sqlite3_int64 chunkOffset,
                              sqlite3_value* value, int isUpdate) {
  int rc = jix0_check_metadata_value(p, metadataIdx, value);
  if (rc != SQLITE_OK) return rc;
  Chunk chunk(p);
  rc = chunk.OpenSlot(JIX0_PART_METADATA, metadataIdx, chunkId, true, chunkOffset, nullptr);
  if (rc != SQLITE_OK) return rc;
  rc = write_metadata_slot(p, chunk.blob(JIX0_PART_METADATA, metadataIdx), metadataIdx, rowid,
                           chunkOffset, value, isUpdate);
  if (rc != SQLITE_OK) return rc;
  return chunk.ClosePart(JIX0_PART_METADATA, metadataIdx);
}

int jix0_clear_metadata_slot(jix0_vtab* p, sqlite3_blob* blob, int m, sqlite3_int64 rowid,
                             sqlite3_int64 chunkOffset) {
  switch (p->metadata_columns[m].kind) {
    case JIX0_METADATA_BOOLEAN: {
      const int offset = (int)(chunkOffset / 8);
      uint8_t byte;
      int rc = jix_blob_read(blob, &byte, 1, offset);
      if (rc != SQLITE_OK) return rc;
      byte &= (uint8_t) ~(1u << (chunkOffset % 8));
      return jix_blob_write(blob, &byte, 1, offset);
    }
    case JIX0_METADATA_INTEGER:
    case JIX0_METADATA_FLOAT:
      return jix_blob_write(blob, kZeroSlot, 8, (int)(chunkOffset * 8));
    case JIX0_METADATA_TEXT: {
      const int offset = (int)(chunkOffset * JIX0_METADATA_TEXT_ENTRY);
      int32_t length;
      int rc = jix_blob_read(blob, &length, sizeof(length), offset);
      if (rc != SQLITE_OK) return rc;
      rc = jix_blob_write(blob, kZeroSlot, JIX0_METADATA_TEXT_ENTRY, offset);
      if (rc != SQLITE_OK) return rc;
      if (length <= JIX0_METADATA_TEXT_PREFIX) return SQLITE_OK;
      rc = run_metadata_text(p, JIX0_SQL_DELETE_METADATA_TEXT, nullptr, m, rowid, nullptr, 0);
      return rc == SQLITE_OK ? rc : jix0_failure_code(rc);
    }
  }
  return SQLITE_ERROR;
}
