// The jix0 declaration language: a tokenizer over one CREATE VIRTUAL TABLE argument, and one
// recogniser per kind of argument (vector column, partition key, primary key, auxiliary
// column, metadata column, table option). Recognisers are pure: they answer SQLITE_OK
// (accepted), SQLITE_EMPTY (not this kind) or SQLITE_ERROR (this kind, malformed), write
// their outputs only on SQLITE_OK and never read outside the given text.
#pragma once

#include <cstddef>

#include "vector/vector.h"

// Not SQLite's type codes.
enum MetadataColumnKind : int {
  JIX0_METADATA_BOOLEAN = 0,
  JIX0_METADATA_INTEGER = 1,
  JIX0_METADATA_FLOAT = 2,
  JIX0_METADATA_TEXT = 3,
};

enum VectorIndexKind : int {
  JIX0_INDEX_NONE = 0,
  JIX0_INDEX_IVF = 1,
  JIX0_INDEX_UNKNOWN = 2,  // `index=` named a kind we do not have; the constructor refuses it
};

struct VectorColumnDefinition {
  char* name;  // owned, NUL-terminated, from the SQLite allocator
  int name_length;
  size_t dimensions;
  VectorElementType element_type;
  DistanceMetric distance_metric;
  VectorIndexKind index_kind;
  // `lists=` and `probes=`: 0 when absent, -1 when given as 0 or beyond int. The constructor
  // checks them against the index kind and their ranges.
  int lists;
  int probes;
  // The first option given twice (its keyword), or null. New tables refuse it; tables
  // declared so before keep opening, with the last value.
  const char* repeated_option;
};

struct PartitionColumnDefinition {
  int type;  // SQLITE_INTEGER or SQLITE_TEXT
  char* name;
  int name_length;
};

struct AuxiliaryColumnDefinition {
  int type;  // SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT or SQLITE_BLOB
  char* name;
  int name_length;
};

struct MetadataColumnDefinition {
  MetadataColumnKind kind;
  char* name;
  int name_length;
};

// Bytes one vector of the column occupies in storage.
size_t vector_column_byte_size(const VectorColumnDefinition& column);

enum Jix0TokenKind : int {
  JIX0_TOKEN_IDENTIFIER = 0,
  JIX0_TOKEN_DIGITS = 1,
  JIX0_TOKEN_LBRACKET = 2,
  JIX0_TOKEN_RBRACKET = 3,
  JIX0_TOKEN_PLUS = 4,
  JIX0_TOKEN_EQ = 5,
  JIX0_TOKEN_LPAREN = 6,
  JIX0_TOKEN_RPAREN = 7,
  JIX0_TOKEN_COMMA = 8,
};

// Results of one tokenizer step.
constexpr int JIX0_TOKEN_RESULT_EOF = 1;
constexpr int JIX0_TOKEN_RESULT_SOME = 2;
constexpr int JIX0_TOKEN_RESULT_ERROR = 3;

struct Jix0Token {
  int kind;
  const char* start;  // first character of the token's text
  const char* end;    // just past it; scanning resumes here
};

struct Jix0Scanner {
  const char* current;
  const char* end;
  const char* start;
};

int jix0_token_next(const char* start, const char* end, Jix0Token* outToken);
void jix0_scanner_init(Jix0Scanner* scanner, const char* text, int length);
int jix0_scanner_next(Jix0Scanner* scanner, Jix0Token* outToken);

int jix0_parse_vector_column(const char* text, int length, VectorColumnDefinition* outColumn);
int jix0_parse_partition_key_definition(const char* text, int length, const char** outName,
                                        int* outNameLength, int* outType);
int jix0_parse_primary_key_definition(const char* text, int length, const char** outName,
                                      int* outNameLength, int* outType);
int jix0_parse_auxiliary_column_definition(const char* text, int length, const char** outName,
                                           int* outNameLength, int* outType);
int jix0_parse_metadata_column_definition(const char* text, int length, const char** outName,
                                          int* outNameLength, MetadataColumnKind* outKind);
int jix0_parse_table_option(const char* text, int length, const char** outKey, int* outKeyLength,
                            const char** outValue, int* outValueLength);
