// Metadata filter bitmaps, read from one metadata chunk BLOB per constraint and chunk.
//
// A NULL constraint value matches no slot, as SQL's comparisons with NULL are never true;
// IN lists hold no NULLs (the KNN filter skips them while gathering).
#include "jix0/query/metadata_filter.h"

#include <cstring>

#include "base/bitmap.h"
#include "base/handles.h"
#include "jix0/query/plan.h"
#include "jix0/storage/chunks.h"
#include "jix0/storage/shadow_tables.h"
#include "jix0/table/result_codes.h"

void jix0_metadata_in_lists_free(Array* lists, const jix0_vtab* p) {
  if (!lists) return;
  jix0_metadata_in_list* entries = (jix0_metadata_in_list*)lists->data;
  for (size_t i = 0; i < lists->length; i++) {
    jix0_metadata_in_list& list = entries[i];
    if (p->metadata_columns[list.metadata_index].kind == JIX0_METADATA_TEXT) {
      jix0_metadata_text_value* values = (jix0_metadata_text_value*)list.values.data;
      for (size_t j = 0; j < list.values.length; j++) sqlite3_free(values[j].text);
    }
    array_cleanup(&list.values);
  }
  array_cleanup(lists);
}

int jix0_get_metadata_text_long_value(jix0_vtab* p, sqlite3_stmt** stmt, int metadataIdx,
                                      sqlite3_int64 rowid, int* outLength, const char** outText) {
  int rc = prepare_cached(p->db, stmt, [&] {
    return sqlite3_mprintf(JIX0_SQL_SELECT_METADATA_TEXT, p->schemaName, p->tableName, metadataIdx);
  });
  if (rc != SQLITE_OK) return rc;
  sqlite3_reset(*stmt);
  sqlite3_bind_int64(*stmt, 1, rowid);
  rc = jix_step(*stmt);
  if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? SQLITE_ERROR : jix0_failure_code(rc);
  *outText = (const char*)sqlite3_column_text(*stmt, 0);
  *outLength = sqlite3_column_bytes(*stmt, 0);
  if (!*outText && *outLength > 0) return SQLITE_NOMEM;
  return SQLITE_OK;
}

namespace {

// Orders two texts byte by byte as unsigned values, then by length: SQLite's own BINARY
// order, so a filtered KNN query agrees with the same comparison evaluated by SQLite.
int compare_text(const char* a, int aLength, const char* b, int bLength) {
  int n = aLength < bLength ? aLength : bLength;
  int c = n > 0 ? memcmp(a, b, (size_t)n) : 0;
  if (c != 0) return c;
  return (aLength > bLength) - (aLength < bLength);
}

bool relation_holds(char op, int c) {
  switch (op) {
    case JIX0_OP_EQ:
      return c == 0;
    case JIX0_OP_GT:
      return c > 0;
    case JIX0_OP_LE:
      return c <= 0;
    case JIX0_OP_LT:
      return c < 0;
    case JIX0_OP_GE:
      return c >= 0;
    case JIX0_OP_NE:
      return c != 0;
    default:
      return false;
  }
}

sqlite3_int64 rowid_at(const uint8_t* rowids, int slot) {
  sqlite3_int64 rowid;
  memcpy(&rowid, rowids + (size_t)slot * sizeof(rowid), sizeof(rowid));
  return rowid;
}

// State shared by the per-slot text comparisons of one filter call.
struct TextFilter {
  jix0_vtab* p;
  int metadataIdx;
  const uint8_t* rowids;
  sqlite3_stmt** longTextStmt;

