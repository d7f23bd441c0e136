#include "jix0/index/index.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "jix0/index/ivf.h"
#include "jix0/index/ivf_codes.h"
#include "jix0/index/ivf_tables.h"
#include "jix0/storage/chunks.h"

int jix0_index_check_options(const jix0_vtab* p, const VectorColumnDefinition& v,
                             char** outMessage) {
  const int n = v.name_length;
  switch (v.index_kind) {
    case JIX0_INDEX_NONE:
      if (v.lists == 0 && v.probes == 0) return SQLITE_OK;
      *outMessage =
          sqlite3_mprintf("lists and probes on vector column \"%.*s\" need index=ivf", n, v.name);
      break;
    case JIX0_INDEX_IVF:
      return jix0_ivf_check_options(p, v, outMessage);
    default:
      *outMessage = sqlite3_mprintf(
          "Unknown index kind on vector column \"%.*s\": the only kind is index=ivf", n, v.name);
      break;
  }
  return *outMessage ? SQLITE_ERROR : SQLITE_NOMEM;
}

void jix0_index_declare(jix0_vtab* p, const VectorColumnDefinition& v, int vectorIdx) {
  if (v.index_kind != JIX0_INDEX_IVF) return;
  p->hasIndex = 1;
  p->indexVectorIdx = vectorIdx;
}

const char* jix0_index_hidden_column(const jix0_vtab* p) {
  return jix0_has_index(p) ? "probes" : nullptr;
}

int jix0_index_create_table(jix0_vtab* p, char** pzErr) {
  return jix0_has_index(p) ? jix0_ivf_create_centroids(p, pzErr) : SQLITE_OK;
}

int jix0_index_drop_table(jix0_vtab* p) {
  if (!jix0_has_index(p)) return SQLITE_OK;
  int rc = jix0_ivf_drop_centroids(p);
  return rc == SQLITE_OK ? jix0_ivf_drop_codes(p) : rc;
}

int jix0_index_default_chunk_size(const jix0_vtab* p) {
  // Every IVF list keeps chunks of its own, so indexed tables default to smaller ones.
  return jix0_has_index(p) ? jix0_ivf_chunk_size_by_bytes(p) : JIX0_DEFAULT_CHUNK_SIZE;
}

int jix0_index_record_chunk_size(jix0_vtab* p) {
  return jix0_has_index(p) ? jix0_ivf_record_chunk_size(p) : SQLITE_OK;
}

int jix0_index_stored_chunk_size(jix0_vtab* p, char** pzErr) {
  return jix0_has_index(p) ? jix0_ivf_stored_chunk_size(p, &p->chunk_size, pzErr) : SQLITE_OK;
}

char* jix0_index_table_name(const char* table, bool olderName) {
  return jix0_ivf_centroids_name(table, olderName);
}

char* jix0_index_codes_table_name(const char* table) {
  return jix0_ivf_codes_name(table);
}

int jix0_index_find_older_name(jix0_vtab* p, const char* table, bool* outOlder, char** pzErr) {
  *outOlder = false;
  return jix0_has_index(p) ? jix0_ivf_has_older_centroids_name(p, table, outOlder, pzErr)
                           : SQLITE_OK;
}

bool jix0_index_has_older_name(const jix0_vtab* p) {
  return p->shadowIndexName && jix0_ivf_is_older_centroids_name(p->shadowIndexName);
}

bool jix0_index_is_shadow_suffix(const char* suffix) {
  return jix0_ivf_is_centroids_suffix(suffix) || jix0_ivf_is_codes_suffix(suffix);
}

int jix0_index_assign(jix0_vtab* p, const void* vector, sqlite3_int64* outGroup) {
  if (!jix0_has_index(p)) {
    *outGroup = JIX0_NO_LIST;
    return SQLITE_OK;
  }
  return jix0_ivf_assign(p, vector, outGroup);
}

void jix0_index_release_statements(jix0_vtab* p) {
  jix0_ivf_release_statements(p);
}

void jix0_index_cache_free(jix0_vtab* p) {
  jix0_ivf_cache_free(p);
}

int jix0_index_read_args(jix0_vtab* p, sqlite3_value* const* values, int count,
                         IndexQueryArgs* out) {
  return jix0_ivf_read_probes(p, values, count, &out->probes);
}

