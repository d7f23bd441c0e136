// Benchmark of the IVF index of jix0 vector columns against the exact search of the same table.
//
//   jix_ivf_bench EXTENSION DATA_DIR [--queries N] [--scale S] [--sets fashion,clustered,D2]
//                 [--fashion-mnist DIR]
//
// Data sets, float32, L2, k = 10:
//   fashion    Debian's dataset-fashion-mnist (DIR defaults to /usr/share/datasets/fashion-mnist):
//              the 60,000 training images (784 bytes each, read as floats 0..255) are the table,
//              the first N of the 10,000 test images are the queries; all 10,000 test images
//              are the rows of the insert measurement.
//   clustered  1,000,000 x 128 drawn from a seeded mixture of Gaussians: 1,000 centres uniform
//              in [-1, 1)^128; each cluster has a weight uniform in [0.5, 1.5) (so clusters hold
//              about 500 to 1,500 rows) and a standard deviation uniform in [0.1, 0.3) on every
//              coordinate; a row picks a cluster with probability proportional to its weight and
//              adds independent normal noise to the centre. Queries and inserted rows come from
//              the same mixture (other seeds).
//   D2         1,000,000 x 128 uniform in [-1, 1), the data and queries of jix_knn_bench's D2:
//              no structure for an index to use, the worst case.
// Each set runs in three database files under DATA_DIR, one after the other, single thread,
// SQLite's cache holding the table:
//   1. the table without the index (embedding, category integer = row % 10): load time, file
//      size, exact k = 10 on some queries, then 10,000 more rows in one transaction;
//   2. the same table with `index=ivf`: load, 'build-index', file size; every query exactly
//      (`probes` = 1000000, which scans every list) and with the index at its default probes and
//      at probes 1, 2, 4, ...; recall@10 is the fraction of the exact answer's rowids returned.
//      Then `category = 3` (10% of rows) exactly and with the index: rows returned and recall.
//      Then the same 10,000-row insert as in 1, into the built table;
//   3. an indexed table with a partition key (part integer partition key = row % 10): load,
//      'build-index', and `part = 3` exactly and with the index.
// Every timing is taken as wall-clock time and as the thread's CPU time (which the other jobs
// of a shared machine disturb less). Results go to DATA_DIR/ivf.json for bench/ivf_report.py.
#include <sqlite3.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_util.h"

namespace {

using bench::check;
using bench::Clock;
using bench::exec;
using bench::median;
using bench::percentile;
using bench::prepare;
using bench::query_integer;
using bench::seconds_since;
using bench::SplitMix64;
using bench::thread_cpu_seconds;

constexpr int kK = 10;
constexpr int kCategories = 10;  // `category = 3` and `part = 3` each keep 10% of rows
constexpr int kExactProbes = 1000000;
constexpr size_t kInsertRows = 10000;
constexpr size_t kPlainQueries = 100;  // exact queries on the table without the index
constexpr int kSweep[] = {1, 2, 4, 8, 16, 32, 64, 128, 256};

struct Data {
  size_t dims = 0;
  std::vector<float> vectors, queries, extra;  // table rows, queries, rows inserted afterwards
  size_t rows() const { return vectors.size() / dims; }
  size_t numQueries() const { return queries.size() / dims; }
  size_t numExtra() const { return extra.size() / dims; }
};

// An idx file of unsigned-byte images (magic 0x00000803), gzipped as Debian ships it.
std::vector<float> read_idx_images(const std::string& path, size_t limit, size_t* dims) {
  std::string command = "gzip -dc '" + path + "'";
  FILE* f = popen(command.c_str(), "r");
  uint8_t header[16];
  if (!f || fread(header, 1, 16, f) != 16) {
    fprintf(stderr, "cannot read %s (install dataset-fashion-mnist)\n", path.c_str());
    exit(1);
  }
  auto be32 = [&](int at) {
    return (size_t)header[at] << 24 | (size_t)header[at + 1] << 16 | (size_t)header[at + 2] << 8 |
           (size_t)header[at + 3];
  };
  if (be32(0) != 0x803) {
    fprintf(stderr, "%s: not an idx file of byte images\n", path.c_str());
    exit(1);
  }
  size_t count = std::min(be32(4), limit);
  *dims = be32(8) * be32(12);
  std::vector<uint8_t> bytes(count * *dims);
  if (fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
    fprintf(stderr, "%s: short file\n", path.c_str());
    exit(1);
  }
  pclose(f);
  return std::vector<float>(bytes.begin(), bytes.end());
}

// The mixture of Gaussian clusters described at the top.
struct Mixture {
  size_t dims;
  std::vector<float> centres;
  std::vector<double> cumulative;  // running sum of cluster weights
  std::vector<double> sigma;

