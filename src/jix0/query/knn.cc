// KNN search over the chunks of one vector column.
#include "jix0/query/knn.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "jix0/index/ivf.h"
#include "jix0/query/metadata_filter.h"
#include "jix0/query/plan.h"
#include "jix0/query/row_key.h"
#include "jix0/query/select.h"
#include "jix0/storage/bitmap.h"
#include "jix0/storage/chunks.h"
#include "jix0/table/result_codes.h"
#include "vector/array.h"
#include "vector/handles.h"
#include "vector/kernels.h"
#include "vector/vector.h"

namespace {

int _cmp(const void* a, const void* b) {
  sqlite3_int64 x = *(const sqlite3_int64*)a;
  sqlite3_int64 y = *(const sqlite3_int64*)b;
  return (x > y) - (x < y);
}

struct KnnDataFree {
  void operator()(jix0_query_knn_data* p) const {
    jix0_query_knn_data_clear(p);
    sqlite3_free(p);
  }
};
using KnnDataPtr = std::unique_ptr<jix0_query_knn_data, KnnDataFree>;

// A parsed query vector, released by its own release action.
struct QueryVector {
  void* data = nullptr;
  size_t dimensions = 0;
  VectorElementType elementType = JIX_ELEMENT_FLOAT32;
  vector_cleanup cleanup = nullptr;
  QueryVector() = default;
  QueryVector(const QueryVector&) = delete;
  QueryVector& operator=(const QueryVector&) = delete;
  ~QueryVector() {
    if (cleanup) cleanup(data);
  }
};

struct ArrayGuard {
  Array array{};
  ArrayGuard() = default;
  ArrayGuard(const ArrayGuard&) = delete;
  ArrayGuard& operator=(const ArrayGuard&) = delete;
  ~ArrayGuard() { array_cleanup(&array); }
};

struct InListsGuard {
  Array lists{};
  const jix0_vtab* p;
  explicit InListsGuard(const jix0_vtab* vtab) : p(vtab) {}
  InListsGuard(const InListsGuard&) = delete;
  InListsGuard& operator=(const InListsGuard&) = delete;
  ~InListsGuard() { jix0_metadata_in_lists_free(&lists, p); }
};

// Metadata blob handles and long-text statements of one chunk loop, one per metadata column.
struct MetadataHandles {
  sqlite3_blob* blobs[JIX0_MAX_METADATA_COLUMNS] = {};
  sqlite3_stmt* longTextStmts[JIX0_MAX_METADATA_COLUMNS] = {};
  MetadataHandles() = default;
  MetadataHandles(const MetadataHandles&) = delete;
  MetadataHandles& operator=(const MetadataHandles&) = delete;
  ~MetadataHandles() {
    for (sqlite3_blob* blob : blobs) sqlite3_blob_close(blob);
    for (sqlite3_stmt* stmt : longTextStmts) sqlite3_finalize(stmt);
  }
};

char block_tag(const char* idxStr, int i) {
  return idxStr[1 + 4 * i];
}
char block_char(const char* idxStr, int i, int c) {
  return idxStr[1 + 4 * i + c];
}

// Gathers `rowid IN (...)` into a sorted list of rowids. Members that name no rowid (NULL,
// 1.5, '2abc') match nothing and are left out; on a TEXT-key table ids that name no row are
// left out too, so the other ids still match.
int gather_rowid_list(jix0_vtab* p, sqlite3_value* list, Array* outRowids) {
  int rc = array_init(outRowids, sizeof(sqlite3_int64), 32);
  if (rc != SQLITE_OK) return rc;
  sqlite3_value* value = nullptr;
  for (rc = sqlite3_vtab_in_first(list, &value); rc == SQLITE_OK;
       rc = sqlite3_vtab_in_next(list, &value)) {
    if (sqlite3_value_type(value) == SQLITE_NULL) continue;
    sqlite3_int64 rowid;
    if (p->pkIsText) {
      int translated = jix0_rowid_from_id(p, value, &rowid);
      if (translated == SQLITE_EMPTY) continue;
      if (translated != SQLITE_OK) return translated;
    } else {
      int keyRc = jix0_integer_key(value, &rowid);
      if (keyRc == SQLITE_EMPTY) continue;
      if (keyRc != SQLITE_OK) return keyRc;
    }
    if (array_append(outRowids, &rowid) != SQLITE_OK) return SQLITE_NOMEM;
  }
  if (rc != SQLITE_DONE) {
    vtab_set_error(&p->base, "error processing rowid in (...) array");
    return rc;
  }
  qsort(outRowids->data, outRowids->length, sizeof(sqlite3_int64), _cmp);
  return SQLITE_OK;
}

// One list per '&' block with code 'g'. NULL members match nothing and are left out.
int gather_metadata_in_lists(jix0_vtab* p, const char* idxStr, int argc, sqlite3_value** argv,
                             Array* lists) {
  for (int i = 0; i < argc; i++) {
    if (block_tag(idxStr, i) != JIX0_BLOCK_METADATA || block_char(idxStr, i, 2) != JIX0_OP_IN) {
      continue;
    }
    if (!lists->data) {
      int rc = array_init(lists, sizeof(jix0_metadata_in_list), 8);
      if (rc != SQLITE_OK) return rc;
    }
    int metadataIdx = block_char(idxStr, i, 1) - 'A';
    JIX_ASSERT(metadataIdx >= 0 && metadataIdx < p->numMetadataColumns);
    MetadataColumnKind kind = p->metadata_columns[metadataIdx].kind;
    if (kind != JIX0_METADATA_TEXT && kind != JIX0_METADATA_INTEGER) {
      vtab_set_error(&p->base, "Internal sqlite-jix error");
      return SQLITE_ERROR;
    }
    bool isText = kind == JIX0_METADATA_TEXT;

    jix0_metadata_in_list list{};
    list.argument_index = i;
    list.metadata_index = metadataIdx;
    int rc = array_init(&list.values,
                        isText ? sizeof(jix0_metadata_text_value) : sizeof(sqlite3_int64), 16);
    if (rc != SQLITE_OK) return rc;
    // Appended before it is filled, so the lists' release frees it on every path.
    if (array_append(lists, &list) != SQLITE_OK) {
      array_cleanup(&list.values);
      return SQLITE_NOMEM;
    }
    Array* values = &((jix0_metadata_in_list*)lists->data)[lists->length - 1].values;

    sqlite3_value* value = nullptr;
    for (rc = sqlite3_vtab_in_first(argv[i], &value); rc == SQLITE_OK;
         rc = sqlite3_vtab_in_next(argv[i], &value)) {
      if (sqlite3_value_type(value) == SQLITE_NULL) continue;
      if (isText) {
        const unsigned char* text = sqlite3_value_text(value);
        int length = sqlite3_value_bytes(value);
        if (!text) return SQLITE_NOMEM;
        // Copied by length: texts may hold NUL bytes.
        jix0_metadata_text_value entry{length, (char*)sqlite3_malloc(length + 1)};
        if (!entry.text) return SQLITE_NOMEM;
        memcpy(entry.text, text, (size_t)length);
        entry.text[length] = '\0';
        if (array_append(values, &entry) != SQLITE_OK) {
          sqlite3_free(entry.text);
          return SQLITE_NOMEM;
        }
      } else {
        sqlite3_int64 n = sqlite3_value_int64(value);
        if (array_append(values, &n) != SQLITE_OK) return SQLITE_NOMEM;
      }
    }
    if (rc != SQLITE_DONE) {
      vtab_set_error(&p->base,
                     isText ? "Error fetching next value in `x in (...)` text expression"
                            : "Error fetching next value in `x in (...)` integer expression");
      return rc;
    }
  }
  return SQLITE_OK;
}

// The chunks statement: (chunk_id, validity, typeof(rowids), length(rowids)) of every chunk
// whose partition values satisfy the ']' blocks, so partition keys prune whole chunks inside
// SQL. The rowids themselves are not selected: typeof() and length() leave a large value
// unread, and most chunks of a large table never need their rowids. An IN list becomes one
// parameter per member, so the chunks of every listed partition are scanned once, in
// chunk_id order, by one search. Sets the message on failure.
int jix0_chunks_iter(jix0_vtab* p, const char* idxStr, int argc, sqlite3_value** argv,
                     const char* listClause, StmtPtr* outStmt) {
  JIX_ASSERT(argc == (int)(strlen(idxStr) - 1) / 4);  // argc == numValueEntries
  StrBuilder s(p->db);
  sqlite3_str_appendf(
      s.get(),
      "select chunk_id, validity, typeof(rowids), length(rowids)  from \"%w\".\"%w_chunks\"",
      p->schemaName, p->tableName);
  int numPartitionBlocks = 0;
  for (int i = 0; i < argc; i++) {
    if (block_tag(idxStr, i) != JIX0_BLOCK_PARTITION) continue;
    sqlite3_str_appendall(s.get(), numPartitionBlocks++ == 0 ? " WHERE " : " AND ");
    int partitionIdx = block_char(idxStr, i, 1) - 'A';
    const char* fragment;
    switch (block_char(idxStr, i, 2)) {
      case JIX0_OP_EQ:
        fragment = " partition%02d = ? ";
        break;
      case JIX0_OP_GT:
        fragment = " partition%02d > ? ";
        break;
      case JIX0_OP_LE:
        fragment = " partition%02d <= ? ";
        break;
      case JIX0_OP_LT:
        fragment = " partition%02d < ? ";
        break;
      case JIX0_OP_GE:
        fragment = " partition%02d >= ? ";
        break;
      case JIX0_OP_NE:
        fragment = " partition%02d != ? ";
        break;
      case JIX0_OP_IN: {
        sqlite3_str_appendf(s.get(), " partition%02d IN (", partitionIdx);
        sqlite3_value* value = nullptr;
        int n = 0;
        int rc;
        for (rc = sqlite3_vtab_in_first(argv[i], &value); rc == SQLITE_OK;
             rc = sqlite3_vtab_in_next(argv[i], &value)) {
          sqlite3_str_appendall(s.get(), n++ == 0 ? "?" : ",?");
        }
        if (rc != SQLITE_DONE) {
          vtab_set_error(&p->base,
                         "Error fetching next value in `x in (...)` partition key expression");
          return rc;
        }
        sqlite3_str_appendall(s.get(), ") ");
        continue;
      }
      default:
        return SQLITE_ERROR;
    }
    sqlite3_str_appendf(s.get(), fragment, partitionIdx);
  }
  if (listClause) {
    sqlite3_str_appendall(s.get(), numPartitionBlocks == 0 ? " WHERE " : " AND ");
    sqlite3_str_appendall(s.get(), listClause);
  }
  SqlitePtr<char> sql = s.finish();
  if (!sql) return SQLITE_NOMEM;
  int rc = prepare(p->db, sql.get(), outStmt);
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, "Error preparing stmtChunk: %s", sqlite3_errmsg(p->db));
    return rc;
  }
  int param = 1;
  for (int i = 0; i < argc; i++) {
    if (block_tag(idxStr, i) != JIX0_BLOCK_PARTITION) continue;
    if (block_char(idxStr, i, 2) != JIX0_OP_IN) {
      rc = sqlite3_bind_value(outStmt->get(), param++, argv[i]);
      if (rc != SQLITE_OK) return rc;
      continue;
    }
    sqlite3_value* value = nullptr;
    for (rc = sqlite3_vtab_in_first(argv[i], &value); rc == SQLITE_OK;
         rc = sqlite3_vtab_in_next(argv[i], &value)) {
      int bindRc = sqlite3_bind_value(outStmt->get(), param++, value);
      if (bindRc != SQLITE_OK) return bindRc;
    }
    if (rc != SQLITE_DONE) return rc;
  }
  return SQLITE_OK;
}

