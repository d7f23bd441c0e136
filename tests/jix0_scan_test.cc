// The cursor outside KNN: full scan in storage order, point lookup by rowid and TEXT id,
// every column kind under each plan, the unchanged-column probe, and failures reading
// storage.
#include <gtest/gtest.h>

#include "jix0/module.h"
#include "support/subtype_probe.h"
#include "support/test_db.h"

namespace {

// Rows land in storage order different from rowid order: partition 2 gets chunk 1, and
// chunk_size 8 sends rowid 9 of partition 2 into a chunk after partition 1's.
void FillItems(TestDb& db) {
  ASSERT_EQ(RegisterSubtypeProbe(db.db()), SQLITE_OK);
  ASSERT_EQ(RegisterTagProbe(db.db()), SQLITE_OK);
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0(p integer partition key, v float[2], w bit[8],"
      " +aux text, n integer, s text, chunk_size=8)");
  db.Exec(
      "INSERT INTO t(rowid, p, v, w, aux, n, s) VALUES"
      " (10, 2, '[1, 0]', tag(X'0F', 224), 'ten', 100, 'a text longer than twelve'),"
      " (5, 1, '[0, 2]', tag(X'F0', 224), NULL, -5, 'five'),"
      " (7, 2, '[3, 0]', tag(X'FF', 224), 'seven', 7, '')");
  for (int i = 20; i < 27; i++) {
    db.Exec("INSERT INTO t(rowid, p, v, w, n, s) VALUES (" + std::to_string(i) +
            ", 2, '[9, 9]', tag(X'00', 224), 0, 'x')");
  }
  db.Exec(
      "INSERT INTO t(rowid, p, v, w, n, s) VALUES (9, 2, '[0.5, 0]', tag(X'01', 224), 9, 'nine')");
}

TEST(Jix0Scan, FullScanPointLookupAndKnnReturnEveryColumnKind) {
  TestDb db;
  FillItems(db);
  const SqlCase cases[] = {
      {"SELECT rowid FROM t WHERE rowid < 20", "10\n7\n5\n9"},
      {"SELECT rowid, p, v, w, aux, n, s, distance, k FROM t WHERE rowid < 20",
       "10|2|X'0000803F00000000'|X'0F'|ten|100|a text longer than twelve|NULL|NULL\n"
       "7|2|X'0000404000000000'|X'FF'|seven|7||NULL|NULL\n"
       "5|1|X'0000000000000040'|X'F0'|NULL|-5|five|NULL|NULL\n"
       "9|2|X'0000003F00000000'|X'01'|NULL|9|nine|NULL|NULL"},
      {"SELECT rowid, p, v, w, aux, n, s, distance, k FROM t WHERE rowid = 10",
       "10|2|X'0000803F00000000'|X'0F'|ten|100|a text longer than twelve|NULL|NULL"},
      {"SELECT rowid, p, v, w, aux, n, s, distance, k FROM t WHERE v MATCH '[0, 0]' AND k = 2",
       "9|2|X'0000003F00000000'|X'01'|NULL|9|nine|0.5|NULL\n"
       "10|2|X'0000803F00000000'|X'0F'|ten|100|a text longer than twelve|1.0|NULL"},
      {"SELECT subtype(v), subtype(w), typeof(distance) FROM t WHERE rowid = 7", "223|224|null"},
      {"SELECT subtype(v), subtype(w) FROM t WHERE n = 7", "223|224"},
      {"SELECT subtype(v), subtype(w), typeof(distance) FROM t WHERE w MATCH tag(X'FF', 224)"
       " AND k = 1",
       "223|224|real"},
      {"SELECT rowid FROM t WHERE rowid = 8", ""},
      {"SELECT rowid FROM t WHERE rowid = 'abc'", ""},
      {"SELECT count(*) FROM t", "11"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

TEST(Jix0Scan, TextKeyTablesShowTheirIdsAndLookThemUp) {
  TestDb db;
  db.Exec("CREATE VIRTUAL TABLE d USING jix0(id text primary key, v float[1], chunk_size=8)");
  db.Exec("INSERT INTO d(id, v) VALUES ('b', '[2]'), ('a', '[1]'), ('c', '[3]')");
  const SqlCase cases[] = {
      {"SELECT id, v FROM d", "b|X'00000040'\na|X'0000803F'\nc|X'00004040'"},
      {"SELECT id, v FROM d WHERE id = 'a'", "a|X'0000803F'"},
      {"SELECT id FROM d WHERE id = 'zz'", ""},
      {"SELECT id, distance FROM d WHERE v MATCH '[0]' AND k = 2", "a|1.0\nb|2.0"},
      // An id that names no row is skipped; the others still match.
      {"SELECT id FROM d WHERE v MATCH '[0]' AND k = 5 AND id IN ('c', 'zz', 'b')", "b\nc"},
      {"SELECT id FROM d WHERE v MATCH '[0]' AND k = 5 AND id IN ('zz', 'yy')", ""},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

TEST(Jix0Scan, PointLookupOfNullFindsNothing) {
  TestDb db;
  db.Exec("CREATE VIRTUAL TABLE z USING jix0(v float[1])");
  db.Exec("INSERT INTO z(rowid, v) VALUES (0, '[1]')");
  EXPECT_EQ(db.Query("SELECT rowid FROM z WHERE rowid = 0"), "0");
  EXPECT_EQ(db.Query("SELECT rowid FROM z WHERE rowid = NULL"), "");
}

TEST(Jix0Scan, EmptyTableYieldsNoRowsUnderEveryPlan) {
  TestDb db;
  db.Exec("CREATE VIRTUAL TABLE e USING jix0(v float[2])");
  EXPECT_EQ(db.Query("SELECT * FROM e"), "");
  EXPECT_EQ(db.Query("SELECT * FROM e WHERE rowid = 1"), "");
  EXPECT_EQ(db.Query("SELECT * FROM e WHERE v MATCH '[1, 1]' AND k = 3"), "");
}

// What xUpdate receives for each declared column of the last UPDATE on a "spy" table: the
// jix0 module whose xUpdate stores inserts but only records updates, so the cursor's side of
// an UPDATE is seen alone.
std::string g_updateArguments;

int RecordUpdate(sqlite3_vtab* vtab, int argc, sqlite3_value** argv, sqlite_int64* pRowid) {
  if (argc > 1 && sqlite3_value_type(argv[0]) == SQLITE_NULL) {
    return jix0Module.xUpdate(vtab, argc, argv, pRowid);
  }
  g_updateArguments.clear();
  for (int i = 2; i < argc; i++) {
    if (i > 2) g_updateArguments += "|";
    if (sqlite3_value_nochange(argv[i])) {
      g_updateArguments += "unchanged";
    } else if (sqlite3_value_type(argv[i]) == SQLITE_BLOB) {
      g_updateArguments += "blob";
    } else {
      const char* text = (const char*)sqlite3_value_text(argv[i]);
      g_updateArguments += text ? text : "NULL";
    }
  }
  return SQLITE_OK;
}

TEST(Jix0Scan, UnassignedColumnsArriveUnchangedUnderEveryPlan) {
  TestDb db;
  sqlite3_module spy = jix0Module;
  spy.xUpdate = RecordUpdate;
  ASSERT_EQ(sqlite3_create_module(db.db(), "jix0_spy", &spy, nullptr), SQLITE_OK);
  db.Exec(
      "CREATE VIRTUAL TABLE t USING jix0_spy(p integer partition key, v float[2], +aux text,"
      " n integer, chunk_size=8)");
  db.Exec("INSERT INTO t(rowid, p, v, aux, n) VALUES (10, 2, '[1, 0]', 'ten', 100)");

  // Columns: rowid, p, v, aux, n, distance, k, and the command column t.
  struct Case {
    const char* sql;
    const char* arguments;
  };
  const Case cases[] = {
      // Point plan: unassigned partition and metadata values arrive unchanged, vectors as NULL;
      // k and the command column never have a value, so they stay unchanged too.
      {"UPDATE t SET aux = 'x' WHERE rowid = 10",
       "10|unchanged|NULL|x|unchanged|NULL|unchanged|unchanged"},
      // Full scan and KNN: every unassigned column, vectors included, so a partitioned table
      // can be updated through them (the distance, a hidden column, is ignored).
      {"UPDATE t SET aux = 'x' WHERE n = 100",
       "10|unchanged|unchanged|x|unchanged|NULL|unchanged|unchanged"},
      {"UPDATE t SET aux = 'x' WHERE v MATCH '[0, 0]' AND k = 1",
       "10|unchanged|unchanged|x|unchanged|1.0|unchanged|unchanged"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    g_updateArguments = "not called";
    db.Exec(c.sql);
    EXPECT_EQ(g_updateArguments, c.arguments);
  }
}

TEST(Jix0Scan, FailedStorageReadsAreReported) {
  TestDb db;
  FillItems(db);
  db.Exec("DELETE FROM t_auxiliary WHERE rowid = 10");
  db.Exec("DELETE FROM t_metadatachunks00 WHERE rowid = 2");  // the chunk of rowid 5
  const SqlCase cases[] = {
      {"SELECT aux FROM t WHERE rowid = 10", "SQL logic error"},
      {"SELECT n FROM t WHERE rowid = 5",
       "Could not extract metadata value for column n at rowid 5"},
      {"SELECT n FROM t WHERE v MATCH '[0, 2]' AND k = 1",
       "Could not extract metadata value for column n at rowid 5"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
  db.Exec("DROP TABLE t_rowids");
  EXPECT_EQ(db.Query("SELECT * FROM t"),
            "Error preparing rowid scan: no such table: main.t_rowids");
}

}  // namespace
