// The declaration tokenizer and recognisers, table-driven. Each argument is described by
// the first recogniser that accepts it, tried in the constructor's order, so a case shows
// both what an argument is and which kinds it is not.
#include "jix0/declaration/declaration.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

struct Case {
  const char* input;
  const char* expected;
};

const char* TokenName(int kind) {
  static const char* const kNames[] = {"id", "digits", "[", "]", "+", "=", "(", ")", ","};
  return kNames[kind];
}

// Tokens as "id:abc digits:4 [ ]", ending in "EOF" or "ERROR".
std::string Tokens(const char* text) {
  Jix0Scanner scanner;
  jix0_scanner_init(&scanner, text, (int)strlen(text));
  std::string out;
  for (;;) {
    Jix0Token token;
    int rc = jix0_scanner_next(&scanner, &token);
    if (rc == JIX0_TOKEN_RESULT_EOF) return out + "EOF";
    if (rc == JIX0_TOKEN_RESULT_ERROR) return out + "ERROR";
    out += TokenName(token.kind);
    if (token.end != token.start) out += ":" + std::string(token.start, token.end);
    out += " ";
  }
}

TEST(Jix0Tokenizer, ReadsTokensAndStopsAtErrorCharacters) {
  const Case cases[] = {
      {"", "EOF"},
      {" \t\r\n", "EOF"},
      {"embedding float[768]", "id:embedding id:float [ digits:768 ] EOF"},
      {"a_1B2 0042x", "id:a_1B2 digits:0042 id:x EOF"},
      {"+ = ( ) ,", "+ = ( ) , EOF"},
      {"a\tb\nc\rd", "id:a id:b id:c id:d EOF"},
      // Vertical tab and form feed are not whitespace.
      {"a\vb", "id:a ERROR"},
      {"a\fb", "id:a ERROR"},
      {"_id", "ERROR"},
      {"v-1", "id:v ERROR"},
      {"\"v\"", "ERROR"},
      {"x.y", "id:x ERROR"},
      {"caf\xc3\xa9", "id:caf ERROR"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(Tokens(c.input), c.expected);
  }
}

TEST(Jix0Tokenizer, PunctuationHasEmptyTextJustPastTheCharacter) {
  const char text[] = " [";
  Jix0Token token;
  ASSERT_EQ(jix0_token_next(text, text + 2, &token), JIX0_TOKEN_RESULT_SOME);
  EXPECT_EQ(token.kind, JIX0_TOKEN_LBRACKET);
  EXPECT_EQ(token.start, text + 2);
  EXPECT_EQ(token.end, text + 2);
}

const char* ElementName(VectorElementType type) {
  return jix_type_name(type);
}
const char* MetricName(DistanceMetric metric) {
  switch (metric) {
    case JIX0_DISTANCE_L2:
      return "l2";
    case JIX0_DISTANCE_L1:
      return "l1";
    case JIX0_DISTANCE_COSINE:
      return "cosine";
    case JIX0_DISTANCE_HAMMING:
      return "hamming";
  }
  return "?";
}
const char* MetadataName(MetadataColumnKind kind) {
  static const char* const kNames[] = {"boolean", "integer", "float", "text"};
  return kNames[kind];
}

// The first recogniser's answer, in the constructor's order:
// "vector name float32[4] l2", "partition name TEXT", "primary ...", "auxiliary ...",
// "metadata name kind", "option key=value", or "malformed vector" / "malformed option" /
// "none".
std::string Describe(const char* text, int length) {
  VectorColumnDefinition vector;
  int rc = jix0_parse_vector_column(text, length, &vector);
  if (rc == SQLITE_ERROR) return "malformed vector";
  if (rc == SQLITE_OK) {
    std::string out = "vector " + std::string(vector.name, vector.name_length) + " " +
                      ElementName(vector.element_type) + "[" + std::to_string(vector.dimensions) +
                      "] " + MetricName(vector.distance_metric);
    EXPECT_EQ(strlen(vector.name), (size_t)vector.name_length);
    sqlite3_free(vector.name);
    return out;
  }
  const char* name;
  int nameLength, type;
  if (jix0_parse_partition_key_definition(text, length, &name, &nameLength, &type) == SQLITE_OK) {
    return "partition " + std::string(name, nameLength) + " " + type_name(type);
  }
  if (jix0_parse_primary_key_definition(text, length, &name, &nameLength, &type) == SQLITE_OK) {
    return "primary " + std::string(name, nameLength) + " " + type_name(type);
  }
  if (jix0_parse_auxiliary_column_definition(text, length, &name, &nameLength, &type) ==
      SQLITE_OK) {
    return "auxiliary " + std::string(name, nameLength) + " " + type_name(type);
  }
  MetadataColumnKind kind;
  if (jix0_parse_metadata_column_definition(text, length, &name, &nameLength, &kind) == SQLITE_OK) {
    return "metadata " + std::string(name, nameLength) + " " + MetadataName(kind);
  }
  const char *key, *value;
  int keyLength, valueLength;
  rc = jix0_parse_table_option(text, length, &key, &keyLength, &value, &valueLength);
  if (rc == SQLITE_ERROR) return "malformed option";
  if (rc == SQLITE_OK) {
    return "option " + std::string(key, keyLength) + "=" + std::string(value, valueLength);
  }
  return "none";
}
std::string Describe(const char* text) {
  return Describe(text, (int)strlen(text));
}

TEST(Jix0Declaration, RecognisesEachKindOfArgument) {
  const Case cases[] = {
      // Vector columns: element types by keyword start, options by leading part.
      {"embedding float[768]", "vector embedding float32[768] l2"},
      {"embedding FLOAT32[4] distance_metric=COSINE", "vector embedding float32[4] cosine"},
      {"v F32[4]", "vector v float32[4] l2"},
      {"v int8[4] distance_metric=l1", "vector v int8[4] l1"},
      {"v int8x[4]", "vector v int8[4] l2"},
      {"v I8[4]", "vector v int8[4] l2"},
      {"b bits[64]", "vector b bit[64] l2"},
      {"b bit[12]", "vector b bit[12] l2"},
      {"v float [ 4 ]", "vector v float32[4] l2"},
      {"v float[0004]", "vector v float32[4] l2"},
      {"v float[4] distance_metric=l", "vector v float32[4] l2"},
      {"v float[4] distance_metric=c", "vector v float32[4] cosine"},
      {"v float[4] dist=l1", "vector v float32[4] l1"},
      {"v float[4] D = L1", "vector v float32[4] l1"},
      {"v float[4] distance_metric=l2 distance_metric=l1", "vector v float32[4] l1"},
      {"v float[2147483647]", "vector v float32[2147483647] l2"},
      // A vector column from the left bracket on, but malformed.
      {"b bit[64] distance_metric=hamming", "malformed vector"},
      {"b bit[64] distance_metric=l2", "malformed vector"},
      {"v float[0]", "malformed vector"},
      {"v float[]", "malformed vector"},
      {"v float[4", "malformed vector"},
      {"v float[4] extra", "malformed vector"},
      {"v float[4] distance_metric=euclid", "malformed vector"},
      {"v float[4] distance_metric=l2x", "malformed vector"},
      {"v float[4] distance_metric", "malformed vector"},
      {"v float[4] distance_metric=", "malformed vector"},
      {"v float[4] distance_metric=4", "malformed vector"},
      {"v float[4] _x", "malformed vector"},
      {"v float[4] ,", "malformed vector"},
      {"v float[2147483648]", "malformed vector"},
      {"v float[99999999999999999999]", "malformed vector"},
      {"v float[x]", "malformed vector"},
      // Keys: leading parts of every keyword; trailing words are ignored.
      {"user_id integer partition key", "partition user_id INTEGER"},
      {"user_id TEXT PARTITION KEY", "partition user_id TEXT"},
      {"id integer p k", "partition id INTEGER"},
      {"g i part k extra words", "partition g INTEGER"},
      {"id text primary key", "primary id TEXT"},
      {"id integer primary key autoincrement", "primary id INTEGER"},
      {"id int pri k", "primary id INTEGER"},
      {"id integer primary", "metadata id integer"},
      {"id integer primary keys", "metadata id integer"},
      // Auxiliary columns need the plus and a known type.
      {"+title text", "auxiliary title TEXT"},
      {"+ notes text", "auxiliary notes TEXT"},
      {"+n integer", "auxiliary n INTEGER"},
      {"+n i", "auxiliary n INTEGER"},
      {"+x double", "auxiliary x FLOAT"},
      {"+x f", "auxiliary x FLOAT"},
      {"+x blob not null", "auxiliary x BLOB"},
      {"+notes", "none"},
      {"+notes varchar", "none"},
      // Metadata columns: the first matching keyword of the list wins.
      {"genre text not null", "metadata genre text"},
      {"score float", "metadata score float"},
      {"v float 4", "metadata v float"},
      {"flag bool", "metadata flag boolean"},
      {"flag b", "metadata flag boolean"},
      {"n int64", "metadata n integer"},
      {"n integer64", "metadata n integer"},
      {"n i", "metadata n integer"},
      {"x float64", "metadata x float"},
      {"x f64", "metadata x float"},
      {"x d", "metadata x float"},
      {"x float32", "none"},
      {"name varchar", "none"},
      // Options: the recogniser does not judge key or value.
      {"chunk_size=256", "option chunk_size=256"},
      {"chunk_size = 256", "option chunk_size=256"},
      {"page_size=abc", "option page_size=abc"},
      {"chunk_size=256 x", "malformed option"},
      {"chunk_size=", "malformed option"},
      {"chunk_size=[", "malformed option"},
      {"chunk_size", "none"},
      // Names are unquoted identifiers starting with a letter.
      {"_id text", "none"},
      {"2d float[4]", "none"},
      {"\"my col\" float[4]", "none"},
      {"v-1 float[4]", "none"},
      {"v\vfloat[4]", "none"},
      // An error character after the type ends a metadata column's text like any trailer.
      {"v float\v[4]", "metadata v float"},
      {"v float[4]\f", "malformed vector"},
      {"v\tfloat\n[4]\r", "vector v float32[4] l2"},
      {"", "none"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(Describe(c.input), c.expected);
  }
}

TEST(Jix0Declaration, ReadsOnlyTheGivenLength) {
  const char text[] = "v float[4] extra";
  EXPECT_EQ(Describe(text, 10), "vector v float32[4] l2");
  EXPECT_EQ(Describe(text, 9), "malformed vector");
  const char option[] = "chunk_size=64 x";
  EXPECT_EQ(Describe(option, 13), "option chunk_size=64");
}

TEST(Jix0Declaration, WritesOutputsOnlyWhenAccepting) {
  const char* const sentinel = "untouched";
  const char* name = sentinel;
  int nameLength = -1, type = -1;
  EXPECT_EQ(
      jix0_parse_partition_key_definition("id text primary key", 19, &name, &nameLength, &type),
      SQLITE_EMPTY);
  EXPECT_EQ(jix0_parse_auxiliary_column_definition("+n varchar", 10, &name, &nameLength, &type),
            SQLITE_EMPTY);
  EXPECT_EQ(name, sentinel);
  EXPECT_EQ(nameLength, -1);
  EXPECT_EQ(type, -1);

  VectorColumnDefinition vector = {};
  EXPECT_EQ(jix0_parse_vector_column("v float[4] x", 12, &vector), SQLITE_ERROR);
  EXPECT_EQ(vector.name, nullptr);
  const char *key = sentinel, *value = sentinel;
  int keyLength = -1, valueLength = -1;
  EXPECT_EQ(jix0_parse_table_option("c=1 2", 5, &key, &keyLength, &value, &valueLength),
            SQLITE_ERROR);
  EXPECT_EQ(key, sentinel);
  EXPECT_EQ(value, sentinel);
}

TEST(Jix0Declaration, VectorByteSizes) {
  VectorColumnDefinition column = {nullptr,         0, 12, JIX_ELEMENT_BIT, JIX0_DISTANCE_L2,
                                   JIX0_INDEX_NONE, 0, 0,  nullptr};
  EXPECT_EQ(vector_column_byte_size(column), 1u);
  column.element_type = JIX_ELEMENT_INT8;
  EXPECT_EQ(vector_column_byte_size(column), 12u);
  column.element_type = JIX_ELEMENT_FLOAT32;
  EXPECT_EQ(vector_column_byte_size(column), 48u);
}

}  // namespace
