// The xUpdate dispatch: insert, delete, update or a command.
#include "jix0/write/write.h"

#include "jix0/index/index.h"
#include "jix0/storage/chunk.h"
#include "jix0/storage/chunk_cache.h"
#include "jix0/table/write_guard.h"
#include "jix0/write/command.h"

int jix0_codes_fault(jix0_vtab* p, const ChunkFault& f) {
  if (f.rc != SQLITE_OK) {
    vtab_set_error(&p->base, "jix0: could not open the codes of chunk %lld in %s.%s", f.chunkId,
                   p->schemaName, f.table);
    return jix0_failure_code(f.rc);
  }
  if (f.expected == 0) {  // opened for one slot
    vtab_set_error(&p->base,
                   "jix0: the codes of chunk %lld in %s.%s are damaged: %lld bytes, no room for "
                   "slot %lld",
                   f.chunkId, p->schemaName, f.table, f.actual, f.slot);
  } else {
    vtab_set_error(&p->base,
                   "jix0: the codes of chunk %lld in %s.%s are damaged: %lld bytes, expected %lld",
                   f.chunkId, p->schemaName, f.table, f.actual, f.expected);
  }
  return SQLITE_ERROR;
}

int jix0_write_code(jix0_vtab* p, Chunk* chunk, sqlite3_int64 chunkId, sqlite3_int64 chunkOffset,
                    const void* code) {
  int rc = chunk->WriteSlot(JIX0_PART_CODES, 0, chunkOffset, code);
  if (rc == SQLITE_OK) rc = chunk->ClosePart(JIX0_PART_CODES);
  if (rc == SQLITE_OK) return SQLITE_OK;
  vtab_set_error(&p->base, "jix0: could not write the codes of chunk %lld in %s.%s", chunkId,
                 p->schemaName, p->shadowCodesName);
  return jix0_failure_code(rc);
}

namespace {

int update(sqlite3_vtab* pVtab, int argc, sqlite3_value** argv, sqlite_int64* pRowid) {
  jix0_vtab* p = (jix0_vtab*)pVtab;
  bool oldRowidIsNull = argc >= 1 && sqlite3_value_type(argv[0]) == SQLITE_NULL;
  if (argc < 1 || (argc == 1 && oldRowidIsNull)) {
    vtab_set_error(pVtab, "Unrecognized xUpdate operation provided for jix0.");
    return SQLITE_ERROR;
  }
  // A table whose DROP TABLE failed has lost its names; it can only be disconnected.
  if (!p->tableName) {
    vtab_set_error(pVtab, "jix0 table is unusable after a failed DROP TABLE");
    return SQLITE_ERROR;
  }
  // Before any change: a chunk cached now may be stale after it, even if the write fails.
  chunk_cache_written(p);
  int rc;
  if (argc == 1) {
    rc = jix0_index_refresh(p);
    return rc == SQLITE_OK ? jix0Update_Delete(p, argv[0]) : rc;
  }
  if (jix0_command_given(p, argc, argv)) {
    if (!oldRowidIsNull) return jix0_command_update_error(p);
    // A command stores no row: last_insert_rowid() keeps its value.
    *pRowid = sqlite3_last_insert_rowid(p->db);
    // Commands move and repack chunks: no chunk is remembered across one.
    jix0_chunk_newest_forget(p);
    rc = jix0_run_command(p, argc, argv);
    jix0_chunk_newest_forget(p);
    return rc;
  }
  // Whether the chunks have codes follows the index's build as stored now ('optimize' reads
  // it itself; builds and drop-index set it).
  rc = jix0_index_refresh(p);
  if (rc != SQLITE_OK) return rc;
  if (oldRowidIsNull) return jix0Update_Insert(p, argv, pRowid);
  return jix0Update_Update(p, argv);
}

}  // namespace

int jix0Update(sqlite3_vtab* pVtab, int argc, sqlite3_value** argv, sqlite_int64* pRowid) {
  WriteGuard guard((jix0_vtab*)pVtab);
  int rc = update(pVtab, argc, argv, pRowid);
  // What a failed write leaves, or what SQLite rolls back after it, may not be what the
  // remembered chunks say.
  if (rc != SQLITE_OK) jix0_chunk_newest_forget((jix0_vtab*)pVtab);
  return guard.Finish(rc);
}
