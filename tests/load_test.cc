// Loading the built extension into a real connection, as a host does.
#include <sqlite3.h>

#include <gtest/gtest.h>
#include <string>

#include "extension/version.h"
#include "support/test_db.h"

namespace {

struct LoadedDb {
  sqlite3* db = nullptr;
  LoadedDb() {
    EXPECT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    sqlite3_enable_load_extension(db, 1);
  }
  ~LoadedDb() { sqlite3_close(db); }
  std::string Load(const char* entry) {
    char* error = nullptr;
    int rc = sqlite3_load_extension(db, JIX_LOADABLE_PATH, entry, &error);
    std::string out = rc == SQLITE_OK ? "ok" : (error ? error : "failed");
    sqlite3_free(error);
    return out;
  }
  std::string Query(const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) return sqlite3_errmsg(db);
    std::string out;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      if (!out.empty()) out += "\n";
      out += RenderRow(stmt);
    }
    if (rc != SQLITE_DONE) out = sqlite3_errmsg(db);
    sqlite3_finalize(stmt);
    return out;
  }
};

TEST(Load, EntryPointDerivedFromFileNameRegistersEverything) {
  LoadedDb host;
  ASSERT_EQ(host.Load(nullptr), "ok");
  EXPECT_EQ(host.Query("SELECT jix_version()"), JIX_VERSION);
  EXPECT_EQ(host.Query("SELECT jix_debug()"),
            "Version: " JIX_VERSION "\nDate: " JIX_BUILD_DATE "\nCommit: \nBuild flags:  ");

  struct Function {
    const char* name;
    int argumentCount;
  };
  const Function functions[] = {
      {"jix_version", 0},
      {"jix_debug", 0},
      {"jix_distance_l2", 2},
      {"jix_distance_l1", 2},
      {"jix_distance_hamming", 2},
      {"jix_distance_cosine", 2},
      {"jix_length", 1},
      {"jix_type", 1},
      {"jix_to_json", 1},
      {"jix_add", 2},
      {"jix_sub", 2},
      {"jix_slice", 3},
      {"jix_normalize", 1},
      {"jix_f32", 1},
      {"jix_bit", 1},
      {"jix_int8", 1},
      {"jix_quantize_int8", 2},
      {"jix_quantize_binary", 1},
      {"jix_cache_size", 1},
  };
  for (const Function& f : functions) {
    SCOPED_TRACE(f.name);
    // Exactly one registration, with exactly its argument count.
    std::string sql =
        std::string("SELECT narg FROM pragma_function_list WHERE name = '") + f.name + "'";
    EXPECT_EQ(host.Query(sql.c_str()), std::to_string(f.argumentCount));
    // Any other count is refused by SQLite itself.
    std::string args;
    for (int i = 0; i <= f.argumentCount; i++) args += i ? ",'[1]'" : "'[1]'";
    std::string call = std::string("SELECT ") + f.name + "(" + args + ")";
    EXPECT_EQ(host.Query(call.c_str()),
              std::string("wrong number of arguments to function ") + f.name + "()");
  }
  EXPECT_EQ(host.Query("SELECT count(*) FROM pragma_function_list WHERE name LIKE 'jix%'"), "19");
  EXPECT_EQ(host.Query("SELECT name FROM pragma_module_list WHERE name LIKE 'jix%' ORDER BY name"),
            "jix0\njix_each\njix_index_info");
}

TEST(Load, OtherEntryPointsRegisterTheirOwnModulesOnly) {
  LoadedDb host;
  ASSERT_EQ(host.Load("sqlite3_jix_numpy_init"), "ok");
  ASSERT_EQ(host.Load("sqlite3_jix_static_blobs_init"), "ok");
  EXPECT_EQ(host.Query("SELECT name FROM pragma_module_list WHERE name LIKE 'jix%' ORDER BY name"),
            "jix_npy_each\njix_static_blob_entries\njix_static_blobs");
  EXPECT_EQ(host.Query(
                "SELECT name, narg FROM pragma_function_list WHERE name LIKE 'jix%' ORDER BY name"),
            "jix_npy_file|1\njix_static_blob_from_raw|4");
}

}  // namespace
