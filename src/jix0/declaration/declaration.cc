// The jix0 declaration tokenizer and the six recognisers over one CREATE VIRTUAL TABLE
// argument.
#include "jix0/declaration/declaration.h"

#include <climits>
#include <cstring>

#include "vector/vector.h"

namespace {

bool is_whitespace(char c) {
  return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}
bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

int token_length(const Jix0Token& token) {
  return (int)(token.end - token.start);
}

// Leading-part rule: the token is a (possibly abbreviated) prefix of the keyword.
bool matches_leading_part(const Jix0Token& token, const char* keyword) {
  int n = token_length(token);
  return n <= (int)strlen(keyword) && sqlite3_strnicmp(token.start, keyword, n) == 0;
}

// Keyword-start rule: the token begins with the whole keyword and may run on.
bool matches_keyword_start(const Jix0Token& token, const char* keyword) {
  int n = (int)strlen(keyword);
  return token_length(token) >= n && sqlite3_strnicmp(token.start, keyword, n) == 0;
}

// Reads the next token and requires it to be of the given kind.
bool next_of_kind(const char** cursor, const char* end, int kind, Jix0Token* outToken) {
  Jix0Token token;
  if (jix0_token_next(*cursor, end, &token) != JIX0_TOKEN_RESULT_SOME) return false;
  if (token.kind != kind) return false;
  *cursor = token.end;
  *outToken = token;
  return true;
}

struct Keyword {
  const char* text;
  int value;
};

// The first keyword in list order that the token matches by the leading-part rule.
template <size_t N>
bool find_leading_part(const Jix0Token& token, const Keyword (&keywords)[N], int* outValue) {
  for (const Keyword& keyword : keywords) {
    if (matches_leading_part(token, keyword.text)) {
      *outValue = keyword.value;
      return true;
    }
  }
  return false;
}

// The first declarable metric, in the order of the metric names, that the token matches by
// the leading-part rule.
bool find_metric(const Jix0Token& token, int* outValue) {
  for (const DistanceMetricName& m : kDistanceMetricNames) {
    if (m.declarable && matches_leading_part(token, m.name)) {
      *outValue = m.metric;
      return true;
    }
  }
  return false;
}

// Values above INT_MAX are refused rather than wrapped.
bool digits_value(const Jix0Token& token, int* outValue) {
  long long value = 0;
  for (const char* c = token.start; c < token.end; c++) {
    value = value * 10 + (*c - '0');
    if (value > INT_MAX) return false;
  }
  *outValue = (int)value;
  return true;
}

constexpr Keyword kElementTypes[] = {
    {"float", JIX_ELEMENT_FLOAT32}, {"f32", JIX_ELEMENT_FLOAT32}, {"int8", JIX_ELEMENT_INT8},
    {"i8", JIX_ELEMENT_INT8},       {"bit", JIX_ELEMENT_BIT},
};
constexpr Keyword kKeyTypes[] = {
    {"text", SQLITE_TEXT},
    {"int", SQLITE_INTEGER},
    {"integer", SQLITE_INTEGER},
};
constexpr Keyword kAuxiliaryTypes[] = {
    {"text", SQLITE_TEXT},   {"int", SQLITE_INTEGER},  {"integer", SQLITE_INTEGER},
    {"float", SQLITE_FLOAT}, {"double", SQLITE_FLOAT}, {"blob", SQLITE_BLOB},
};
constexpr Keyword kMetadataTypes[] = {
    {"boolean", JIX0_METADATA_BOOLEAN}, {"bool", JIX0_METADATA_BOOLEAN},
    {"int64", JIX0_METADATA_INTEGER},   {"integer64", JIX0_METADATA_INTEGER},
    {"integer", JIX0_METADATA_INTEGER}, {"int", JIX0_METADATA_INTEGER},
    {"float", JIX0_METADATA_FLOAT},     {"double", JIX0_METADATA_FLOAT},
    {"float64", JIX0_METADATA_FLOAT},   {"f64", JIX0_METADATA_FLOAT},
    {"text", JIX0_METADATA_TEXT},
};

// "name type <word> <word>", shared by the partition-key and primary-key recognisers.
int parse_key_definition(const char* text, int length, const char* word, const char** outName,
                         int* outNameLength, int* outType) {
  const char* cursor = text;
  const char* end = text + length;
  Jix0Token name, type, token;
  int sqliteType;
  if (!next_of_kind(&cursor, end, JIX0_TOKEN_IDENTIFIER, &name)) return SQLITE_EMPTY;
  if (!next_of_kind(&cursor, end, JIX0_TOKEN_IDENTIFIER, &type)) return SQLITE_EMPTY;
  if (!find_leading_part(type, kKeyTypes, &sqliteType)) return SQLITE_EMPTY;
  if (!next_of_kind(&cursor, end, JIX0_TOKEN_IDENTIFIER, &token)) return SQLITE_EMPTY;
  if (!matches_leading_part(token, word)) return SQLITE_EMPTY;
  if (!next_of_kind(&cursor, end, JIX0_TOKEN_IDENTIFIER, &token)) return SQLITE_EMPTY;
  if (!matches_leading_part(token, "key")) return SQLITE_EMPTY;
  *outName = name.start;
  *outNameLength = token_length(name);
  *outType = sqliteType;
  return SQLITE_OK;
}

}  // namespace