// Distances of `count` stored vectors (back to back from `vectors`) to the query, as 32-bit
// floats, into out[i] for every candidate bit i. The batch kernels compute exactly the pair
// kernels of the SQL distance functions (stored vector first), so a KNN distance equals
// theirs rounded to float.
void knn_distances(const VectorColumnDefinition& column, sqlite3_int64 vectorBytes,
                   const void* query, const uint8_t* vectors, size_t count,
                   const uint8_t* candidates, float* out) {
  size_t d = column.dimensions;
  switch (column.element_type) {
    case JIX_ELEMENT_FLOAT32: {
      const float* q = (const float*)query;
      const float* v = (const float*)vectors;
      switch (column.distance_metric) {
        case JIX0_DISTANCE_L1:
          return kernel_l1_float32_batch(q, v, d, count, candidates, out);
        case JIX0_DISTANCE_COSINE:
          return kernel_cosine_float32_batch(q, v, d, count, candidates, out);
        default:
          return kernel_l2_float32_batch(q, v, d, count, candidates, out);
      }
    }
    case JIX_ELEMENT_INT8: {
      const int8_t* q = (const int8_t*)query;
      const int8_t* v = (const int8_t*)vectors;
      switch (column.distance_metric) {
        case JIX0_DISTANCE_L1:
          return kernel_l1_int8_batch(q, v, d, count, candidates, out);
        case JIX0_DISTANCE_COSINE:
          return kernel_cosine_int8_batch(q, v, d, count, candidates, out);
        default:
          return kernel_l2_int8_batch(q, v, d, count, candidates, out);
      }
    }
    case JIX_ELEMENT_BIT:
      // Bit columns are searched by Hamming distance whatever metric they carry. The kernel
      // counts whole bytes, the stored size of a slot.
      return kernel_hamming_bit_batch((const uint8_t*)query, vectors, (size_t)vectorBytes * 8,
                                      count, candidates, out);
  }
}