  Mixture(size_t clusters, size_t dimensions, uint64_t seed) : dims(dimensions) {
    SplitMix64 random{seed};
    centres.resize(clusters * dims);
    for (float& c : centres) c = random.uniform_float();
    double total = 0;
    for (size_t c = 0; c < clusters; c++) {
      total += 0.5 + unit(random);
      cumulative.push_back(total);
      sigma.push_back(0.1 + 0.2 * unit(random));
    }
  }
  static double unit(SplitMix64& random) {  // uniform in [0, 1)
    return (double)(random.next() >> 11) * 0x1.0p-53;
  }
  std::vector<float> sample(size_t count, uint64_t seed) const {
    SplitMix64 random{seed};
    std::vector<float> out(count * dims);
    for (size_t i = 0; i < count; i++) {
      double pick = unit(random) * cumulative.back();
      size_t c = (size_t)(std::upper_bound(cumulative.begin(), cumulative.end(), pick) -
                          cumulative.begin());
      c = std::min(c, cumulative.size() - 1);
      for (size_t d = 0; d < dims; d += 2) {  // Box-Muller: two normal numbers per draw
        double r = std::sqrt(-2.0 * std::log(1.0 - unit(random)));
        double angle = 2.0 * M_PI * unit(random);
        out[i * dims + d] = centres[c * dims + d] + (float)(sigma[c] * r * std::cos(angle));
        if (d + 1 < dims)
          out[i * dims + d + 1] =
              centres[c * dims + d + 1] + (float)(sigma[c] * r * std::sin(angle));
      }
    }
    return out;
  }
};

std::vector<float> uniform(size_t count, size_t dims, uint64_t seed) {
  SplitMix64 random{seed};
  std::vector<float> out(count * dims);
  for (float& f : out) f = random.uniform_float();
  return out;
}

struct Hit {
  int64_t rowid;
  float distance;
};

struct Answers {
  std::vector<std::vector<Hit>> hits;  // per query
  std::vector<double> seconds;         // per query
  std::vector<double> cpuSeconds;      // per query, the thread's CPU time
};

// Runs queries [0, count) through stmt (?1 the query vector, ?2 probes when bound).
Answers run_queries(sqlite3_stmt* stmt, const Data& data, size_t count, int probes) {
  Answers out;
  for (size_t i = 0; i < count; i++) {
    sqlite3_bind_blob(stmt, 1, data.queries.data() + i * data.dims, (int)(4 * data.dims),
                      SQLITE_STATIC);
    if (probes > 0) sqlite3_bind_int(stmt, 2, probes);
    std::vector<Hit> hits;
    double cpu = thread_cpu_seconds();
    auto start = Clock::now();
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
      hits.push_back({sqlite3_column_int64(stmt, 0), (float)sqlite3_column_double(stmt, 1)});
    out.seconds.push_back(seconds_since(start));
    out.cpuSeconds.push_back(thread_cpu_seconds() - cpu);
    check(rc, sqlite3_db_handle(stmt), "knn");
    sqlite3_reset(stmt);
    out.hits.push_back(std::move(hits));
  }
  return out;
}

// Mean over queries of the fraction of the exact answer's rowids that the answer holds.
double recall(const Answers& answer, const Answers& exact) {
  double sum = 0;
  size_t counted = 0;
  for (size_t q = 0; q < exact.hits.size(); q++) {
    if (exact.hits[q].empty()) continue;
    size_t found = 0;
    for (const Hit& e : exact.hits[q])
      for (const Hit& h : answer.hits[q])
        if (h.rowid == e.rowid) {
          found++;
          break;
        }
    sum += (double)found / (double)exact.hits[q].size();
    counted++;
  }
  return counted ? sum / (double)counted : 1.0;
}

// Queries whose answer has fewer rows than the exact one (which has min(k, matching rows)).
size_t short_answers(const Answers& answer, const Answers& exact) {
  size_t n = 0;
  for (size_t q = 0; q < exact.hits.size(); q++) n += answer.hits[q].size() < exact.hits[q].size();
  return n;
}

size_t fewest_rows(const Answers& answer) {
  size_t n = SIZE_MAX;
  for (const auto& hits : answer.hits) n = std::min(n, hits.size());
  return n == SIZE_MAX ? 0 : n;
}

bool same_distances(const std::vector<Hit>& a, const std::vector<Hit>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (memcmp(&a[i].distance, &b[i].distance, sizeof(float)) != 0) return false;
  return true;
}

std::string load_average() {
  char buf[64] = "";
  FILE* f = fopen("/proc/loadavg", "r");
  if (f) {
    if (!fgets(buf, sizeof buf, f)) buf[0] = 0;
    fclose(f);
  }
  std::string s(buf);
  size_t third = 0;
  for (int i = 0; i < 3 && third != std::string::npos; i++) third = s.find(' ', third + 1);
  return s.substr(0, third);
}

struct Json {
  std::string text;
  void number(const std::string& key, double value) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.9g", value);
    field(key, buf);
  }
  void string(const std::string& key, const std::string& value) { field(key, "\"" + value + "\""); }
  void field(const std::string& key, const std::string& raw) {
    text += (text.empty() ? "" : ", ") + ("\"" + key + "\": ") + raw;
  }
  std::string object() const { return "{" + text + "}"; }
};