size_t vector_column_byte_size(const VectorColumnDefinition& column) {
  return vector_byte_size(column.element_type, column.dimensions);
}

int jix0_token_next(const char* start, const char* end, Jix0Token* outToken) {
  const char* p = start;
  while (p < end && is_whitespace(*p)) p++;
  if (p >= end) return JIX0_TOKEN_RESULT_EOF;
  int kind;
  switch (*p) {
    case '[':
      kind = JIX0_TOKEN_LBRACKET;
      break;
    case ']':
      kind = JIX0_TOKEN_RBRACKET;
      break;
    case '+':
      kind = JIX0_TOKEN_PLUS;
      break;
    case '=':
      kind = JIX0_TOKEN_EQ;
      break;
    case '(':
      kind = JIX0_TOKEN_LPAREN;
      break;
    case ')':
      kind = JIX0_TOKEN_RPAREN;
      break;
    case ',':
      kind = JIX0_TOKEN_COMMA;
      break;
    default:
      if (is_letter(*p)) {
        const char* q = p + 1;
        while (q < end && (is_letter(*q) || is_digit(*q) || *q == '_')) q++;
        *outToken = {JIX0_TOKEN_IDENTIFIER, p, q};
        return JIX0_TOKEN_RESULT_SOME;
      }
      if (is_digit(*p)) {
        const char* q = p + 1;
        while (q < end && is_digit(*q)) q++;
        *outToken = {JIX0_TOKEN_DIGITS, p, q};
        return JIX0_TOKEN_RESULT_SOME;
      }
      return JIX0_TOKEN_RESULT_ERROR;
  }
  // Punctuation carries no text: both ends lie just past the character.
  *outToken = {kind, p + 1, p + 1};
  return JIX0_TOKEN_RESULT_SOME;
}

void jix0_scanner_init(Jix0Scanner* scanner, const char* text, int length) {
  scanner->current = text;
  scanner->start = text;
  scanner->end = text + length;
}

int jix0_scanner_next(Jix0Scanner* scanner, Jix0Token* outToken) {
  int rc = jix0_token_next(scanner->current, scanner->end, outToken);
  if (rc == JIX0_TOKEN_RESULT_SOME) scanner->current = outToken->end;
  return rc;
}

int jix0_parse_vector_column(const char* text, int length, VectorColumnDefinition* outColumn) {
  const char* cursor = text;
  const char* end = text + length;
  Jix0Token name, type, token;
  if (!next_of_kind(&cursor, end, JIX0_TOKEN_IDENTIFIER, &name)) return SQLITE_EMPTY;
  if (!next_of_kind(&cursor, end, JIX0_TOKEN_IDENTIFIER, &type)) return SQLITE_EMPTY;
  int elementType = 0;
  for (const Keyword& keyword : kElementTypes) {
    if (matches_keyword_start(type, keyword.text)) {
      elementType = keyword.value;
      break;
    }
  }
  if (elementType == 0) return SQLITE_EMPTY;
  if (!next_of_kind(&cursor, end, JIX0_TOKEN_LBRACKET, &token)) return SQLITE_EMPTY;

  // From here on the argument is a vector column, so every failure is a malformed one.
  int dimensions;
  if (!next_of_kind(&cursor, end, JIX0_TOKEN_DIGITS, &token)) return SQLITE_ERROR;
  if (!digits_value(token, &dimensions) || dimensions < 1) return SQLITE_ERROR;
  if (!next_of_kind(&cursor, end, JIX0_TOKEN_RBRACKET, &token)) return SQLITE_ERROR;

  int metric = JIX0_DISTANCE_L2;
  int indexKind = JIX0_INDEX_NONE;
  int lists = 0, probes = 0;
  const char* repeated = nullptr;
  unsigned seen = 0;  // bit per option: lists, probes, index, distance_metric
  auto note = [&](unsigned bit, const char* keyword) {
    if ((seen & bit) && !repeated) repeated = keyword;
    seen |= bit;
  };
  for (;;) {
    int rc = jix0_token_next(cursor, end, &token);
    if (rc == JIX0_TOKEN_RESULT_EOF) break;
    if (rc != JIX0_TOKEN_RESULT_SOME || token.kind != JIX0_TOKEN_IDENTIFIER) return SQLITE_ERROR;
    // The index options are read on every element type, so that the constructor can say
    // which columns take an index instead of refusing the whole text.
    int* count = matches_leading_part(token, "lists")    ? &lists
                 : matches_leading_part(token, "probes") ? &probes
                                                         : nullptr;
    bool isIndex = !count && matches_leading_part(token, "index");
    if (!count && !isIndex) {
      if (elementType == JIX_ELEMENT_BIT) return SQLITE_ERROR;
      if (!matches_leading_part(token, "distance_metric")) return SQLITE_ERROR;
    }
    if (count) {
      note(count == &lists ? 1u : 2u, count == &lists ? "lists" : "probes");
    } else {
      note(isIndex ? 4u : 8u, isIndex ? "index" : "distance_metric");
    }
    cursor = token.end;
    if (!next_of_kind(&cursor, end, JIX0_TOKEN_EQ, &token)) return SQLITE_ERROR;
    if (count) {
      if (!next_of_kind(&cursor, end, JIX0_TOKEN_DIGITS, &token)) return SQLITE_ERROR;
      int value;
      *count = digits_value(token, &value) && value > 0 ? value : -1;
      continue;
    }
    if (!next_of_kind(&cursor, end, JIX0_TOKEN_IDENTIFIER, &token)) return SQLITE_ERROR;
    if (isIndex) {
      indexKind = token_length(token) == 3 && sqlite3_strnicmp(token.start, "ivf", 3) == 0
                      ? JIX0_INDEX_IVF
                      : JIX0_INDEX_UNKNOWN;
      continue;
    }
    if (!find_metric(token, &metric)) return SQLITE_ERROR;
  }

  char* nameCopy = sqlite3_mprintf("%.*s", token_length(name), name.start);
  if (!nameCopy) return SQLITE_NOMEM;
  outColumn->name = nameCopy;
  outColumn->name_length = token_length(name);
  outColumn->dimensions = (size_t)dimensions;
  outColumn->element_type = (VectorElementType)elementType;
  outColumn->distance_metric = (DistanceMetric)metric;
  outColumn->index_kind = (VectorIndexKind)indexKind;
  outColumn->lists = lists;
  outColumn->probes = probes;
  outColumn->repeated_option = repeated;
  return SQLITE_OK;
}

