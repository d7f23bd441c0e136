// KNN and bulk-insert benchmark of jix0 against SQLite's own floors, on seeded data sets.
//
//   jix_knn_bench EXTENSION DATA_DIR [--scale S] [--queries N]
//                 [--sets D1,D2,D3,D4,refill,settings] [--before EXTENSION]
//
// For each data set it writes DATA_DIR/<set>.vectors and <set>.queries (raw element bytes, for
// the NumPy and FAISS baselines) and a database, then measures, single thread, warm cache:
//   - loading the vectors into a jix0 table in one transaction, and the same vectors into an
//     ordinary table (id INTEGER PRIMARY KEY, v BLOB): SQLite's insert floor;
//   - KNN with k = 10 (every query: median and p90), k = 100, k = 1000, and k = 10 filtered by
//     an INTEGER metadata column and by a partition key (on a second table that has both);
//   - one pass over the same bytes in memory (the physical limit) and reading every chunk's
//     vector BLOB with sqlite3_blob_read (SQLite's floor for the scan);
//   - whether jix0's answers equal, bit for bit and in order, a brute force over the reference
//     kernels with the search's tie order;
//   - the peak of SQLite's heap during one query beyond what it held before (the search's own
//     working memory: it must follow k and chunk_size, not the table), for k = 10 and 1000;
//   - k = 10 again with PRAGMA threads = 1 and = cores - 1, checked against the reference too;
//   - the 1-minute load average when the set starts, since other work skews the timings;
//   - which variant of the distance kernels ran (JIX_KERNELS can force a narrower one);
//   - k = 10, k = 1000 and both filters by thread CPU time with the resident chunk cache
//     holding the table, without it, and with the build given by --before (an earlier jix.so,
//     on its own connection to the same file), query by query in turn (run_cached).
// Then, on D1 only, the storage settings: page_size 4096, 16384 and 65536, each loaded afresh
// (jix0 and the ordinary table), queried on a new connection with SQLite's cache holding the
// whole table, with the default 2 MB cache, and with the default cache plus mmap_size.
// Then the delete-and-refill cycle and 'optimize' (run_refill below).
// Results go to DATA_DIR/jix.json, refill.json and settings.json for bench/report.py.
#include <sqlite3.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "kernels/kernels_batch.h"