// True when any of the n bits (n a multiple of 8) is set.
bool bitmap_any(const uint8_t* bitmap, int n) {
  for (int i = 0; i < n / 8; i++)
    if (bitmap[i]) return true;
  return false;
}

// Reads chunk chunkId's rowid array (size entries, its length already checked) into out
// through *blob, which is opened on first use and moved from chunk to chunk after that.
int read_chunk_rowids(jix0_vtab* p, BlobPtr* blob, sqlite3_int64 chunkId, int size,
                      sqlite3_int64* out) {
  int rc;
  if (!*blob) {
    sqlite3_blob* opened = nullptr;
    rc =
        sqlite3_blob_open(p->db, p->schemaName, p->shadowChunksName, "rowids", chunkId, 0, &opened);
    blob->reset(opened);
  } else {
    rc = sqlite3_blob_reopen(blob->get(), chunkId);
  }
  if (rc == SQLITE_OK && sqlite3_blob_bytes(blob->get()) != size * 8) rc = SQLITE_ERROR;
  if (rc == SQLITE_OK) rc = sqlite3_blob_read(blob->get(), out, size * 8, 0);
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": could not read the rowids of chunk %lld",
                   chunkId);
    return jix0_failure_code(rc);
  }
  return SQLITE_OK;
}

bool bound_keeps(char op, float distance, float bound) {
  switch (op) {
    case JIX0_DISTANCE_OP_GT:
      return distance > bound;
    case JIX0_DISTANCE_OP_GE:
      return distance >= bound;
    case JIX0_DISTANCE_OP_LT:
      return distance < bound;
    case JIX0_DISTANCE_OP_LE:
      return distance <= bound;
    default:
      return false;
  }
}

