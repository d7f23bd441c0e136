// KNN search: reads the query vector, k and the IN lists, builds the statement over the
// chunks the partition keys (and the index's lists) select, and runs the scan (scan.cc) over it.
#include "jix0/query/knn.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/array.h"
#include "base/handles.h"
#include "jix0/index/index.h"
#include "jix0/query/metadata_filter.h"
#include "jix0/query/plan.h"
#include "jix0/query/row_key.h"
#include "jix0/query/scan.h"
#include "jix0/storage/chunk.h"
#include "jix0/storage/chunks.h"
#include "jix0/table/dimension_hint.h"
#include "jix0/table/result_codes.h"
#include "vector/vector.h"

namespace {

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

// Gathers `rowid IN (...)` into a sorted list of rowids. Members that name no rowid (NULL,
// 1.5, '2abc') match nothing and are left out; on a TEXT-key table ids that name no row are
// left out too, so the other ids still match.
// Appends the rowid of one key to outRowids; a NULL key, or one no row has, adds nothing.
int append_rowid_of_key(jix0_vtab* p, sqlite3_value* value, Array* outRowids) {
  if (sqlite3_value_type(value) == SQLITE_NULL) return SQLITE_OK;
  sqlite3_int64 rowid;
  int rc = p->pkIsText ? jix0_rowid_from_id(p, value, &rowid) : jix0_integer_key(value, &rowid);
  if (rc == SQLITE_EMPTY) return SQLITE_OK;
  if (rc != SQLITE_OK) return rc;
  return array_append(outRowids, &rowid) == SQLITE_OK ? SQLITE_OK : SQLITE_NOMEM;
}

int gather_rowid_list(jix0_vtab* p, sqlite3_value* list, Array* outRowids) {
  int rc = array_init(outRowids, sizeof(sqlite3_int64), 32);
  if (rc != SQLITE_OK) return rc;
  sqlite3_value* value = nullptr;
  for (rc = sqlite3_vtab_in_first(list, &value); rc == SQLITE_OK;
       rc = sqlite3_vtab_in_next(list, &value)) {
    int appended = append_rowid_of_key(p, value, outRowids);
    if (appended != SQLITE_OK) return appended;
  }
  if (rc != SQLITE_DONE) {
    vtab_set_error(&p->base, "error processing rowid in (...) array");
    return rc;
  }
  qsort(outRowids->data, outRowids->length, sizeof(sqlite3_int64), knn_compare_rowids);
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
      vtab_set_error(&p->base, JIX0_INTERNAL_ERROR);
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
// The chunks statement lent by the table's one-entry cache when its text is the same (a
// search repeated with other values), else prepared; given back to the cache after the scan,
// reset, so the next search skips the prepare.
class ChunksStatement {
 public:
  explicit ChunksStatement(jix0_vtab* p) : p_(p) {}
  ChunksStatement(const ChunksStatement&) = delete;
  ChunksStatement& operator=(const ChunksStatement&) = delete;
  ~ChunksStatement() { GiveBack(); }

  // Takes over sql (null: out of memory).
  int Prepare(SqlitePtr<char> sql) {
    GiveBack();
    if (!sql) return SQLITE_NOMEM;
    sql_ = std::move(sql);
    if (p_->knnChunksStmt && strcmp(p_->knnChunksSql, sql_.get()) == 0) {
      stmt_.reset(p_->knnChunksStmt);
      p_->knnChunksStmt = nullptr;
      return SQLITE_OK;
    }
    return prepare(p_->db, sql_.get(), &stmt_);
  }
  sqlite3_stmt* get() const { return stmt_.get(); }

 private:
  void GiveBack() {
    if (!stmt_) return;
    sqlite3_reset(stmt_.get());
    sqlite3_clear_bindings(stmt_.get());
    sqlite3_finalize(p_->knnChunksStmt);
    sqlite3_free(p_->knnChunksSql);
    p_->knnChunksStmt = stmt_.release();
    p_->knnChunksSql = sql_.release();
  }

  jix0_vtab* p_;
  StmtPtr stmt_;
  SqlitePtr<char> sql_;
};

// chunks, when it does not take every chunk, adds one more WHERE term: the index's lists to scan.
int prepare_chunks_statement(jix0_vtab* p, const KnnPlan& plan, sqlite3_value** argv,
                             const IndexChunkPlan& chunks, ChunksStatement* outStmt) {
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
  if (!chunks.All()) {
    SqlitePtr<char> listClause = chunks.Clause();
    if (!listClause) return SQLITE_NOMEM;
    sqlite3_str_appendall(s.get(), numClauses++ == 0 ? " WHERE " : " AND ");
    sqlite3_str_appendall(s.get(), listClause.get());
  }
  int rc = outStmt->Prepare(s.finish());
  if (rc == SQLITE_NOMEM) return rc;
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
  return chunks.All() ? SQLITE_OK : chunks.BindClause(outStmt->get(), param);
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

// The values of the index's hidden columns, read from their arguments. Sets the message on
// failure.
int read_index_args(jix0_vtab* p, const KnnPlan& plan, sqlite3_value** argv, IndexQueryArgs* out) {
  KnnFilterRange blocks = plan.indexArgs();
  if (blocks.empty()) return SQLITE_OK;
  SqlitePtr<sqlite3_value*> values = allocate_array<sqlite3_value*>((sqlite3_uint64)blocks.count);
  if (!values) return SQLITE_NOMEM;
  for (int i = 0; i < blocks.count; i++) values.get()[i] = argv[blocks.first[i].arg];
  return jix0_index_read_args(p, values.get(), blocks.count, out);
}

// Candidates a search over codes keeps for the exact re-rank: a multiple of k, since the rows
// the codes misplace grow with k. On fashion-mnist (784 dimensions, 234 lists, k = 10, 200
// queries) 2k and 4k candidates both gave recall@10 equal to the search of the vectors of the
// same lists at every probes from 1 to 16, and 2k the higher QPS (1.9x the vectors' at
// probes 4 against 1.6x; bench/ivf_codes_bench.py).
constexpr int kRerankFactor = 2;
int rerank_candidates(int k) {
  const sqlite3_int64 r = (sqlite3_int64)k * kRerankFactor;
  return r > JIX0_MAX_K * kRerankFactor ? JIX0_MAX_K * kRerankFactor : (int)r;
}

// The k nearest rows into knn (k > 0).
int search(jix0_vtab* p, int vectorIdx, const KnnPlan& plan, sqlite3_value** argv,
           const void* query, const IndexQueryArgs& indexArgs, jix0_query_knn_data* knn) {
  ArrayGuard rowidList;
  if (plan.rowidInArg >= 0) {
    int rc = gather_rowid_list(p, argv[plan.rowidInArg], &rowidList.array);
    if (rc != SQLITE_OK) return rc;
  } else if (plan.rowidEqArg >= 0) {
    int rc = array_init(&rowidList.array, sizeof(sqlite3_int64), 1);
    if (rc == SQLITE_OK) rc = append_rowid_of_key(p, argv[plan.rowidEqArg], &rowidList.array);
    if (rc != SQLITE_OK) return rc;
  }
  InListsGuard inLists(p);
  int rc = gather_metadata_in_lists(p, plan, argv, &inLists.lists);
  if (rc != SQLITE_OK) return rc;

  IndexChunkPlan chunks;
  rc = chunks.Start(p, vectorIdx, query, indexArgs);
  if (rc != SQLITE_OK) return rc;

  // A search that reads only some groups scans their codes, when the index keeps them, and
  // re-ranks the best candidates by their vectors. Distance bounds need every row's exact
  // distance, so searches with one read the vectors.
  const int k = (int)knn->k;
  SqlitePtr<int8_t> code;
  if (!chunks.All() && plan.numDistances == 0 && jix0_index_on(p, vectorIdx) && jix0_has_codes(p)) {
    code = allocate_array<int8_t>((sqlite3_uint64)p->codesSlotBytes);
    if (!code) return SQLITE_NOMEM;
    // Ranking the groups may have made it already.
    if (const void* known = chunks.QueryCode()) {
      memcpy(code.get(), known, (size_t)p->codesSlotBytes);
    } else {
      jix0_index_encode(p, query, code.get());
    }
  }
  KnnScan scan;
  scan.p = p;
  scan.codes = code != nullptr;
  scan.plan = &plan;
  scan.argv = argv;
  scan.column = &p->vector_columns[vectorIdx];
  scan.vectorIdx = vectorIdx;
  scan.rowidList = rowidList.array.data ? &rowidList.array : nullptr;
  scan.query = code ? (const void*)code.get() : query;
  scan.k = code ? rerank_candidates(k) : k;
  scan.maxHelpers = JIX_HAVE_THREADS ? sqlite3_limit(p->db, SQLITE_LIMIT_WORKER_THREADS, -1) : 0;
  rc = knn_scan_init(&scan, &inLists.lists);
  if (rc != SQLITE_OK) return rc;
  for (;;) {
    ChunksStatement stmtChunks(p);
    rc = prepare_chunks_statement(p, plan, argv, chunks, &stmtChunks);
    if (rc == SQLITE_OK) rc = knn_scan_chunks(&scan, stmtChunks.get());
    if (rc != SQLITE_OK) return rc;
    // Widening stops at k rows found, codes or not: the extra candidates only re-rank.
    if (scan.topCount >= k || chunks.All() || chunks.Done()) break;
    chunks.Widen();
  }
  if (code) {
    rc = knn_rerank(&scan, query, k);
    if (rc != SQLITE_OK) return rc;
  }
  knn->rowids = scan.topRowids.release();
  knn->distances = scan.topDistances.release();
  knn->chunks = scan.topChunks.release();
  knn->slots = scan.topSlots.release();
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
  int rc = jix0_decode_knn_plan(p, idxStr, argc, &plan);
  if (rc != SQLITE_OK) return rc;
  const VectorColumnDefinition& column = p->vector_columns[idxNum];
  QueryVector query;
  rc = read_query_vector(p, column, argv[plan.queryArg], &query);
  if (rc == SQLITE_OK) rc = read_k(p, plan, argv, &knn->k);
  IndexQueryArgs indexArgs;
  if (rc == SQLITE_OK) rc = read_index_args(p, plan, argv, &indexArgs);
  if (rc == SQLITE_OK && knn->k > 0) {
    rc = search(p, idxNum, plan, argv, query.data, indexArgs, knn.get());
  }
  if (rc != SQLITE_OK) return rc;
  knn->current_idx = 0;
  cursor->knn_data = knn.release();
  cursor->query_plan = JIX0_PLAN_KNN;
  return SQLITE_OK;
}