  // The whole stored text of slot, whose entry says it is storedLength bytes long.
  int fetch(int slot, int storedLength, const char** outText) const {
    int length = 0;
    int rc = jix0_get_metadata_text_long_value(p, longTextStmt, metadataIdx, rowid_at(rowids, slot),
                                               &length, outText);
    if (rc != SQLITE_OK) return rc;
    if (length != storedLength) return SQLITE_ERROR;
    return SQLITE_OK;
  }
};

int filter_text(const TextFilter& f, const uint8_t* data, int size, char op, sqlite3_value* value,
                const jix0_metadata_in_list* inList, uint8_t* outBitmap) {
  const char* q = nullptr;
  int n = 0;
  if (op != JIX0_OP_IN) {
    if (sqlite3_value_type(value) == SQLITE_NULL) {
      bitmap_clear(outBitmap, size);
      return SQLITE_OK;
    }
    q = (const char*)sqlite3_value_text(value);
    n = sqlite3_value_bytes(value);
    if (!q) return SQLITE_NOMEM;
  }

  for (int i = 0; i < size; i++) {
    const uint8_t* entry = data + (size_t)i * JIX0_METADATA_TEXT_ENTRY;
    int32_t storedLength;
    memcpy(&storedLength, entry, sizeof(storedLength));
    // Damage: no text has a negative length, and read as empty it would match silently.
    if (storedLength < 0) return SQLITE_ERROR;
    const char* prefix = (const char*)entry + 4;
    int prefixLength =
        storedLength < JIX0_METADATA_TEXT_PREFIX ? storedLength : JIX0_METADATA_TEXT_PREFIX;
    bool isLong = storedLength > JIX0_METADATA_TEXT_PREFIX;

    bool pass = false;
    if (op == JIX0_OP_IN) {
      const jix0_metadata_text_value* values = (const jix0_metadata_text_value*)inList->values.data;
      for (size_t j = 0; j < inList->values.length && !pass; j++) {
        if (values[j].length != storedLength) continue;
        if (memcmp(prefix, values[j].text, (size_t)prefixLength) != 0) continue;
        if (!isLong) {
          pass = true;
          continue;
        }
        const char* full = nullptr;
        int rc = f.fetch(i, storedLength, &full);
        if (rc != SQLITE_OK) return rc;
        pass = memcmp(full, values[j].text, (size_t)storedLength) == 0;
      }
    } else if (op == JIX0_OP_EQ || op == JIX0_OP_NE) {
      // Length and the 12-byte prefix decide most slots without touching the long-text table.
      bool equal = storedLength == n && memcmp(prefix, q, (size_t)prefixLength) == 0;
      if (equal && isLong) {
        const char* full = nullptr;
        int rc = f.fetch(i, storedLength, &full);
        if (rc != SQLITE_OK) return rc;
        equal = memcmp(full, q, (size_t)n) == 0;
      }
      pass = op == JIX0_OP_EQ ? equal : !equal;
    } else {
      const char* s = prefix;
      if (isLong) {
        int rc = f.fetch(i, storedLength, &s);
        if (rc != SQLITE_OK) return rc;
      }
      pass = relation_holds(op, compare_text(s, isLong ? storedLength : prefixLength, q, n));
    }
    bitmap_set(outBitmap, i, pass);
  }
  return SQLITE_OK;
}

// Writes the bitmap of size slots (a multiple of 8) a byte at a time, bit j of byte b being
// pass(8b + j) for the slot's 8-byte value. The comparison is chosen once per chunk, outside
// the loop, so the loop is a plain compare the compiler can keep branch-free.
template <typename T, typename Pass>
void fill_bitmap(const uint8_t* data, int size, uint8_t* outBitmap, Pass pass) {
  for (int b = 0; b < size / 8; b++) {
    unsigned bits = 0;
    for (int j = 0; j < 8; j++) {
      T x;
      memcpy(&x, data + (size_t)(8 * b + j) * sizeof(x), sizeof(x));
      bits |= (unsigned)pass(x) << j;
    }
    outBitmap[b] = (uint8_t)bits;
  }
}

// The six comparisons of x against y. Direct comparisons, so for doubles a NaN on either side
// fails all but !=. Any other operator matches nothing.
template <typename T>
void compare_slots(const uint8_t* data, int size, char op, T y, uint8_t* outBitmap) {
  switch (op) {
    case JIX0_OP_EQ:
      return fill_bitmap<T>(data, size, outBitmap, [y](T x) { return x == y; });
    case JIX0_OP_GT:
      return fill_bitmap<T>(data, size, outBitmap, [y](T x) { return x > y; });
    case JIX0_OP_LE:
      return fill_bitmap<T>(data, size, outBitmap, [y](T x) { return x <= y; });
    case JIX0_OP_LT:
      return fill_bitmap<T>(data, size, outBitmap, [y](T x) { return x < y; });
    case JIX0_OP_GE:
      return fill_bitmap<T>(data, size, outBitmap, [y](T x) { return x >= y; });
    case JIX0_OP_NE:
      return fill_bitmap<T>(data, size, outBitmap, [y](T x) { return x != y; });
    default:
      bitmap_clear(outBitmap, size);
  }
}

int filter_integer(const uint8_t* data, int size, char op, sqlite3_value* value,
                   const jix0_metadata_in_list* inList, uint8_t* outBitmap) {
  if (op == JIX0_OP_IN) {
    const sqlite3_int64* values = (const sqlite3_int64*)inList->values.data;
    size_t n = inList->values.length;
    fill_bitmap<sqlite3_int64>(data, size, outBitmap, [values, n](sqlite3_int64 x) {
      for (size_t j = 0; j < n; j++)
        if (x == values[j]) return true;
      return false;
    });
    return SQLITE_OK;
  }
  if (sqlite3_value_type(value) == SQLITE_NULL) {
    bitmap_clear(outBitmap, size);
    return SQLITE_OK;
  }
  compare_slots<sqlite3_int64>(data, size, op, sqlite3_value_int64(value), outBitmap);
  return SQLITE_OK;
}

int filter_float(const uint8_t* data, int size, char op, sqlite3_value* value, uint8_t* outBitmap) {
  if (sqlite3_value_type(value) == SQLITE_NULL) {
    bitmap_clear(outBitmap, size);
    return SQLITE_OK;
  }
  compare_slots<double>(data, size, op, sqlite3_value_double(value), outBitmap);
  return SQLITE_OK;
}

void filter_boolean(const uint8_t* data, int size, char op, sqlite3_value* value,
                    uint8_t* outBitmap) {
  if (sqlite3_value_type(value) == SQLITE_NULL) {
    bitmap_clear(outBitmap, size);
    return;
  }
  bool v = sqlite3_value_int(value) != 0;
  bool keepTrue = (op == JIX0_OP_EQ) == v;
  for (int b = 0; b < size / 8; b++) outBitmap[b] = keepTrue ? data[b] : (uint8_t)~data[b];
}

}  // namespace