template <typename T>
SqlitePtr<T> allocate(sqlite3_uint64 count) {
  return SqlitePtr<T>((T*)sqlite3_malloc64(count > 0 ? count * sizeof(T) : 1));
}

struct ChunkLoopInput {
  jix0_vtab* p;
  sqlite3_stmt* stmtChunks;
  const VectorColumnDefinition* column;
  int vectorIdx;
  const Array* rowidList;  // null without a '[' block
  const Array* inLists;    // null without IN lists
  const char* idxStr;
  int argc;
  sqlite3_value** argv;
  const void* query;
  int k;
};

// Bytes of vectors read and computed at a time: small enough that a piece is still in the
// core's own L2 cache when the kernel runs over it right after the read, large enough that
// the cost of a read call is spread over many vectors and the kernel gets full groups.
constexpr sqlite3_int64 kPieceBytes = 192 * 1024;

// Scans every chunk of the statement and keeps the k nearest candidates. On SQLITE_OK the
// caller owns *outRowids and *outDistances (k entries, *outCount valid).
int jix0Filter_knn_chunks_iter(const ChunkLoopInput& in, sqlite3_int64** outRowids,
                               float** outDistances, int* outCount) {
  jix0_vtab* p = in.p;
  const int size = p->chunk_size;
  const int k = in.k;
  const int perChunk = k < size ? k : size;
  const sqlite3_int64 vectorBytes = (sqlite3_int64)vector_column_byte_size(*in.column);
  // Slots per piece: a multiple of 8, so that a piece starts on a byte of the bitmaps.
  int pieceSlots = vectorBytes > 0 ? (int)(kPieceBytes / vectorBytes) / 8 * 8 : size;
  if (pieceSlots < 8) pieceSlots = 8;
  if (pieceSlots > size) pieceSlots = size;

  SqlitePtr<sqlite3_int64> topRowids = allocate<sqlite3_int64>(k);
  SqlitePtr<float> topDistances = allocate<float>(k);
  SqlitePtr<sqlite3_int64> mergeRowids = allocate<sqlite3_int64>(k);
  SqlitePtr<float> mergeDistances = allocate<float>(k);
  SqlitePtr<uint8_t> pieceVectors = allocate<uint8_t>((sqlite3_uint64)pieceSlots * vectorBytes);
  SqlitePtr<float> chunkDistances = allocate<float>(size);
  SqlitePtr<sqlite3_int64> chunkRowids = allocate<sqlite3_int64>(size);
  SqlitePtr<int32_t> chunkBest = allocate<int32_t>(perChunk);
  SqlitePtr<uint8_t> candidates(bitmap_new(size));
  SqlitePtr<uint8_t> rowidBitmap(bitmap_new(size));
  SqlitePtr<uint8_t> metadataBitmap(bitmap_new(size));
  // One chunk's metadata BLOB; TEXT entries, 16 bytes a slot, are the largest.
  SqlitePtr<uint8_t> metadataData = allocate<uint8_t>((sqlite3_uint64)size * 16);
  if (!metadataData || !topRowids || !topDistances || !mergeRowids || !mergeDistances ||
      !pieceVectors || !chunkDistances || !chunkRowids || !chunkBest || !candidates ||
      !rowidBitmap || !metadataBitmap) {
    return SQLITE_NOMEM;
  }
  // The selection reads the distances of whole bytes of slots, candidates or not.
  memset(chunkDistances.get(), 0, (size_t)size * sizeof(float));

  bool hasMetadata = false, hasDistance = false;
  for (int i = 0; i < in.argc; i++) {
    hasMetadata |= block_tag(in.idxStr, i) == JIX0_BLOCK_METADATA;
    hasDistance |= block_tag(in.idxStr, i) == JIX0_BLOCK_DISTANCE;
  }

  BlobPtr vectorsBlob, rowidsBlob;
  MetadataHandles metadata;
  int topCount = 0;
  int rc;
  while ((rc = sqlite3_step(in.stmtChunks)) == SQLITE_ROW) {
    sqlite3_int64 chunkId = sqlite3_column_int64(in.stmtChunks, 0);
    // Any other value would be read through its text form: garbage bits of the right size.
    const char* rowidsType = (const char*)sqlite3_column_text(in.stmtChunks, 2);
    if (sqlite3_column_type(in.stmtChunks, 1) != SQLITE_BLOB || !rowidsType ||
        strcmp(rowidsType, "blob") != 0) {
      vtab_set_error(&p->base,
                     JIX0_INTERNAL_ERROR ": validity or rowids of chunk %lld is not a BLOB",
                     chunkId);
      return SQLITE_ERROR;
    }
    const uint8_t* validity = (const uint8_t*)sqlite3_column_blob(in.stmtChunks, 1);
    int validityBytes = sqlite3_column_bytes(in.stmtChunks, 1);
    if (validityBytes != size / 8) {
      vtab_set_error(&p->base, "chunk validity size doesn't match - expected %lld, found %lld",
                     (sqlite3_int64)(size / 8), (sqlite3_int64)validityBytes);
      return SQLITE_ERROR;
    }
    sqlite3_int64 rowidsBytes = sqlite3_column_int64(in.stmtChunks, 3);
    if (rowidsBytes != size * 8) {
      vtab_set_error(&p->base, "chunk rowids size doesn't match - expected %lld, found %lld",
                     (sqlite3_int64)size * 8, rowidsBytes);
      return SQLITE_ERROR;
    }
    if (!validity) return SQLITE_NOMEM;  // a zeroblob could not be expanded
    // Read only when a filter or the merge needs them: most chunks of a large table add
    // nothing to the top k.
    bool rowidsRead = false;
    auto chunk_rowids = [&]() {
      int readRc = SQLITE_OK;
      if (!rowidsRead) readRc = read_chunk_rowids(p, &rowidsBlob, chunkId, size, chunkRowids.get());
      rowidsRead = readRc == SQLITE_OK;
      return readRc;
    };

    // One handle, moved from chunk to chunk: far cheaper than closing and opening.
    int blobRc;
    if (!vectorsBlob) {
      sqlite3_blob* blob = nullptr;
      blobRc = sqlite3_blob_open(p->db, p->schemaName, p->shadowVectorChunksNames[in.vectorIdx],
                                 "vectors", chunkId, 0, &blob);
      vectorsBlob.reset(blob);
    } else {
      blobRc = sqlite3_blob_reopen(vectorsBlob.get(), chunkId);
    }
    if (blobRc != SQLITE_OK) {
      vtab_set_error(&p->base, "could not open vectors blob for chunk %lld", chunkId);
      return jix0_failure_code(blobRc);
    }
    int vectorsSize = sqlite3_blob_bytes(vectorsBlob.get());
    if (vectorsSize != size * vectorBytes) {
      vtab_set_error(&p->base, "vectors blob size doesn't match - expected %lld, found %lld",
                     size * vectorBytes, (sqlite3_int64)vectorsSize);
      return SQLITE_ERROR;
    }

    // Filters first, on bitmaps, so that no vector is read for a slot they rule out.
    bitmap_copy(candidates.get(), validity, size);

    if (in.rowidList) {
      int readRc = chunk_rowids();
      if (readRc != SQLITE_OK) return readRc;
      const sqlite3_int64* slotRowids = chunkRowids.get();
      bitmap_clear(rowidBitmap.get(), size);
      for (int slot = 0; slot < size; slot++) {
        if (!bitmap_get(validity, slot)) continue;
        bool found = bsearch(&slotRowids[slot], in.rowidList->data, in.rowidList->length,
                             sizeof(sqlite3_int64), _cmp) != nullptr;
        bitmap_set(rowidBitmap.get(), slot, found);
      }
      bitmap_and_inplace(candidates.get(), rowidBitmap.get(), size);
    }

    if (hasMetadata) {
      for (int i = 0; i < in.argc; i++) {
        if (block_tag(in.idxStr, i) != JIX0_BLOCK_METADATA) continue;
        int metadataIdx = block_char(in.idxStr, i, 1) - 'A';
        JIX_ASSERT(metadataIdx >= 0 && metadataIdx < p->numMetadataColumns);
        if (!metadata.blobs[metadataIdx]) {
          int openRc =
              sqlite3_blob_open(p->db, p->schemaName, p->shadowMetadataChunksNames[metadataIdx],
                                "data", chunkId, 0, &metadata.blobs[metadataIdx]);
          if (openRc != SQLITE_OK) {
            vtab_set_error(&p->base, "Could not open metadata blob");
            return openRc;
          }
        }
        // Only TEXT filters need the rowids: long texts are looked up by rowid.
        const uint8_t* slotRowids = nullptr;
        if (p->metadata_columns[metadataIdx].kind == JIX0_METADATA_TEXT) {
          int readRc = chunk_rowids();
          if (readRc != SQLITE_OK) return readRc;
          slotRowids = (const uint8_t*)chunkRowids.get();
        }
        bitmap_clear(metadataBitmap.get(), size);
        int filterRc = jix0_set_metadata_filter_bitmap(
            p, metadataIdx, block_char(in.idxStr, i, 2), in.argv[i], metadata.blobs[metadataIdx],
            chunkId, metadataBitmap.get(), size, in.inLists, i, slotRowids,
            &metadata.longTextStmts[metadataIdx], metadataData.get());
        if (filterRc != SQLITE_OK) {
          vtab_set_error(&p->base, "Could not filter metadata fields");
          return filterRc;
        }
        bitmap_and_inplace(candidates.get(), metadataBitmap.get(), size);
      }
    }

    // The vectors, piece by piece, each computed on while it is still in cache; a piece
    // without candidates is not read at all.
    for (int first = 0; first < size; first += pieceSlots) {
      int count = size - first < pieceSlots ? size - first : pieceSlots;
      const uint8_t* pieceCandidates = candidates.get() + first / 8;
      if (!bitmap_any(pieceCandidates, count)) continue;
      int readRc = sqlite3_blob_read(vectorsBlob.get(), pieceVectors.get(),
                                     (int)(count * vectorBytes), (int)(first * vectorBytes));
      if (readRc != SQLITE_OK) {
        vtab_set_error(&p->base, "vectors blob read error for %lld", chunkId);
        return jix0_failure_code(readRc);
      }
      knn_distances(*in.column, vectorBytes, in.query, pieceVectors.get(), (size_t)count,
                    pieceCandidates, chunkDistances.get() + first);
    }

    if (hasDistance) {
      for (int i = 0; i < in.argc; i++) {
        if (block_tag(in.idxStr, i) != JIX0_BLOCK_DISTANCE) continue;
        // A NULL bound is never satisfied, as in SQL.
        bool isNull = sqlite3_value_type(in.argv[i]) == SQLITE_NULL;
        float bound = (float)sqlite3_value_double(in.argv[i]);
        char op = block_char(in.idxStr, i, 1);
        for (int slot = 0; slot < size; slot++) {
          if (!bitmap_get(candidates.get(), slot)) continue;
          if (isNull || !bound_keeps(op, chunkDistances.get()[slot], bound)) {
            bitmap_set(candidates.get(), slot, 0);
          }
        }
      }
    }

    // Once the top k is full, only slots strictly before its last entry can enter it.
    const float* worst = topCount == k ? &topDistances.get()[k - 1] : nullptr;
    int selected = 0;
    min_idx_before(chunkDistances.get(), size, candidates.get(), chunkBest.get(), perChunk, worst,
                   &selected);
    if (selected == 0) continue;
    int readRc = chunk_rowids();
    if (readRc != SQLITE_OK) return readRc;
    int merged = 0;
    merge_sorted_lists(topDistances.get(), topRowids.get(), topCount, chunkDistances.get(),
                       chunkRowids.get(), chunkBest.get(), selected, mergeDistances.get(),
                       mergeRowids.get(), k, &merged);
    std::swap(topDistances, mergeDistances);
    std::swap(topRowids, mergeRowids);
    topCount = merged;
  }
  if (rc != SQLITE_DONE) {
    vtab_set_error(&p->base, "chunks iter error");
    return jix0_failure_code(rc);
  }
  *outRowids = topRowids.release();
  *outDistances = topDistances.release();
  *outCount = topCount;
  return SQLITE_OK;
}

