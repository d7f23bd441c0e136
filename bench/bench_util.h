// Helpers the benchmark programs share: SQLite calls that exit on failure, timing, statistics
// and the seeded generator. Benchmarks are throwaway processes, so errors end them.
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of the calling thread: under load from other processes it stays near what the work
// costs, where wall-clock time also counts the waits for a core.
inline double thread_cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

inline void check(int rc, sqlite3* db, const char* what) {
  if (rc == SQLITE_OK || rc == SQLITE_DONE || rc == SQLITE_ROW) return;
  fprintf(stderr, "%s: %s (%d)\n", what, db ? sqlite3_errmsg(db) : "", rc);
  exit(1);
}

inline void exec(sqlite3* db, const std::string& sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    fprintf(stderr, "%s: %s\n", sql.c_str(), err ? err : "");
    exit(1);
  }
}

// Opens path with jix loaded and runs pragmas; the data is thrown away, so no fsync.
inline sqlite3* open_with_jix(const std::string& path, const std::string& extension,
                              const std::string& pragmas) {
  sqlite3* db = nullptr;
  check(sqlite3_open(path.c_str(), &db), db, "open");
  sqlite3_enable_load_extension(db, 1);
  char* err = nullptr;
  if (sqlite3_load_extension(db, extension.c_str(), nullptr, &err) != SQLITE_OK) {
    fprintf(stderr, "cannot load %s: %s\n", extension.c_str(), err ? err : "");
    exit(1);
  }
  exec(db, "PRAGMA synchronous = OFF; " + pragmas);
  return db;
}

inline sqlite3_stmt* prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  check(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), db, sql.c_str());
  return stmt;
}

// The first column of the first row of sql, as an integer.
inline long long query_integer(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* stmt = prepare(db, sql);
  check(sqlite3_step(stmt), db, sql.c_str());
  long long n = sqlite3_column_int64(stmt, 0);
  sqlite3_finalize(stmt);
  return n;
}

inline void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    exit(1);
  }
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

inline double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, (size_t)(p * (double)v.size()))];
}

struct SplitMix64 {
  uint64_t x;
  uint64_t next() {
    uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [-1, 1), exactly as the data sets of jix_knn_bench draw their floats.
  float uniform_float() { return (float)(int32_t)(next() >> 40) / (float)(1 << 23) - 1.0f; }
};

}  // namespace bench