const jix0_metadata_in_list* jix0_find_metadata_in_list(const Array* inLists, int argumentIndex) {
  if (!inLists) return nullptr;
  const jix0_metadata_in_list* lists = (const jix0_metadata_in_list*)inLists->data;
  for (size_t i = 0; i < inLists->length; i++) {
    if (lists[i].argument_index == argumentIndex) return &lists[i];
  }
  return nullptr;
}

int jix0_set_metadata_filter_bitmap(jix0_vtab* p, const jix0_metadata_filter& filter,
                                    sqlite3_blob* blob, sqlite3_stmt** longTextStmt,
                                    const jix0_metadata_chunk& chunk, uint8_t* outBitmap) {
  const int metadataIdx = filter.metadata_index;
  const char op = filter.op;
  sqlite3_value* value = filter.value;
  const int size = chunk.size;
  MetadataColumnKind kind = p->metadata_columns[metadataIdx].kind;
  const int bytes = sqlite3_blob_bytes(blob);

  const jix0_metadata_in_list* inList = filter.in_list;
  if (op == JIX0_OP_IN) {
    if (!inList) return SQLITE_ERROR;
    if (kind != JIX0_METADATA_INTEGER && kind != JIX0_METADATA_TEXT) return SQLITE_ERROR;
  }

  uint8_t* data = chunk.scratch;  // the BLOB's size was checked against the chunk's at its open
  int rc = jix_blob_read(blob, data, bytes, 0);
  if (rc != SQLITE_OK) return rc;

  switch (kind) {
    case JIX0_METADATA_BOOLEAN:
      filter_boolean(data, size, op, value, outBitmap);
      return SQLITE_OK;
    case JIX0_METADATA_INTEGER:
      return filter_integer(data, size, op, value, inList, outBitmap);
    case JIX0_METADATA_FLOAT:
      return filter_float(data, size, op, value, outBitmap);
    case JIX0_METADATA_TEXT:
      return filter_text(TextFilter{p, metadataIdx, chunk.rowids, longTextStmt}, data, size, op,
                         value, inList, outBitmap);
  }
  return SQLITE_ERROR;
}
