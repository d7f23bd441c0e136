// Integer row keys under SQLite's comparison rules for rowids.
#include "jix0/query/row_key.h"

#include "vector/handles.h"

namespace {

// A real names a rowid only when it holds an integer exactly, strictly inside the 64-bit
// range (SQLite leaves both ends as reals).
int real_key(double r, sqlite3_int64* outRowid) {
  if (!(r > -9223372036854775808.0 && r < 9223372036854775808.0)) return SQLITE_EMPTY;
  sqlite3_int64 i = (sqlite3_int64)r;
  if ((double)i != r) return SQLITE_EMPTY;
  *outRowid = i;
  return SQLITE_OK;
}

}  // namespace

int jix0_integer_key(sqlite3_value* value, sqlite3_int64* outRowid) {
  switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER:
      *outRowid = sqlite3_value_int64(value);
      return SQLITE_OK;
    case SQLITE_FLOAT:
      return real_key(sqlite3_value_double(value), outRowid);
    case SQLITE_TEXT: {
      // Numeric affinity, as SQLite applies it to the key, on a copy: the argument itself
      // must keep its type.
      ValuePtr copy(sqlite3_value_dup(value));
      if (!copy) return SQLITE_NOMEM;
      switch (sqlite3_value_numeric_type(copy.get())) {
        case SQLITE_INTEGER:
          *outRowid = sqlite3_value_int64(copy.get());
          return SQLITE_OK;
        case SQLITE_FLOAT:
          return real_key(sqlite3_value_double(copy.get()), outRowid);
        default:
          return SQLITE_EMPTY;
      }
    }
    default:
      return SQLITE_EMPTY;  // NULL and BLOBs name no rowid
  }
}
