// Query planning: the plan strings, idxNum and costs xBestIndex chooses, every rejection,
// and the xFilter dispatcher's checks of the plan string.
//
// Forms that SQLite 3.40 hands to xBestIndex are checked through EXPLAIN QUERY PLAN, whose
// "INDEX n:s" shows idxNum and the plan string. SQLite 3.40 never offers LIMIT together with
// a MATCH, so the LIMIT forms, costs and states SQL cannot reach are checked by calling the
// callbacks directly on a table object built by hand.
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "jix0/query/cursor.h"
#include "jix0/query/plan.h"
#include "support/fault_injection.h"
#include "support/test_db.h"

namespace {

// The detail of the virtual table's line of EXPLAIN QUERY PLAN, or the error message.
std::string PlanOf(TestDb& db, const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  std::string eqp = "EXPLAIN QUERY PLAN " + sql;
  if (sqlite3_prepare_v2(db.db(), eqp.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    return sqlite3_errmsg(db.db());
  }
  std::string detail;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    std::string line = (const char*)sqlite3_column_text(stmt, 3);
    if (line.find("VIRTUAL TABLE") != std::string::npos) detail = line;
  }
  sqlite3_finalize(stmt);
  return detail;
}

// Every line of EXPLAIN QUERY PLAN, joined by "; ", or the error message.
std::string FullPlanOf(TestDb& db, const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  std::string eqp = "EXPLAIN QUERY PLAN " + sql;
  if (sqlite3_prepare_v2(db.db(), eqp.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    return sqlite3_errmsg(db.db());
  }
  std::string plan;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    if (!plan.empty()) plan += "; ";
    plan += (const char*)sqlite3_column_text(stmt, 3);
  }
  sqlite3_finalize(stmt);
  return plan;
}

constexpr const char* kTable =
    "CREATE VIRTUAL TABLE t USING jix0(v float[2], w int8[2], p integer partition key,"
    " q text partition key, +aux text, flag boolean, n integer, x float, s text)";

TEST(Jix0Plan, PlanStringsOfTheFormsSqlite340Offers) {
  TestDb db;
  db.Exec(kTable);
  const SqlCase cases[] = {
      {"SELECT * FROM t", "SCAN t VIRTUAL TABLE INDEX 0:1"},
      {"SELECT rowid FROM t WHERE rowid = 1", "SCAN t VIRTUAL TABLE INDEX 1:2!___"},
      // idxNum of a point plan is colUsed: columns 0, 1 and 5 here.
      {"SELECT v, aux FROM t WHERE rowid = ?", "SCAN t VIRTUAL TABLE INDEX 35:2!___"},
      // IN lists are handed over whole, so no point plan; SQLite checks the list itself.
      {"SELECT rowid FROM t WHERE rowid IN (1, 2)", "SCAN t VIRTUAL TABLE INDEX 0:1"},
      {"SELECT * FROM t WHERE v MATCH ? AND k = 3", "SCAN t VIRTUAL TABLE INDEX 0:3{___}___"},
      {"SELECT * FROM t WHERE w MATCH ? AND k = 3", "SCAN t VIRTUAL TABLE INDEX 1:3{___}___"},
      {"SELECT * FROM t WHERE k = 3 AND v MATCH ? ORDER BY distance",
       "SCAN t VIRTUAL TABLE INDEX 0:3{___}___"},
      // Blocks follow the pass order (rowid list, partitions, metadata, distance), not the
      // order of the WHERE clause; within a pass, the order SQLite lists the constraints in
      // (it lists IN after = and != last).
      {"SELECT * FROM t WHERE distance < 1 AND s = 'a' AND q >= 'x' AND rowid IN (1, 2)"
       " AND p != 4 AND v MATCH ? AND k = 3 AND flag != 1 AND n IN (1, 2)",
       "SCAN t VIRTUAL TABLE INDEX 0:3{___}___[___]Be_]Af_&Da_&Bg_&Af_*c__"},
      {"SELECT * FROM t WHERE v MATCH ? AND k = 3 AND p = 1 AND p > 1 AND p <= 1 AND p < 1"
       " AND p >= 1 AND p != 1",
       "SCAN t VIRTUAL TABLE INDEX 0:3{___}___]Aa_]Ab_]Ac_]Ad_]Ae_]Af_"},
      {"SELECT * FROM t WHERE v MATCH ? AND k = 3 AND n = 1 AND n > 1 AND n <= 1 AND n < 1"
       " AND n >= 1 AND n != 1 AND s IN ('a', 'b')",
       "SCAN t VIRTUAL TABLE INDEX 0:3{___}___&Ba_&Bb_&Bc_&Bd_&Be_&Dg_&Bf_"},
      {"SELECT * FROM t WHERE v MATCH ? AND k = 3 AND distance > 1 AND distance >= 1"
       " AND distance < 1 AND distance <= 1",
       "SCAN t VIRTUAL TABLE INDEX 0:3{___}___*a__*b__*c__*d__"},
      // Left to SQLite: a partition IS. A rowid equality restricts the search itself.
      {"SELECT * FROM t WHERE v MATCH ? AND k = 3 AND q IS 'a'",
       "SCAN t VIRTUAL TABLE INDEX 0:3{___}___"},
      {"SELECT * FROM t WHERE v MATCH ? AND k = 3 AND rowid = 2",
       "SCAN t VIRTUAL TABLE INDEX 0:3{___}___=___"},
      // Without a MATCH nothing is rejected: SQLite checks k, distance and auxiliary itself.
      {"SELECT * FROM t WHERE k = 3 AND distance < 1 AND aux = 'a' ORDER BY distance DESC",
       "SCAN t VIRTUAL TABLE INDEX 0:1"},
      // A MATCH on a column that is not a vector does not start a KNN search.
      {"SELECT * FROM t WHERE n MATCH ?", "SCAN t VIRTUAL TABLE INDEX 0:1"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(PlanOf(db, c.sql), c.expected);
  }
}

// The search's order is ascending distance, so it serves ORDER BY distance itself (SQLite
// would sort NaN distances, NULL to it, first). With k, every other ordering, grouping or
// DISTINCT is left to SQLite, which applies it to the k rows.
TEST(Jix0Plan, KnnClaimsOnlyAscendingDistanceOrder) {
  TestDb db;
  db.Exec(kTable);
  const SqlCase cases[] = {
      {"SELECT * FROM t WHERE v MATCH ? AND k = 3 ORDER BY distance",
       "SCAN t VIRTUAL TABLE INDEX 0:3{___}___"},
      {"SELECT * FROM t WHERE v MATCH ? AND k = 3 ORDER BY distance DESC",
       "SCAN t VIRTUAL TABLE INDEX 0:3{___}___; USE TEMP B-TREE FOR ORDER BY"},
      {"SELECT * FROM t WHERE v MATCH ? AND k = 3 ORDER BY distance, rowid",
       "SCAN t VIRTUAL TABLE INDEX 0:3{___}___; USE TEMP B-TREE FOR ORDER BY"},
      {"SELECT * FROM t WHERE v MATCH ? AND k = 3 ORDER BY n",
       "SCAN t VIRTUAL TABLE INDEX 0:3{___}___; USE TEMP B-TREE FOR ORDER BY"},
      {"SELECT p, count(*) FROM t WHERE v MATCH ? AND k = 3 GROUP BY p",
       "SCAN t VIRTUAL TABLE INDEX 0:3{___}___; USE TEMP B-TREE FOR GROUP BY"},
      {"SELECT DISTINCT p FROM t WHERE v MATCH ? AND k = 3",
       "SCAN t VIRTUAL TABLE INDEX 0:3{___}___; USE TEMP B-TREE FOR DISTINCT"},
      // Without a MATCH the order is SQLite's, as before.
      {"SELECT * FROM t ORDER BY distance",
       "SCAN t VIRTUAL TABLE INDEX 0:1; USE TEMP B-TREE FOR ORDER BY"},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(FullPlanOf(db, c.sql), c.expected);
  }
}

// The refusal of a KNN query without k. Before 3.41 SQLite keeps the LIMIT to itself, so
// the message names the version needed and the form that works.
std::string KRequiredMessage() {
  std::string message = "A LIMIT or 'k = ?' constraint is required on jix0 knn queries.";
  if (sqlite3_libversion_number() >= 3041000) return message;
  return message + " SQLite " + sqlite3_libversion() +
         " does not pass a LIMIT to virtual tables (3.41.0 and later do): add 'AND k = ?' to the "
         "WHERE clause instead.";
}

// SQLite offers the LIMIT of a query with a MATCH to xBestIndex only from 3.41 on.
TEST(Jix0Plan, LimitWithoutKNeedsSqlite341) {
  TestDb db;
  db.Exec(kTable);
  std::string plan = PlanOf(db, "SELECT * FROM t WHERE v MATCH ? ORDER BY distance LIMIT 3");
  if (sqlite3_libversion_number() < 3041000) {
    EXPECT_EQ(plan, KRequiredMessage());
    EXPECT_NE(KRequiredMessage().find("3.41.0"), std::string::npos);
  } else {
    EXPECT_EQ(plan, "SCAN t VIRTUAL TABLE INDEX 0:3{___}___");
  }
}

TEST(Jix0Plan, PointPlanOnTheDeclaredPrimaryKey) {
  TestDb db;
  db.Exec("CREATE VIRTUAL TABLE a USING jix0(id text primary key, v float[2])");
  db.Exec("CREATE VIRTUAL TABLE b USING jix0(id integer primary key, v float[2])");
  EXPECT_EQ(PlanOf(db, "SELECT id FROM a WHERE id = 'x'"), "SCAN a VIRTUAL TABLE INDEX 1:2!___");
  EXPECT_EQ(PlanOf(db, "SELECT v FROM b WHERE id = 4"), "SCAN b VIRTUAL TABLE INDEX 3:2!___");
}

TEST(Jix0Plan, RejectionsOfKnnFormsTheSearchCannotServe) {
  TestDb db;
  db.Exec(kTable);
  const std::string kRequired = KRequiredMessage();
  const SqlCase cases[] = {
      {"SELECT * FROM t WHERE v MATCH ?", kRequired.c_str()},
      {"SELECT * FROM t WHERE v MATCH ? AND w MATCH ? AND k = 1",
       "only 1 MATCH operator is allowed in a single jix0 query"},
      {"SELECT * FROM t WHERE v MATCH ? AND v MATCH ? AND k = 1",
       "only 1 MATCH operator is allowed in a single jix0 query"},
      {"SELECT * FROM t WHERE v MATCH ? AND k = 1 AND rowid IN (1, 2) AND rowid IN (3, 4)",
       "only 1 'rowid in (..)' operator is allowed in a single jix0 query"},
      {"SELECT * FROM t WHERE v MATCH ? AND k = 1 AND aux = 'a'",
       "An illegal WHERE constraint was provided on a jix0 auxiliary column in a KNN query."},
      {"SELECT * FROM t WHERE v MATCH ? AND k = 1 AND aux MATCH 'a'",
       "An illegal WHERE constraint was provided on a jix0 auxiliary column in a KNN query."},
      {"SELECT * FROM t WHERE v MATCH ? AND k = 1 AND flag IN (0, 1)",
       "'xxx in (...)' is only available on INTEGER or TEXT metadata columns."},
      {"SELECT * FROM t WHERE v MATCH ? AND k = 1 AND x IN (0.5, 1.5)",
       "'xxx in (...)' is only available on INTEGER or TEXT metadata columns."},
      {"SELECT * FROM t WHERE v MATCH ? AND k = 1 AND s LIKE 'a%'",
       "An illegal WHERE constraint was provided on a jix0 metadata column in a KNN query. Only one"
       " of EQUALS, GREATER_THAN, LESS_THAN_OR_EQUAL, LESS_THAN, GREATER_THAN_OR_EQUAL, NOT_EQUALS"
       " is allowed."},
      {"SELECT * FROM t WHERE v MATCH ? AND k = 1 AND flag > 0",
       "ONLY EQUALS (=) or NOT_EQUALS (!=) operators are allowed on boolean metadata columns."},
      {"SELECT * FROM t WHERE v MATCH ? AND k = 1 AND distance = 1.0",
       "Illegal WHERE constraint on distance column in a KNN query. Only one of GT, GE, LT, LE"
       " constraints are allowed."},
      {"SELECT * FROM t WHERE v MATCH ? AND k = 1 AND distance != 1.0",
       "Illegal WHERE constraint on distance column in a KNN query. Only one of GT, GE, LT, LE"
       " constraints are allowed."},
  };
  for (const SqlCase& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(PlanOf(db, c.sql), c.expected);
  }
}

// A table object with the same columns as kTable, for calling the callbacks directly:
// 0 rowid, 1 v float[2], 2 w int8[2], 3 p, 4 q, 5 aux, 6 flag, 7 n, 8 x, 9 s, 10 distance, 11 k.
class HandTable {
 public:
  explicit HandTable(sqlite3* db) {
    memset(&vtab_, 0, sizeof(vtab_));
    vtab_.db = db;
    static char v[] = "v", w[] = "w";
    vtab_.vector_columns[0] = {v, 1, 2,      JIX_ELEMENT_FLOAT32, JIX0_DISTANCE_L2, JIX0_INDEX_NONE,
                               0, 0, nullptr};
    vtab_.vector_columns[1] = {w, 1, 2,      JIX_ELEMENT_INT8, JIX0_DISTANCE_L2, JIX0_INDEX_NONE,
                               0, 0, nullptr};
    vtab_.numVectorColumns = 2;
    vtab_.numPartitionColumns = 2;
    vtab_.numAuxiliaryColumns = 1;
    const MetadataColumnKind kinds[] = {JIX0_METADATA_BOOLEAN, JIX0_METADATA_INTEGER,
                                        JIX0_METADATA_FLOAT, JIX0_METADATA_TEXT};
    for (int i = 0; i < 4; i++) vtab_.metadata_columns[i].kind = kinds[i];
    vtab_.numMetadataColumns = 4;
    const int columnKinds[] = {JIX0_COLUMN_VECTOR,    JIX0_COLUMN_VECTOR,    JIX0_COLUMN_PARTITION,
                               JIX0_COLUMN_PARTITION, JIX0_COLUMN_AUXILIARY, JIX0_COLUMN_METADATA,
                               JIX0_COLUMN_METADATA,  JIX0_COLUMN_METADATA,  JIX0_COLUMN_METADATA};
    const unsigned char columnIdxs[] = {0, 1, 0, 1, 0, 0, 1, 2, 3};
    for (int i = 0; i < 9; i++) {
      vtab_.user_column_kinds[i] = columnKinds[i];
      vtab_.user_column_idxs[i] = columnIdxs[i];
    }
    vtab_.chunk_size = 8;
  }
  ~HandTable() { sqlite3_free(vtab_.base.zErrMsg); }
  HandTable(const HandTable&) = delete;
  HandTable& operator=(const HandTable&) = delete;

  jix0_vtab* get() { return &vtab_; }
  std::string TakeError() {
    std::string message = vtab_.base.zErrMsg ? vtab_.base.zErrMsg : "";
    sqlite3_free(vtab_.base.zErrMsg);
    vtab_.base.zErrMsg = nullptr;
    return message;
  }

 private:
  jix0_vtab vtab_;
};

struct Constraint {
  int column;
  unsigned char op;
  bool usable = true;
};

struct PlanResult {
  int rc = 0;
  std::string idxStr;
  int idxNum = 0;
  double cost = 0;
  sqlite3_int64 rows = 0;
  std::string usage;  // argvIndex/omit of each constraint, "1o 0 2o"
  std::string error;
  bool orderByConsumed = false;
};

// Calls xBestIndex with an index_info built by hand. The bytes after the struct are where
// SQLite keeps its own planning state; zero there reads as "no IN list to hand over".
PlanResult BestIndex(HandTable& table, const std::vector<Constraint>& constraints,
                     const std::vector<std::pair<int, bool>>& orderBy = {},
                     sqlite3_uint64 colUsed = 0) {
  std::vector<unsigned char> memory(sizeof(sqlite3_index_info) + 4096, 0);
  sqlite3_index_info* info = (sqlite3_index_info*)memory.data();
  std::vector<sqlite3_index_info::sqlite3_index_constraint> aConstraint(constraints.size() + 1);
  std::vector<sqlite3_index_info::sqlite3_index_constraint_usage> aUsage(constraints.size() + 1);
  std::vector<sqlite3_index_info::sqlite3_index_orderby> aOrderBy(orderBy.size() + 1);
  for (size_t i = 0; i < constraints.size(); i++) {
    aConstraint[i].iColumn = constraints[i].column;
    aConstraint[i].op = constraints[i].op;
    aConstraint[i].usable = constraints[i].usable;
  }
  for (size_t i = 0; i < orderBy.size(); i++) {
    aOrderBy[i].iColumn = orderBy[i].first;
    aOrderBy[i].desc = orderBy[i].second;
  }
  info->nConstraint = (int)constraints.size();
  info->aConstraint = aConstraint.data();
  info->nOrderBy = (int)orderBy.size();
  info->aOrderBy = aOrderBy.data();
  info->aConstraintUsage = aUsage.data();
  info->colUsed = colUsed;

  PlanResult out;
  out.rc = jix0BestIndex(&table.get()->base, info);
  if (info->idxStr) out.idxStr = info->idxStr;
  if (info->needToFreeIdxStr) sqlite3_free(info->idxStr);
  out.idxNum = info->idxNum;
  out.cost = info->estimatedCost;
  out.rows = info->estimatedRows;
  for (size_t i = 0; i < constraints.size(); i++) {
    if (i > 0) out.usage += " ";
    out.usage += std::to_string(aUsage[i].argvIndex) + (aUsage[i].omit ? "o" : "");
  }
  out.error = table.TakeError();
  out.orderByConsumed = info->orderByConsumed;
  return out;
}

constexpr unsigned char EQ = SQLITE_INDEX_CONSTRAINT_EQ;
constexpr unsigned char LT = SQLITE_INDEX_CONSTRAINT_LT;
constexpr unsigned char MATCH = SQLITE_INDEX_CONSTRAINT_MATCH;
constexpr unsigned char LIMIT = SQLITE_INDEX_CONSTRAINT_LIMIT;
constexpr unsigned char OFFSET = SQLITE_INDEX_CONSTRAINT_OFFSET;

TEST(Jix0Plan, CostsArgumentsAndOmitFlags) {
  TestDb db;
  HandTable table(db.db());

  PlanResult scan = BestIndex(table, {});
  EXPECT_EQ(scan.rc, SQLITE_OK);
  EXPECT_EQ(scan.idxStr, "1");

  PlanResult point = BestIndex(table, {{5, EQ}, {0, EQ}}, {}, 0x1'0000'0023ull);
  EXPECT_EQ(point.idxStr, "2!___");
  EXPECT_EQ(point.usage, "0 1o");
  EXPECT_EQ(point.idxNum, 0x23);
  EXPECT_EQ(point.rows, 1);

  // The LIMIT value takes k's place. The OFFSET beside it is passed but not omitted: the
  // search returns LIMIT + OFFSET rows and SQLite skips the OFFSET, once. Unusable
  // constraints are never consumed.
  PlanResult knn =
      BestIndex(table, {{7, LT}, {0, OFFSET}, {0, LIMIT}, {3, EQ, false}, {2, MATCH}, {6, EQ}},
                {{10, false}});
  EXPECT_EQ(knn.rc, SQLITE_OK) << knn.error;
  EXPECT_EQ(knn.idxStr, "3{___}___+___&Bd_&Aa_");
  EXPECT_EQ(knn.usage, "4o 3 2o 0 1o 5o");
  EXPECT_TRUE(knn.orderByConsumed);
  EXPECT_EQ(knn.idxNum, 1);
  // SQLite picks the cheapest plan: a lookup by id before a search, a search before a scan.
  EXPECT_LT(point.cost, knn.cost);
  EXPECT_LT(knn.cost, scan.cost);

  // An unusable MATCH starts no KNN search.
  EXPECT_EQ(BestIndex(table, {{1, MATCH, false}, {0, LIMIT}}).idxStr, "1");
}

// SQLite from 3.41 on hands over the LIMIT (and OFFSET) of a statement with a MATCH, also
// the LIMIT 1 it adds to scalar subqueries and EXISTS.
TEST(Jix0Plan, LimitBesideKIsLeftToSqlite) {
  TestDb db;
  HandTable table(db.db());
  // With k, SQLite applies LIMIT and OFFSET to the k rows: min(k, LIMIT) rows, paged.
  PlanResult both = BestIndex(table, {{1, MATCH}, {11, EQ}, {0, LIMIT}, {0, OFFSET}});
  EXPECT_EQ(both.rc, SQLITE_OK) << both.error;
  EXPECT_EQ(both.idxStr, "3{___}___");
  EXPECT_EQ(both.usage, "1o 2o 0 0");
  // Every `k =` is passed, so that the filter can refuse two different values.
  PlanResult twoK = BestIndex(table, {{1, MATCH}, {11, EQ}, {0, LIMIT}, {11, EQ}});
  EXPECT_EQ(twoK.idxStr, "3{___}___}___");
  EXPECT_EQ(twoK.usage, "1o 2o 0 3o");
  // An ordering SQLite has to apply itself needs k: a LIMIT alone cannot choose the rows.
  PlanResult ordered = BestIndex(table, {{1, MATCH}, {11, EQ}, {0, LIMIT}}, {{7, true}});
  EXPECT_EQ(ordered.idxStr, "3{___}___");
  EXPECT_FALSE(ordered.orderByConsumed);
  const struct {
    std::vector<std::pair<int, bool>> orderBy;
    const char* error;
  } refusals[] = {
      {{{10, false}, {0, false}},
       "Only a single 'ORDER BY distance' clause is allowed on jix0 KNN queries"},
      {{{7, false}},
       "Only a single 'ORDER BY distance' clause is allowed on jix0 KNN queries, not on other "
       "columns"},
      {{{10, true}},
       "Only ascending in ORDER BY distance clause is supported, DESC is not supported yet."},
  };
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.error);
    PlanResult refused = BestIndex(table, {{1, MATCH}, {0, LIMIT}}, r.orderBy);
    EXPECT_EQ(refused.rc, SQLITE_ERROR);
    EXPECT_EQ(refused.error, r.error);
    EXPECT_EQ(refused.idxStr, "");
  }
}