class SetRun {
 public:
  SetRun(const std::string& name, const Data& data, const std::string& extension,
         const std::string& dir)
      : name_(name), data_(data), extension_(extension), dir_(dir) {}

  std::string run() {
    out_.string("load_before", load_average());
    out_.number("rows", (double)data_.rows());
    out_.number("dims", (double)data_.dims);
    out_.number("queries", (double)data_.numQueries());
    out_.number("insert_rows", (double)data_.numExtra());
    plain();
    indexed();
    partitioned();
    out_.string("load_after", load_average());
    return out_.object();
  }

 private:
  sqlite3* open(const std::string& file) {
    std::string path = dir_ + "/" + file;
    remove(path.c_str());
    return bench::open_with_jix(path, extension_, "PRAGMA cache_size = -8000000");
  }
  void close(sqlite3* db, const std::string& file) {
    sqlite3_close(db);
    remove((dir_ + "/" + file).c_str());
  }
  std::string column() const { return "embedding float[" + std::to_string(data_.dims) + "]"; }

  // Rows 1..n of the table, the extra column `name` = row % 10, in one transaction.
  // Records <key>_s (wall clock) and <key>_cpu_s; returns the wall-clock seconds.
  double timed(const std::string& key, double wall, double cpu) {
    out_.number(key + "_s", wall);
    out_.number(key + "_cpu_s", cpu);
    return wall;
  }

  double load(const std::string& key, sqlite3* db, const std::vector<float>& vectors,
              int64_t firstRowid, const char* extra) {
    sqlite3_stmt* ins =
        prepare(db, std::string("INSERT INTO t(rowid, embedding, ") + extra + ") VALUES (?, ?, ?)");
    size_t n = vectors.size() / data_.dims;
    double cpu = thread_cpu_seconds();
    auto start = Clock::now();
    exec(db, "BEGIN");
    for (size_t i = 0; i < n; i++) {
      int64_t rowid = firstRowid + (int64_t)i;
      sqlite3_bind_int64(ins, 1, rowid);
      sqlite3_bind_blob(ins, 2, vectors.data() + i * data_.dims, (int)(4 * data_.dims),
                        SQLITE_STATIC);
      sqlite3_bind_int(ins, 3, (int)(rowid % kCategories));
      check(sqlite3_step(ins), db, "insert");
      sqlite3_reset(ins);
    }
    exec(db, "COMMIT");
    double wall = seconds_since(start);
    sqlite3_finalize(ins);
    return timed(key, wall, thread_cpu_seconds() - cpu);
  }

  double build(const std::string& key, sqlite3* db) {
    double cpu = thread_cpu_seconds();
    auto start = Clock::now();
    exec(db, "INSERT INTO t(t) VALUES ('build-index')");
    double wall = seconds_since(start);
    return timed(key, wall, thread_cpu_seconds() - cpu);
  }

  // Bytes of the pages in use, and the chunk count.
  void storage(sqlite3* db, const std::string& prefix) {
    long long pages = query_integer(db, "PRAGMA page_count");
    long long free = query_integer(db, "PRAGMA freelist_count");
    long long size = query_integer(db, "PRAGMA page_size");
    out_.number(prefix + "_bytes", (double)((pages - free) * size));
    out_.number(prefix + "_file_bytes", (double)(pages * size));
    out_.number(prefix + "_chunks", (double)query_integer(db, "SELECT count(*) FROM t_chunks"));
  }

  sqlite3_stmt* knn(sqlite3* db, const std::string& filter, bool probes) {
    return prepare(db, "SELECT rowid, distance FROM t WHERE embedding MATCH ?1 AND k = " +
                           std::to_string(kK) + (probes ? " AND probes = ?2" : "") + filter);
  }