namespace {

using bench::check;
using bench::Clock;
using bench::exec;
using bench::median;
using bench::open_with_jix;
using bench::percentile;
using bench::prepare;
using bench::seconds_since;
using bench::write_file;

enum class Element { kFloat32, kInt8, kBit };

struct DataSet {
  const char* name;
  Element element;
  size_t dims;  // bits for bit vectors
  size_t rows;
  size_t bytes() const {
    return element == Element::kFloat32 ? 4 * dims : element == Element::kInt8 ? dims : dims / 8;
  }
  const char* type() const {
    return element == Element::kFloat32 ? "float" : element == Element::kInt8 ? "int8" : "bit";
  }
  const char* wrap() const {  // how a query or stored BLOB is tagged with its element type
    return element == Element::kFloat32 ? "?"
           : element == Element::kInt8  ? "jix_int8(?)"
                                        : "jix_bit(?)";
  }
};

constexpr int kChunkSize = 1024;  // jix0's default
constexpr int kPartitions = 8;
constexpr int kCategories = 16;

// Seeded data: float elements uniform in [-1, 1), int8 and bit bytes uniform.
std::vector<uint8_t> generate(const DataSet& set, size_t count, uint64_t seed) {
  std::vector<uint8_t> out(count * set.bytes());
  bench::SplitMix64 random{seed};
  if (set.element == Element::kFloat32) {
    for (size_t i = 0; i < out.size(); i += 4) {
      float f = random.uniform_float();
      memcpy(&out[i], &f, 4);
    }
  } else {
    for (size_t i = 0; i < out.size(); i += 8) {
      uint64_t r = random.next();
      memcpy(&out[i], &r, std::min<size_t>(8, out.size() - i));
    }
  }
  return out;
}

struct Hit {
  int64_t rowid;
  float distance;
};

std::vector<Hit> knn(sqlite3_stmt* stmt, const uint8_t* query, int bytes, int k) {
  sqlite3_bind_blob(stmt, 1, query, bytes, SQLITE_STATIC);
  sqlite3_bind_int(stmt, 2, k);
  std::vector<Hit> hits;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
    hits.push_back({sqlite3_column_int64(stmt, 0), (float)sqlite3_column_double(stmt, 1)});
  check(rc, sqlite3_db_handle(stmt), "knn");
  sqlite3_reset(stmt);
  return hits;
}

// Bytes SQLite's heap rose above its level before one query, at the query's peak.
double query_peak_bytes(sqlite3_stmt* stmt, const DataSet& set, const uint8_t* query, int k) {
  sqlite3_int64 current = 0, high = 0;
  sqlite3_status64(SQLITE_STATUS_MEMORY_USED, &current, &high, 1);  // resets the high mark
  sqlite3_status64(SQLITE_STATUS_MEMORY_USED, &current, &high, 0);
  sqlite3_int64 before = current;
  knn(stmt, query, (int)set.bytes(), k);
  sqlite3_status64(SQLITE_STATUS_MEMORY_USED, &current, &high, 0);
  return (double)(high - before);
}

// Times `repeat` queries (query i cycles through the query set); returns per-query seconds.
std::vector<double> time_queries(sqlite3_stmt* stmt, const DataSet& set,
                                 const std::vector<uint8_t>& queries, size_t numQueries, int k,
                                 size_t repeat) {
  std::vector<double> times;
  for (size_t i = 0; i < repeat; i++) {
    const uint8_t* q = queries.data() + (i % numQueries) * set.bytes();
    auto start = Clock::now();
    std::vector<Hit> hits = knn(stmt, q, (int)set.bytes(), k);
    times.push_back(seconds_since(start));
    if (hits.empty()) {
      fprintf(stderr, "query returned no rows\n");
      exit(1);
    }
  }
  return times;
}

// The answer the search must give: reference kernel distances (stored vector first), ascending,
// ties by earlier chunk first and then higher slot first. Rows were inserted in rowid order
// 1..n, so row r sits in chunk (r - 1) / kChunkSize at slot (r - 1) % kChunkSize.
std::vector<Hit> brute_force(const DataSet& set, const std::vector<uint8_t>& vectors,
                             const uint8_t* query, size_t k) {
  std::vector<float> d(set.rows);
  size_t n = set.rows;
  switch (set.element) {
    case Element::kFloat32:
      kernel_l2_float32_batch_reference((const float*)query, (const float*)vectors.data(), set.dims,
                                        n, nullptr, d.data());
      break;
    case Element::kInt8:
      kernel_l2_int8_batch_reference((const int8_t*)query, (const int8_t*)vectors.data(), set.dims,
                                     n, nullptr, d.data());
      break;
    case Element::kBit:
      kernel_hamming_bit_batch_reference(query, vectors.data(), set.dims, n, nullptr, d.data());
      break;
  }
  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; i++) order[i] = i;
  auto before = [&](size_t a, size_t b) {
    if (d[a] != d[b]) return d[a] < d[b];
    if (a / kChunkSize != b / kChunkSize) return a / kChunkSize < b / kChunkSize;
    return a % kChunkSize > b % kChunkSize;
  };
  k = std::min(k, n);
  std::partial_sort(order.begin(), order.begin() + (long)k, order.end(), before);
  std::vector<Hit> out;
  for (size_t i = 0; i < k; i++) out.push_back({(int64_t)order[i] + 1, d[order[i]]});
  return out;
}

bool same_hits(const std::vector<Hit>& a, const std::vector<Hit>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (a[i].rowid != b[i].rowid ||
        std::bit_cast<uint32_t>(a[i].distance) != std::bit_cast<uint32_t>(b[i].distance))
      return false;
  return true;
}

// Reads every chunk's vectors BLOB of table `table` through one moving handle.
double blob_read_pass(sqlite3* db, const std::string& table, std::vector<uint8_t>& buffer) {
  sqlite3_stmt* ids = prepare(db, "SELECT chunk_id FROM \"" + table + "_chunks\"");
  std::vector<int64_t> chunks;
  while (sqlite3_step(ids) == SQLITE_ROW) chunks.push_back(sqlite3_column_int64(ids, 0));
  sqlite3_finalize(ids);
  std::string vectorTable = table + "_vector_chunks00";
  auto start = Clock::now();
  sqlite3_blob* blob = nullptr;
  for (size_t i = 0; i < chunks.size(); i++) {
    int rc =
        i == 0 ? sqlite3_blob_open(db, "main", vectorTable.c_str(), "vectors", chunks[i], 0, &blob)
               : sqlite3_blob_reopen(blob, chunks[i]);
    check(rc, db, "blob open");
    int bytes = sqlite3_blob_bytes(blob);
    if (buffer.size() < (size_t)bytes) buffer.resize((size_t)bytes);
    check(sqlite3_blob_read(blob, buffer.data(), bytes, 0), db, "blob read");
  }
  sqlite3_blob_close(blob);
  return seconds_since(start);
}

