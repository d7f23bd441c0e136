// The chunk API: one chunk of a jix0 table as one object over its BLOBs (validity, rowids,
// one per vector column, one per metadata column), and the operations on whole chunks and
// on slots that every writer and the index build share.
//
// Opening checks each BLOB's size once, so later reads and writes at a slot cannot run past
// it. A write path opens and checks everything it will touch first and writes after, so damaged
// storage is met while nothing has changed. Results are SQLite codes; SQLITE_EMPTY is an
// answer, not a failure.
#pragma once

#include <cstdint>

#include "base/array.h"
#include "base/handles.h"
#include "jix0/table/table.h"

enum ChunkPart : int {
  JIX0_PART_VALIDITY,
  JIX0_PART_ROWIDS,
  JIX0_PART_VECTORS,   // with the vector column's index
  JIX0_PART_METADATA,  // with the metadata column's index
  // A compact code per slot of the indexed vector column, which searches scan before the
  // vectors themselves; a part of the chunk only while p->codesSlotBytes > 0.
  JIX0_PART_CODES,
};

// Whether chunks of p have the codes part.
inline bool jix0_has_codes(const jix0_vtab* p) {
  return p->codesSlotBytes > 0;
}

// Bytes of a part's BLOB in every chunk of p, and of one slot in it; a slot of a bit part
// (validity, BOOLEAN metadata) has 0 bytes.
sqlite3_int64 jix0_part_bytes(const jix0_vtab* p, ChunkPart part, int column);

// The largest record a chunk of chunkSize slots writes (its chunks row, or one column's BLOB),
// with room for the record's header: SQLite refuses any value or record over
// SQLITE_LIMIT_LENGTH.
sqlite3_int64 jix0_chunk_largest_record(const jix0_vtab* p, int chunkSize);

// SQLITE_OK when a chunk of p's size fits this connection's length limit; else SQLITE_TOOBIG
// with the table's message. Checked before a new chunk's first write, so a chunk that cannot
// be stored is refused while nothing has changed.
[[nodiscard]] int jix0_chunk_check_length(jix0_vtab* p);
int jix0_part_slot_bytes(const jix0_vtab* p, ChunkPart part, int column);

// A BLOB that could not be opened, or whose size is wrong. Each operation words its own
// message from it, so the fault is handed to the caller's report.
struct ChunkFault {
  ChunkPart part;
  int column;
  const char* table;  // the shadow table
  sqlite3_int64 chunkId;
  sqlite3_int64 slot;  // the slot checked by OpenSlot; 0 for a whole part
  int rc;              // the open's code; SQLITE_OK when the size is at fault
  sqlite3_int64 actual;
  sqlite3_int64 expected;  // a whole part's size; 0 for OpenSlot
};
// Sets the message of a fault, if any, and returns the code to report.
using ChunkFaultReport = int (*)(jix0_vtab* p, const ChunkFault& fault);

// The one place a chunk's BLOB is opened: opens *handle on one part of chunk id, or moves it
// there when it is open already (far cheaper than closing and opening), and checks the BLOB's
// size: exactly the part's when whole, else room for slot `slot`. On failure *handle is
// closed, *fault (may be null) says what failed, and the code is the open's, or SQLITE_ERROR
// for a size. A handle is moved only between rows of its own table and mode: the caller closes
// it first to change either.
[[nodiscard]] int jix0_part_open(jix0_vtab* p, ChunkPart part, int column, sqlite3_int64 id,
                                 bool write, bool whole, sqlite3_int64 slot, sqlite3_blob** handle,
                                 ChunkFault* fault);
[[nodiscard]] inline int jix0_part_open(jix0_vtab* p, ChunkPart part, int column, sqlite3_int64 id,
                                        bool write, bool whole, sqlite3_int64 slot, BlobPtr* handle,
                                        ChunkFault* fault) {
  sqlite3_blob* raw = handle->release();
  int rc = jix0_part_open(p, part, column, id, write, whole, slot, &raw, fault);
  handle->reset(raw);
  return rc;
}

