// Fuzzes jix0 declarations: the input is a whole CREATE VIRTUAL TABLE argument list. Each
// argument also goes through every recogniser directly, so out-of-bounds reads show even
// where the constructor would stop early.
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "jix0/declaration/declaration.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sqlite3* db = FuzzOpenDb();
  if (size > 4096) return 0;

  // Each argument alone, in a buffer of exactly its size.
  size_t start = 0;
  for (size_t i = 0; i <= size; i++) {
    if (i < size && data[i] != ',') continue;
    size_t n = i - start;
    char* arg = new char[n ? n : 1];
    memcpy(arg, data + start, n);
    VectorColumnDefinition column;
    if (jix0_parse_vector_column(arg, (int)n, &column) == SQLITE_OK) sqlite3_free(column.name);
    const char* name;
    int length, type;
    MetadataColumnKind kind;
    jix0_parse_partition_key_definition(arg, (int)n, &name, &length, &type);
    jix0_parse_primary_key_definition(arg, (int)n, &name, &length, &type);
    jix0_parse_auxiliary_column_definition(arg, (int)n, &name, &length, &type);
    jix0_parse_metadata_column_definition(arg, (int)n, &name, &length, &kind);
    const char *key, *value;
    int keyLength, valueLength;
    jix0_parse_table_option(arg, (int)n, &key, &keyLength, &value, &valueLength);
    delete[] arg;
    start = i + 1;
  }

  std::string sql =
      "CREATE VIRTUAL TABLE temp.t USING jix0(" + std::string((const char*)data, size) + ")";
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) {
    sqlite3_exec(db, "INSERT INTO temp.t DEFAULT VALUES; SELECT * FROM temp.t;", nullptr, nullptr,
                 nullptr);
    sqlite3_exec(db, "DROP TABLE temp.t", nullptr, nullptr, nullptr);
  }
  return 0;
}
