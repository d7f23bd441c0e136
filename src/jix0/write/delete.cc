// The delete path: a row's slot is cleared in every chunk BLOB, its rowids, auxiliary and
// long-text rows go, and a chunk left without valid rows is removed with its per-column rows.
//
// Every BLOB the delete writes is opened, and the slot checked to lie inside it, before the
// first write. Damaged storage is then met while nothing has changed yet: inside a
// transaction SQLite keeps no statement journal for a virtual-table write it can do in one
// pass (a plan that promises a single row), so a delete that failed half-way would stay
// half-done.
#include <cstdint>
#include <cstring>

#include "base/handles.h"
#include "jix0/storage/chunk.h"
#include "jix0/storage/chunks.h"
#include "jix0/storage/shadow_tables.h"
#include "jix0/storage/statements.h"
#include "jix0/write/write.h"

namespace {

// Zeros for the largest slot of any chunk BLOB: a float32 vector of the most dimensions.
constexpr int kMaxSlotBytes = JIX0_MAX_DIMENSIONS * 4;
const uint8_t kZeros[kMaxSlotBytes] = {};

// The chunk BLOBs of the row being deleted, opened read-write before any write. Each step
// closes the handles it used; whatever is left open is closed on exit.
struct DeleteBlobs {
  explicit DeleteBlobs(jix0_vtab* p) : chunk(p) {}
  Chunk chunk;
  SqlitePtr<uint8_t> bitmap;  // the whole validity bitmap, kept current by ClearValidity
  int bitmapBytes = 0;
};

// The delete's messages for a BLOB it cannot open, or whose slot lies outside it. Metadata
// BLOBs have none.
int delete_fault(jix0_vtab* p, const ChunkFault& f) {
  const char* s = p->schemaName;
  const bool opened = f.rc == SQLITE_OK;
  switch (f.part) {
    case JIX0_PART_VALIDITY:
      if (opened) {
        vtab_set_error(&p->base, "could not read validity blob for %s.%s.%lld at %d", s, f.table,
                       f.chunkId, (int)(f.slot / 8));
      } else {
        vtab_set_error(&p->base, "could not open validity blob for %s.%s.%lld", s, f.table,
                       f.chunkId);
      }
      break;
    case JIX0_PART_ROWIDS:
      if (opened) {
        vtab_set_error(&p->base, "could not write to rowids blob for %s.%s.%lld at %llu", s,
                       f.table, f.chunkId, f.slot);
      } else {
        vtab_set_error(&p->base, "could not open rowids blob for %s.%s.%lld", s, f.table,
                       f.chunkId);
      }
      break;
    case JIX0_PART_VECTORS:
      if (opened) {
        vtab_set_error(&p->base, "could not write to vector blob for %s.%s.%lld at %llu column %d",
                       s, f.table, f.chunkId, f.slot, f.column);
      } else {
        vtab_set_error(&p->base, "could not open vector blob for %s.%s.%lld column %d", s, f.table,
                       f.chunkId, f.column);
      }
      break;
    case JIX0_PART_METADATA:
      return opened ? SQLITE_ERROR : f.rc;
    case JIX0_PART_CODES:
      return jix0_codes_fault(p, f);
  }
  return opened ? SQLITE_ERROR : jix0_failure_code(f.rc);
}

// Reads the validity bitmap and checks the row's bit, which is tested by itself: the other
// bits of its byte do not matter.
int open_validity(jix0_vtab* p, sqlite3_int64 chunkId, sqlite3_int64 chunkOffset,
                  DeleteBlobs* blobs) {
  const int b = (int)(chunkOffset / 8);
  int rc = blobs->chunk.OpenSlot(JIX0_PART_VALIDITY, 0, chunkId, true, chunkOffset, delete_fault);
  if (rc != SQLITE_OK) return rc;
  sqlite3_blob* validity = blobs->chunk.blob(JIX0_PART_VALIDITY);
  int bytes = sqlite3_blob_bytes(validity);
  blobs->bitmap.reset((uint8_t*)sqlite3_malloc(bytes));
  if (!blobs->bitmap) return SQLITE_NOMEM;
  blobs->bitmapBytes = bytes;
  rc = jix_blob_read(validity, blobs->bitmap.get(), bytes, 0);
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, "could not read validity blob for %s.%s.%lld at %d", p->schemaName,
                   p->shadowChunksName, chunkId, b);
    return rc;
  }
  if (!((blobs->bitmap.get()[b] >> (chunkOffset % 8)) & 1)) {
    vtab_set_error(&p->base, "jix0 deletion error: validity bit is not set for %s.%s.%lld at %d",
                   p->schemaName, p->shadowChunksName, chunkId, b);
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

int open_rowids(jix0_vtab* p, sqlite3_int64 rowid, sqlite3_int64 chunkId, sqlite3_int64 chunkOffset,
                DeleteBlobs* blobs) {
  int rc = blobs->chunk.OpenSlot(JIX0_PART_ROWIDS, 0, chunkId, true, chunkOffset, delete_fault);
  if (rc != SQLITE_OK) return rc;
  // A position that names another row's slot would clear that row instead.
  sqlite3_int64 stored;
  rc = blobs->chunk.ReadSlot(JIX0_PART_ROWIDS, 0, chunkOffset, &stored);
  if (rc != SQLITE_OK) return rc;
  if (stored != rowid) {
    vtab_set_error(&p->base,
                   "jix0 deletion error: slot %lld of %s.%s.%lld holds rowid %lld, not %lld",
                   chunkOffset, p->schemaName, p->shadowChunksName, chunkId, stored, rowid);
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

// Every vector and metadata BLOB of the chunk, each checked to hold the slot.
int open_columns(jix0_vtab* p, sqlite3_int64 chunkId, sqlite3_int64 chunkOffset,
                 DeleteBlobs* blobs) {
  int rc = SQLITE_OK;
  for (int i = 0; rc == SQLITE_OK && i < p->numVectorColumns; i++) {
    rc = blobs->chunk.OpenSlot(JIX0_PART_VECTORS, i, chunkId, true, chunkOffset, delete_fault);
  }
  for (int m = 0; rc == SQLITE_OK && m < p->numMetadataColumns; m++) {
    rc = blobs->chunk.OpenSlot(JIX0_PART_METADATA, m, chunkId, true, chunkOffset, delete_fault);
  }
  if (rc == SQLITE_OK && jix0_has_codes(p)) {
    rc = blobs->chunk.OpenSlot(JIX0_PART_CODES, 0, chunkId, true, chunkOffset, delete_fault);
  }
  return rc;
}

int jix0Update_Delete_ClearValidity(jix0_vtab* p, sqlite3_int64 chunkId, sqlite3_int64 chunkOffset,
                                    DeleteBlobs* blobs) {
  const int b = (int)(chunkOffset / 8);
  uint8_t* byte = blobs->bitmap.get() + b;
  *byte &= (uint8_t) ~(1u << (chunkOffset % 8));
  int rc = jix_blob_write(blobs->chunk.blob(JIX0_PART_VALIDITY), byte, 1, b);
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, "could not write to validity blob for %s.%s.%lld at %d", p->schemaName,
                   p->shadowChunksName, chunkId, b);
    return rc;
  }
  rc = blobs->chunk.ClosePart(JIX0_PART_VALIDITY);
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base,
                   "jix0 deletion error: Error commiting validity blob transaction on "
                   "%s.%s.%lld at %d",
                   p->schemaName, p->shadowChunksName, chunkId, b);
  }
  return rc;
}

