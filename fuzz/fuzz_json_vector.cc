// Fuzzes the JSON vector parser (float32 and int8) and the functions that read its output.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sqlite3* db = FuzzOpenDb();
  static sqlite3_stmt* stmt = [] {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT jix_to_json(jix_f32(?1)), jix_length(?1), jix_to_json(jix_int8(?1)),"
                       " jix_distance_l2(?1, ?1), jix_quantize_binary(?1), jix_normalize(?1)",
                       -1, &s, nullptr);
    return s;
  }();
  sqlite3_bind_text(stmt, 1, (const char*)data, (int)size, SQLITE_TRANSIENT);
  FuzzDrain(stmt);
  sqlite3_reset(stmt);
  return 0;
}