// One read of every byte, the way a scan must touch them; the sum keeps the loop honest.
double memory_pass(const std::vector<uint8_t>& bytes, uint64_t* outSum) {
  auto start = Clock::now();
  uint64_t s[4] = {0, 0, 0, 0};
  size_t words = bytes.size() / 8;
  const uint8_t* p = bytes.data();
  size_t i = 0;
  for (; i + 4 <= words; i += 4) {
    for (int j = 0; j < 4; j++) {
      uint64_t w;
      memcpy(&w, p + 8 * (i + (size_t)j), 8);
      s[j] += w;
    }
  }
  *outSum += s[0] + s[1] + s[2] + s[3];
  return seconds_since(start);
}

// PRAGMA threads values measured besides 0: 1, and the cores beyond the connection's own.
std::vector<int> thread_counts() {
  int cores = (int)std::thread::hardware_concurrency();
  std::vector<int> counts = {1};
  if (cores - 1 > 1) counts.push_back(cores - 1);
  return counts;
}

struct Results {
  std::string json;
  void add(const char* key, double value, bool last = false) {
    char buf[128];
    snprintf(buf, sizeof buf, "    \"%s\": %.9g%s\n", key, value, last ? "" : ",");
    json += buf;
  }
};

// The resident chunk cache (jix_cache_size) holding the whole table, against the same queries
// without it and, when `before` is given, against an earlier build of the extension on its own
// connection to the same file: each query runs every way in turn, timed by the thread's CPU
// time, beside a memory pass timed the same way, so that all of them see the same load from
// the rest of the machine. Cached answers are checked against the reference, the earlier
// build's against this one's. Leaves the cache off.
struct Statements {
  sqlite3_stmt* plain;
  sqlite3_stmt* byCategory;
  sqlite3_stmt* byPartition;
};

void run_cached(sqlite3* db, const DataSet& set, const std::vector<uint8_t>& queries,
                size_t numQueries, const std::vector<uint8_t>& vectors, Results* r,
                const Statements& now, const Statements* before) {
  using bench::thread_cpu_seconds;
  int bytes = (int)set.bytes();
  auto cache = [&](bool on) {
    exec(db, on ? "SELECT jix_cache_size(1 << 40)" : "SELECT jix_cache_size(0)");
  };
  struct Shape {
    const char* key;
    sqlite3_stmt* stmt;
    sqlite3_stmt* beforeStmt;
    int k;
  } const shapes[] = {
      {"k10", now.plain, before ? before->plain : nullptr, 10},
      {"k1000", now.plain, before ? before->plain : nullptr, 1000},
      {"metadata_eq_k10", now.byCategory, before ? before->byCategory : nullptr, 10},
      {"partition_k10", now.byPartition, before ? before->byPartition : nullptr, 10}};
  bool identical = true, sameAsBefore = true;
  std::vector<double> memoryPass;
  uint64_t sum = 0;
  for (const Shape& shape : shapes) {
    std::vector<double> off, on, old;
    for (size_t i = 0; i < numQueries; i++) {
      const uint8_t* q = queries.data() + i * set.bytes();
      std::vector<Hit> beforeHits;
      if (shape.beforeStmt) {
        if (i == 0) knn(shape.beforeStmt, q, bytes, shape.k);  // warm-up
        double start = thread_cpu_seconds();
        beforeHits = knn(shape.beforeStmt, q, bytes, shape.k);
        old.push_back(thread_cpu_seconds() - start);
      }
      for (bool cached : {false, true}) {
        cache(cached);
        knn(shape.stmt, q, bytes, shape.k);  // warm-up; fills the cache
        double start = thread_cpu_seconds();
        std::vector<Hit> hits = knn(shape.stmt, q, bytes, shape.k);
        (cached ? on : off).push_back(thread_cpu_seconds() - start);
        if (cached && shape.stmt == now.plain && i < 3)
          identical = identical && same_hits(hits, brute_force(set, vectors, q, (size_t)shape.k));
        if (!cached && shape.beforeStmt) sameAsBefore = sameAsBefore && same_hits(hits, beforeHits);
      }
      double start = thread_cpu_seconds();
      memory_pass(vectors, &sum);
      memoryPass.push_back(thread_cpu_seconds() - start);
    }
    cache(false);
    r->add((std::string(shape.key) + "_uncached_cpu_s").c_str(), median(off));
    r->add((std::string(shape.key) + "_cached_cpu_s").c_str(), median(on));
    if (before) r->add((std::string(shape.key) + "_before_cpu_s").c_str(), median(old));
    fprintf(stderr, "[%s] %s, thread CPU: %s%.2f ms, uncached %.2f ms, cached %.2f ms (%.2fx)\n",
            set.name, shape.key, before ? "before " : "", before ? median(old) * 1e3 : 0.0,
            median(off) * 1e3, median(on) * 1e3, median(off) / median(on));
  }
  r->add("memory_pass_cpu_s", median(memoryPass));
  fprintf(stderr, "[%s] memory pass beside, thread CPU: %.2f ms (sum %llu)\n", set.name,
          median(memoryPass) * 1e3, (unsigned long long)(sum & 0xFF));
  if (before) r->add("same_as_before", sameAsBefore ? 1 : 0);
  r->add("cached_identical_to_reference", identical ? 1 : 0);
}