int jix0_parse_partition_key_definition(const char* text, int length, const char** outName,
                                        int* outNameLength, int* outType) {
  return parse_key_definition(text, length, "partition", outName, outNameLength, outType);
}

int jix0_parse_primary_key_definition(const char* text, int length, const char** outName,
                                      int* outNameLength, int* outType) {
  return parse_key_definition(text, length, "primary", outName, outNameLength, outType);
}

int jix0_parse_auxiliary_column_definition(const char* text, int length, const char** outName,
                                           int* outNameLength, int* outType) {
  const char* cursor = text;
  const char* end = text + length;
  Jix0Token plus, name, type;
  int sqliteType;
  if (!next_of_kind(&cursor, end, JIX0_TOKEN_PLUS, &plus)) return SQLITE_EMPTY;
  if (!next_of_kind(&cursor, end, JIX0_TOKEN_IDENTIFIER, &name)) return SQLITE_EMPTY;
  if (!next_of_kind(&cursor, end, JIX0_TOKEN_IDENTIFIER, &type)) return SQLITE_EMPTY;
  if (!find_leading_part(type, kAuxiliaryTypes, &sqliteType)) return SQLITE_EMPTY;
  *outName = name.start;
  *outNameLength = token_length(name);
  *outType = sqliteType;
  return SQLITE_OK;
}

int jix0_parse_metadata_column_definition(const char* text, int length, const char** outName,
                                          int* outNameLength, MetadataColumnKind* outKind) {
  const char* cursor = text;
  const char* end = text + length;
  Jix0Token name, type;
  int kind;
  if (!next_of_kind(&cursor, end, JIX0_TOKEN_IDENTIFIER, &name)) return SQLITE_EMPTY;
  if (!next_of_kind(&cursor, end, JIX0_TOKEN_IDENTIFIER, &type)) return SQLITE_EMPTY;
  if (!find_leading_part(type, kMetadataTypes, &kind)) return SQLITE_EMPTY;
  *outName = name.start;
  *outNameLength = token_length(name);
  *outKind = (MetadataColumnKind)kind;
  return SQLITE_OK;
}

int jix0_parse_table_option(const char* text, int length, const char** outKey, int* outKeyLength,
                            const char** outValue, int* outValueLength) {
  const char* cursor = text;
  const char* end = text + length;
  Jix0Token key, token, value;
  if (!next_of_kind(&cursor, end, JIX0_TOKEN_IDENTIFIER, &key)) return SQLITE_EMPTY;
  if (!next_of_kind(&cursor, end, JIX0_TOKEN_EQ, &token)) return SQLITE_EMPTY;
  if (jix0_token_next(cursor, end, &value) != JIX0_TOKEN_RESULT_SOME) return SQLITE_ERROR;
  if (value.kind != JIX0_TOKEN_IDENTIFIER && value.kind != JIX0_TOKEN_DIGITS) return SQLITE_ERROR;
  if (jix0_token_next(value.end, end, &token) != JIX0_TOKEN_RESULT_EOF) return SQLITE_ERROR;
  *outKey = key.start;
  *outKeyLength = token_length(key);
  *outValue = value.start;
  *outValueLength = token_length(value);
  return SQLITE_OK;
}