  void times(const std::string& prefix, const Answers& a) {
    out_.number(prefix + "_median_s", median(a.seconds));
    out_.number(prefix + "_p90_s", percentile(a.seconds, 0.9));
    out_.number(prefix + "_median_cpu_s", median(a.cpuSeconds));
  }

  void plain() {
    const char* file = "plain.db";
    fprintf(stderr, "[%s] table without the index: loading %zu rows\n", name_.c_str(),
            data_.rows());
    sqlite3* db = open(file);
    exec(db, "CREATE VIRTUAL TABLE t USING jix0(" + column() + ", category integer)");
    load("plain_load", db, data_.vectors, 1, "category");
    storage(db, "plain");
    sqlite3_stmt* stmt = knn(db, "", false);
    size_t count = std::min(kPlainQueries, data_.numQueries());
    run_queries(stmt, data_, 1, 0);  // warm-up
    plainExact_ = run_queries(stmt, data_, count, 0);
    sqlite3_finalize(stmt);
    times("plain_exact", plainExact_);
    double insert = load("plain_insert", db, data_.extra, (int64_t)data_.rows() + 1, "category");
    fprintf(stderr, "[%s] exact k=10 median %.2f ms; %zu inserts %.3f s\n", name_.c_str(),
            median(plainExact_.seconds) * 1e3, data_.numExtra(), insert);
    close(db, file);
  }

  void indexed() {
    const char* file = "ivf.db";
    fprintf(stderr, "[%s] indexed table: loading\n", name_.c_str());
    sqlite3* db = open(file);
    exec(db, "CREATE VIRTUAL TABLE t USING jix0(" + column() + " index=ivf, category integer)");
    load("ivf_load", db, data_.vectors, 1, "category");
    double built = build("build", db);
    storage(db, "ivf");
    long long lists = query_integer(db, "SELECT count(*) FROM t_ivfcentroids");
    out_.number("lists", (double)lists);
    fprintf(stderr, "[%s] build-index %.2f s, %lld lists\n", name_.c_str(), built, lists);

    size_t nq = data_.numQueries();
    sqlite3_stmt* probed = knn(db, "", true);
    run_queries(probed, data_, 1, kExactProbes);  // warm-up
    Answers exact = run_queries(probed, data_, nq, kExactProbes);
    times("exact", exact);
    bool same = true;
    for (size_t q = 0; q < plainExact_.hits.size(); q++)
      same = same && same_distances(exact.hits[q], plainExact_.hits[q]);
    out_.number("exact_same_as_unindexed", same ? 1 : 0);

    sqlite3_stmt* byDefault = knn(db, "", false);
    Answers ivf = run_queries(byDefault, data_, nq, 0);
    sqlite3_finalize(byDefault);
    times("ivf", ivf);
    out_.number("recall", recall(ivf, exact));
    out_.number("ivf_fewest_rows", (double)fewest_rows(ivf));
    fprintf(stderr, "[%s] exact %.2f ms, index %.2f ms, recall@10 %.4f\n", name_.c_str(),
            median(exact.seconds) * 1e3, median(ivf.seconds) * 1e3, recall(ivf, exact));

    std::string sweep;
    for (int probes : kSweep) {
      if (probes >= lists) break;
      Answers a = run_queries(probed, data_, nq, probes);
      char buf[200];
      snprintf(buf, sizeof buf,
               "%s{\"probes\": %d, \"median_s\": %.9g, \"median_cpu_s\": %.9g, "
               "\"recall\": %.9g}",
               sweep.empty() ? "" : ", ", probes, median(a.seconds), median(a.cpuSeconds),
               recall(a, exact));
      sweep += buf;
      fprintf(stderr, "[%s] probes %d: %.3f ms, recall@10 %.4f\n", name_.c_str(), probes,
              median(a.seconds) * 1e3, recall(a, exact));
    }
    out_.field("sweep", "[" + sweep + "]");
    sqlite3_finalize(probed);

    filtered(db, " AND category = 3", "metadata");

    double insert = load("ivf_insert", db, data_.extra, (int64_t)data_.rows() + 1, "category");
    fprintf(stderr, "[%s] %zu inserts into the built table %.3f s\n", name_.c_str(),
            data_.numExtra(), insert);
    close(db, file);
  }

