// Reads the stored values of the rows a cursor stands on. It keeps one BLOB handle per vector
// and metadata column, moved from chunk to chunk, and one prepared statement per partition
// and auxiliary column, so a row's cells cost a BLOB read or a step each, not an open or a
// prepare.
#pragma once

#include <cstdint>

#include "jix0/table/table.h"

enum Jix0ReaderCache : int8_t {
  JIX0_READER_CACHE_UNKNOWN,  // zero: a zeroed reader has not asked yet
  JIX0_READER_CACHE_ON,
  JIX0_READER_CACHE_OFF,
};

struct jix0_row_reader {
  sqlite3_blob* vectors[JIX0_MAX_VECTOR_COLUMNS];
  sqlite3_blob* metadata[JIX0_MAX_METADATA_COLUMNS];
  // The chunk each open handle stands on: rows of one chunk in a row need no move.
  sqlite3_int64 vectorChunks[JIX0_MAX_VECTOR_COLUMNS];
  sqlite3_int64 metadataChunks[JIX0_MAX_METADATA_COLUMNS];
  sqlite3_stmt* partitions[JIX0_MAX_PARTITION_COLUMNS];
  sqlite3_stmt* auxiliary[JIX0_MAX_AUXILIARY_COLUMNS];
  // sqlite3_total_changes when the BLOB handles were last known valid: a change to a row
  // expires the handles on it, so they are opened again after any change.
  int changes;
  // Whether vectors are read from the resident cache, settled at the first vector read.
  Jix0ReaderCache cache;
};

// Where a row is stored.
struct jix0_row_place {
  sqlite3_int64 rowid;
  sqlite3_int64 chunkId;
  sqlite3_int64 slot;
};

// Closes the reader's BLOB handles; its statements stay prepared for the next filter.
void jix0_row_reader_close_blobs(jix0_row_reader* r);
// Closes what the reader holds and hands its statements back to table p (or finalizes
// them); it can be used again after.
void jix0_row_reader_clear(jix0_row_reader* r, jix0_vtab* p);

// Each sets the column's value of the row at `place` as the result of context. Messages are
// the ones of the single-value reads in storage/chunks.h.
[[nodiscard]] int jix0_row_reader_vector(jix0_vtab* p, jix0_row_reader* r,
                                         const jix0_row_place& place, int vectorIdx,
                                         sqlite3_context* context);
[[nodiscard]] int jix0_row_reader_metadata(jix0_vtab* p, jix0_row_reader* r,
                                           const jix0_row_place& place, int metadataIdx,
                                           sqlite3_context* context);
[[nodiscard]] int jix0_row_reader_partition(jix0_vtab* p, jix0_row_reader* r,
                                            const jix0_row_place& place, int partitionIdx,
                                            sqlite3_context* context);
// Auxiliary values are stored by rowid: the place's chunk is not used.
[[nodiscard]] int jix0_row_reader_auxiliary(jix0_vtab* p, jix0_row_reader* r, sqlite3_int64 rowid,
                                            int auxiliaryIdx, sqlite3_context* context);