int jix0Update_Delete_ClearRowid(jix0_vtab* p, sqlite3_int64 chunkId, sqlite3_int64 chunkOffset,
                                 DeleteBlobs* blobs) {
  int rc = blobs->chunk.WriteSlot(JIX0_PART_ROWIDS, 0, chunkOffset, kZeros);
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, "could not write to rowids blob for %s.%s.%lld at %llu", p->schemaName,
                   p->shadowChunksName, chunkId, chunkOffset);
    return rc;
  }
  rc = blobs->chunk.ClosePart(JIX0_PART_ROWIDS);
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base,
                   "jix0 deletion error: Error commiting rowids blob transaction on %s.%s.%lld at "
                   "%llu",
                   p->schemaName, p->shadowChunksName, chunkId, chunkOffset);
  }
  return rc;
}

int jix0Update_Delete_ClearVectors(jix0_vtab* p, sqlite3_int64 chunkId, sqlite3_int64 chunkOffset,
                                   DeleteBlobs* blobs) {
  for (int i = 0; i < p->numVectorColumns; i++) {
    const char* table = p->shadowVectorChunksNames[i];
    int rc = blobs->chunk.WriteSlot(JIX0_PART_VECTORS, i, chunkOffset, kZeros);
    if (rc != SQLITE_OK) {
      vtab_set_error(&p->base, "could not write to vector blob for %s.%s.%lld at %llu column %d",
                     p->schemaName, table, chunkId, chunkOffset, i);
      return rc;
    }
    rc = blobs->chunk.ClosePart(JIX0_PART_VECTORS, i);
    if (rc != SQLITE_OK) {
      vtab_set_error(&p->base,
                     "jix0 deletion error: Error commiting vector blob transaction on %s.%s.%lld "
                     "column %d",
                     p->schemaName, table, chunkId, i);
      return rc;
    }
  }
  if (!jix0_has_codes(p)) return SQLITE_OK;
  int rc = blobs->chunk.WriteSlot(JIX0_PART_CODES, 0, chunkOffset, kZeros);
  if (rc == SQLITE_OK) rc = blobs->chunk.ClosePart(JIX0_PART_CODES);
  if (rc != SQLITE_OK) {
    vtab_set_error(&p->base, "jix0: could not write the codes of chunk %lld in %s.%s", chunkId,
                   p->schemaName, p->shadowCodesName);
  }
  return rc;
}

