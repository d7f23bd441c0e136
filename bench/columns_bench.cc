// Side-by-side benchmark of KNN queries that return row values, for comparing builds of the
// extension in one run:
//
//   jix_columns_bench DATA_DIR EXTENSION [EXTENSION ...] [--rows N] [--queries Q] [--rounds R]
//
// It loads one seeded table (float[128], an INTEGER metadata column, a partition key and a
// TEXT auxiliary column) with the first extension, then runs the same queries on one
// connection per extension, alternating between the extensions round by round, so that every
// build sees the same machine load. Each query's cost is the calling thread's CPU time; the
// table prints queries per second for each build and its ratio to the first.
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_util.h"

namespace {

using bench::check;
using bench::exec;
using bench::open_with_jix;
using bench::prepare;
using bench::thread_cpu_seconds;

constexpr int kDims = 128;

struct Query {
  const char* name;
  int k;
  const char* columns;
};

// k = 100 with four returned columns is the case reading row values dominates; the others
// show that the scan itself is not slower.
constexpr Query kQueries[] = {
    {"k=10 rowid,distance", 10, "rowid, distance"},
    {"k=100 rowid,distance", 100, "rowid, distance"},
    {"k=100 4 columns", 100, "rowid, distance, category, title"},
    {"k=100 5 columns", 100, "rowid, distance, category, title, part"},
    {"k=100 6 columns+vector", 100, "rowid, distance, category, title, part, embedding"},
};

std::vector<float> random_vectors(size_t count, uint64_t seed) {
  std::vector<float> out(count * kDims);
  bench::SplitMix64 random{seed};
  for (float& x : out) x = random.uniform_float();
  return out;
}

void load(const std::string& path, const std::string& extension, int rows) {
  sqlite3* db = open_with_jix(path, extension, "");
  exec(db,
       "CREATE VIRTUAL TABLE t USING jix0(embedding float[128], part integer partition key, "
       "category integer, +title text)");
  std::vector<float> vectors = random_vectors((size_t)rows, 1);
  sqlite3_stmt* ins =
      prepare(db, "INSERT INTO t(rowid, embedding, part, category, title) VALUES (?, ?, ?, ?, ?)");
  exec(db, "BEGIN");
  for (int i = 0; i < rows; i++) {
    std::string title = "title of row " + std::to_string(i);
    sqlite3_bind_int64(ins, 1, i + 1);
    sqlite3_bind_blob(ins, 2, &vectors[(size_t)i * kDims], kDims * 4, SQLITE_STATIC);
    sqlite3_bind_int(ins, 3, i % 4);
    sqlite3_bind_int(ins, 4, i % 16);
    sqlite3_bind_text(ins, 5, title.c_str(), -1, SQLITE_TRANSIENT);
    check(sqlite3_step(ins), db, "insert");
    sqlite3_reset(ins);
  }
  exec(db, "COMMIT");
  sqlite3_finalize(ins);
  sqlite3_close(db);
}

// Thread CPU seconds for running every query vector once; sums the rows' first column so
// that each build's answers can be compared.
double run(sqlite3* db, const Query& q, const std::vector<float>& queries, int count,
           long long* checksum) {
  std::string sql = std::string("SELECT ") + q.columns +
                    " FROM t WHERE embedding MATCH ? AND k = " + std::to_string(q.k);
  sqlite3_stmt* stmt = prepare(db, sql);
  double start = thread_cpu_seconds();
  for (int i = 0; i < count; i++) {
    sqlite3_bind_blob(stmt, 1, &queries[(size_t)i * kDims], kDims * 4, SQLITE_STATIC);
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      *checksum += sqlite3_column_int64(stmt, 0);
      for (int c = 1; c < sqlite3_column_count(stmt); c++) (void)sqlite3_column_bytes(stmt, c);
    }
    check(rc, db, sql.c_str());
    sqlite3_reset(stmt);
  }
  double seconds = thread_cpu_seconds() - start;
  sqlite3_finalize(stmt);
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> extensions;
  int rows = 20000, queries = 50, rounds = 5;
  if (argc < 3) {
    fprintf(stderr,
            "usage: %s DATA_DIR EXTENSION [EXTENSION ...] [--rows N] [--queries Q] "
            "[--rounds R]\n",
            argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  for (int i = 2; i < argc; i++) {
    if (!strcmp(argv[i], "--rows") && i + 1 < argc) {
      rows = atoi(argv[++i]);
    } else if (!strcmp(argv[i], "--queries") && i + 1 < argc) {
      queries = atoi(argv[++i]);
    } else if (!strcmp(argv[i], "--rounds") && i + 1 < argc) {
      rounds = atoi(argv[++i]);
    } else {
      extensions.push_back(argv[i]);
    }
  }
  std::string path = dir + "/columns.db";
  remove(path.c_str());
  load(path, extensions[0], rows);
  std::vector<float> queryVectors = random_vectors((size_t)queries, 2);

  const size_t numQueries = sizeof(kQueries) / sizeof(kQueries[0]);
  std::vector<sqlite3*> dbs;
  // SQLite's cache holds the whole table: the queries measure jix, not the file reads.
  for (const std::string& e : extensions) {
    dbs.push_back(open_with_jix(path, e, "PRAGMA cache_size = -1048576"));
  }
  std::vector<std::vector<double>> seconds(numQueries, std::vector<double>(dbs.size()));
  std::vector<std::vector<long long>> sums(numQueries, std::vector<long long>(dbs.size()));
  for (size_t e = 0; e < dbs.size(); e++) {  // warm the page cache of every connection
    for (size_t q = 0; q < numQueries; q++) run(dbs[e], kQueries[q], queryVectors, 2, &sums[q][e]);
  }
  for (int r = 0; r < rounds; r++) {
    for (size_t q = 0; q < numQueries; q++) {
      for (size_t e = 0; e < dbs.size(); e++) {
        seconds[q][e] += run(dbs[e], kQueries[q], queryVectors, queries, &sums[q][e]);
      }
    }
  }
  printf("%d rows, %d queries x %d rounds, QPS from thread CPU time\n", rows, queries, rounds);
  printf("%-26s", "query");
  for (size_t e = 0; e < dbs.size(); e++)
    printf(" %14s %7s", ("build " + std::to_string(e)).c_str(), "ratio");
  printf("\n");
  for (size_t q = 0; q < numQueries; q++) {
    printf("%-26s", kQueries[q].name);
    double base = (double)(queries * rounds) / seconds[q][0];
    for (size_t e = 0; e < dbs.size(); e++) {
      double qps = (double)(queries * rounds) / seconds[q][e];
      printf(" %14.1f %6.2fx", qps, qps / base);
      if (sums[q][e] != sums[q][0]) printf(" (answers differ!)");
    }
    printf("\n");
  }
  for (size_t e = 0; e < extensions.size(); e++)
    printf("build %zu: %s\n", e, extensions[e].c_str());
  for (sqlite3* db : dbs) sqlite3_close(db);
  return 0;
}