int IndexChunkPlan::Start(jix0_vtab* p, int vectorIdx, const void* query,
                          const IndexQueryArgs& args) {
  if (!jix0_index_on(p, vectorIdx)) return SQLITE_OK;
  const IvfCentroids* c;
  int rc = jix0_ivf_current(p, &c);
  if (rc != SQLITE_OK) return rc;
  groups_ = c->lists;
  strays_ = c->strayLists;
  if (groups_ == 0) return SQLITE_OK;
  sqlite3_int64 probes = args.probes > 0 ? args.probes : jix0_ivf_default_probes(p, groups_);
  end_ = probes < groups_ ? (int)probes : groups_;
  if (All()) return SQLITE_OK;
  order_ = allocate_array<int>((sqlite3_uint64)groups_);
  distances_ = allocate_array<float>((sqlite3_uint64)groups_);
  if (!order_ || !distances_) return SQLITE_NOMEM;
  sorted_ = jix0_ivf_order_lists(p, c, query, end_, order_.get(), distances_.get());
  if (sorted_ > 0) code_ = jix0_ivf_query_code(c);
  OrderBatch();
  return SQLITE_OK;
}

void IndexChunkPlan::OrderBatch() {
  // Groups before sorted_ are in order already; those after it all carry distances of one
  // kind, so they sort among themselves.
  const int from = begin_ > sorted_ ? begin_ : sorted_;
  if (from >= end_) return;
  int* order = order_.get();
  std::partial_sort(order + from, order + end_, order + groups_, IvfListNearer{distances_.get()});
}

SqlitePtr<char> IndexChunkPlan::Clause() const {
  StrBuilder s(nullptr);
  // The first batch also takes chunks of no list, and chunks whose list is no list number
  // (damage): those are searched on every query rather than never.
  if (begin_ == 0) {
    sqlite3_str_appendf(s.get(), "(list IS NULL OR list < 0 OR list > %d OR ", groups_ - 1);
    if (strays_) {
      sqlite3_str_appendf(
          s.get(), "(list > -1 AND list < %d AND list <> CAST(list AS INTEGER)) OR ", groups_);
    }
    sqlite3_str_appendall(s.get(), "list IN (");
  } else {
    sqlite3_str_appendall(s.get(), "(list IN (");
  }
  for (int i = begin_; i < end_; i++) sqlite3_str_appendall(s.get(), i > begin_ ? ",?" : "?");
  sqlite3_str_appendall(s.get(), "))");
  return s.finish();
}

int IndexChunkPlan::BindClause(sqlite3_stmt* stmt, int first) const {
  for (int i = begin_; i < end_; i++) {
    int rc = sqlite3_bind_int(stmt, first + (i - begin_), order_.get()[i]);
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

void IndexChunkPlan::Widen() {
  int size = end_ - begin_ > 0 ? 2 * (end_ - begin_) : 1;
  begin_ = end_;
  end_ = size > groups_ - end_ ? groups_ : end_ + size;
  if (begin_ < end_) OrderBatch();
}

int jix0_index_refresh(jix0_vtab* p) {
  return jix0_has_index(p) ? jix0_ivf_codes_refresh(p) : SQLITE_OK;
}

int jix0_index_code(jix0_vtab* p, const void* vector, void* out) {
  const IvfCentroids* c;
  int rc = jix0_ivf_current(p, &c);
  if (rc != SQLITE_OK) return rc;
  // A map that vanished since the refresh (changed by hand): the code is all zero.
  if (!c->codesMap) {
    memset(out, 0, (size_t)p->codesSlotBytes);
    return SQLITE_OK;
  }
  jix0_ivf_encode(c, (const float*)vector, (int8_t*)out);
  return SQLITE_OK;
}

void jix0_index_encode(const jix0_vtab* p, const void* vector, void* out) {
  jix0_ivf_encode(&p->indexCache->ivf, (const float*)vector, (int8_t*)out);
}

int jix0_index_after_vector_update(jix0_vtab* p, sqlite3_int64 rowid, sqlite3_int64 chunkId,
                                   sqlite3_int64 chunkOffset, const void* vector) {
  return jix0_ivf_after_vector_update(p, rowid, chunkId, chunkOffset, vector);
}
