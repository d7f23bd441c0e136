// CREATE VIRTUAL TABLE ... USING jix0(...): what the constructor accepts, the schema it
// declares, the shadow tables it creates, every message it refuses with, and the
// lifecycle around it (xDestroy, xSync, xShadowName).
#include <gtest/gtest.h>
#include <string>

#include "jix0/lifecycle.h"
#include "support/captured_vtab.h"
#include "support/test_db.h"

namespace {

// "CREATE VIRTUAL TABLE t USING jix0(<args>)" where args repeats `column` count times with
// the index appended to each name, then appends `extra`.
std::string Repeated(const char* kind, int count, const std::string& extra = "") {
  std::string args;
  for (int i = 0; i < count; i++) {
    if (i > 0) args += ", ";
    std::string column = kind;
    size_t at = column.find('#');
    args += column.replace(at, 1, std::to_string(i));
  }
  return "CREATE VIRTUAL TABLE t USING jix0(" + args + extra + ")";
}

TEST(DeclarationErrors, ConstructorMessages) {
  TestDb db;
  const std::string too_many_vectors = Repeated("v# float[2]", 17);
  const std::string too_many_keys = Repeated("p# int partition key", 5, ", v float[2]");
  const std::string too_many_auxiliary = Repeated("+a# text", 17, ", v float[2]");
  const std::string too_many_metadata = Repeated("m# text", 17, ", v float[2]");
  const SqlCase cases[] = {
      {"CREATE VIRTUAL TABLE t USING jix0",
       "jix0 constructor error: At least one vector column is required"},
      {"CREATE VIRTUAL TABLE t USING jix0()",
       "jix0 constructor error: At least one vector column is required"},
      {"CREATE VIRTUAL TABLE t USING jix0(chunk_size=8)",
       "jix0 constructor error: At least one vector column is required"},
      {"CREATE VIRTUAL TABLE t USING jix0(id text primary key, +a text, m text)",
       "jix0 constructor error: At least one vector column is required"},
      {too_many_vectors.c_str(),
       "jix0 constructor error: Too many provided vector columns, maximum 16"},
      {"CREATE VIRTUAL TABLE t USING jix0(v float[8193])",
       "jix0 constructor error: Dimension on vector column too large, provided 8193, maximum 8192"},
      {too_many_keys.c_str(),
       "jix0 constructor error: More than 4 partition key columns were provided"},
      {"CREATE VIRTUAL TABLE t USING jix0(a text primary key, v float[2], b integer primary key)",
       "jix0 constructor error: More than one primary key definition was provided, jix0 only "
       "suports a single primary key column"},
      {too_many_auxiliary.c_str(),
       "jix0 constructor error: More than 16 auxiliary columns were provided"},
      {too_many_metadata.c_str(),
       "jix0 constructor error: More than 16 metadata columns were provided"},
      {"CREATE VIRTUAL TABLE t USING jix0(v float[0])",
       "jix0 constructor error: could not parse vector column 'v float[0]'"},
      {"CREATE VIRTUAL TABLE t USING jix0(v float[99999999999])",
       "jix0 constructor error: could not parse vector column 'v float[99999999999]'"},
      {"CREATE VIRTUAL TABLE t USING jix0(v float[2], chunk_size=8 x)",
       "jix0 constructor error: could not parse table option 'chunk_size=8 x'"},
      // The first offending argument decides.
      {"CREATE VIRTUAL TABLE t USING jix0(v float[2], name varchar, w float[0])",
       "jix0 constructor error: Could not parse 'name varchar'"},
      {"CREATE VIRTUAL TABLE t USING jix0(v float[2], page_size=8)",
       "jix0 constructor error: Unknown table option: page_size"},
      {"CREATE VIRTUAL TABLE t USING jix0(v float[2], chunk_size=0)",
       "jix0 constructor error: chunk_size must be a non-zero positive integer"},
      {"CREATE VIRTUAL TABLE t USING jix0(v float[2], chunk_size=abc)",
       "jix0 constructor error: chunk_size must be a non-zero positive integer"},
      {"CREATE VIRTUAL TABLE t USING jix0(v float[2], chunk_size=12)",
       "jix0 constructor error: chunk_size must be divisible by 8"},
      {"CREATE VIRTUAL TABLE t USING jix0(v float[2], chunk_size=4104)",
       "jix0 constructor error: chunk_size too large"},
      // Beyond 32 bits: refused, not wrapped (4294967304 would wrap to 8).
      {"CREATE VIRTUAL TABLE t USING jix0(v float[2], chunk_size=4294967304)",
       "jix0 constructor error: chunk_size too large"},
      {"CREATE VIRTUAL TABLE t USING jix0(v float[2], v text)",
       "jix0 constructor error: could not declare virtual table, 'duplicate column name: v'"},
      {"CREATE VIRTUAL TABLE t USING jix0(v float[2], distance float)",
       "jix0 constructor error: could not declare virtual table, 'duplicate column name: "
       "distance'"},
      {"CREATE VIRTUAL TABLE t USING jix0(v float[2], +k text)",
       "jix0 constructor error: could not declare virtual table, 'duplicate column name: k'"},
      {"CREATE VIRTUAL TABLE t USING jix0(rowid float[2])",
       "jix0 constructor error: could not declare virtual table, 'duplicate column name: rowid'"},
      {"CREATE VIRTUAL TABLE t USING jix0(v float[2] index=ivf lists=10 lists=20)",
       "jix0 constructor error: lists is given more than once on vector column \"v\""},
      {"CREATE VIRTUAL TABLE t USING jix0(v float[2] distance_metric=l2 distance_metric=cosine)",
       "jix0 constructor error: distance_metric is given more than once on vector column \"v\""},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
  // Nothing of the refused tables remains.
  EXPECT_EQ(db.Query("SELECT count(*) FROM sqlite_master"), "0");
}

TEST(DeclarationErrors, AcceptsTheLimits) {
  TestDb db;
  const std::string sixteen = Repeated("v# float[2]", 16);
  db.Exec(Repeated("v# float[2]", 16));
  db.Exec("DROP TABLE t");
  db.Exec(Repeated("p# int partition key", 4, ", v float[8192]"));
  db.Exec("DROP TABLE t");
  db.Exec(Repeated("+a# text", 16, ", v float[2]"));
  db.Exec("DROP TABLE t");
  db.Exec(Repeated("m# text", 16, ", v float[2]"));
  EXPECT_EQ(db.Query("SELECT count(*) FROM sqlite_master WHERE name LIKE 't_metadata%'"), "32");
  db.Exec("DROP TABLE t");
  EXPECT_EQ(db.Query("SELECT name FROM sqlite_master"), "sqlite_sequence");
}

TEST(DeclarationErrors, ChunkSizeOption) {
  TestDb db;
  RegisterCapturingJix0(db.db());
  const struct {
    const char* args;
    int chunkSize;
  } cases[] = {
      {"v float[2]", 1024},
      {"v float[2], chunk_size=8", 8},
      {"v float[2], chunk_size=4096", 4096},
      {"v float[2], chunk=64", 64},
      {"v float[2], C = 0016", 16},
      {"chunk_size=8, v float[2], chunk_size=24", 24},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    db.Exec(std::string("CREATE VIRTUAL TABLE t USING jix0_capture(") + c.args + ")");
    jix0_vtab* p = LastCapturedJix0();
    EXPECT_EQ(p->chunk_size, c.chunkSize);
    db.Exec("DROP TABLE t");
  }
}

TEST(DeclarationErrors, DeclaredSchema) {
  TestDb db;
  RegisterCapturingJix0(db.db());
  const SqlCase cases[] = {
      {"CREATE VIRTUAL TABLE t USING jix0_capture(embedding float[4])",
       "0|rowid|0|0\n1|embedding|0|0\n2|distance|1|0\n3|k|1|0\n4|t|1|0"},
      {"CREATE VIRTUAL TABLE t USING jix0_capture(id text primary key, embedding float[4], genre "
       "text)",
       "0|id|0|1\n1|embedding|0|0\n2|genre|0|0\n3|distance|1|0\n4|k|1|0\n5|t|1|0"},
      {"CREATE VIRTUAL TABLE t USING jix0_capture(m bool, +a blob, id integer primary key, "
       "p text partition key, v int8[8])",
       "0|id|0|1\n1|m|0|0\n2|a|0|0\n3|p|0|0\n4|v|0|0\n5|distance|1|0\n6|k|1|0\n7|t|1|0"},
      // The table's name is taken by a column: no command column.
      {"CREATE VIRTUAL TABLE t USING jix0_capture(T float[4])",
       "0|rowid|0|0\n1|T|0|0\n2|distance|1|0\n3|k|1|0"},
      {"CREATE VIRTUAL TABLE t USING jix0_capture(t text primary key, v float[4])",
       "0|t|0|1\n1|v|0|0\n2|distance|1|0\n3|k|1|0"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    db.Exec(c.sql);
    EXPECT_EQ(db.Query("SELECT cid, name, hidden, pk FROM pragma_table_xinfo('t')"), c.expected);
    db.Exec("DROP TABLE t");
  }

  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0_capture(m bool, +a blob, id text primary key, "
      "p text partition key, v int8[8], w bit[16] , n float, q int p k)");
  jix0_vtab* p = LastCapturedJix0();
  EXPECT_EQ(p->pkIsText, 1);
  EXPECT_EQ(jix0_num_defined_user_columns(p), 7);
  EXPECT_EQ(jix0_column_distance_idx(p), 8);
  EXPECT_EQ(jix0_column_k_idx(p), 9);
  // Declared column i -> kind and index within the kind.
  const char* const expected[] = {"-", "M0", "A0", "P0", "V0", "V1", "M1", "P1", "-", "-"};
  for (int i = 0; i <= 9; i++) {
    std::string got = "-";
    if (jix0_column_idx_is_vector(p, i))
      got = "V" + std::to_string(jix0_column_idx_to_vector_idx(p, i));
    if (jix0_column_idx_is_partition(p, i))
      got = "P" + std::to_string(jix0_column_idx_to_partition_idx(p, i));
    if (jix0_column_idx_is_auxiliary(p, i))
      got = "A" + std::to_string(jix0_column_idx_to_auxiliary_idx(p, i));
    if (jix0_column_idx_is_metadata(p, i))
      got = "M" + std::to_string(jix0_column_idx_to_metadata_idx(p, i));
    EXPECT_EQ(got, expected[i]) << "column " << i;
  }
  EXPECT_STREQ(p->shadowVectorChunksNames[1], "t_vector_chunks01");
  EXPECT_STREQ(p->shadowMetadataChunksNames[1], "t_metadatachunks01");
  EXPECT_STREQ(p->shadowRowidsName, "t_rowids");
  EXPECT_STREQ(p->shadowChunksName, "t_chunks");
  EXPECT_EQ(p->metadata_columns[1].kind, JIX0_METADATA_FLOAT);
  EXPECT_EQ(p->vector_columns[1].element_type, JIX_ELEMENT_BIT);
}

TEST(DeclarationErrors, ShadowTables) {
  TestDb db;
  db.Exec(
      "CREATE VIRTUAL TABLE \"it\"\"ems\" USING jix0(user_id integer partition key, k2 text "
      "partition key, embedding float[4], +title text, +body blob, genre text, score float, "
      "id integer primary key)");
  EXPECT_EQ(db.Query("SELECT name, sql FROM sqlite_master WHERE type = 'table' ORDER BY rowid"),
            "it\"ems|CREATE VIRTUAL TABLE \"it\"\"ems\" USING jix0(user_id integer partition key, "
            "k2 text partition key, embedding float[4], +title text, +body blob, genre text, score "
            "float, id integer primary key)\n"
            "it\"ems_info|CREATE TABLE \"it\"\"ems_info\" (key text primary key, value any)\n"
            "it\"ems_chunks|CREATE TABLE \"it\"\"ems_chunks\"(chunk_id INTEGER PRIMARY KEY "
            "AUTOINCREMENT,size INTEGER NOT NULL,sequence_id integer,partition00,partition01,"
            "validity BLOB NOT NULL, rowids BLOB NOT NULL)\n"
            "sqlite_sequence|CREATE TABLE sqlite_sequence(name,seq)\n"
            "it\"ems_rowids|CREATE TABLE \"it\"\"ems_rowids\"(rowid INTEGER PRIMARY KEY "
            "AUTOINCREMENT,id,chunk_id INTEGER,chunk_offset INTEGER)\n"
            "it\"ems_vector_chunks00|CREATE TABLE \"it\"\"ems_vector_chunks00\"(rowid PRIMARY "
            "KEY,vectors BLOB NOT NULL)\n"
            "it\"ems_metadatachunks00|CREATE TABLE \"it\"\"ems_metadatachunks00\"(rowid PRIMARY "
            "KEY, data BLOB NOT NULL)\n"
            "it\"ems_metadatatext00|CREATE TABLE \"it\"\"ems_metadatatext00\"(rowid PRIMARY KEY, "
            "data TEXT)\n"
            "it\"ems_metadatachunks01|CREATE TABLE \"it\"\"ems_metadatachunks01\"(rowid PRIMARY "
            "KEY, data BLOB NOT NULL)\n"
            "it\"ems_auxiliary|CREATE TABLE \"it\"\"ems_auxiliary\"( rowid integer PRIMARY KEY , "
            "value00, value01)");
  EXPECT_EQ(db.Query("SELECT key, value, typeof(value) FROM \"it\"\"ems_info\" ORDER BY key"),
            "CREATE_VERSION|v0.1.9|text\nCREATE_VERSION_MAJOR|0|integer\n"
            "CREATE_VERSION_MINOR|1|integer\nCREATE_VERSION_PATCH|9|integer");

  db.Exec("CREATE VIRTUAL TABLE u USING jix0(id text primary key, v bit[8])");
  EXPECT_EQ(db.Query("SELECT name, sql FROM sqlite_master WHERE name LIKE 'u\\_%' ESCAPE '\\' "
                     "ORDER BY rowid"),
            "u_info|CREATE TABLE \"u_info\" (key text primary key, value any)\n"
            "u_chunks|CREATE TABLE \"u_chunks\"(chunk_id INTEGER PRIMARY KEY AUTOINCREMENT,size "
            "INTEGER NOT NULL,validity BLOB NOT NULL,rowids BLOB NOT NULL)\n"
            "u_rowids|CREATE TABLE \"u_rowids\"(rowid INTEGER PRIMARY KEY AUTOINCREMENT,id TEXT "
            "UNIQUE NOT NULL,chunk_id INTEGER,chunk_offset INTEGER)\n"
            "u_vector_chunks00|CREATE TABLE \"u_vector_chunks00\"(rowid PRIMARY KEY,vectors BLOB "
            "NOT NULL)");
}

TEST(DeclarationErrors, ShadowTableCreationFailures) {
  const SqlCase cases[] = {
      {"t_info", "Could not create '_info' shadow table: table \"t_info\" already exists"},
      {"t_chunks", "Could not create '_chunks' shadow table: table \"t_chunks\" already exists"},
      {"t_rowids", "Could not create '_rowids' shadow table: table \"t_rowids\" already exists"},
      {"t_vector_chunks01",
       "Could not create '_vector_chunks01' shadow table: table \"t_vector_chunks01\" already "
       "exists"},
      {"t_metadatachunks01",
       "Could not create '_metata_chunks01' shadow table: table \"t_metadatachunks01\" already "
       "exists"},
      {"t_metadatatext01",
       "Could not create '_metadatatext01' shadow table: table \"t_metadatatext01\" already "
       "exists"},
      {"t_auxiliary",
       "Could not create auxiliary shadow table: table \"t_auxiliary\" already exists"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    TestDb db;
    db.Exec(std::string("CREATE TABLE ") + c.sql + "(x)");
    EXPECT_EQ(db.Query("CREATE VIRTUAL TABLE t USING jix0(v float[2], w float[2], a bool, b text, "
                       "+c text)"),
              c.expected);
    // The failed statement takes the shadow tables it made with it.
    EXPECT_EQ(db.Query("SELECT group_concat(name) FROM sqlite_master WHERE name <> "
                       "'sqlite_sequence'"),
              c.sql);
  }
}

int DenyInfoInserts(void*, int action, const char* table, const char*, const char*, const char*) {
  return action == SQLITE_INSERT && std::string(table) == "t_info" ? SQLITE_DENY : SQLITE_OK;
}

TEST(DeclarationErrors, InfoSeedFailure) {
  TestDb db;
  sqlite3_set_authorizer(db.db(), DenyInfoInserts, nullptr);
  EXPECT_EQ(db.Query("CREATE VIRTUAL TABLE t USING jix0(v float[2])"),
            "Could not seed '_info' shadow table: not authorized");
}

TEST(DeclarationErrors, ShadowNames) {
  const struct {
    const char* suffix;
    int claimed;
  } cases[] = {
      {"rowids", 1},
      {"ROWIDS", 1},
      {"chunks", 1},
      {"Auxiliary", 1},
      {"info", 1},
      {"metadatachunks00", 1},
      {"metadatachunks15", 1},
      {"MetadataText07", 1},
      {"metadatatext15", 1},
      {"metadatatext16", 0},
      {"metadatachunks1", 0},
      {"metadatachunks001", 0},
      {"vector_chunks00", 0},
      {"metadatatext", 0},
      {"rowid", 0},
      {"rowidsx", 0},
      {"", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(jix0ShadowName(c.suffix), c.claimed) << c.suffix;
}

TEST(DeclarationErrors, DropRemovesEveryShadowTable) {
  TestDb db;
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0(p int partition key, v float[2], w int8[4], "
      "+a text, m text, n bool, id text primary key)");
  EXPECT_EQ(db.Query("SELECT count(*) FROM sqlite_master WHERE type = 'table'"), "11");
  db.Exec("DROP TABLE t");
  EXPECT_EQ(db.Query("SELECT name FROM sqlite_master"), "sqlite_sequence");
}

// A table that lost any of its shadow tables (by hand, or by damage) still drops: what
// exists goes, whichever table is missing.
TEST(DeclarationErrors, DropRemovesWhatExistsWhenAShadowTableIsMissing) {
  for (const char* missing : {"t_chunks", "t_info", "t_rowids", "t_vector_chunks00", "t_auxiliary",
                              "t_metadatachunks00", "t_metadatatext00"}) {
    SCOPED_TRACE(missing);
    TestDb db;
    db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[2], +a text, m text)");
    db.Exec("INSERT INTO t(v, a, m) VALUES ('[1,2]', 'x', 'a text longer than twelve bytes')");
    db.Exec(std::string("DROP TABLE ") + missing);
    EXPECT_EQ(db.Query("DROP TABLE t"), "");
    EXPECT_EQ(db.Query("SELECT name FROM sqlite_master WHERE name <> 'sqlite_sequence'"), "");
    EXPECT_EQ(db.Query("PRAGMA integrity_check"), "ok");
  }
}

// xDestroy stops at the first DROP that fails (here: a view stands where a shadow table
// was), and the failed statement restores what the earlier ones dropped.
TEST(DeclarationErrors, FailedDropStopsAtTheFirstFailure) {
  const SqlCase cases[] = {
      {"t_chunks", "could not drop chunks shadow table"},
      {"t_info", "could not drop info shadow table"},
      {"t_rowids", ""},
      {"t_vector_chunks00", ""},
      {"t_auxiliary", ""},
      {"t_metadatachunks00", ""},
      {"t_metadatatext00", ""},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    TestDb db;
    RegisterCapturingJix0(db.db());
    db.Exec("CREATE VIRTUAL TABLE t USING jix0_capture(v float[2], +a text, m text)");
    db.Exec("INSERT INTO t(v, a, m) VALUES ('[1,2]', 'x', 'y')");
    db.Exec(std::string("DROP TABLE ") + c.sql + "; CREATE VIEW " + c.sql + " AS SELECT 1");
    const std::string before = db.DumpTables("t_");
    // SQLite does not pass xDestroy's message on.
    EXPECT_EQ(db.Query("DROP TABLE t"), "SQL logic error");
    EXPECT_STREQ(LastDestroyMessage(), c.expected);
    EXPECT_TRUE(db.DumpTables("t_") == before);
  }
}

// When the very first DROP fails nothing changed, so SQLite keeps the object, which has
// released its names, until the connection closes.
TEST(DeclarationErrors, TableIsUnusableAfterAFailedDrop) {
  TestDb db;
  RegisterCapturingJix0(db.db());
  db.Exec("CREATE VIRTUAL TABLE t USING jix0_capture(v float[2], +a text, m text)");
  jix0_vtab* p = LastCapturedJix0();
  db.Exec("DROP TABLE t_chunks; CREATE VIEW t_chunks AS SELECT 1");
  EXPECT_EQ(db.Query("DROP TABLE t"), "SQL logic error");
  EXPECT_EQ(LastCapturedJix0(), p);
  EXPECT_EQ(p->tableName, nullptr);
  EXPECT_EQ(db.Query("INSERT INTO t(v, a, m) VALUES ('[1,2]', 'x', 'y')"),
            "jix0 table is unusable after a failed DROP TABLE");
  EXPECT_EQ(db.Query("ALTER TABLE t RENAME TO u"),
            "jix0 table is unusable after a failed DROP TABLE");
  EXPECT_EQ(db.Query("DROP TABLE t"), "SQL logic error");
}

TEST(DeclarationErrors, SyncReleasesCachedStatements) {
  TestDb db;
  RegisterCapturingJix0(db.db());
  db.Exec("CREATE VIRTUAL TABLE t USING jix0_capture(v float[2])");
  jix0_vtab* p = LastCapturedJix0();
  db.Exec("BEGIN");
  db.Exec("INSERT INTO t(v) VALUES ('[1,2]')");
  EXPECT_NE(p->stmts[JIX0_STMT_ROWIDS_INSERT_ID], nullptr);
  EXPECT_NE(p->stmts[JIX0_STMT_LATEST_CHUNK], nullptr);
  EXPECT_NE(p->stmts[JIX0_STMT_ROWIDS_UPDATE_POSITION], nullptr);
  db.Exec("COMMIT");
  EXPECT_EQ(p->stmts[JIX0_STMT_ROWIDS_INSERT_ID], nullptr);
  EXPECT_EQ(p->stmts[JIX0_STMT_LATEST_CHUNK], nullptr);
  EXPECT_EQ(p->stmts[JIX0_STMT_ROWIDS_UPDATE_POSITION], nullptr);
  EXPECT_EQ(p->stmts[JIX0_STMT_ROWIDS_GET_CHUNK_POSITION], nullptr);
  // Prepared again on next use.
  db.Exec("INSERT INTO t(v) VALUES ('[3,4]')");
  EXPECT_EQ(db.Query("SELECT rowid, chunk_id, chunk_offset FROM t_rowids"), "1|1|0\n2|1|1");
}

}  // namespace

// A table declared with a repeated option before such declarations were refused still opens,
// with the last value.
TEST(DeclarationErrors, RepeatedOptionsOfOlderTablesStillOpen) {
  TestDb db;
  db.Exec("CREATE VIRTUAL TABLE t USING jix0(v float[2] index=ivf lists=10 probes=3)");
  db.Exec("PRAGMA writable_schema = ON");
  db.Exec(
      "UPDATE sqlite_master SET sql = replace(sql, 'probes=3', 'probes=3 probes=2')"
      " WHERE name = 't'");
  db.Exec("PRAGMA writable_schema = RESET");  // the table connects again, from the new text
  EXPECT_EQ(db.Query("SELECT count(*) FROM t"), "0");
  EXPECT_EQ(db.Query("SELECT sql LIKE '%probes=3 probes=2%' FROM sqlite_master WHERE name = 't'"),
            "1");
}