void run_set(sqlite3* db, const DataSet& set, const std::string& dir, size_t numQueries,
             std::string* json, const std::string& path, const std::string& before) {
  fprintf(stderr, "[%s] %zu x %zu %s, %s kernels: generating\n", set.name, set.rows, set.dims,
          set.type(), kernel_batch_variant());
  double loadAverage[3] = {0, 0, 0};
  getloadavg(loadAverage, 3);
  std::vector<uint8_t> vectors = generate(set, set.rows, 1000 + (uint64_t)set.element);
  std::vector<uint8_t> queries = generate(set, numQueries, 2000 + (uint64_t)set.element);
  write_file(dir + "/" + set.name + ".vectors", vectors);
  write_file(dir + "/" + set.name + ".queries", queries);
  Results r;
  r.add("load_average", loadAverage[0]);
  int bytes = (int)set.bytes();
  std::string t = set.name, tf = std::string(set.name) + "_f",
              tp = std::string(set.name) + "_plain";
  std::string column =
      "embedding " + std::string(set.type()) + "[" + std::to_string(set.dims) + "]";

  // Load: jix0 with the vector only, the ordinary table, and jix0 with metadata and partition.
  exec(db, "CREATE VIRTUAL TABLE " + t + " USING jix0(" + column + ")");
  exec(db, "CREATE TABLE " + tp + "(id INTEGER PRIMARY KEY, v BLOB)");
  exec(db, "CREATE VIRTUAL TABLE " + tf + " USING jix0(" + column +
               ", part integer partition key, category integer)");
  auto load = [&](const std::string& sql, int extra) {
    sqlite3_stmt* ins = prepare(db, sql);
    auto start = Clock::now();
    exec(db, "BEGIN");
    for (size_t i = 0; i < set.rows; i++) {
      sqlite3_bind_int64(ins, 1, (int64_t)i + 1);
      sqlite3_bind_blob(ins, 2, vectors.data() + i * set.bytes(), bytes, SQLITE_STATIC);
      if (extra) {
        // Partitions in contiguous blocks, so each keeps full chunks; categories interleaved.
        sqlite3_bind_int(ins, 3, (int)(i * kPartitions / set.rows));
        sqlite3_bind_int(ins, 4, (int)(i % kCategories));
      }
      check(sqlite3_step(ins), db, "insert");
      sqlite3_reset(ins);
    }
    exec(db, "COMMIT");
    sqlite3_finalize(ins);
    return seconds_since(start);
  };
  fprintf(stderr, "[%s] loading\n", set.name);
  r.add("load_jix0_s",
        load("INSERT INTO " + t + "(rowid, embedding) VALUES (?, " + set.wrap() + ")", 0));
  r.add("load_plain_s", load("INSERT INTO " + tp + "(id, v) VALUES (?, ?)", 0));
  r.add("load_jix0_filtered_table_s",
        load("INSERT INTO " + tf + "(rowid, embedding, part, category) VALUES (?, " + set.wrap() +
                 ", ?, ?)",
             1));

  // Floors. The first blob pass also warms SQLite's page cache.
  std::vector<uint8_t> buffer;
  blob_read_pass(db, t, buffer);
  std::vector<double> blob, mem;
  uint64_t sum = 0;
  for (int i = 0; i < 5; i++) blob.push_back(blob_read_pass(db, t, buffer));
  for (int i = 0; i < 5; i++) mem.push_back(memory_pass(vectors, &sum));
  r.add("blob_read_s", median(blob));
  r.add("memory_pass_s", median(mem));
  r.add("bytes", (double)vectors.size());
  fprintf(stderr, "[%s] floors: blob read %.2f ms, memory pass %.2f ms (sum %llu)\n", set.name,
          median(blob) * 1e3, median(mem) * 1e3, (unsigned long long)(sum & 0xFF));

  // Queries.
  std::string match = " WHERE embedding MATCH " + std::string(set.wrap()) + " AND k = ?";
  sqlite3_stmt* plain = prepare(db, "SELECT rowid, distance FROM " + t + match);
  sqlite3_stmt* onF = prepare(db, "SELECT rowid, distance FROM " + tf + match);
  sqlite3_stmt* byCategory =
      prepare(db, "SELECT rowid, distance FROM " + tf + match + " AND category = 3");
  sqlite3_stmt* byPartition =
      prepare(db, "SELECT rowid, distance FROM " + tf + match + " AND part = 2");
  fprintf(stderr, "[%s] querying\n", set.name);
  time_queries(plain, set, queries, numQueries, 10, 1);  // warm-up
  std::vector<double> k10 = time_queries(plain, set, queries, numQueries, 10, numQueries);
  r.add("k10_median_s", median(k10));
  r.add("k10_p90_s", percentile(k10, 0.9));
  // The same queries with helper threads: one, and one per core besides the connection's
  // own (PRAGMA threads counts only the helpers). Each query runs at every setting in turn,
  // next to a blob-read pass, so that the ratios compare runs under the same load from
  // whatever else the machine is doing. Answers are checked against the reference.
  bool threadsIdentical = true;
  std::vector<int> settings = {0};
  for (int threads : thread_counts()) settings.push_back(threads);
  std::vector<std::vector<double>> byThreads(settings.size());
  std::vector<double> blobBeside;
  for (size_t i = 0; i < numQueries; i++) {
    const uint8_t* q = queries.data() + i * set.bytes();
    blobBeside.push_back(blob_read_pass(db, t, buffer));
    for (size_t j = 0; j < settings.size(); j++) {
      exec(db, "PRAGMA threads = " + std::to_string(settings[j]));
      if (i == 0) knn(plain, q, bytes, 10);  // warm-up
      auto start = Clock::now();
      std::vector<Hit> hits = knn(plain, q, bytes, 10);
      byThreads[j].push_back(seconds_since(start));
      if (i < 3)
        threadsIdentical = threadsIdentical && same_hits(hits, brute_force(set, vectors, q, 10));
    }
  }
  exec(db, "PRAGMA threads = 0");
  r.add("blob_read_beside_threads_s", median(blobBeside));
  for (size_t j = 0; j < settings.size(); j++) {
    r.add(("k10_threads" + std::to_string(settings[j]) + "_s").c_str(), median(byThreads[j]));
    fprintf(stderr, "[%s] PRAGMA threads = %d: k=10 median %.2f ms (blob read beside %.2f ms)\n",
            set.name, settings[j], median(byThreads[j]) * 1e3, median(blobBeside) * 1e3);
  }
  r.add("threads_identical_to_reference", threadsIdentical ? 1 : 0);
  r.add("k100_s", median(time_queries(plain, set, queries, numQueries, 100, 5)));
  r.add("k1000_s", median(time_queries(plain, set, queries, numQueries, 1000, 5)));
  time_queries(onF, set, queries, numQueries, 10, 1);
  r.add("filtered_table_k10_s", median(time_queries(onF, set, queries, numQueries, 10, 5)));
  r.add("metadata_eq_k10_s", median(time_queries(byCategory, set, queries, numQueries, 10, 5)));
  r.add("partition_k10_s", median(time_queries(byPartition, set, queries, numQueries, 10, 5)));

  if (before.empty()) {
    run_cached(db, set, queries, numQueries, vectors, &r, {plain, byCategory, byPartition},
               nullptr);
  } else {
    sqlite3* old = open_with_jix(path, before, "PRAGMA cache_size = -8000000");
    Statements earlier = {
        prepare(old, "SELECT rowid, distance FROM " + t + match),
        prepare(old, "SELECT rowid, distance FROM " + tf + match + " AND category = 3"),
        prepare(old, "SELECT rowid, distance FROM " + tf + match + " AND part = 2")};
    run_cached(db, set, queries, numQueries, vectors, &r, {plain, byCategory, byPartition},
               &earlier);
    for (sqlite3_stmt* s : {earlier.plain, earlier.byCategory, earlier.byPartition})
      sqlite3_finalize(s);
    sqlite3_close(old);
  }

  // Bit-for-bit agreement with the reference on a few queries, k = 10 and k = 100.
  bool identical = true;
  for (size_t i = 0; i < std::min<size_t>(3, numQueries); i++) {
    const uint8_t* q = queries.data() + i * set.bytes();
    for (int k : {10, 100})
      identical =
          identical && same_hits(knn(plain, q, bytes, k), brute_force(set, vectors, q, (size_t)k));
  }
  r.add("identical_to_reference", identical ? 1 : 0);
  r.add("peak_query_bytes_k10", query_peak_bytes(plain, set, queries.data(), 10));
  r.add("peak_query_bytes_k1000", query_peak_bytes(plain, set, queries.data(), 1000), true);
  fprintf(stderr, "[%s] k=10 median %.2f ms, p90 %.2f ms; identical to reference: %s\n", set.name,
          median(k10) * 1e3, percentile(k10, 0.9) * 1e3, identical ? "yes" : "NO");
  for (sqlite3_stmt* s : {plain, onF, byCategory, byPartition}) sqlite3_finalize(s);

  char head[256];
  snprintf(head, sizeof head,
           "  \"%s\": {\n    \"type\": \"%s\",\n    \"dims\": %zu,\n    \"rows\": %zu,\n"
           "    \"queries\": %zu,\n    \"kernels\": \"%s\",\n",
           set.name, set.type(), set.dims, set.rows, numQueries, kernel_batch_variant());
  if (!json->empty()) *json += ",\n";
  *json += head + r.json + "  }";
  exec(db, "DROP TABLE " + t + "; DROP TABLE " + tf + "; DROP TABLE " + tp);
}

