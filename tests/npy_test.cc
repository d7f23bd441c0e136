// NumPy input: jix_npy_each over .npy BLOBs and files. Header and size errors are built by
// hand byte for byte; real NumPy files come from Debian's python3-numpy when it is present.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "extension/entry.h"
#include "support/subtype_probe.h"
#include "support/test_db.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A .npy image: magic, version 1.0, the header length field, the header, then data.
Bytes Npy(const std::string& header, const Bytes& data = {}) {
  const unsigned char prefix[10] = {0x93,
                                    'N',
                                    'U',
                                    'M',
                                    'P',
                                    'Y',
                                    1,
                                    0,
                                    (unsigned char)(header.size() & 0xFF),
                                    (unsigned char)(header.size() >> 8)};
  Bytes out(sizeof(prefix) + header.size() + data.size());
  memcpy(out.data(), prefix, sizeof(prefix));
  if (!header.empty()) memcpy(out.data() + sizeof(prefix), header.data(), header.size());
  if (!data.empty()) memcpy(out.data() + sizeof(prefix) + header.size(), data.data(), data.size());
  return out;
}

std::string Shape(const std::string& shape) {
  return "{'descr': '<f4', 'fortran_order': False, 'shape': " + shape + ", }";
}

// Expected rows "rowid|X'hex'" of an array whose element i (in row order) is i * 0.5.
std::string HalvesRows(int n, int d) {
  std::string out;
  for (int r = 0; r < n; r++) {
    std::vector<float> v(d);
    for (int j = 0; j < d; j++) v[j] = (float)(r * d + j) * 0.5f;
    if (r) out += "\n";
    out += std::to_string(r) + "|X'" + Hex(v.data(), d * 4) + "'";
  }
  return out;
}

Bytes HalvesData(int n, int d) {
  Bytes out(n * d * 4);
  for (int i = 0; i < n * d; i++) {
    float v = (float)i * 0.5f;
    memcpy(out.data() + i * 4, &v, 4);
  }
  return out;
}

class NpyDb : public TestDb {
 public:
  NpyDb() {
    char* error = nullptr;
    EXPECT_EQ(sqlite3_jix_numpy_init(db(), &error, nullptr), SQLITE_OK);
    sqlite3_free(error);
    // Reports a value's subtype, to tell tagged from untagged vectors.
    EXPECT_EQ(RegisterSubtypeProbe(db(), "subtype_of"), SQLITE_OK);
  }
  std::string List(const Bytes& npy) {
    return QueryWithBlobs("SELECT rowid, vector FROM jix_npy_each(?)", {npy});
  }
};

