// Row and chunk primitives over the jix0 storage format: row positions, TEXT id mapping,
// single-value reads, latest-chunk lookup, chunk creation and the rowids shadow table.
//
// Every operation answers with an SQLite result code. SQLITE_EMPTY is an answer (no such
// row, no such chunk), not a failure. Messages, where an operation names one, are set on the
// table with vtab_set_error. Statements used per row are cached on the table (statements.h);
// each use resets its statement and clears its bindings. Whole chunks and their BLOBs are
// handled through chunk.h.
#pragma once

#include "jix0/table/table.h"

// Opens messages about storage that does not match the table's definition, or failures of
// SQLite's BLOB interface: states that valid use does not reach.
#define JIX0_INTERNAL_ERROR "Internal sqlite-jix error"

// Wanted outputs may be null. *outId is a sqlite3_value_dup copy the caller frees.
[[nodiscard]] int jix0_get_chunk_position(jix0_vtab* p, sqlite3_int64 rowid, sqlite3_value** outId,
                                          sqlite3_int64* outChunkId, sqlite3_int64* outChunkOffset);
[[nodiscard]] int jix0_get_id_value_from_rowid(jix0_vtab* p, sqlite3_int64 rowid,
                                               sqlite3_value** outId);
// Maps a TEXT primary key value to its rowid.
[[nodiscard]] int jix0_rowid_from_id(jix0_vtab* p, sqlite3_value* id, sqlite3_int64* outRowid);
// Sets the id column's value of rowid as the result of context.
[[nodiscard]] int jix0_result_id(jix0_vtab* p, sqlite3_context* context, sqlite3_int64 rowid);
// *outVector is sqlite3_malloc'd and set only on SQLITE_OK; the caller frees it. outSize may
// be null. REQUIRES: 0 <= vectorColumnIdx < p->numVectorColumns.
[[nodiscard]] int jix0_get_vector_data(jix0_vtab* p, sqlite3_int64 rowid, int vectorColumnIdx,
                                       void** outVector, int* outSize);
// Reads slot `slot` of metadata column metadataIdx's chunk BLOB, open on blob, and sets it as
// the result of context; a long text is read by rowid.
[[nodiscard]] int jix0_result_metadata_slot(jix0_vtab* p, sqlite3_blob* blob, sqlite3_int64 rowid,
                                            int metadataIdx, sqlite3_int64 slot,
                                            sqlite3_context* context);
// partitionValues: one value per partition-key column, or null when there are none. A NULL
// key matches chunks whose key is NULL. SQLITE_EMPTY when the partition has no chunk. On indexed
// tables only chunks of the given list count, JIX0_NO_LIST meaning chunks of no list.
constexpr sqlite3_int64 JIX0_NO_LIST = -1;
// Lists are numbered 0 .. JIX0_MAX_LISTS - 1.
constexpr int JIX0_MAX_LISTS = 65536;
[[nodiscard]] int jix0_get_latest_chunk_rowid(jix0_vtab* p, sqlite3_int64* outChunkId,
                                              sqlite3_value** partitionValues,
                                              sqlite3_int64 list = JIX0_NO_LIST);
// Reserves rowid in T_rowids with no position yet.
[[nodiscard]] int jix0_rowids_insert_rowid(jix0_vtab* p, sqlite3_int64 rowid);
// id may be null: the row gets a NULL id. *outRowid is the rowid AUTOINCREMENT assigned.
[[nodiscard]] int jix0_rowids_insert_id(jix0_vtab* p, sqlite3_value* id, sqlite3_int64* outRowid);
[[nodiscard]] int jix0_rowids_update_position(jix0_vtab* p, sqlite3_int64 rowid,
                                              sqlite3_int64 chunkId, sqlite3_int64 chunkOffset);
// Bytes of one metadata chunk BLOB of the given kind.
int jix0_metadata_chunk_size(MetadataColumnKind kind, int chunkSize);
// Bytes of one slot in a metadata chunk BLOB; 0 for BOOLEAN, whose slots are bits.
int jix0_metadata_slot_bytes(MetadataColumnKind kind);
// Creates an empty chunk of the partition and its row in every per-column chunk table, the
// group's newest (jix0_chunk_newest remembers it). outChunkId may be null. Sets no message,
// and leaves what it inserted before a failure. On indexed tables the chunk belongs to list
// (JIX0_NO_LIST: to none). REQUIRES: jix0_chunk_check_length passed for this write.
[[nodiscard]] int jix0_new_chunk(jix0_vtab* p, sqlite3_value** partitionValues,
                                 sqlite3_int64* outChunkId, sqlite3_int64 list = JIX0_NO_LIST);
