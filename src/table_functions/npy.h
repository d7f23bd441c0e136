// NumPy input: jix_npy_file(path) and the eponymous table-valued function jix_npy_each,
// which lists the rows of a two-dimensional float32 .npy array as float32 vectors.
//
// Accepted .npy layout (multi-byte fields little-endian):
//   offset 0   6 bytes  magic 93 4E 55 4D 50 59
//   offset 6   2 bytes  format version, not looked at
//   offset 8   2 bytes  header length h (unsigned 16-bit, whatever the version says)
//   offset 10  h bytes  header: {'descr': '<f4', 'fortran_order': False, 'shape': (n, d), }
//   offset 10+h         n * d float32 values, row after row
// A shape (d,) is one row of d dimensions. Every header value is followed by a comma.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/sqlite.h"

void jix_npy_file(sqlite3_context* context, int argc, sqlite3_value** argv);
extern const sqlite3_module jix_npy_eachModule;

// Header tokens.
enum NpyTokenKind : int {
  NPY_TOKEN_NUMBER = 1,  // a maximal run of decimal digits
  NPY_TOKEN_LPAREN = 2,
  NPY_TOKEN_RPAREN = 3,
  NPY_TOKEN_LBRACE = 4,
  NPY_TOKEN_RBRACE = 5,
  NPY_TOKEN_COLON = 6,
  NPY_TOKEN_COMMA = 7,
  NPY_TOKEN_STRING = 8,  // '...' with both quotes, no escapes
  NPY_TOKEN_FALSE = 9,
};

struct NpyToken {
  NpyTokenKind kind;
  const char* start;
  const char* end;  // one past the token's last character; the next token starts here
};

// Reads the token at the start of [start, end), skipping tab, line feed, carriage return and
// space. Returns false at the end of the text or at a character that starts no token.
bool npy_token_next(const char* start, const char* end, NpyToken* outToken);

// Parses a header of length bytes. Fields it does not meet keep their starting values: no
// element type (0) and shape 0. Shape values beyond 64 bits saturate to UINT64_MAX, so the
// caller's size check refuses them. Returns SQLITE_OK or SQLITE_ERROR with the message set
// on vtab.
[[nodiscard]] int parse_npy_header(sqlite3_vtab* vtab, const char* header, size_t length,
                                   int* outElementType, uint64_t* outNumVectors,
                                   uint64_t* outDimensions);

// Checks a whole .npy array held in bytes[0, length). On success *outData points into bytes
// (nothing is copied). Returns SQLITE_OK or SQLITE_ERROR with the message set on vtab.
[[nodiscard]] int parse_npy_buffer(sqlite3_vtab* vtab, const uint8_t* bytes, int64_t length,
                                   const uint8_t** outData, uint64_t* outNumVectors,
                                   uint64_t* outDimensions, int* outElementType);