// A scratch directory for the test's files, removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::string pattern = testing::TempDir() + "jix_npy_XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    path_ = mkdtemp(buffer.data()) ? buffer.data() : "";
    EXPECT_FALSE(path_.empty());
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::string Write(const std::string& name, const Bytes& bytes) const {
    std::ofstream out(File(name), std::ios::binary);
    out.write((const char*)bytes.data(), (std::streamsize)bytes.size());
    return File(name);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string SqlQuote(const std::string& text) {
  return "'" + text + "'";
}

TEST(NpyEach, HeaderMessages) {
  NpyDb db;
  struct Case {
    const char* header;
    const char* expected;
  };
  const Case cases[] = {
      {"", "numpy header did not start with '{'"},
      {"  ['descr']", "numpy header did not start with '{'"},
      {"{", "expected key in numpy header"},
      {"{'descr': '<f4', True", "expected key in numpy header"},
      {"{5: 1, }", "expected a string as key in numpy header"},
      {"{'descr' '<f4', }", "expected a ':' after key in numpy header"},
      {"{'descr': \"<f4\", }", "expected a string value after 'descr' key"},
      {"{'descr': '<f8', }", "Only '<f4' values are supported in sqlite-jix numpy functions"},
      {"{'descr': '>f4', }", "Only '<f4' values are supported in sqlite-jix numpy functions"},
      {"{'fortran_order': True, }",
       "Only fortran_order = False is supported in sqlite-jix numpy functions"},
      {"{'fortran_order': Fals, }",
       "Only fortran_order = False is supported in sqlite-jix numpy functions"},
      {"{'shape': [2, 3], }", "Expected left parenthesis '(' after shape key"},
      {"{'shape': (-2, 3), }", "Expected an initial number in shape value"},
      {"{'shape': (), }", "Expected an initial number in shape value"},
      {"{'shape': (2 3), }", "Expected comma after first shape value"},
      {"{'shape': (2,", "unexpected header EOF while parsing shape"},
      {"{'shape': (2, 3, 4), }", "expected right parenthesis after shape value"},
      {"{'shape': (2, 3", "expected right parenthesis after shape value"},
      {"{'shape': (2, 'x'), }", "unknown type in shape value"},
      {"{'dtype': '<f4', }", "unknown key in numpy header"},
      {"{'Descr': '<f4', }", "unknown key in numpy header"},
      {"{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3)}",
       "unknown extra token after value"},
      {"{'descr': '<f4'", "unknown extra token after value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    EXPECT_EQ(db.List(Npy(c.header)), std::string("Error parsing numpy array: ") + c.expected);
  }
}

TEST(NpyEach, ListsHandBuiltArrays) {
  NpyDb db;
  struct Case {
    Bytes npy;
    std::string expected;
  };
  const Case cases[] = {
      {Npy(Shape("(2, 3)"), HalvesData(2, 3)), HalvesRows(2, 3)},
      // (d,) is one row; (0, d) and (0,) are none.
      {Npy(Shape("(3,)"), HalvesData(1, 3)), HalvesRows(1, 3)},
      {Npy(Shape("(0, 4)")), ""},
      {Npy(Shape("(0,)")), ""},
      // Keys in any order, repeated keys keep their last value, and NumPy's padding after
      // the brace is ignored.
      {Npy("{'shape': (9, 9), 'fortran_order': False, 'descr': '<f4', 'shape':(1,2),}  \n",
           HalvesData(1, 2)),
       HalvesRows(1, 2)},
      // A header that names no shape lists nothing.
      {Npy("{'descr': '<f4', }"), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(db.List(c.npy), c.expected);

  // Rows read from a BLOB carry the float32 subtype; the hidden input column reads NULL.
  EXPECT_EQ(db.QueryWithBlobs("SELECT subtype_of(vector), input FROM jix_npy_each(?)",
                              {Npy(Shape("(1, 2)"), HalvesData(1, 2))}),
            "223|NULL");
  // Without its input there is no plan.
  EXPECT_EQ(db.Query("SELECT * FROM jix_npy_each"), "no query solution");
}

// A header without an element type, or whose shape gives vectors of no elements, would list
// rows the array does not hold (endlessly many for a huge count): both inputs refuse it.
TEST(NpyEach, RefusesHeadersWithoutVectors) {
  NpyDb db;
  TempDir dir;
  const char* noDescr = "Error parsing numpy array: numpy header has no 'descr' key";
  const char* zeroDims = "Error parsing numpy array: numpy shape gives vectors of zero dimensions";
  struct Case {
    Bytes npy;
    const char* expected;
  };
  const Case cases[] = {
      {Npy("{}"), noDescr},
      {Npy("{'shape': (2, 3), }", HalvesData(2, 3)), noDescr},
      {Npy("{'shape': (2, 0), }"), noDescr},
      {Npy("{'fortran_order': False, 'shape': (3,), }", HalvesData(1, 3)), noDescr},
      {Npy(Shape("(2, 0)")), zeroDims},
      {Npy(Shape("(18446744073709551615, 0)")), zeroDims},
      {Npy(Shape("(1, 00)")), zeroDims},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(db.List(c.npy), c.expected);
    std::string path = dir.Write("case.npy", c.npy);
    EXPECT_EQ(db.Query("SELECT rowid FROM jix_npy_each(jix_npy_file(" + SqlQuote(path) + "))"),
              c.expected);
  }
}

// Only regular files are read: a FIFO would block the connection until a writer came (and
// the wait cannot be interrupted), a device may never end. Each is refused before opening.
TEST(NpyEach, RefusesPathsThatAreNotRegularFiles) {
  NpyDb db;
  TempDir dir;
  std::string fifo = dir.File("pipe.npy");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const char* refused = "Could not open numpy file: not a regular file";
  for (const std::string& path : {fifo, dir.path(), std::string("/dev/zero")}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(db.Query("SELECT count(*) FROM jix_npy_each(jix_npy_file(" + SqlQuote(path) + "))"),
              refused);
  }
  // A symbolic link to a regular file is read through.
  std::string target = dir.Write("a.npy", Npy(Shape("(2, 3)"), HalvesData(2, 3)));
  std::string link = dir.File("link.npy");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EQ(
      db.Query("SELECT rowid, vector FROM jix_npy_each(jix_npy_file(" + SqlQuote(link) + "))"),
      HalvesRows(2, 3));
}

// jix_npy_file reads the user's files, so a schema (a view or trigger of a database someone
// else wrote) may not call it; SQL the application runs itself still may.
TEST(NpyEach, FileFunctionIsDirectOnly) {
  NpyDb db;
  TempDir dir;
  std::string path = SqlQuote(dir.Write("a.npy", Npy(Shape("(2, 3)"), HalvesData(2, 3))));
  db.Exec(
      "CREATE TABLE log(n); CREATE TABLE src(x);"
      "CREATE VIEW v AS SELECT count(*) FROM jix_npy_each(jix_npy_file(" +
      path +
      "));"
      "CREATE VIEW w AS SELECT jix_npy_file(" +
      path +
      ") IS NULL;"
      "CREATE TRIGGER tr AFTER INSERT ON src BEGIN INSERT INTO log SELECT count(*) FROM "
      "jix_npy_each(jix_npy_file(" +
      path + ")); END;");
  const char* unsafe = "unsafe use of jix_npy_file()";
  EXPECT_EQ(db.Query("SELECT * FROM v"), unsafe);
  EXPECT_EQ(db.Query("SELECT * FROM w"), unsafe);
  EXPECT_EQ(db.Query("INSERT INTO src VALUES (1)"), unsafe);
  EXPECT_EQ(db.Query("SELECT count(*) FROM log"), "0");
  EXPECT_EQ(db.Query("SELECT count(*) FROM jix_npy_each(jix_npy_file(" + path + "))"), "2");
}

TEST(NpyEach, SizeMessages) {
  NpyDb db;
  Bytes badMagic = Npy(Shape("(1, 1)"), HalvesData(1, 1));
  badMagic[1] = 'n';
  Bytes longHeader = Npy(Shape("(1, 1)"), HalvesData(1, 1));
  longHeader[9] = 1;  // 256 more header bytes than there are
  Bytes shortData = Npy(Shape("(2, 3)"), HalvesData(2, 3));
  shortData.pop_back();
  struct Case {
    Bytes npy;
    const char* expected;
  };
  const Case cases[] = {
      {Bytes(9, 0x93), "numpy array too short"},
      {Bytes(), "numpy array too short"},
      {badMagic, "numpy array does not contain the 'magic' header"},
      {longHeader, "numpy array header length is invalid"},
      {shortData, "numpy array error: Expected a data size of 24, found 23"},
      {Npy(Shape("(2, 3)"), HalvesData(2, 4)),
       "numpy array error: Expected a data size of 24, found 32"},
      // Byte sizes past 32 bits are computed and reported truthfully, never wrapped into a
      // size that matches a small input.
      {Npy(Shape("(1073741824, 1)")),
       "numpy array error: Expected a data size of 4294967296, found 0"},
      {Npy(Shape("(1073741825, 1)"), Bytes(4, 0)),
       "numpy array error: Expected a data size of 4294967300, found 4"},
      {Npy(Shape("(4611686018427387904, 2)")),
       "numpy array error: Expected a data size too large for 64 bits, found 0"},
      {Npy(Shape("(1, 99999999999999999999999)"), Bytes(4, 0)),
       "numpy array error: Expected a data size too large for 64 bits, found 4"},
  };
  for (const Case& c : cases) EXPECT_EQ(db.List(c.npy), c.expected);
  EXPECT_EQ(db.Query("SELECT * FROM jix_npy_each(NULL)"), "numpy array too short");
  EXPECT_EQ(db.Query("SELECT * FROM jix_npy_each('not an array at all')"),
            "numpy array does not contain the 'magic' header");
}

TEST(NpyEach, FileMessages) {
  NpyDb db;
  TempDir dir;
  Bytes badMagic = Npy(Shape("(1, 1)"), HalvesData(1, 1));
  badMagic[5] = 'X';
  Bytes longHeader = Npy(Shape("(1, 1)"), HalvesData(1, 1));
  longHeader[9] = 1;
  Bytes shortData = Npy(Shape("(2, 3)"), HalvesData(2, 3));
  shortData.pop_back();
  struct Case {
    Bytes npy;
    const char* expected;
  };
  const Case cases[] = {
      {Bytes(9, 0x93), "numpy array file too short"},
      {badMagic, "numpy array file does not contain the 'magic' header"},
      {longHeader, "numpy array file header length is invalid"},
      {shortData, "numpy array file error: Expected a data size of 24, found 23"},
      {Npy(Shape("(1073741824, 1)")),
       "numpy array file error: Expected a data size of 4294967296, found 0"},
      {Npy(Shape("(4611686018427387904, 2)")),
       "numpy array file error: Expected a data size too large for 64 bits, found 0"},
      {Npy(Shape("(2, 3, 4)")),
       "Error parsing numpy array: expected right parenthesis after shape value"},
  };
  for (const Case& c : cases) {
    std::string path = dir.Write("case.npy", c.npy);
    EXPECT_EQ(db.Query("SELECT rowid FROM jix_npy_each(jix_npy_file(" + SqlQuote(path) + "))"),
              c.expected);
  }
  EXPECT_EQ(
      db.Query("SELECT * FROM jix_npy_each(jix_npy_file(" + SqlQuote(dir.File("none.npy")) + "))"),
      "Could not open numpy file");
  EXPECT_EQ(db.Query("SELECT * FROM jix_npy_each(jix_npy_file(NULL))"),
            "Could not open numpy file");
}

TEST(NpyEach, FilesListLikeBlobsAcrossChunks) {
  NpyDb db;
  TempDir dir;
  // 1024 * 2 + 952 vectors: two full chunks and a partial one.
  const int n = 1024 * 2 + 952, d = 3;
  struct Case {
    const char* shape;
    int rows, dims;
  };
  for (const Case& c :
       {Case{"(2, 3)", 2, 3}, {"(3,)", 1, 3}, {"(0, 4)", 0, 4}, {"(3000, 3)", n, d}}) {
    SCOPED_TRACE(c.shape);
    const int rows = c.rows, dims = c.dims;
    Bytes npy = Npy(Shape(c.shape), HalvesData(rows, dims));
    std::string path = dir.Write("a.npy", npy);
    std::string fromFile =
        db.Query("SELECT rowid, vector FROM jix_npy_each(jix_npy_file(" + SqlQuote(path) + "))");
    EXPECT_EQ(fromFile, HalvesRows(rows, dims));
    EXPECT_EQ(fromFile, db.List(npy));
  }
  // File rows are untagged; the same cursor filtered again starts over from the first row.
  std::string path = dir.Write("b.npy", Npy(Shape("(3000, 3)"), HalvesData(n, d)));
  EXPECT_EQ(db.Query("SELECT DISTINCT subtype_of(vector) FROM jix_npy_each(jix_npy_file(" +
                     SqlQuote(path) + "))"),
            "0");
  EXPECT_EQ(db.Query("SELECT o.value, count(*), min(e.rowid), max(e.rowid), "
                     "sum(jix_distance_l1(e.vector, '[0,0,0]')) FROM json_each('[1,2]') o, "
                     "jix_npy_each(jix_npy_file(" +
                     SqlQuote(path) + ")) e GROUP BY o.value"),
            "1|3000|0|2999|20247750.0\n2|3000|0|2999|20247750.0");
}

// Arrays written by NumPy itself.
TEST(NpyEach, ListsArraysWrittenByNumpy) {
  std::string python;
  for (const char* candidate : {"/usr/bin/python3", "python3"}) {
    if (std::system((std::string(candidate) + " -c 'import numpy' >/dev/null 2>&1").c_str()) == 0) {
      python = candidate;
      break;
    }
  }
  if (python.empty()) GTEST_SKIP() << "python3 with numpy is not installed (scripts/install-deps)";
  NpyDb db;
  TempDir dir;
  const std::string script =
      "import sys, numpy as np\n"
      "for name, shape in [('a', (2, 3)), ('b', (3,)), ('c', (0, 4)), ('d', (0,)),\n"
      "                    ('e', (3000, 3))]:\n"
      "    count = int(np.prod(shape))\n"
      "    a = (np.arange(count, dtype=np.float32) * 0.5).reshape(shape)\n"
      "    np.save(sys.argv[1] + '/' + name + '.npy', a)\n";
  dir.Write("make.py", Bytes(script.begin(), script.end()));
  ASSERT_EQ(std::system((python + " " + dir.File("make.py") + " " + dir.path()).c_str()), 0);

  struct Case {
    const char* name;
    int rows, dims;
  };
  for (const Case& c : {Case{"a", 2, 3}, {"b", 1, 3}, {"c", 0, 4}, {"d", 0, 0}, {"e", 3000, 3}}) {
    SCOPED_TRACE(c.name);
    std::string path = dir.File(std::string(c.name) + ".npy");
    EXPECT_EQ(
        db.Query("SELECT rowid, vector FROM jix_npy_each(jix_npy_file(" + SqlQuote(path) + "))"),
        HalvesRows(c.rows, c.dims));
    EXPECT_EQ(db.List(ReadFile(path)), HalvesRows(c.rows, c.dims));
  }
}

// Random and truncated inputs end in an error or a listing, never a crash or an
// out-of-bounds read (run under the sanitizers).
TEST(NpyEach, DamagedInputsNeverCrash) {
  NpyDb db;
  TempDir dir;
  std::mt19937 rng(7);
  const Bytes valid = Npy(Shape("(5, 3)"), HalvesData(5, 3));
  std::vector<Bytes> inputs;
  for (size_t length = 0; length < valid.size(); length++) {
    inputs.emplace_back(valid.begin(), valid.begin() + length);
  }
  for (int i = 0; i < 300; i++) {
    Bytes damaged = valid;
    int flips = 1 + (int)(rng() % 4);
    for (int f = 0; f < flips; f++) {
      // Mostly in the header, where the parser is.
      size_t at = rng() % 3 ? rng() % 80 : rng() % damaged.size();
      damaged[at] = (unsigned char)(rng() % 2 ? rng() : "{}(),:'F0123456789 "[rng() % 19]);
    }
    inputs.push_back(damaged);
  }
  for (int i = 0; i < 100; i++) {
    Bytes noise(rng() % 200);
    for (auto& b : noise) b = (unsigned char)rng();
    if (noise.size() >= 10 && rng() % 2) memcpy(noise.data(), valid.data(), 8);
    inputs.push_back(noise);
  }
  for (const Bytes& input : inputs) {
    std::string fromBlob =
        db.QueryWithBlobs("SELECT count(*), sum(length(vector)) FROM jix_npy_each(?)", {input});
    std::string path = dir.Write("damaged.npy", input);
    std::string fromFile =
        db.Query("SELECT count(*), sum(length(vector)) FROM jix_npy_each(jix_npy_file(" +
                 SqlQuote(path) + "))");
    // Both readers reach the same verdict, up to the wording of the input kind.
    std::string fileAsBlob = fromFile;
    for (const char* kind : {"numpy array file too short", "numpy array file does not",
                             "numpy array file header", "numpy array file error"}) {
      if (fileAsBlob.rfind(kind, 0) == 0) fileAsBlob.erase(11, 5);
    }
    EXPECT_EQ(fromBlob, fileAsBlob) << Hex(input.data(), (int)input.size());
  }
}

TEST(NpyEach, LoadsFromTheSharedLibrary) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  sqlite3_enable_load_extension(db, 1);
  char* error = nullptr;
  ASSERT_EQ(sqlite3_load_extension(db, JIX_LOADABLE_PATH, "sqlite3_jix_numpy_init", &error),
            SQLITE_OK)
      << (error ? error : "");
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT rowid, vector FROM jix_npy_each(?)", -1, &stmt, nullptr),
            SQLITE_OK);
  Bytes npy = Npy(Shape("(2, 3)"), HalvesData(2, 3));
  sqlite3_bind_blob(stmt, 1, npy.data(), (int)npy.size(), SQLITE_STATIC);
  std::string rows;
  while (sqlite3_step(stmt) == SQLITE_ROW) rows += (rows.empty() ? "" : "\n") + RenderRow(stmt);
  EXPECT_EQ(rows, HalvesRows(2, 3));
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}

}  // namespace
