// The IVF codes: their map, the codes build-index writes, and the query's code.
#include "jix0/index/ivf_codes.h"

#include <cmath>
#include <cstring>

#include "base/array.h"
#include "base/bitmap.h"
#include "base/handles.h"
#include "jix0/index/ivf_tables.h"
#include "jix0/storage/chunk.h"
#include "jix0/storage/chunks.h"
#include "jix0/table/result_codes.h"

namespace {

constexpr float kCodeLimit = 127.0f;

// The map's layout in T_info 'IVF_CODES': the scale, then one offset per dimension.
sqlite3_int64 map_bytes(int dimensions) {
  return (sqlite3_int64)(1 + dimensions) * (sqlite3_int64)sizeof(float);
}

bool takes_offsets(const jix0_vtab* p) {
  return jix0_ivf_column(p).distance_metric != JIX0_DISTANCE_COSINE;
}

int run(jix0_vtab* p, char* sql) {
  StmtPtr stmt;
  int rc = prepare_text(p->db, sql, &stmt);
  if (rc == SQLITE_OK) rc = jix_step(stmt.get());
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int codes_table_exists(jix0_vtab* p, bool* out) {
  StmtPtr stmt;
  int rc = prepare_text(p->db,
                        sqlite3_mprintf("SELECT 1 FROM \"%w\".sqlite_master WHERE type = 'table' "
                                        "AND name = %Q",
                                        p->schemaName, p->shadowCodesName),
                        &stmt);
  if (rc == SQLITE_OK) rc = jix_step(stmt.get());
  *out = rc == SQLITE_ROW;
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// One chunk's validity and indexed vectors, read through one Chunk for the whole pass.
class ChunkVectors {
 public:
  explicit ChunkVectors(jix0_vtab* p) : p_(p), chunk_(p) {}
  int Init() {
    validity_ = allocate_array<uint8_t>((sqlite3_uint64)p_->chunk_size / 8);
    vectors_ =
        allocate_array<float>((sqlite3_uint64)p_->chunk_size * jix0_ivf_column(p_).dimensions);
    return validity_ && vectors_ ? SQLITE_OK : SQLITE_NOMEM;
  }
  int Read(sqlite3_int64 id) {
    const int column = p_->indexVectorIdx;
    int rc = chunk_.OpenPart(JIX0_PART_VALIDITY, 0, id, false, nullptr);
    if (rc == SQLITE_OK) rc = chunk_.OpenPart(JIX0_PART_VECTORS, column, id, false, nullptr);
    if (rc == SQLITE_OK) rc = chunk_.ReadPart(JIX0_PART_VALIDITY, 0, validity_.get());
    if (rc == SQLITE_OK) rc = chunk_.ReadPart(JIX0_PART_VECTORS, column, vectors_.get());
    return rc;
  }
  bool Valid(int slot) const { return bitmap_get(validity_.get(), slot); }
  const float* Vector(int slot) const {
    return vectors_.get() + (size_t)slot * jix0_ivf_column(p_).dimensions;
  }

 private:
  jix0_vtab* p_;
  Chunk chunk_;
  SqlitePtr<uint8_t> validity_;
  SqlitePtr<float> vectors_;
};

struct ChunkList {
  Array array = {};
  ChunkList() = default;
  ChunkList(const ChunkList&) = delete;
  ChunkList& operator=(const ChunkList&) = delete;
  ~ChunkList() { array_cleanup(&array); }
  const ChunkRef& operator[](size_t i) const { return ((const ChunkRef*)array.data)[i]; }
};

// The map of the stored vectors into map: per dimension the middle of its range (cosine: 0),
// and one scale that fits the widest range into the codes.
int train_map(jix0_vtab* p, const ChunkList& chunks, ChunkVectors* in, float* map) {
  const int d = (int)jix0_ivf_column(p).dimensions;
  SqlitePtr<float> low = allocate_array<float>((sqlite3_uint64)d);
  SqlitePtr<float> high = allocate_array<float>((sqlite3_uint64)d);
  if (!low || !high) return SQLITE_NOMEM;
  for (int j = 0; j < d; j++) low.get()[j] = INFINITY, high.get()[j] = -INFINITY;
  for (size_t c = 0; c < chunks.array.length; c++) {
    int rc = in->Read(chunks[c].id);
    if (rc != SQLITE_OK) return rc;
    for (int slot = 0; slot < p->chunk_size; slot++) {
      if (!in->Valid(slot)) continue;
      const float* v = in->Vector(slot);
      for (int j = 0; j < d; j++) {
        low.get()[j] = std::fmin(low.get()[j], v[j]);
        high.get()[j] = std::fmax(high.get()[j], v[j]);
      }
    }
  }
  const bool offsets = takes_offsets(p);
  float widest = 0;
  for (int j = 0; j < d; j++) {
    float lo = low.get()[j], hi = high.get()[j];
    if (!(lo <= hi)) lo = hi = 0;  // no rows
    map[1 + j] = offsets ? lo / 2 + hi / 2 : 0.0f;
    float half = offsets ? (hi - lo) / 2 : std::fmax(std::fabs(lo), std::fabs(hi));
    widest = std::fmax(widest, half);
  }
  map[0] = widest > 0 && std::isfinite(widest) ? widest / kCodeLimit : 1.0f;
  return SQLITE_OK;
}

int write_map(jix0_vtab* p, const float* map) {
  StmtPtr stmt;
  int rc = prepare_text(p->db,
                        sqlite3_mprintf("INSERT OR REPLACE INTO \"%w\".\"%w_info\"(key, value) "
                                        "VALUES ('IVF_CODES', ?)",
                                        p->schemaName, p->tableName),
                        &stmt);
  if (rc != SQLITE_OK) return rc;
  rc = sqlite3_bind_blob64(stmt.get(), 1, map,
                           (sqlite3_uint64)map_bytes((int)jix0_ivf_column(p).dimensions),
                           SQLITE_STATIC);
  if (rc == SQLITE_OK) rc = jix_step(stmt.get());
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// Writes the codes row of every chunk.
int write_codes(jix0_vtab* p, const ChunkList& chunks, ChunkVectors* in, const IvfCentroids& c) {
  const int d = (int)jix0_ivf_column(p).dimensions;
  const sqlite3_int64 bytes = (sqlite3_int64)p->chunk_size * d;
  SqlitePtr<int8_t> codes = allocate_array<int8_t>((sqlite3_uint64)bytes);
  if (!codes) return SQLITE_NOMEM;
  StmtPtr insert;
  int rc = prepare_text(p->db,
                        sqlite3_mprintf("INSERT INTO \"%w\".\"%w\"(chunk_id, codes) VALUES (?, ?)",
                                        p->schemaName, p->shadowCodesName),
                        &insert);
  for (size_t i = 0; rc == SQLITE_OK && i < chunks.array.length; i++) {
    rc = in->Read(chunks[i].id);
    if (rc != SQLITE_OK) break;
    memset(codes.get(), 0, (size_t)bytes);
    for (int slot = 0; slot < p->chunk_size; slot++) {
      if (in->Valid(slot)) jix0_ivf_encode(&c, in->Vector(slot), codes.get() + (size_t)slot * d);
    }
    ResetOnExit reset(insert.get());
    sqlite3_bind_int64(insert.get(), 1, chunks[i].id);
    rc = sqlite3_bind_blob64(insert.get(), 2, codes.get(), (sqlite3_uint64)bytes, SQLITE_STATIC);
    if (rc == SQLITE_OK) rc = jix_step(insert.get());
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  return rc;
}

}  // namespace

int jix0_ivf_codes_load(jix0_vtab* p, IvfCentroids* c) {
  sqlite3_free(c->codesMap);
  c->codesMap = nullptr;
  StmtPtr stmt;
  int rc =
      prepare_text(p->db,
                   sqlite3_mprintf("SELECT value FROM \"%w\".\"%w_info\" WHERE key = 'IVF_CODES'",
                                   p->schemaName, p->tableName),
                   &stmt);
  if (rc == SQLITE_OK) rc = jix_step(stmt.get());
  if (rc == SQLITE_DONE) return SQLITE_OK;
  if (rc != SQLITE_ROW) return jix0_failure_code(rc);
  const sqlite3_int64 bytes = map_bytes((int)jix0_ivf_column(p).dimensions);
  if (sqlite3_column_type(stmt.get(), 0) != SQLITE_BLOB ||
      sqlite3_column_bytes(stmt.get(), 0) != bytes) {
    vtab_set_error(&p->base,
                   JIX0_INTERNAL_ERROR ": the IVF codes map of %s is not a BLOB of %lld bytes",
                   p->tableName, bytes);
    return SQLITE_ERROR;
  }
  const void* blob = sqlite3_column_blob(stmt.get(), 0);
  c->codesMap = (float*)sqlite3_malloc64((sqlite3_uint64)bytes);
  if (!blob || !c->codesMap) return SQLITE_NOMEM;
  memcpy(c->codesMap, blob, (size_t)bytes);
  return SQLITE_OK;
}

int jix0_ivf_codes_refresh(jix0_vtab* p) {
  if (!p->indexCache) {
    p->indexCache = malloc_zeroed<IndexCache>();
    if (!p->indexCache) return SQLITE_NOMEM;
  }
  sqlite3_stmt** stmt = &p->indexCache->ivf.stmtCodes;
  int rc = prepare_cached(p->db, stmt, [p] {
    return sqlite3_mprintf("SELECT 1 FROM \"%w\".\"%w_info\" WHERE key = 'IVF_CODES'",
                           p->schemaName, p->tableName);
  });
  ResetOnExit reset(rc == SQLITE_OK ? *stmt : nullptr);
  if (rc == SQLITE_OK) rc = jix_step(*stmt);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    if ((rc & 0xff) != SQLITE_NOMEM) {
      vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": could not read the IVF codes map of %s: %s",
                     p->tableName, sqlite3_errmsg(p->db));
    }
    return jix0_failure_code(rc);
  }
  p->codesSlotBytes = rc == SQLITE_ROW ? (int)jix0_ivf_column(p).dimensions : 0;
  return SQLITE_OK;
}

void jix0_ivf_encode(const IvfCentroids* c, const float* vector, int8_t* out) {
  const float* map = c->codesMap;
  for (int j = 0; j < c->dimensions; j++) {
    float t = (vector[j] - map[1 + j]) / map[0];
    // NaN goes to the low end, like any value below the range.
    if (!(t >= -kCodeLimit)) t = -kCodeLimit;
    if (t > kCodeLimit) t = kCodeLimit;
    out[j] = (int8_t)std::lrint(t);
  }
}

int jix0_ivf_build_codes(jix0_vtab* p, int lists) {
  if (lists == 0) return jix0_ivf_drop_codes_of_build(p);
  const int d = (int)jix0_ivf_column(p).dimensions;
  IvfCentroids c = {};
  c.dimensions = d;
  SqlitePtr<float> map = allocate_array<float>((sqlite3_uint64)(1 + d));
  ChunkVectors in(p);
  ChunkList chunks;
  if (!map) return SQLITE_NOMEM;
  c.codesMap = map.get();
  int rc = in.Init();
  if (rc == SQLITE_OK) rc = jix0_ivf_add_codes_table(p);
  if (rc == SQLITE_OK) {
    rc = run(p, sqlite3_mprintf("DELETE FROM \"%w\".\"%w\"", p->schemaName, p->shadowCodesName));
  }
  if (rc == SQLITE_OK) rc = array_init(&chunks.array, sizeof(ChunkRef), 64);
  if (rc == SQLITE_OK) rc = jix0_chunks_collect(p, false, &chunks.array);
  if (rc == SQLITE_OK) rc = train_map(p, chunks, &in, map.get());
  if (rc == SQLITE_OK) rc = write_map(p, map.get());
  if (rc == SQLITE_OK) rc = write_codes(p, chunks, &in, c);
  return rc;
}

int jix0_ivf_drop_codes_of_build(jix0_vtab* p) {
  int rc = run(p, sqlite3_mprintf("DELETE FROM \"%w\".\"%w_info\" WHERE key = 'IVF_CODES'",
                                  p->schemaName, p->tableName));
  // Emptied rather than dropped: SQLite refuses a DROP TABLE while the command's statement runs.
  bool exists = false;
  if (rc == SQLITE_OK) rc = codes_table_exists(p, &exists);
  if (rc == SQLITE_OK && exists) {
    rc = run(p, sqlite3_mprintf("DELETE FROM \"%w\".\"%w\"", p->schemaName, p->shadowCodesName));
  }
  p->codesSlotBytes = 0;
  return rc;
}