class Jix0PlanOom : public AllocationFaultTest {};

TEST_F(Jix0PlanOom, PlanStringThatCannotBeAllocatedIsOutOfMemory) {
  TestDb db;
  HandTable table(db.db());
  AllocationFaults::Arm(1, /*persistent=*/true);
  PlanResult knn = BestIndex(table, {{1, MATCH}, {11, EQ}});
  EXPECT_GT(AllocationFaults::Disarm(), 0);
  EXPECT_EQ(knn.rc, SQLITE_NOMEM);
  EXPECT_EQ(knn.idxStr, "");
}

// Runs xFilter on a fresh cursor over the hand-made table: argument 1 is idxStr, argument 2
// idxNum, the rest the filter's arguments. Returns "rc|message".
void CallFilter(sqlite3_context* context, int argc, sqlite3_value** argv) {
  HandTable* table = (HandTable*)sqlite3_user_data(context);
  sqlite3_vtab_cursor* cursor = nullptr;
  ASSERT_EQ(jix0Open(&table->get()->base, &cursor), SQLITE_OK);
  cursor->pVtab = &table->get()->base;
  int rc = jix0Filter(cursor, sqlite3_value_int(argv[1]), (const char*)sqlite3_value_text(argv[0]),
                      argc - 2, argv + 2);
  int eof = jix0Eof(cursor);
  jix0Close(cursor);
  std::string out = std::to_string(rc) + "|" + table->TakeError() + (eof ? "" : "|row");
  sqlite3_result_text(context, out.c_str(), -1, SQLITE_TRANSIENT);
}