// page_size x (SQLite cache, OS cache, OS cache through mmap) on one data set; see the top.
void run_settings(const DataSet& set, const std::string& extension, const std::string& dir,
                  size_t numQueries) {
  std::vector<uint8_t> vectors = generate(set, set.rows, 1000 + (uint64_t)set.element);
  std::vector<uint8_t> queries = generate(set, numQueries, 2000 + (uint64_t)set.element);
  std::string path = dir + "/settings.db";
  std::string json;
  auto open = [&](const std::string& pragmas) { return open_with_jix(path, extension, pragmas); };
  std::string column =
      "embedding " + std::string(set.type()) + "[" + std::to_string(set.dims) + "]";
  for (int pageSize : {4096, 16384, 65536}) {
    remove(path.c_str());
    sqlite3* db =
        open("PRAGMA page_size = " + std::to_string(pageSize) + "; PRAGMA cache_size = -8000000");
    exec(db, "CREATE VIRTUAL TABLE t USING jix0(" + column + ")");
    exec(db, "CREATE TABLE plain(id INTEGER PRIMARY KEY, v BLOB)");
    auto load = [&](const std::string& sql) {
      sqlite3_stmt* ins = prepare(db, sql);
      auto start = Clock::now();
      exec(db, "BEGIN");
      for (size_t i = 0; i < set.rows; i++) {
        sqlite3_bind_int64(ins, 1, (int64_t)i + 1);
        sqlite3_bind_blob(ins, 2, vectors.data() + i * set.bytes(), (int)set.bytes(),
                          SQLITE_STATIC);
        check(sqlite3_step(ins), db, "insert");
        sqlite3_reset(ins);
      }
      exec(db, "COMMIT");
      sqlite3_finalize(ins);
      return seconds_since(start);
    };
    fprintf(stderr, "[settings] page_size %d: loading\n", pageSize);
    double loadJix0 =
        load("INSERT INTO t(rowid, embedding) VALUES (?, " + std::string(set.wrap()) + ")");
    double loadPlain = load("INSERT INTO plain(id, v) VALUES (?, ?)");
    sqlite3_close(db);

    const struct {
      const char* name;
      const char* pragmas;
    } caches[] = {
        {"sqlite_cache", "PRAGMA cache_size = -8000000"},
        {"os_cache", ""},
        {"os_cache_mmap", "PRAGMA mmap_size = 4294967296"},
    };
    char head[160];
    snprintf(head, sizeof head,
             "%s  \"%d\": {\n    \"load_jix0_s\": %.9g,\n    \"load_plain_s\": %.9g",
             json.empty() ? "" : ",\n", pageSize, loadJix0, loadPlain);
    json += head;
    for (const auto& cache : caches) {
      db = open(cache.pragmas);
      std::string match = " WHERE embedding MATCH " + std::string(set.wrap()) + " AND k = ?";
      sqlite3_stmt* stmt = prepare(db, "SELECT rowid, distance FROM t" + match);
      std::vector<uint8_t> buffer;
      time_queries(stmt, set, queries, numQueries, 10, 2);  // warm-up, also of the cache
      double k10 = median(time_queries(stmt, set, queries, numQueries, 10, numQueries));
      blob_read_pass(db, "t", buffer);
      std::vector<double> blob;
      for (int i = 0; i < 3; i++) blob.push_back(blob_read_pass(db, "t", buffer));
      sqlite3_finalize(stmt);
      sqlite3_close(db);
      fprintf(stderr, "[settings] page_size %d, %s: k=10 %.2f ms, blob read %.2f ms\n", pageSize,
              cache.name, k10 * 1e3, median(blob) * 1e3);
      char line[200];
      snprintf(line, sizeof line, ",\n    \"%s_k10_s\": %.9g,\n    \"%s_blob_read_s\": %.9g",
               cache.name, k10, cache.name, median(blob));
      json += line;
    }
    json += "\n  }";
  }
  remove(path.c_str());
  std::string out = "{\n" + json + "\n}\n";
  write_file(dir + "/settings.json", std::vector<uint8_t>(out.begin(), out.end()));
}