// Which chunks an IVF search scans: every chunk of no list, and those of the `scanned`
// lists nearest the query. Exact() when that would be every list: then the search is the
// exact one, unchanged.
class IvfScan {
 public:
  int Plan(jix0_vtab* p, const void* query, sqlite3_int64 probes) {
    const IvfCentroids* c;
    int rc = jix0_ivf_current(p, &c);
    if (rc != SQLITE_OK) return rc;
    lists_ = c->lists;
    if (lists_ == 0) return SQLITE_OK;
    if (probes == 0) probes = jix0_ivf_default_probes(p, lists_);
    scanned_ = probes < lists_ ? (int)probes : lists_;
    if (Exact()) return SQLITE_OK;
    order_ = allocate<int>((sqlite3_uint64)lists_);
    if (!order_) return SQLITE_NOMEM;
    return jix0_ivf_order_lists(p, c, query, order_.get());
  }
  bool Exact() const { return scanned_ >= lists_; }
  void Widen() { scanned_ = scanned_ > lists_ / 2 ? lists_ : scanned_ * 2; }
  // The WHERE term selecting the chunks to scan, or null when memory runs out.
  SqlitePtr<char> Clause() const {
    StrBuilder s(nullptr);
    sqlite3_str_appendall(s.get(), "(list IS NULL OR list IN (");
    for (int i = 0; i < scanned_; i++) sqlite3_str_appendf(s.get(), i ? ",%d" : "%d", order_.get()[i]);
    sqlite3_str_appendall(s.get(), "))");
    return s.finish();
  }