// A whole chunk held in memory: every BLOB back to back, each starting on an 8-byte boundary
// so that vectors are read as aligned floats. Offsets and sizes are in bytes.
struct ChunkLayout {
  sqlite3_int64 validity = 0;
  sqlite3_int64 rowids = 0;
  sqlite3_int64 vectors[JIX0_MAX_VECTOR_COLUMNS] = {};
  sqlite3_int64 metadata[JIX0_MAX_METADATA_COLUMNS] = {};
  sqlite3_int64 vectorBytes[JIX0_MAX_VECTOR_COLUMNS] = {};
  sqlite3_int64 metadataBytes[JIX0_MAX_METADATA_COLUMNS] = {};
  sqlite3_int64 codes = 0;
  sqlite3_int64 codesBytes = 0;  // 0 without the codes part
  sqlite3_int64 total = 0;

  explicit ChunkLayout(const jix0_vtab* p);
};

// The open BLOB handles of one chunk at a time. Opening a part again on another chunk moves
// its handle there (far cheaper than closing and opening). Handles close with the object; a
// write's own failure can surface at close, so writers close with ClosePart.
class Chunk {
 public:
  explicit Chunk(jix0_vtab* p) : p_(p) {}
  Chunk(const Chunk&) = delete;
  Chunk& operator=(const Chunk&) = delete;

  // Opens one part of chunk id, whose BLOB must have exactly its size. On failure the handle
  // is closed and `report` gives the code; without one the code is the open's, or
  // SQLITE_ERROR for a size.
  [[nodiscard]] int OpenPart(ChunkPart part, int column, sqlite3_int64 id, bool write,
                             ChunkFaultReport report);
  // The same for a write or read at one slot: the BLOB need only hold that slot.
  [[nodiscard]] int OpenSlot(ChunkPart part, int column, sqlite3_int64 id, bool write,
                             sqlite3_int64 slot, ChunkFaultReport report);
  // Opens every part of chunk id, each of exactly its size.
  [[nodiscard]] int Open(sqlite3_int64 id, bool write, ChunkFaultReport report);

  sqlite3_blob* blob(ChunkPart part, int column = 0) { return Handle(part, column).get(); }
  sqlite3_int64 id() const { return id_; }

  // The whole BLOB of a part into (from) buffer, jix0_part_bytes long. REQUIRES: part open.
  [[nodiscard]] int ReadPart(ChunkPart part, int column, void* buffer);
  [[nodiscard]] int WritePart(ChunkPart part, int column, const void* buffer);
  // Every part, as opened by Open, into (from) an image laid out as layout says.
  [[nodiscard]] int ReadImage(const ChunkLayout& layout, uint8_t* image);
  [[nodiscard]] int WriteImage(const ChunkLayout& layout, const uint8_t* image);
  // One slot of a part whose slots have bytes. REQUIRES: part open, slot inside it.
  [[nodiscard]] int ReadSlot(ChunkPart part, int column, sqlite3_int64 slot, void* out);
  [[nodiscard]] int WriteSlot(ChunkPart part, int column, sqlite3_int64 slot, const void* in);
  // Sets or clears a slot's bit in a bit part (validity, BOOLEAN metadata).
  [[nodiscard]] int WriteBit(ChunkPart part, int column, sqlite3_int64 slot, bool on);

  // Closes one part's handle and returns the close's code.
  [[nodiscard]] int ClosePart(ChunkPart part, int column = 0);
  // Closes every handle; nothing to report (reads only, or the caller already failed).
  void Close();

 private:
  BlobPtr& Handle(ChunkPart part, int column);
  int OpenChecked(ChunkPart part, int column, sqlite3_int64 id, bool write, bool whole,
                  sqlite3_int64 slot, ChunkFaultReport report);

  jix0_vtab* p_;
  sqlite3_int64 id_ = 0;
  BlobPtr validity_, rowids_;
  BlobPtr vectors_[JIX0_MAX_VECTOR_COLUMNS];
  BlobPtr metadata_[JIX0_MAX_METADATA_COLUMNS];
  BlobPtr codes_;
  // Which open handles were opened read-write; bit i: validity, rowids, vectors, metadata,
  // codes.
  bool writable_[3 + JIX0_MAX_VECTOR_COLUMNS + JIX0_MAX_METADATA_COLUMNS] = {};
};

