// Integer row keys under SQLite's comparison rules for rowids.
#include "jix0/query/row_key.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == '\v';
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Numeric affinity on a text, as SQLite applies it when comparing with a rowid: only a whole,
// well-formed decimal integer or real literal (spaces around it allowed, no hexadecimal)
// becomes a number. Parsed here rather than through sqlite3_value_numeric_type, which would
// change the caller's argument in place, and which newer releases refuse on a copy made by
// sqlite3_value_dup.
int text_key(const char* text, int n, sqlite3_int64* outRowid) {
  int start = 0, end = n;
  while (start < end && is_space(text[start])) start++;
  while (end > start && is_space(text[end - 1])) end--;
  int i = start;
  if (i < end && (text[i] == '+' || text[i] == '-')) i++;
  int digits = 0;
  bool integer = true;
  while (i < end && is_digit(text[i])) i++, digits++;
  if (i < end && text[i] == '.') {
    integer = false;
    for (i++; i < end && is_digit(text[i]); i++) digits++;
  }
  if (digits == 0) return SQLITE_EMPTY;
  if (i < end && (text[i] == 'e' || text[i] == 'E')) {
    integer = false;
    i++;
    if (i < end && (text[i] == '+' || text[i] == '-')) i++;
    int exponentDigits = 0;
    while (i < end && is_digit(text[i])) i++, exponentDigits++;
    if (exponentDigits == 0) return SQLITE_EMPTY;
  }
  if (i != end) return SQLITE_EMPTY;  // '2abc' and the like

  char buffer[64];
  char* literal = buffer;
  int length = end - start;
  if (length >= (int)sizeof(buffer)) {
    literal = (char*)sqlite3_malloc(length + 1);
    if (!literal) return SQLITE_NOMEM;
  }
  memcpy(literal, text + start, length);
  literal[length] = 0;
  int rc = SQLITE_EMPTY;
  errno = 0;
  char* stop = nullptr;
  long long whole = integer ? strtoll(literal, &stop, 10) : 0;
  if (integer && errno == 0) {
    *outRowid = whole;
    rc = SQLITE_OK;
  } else {
    // A real, or an integer beyond 64 bits, which SQLite keeps as a real.
    rc = real_key(strtod(literal, &stop), outRowid);
  }
  if (literal != buffer) sqlite3_free(literal);
  return rc;
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
      const char* text = (const char*)sqlite3_value_text(value);
      if (!text) return SQLITE_NOMEM;
      return text_key(text, sqlite3_value_bytes(value), outRowid);
    }
    default:
      return SQLITE_EMPTY;  // NULL and BLOBs name no rowid
  }
}