 private:
  int lists_ = 0;
  int scanned_ = 0;
  SqlitePtr<int> order_;
};

}  // namespace

int jix0Filter_knn(jix0_cursor* cursor, jix0_vtab* p, int idxNum, const char* idxStr, int argc,
                   sqlite3_value** argv) {
  JIX_ASSERT(argc == (int)(strlen(idxStr) - 1) / 4);  // argc == (strlen(idxStr)-1) / 4
  KnnDataPtr knn((jix0_query_knn_data*)sqlite3_malloc(sizeof(jix0_query_knn_data)));
  if (!knn) return SQLITE_NOMEM;
  memset(knn.get(), 0, sizeof(*knn));

  int queryIdx = -1, kIdx = -1, offsetIdx = -1, rowidInIdx = -1, probesIdx = -1;
  for (int i = 0; i < argc; i++) {
    switch (block_tag(idxStr, i)) {
      case JIX0_BLOCK_PROBES:
        if (probesIdx < 0) probesIdx = i;
        break;
      case JIX0_BLOCK_QUERY:
        queryIdx = i;
        break;
      case JIX0_BLOCK_K:
        if (kIdx < 0) kIdx = i;
        break;
      case JIX0_BLOCK_OFFSET:
        offsetIdx = i;
        break;
      case JIX0_BLOCK_ROWID_IN:
        rowidInIdx = i;
        break;
    }
  }
  JIX_ASSERT(queryIdx >= 0);  // query_idx >= 0
  JIX_ASSERT(kIdx >= 0);      // k_idx >= 0
  JIX_ASSERT(idxNum >= 0 && idxNum < p->numVectorColumns);
  const VectorColumnDefinition& column = p->vector_columns[idxNum];

  QueryVector query;
  char* error = nullptr;
  int parseRc = vector_from_value(argv[queryIdx], &query.data, &query.dimensions,
                                  &query.elementType, &query.cleanup, &error);
  if (parseRc == SQLITE_NOMEM) {
    sqlite3_free(error);
    return SQLITE_NOMEM;
  }
  if (parseRc != SQLITE_OK) {
    vtab_set_error(&p->base, "Query vector on the \"%.*s\" column is invalid: %z",
                   column.name_length, column.name, error);
    return SQLITE_ERROR;
  }
  if (query.elementType != column.element_type) {
    vtab_set_error(&p->base,
                   "Query vector for the \"%.*s\" column is expected to be of type %s, but a %s "
                   "vector was provided.",
                   column.name_length, column.name, jix_type_name(column.element_type),
                   jix_type_name(query.elementType));
    return SQLITE_ERROR;
  }
  if (query.dimensions != column.dimensions) {
    vtab_set_error(&p->base,
                   "Dimension mismatch for query vector for the \"%.*s\" column. Expected %d "
                   "dimensions but received %d.",
                   column.name_length, column.name, (int)column.dimensions, (int)query.dimensions);
    return SQLITE_ERROR;
  }

  sqlite3_int64 k = sqlite3_value_int64(argv[kIdx]);
  for (int i = kIdx + 1; i < argc; i++) {
    if (block_tag(idxStr, i) != JIX0_BLOCK_K) continue;
    sqlite3_int64 other = sqlite3_value_int64(argv[i]);
    if (other != k) {
      vtab_set_error(&p->base,
                     "A jix0 KNN query takes a single k value, but k = %lld and k = %lld were "
                     "given: keep one 'k = ?' constraint",
                     k, other);
      return SQLITE_ERROR;
    }
  }
  if (offsetIdx >= 0 && k >= 0) {
    // LIMIT stands for k: the rows SQLite skips for the OFFSET come from the search too.
    sqlite3_int64 offset = sqlite3_value_int64(argv[offsetIdx]);
    if (offset > 0) k = offset > INT64_MAX - k ? INT64_MAX : k + offset;
  }
  if (k < 0) {
    vtab_set_error(&p->base, "k value in knn queries must be greater than or equal to 0.");
    return SQLITE_ERROR;
  }
  if (k > JIX0_MAX_K) {
    vtab_set_error(&p->base, "k value in knn query too large, provided %lld and the limit is %lld",
                   k, (sqlite3_int64)JIX0_MAX_K);
    return SQLITE_ERROR;
  }
  knn->k = k;

  sqlite3_int64 probes = 0;  // 0: the table's default
  if (probesIdx >= 0) {
    probes = sqlite3_value_int64(argv[probesIdx]);
    for (int i = probesIdx + 1; i < argc; i++) {
      if (block_tag(idxStr, i) != JIX0_BLOCK_PROBES) continue;
      sqlite3_int64 other = sqlite3_value_int64(argv[i]);
      if (other != probes) {
        vtab_set_error(&p->base,
                       "A jix0 KNN query takes a single probes value, but probes = %lld and "
                       "probes = %lld were given",
                       probes, other);
        return SQLITE_ERROR;
      }
    }
    if (probes < 1) {
      vtab_set_error(&p->base, "probes value in knn queries must be a positive integer, provided %lld",
                     probes);
      return SQLITE_ERROR;
    }
  }

  if (k > 0) {
    ArrayGuard rowidList;
    if (rowidInIdx >= 0) {
      int rc = gather_rowid_list(p, argv[rowidInIdx], &rowidList.array);
      if (rc != SQLITE_OK) return rc;
    }
    InListsGuard inLists(p);
    int rc = gather_metadata_in_lists(p, idxStr, argc, argv, &inLists.lists);
    if (rc != SQLITE_OK) return rc;

    IvfScan ivf;
    if (jix0_has_ivf(p) && idxNum == p->ivfVectorIdx) {
      rc = ivf.Plan(p, query.data, probes);
      if (rc != SQLITE_OK) return rc;
    }
    for (;;) {
      SqlitePtr<char> listClause;
      if (!ivf.Exact()) {
        listClause = ivf.Clause();
        if (!listClause) return SQLITE_NOMEM;
      }
      StmtPtr stmtChunks;
      rc = jix0_chunks_iter(p, idxStr, argc, argv, listClause.get(), &stmtChunks);
      if (rc != SQLITE_OK) return rc;

      ChunkLoopInput in{p,
                        stmtChunks.get(),
                        &column,
                        idxNum,
                        rowidInIdx >= 0 ? &rowidList.array : nullptr,
                        inLists.lists.data ? &inLists.lists : nullptr,
                        idxStr,
                        argc,
                        argv,
                        query.data,
                        (int)k};
      int count = 0;
      rc = jix0Filter_knn_chunks_iter(in, &knn->rowids, &knn->distances, &count);
      if (rc != SQLITE_OK) return rc;
      knn->k_used = count;
      // Fewer than k rows passed the filters in the lists scanned: widen to the next-nearest
      // lists, twice as many each time, until k rows are found or every list is scanned.
      if (count == k || ivf.Exact()) break;
      sqlite3_free(std::exchange(knn->rowids, nullptr));
      sqlite3_free(std::exchange(knn->distances, nullptr));
      ivf.Widen();
    }
  }
  knn->current_idx = 0;
  cursor->knn_data = knn.release();
  cursor->query_plan = JIX0_PLAN_KNN;
  return SQLITE_OK;
}