  // The filter exactly and through the index at default probes.
  void filtered(sqlite3* db, const std::string& filter, const std::string& prefix) {
    size_t nq = data_.numQueries();
    sqlite3_stmt* exactStmt = knn(db, filter, true);
    sqlite3_stmt* ivfStmt = knn(db, filter, false);
    Answers exact = run_queries(exactStmt, data_, nq, kExactProbes);
    Answers ivf = run_queries(ivfStmt, data_, nq, 0);
    sqlite3_finalize(exactStmt);
    sqlite3_finalize(ivfStmt);
    times(prefix + "_exact", exact);
    times(prefix + "_ivf", ivf);
    out_.number(prefix + "_recall", recall(ivf, exact));
    out_.number(prefix + "_fewest_rows", (double)fewest_rows(ivf));
    out_.number(prefix + "_exact_fewest_rows", (double)fewest_rows(exact));
    out_.number(prefix + "_short_answers", (double)short_answers(ivf, exact));
    fprintf(stderr,
            "[%s] %s filter: exact %.2f ms, index %.2f ms, recall@10 %.4f, fewest rows %zu, "
            "short answers %zu\n",
            name_.c_str(), prefix.c_str(), median(exact.seconds) * 1e3, median(ivf.seconds) * 1e3,
            recall(ivf, exact), fewest_rows(ivf), short_answers(ivf, exact));
  }

  void partitioned() {
    const char* file = "partitioned.db";
    fprintf(stderr, "[%s] indexed table with a partition key: loading\n", name_.c_str());
    sqlite3* db = open(file);
    exec(db, "CREATE VIRTUAL TABLE t USING jix0(" + column() +
                 " index=ivf, part integer partition key)");
    load("partitioned_load", db, data_.vectors, 1, "part");
    build("partitioned_build", db);
    storage(db, "partitioned");
    filtered(db, " AND part = 3", "partition");
    close(db, file);
  }

  std::string name_;
  const Data& data_;
  std::string extension_, dir_;
  Answers plainExact_;
  Json out_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr,
            "usage: %s EXTENSION DATA_DIR [--queries N] [--scale S] "
            "[--sets fashion,clustered,D2] [--fashion-mnist DIR]\n",
            argv[0]);
    return 2;
  }
  std::string extension = argv[1], dir = argv[2], only,
              fashionDir = "/usr/share/datasets/fashion-mnist";
  double scale = 1.0;
  size_t numQueries = 1000;
  for (int i = 3; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--scale"))
      scale = atof(argv[i + 1]);
    else if (!strcmp(argv[i], "--queries"))
      numQueries = (size_t)atoi(argv[i + 1]);
    else if (!strcmp(argv[i], "--sets"))
      only = argv[i + 1];
    else if (!strcmp(argv[i], "--fashion-mnist"))
      fashionDir = argv[i + 1];
  }
  auto wanted = [&](const char* set) {
    return only.empty() || only.find(set) != std::string::npos;
  };
  auto scaled = [&](size_t rows) { return std::max<size_t>(1000, (size_t)((double)rows * scale)); };
  const size_t insertRows = std::min(kInsertRows, scaled(kInsertRows));
  std::string json;
  auto run = [&](const char* name, const Data& data) {
    std::string result = SetRun(name, data, extension, dir).run();
    json += (json.empty() ? "  \"" : ",\n  \"") + std::string(name) + "\": " + result;
  };
  if (wanted("fashion")) {
    Data data;
    fprintf(stderr, "[fashion] reading %s\n", fashionDir.c_str());
    data.vectors =
        read_idx_images(fashionDir + "/train-images-idx3-ubyte.gz", scaled(60000), &data.dims);
    size_t testDims = 0;
    std::vector<float> test =
        read_idx_images(fashionDir + "/t10k-images-idx3-ubyte.gz", 10000, &testDims);
    size_t nq = std::min(numQueries, test.size() / testDims);
    data.queries.assign(test.begin(), test.begin() + (long)(nq * testDims));
    data.extra.assign(test.begin(), test.begin() + (long)(insertRows * testDims));
    run("fashion", data);
  }
  if (wanted("clustered")) {
    fprintf(stderr, "[clustered] generating\n");
    Mixture mixture(1000, 128, 7001);
    Data data;
    data.dims = 128;
    data.vectors = mixture.sample(scaled(1000000), 7002);
    data.queries = mixture.sample(numQueries, 7003);
    data.extra = mixture.sample(insertRows, 7004);
    run("clustered", data);
  }
  if (wanted("D2")) {
    fprintf(stderr, "[D2] generating\n");
    Data data;
    data.dims = 128;
    data.vectors = uniform(scaled(1000000), 128, 1000);  // jix_knn_bench's D2 seeds
    data.queries = uniform(numQueries, 128, 2000);
    data.extra = uniform(insertRows, 128, 5000);
    run("D2", data);
  }
  std::string out = "{\n" + json + "\n}\n";
  bench::write_file(dir + "/ivf.json", std::vector<uint8_t>(out.begin(), out.end()));
  return 0;
}
