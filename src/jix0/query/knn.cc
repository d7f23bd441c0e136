// KNN search over the chunks of one vector column.
#include "jix0/query/knn.h"

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "base/array.h"
#include "base/bitmap.h"
#include "base/handles.h"
#include "base/select.h"
#include "base/threads.h"
#include "jix0/index/ivf.h"
#include "jix0/query/metadata_filter.h"
#include "jix0/query/plan.h"
#include "jix0/query/row_key.h"
#include "jix0/storage/chunks.h"
#include "jix0/storage/shadow_tables.h"
#include "jix0/table/dimension_hint.h"
#include "jix0/table/result_codes.h"
#include "kernels/kernels.h"
#include "vector/vector.h"

namespace {

int compare_rowids(const void* a, const void* b) {
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

// One constraint block of the plan string: its xFilter argument, the partition or metadata
// column it names (0 for the others) and its operator character.
struct KnnFilter {
  int arg;
  int column;
  char op;
};

struct KnnFilterRange {
  const KnnFilter* first;
  int count;
  const KnnFilter* begin() const { return first; }
  const KnnFilter* end() const { return first + count; }
  bool empty() const { return count == 0; }
};

// The plan string of a KNN query, decoded once: where the query vector, k, the OFFSET and
// the rowid list are among the arguments, and the partition, metadata, distance and extra k
// blocks, each group in plan order.
struct KnnPlan {
  int queryArg = -1;
  int kArg = -1;
  int offsetArg = -1;
  int rowidInArg = -1;
  SqlitePtr<KnnFilter> filters;  // partitions, then metadata, then distances, then extra k
  int numPartitions = 0;
  int numMetadata = 0;
  int numDistances = 0;
  int numExtraK = 0;

  KnnFilterRange partitions() const { return {filters.get(), numPartitions}; }
  KnnFilterRange metadata() const { return {filters.get() + numPartitions, numMetadata}; }
  KnnFilterRange distances() const {
    return {filters.get() + numPartitions + numMetadata, numDistances};
  }
  KnnFilterRange extraK() const {
    return {filters.get() + numPartitions + numMetadata + numDistances, numExtraK};
  }
};

// Blocks are four characters after the plan character: a tag and up to three operands.
int decode_knn_plan(const jix0_vtab* p, const char* idxStr, int argc, KnnPlan* plan) {
  auto block = [idxStr](int i, int c) { return idxStr[1 + 4 * i + c]; };
  for (int i = 0; i < argc; i++) {
    switch (block(i, 0)) {
      case JIX0_BLOCK_PARTITION:
        plan->numPartitions++;
        break;
      case JIX0_BLOCK_METADATA:
        plan->numMetadata++;
        break;
      case JIX0_BLOCK_DISTANCE:
        plan->numDistances++;
        break;
      case JIX0_BLOCK_K:
        if (plan->kArg >= 0) plan->numExtraK++;
        if (plan->kArg < 0) plan->kArg = i;
        break;
    }
  }
  int numFilters = plan->numPartitions + plan->numMetadata + plan->numDistances + plan->numExtraK;
  plan->filters.reset((KnnFilter*)sqlite3_malloc64(sizeof(KnnFilter) * (numFilters + 1)));
  if (!plan->filters) return SQLITE_NOMEM;
  int nextPartition = 0, nextMetadata = plan->numPartitions;
  int nextDistance = nextMetadata + plan->numMetadata;
  int nextK = nextDistance + plan->numDistances;
  KnnFilter* filters = plan->filters.get();
  for (int i = 0; i < argc; i++) {
    switch (block(i, 0)) {
      case JIX0_BLOCK_QUERY:
        plan->queryArg = i;
        break;
      case JIX0_BLOCK_K:
        if (i != plan->kArg) filters[nextK++] = {i, 0, 0};
        break;
      case JIX0_BLOCK_OFFSET:
        plan->offsetArg = i;
        break;
      case JIX0_BLOCK_ROWID_IN:
        plan->rowidInArg = i;
        break;
      case JIX0_BLOCK_PARTITION:
        filters[nextPartition++] = {i, block(i, 1) - 'A', block(i, 2)};
        JIX_ASSERT(filters[nextPartition - 1].column >= 0 &&
                   filters[nextPartition - 1].column < p->numPartitionColumns);
        break;
      case JIX0_BLOCK_METADATA:
        filters[nextMetadata++] = {i, block(i, 1) - 'A', block(i, 2)};
        JIX_ASSERT(filters[nextMetadata - 1].column >= 0 &&
                   filters[nextMetadata - 1].column < p->numMetadataColumns);
        break;
      case JIX0_BLOCK_DISTANCE:
        filters[nextDistance++] = {i, 0, block(i, 1)};
        break;
    }
  }
  (void)p;
  JIX_ASSERT(plan->queryArg >= 0);
  JIX_ASSERT(plan->kArg >= 0);
  return SQLITE_OK;
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
  qsort(outRowids->data, outRowids->length, sizeof(sqlite3_int64), compare_rowids);
  return SQLITE_OK;
}

// One list per metadata IN filter. NULL members match nothing and are left out.
int gather_metadata_in_lists(jix0_vtab* p, const KnnPlan& plan, sqlite3_value** argv,
                             Array* lists) {
  for (const KnnFilter& filter : plan.metadata()) {
    if (filter.op != JIX0_OP_IN) continue;
    if (!lists->data) {
      int rc = array_init(lists, sizeof(jix0_metadata_in_list), 8);
      if (rc != SQLITE_OK) return rc;
    }
    int i = filter.arg;
    int metadataIdx = filter.column;
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
// whose partition values satisfy the partition filters, so partition keys prune whole chunks
// inside SQL. The rowids themselves are not selected: typeof() and length() leave a large
// value unread, and most chunks of a large table never need their rowids. An IN list becomes
// one parameter per member, so the chunks of every listed partition are scanned once, in
// chunk_id order, by one search. Sets the message on failure.
// listClause, when given, is one more WHERE term: the IVF lists to scan.
int prepare_chunks_statement(jix0_vtab* p, const KnnPlan& plan, sqlite3_value** argv,
                             const char* listClause, StmtPtr* outStmt) {
  StrBuilder s(p->db);
  sqlite3_str_appendf(
      s.get(),
      "select chunk_id, validity, typeof(rowids), length(rowids)  from \"%w\".\"%w_chunks\"",
      p->schemaName, p->tableName);
  int numClauses = 0;
  for (const KnnFilter& filter : plan.partitions()) {
    sqlite3_str_appendall(s.get(), numClauses++ == 0 ? " WHERE " : " AND ");
    const char* fragment;
    switch (filter.op) {
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
        sqlite3_str_appendf(s.get(), " partition%02d IN (", filter.column);
        sqlite3_value* value = nullptr;
        int n = 0;
        int rc;
        for (rc = sqlite3_vtab_in_first(argv[filter.arg], &value); rc == SQLITE_OK;
             rc = sqlite3_vtab_in_next(argv[filter.arg], &value)) {
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
    sqlite3_str_appendf(s.get(), fragment, filter.column);
  }
  if (listClause) {
    sqlite3_str_appendall(s.get(), numClauses++ == 0 ? " WHERE " : " AND ");
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
  for (const KnnFilter& filter : plan.partitions()) {
    if (filter.op != JIX0_OP_IN) {
      rc = sqlite3_bind_value(outStmt->get(), param++, argv[filter.arg]);
      if (rc != SQLITE_OK) return rc;
      continue;
    }
    sqlite3_value* value = nullptr;
    for (rc = sqlite3_vtab_in_first(argv[filter.arg], &value); rc == SQLITE_OK;
         rc = sqlite3_vtab_in_next(argv[filter.arg], &value)) {
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

// Bytes of vectors read and computed at a time: small enough that a piece is still in the
// core's own L2 cache when the kernel runs over it right after the read, large enough that
// the cost of a read call is spread over many vectors and the kernel gets full groups.
constexpr sqlite3_int64 kPieceBytes = 192 * 1024;

// A distance constraint, its value read once so that helper threads never touch a
// sqlite3_value.
struct DistanceBound {
  char op;
  bool isNull;  // a NULL bound is never satisfied, as in SQL
  float bound;
};

// Drops the candidates outside the distance bounds.
void apply_distance_bounds(const DistanceBound* bounds, int numBounds, const float* distances,
                           uint8_t* candidates, int size) {
  for (int i = 0; i < numBounds; i++) {
    const DistanceBound& b = bounds[i];
    for (int slot = 0; slot < size; slot++) {
      if (!bitmap_get(candidates, slot)) continue;
      if (b.isNull || !bound_keeps(b.op, distances[slot], b.bound)) bitmap_set(candidates, slot, 0);
    }
  }
}

struct KnnScan;
#if JIX_HAVE_THREADS
struct ScanHelpers;
struct ScanHelpersFree {
  void operator()(ScanHelpers* h) const;
};
using ScanHelpersPtr = std::unique_ptr<ScanHelpers, ScanHelpersFree>;
#endif

// A metadata filter with the handles it keeps from chunk to chunk.
struct MetadataScan {
  jix0_metadata_filter filter;
  BlobPtr blob;          // on the column's "data", opened at the first chunk
  StmtPtr longTextStmt;  // long-text lookups, prepared on first use
};

// One search's working state: the buffers for one chunk, the BLOB handles moved from chunk
// to chunk, and the running top k. The top k survives from one chunk statement to the next,
// so a search may scan several sets of chunks in turn.
struct KnnScan {
  jix0_vtab* p = nullptr;
  const KnnPlan* plan = nullptr;
  sqlite3_value** argv = nullptr;
  const VectorColumnDefinition* column = nullptr;
  int vectorIdx = 0;
  const Array* rowidList = nullptr;  // sorted; null without a rowid IN list
  const void* query = nullptr;
  int k = 0;

  int size = 0;  // slots per chunk
  int perChunk = 0;
  int pieceSlots = 0;
  sqlite3_int64 vectorBytes = 0;

  SqlitePtr<sqlite3_int64> topRowids, mergeRowids;
  SqlitePtr<float> topDistances, mergeDistances;
  int topCount = 0;

  SqlitePtr<uint8_t> pieceVectors;
  SqlitePtr<float> chunkDistances;
  SqlitePtr<sqlite3_int64> chunkRowids;
  SqlitePtr<int32_t> chunkBest;
  SqlitePtr<uint8_t> candidates, filterBitmap;
  // One chunk's metadata BLOB; TEXT entries, 16 bytes a slot, are the largest.
  SqlitePtr<uint8_t> metadataData;
  SqlitePtr<MetadataScan> metadata;  // one per metadata filter, in plan order
  int numMetadata = 0;

  SqlitePtr<DistanceBound> bounds;
  int numBounds = 0;

  BlobPtr vectorsBlob, rowidsBlob;

  // The chunk in hand.
  sqlite3_int64 chunkId = 0;
  const uint8_t* validity = nullptr;
  bool rowidsRead = false;

  // Helper threads: how many the connection allows (PRAGMA threads), and the vector bytes
  // computed on this thread so far, which decide when they start.
  int maxHelpers = 0;
  sqlite3_int64 bytesComputed = 0;
#if JIX_HAVE_THREADS
  // Last member: destroyed first, so its threads are joined before any buffer they use goes.
  ScanHelpersPtr helpers;
#endif

  KnnScan() = default;
  KnnScan(const KnnScan&) = delete;
  KnnScan& operator=(const KnnScan&) = delete;
  ~KnnScan() {
#if JIX_HAVE_THREADS
    helpers.reset();
#endif
    for (int i = 0; i < numMetadata; i++) metadata.get()[i].~MetadataScan();
  }
};

// Sizes the buffers for the table's chunk size and k, and sets up one handle slot per
// metadata filter. inLists holds the gathered IN lists (may be empty).
int knn_scan_init(KnnScan* s, const Array* inLists) {
  jix0_vtab* p = s->p;
  s->size = p->chunk_size;
  s->perChunk = s->k < s->size ? s->k : s->size;
  s->vectorBytes = (sqlite3_int64)vector_column_byte_size(*s->column);
  // Slots per piece: a multiple of 8, so that a piece starts on a byte of the bitmaps.
  int pieceSlots = s->vectorBytes > 0 ? (int)(kPieceBytes / s->vectorBytes) / 8 * 8 : s->size;
  if (pieceSlots < 8) pieceSlots = 8;
  if (pieceSlots > s->size) pieceSlots = s->size;
  s->pieceSlots = pieceSlots;

  s->topRowids = allocate<sqlite3_int64>(s->k);
  s->topDistances = allocate<float>(s->k);
  s->mergeRowids = allocate<sqlite3_int64>(s->k);
  s->mergeDistances = allocate<float>(s->k);
  s->pieceVectors = allocate<uint8_t>((sqlite3_uint64)pieceSlots * s->vectorBytes);
  s->chunkDistances = allocate<float>(s->size);
  s->chunkRowids = allocate<sqlite3_int64>(s->size);
  s->chunkBest = allocate<int32_t>(s->perChunk);
  s->candidates.reset(bitmap_new(s->size));
  s->filterBitmap.reset(bitmap_new(s->size));
  s->metadataData = allocate<uint8_t>((sqlite3_uint64)s->size * JIX0_METADATA_TEXT_ENTRY);
  s->metadata = allocate<MetadataScan>(s->plan->numMetadata);
  s->bounds = allocate<DistanceBound>(s->plan->numDistances);
  if (!s->bounds || !s->topRowids || !s->topDistances || !s->mergeRowids || !s->mergeDistances ||
      !s->pieceVectors || !s->chunkDistances || !s->chunkRowids || !s->chunkBest ||
      !s->candidates || !s->filterBitmap || !s->metadataData || !s->metadata) {
    return SQLITE_NOMEM;
  }
  // The selection reads the distances of whole bytes of slots, candidates or not.
  memset(s->chunkDistances.get(), 0, (size_t)s->size * sizeof(float));

  for (const KnnFilter& filter : s->plan->distances()) {
    sqlite3_value* value = s->argv[filter.arg];
    s->bounds.get()[s->numBounds++] = {filter.op, sqlite3_value_type(value) == SQLITE_NULL,
                                       (float)sqlite3_value_double(value)};
  }
  for (const KnnFilter& filter : s->plan->metadata()) {
    const jix0_metadata_in_list* inList =
        filter.op == JIX0_OP_IN ? jix0_find_metadata_in_list(inLists, filter.arg) : nullptr;
    new (&s->metadata.get()[s->numMetadata++])
        MetadataScan{{filter.column, filter.op, s->argv[filter.arg], inList}, {}, {}};
  }
  return SQLITE_OK;
}

// Checks the chunk statement's row: validity and rowids must be BLOBs of the chunk size.
int knn_scan_check_chunk(KnnScan* s, sqlite3_stmt* stmtChunks) {
  jix0_vtab* p = s->p;
  s->chunkId = sqlite3_column_int64(stmtChunks, 0);
  s->rowidsRead = false;
  // Any other value would be read through its text form: garbage bits of the right size.
  const char* rowidsType = (const char*)sqlite3_column_text(stmtChunks, 2);
  if (sqlite3_column_type(stmtChunks, 1) != SQLITE_BLOB || !rowidsType ||
      strcmp(rowidsType, "blob") != 0) {
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": validity or rowids of chunk %lld is not a BLOB",
                   s->chunkId);
    return SQLITE_ERROR;
  }
  s->validity = (const uint8_t*)sqlite3_column_blob(stmtChunks, 1);
  int validityBytes = sqlite3_column_bytes(stmtChunks, 1);
  if (validityBytes != s->size / 8) {
    vtab_set_error(&p->base, "chunk validity size doesn't match - expected %lld, found %lld",
                   (sqlite3_int64)(s->size / 8), (sqlite3_int64)validityBytes);
    return SQLITE_ERROR;
  }
  sqlite3_int64 rowidsBytes = sqlite3_column_int64(stmtChunks, 3);
  if (rowidsBytes != s->size * 8) {
    vtab_set_error(&p->base, "chunk rowids size doesn't match - expected %lld, found %lld",
                   (sqlite3_int64)s->size * 8, rowidsBytes);
    return SQLITE_ERROR;
  }
  if (!s->validity) return SQLITE_NOMEM;  // a zeroblob could not be expanded
  return SQLITE_OK;
}

// The chunk's rowids, read only when a filter or the merge needs them: most chunks of a large
// table add nothing to the top k.
int knn_scan_chunk_rowids(KnnScan* s) {
  if (s->rowidsRead) return SQLITE_OK;
  int rc = read_chunk_rowids(s->p, &s->rowidsBlob, s->chunkId, s->size, s->chunkRowids.get());
  s->rowidsRead = rc == SQLITE_OK;
  return rc;
}

// Moves the vectors handle to the chunk (one handle from chunk to chunk: far cheaper than
// closing and opening) and checks the BLOB's size.
int knn_scan_open_vectors(KnnScan* s) {
  jix0_vtab* p = s->p;
  int rc;
  if (!s->vectorsBlob) {
    sqlite3_blob* blob = nullptr;
    rc = sqlite3_blob_open(p->db, p->schemaName, p->shadowVectorChunksNames[s->vectorIdx],
                           "vectors", s->chunkId, 0, &blob);
    s->vectorsBlob.reset(blob);
  } else {
    rc = sqlite3_blob_reopen(s->vectorsBlob.get(), s->chunkId);
  }
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, "could not open vectors blob for chunk %lld", s->chunkId);
    return jix0_failure_code(rc);
  }
  int vectorsSize = sqlite3_blob_bytes(s->vectorsBlob.get());
  if (vectorsSize != s->size * s->vectorBytes) {
    vtab_set_error(&p->base, "vectors blob size doesn't match - expected %lld, found %lld",
                   s->size * s->vectorBytes, (sqlite3_int64)vectorsSize);
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

// Narrows the candidates to the slots whose rowid is in the rowid IN list.
int knn_scan_filter_rowids(KnnScan* s) {
  int rc = knn_scan_chunk_rowids(s);
  if (rc != SQLITE_OK) return rc;
  const sqlite3_int64* slotRowids = s->chunkRowids.get();
  uint8_t* keep = s->filterBitmap.get();
  bitmap_clear(keep, s->size);
  for (int slot = 0; slot < s->size; slot++) {
    if (!bitmap_get(s->validity, slot)) continue;
    bool found = bsearch(&slotRowids[slot], s->rowidList->data, s->rowidList->length,
                         sizeof(sqlite3_int64), compare_rowids) != nullptr;
    bitmap_set(keep, slot, found);
  }
  bitmap_and_inplace(s->candidates.get(), keep, s->size);
  return SQLITE_OK;
}

// Narrows the candidates by every metadata filter.
int knn_scan_filter_metadata(KnnScan* s) {
  jix0_vtab* p = s->p;
  for (int i = 0; i < s->numMetadata; i++) {
    MetadataScan& m = s->metadata.get()[i];
    int metadataIdx = m.filter.metadata_index;
    if (!m.blob) {
      sqlite3_blob* blob = nullptr;
      int rc = sqlite3_blob_open(p->db, p->schemaName, p->shadowMetadataChunksNames[metadataIdx],
                                 "data", s->chunkId, 0, &blob);
      m.blob.reset(blob);
      if (rc != SQLITE_OK) {
        vtab_set_error(&p->base, "Could not open metadata blob");
        return rc;
      }
    }
    // Only TEXT filters need the rowids: long texts are looked up by rowid.
    const uint8_t* slotRowids = nullptr;
    if (p->metadata_columns[metadataIdx].kind == JIX0_METADATA_TEXT) {
      int rc = knn_scan_chunk_rowids(s);
      if (rc != SQLITE_OK) return rc;
      slotRowids = (const uint8_t*)s->chunkRowids.get();
    }
    bitmap_clear(s->filterBitmap.get(), s->size);
    sqlite3_stmt* longTextStmt = m.longTextStmt.release();
    int rc = jix0_set_metadata_filter_bitmap(
        p, m.filter, m.blob.get(), &longTextStmt,
        jix0_metadata_chunk{s->chunkId, s->size, slotRowids, s->metadataData.get()},
        s->filterBitmap.get());
    m.longTextStmt.reset(longTextStmt);
    if (rc != SQLITE_OK) {
      vtab_set_error(&p->base, "Could not filter metadata fields");
      return rc;
    }
    bitmap_and_inplace(s->candidates.get(), s->filterBitmap.get(), s->size);
  }
  return SQLITE_OK;
}

// The candidates' distances, piece by piece, each computed on while it is still in cache; a
// piece without candidates is not read at all.
int knn_scan_distances(KnnScan* s) {
  for (int first = 0; first < s->size; first += s->pieceSlots) {
    int count = s->size - first < s->pieceSlots ? s->size - first : s->pieceSlots;
    const uint8_t* pieceCandidates = s->candidates.get() + first / 8;
    if (!bitmap_any(pieceCandidates, count)) continue;
    int rc = sqlite3_blob_read(s->vectorsBlob.get(), s->pieceVectors.get(),
                               (int)(count * s->vectorBytes), (int)(first * s->vectorBytes));
    if (rc != SQLITE_OK) {
      vtab_set_error(&s->p->base, "vectors blob read error for %lld", s->chunkId);
      return jix0_failure_code(rc);
    }
    knn_distances(*s->column, s->vectorBytes, s->query, s->pieceVectors.get(), (size_t)count,
                  pieceCandidates, s->chunkDistances.get() + first);
    s->bytesComputed += count * s->vectorBytes;
  }
  return SQLITE_OK;
}

// Merges the selected slots of chunk chunkId (distances, best) into the top k.
int knn_scan_merge(KnnScan* s, sqlite3_int64 chunkId, const float* distances, const int32_t* best,
                   int selected) {
  if (selected == 0) return SQLITE_OK;
  int rc = chunkId == s->chunkId
               ? knn_scan_chunk_rowids(s)
               : read_chunk_rowids(s->p, &s->rowidsBlob, chunkId, s->size, s->chunkRowids.get());
  if (rc != SQLITE_OK) return rc;
  // The rowids in hand now belong to chunkId.
  s->rowidsRead = chunkId == s->chunkId;
  int merged = 0;
  merge_sorted_lists(s->topDistances.get(), s->topRowids.get(), s->topCount, distances,
                     s->chunkRowids.get(), best, selected, s->mergeDistances.get(),
                     s->mergeRowids.get(), s->k, &merged);
  std::swap(s->topDistances, s->mergeDistances);
  std::swap(s->topRowids, s->mergeRowids);
  s->topCount = merged;
  return SQLITE_OK;
}

// Picks the chunk's best candidates and merges them into the top k.
int knn_scan_select(KnnScan* s) {
  // Once the top k is full, only slots strictly before its last entry can enter it.
  const float* worst = s->topCount == s->k ? &s->topDistances.get()[s->k - 1] : nullptr;
  int selected = 0;
  min_idx_before(s->chunkDistances.get(), s->size, s->candidates.get(), s->chunkBest.get(),
                 s->perChunk, worst, &selected);
  return knn_scan_merge(s, s->chunkId, s->chunkDistances.get(), s->chunkBest.get(), selected);
}

// Reads the chunk in hand and narrows its candidates by the filters, on bitmaps, so that no
// vector is read for a slot they rule out.
int knn_scan_filter_chunk(KnnScan* s, sqlite3_stmt* stmtChunks) {
  int rc = knn_scan_check_chunk(s, stmtChunks);
  if (rc == SQLITE_OK) rc = knn_scan_open_vectors(s);
  if (rc != SQLITE_OK) return rc;
  bitmap_copy(s->candidates.get(), s->validity, s->size);
  if (s->rowidList) rc = knn_scan_filter_rowids(s);
  if (rc == SQLITE_OK && s->numMetadata > 0) rc = knn_scan_filter_metadata(s);
  return rc;
}

// Scans one chunk of the statement into the top k.
int knn_scan_chunk(KnnScan* s, sqlite3_stmt* stmtChunks) {
  int rc = knn_scan_filter_chunk(s, stmtChunks);
  if (rc == SQLITE_OK) rc = knn_scan_distances(s);
  if (rc != SQLITE_OK) return rc;
  apply_distance_bounds(s->bounds.get(), s->numBounds, s->chunkDistances.get(), s->candidates.get(),
                        s->size);
  return knn_scan_select(s);
}

#if JIX_HAVE_THREADS
// With PRAGMA threads = N > 0 the connection's thread keeps reading the vectors, piece by
// piece, into a ring of buffers, while up to N helper threads compute the pieces' distances;
// whoever computes a chunk's last piece also applies the distance bounds and picks the
// chunk's best slots. The connection's thread alone touches SQLite: it reads the rowids and
// merges the chunks into the top k, in chunk order, so the answer is the one of a scan
// without helpers, ties included. A helper's selection may see an older top k than the
// scan without helpers would: its bound is then looser, it keeps slots that merge away, and
// the merge still gives the same answer. When the connection's thread has to wait for a
// buffer or a chunk it computes a piece itself, so the scan finishes even if no helper could
// be started.

// Helpers start only once a scan has computed this many vector bytes on its own: below it,
// starting threads costs more than they could save.
constexpr sqlite3_int64 kHelpersAfterBytes = 1024 * 1024;
constexpr int kMaxHelpers = 16;
// Checks of a condition before a thread sleeps: pieces arrive every few microseconds, and
// waking a sleeping thread costs about as much. Past the first checks the thread yields its
// core between them, in case the thread it waits for needs it.
constexpr int kSpins = 2000;
constexpr int kSpinsBeforeYield = 500;

// A piece of a chunk in one buffer of the ring.
struct ScanPiece {
  uint8_t* vectors;
  int chunk;  // index in the chunk ring
  int first;  // first slot
  int count;
  std::atomic<uint64_t> done{0};  // 1 + the last piece number computed in this buffer
};

// A chunk whose pieces are being computed.
struct ScanChunk {
  sqlite3_int64 chunkId;
  float* distances;
  uint8_t* candidates;
  int32_t* best;
  int selected;
  std::atomic<int> pending{0};     // pieces not computed yet
  std::atomic<bool> ready{false};  // the selection is made
};

struct ScanHelpers {
  KnnScan* s = nullptr;
  int numBuffers = 0, numChunks = 0;
  SqlitePtr<uint8_t> memory;  // buffers, then the chunks' distances, candidates and best
  SqlitePtr<ScanPiece> pieces;
  SqlitePtr<ScanChunk> chunks;
  uint64_t nextPiece = 0;                 // the connection's thread only
  uint64_t chunkHead = 0, chunkTail = 0;  // chunks [head, tail) are in flight; likewise
  std::atomic<uint64_t> published{0};     // pieces handed out
  std::atomic<uint64_t> claimed{0};       // pieces taken by a thread
  std::atomic<uint64_t> progress{0};      // pieces computed
  // The top k's last distance once it is full: bit 32 set, the float's bits below.
  std::atomic<uint64_t> worst{0};
  std::atomic<bool> stop{false};
  std::atomic<int> sleepers{0};
  std::atomic<bool> ownerSleeping{false};
  Mutex mutex;
  CondVar work, moved;
  ThreadHandle threads[kMaxHelpers];
  int numThreads = 0;

  ~ScanHelpers() {
    stop.store(true);
    {
      MutexLock lock(mutex);
      work.notify_all();
    }
    for (int i = 0; i < numThreads; i++) thread_join(threads[i]);
  }
};

void ScanHelpersFree::operator()(ScanHelpers* h) const {
  h->~ScanHelpers();
  sqlite3_free(h);
}

void spin_wait(int spin) {
  if (spin < kSpinsBeforeYield) {
    spin_pause();
  } else {
    thread_yield();
  }
}

bool claim_piece(ScanHelpers* h, uint64_t* outPiece) {
  uint64_t c = h->claimed.load();
  while (c < h->published.load()) {
    if (h->claimed.compare_exchange_weak(c, c + 1)) {
      *outPiece = c;
      return true;
    }
  }
  return false;
}

// The distance bounds and the chunk's best slots, once all its distances are in.
void select_chunk(ScanHelpers* h, ScanChunk* c) {
  const KnnScan* s = h->s;
  apply_distance_bounds(s->bounds.get(), s->numBounds, c->distances, c->candidates, s->size);
  uint64_t worst = h->worst.load();
  float bound = std::bit_cast<float>((uint32_t)worst);
  int selected = 0;
  min_idx_before(c->distances, s->size, c->candidates, c->best, s->perChunk,
                 worst >> 32 ? &bound : nullptr, &selected);
  c->selected = selected;
  c->ready.store(true);
}

void compute_piece(ScanHelpers* h, uint64_t number) {
  const KnnScan* s = h->s;
  ScanPiece* piece = &h->pieces.get()[number % h->numBuffers];
  ScanChunk* c = &h->chunks.get()[piece->chunk];
  knn_distances(*s->column, s->vectorBytes, s->query, piece->vectors, (size_t)piece->count,
                c->candidates + piece->first / 8, c->distances + piece->first);
  piece->done.store(number + 1);
  if (c->pending.fetch_sub(1) == 1) select_chunk(h, c);
  h->progress.fetch_add(1);
  if (h->ownerSleeping.load()) {
    MutexLock lock(h->mutex);
    h->moved.notify_one();
  }
}

void* helper_main(void* arg) {
  ScanHelpers* h = (ScanHelpers*)arg;
  for (;;) {
    uint64_t number;
    bool found = false;
    for (int spin = 0; spin < kSpins && !(found = claim_piece(h, &number)); spin++) {
      if (h->stop.load()) return nullptr;
      spin_wait(spin);
    }
    if (!found) {
      MutexLock lock(h->mutex);
      h->sleepers.fetch_add(1);
      while (!h->stop.load() && h->claimed.load() >= h->published.load()) h->work.wait(h->mutex);
      h->sleepers.fetch_sub(1);
      continue;
    }
    if (h->stop.load()) return nullptr;
    compute_piece(h, number);
  }
}

// Sets up the ring and starts up to s->maxHelpers threads; fewer when the system refuses
// more, none at all included.
int start_helpers(KnnScan* s) {
  ScanHelpers* raw = (ScanHelpers*)sqlite3_malloc64(sizeof(ScanHelpers));
  if (!raw) return SQLITE_NOMEM;
  ScanHelpersPtr h(new (raw) ScanHelpers);
  h->s = s;
  int helpers = s->maxHelpers < kMaxHelpers ? s->maxHelpers : kMaxHelpers;
  // Two buffers for each helper and a few more, so that the reading goes on while a helper
  // the system has paused holds one; a chunk for each buffer and the one being filtered.
  h->numBuffers = 2 * helpers + 4;
  h->numChunks = h->numBuffers + 1;
  sqlite3_uint64 bufferBytes = (sqlite3_uint64)s->pieceSlots * s->vectorBytes;
  // A chunk's distances, then its best slots, then its candidates: each part aligned for
  // its type, and each chunk rounded up to 8 bytes (the buffers are a multiple of 8 slots).
  sqlite3_uint64 chunkBytes = (sqlite3_uint64)s->size * sizeof(float) +
                              (sqlite3_uint64)s->perChunk * sizeof(int32_t) + s->size / 8;
  chunkBytes = (chunkBytes + 7) / 8 * 8;
  h->memory = allocate<uint8_t>(bufferBytes * h->numBuffers + chunkBytes * h->numChunks);
  h->pieces = allocate<ScanPiece>(h->numBuffers);
  h->chunks = allocate<ScanChunk>(h->numChunks);
  if (!h->memory || !h->pieces || !h->chunks) return SQLITE_NOMEM;
  // The selection reads the distances of whole bytes of slots, candidates or not.
  memset(h->memory.get(), 0, bufferBytes * h->numBuffers + chunkBytes * h->numChunks);
  for (int i = 0; i < h->numBuffers; i++) {
    new (&h->pieces.get()[i]) ScanPiece{h->memory.get() + bufferBytes * i, 0, 0, 0};
  }
  uint8_t* next = h->memory.get() + bufferBytes * h->numBuffers;
  for (int i = 0; i < h->numChunks; i++, next += chunkBytes) {
    float* distances = (float*)next;
    int32_t* best = (int32_t*)(next + (size_t)s->size * sizeof(float));
    uint8_t* candidates = (uint8_t*)(best + s->perChunk);
    new (&h->chunks.get()[i]) ScanChunk{0, distances, candidates, best, 0};
  }
  for (int i = 0; i < helpers; i++) {
    if (!thread_start(&h->threads[h->numThreads], helper_main, h.get())) break;
    h->numThreads++;
  }
  if (s->topCount == s->k) {
    h->worst.store(1ull << 32 | std::bit_cast<uint32_t>(s->topDistances.get()[s->k - 1]));
  }
  s->helpers = std::move(h);
  return SQLITE_OK;
}

// Merges the oldest chunk in flight, once its selection is made, and publishes the new worst
// distance for the helpers' selections.
int merge_oldest(KnnScan* s) {
  ScanHelpers* h = s->helpers.get();
  ScanChunk* c = &h->chunks.get()[h->chunkHead % h->numChunks];
  int rc = knn_scan_merge(s, c->chunkId, c->distances, c->best, c->selected);
  if (rc != SQLITE_OK) return rc;
  h->chunkHead++;
  if (s->topCount == s->k) {
    h->worst.store(1ull << 32 | std::bit_cast<uint32_t>(s->topDistances.get()[s->k - 1]));
  }
  return SQLITE_OK;
}

// Waits until done() holds, making progress meanwhile: merges the oldest chunk once it is
// ready, else computes a piece nobody took, else waits for a helper to finish one.
template <typename Done>
int wait_for_helpers(KnnScan* s, Done done) {
  ScanHelpers* h = s->helpers.get();
  for (;;) {
    // Read before the checks: any piece finished after them moves it.
    uint64_t seen = h->progress.load();
    if (done()) return SQLITE_OK;
    if (h->chunkHead < h->chunkTail && h->chunks.get()[h->chunkHead % h->numChunks].ready.load()) {
      int rc = merge_oldest(s);
      if (rc != SQLITE_OK) return rc;
      continue;
    }
    uint64_t number;
    if (claim_piece(h, &number)) {
      compute_piece(h, number);
      continue;
    }
    bool moved = false;
    for (int spin = 0; spin < kSpins && !moved; spin++) {
      spin_wait(spin);
      moved = h->progress.load() != seen;
    }
    if (moved) continue;
    MutexLock lock(h->mutex);
    h->ownerSleeping.store(true);
    while (h->progress.load() == seen) h->moved.wait(h->mutex);
    h->ownerSleeping.store(false);
  }
}

// Merges every chunk still in flight.
int drain_helpers(KnnScan* s) {
  ScanHelpers* h = s->helpers.get();
  return wait_for_helpers(s, [h] { return h->chunkHead == h->chunkTail; });
}

// The chunk in hand, its pieces read here and computed by whichever thread is free.
int knn_scan_chunk_threaded(KnnScan* s, sqlite3_stmt* stmtChunks) {
  ScanHelpers* h = s->helpers.get();
  int rc =
      wait_for_helpers(s, [h] { return h->chunkTail - h->chunkHead < (uint64_t)h->numChunks; });
  if (rc == SQLITE_OK) rc = knn_scan_filter_chunk(s, stmtChunks);
  if (rc != SQLITE_OK) return rc;
  int numPieces = 0;
  for (int first = 0; first < s->size; first += s->pieceSlots) {
    int count = s->size - first < s->pieceSlots ? s->size - first : s->pieceSlots;
    numPieces += bitmap_any(s->candidates.get() + first / 8, count);
  }
  if (numPieces == 0) return SQLITE_OK;  // no candidate: nothing to merge
  int chunkIndex = (int)(h->chunkTail % h->numChunks);
  ScanChunk* c = &h->chunks.get()[chunkIndex];
  c->chunkId = s->chunkId;
  bitmap_copy(c->candidates, s->candidates.get(), s->size);
  c->selected = 0;
  c->ready.store(false);
  c->pending.store(numPieces);
  h->chunkTail++;
  for (int first = 0; first < s->size; first += s->pieceSlots) {
    int count = s->size - first < s->pieceSlots ? s->size - first : s->pieceSlots;
    if (!bitmap_any(c->candidates + first / 8, count)) continue;
    uint64_t number = h->nextPiece;
    ScanPiece* piece = &h->pieces.get()[number % h->numBuffers];
    rc = wait_for_helpers(s, [h, piece, number] {
      return number < (uint64_t)h->numBuffers || piece->done.load() > number - h->numBuffers;
    });
    if (rc == SQLITE_OK) {
      rc = sqlite3_blob_read(s->vectorsBlob.get(), piece->vectors, (int)(count * s->vectorBytes),
                             (int)(first * s->vectorBytes));
      if (rc != SQLITE_OK) {
        vtab_set_error(&s->p->base, "vectors blob read error for %lld", s->chunkId);
        return jix0_failure_code(rc);
      }
    }
    if (rc != SQLITE_OK) return rc;
    piece->chunk = chunkIndex;
    piece->first = first;
    piece->count = count;
    h->nextPiece = number + 1;
    h->published.store(number + 1);
    if (h->sleepers.load() > 0) {
      MutexLock lock(h->mutex);
      h->work.notify_one();
    }
  }
  // Merge what is ready, so that the helpers select against a recent top k.
  while (h->chunkHead < h->chunkTail && h->chunks.get()[h->chunkHead % h->numChunks].ready.load()) {
    rc = merge_oldest(s);
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}
#endif

// Scans every chunk of the statement into the top k.
int knn_scan_chunks(KnnScan* s, sqlite3_stmt* stmtChunks) {
  int rc;
  while ((rc = sqlite3_step(stmtChunks)) == SQLITE_ROW) {
#if JIX_HAVE_THREADS
    if (!s->helpers && s->maxHelpers > 0 && s->bytesComputed >= kHelpersAfterBytes) {
      int startRc = start_helpers(s);
      if (startRc != SQLITE_OK) return startRc;
    }
    if (s->helpers) {
      int chunkRc = knn_scan_chunk_threaded(s, stmtChunks);
      if (chunkRc != SQLITE_OK) return chunkRc;
      continue;
    }
#endif
    int chunkRc = knn_scan_chunk(s, stmtChunks);
    if (chunkRc != SQLITE_OK) return chunkRc;
  }
  if (rc != SQLITE_DONE) {
    vtab_set_error(&s->p->base, "chunks iter error");
    return jix0_failure_code(rc);
  }
#if JIX_HAVE_THREADS
  if (s->helpers) return drain_helpers(s);
#endif
  return SQLITE_OK;
}

}  // namespace

namespace {

// Parses the query vector and checks it against the column. Sets the message on failure.
int read_query_vector(jix0_vtab* p, const VectorColumnDefinition& column, sqlite3_value* value,
                      QueryVector* query) {
  char* error = nullptr;
  int rc = vector_from_value(value, &query->data, &query->dimensions, &query->elementType,
                             &query->cleanup, &error);
  if (rc == SQLITE_NOMEM) {
    sqlite3_free(error);
    return SQLITE_NOMEM;
  }
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, "Query vector on the \"%.*s\" column is invalid: %z",
                   column.name_length, column.name, error);
    return SQLITE_ERROR;
  }
  if (query->elementType != column.element_type) {
    vtab_set_error(&p->base,
                   "Query vector for the \"%.*s\" column is expected to be of type %s, but a %s "
                   "vector was provided.",
                   column.name_length, column.name, jix_type_name(column.element_type),
                   jix_type_name(query->elementType));
    return SQLITE_ERROR;
  }
  if (query->dimensions != column.dimensions) {
    vtab_set_error(&p->base,
                   "Dimension mismatch for query vector for the \"%.*s\" column. Expected %d "
                   "dimensions but received %d.%s",
                   column.name_length, column.name, (int)column.dimensions, (int)query->dimensions,
                   jix0_float64_hint(column, value, query->dimensions));
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

// The number of rows the search must find: k, plus the OFFSET when a LIMIT stands for k.
// Sets the message on failure.
int read_k(jix0_vtab* p, const KnnPlan& plan, sqlite3_value** argv, sqlite3_int64* outK) {
  sqlite3_int64 k = sqlite3_value_int64(argv[plan.kArg]);
  for (const KnnFilter& extra : plan.extraK()) {
    sqlite3_int64 other = sqlite3_value_int64(argv[extra.arg]);
    if (other != k) {
      vtab_set_error(&p->base,
                     "A jix0 KNN query takes a single k value, but k = %lld and k = %lld were "
                     "given: keep one 'k = ?' constraint",
                     k, other);
      return SQLITE_ERROR;
    }
  }
  if (plan.offsetArg >= 0 && k >= 0) {
    // LIMIT stands for k: the rows SQLite skips for the OFFSET come from the search too.
    sqlite3_int64 offset = sqlite3_value_int64(argv[plan.offsetArg]);
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
  *outK = k;
  return SQLITE_OK;
}

// The `probes = ?` value of the query, 0 when it gives none. Sets the message on failure.
int read_probes(jix0_vtab* p, const char* idxStr, int argc, sqlite3_value** argv,
                sqlite3_int64* outProbes) {
  *outProbes = 0;
  int first = -1;
  for (int i = 0; i < argc; i++) {
    if (idxStr[1 + 4 * i] != JIX0_BLOCK_PROBES) continue;
    sqlite3_int64 value = sqlite3_value_int64(argv[i]);
    if (first < 0) {
      first = i;
      *outProbes = value;
    } else if (value != *outProbes) {
      vtab_set_error(&p->base,
                     "A jix0 KNN query takes a single probes value, but probes = %lld and probes "
                     "= %lld were given",
                     *outProbes, value);
      return SQLITE_ERROR;
    }
  }
  if (first >= 0 && *outProbes < 1) {
    vtab_set_error(&p->base,
                   "probes value in knn queries must be a positive integer, provided %lld",
                   *outProbes);
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

// Which chunks an IVF search scans: every chunk of no list, and those of the `probes` lists
// nearest the query; when fewer than k rows pass the filters there, the next-nearest lists,
// twice as many each time, until k rows are found or every list is scanned. Exact() when the
// first scan would cover every list: then the search is the exact one, unchanged.
class IvfScan {
 public:
  int Plan(jix0_vtab* p, const void* query, sqlite3_int64 probes) {
    const IvfCentroids* c;
    int rc = jix0_ivf_current(p, &c);
    if (rc != SQLITE_OK) return rc;
    lists_ = c->lists;
    if (lists_ == 0) return SQLITE_OK;
    if (probes == 0) probes = jix0_ivf_default_probes(p, lists_);
    end_ = probes < lists_ ? (int)probes : lists_;
    if (Exact()) return SQLITE_OK;
    order_ = allocate<int>((sqlite3_uint64)lists_);
    if (!order_) return SQLITE_NOMEM;
    return jix0_ivf_order_lists(p, c, query, order_.get());
  }
  bool Exact() const { return lists_ == 0 || (begin_ == 0 && end_ >= lists_); }
  bool Done() const { return end_ >= lists_; }
  // The WHERE term selecting the chunks of the current batch, or null when memory runs out.
  SqlitePtr<char> Clause() const {
    StrBuilder s(nullptr);
    // The first batch also takes chunks of no list, and chunks whose list is no list number
    // (damage): those are searched on every query rather than never.
    if (begin_ == 0) {
      sqlite3_str_appendf(s.get(), "(list IS NULL OR list < 0 OR list > %d OR list IN (",
                          lists_ - 1);
    } else {
      sqlite3_str_appendall(s.get(), "(list IN (");
    }
    for (int i = begin_; i < end_; i++) {
      sqlite3_str_appendf(s.get(), i > begin_ ? ",%d" : "%d", order_.get()[i]);
    }
    sqlite3_str_appendall(s.get(), "))");
    return s.finish();
  }
  void Widen() {
    int size = end_ - begin_ > 0 ? 2 * (end_ - begin_) : 1;
    begin_ = end_;
    end_ = size > lists_ - end_ ? lists_ : end_ + size;
  }

 private:
  int lists_ = 0;
  int begin_ = 0, end_ = 0;  // the batch: order_[begin_ .. end_)
  SqlitePtr<int> order_;
};

// The k nearest rows into knn (k > 0).
int search(jix0_vtab* p, int vectorIdx, const KnnPlan& plan, sqlite3_value** argv,
           const void* query, sqlite3_int64 probes, jix0_query_knn_data* knn) {
  ArrayGuard rowidList;
  if (plan.rowidInArg >= 0) {
    int rc = gather_rowid_list(p, argv[plan.rowidInArg], &rowidList.array);
    if (rc != SQLITE_OK) return rc;
  }
  InListsGuard inLists(p);
  int rc = gather_metadata_in_lists(p, plan, argv, &inLists.lists);
  if (rc != SQLITE_OK) return rc;

  IvfScan ivf;
  if (jix0_has_ivf(p) && vectorIdx == p->ivfVectorIdx) {
    rc = ivf.Plan(p, query, probes);
    if (rc != SQLITE_OK) return rc;
  }

  KnnScan scan;
  scan.p = p;
  scan.plan = &plan;
  scan.argv = argv;
  scan.column = &p->vector_columns[vectorIdx];
  scan.vectorIdx = vectorIdx;
  scan.rowidList = plan.rowidInArg >= 0 ? &rowidList.array : nullptr;
  scan.query = query;
  scan.k = (int)knn->k;
  scan.maxHelpers = JIX_HAVE_THREADS ? sqlite3_limit(p->db, SQLITE_LIMIT_WORKER_THREADS, -1) : 0;
  rc = knn_scan_init(&scan, &inLists.lists);
  if (rc != SQLITE_OK) return rc;
  for (;;) {
    SqlitePtr<char> listClause;
    if (!ivf.Exact()) {
      listClause = ivf.Clause();
      if (!listClause) return SQLITE_NOMEM;
    }
    StmtPtr stmtChunks;
    rc = prepare_chunks_statement(p, plan, argv, listClause.get(), &stmtChunks);
    if (rc == SQLITE_OK) rc = knn_scan_chunks(&scan, stmtChunks.get());
    if (rc != SQLITE_OK) return rc;
    if (scan.topCount == scan.k || ivf.Exact() || ivf.Done()) break;
    ivf.Widen();
  }
  knn->rowids = scan.topRowids.release();
  knn->distances = scan.topDistances.release();
  knn->k_used = scan.topCount;
  return SQLITE_OK;
}

}  // namespace

int jix0Filter_knn(jix0_cursor* cursor, jix0_vtab* p, int idxNum, const char* idxStr, int argc,
                   sqlite3_value** argv) {
  JIX_ASSERT(argc == (int)(strlen(idxStr) - 1) / 4);
  JIX_ASSERT(idxNum >= 0 && idxNum < p->numVectorColumns);
  KnnDataPtr knn((jix0_query_knn_data*)sqlite3_malloc(sizeof(jix0_query_knn_data)));
  if (!knn) return SQLITE_NOMEM;
  memset(knn.get(), 0, sizeof(*knn));

  KnnPlan plan;
  int rc = decode_knn_plan(p, idxStr, argc, &plan);
  if (rc != SQLITE_OK) return rc;
  const VectorColumnDefinition& column = p->vector_columns[idxNum];
  QueryVector query;
  rc = read_query_vector(p, column, argv[plan.queryArg], &query);
  if (rc == SQLITE_OK) rc = read_k(p, plan, argv, &knn->k);
  sqlite3_int64 probes = 0;
  if (rc == SQLITE_OK) rc = read_probes(p, idxStr, argc, argv, &probes);
  if (rc == SQLITE_OK && knn->k > 0) {
    rc = search(p, idxNum, plan, argv, query.data, probes, knn.get());
  }
  if (rc != SQLITE_OK) return rc;
  knn->current_idx = 0;
  cursor->knn_data = knn.release();
  cursor->query_plan = JIX0_PLAN_KNN;
  return SQLITE_OK;
}