// Copies slot `from` of the chunk image `source` into slot `to` of `target`: validity bit,
// rowid, vectors, metadata and codes.
void jix0_image_copy_slot(const jix0_vtab* p, const ChunkLayout& layout, const uint8_t* source,
                          int from, uint8_t* target, int to);
// Frees a slot of a chunk image: its validity bit and every byte or bit of it become zero.
void jix0_image_clear_slot(const jix0_vtab* p, const ChunkLayout& layout, uint8_t* image, int slot);

// A chunk and the group it belongs to: chunks of one partition (and, when asked, of one
// list) share a group number.
struct ChunkRef {
  sqlite3_int64 id;
  sqlite3_int64 group;
};

// Appends every chunk to out (an Array of ChunkRef), ordered by group, then chunk_id. Chunks
// whose partition values are equal by `IS`, as inserts match them, share a group; with
// listsApart, so must their lists.
[[nodiscard]] int jix0_chunks_collect(jix0_vtab* p, bool listsApart, Array* out);

// Creates a chunk of the partition (and, on indexed tables, of list; JIX0_NO_LIST: of none)
// holding image, laid out as layout says, or all zero bytes when image is null, with its row
// in every per-column chunk table. outChunkId may be null. Sets no message, and leaves what
// it inserted before a failure. REQUIRES: jix0_chunk_check_length passed for this write (the
// caller checks once, before its first write).
[[nodiscard]] int jix0_chunk_insert(jix0_vtab* p, sqlite3_value** partitionValues,
                                    sqlite3_int64 list, const ChunkLayout& layout,
                                    const uint8_t* image, sqlite3_int64* outChunkId);

// The newest chunk of a group (the partition's, and on indexed tables the list's): the one a new
// row of the group fills next. SQLITE_EMPTY when the group has no chunk. On a table without
// partition keys the answer is remembered per list for the connection, and so is each chunk
// jix0_new_chunk makes, so that a batch of inserts looks each list up once. The memory holds
// while the database's data version stays (another connection's commit moves it) and until
// jix0_chunk_newest_forget: after a rollback, a failed write, a command, a rename and every
// chunk delete.
[[nodiscard]] int jix0_chunk_newest(jix0_vtab* p, sqlite3_value** partitionValues,
                                    sqlite3_int64 list, sqlite3_int64* outChunkId);
void jix0_chunk_newest_forget(jix0_vtab* p);
// Frees the memory, with the table object.
void jix0_chunk_newest_free(jix0_vtab* p);

// Deletes a chunk's row from T_chunks and from every per-column chunk table. Returns the
// failing step's own code and sets no message.
[[nodiscard]] int jix0_chunk_delete(jix0_vtab* p, sqlite3_int64 chunkId);

// Checks one metadata value against its column's kind: SQLITE_OK, or SQLITE_ERROR with the
// message set. Lets a write check every value before it stores anything.
[[nodiscard]] int jix0_check_metadata_value(jix0_vtab* p, int metadataIdx, sqlite3_value* value);
// Checks one metadata value and writes it into the row's slot, and a long text into its
// T_metadatatextNN row (isUpdate: the row may already have one).
[[nodiscard]] int jix0_write_metadata_value(jix0_vtab* p, int metadataIdx, sqlite3_int64 rowid,
                                            sqlite3_int64 chunkId, sqlite3_int64 chunkOffset,
                                            sqlite3_value* value, int isUpdate);
// Zeroes the row's slot of a metadata column through blob, and deletes its long text.
// REQUIRES: the slot lies inside blob.
[[nodiscard]] int jix0_clear_metadata_slot(jix0_vtab* p, sqlite3_blob* blob, int metadataIdx,
                                           sqlite3_int64 rowid, sqlite3_int64 chunkOffset);