// xColumn on a cursor whose plan is argument 1 but which holds no record, as after a failed
// filter. Returns "rc|message".
void CallColumnWithoutRecord(sqlite3_context* context, int, sqlite3_value** argv) {
  HandTable* table = (HandTable*)sqlite3_user_data(context);
  jix0_cursor cursor{};
  cursor.base.pVtab = &table->get()->base;
  cursor.query_plan = sqlite3_value_int(argv[0]);
  int rc = jix0Column(&cursor.base, context, 1);
  if (rc == SQLITE_OK) sqlite3_result_text(context, "ok", -1, SQLITE_STATIC);
}

TEST(Jix0Dispatch, PlanStringChecksAndStatesSqlCannotReach) {
  TestDb db;
  HandTable table(db.db());
  ASSERT_EQ(sqlite3_create_function(db.db(), "filter", -1, SQLITE_UTF8, &table, CallFilter, nullptr,
                                    nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_create_function(db.db(), "column_without_record", 1, SQLITE_UTF8, &table,
                                    CallColumnWithoutRecord, nullptr, nullptr),
            SQLITE_OK);
  // An IN-list argument that SQLite did not hand over whole fails with SQLite's own code,
  // which differs between releases.
  sqlite3_stmt* five = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db.db(), "SELECT 5", -1, &five, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(five), SQLITE_ROW);
  sqlite3_value* plain = sqlite3_value_dup(sqlite3_column_value(five, 0));
  sqlite3_finalize(five);
  sqlite3_value* out = nullptr;
  const std::string not_in_list = std::to_string(sqlite3_vtab_in_first(plain, &out));
  sqlite3_value_free(plain);
  struct Case {
    std::string sql, expected;
  };
  const Case cases[] = {
      {"SELECT filter('', 0)", "1|"},
      {"SELECT filter('2', 0, 5)", "1|"},
      {"SELECT filter('1abc', 0)", "1|"},
      {"SELECT filter('3{___}___', 0, '[1, 2]')", "1|"},
      {"SELECT filter('4', 0)", "1|unknown idxStr '4'"},
      {"SELECT filter('4!___', 0, 1)", "1|unknown idxStr '4!___'"},
      // k = 0 reads no chunk, so it succeeds here without any storage.
      {"SELECT filter('3{___}___', 0, '[1, 2]', 0)", "0|"},
      {"SELECT filter('3{___}___[___', 0, '[1, 2]', 1, 5)",
       not_in_list + "|error processing rowid in (...) array"},
      {"SELECT filter('3{___}___&Dg_', 0, '[1, 2]', 1, 'a')",
       not_in_list + "|Error fetching next value in `x in (...)` text expression"},
      {"SELECT filter('3{___}___&Bg_', 0, '[1, 2]', 1, 5)",
       not_in_list + "|Error fetching next value in `x in (...)` integer expression"},
      {"SELECT filter('3{___}___&Ag_', 0, '[1, 2]', 1, 5)", "1|Internal sqlite-jix error"},
      {"SELECT filter('3{___}___]Ag_', 0, '[1, 2]', 1, 5)",
       not_in_list + "|Error fetching next value in `x in (...)` partition key expression"},
      {"SELECT column_without_record(49)", "Internal sqlite-jix error: fullscan_data is NULL."},
      {"SELECT column_without_record(50)", "Internal sqlite-jix error: point_data is NULL."},
      {"SELECT column_without_record(51)", "Internal sqlite-jix error: knn_data is NULL."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.Query(c.sql), c.expected);
  }
}

}  // namespace