// Runs a cached one-parameter delete. SQLITE_DONE gives SQLITE_OK; any other step result is
// returned.
int run_keyed(jix0_vtab* p, Jix0Stmt which, sqlite3_int64 key) {
  sqlite3_stmt* stmt;
  int rc = jix0_stmt(p, which, 0, &stmt);
  if (rc != SQLITE_OK) return rc;
  ResetOnExit reset(stmt);
  sqlite3_bind_int64(stmt, 1, key);
  rc = jix_step(stmt);
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int jix0Update_Delete_DeleteRowids(jix0_vtab* p, sqlite3_int64 rowid) {
  return run_keyed(p, JIX0_STMT_DELETE_ROWID, rowid);
}

int jix0Update_Delete_DeleteAux(jix0_vtab* p, sqlite3_int64 rowid) {
  return run_keyed(p, JIX0_STMT_DELETE_AUXILIARY, rowid);
}

int jix0Update_Delete_ClearMetadata(jix0_vtab* p, int m, sqlite3_int64 rowid,
                                    sqlite3_int64 chunkOffset, DeleteBlobs* blobs) {
  int rc =
      jix0_clear_metadata_slot(p, blobs->chunk.blob(JIX0_PART_METADATA, m), m, rowid, chunkOffset);
  int closeRc = blobs->chunk.ClosePart(JIX0_PART_METADATA, m);
  return rc != SQLITE_OK ? rc : closeRc;
}

// bitmap is the chunk's validity bitmap as it now stands in storage.
int jix0Update_Delete_DeleteChunkIfEmpty(jix0_vtab* p, sqlite3_int64 chunkId, const uint8_t* bitmap,
                                         int bitmapBytes, int* outRemoved) {
  *outRemoved = 0;
  for (int i = 0; i < bitmapBytes; i++) {
    if (bitmap[i]) return SQLITE_OK;
  }
  int rc = jix0_chunk_delete(p, chunkId);
  if (rc != SQLITE_OK) return jix0_write_failure(rc);
  *outRemoved = 1;
  return SQLITE_OK;
}

}  // namespace

int jix0Update_Delete(jix0_vtab* p, sqlite3_value* key) {
  sqlite3_int64 rowid;
  if (p->pkIsText) {
    int rc = jix0_rowid_from_id(p, key, &rowid);
    if (rc != SQLITE_OK) return rc;
  } else {
    rowid = sqlite3_value_int64(key);
  }
  return jix0Update_DeleteRowid(p, rowid);
}

int jix0Update_DeleteRowid(jix0_vtab* p, sqlite3_int64 rowid) {
  sqlite3_int64 chunkId, chunkOffset;
  int rc = jix0_get_chunk_position(p, rowid, nullptr, &chunkId, &chunkOffset);
  if (rc != SQLITE_OK) return rc;

  DeleteBlobs blobs(p);
  rc = open_validity(p, chunkId, chunkOffset, &blobs);
  if (rc == SQLITE_OK) rc = open_rowids(p, rowid, chunkId, chunkOffset, &blobs);
  if (rc == SQLITE_OK) rc = open_columns(p, chunkId, chunkOffset, &blobs);
  if (rc != SQLITE_OK) return rc;

  rc = jix0Update_Delete_ClearValidity(p, chunkId, chunkOffset, &blobs);
  if (rc != SQLITE_OK) return rc;
  rc = jix0Update_Delete_ClearRowid(p, chunkId, chunkOffset, &blobs);
  if (rc != SQLITE_OK) return rc;
  rc = jix0Update_Delete_ClearVectors(p, chunkId, chunkOffset, &blobs);
  if (rc != SQLITE_OK) return rc;
  rc = jix0Update_Delete_DeleteRowids(p, rowid);
  if (rc != SQLITE_OK) return rc;
  if (p->numAuxiliaryColumns > 0) {
    rc = jix0Update_Delete_DeleteAux(p, rowid);
    if (rc != SQLITE_OK) return rc;
  }
  for (int m = 0; m < p->numMetadataColumns; m++) {
    rc = jix0Update_Delete_ClearMetadata(p, m, rowid, chunkOffset, &blobs);
    if (rc != SQLITE_OK) return rc;
  }
  int removed;
  return jix0Update_Delete_DeleteChunkIfEmpty(p, chunkId, blobs.bitmap.get(), blobs.bitmapBytes,
                                              &removed);
}