// The delete-and-refill cycle: REFILL_ROWS vectors of float[384] loaded afresh, then three
// rounds of deleting every other row (in rowid order) and inserting as many new rows; measured
// after the fresh load, after the three rounds, and after 'optimize' + VACUUM, each against a
// fresh load of the very rows the table then holds. Each measurement VACUUMs first and times
// k = 10 on a new connection whose cache holds the table.
constexpr size_t kRefillRows = 10000;
constexpr size_t kRefillDims = 384;
constexpr int kRefillRounds = 3;

struct RefillFigures {
  long long chunks = 0;
  long long bytes = 0;
  double k10 = 0;
};

void run_refill(const std::string& extension, const std::string& dir, size_t numQueries,
                double scale) {
  const size_t rows = std::max<size_t>(kChunkSize, (size_t)((double)kRefillRows * scale));
  const DataSet set = {"refill", Element::kFloat32, kRefillDims, rows};
  const size_t total = rows + kRefillRounds * (rows / 2);
  std::vector<uint8_t> vectors = generate(set, total, 3000);  // row r has vector r - 1
  std::vector<uint8_t> queries = generate(set, numQueries, 4000);
  auto open = [&](const std::string& path) {
    return open_with_jix(path, extension, "PRAGMA cache_size = -8000000");
  };
  auto insert = [&](sqlite3* db, const std::vector<int64_t>& ids) {
    sqlite3_stmt* ins = prepare(db, "INSERT INTO t(rowid, embedding) VALUES (?, ?)");
    exec(db, "BEGIN");
    for (int64_t id : ids) {
      sqlite3_bind_int64(ins, 1, id);
      sqlite3_bind_blob(ins, 2, vectors.data() + (size_t)(id - 1) * set.bytes(), (int)set.bytes(),
                        SQLITE_STATIC);
      check(sqlite3_step(ins), db, "insert");
      sqlite3_reset(ins);
    }
    exec(db, "COMMIT");
    sqlite3_finalize(ins);
  };
  auto measure = [&](const std::string& path) {
    RefillFigures f;
    sqlite3* db = open(path);
    exec(db, "VACUUM");
    f.chunks = bench::query_integer(db, "SELECT count(*) FROM t_chunks");
    f.bytes = bench::query_integer(db, "PRAGMA page_count") *
              bench::query_integer(db, "PRAGMA page_size");
    sqlite3_close(db);
    db = open(path);
    sqlite3_stmt* stmt =
        prepare(db, "SELECT rowid, distance FROM t WHERE embedding MATCH ? AND k = ?");
    time_queries(stmt, set, queries, numQueries, 10, numQueries);  // warms the cache
    f.k10 = median(time_queries(stmt, set, queries, numQueries, 10, 5 * numQueries));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return f;
  };
  const std::string path = dir + "/refill.db", freshPath = dir + "/refill_fresh.db";
  auto fresh = [&](const std::vector<int64_t>& ids) {
    remove(freshPath.c_str());
    sqlite3* db = open(freshPath);
    exec(db, "CREATE VIRTUAL TABLE t USING jix0(embedding float[384])");
    insert(db, ids);
    sqlite3_close(db);
    RefillFigures f = measure(freshPath);
    remove(freshPath.c_str());
    return f;
  };

  remove(path.c_str());
  std::vector<int64_t> ids;
  for (size_t i = 1; i <= rows; i++) ids.push_back((int64_t)i);
  sqlite3* db = open(path);
  exec(db, "CREATE VIRTUAL TABLE t USING jix0(embedding float[384])");
  insert(db, ids);
  sqlite3_close(db);
  RefillFigures loaded = measure(path);

  int64_t next = (int64_t)rows + 1;
  for (int round = 0; round < kRefillRounds; round++) {
    db = open(path);
    sqlite3_stmt* del = prepare(db, "DELETE FROM t WHERE rowid = ?");
    std::vector<int64_t> kept, added;
    exec(db, "BEGIN");
    for (size_t i = 0; i < ids.size(); i++) {
      if (i % 2) {
        kept.push_back(ids[i]);
        continue;
      }
      sqlite3_bind_int64(del, 1, ids[i]);
      check(sqlite3_step(del), db, "delete");
      sqlite3_reset(del);
      added.push_back(next++);
    }
    exec(db, "COMMIT");
    sqlite3_finalize(del);
    insert(db, added);
    sqlite3_close(db);
    ids = kept;
    ids.insert(ids.end(), added.begin(), added.end());
  }
  RefillFigures cycled = measure(path);
  RefillFigures cycledFresh = fresh(ids);

  db = open(path);
  auto start = Clock::now();
  exec(db, "INSERT INTO t(t) VALUES ('optimize')");
  double optimizeSeconds = seconds_since(start);
  sqlite3_close(db);
  RefillFigures optimized = measure(path);
  remove(path.c_str());

  const long long minimum = (long long)((ids.size() + kChunkSize - 1) / kChunkSize);
  fprintf(stderr,
          "[refill] %zu rows: fresh load %lld chunks, %.1f MiB, k=10 %.2f ms; after %d rounds "
          "%lld chunks, %.1f MiB, %.2f ms; optimize %.2f s, then %lld chunks (minimum %lld), "
          "%.1f MiB, %.2f ms; fresh load of the same rows %lld chunks, %.1f MiB, %.2f ms\n",
          rows, loaded.chunks, loaded.bytes / 1048576.0, loaded.k10 * 1e3, kRefillRounds,
          cycled.chunks, cycled.bytes / 1048576.0, cycled.k10 * 1e3, optimizeSeconds,
          optimized.chunks, minimum, optimized.bytes / 1048576.0, optimized.k10 * 1e3,
          cycledFresh.chunks, cycledFresh.bytes / 1048576.0, cycledFresh.k10 * 1e3);
  std::string json = "{\n  \"rows\": " + std::to_string(rows) +
                     ",\n  \"dims\": " + std::to_string(kRefillDims) +
                     ",\n  \"rounds\": " + std::to_string(kRefillRounds) +
                     ",\n  \"minimum_chunks\": " + std::to_string(minimum) +
                     ",\n  \"optimize_s\": " + std::to_string(optimizeSeconds);
  const std::pair<const char*, RefillFigures> stages[] = {{"fresh_load", loaded},
                                                          {"after_rounds", cycled},
                                                          {"after_optimize", optimized},
                                                          {"fresh_load_same_rows", cycledFresh}};
  for (const auto& [name, f] : stages) {
    char line[200];
    snprintf(line, sizeof line, ",\n  \"%s\": {\"chunks\": %lld, \"bytes\": %lld, \"k10_s\": %.9g}",
             name, f.chunks, f.bytes, f.k10);
    json += line;
  }
  json += "\n}\n";
  write_file(dir + "/refill.json", std::vector<uint8_t>(json.begin(), json.end()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr,
            "usage: %s EXTENSION DATA_DIR [--scale S] [--queries N] [--sets D1,D2] "
            "[--before EXTENSION]\n",
            argv[0]);
    return 2;
  }
  std::string extension = argv[1], dir = argv[2], only, before;
  double scale = 1.0;
  size_t numQueries = 50;
  for (int i = 3; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--scale"))
      scale = atof(argv[i + 1]);
    else if (!strcmp(argv[i], "--queries"))
      numQueries = (size_t)atoi(argv[i + 1]);
    else if (!strcmp(argv[i], "--sets"))
      only = argv[i + 1];
    else if (!strcmp(argv[i], "--before"))
      before = argv[i + 1];
  }
  const DataSet sets[] = {
      {"D1", Element::kFloat32, 768, 100000},
      {"D2", Element::kFloat32, 128, 1000000},
      {"D3", Element::kBit, 1024, 1000000},
      {"D4", Element::kInt8, 768, 100000},
  };
  std::string json;
  for (DataSet set : sets) {
    if (!only.empty() && only.find(set.name) == std::string::npos) continue;
    set.rows = std::max<size_t>(kChunkSize, (size_t)((double)set.rows * scale));
    std::string path = dir + "/" + set.name + ".db";
    remove(path.c_str());
    // Everything stays in SQLite's page cache (warm).
    sqlite3* db = open_with_jix(path, extension, "PRAGMA cache_size = -8000000");
    run_set(db, set, dir, numQueries, &json, path, before);
    sqlite3_close(db);
    remove(path.c_str());
  }
  std::string out = "{\n" + json + "\n}\n";
  write_file(dir + "/jix.json", std::vector<uint8_t>(out.begin(), out.end()));
  if (only.empty() || only.find("refill") != std::string::npos) {
    run_refill(extension, dir, numQueries, scale);
  }
  if (only.empty() || only.find("settings") != std::string::npos) {
    DataSet d1 = sets[0];
    d1.rows = std::max<size_t>(kChunkSize, (size_t)((double)d1.rows * scale));
    run_settings(d1, extension, dir, std::min<size_t>(numQueries, 20));
  }
  return 0;
}
