// Metadata filters of a KNN query: one bitmap per '&' block and chunk, bit i set when slot i
// passes the constraint. Stored values are on the left of every comparison.
#pragma once

#include <cstdint>

#include "base/array.h"
#include "jix0/table/table.h"

// The values of one `x IN (...)` constraint, gathered once per query.
struct jix0_metadata_in_list {
  int argument_index;  // the plan block and xFilter argument it belongs to
  int metadata_index;
  Array values;  // sqlite3_int64 for INTEGER columns, jix0_metadata_text_value for TEXT
};

struct jix0_metadata_text_value {
  int length;  // bytes
  char* text;  // owned, NUL-terminated
};

// Frees every list's values (and text copies) and the lists array itself. Accepts null.
void jix0_metadata_in_lists_free(Array* lists, const jix0_vtab* p);

// The list gathered for the argument at argumentIndex, or null. Accepts a null inLists.
const jix0_metadata_in_list* jix0_find_metadata_in_list(const Array* inLists, int argumentIndex);

// One metadata constraint of a query.
struct jix0_metadata_filter {
  int metadata_index;
  char op;
  sqlite3_value* value;                  // the constraint value; unused for IN
  const jix0_metadata_in_list* in_list;  // IN only: the gathered values
};

// The chunk a filter is evaluated on.
struct jix0_metadata_chunk {
  sqlite3_int64 chunk_id;
  int size;  // slots
  // The chunk's size slot rowids, for fetching long texts; read only for TEXT columns, so it
  // may be null for the others.
  const uint8_t* rowids;
  // At least size * 16 bytes (the largest metadata chunk BLOB), reused from chunk to chunk so
  // that filtering allocates nothing.
  uint8_t* scratch;
};

// Writes the filter bitmap of one metadata constraint for one chunk.
//   blob: open on the column's "data" of this chunk, its size checked (storage/chunk.h).
//   longTextStmt: statement slot for long-text lookups; prepared on first use, the caller
//     finalizes it.
// outBitmap must be cleared by the caller. Sets no message; the caller reports failures.
[[nodiscard]] int jix0_set_metadata_filter_bitmap(jix0_vtab* p, const jix0_metadata_filter& filter,
                                                  sqlite3_blob* blob, sqlite3_stmt** longTextStmt,
                                                  const jix0_metadata_chunk& chunk,
                                                  uint8_t* outBitmap);

// The full text of one long TEXT metadata value. *outText belongs to *stmt and stays valid
// until its next use.
[[nodiscard]] int jix0_get_metadata_text_long_value(jix0_vtab* p, sqlite3_stmt** stmt,
                                                    int metadataIdx, sqlite3_int64 rowid,
                                                    int* outLength, const char** outText);
