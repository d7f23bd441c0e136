// xBestIndex: chooses a full scan, a point lookup or a KNN search and encodes it in the plan
// string. KNN forms the search cannot serve are rejected here, at prepare time.
#include "jix0/query/plan.h"

#include "base/handles.h"
#include "jix0/index/index.h"
#include "jix0/table/table.h"
#include "vector/vector.h"

namespace {

// IN lists handed over whole (sqlite3_vtab_in) exist from 3.38.0 on.
bool in_capable(sqlite3_index_info* info, int i) {
  return sqlite3_libversion_number() >= 3038000 && sqlite3_vtab_in(info, i, -1);
}

bool is_limit_or_offset(unsigned char op) {
  return op == SQLITE_INDEX_CONSTRAINT_LIMIT || op == SQLITE_INDEX_CONSTRAINT_OFFSET;
}

// Operator code of a partition or metadata comparison, or 0 for any other operator.
char comparison_code(unsigned char op) {
  switch (op) {
    case SQLITE_INDEX_CONSTRAINT_EQ:
      return JIX0_OP_EQ;
    case SQLITE_INDEX_CONSTRAINT_GT:
      return JIX0_OP_GT;
    case SQLITE_INDEX_CONSTRAINT_LE:
      return JIX0_OP_LE;
    case SQLITE_INDEX_CONSTRAINT_LT:
      return JIX0_OP_LT;
    case SQLITE_INDEX_CONSTRAINT_GE:
      return JIX0_OP_GE;
    case SQLITE_INDEX_CONSTRAINT_NE:
      return JIX0_OP_NE;
    default:
      return 0;
  }
}

char distance_code(unsigned char op) {
  switch (op) {
    case SQLITE_INDEX_CONSTRAINT_GT:
      return JIX0_DISTANCE_OP_GT;
    case SQLITE_INDEX_CONSTRAINT_GE:
      return JIX0_DISTANCE_OP_GE;
    case SQLITE_INDEX_CONSTRAINT_LT:
      return JIX0_DISTANCE_OP_LT;
    case SQLITE_INDEX_CONSTRAINT_LE:
      return JIX0_DISTANCE_OP_LE;
    default:
      return 0;
  }
}

void append_block(sqlite3_str* s, char tag, char c1, char c2) {
  sqlite3_str_appendchar(s, 1, tag);
  sqlite3_str_appendchar(s, 1, c1);
  sqlite3_str_appendchar(s, 1, c2);
  sqlite3_str_appendchar(s, 1, '_');
}

// What the survey of the constraints found; -1 where nothing was found.
struct Survey {
  int match = -1;
  int vectorIdx = -1;
  int limit = -1;
  int offset = -1;
  int k = -1;
  int rowidEq = -1;
  int rowidIn = -1;
  bool auxiliaryConstrained = false;
};

int survey_constraints(jix0_vtab* p, sqlite3_index_info* info, Survey* out) {
  for (int i = 0; i < info->nConstraint; i++) {
    const auto& c = info->aConstraint[i];
    bool inCapable = in_capable(info, i);
    if (!c.usable) continue;
    if (c.op == SQLITE_INDEX_CONSTRAINT_LIMIT) out->limit = i;
    if (c.op == SQLITE_INDEX_CONSTRAINT_OFFSET) out->offset = i;
    if (c.op == SQLITE_INDEX_CONSTRAINT_MATCH) {
      if (c.iColumn < 1) continue;
      if (jix0_column_idx_is_vector(p, c.iColumn)) {
        if (out->match >= 0) {
          vtab_set_error(&p->base, "only 1 MATCH operator is allowed in a single jix0 query");
          return SQLITE_ERROR;
        }
        out->match = i;
        out->vectorIdx = jix0_column_idx_to_vector_idx(p, c.iColumn);
      }
    }
    if (c.op == SQLITE_INDEX_CONSTRAINT_EQ && c.iColumn == 0) {
      if (inCapable) {
        if (out->rowidIn >= 0) {
          vtab_set_error(&p->base,
                         "only 1 'rowid in (..)' operator is allowed in a single jix0 query");
          return SQLITE_ERROR;
        }
        out->rowidIn = i;
      } else {
        out->rowidEq = i;
      }
    }
    if (c.op == SQLITE_INDEX_CONSTRAINT_EQ && c.iColumn == jix0_column_k_idx(p)) out->k = i;
    if (!is_limit_or_offset(c.op) && jix0_column_idx_is_auxiliary(p, c.iColumn)) {
      out->auxiliaryConstrained = true;
    }
  }
  return SQLITE_OK;
}

bool is_k_constraint(jix0_vtab* p, const sqlite3_index_info::sqlite3_index_constraint& c) {
  return c.usable && c.op == SQLITE_INDEX_CONSTRAINT_EQ && c.iColumn == jix0_column_k_idx(p);
}

// The search returns its rows nearest first, so it serves `ORDER BY distance` itself; NaN
// distances, which SQLite would sort first as NULL, stay last.
bool orders_by_distance(jix0_vtab* p, sqlite3_index_info* info) {
  return info->nOrderBy == 1 && info->aOrderBy[0].iColumn == jix0_column_distance_idx(p) &&
         !info->aOrderBy[0].desc;
}

// The search takes one value of the index's hidden column. SQLite would run it once per value
// of an IN list, returning every row again, and would compare a range with the hidden column,
// which reads NULL, returning nothing: both are refused.
int check_index_args(jix0_vtab* p, sqlite3_index_info* info) {
  const int argIdx = jix0_column_index_hidden_idx(p);
  const char* name = jix0_index_hidden_column(p);
  for (int i = 0; argIdx >= 0 && i < info->nConstraint; i++) {
    const auto& c = info->aConstraint[i];
    if (!c.usable || c.iColumn != argIdx) continue;
    if (c.op != SQLITE_INDEX_CONSTRAINT_EQ) {
      vtab_set_error(&p->base,
                     "jix0 KNN queries take %s only as '%s = ?', not as another comparison.", name,
                     name);
      return SQLITE_ERROR;
    }
    if (in_capable(info, i)) {
      vtab_set_error(&p->base,
                     "jix0 KNN queries take a single %s value: use '%s = ?', not '%s IN (...)'.",
                     name, name, name);
      return SQLITE_ERROR;
    }
  }
  return SQLITE_OK;
}

int check_knn(jix0_vtab* p, sqlite3_index_info* info, const Survey& survey) {
  if (survey.limit < 0 && survey.k < 0) {
    // Before 3.41 SQLite keeps a statement's LIMIT from virtual tables, so a query that has
    // one lands here too: say so, and what works on this version.
    if (sqlite3_libversion_number() < 3041000) {
      vtab_set_error(&p->base,
                     "A LIMIT or 'k = ?' constraint is required on jix0 knn queries. SQLite %s "
                     "does not pass a LIMIT to virtual tables (3.41.0 and later do): add "
                     "'AND k = ?' to the WHERE clause instead.",
                     sqlite3_libversion());
    } else {
      vtab_set_error(&p->base, "A LIMIT or 'k = ?' constraint is required on jix0 knn queries.");
    }
    return SQLITE_ERROR;
  }
  // With `k = ?` any other order (GROUP BY, DISTINCT, ORDER BY other columns or DESC) is
  // SQLite's to apply to the k rows, and LIMIT and OFFSET after it. A LIMIT alone stands for
  // k only under the order the search produces.
  if (survey.k < 0 && info->nOrderBy > 0 && !orders_by_distance(p, info)) {
    if (info->nOrderBy > 1) {
      vtab_set_error(&p->base,
                     "Only a single 'ORDER BY distance' clause is allowed on jix0 KNN queries");
      return SQLITE_ERROR;
    }
    if (info->aOrderBy[0].iColumn != jix0_column_distance_idx(p)) {
      vtab_set_error(&p->base,
                     "Only a single 'ORDER BY distance' clause is allowed on jix0 KNN queries, not "
                     "on other columns");
      return SQLITE_ERROR;
    }
    vtab_set_error(&p->base,
                   "Only ascending in ORDER BY distance clause is supported, DESC is not "
                   "supported yet.");
    return SQLITE_ERROR;
  }
  if (survey.auxiliaryConstrained) {
    vtab_set_error(&p->base,
                   "An illegal WHERE constraint was provided on a jix0 auxiliary column in a KNN "
                   "query.");
    return SQLITE_ERROR;
  }
  return check_index_args(p, info);
}

// The KNN plan string under construction, and the next xFilter argument to hand out.
struct KnnEncoder {
  jix0_vtab* p;
  sqlite3_index_info* info;
  sqlite3_str* s;
  int nextArg;

  // Constraint i becomes the next argument, and SQLite leaves its check to us.
  void consume(int i) {
    info->aConstraintUsage[i].argvIndex = nextArg++;
    info->aConstraintUsage[i].omit = 1;
  }
};

void encode_k(KnnEncoder* e, const Survey& survey) {
  sqlite3_index_info* info = e->info;
  if (survey.k >= 0) {
    // Every `k =` is taken, so that two different values can be refused rather than
    // leave SQLite comparing the hidden column, which reads NULL. LIMIT and OFFSET are left
    // to SQLite, which applies them to the k rows.
    for (int i = 0; i < info->nConstraint; i++) {
      if (!is_k_constraint(e->p, info->aConstraint[i])) continue;
      e->consume(i);
      append_block(e->s, JIX0_BLOCK_K, '_', '_');
    }
    return;
  }
  e->consume(survey.limit);
  append_block(e->s, JIX0_BLOCK_K, '_', '_');
  if (survey.offset >= 0) {
    // The search returns LIMIT + OFFSET rows and SQLite skips the OFFSET: not omitted, so
    // it is applied exactly once.
    info->aConstraintUsage[survey.offset].argvIndex = e->nextArg++;
    append_block(e->s, JIX0_BLOCK_OFFSET, '_', '_');
  }
}

void encode_partitions(KnnEncoder* e) {
  jix0_vtab* p = e->p;
  sqlite3_index_info* info = e->info;
  for (int i = 0; i < info->nConstraint; i++) {
    const auto& c = info->aConstraint[i];
    if (!c.usable || is_limit_or_offset(c.op) || !jix0_column_idx_is_partition(p, c.iColumn)) {
      continue;
    }
    char code = comparison_code(c.op);
    if (!code) continue;  // IS, LIKE, GLOB...: SQLite checks those itself
    if (c.op == SQLITE_INDEX_CONSTRAINT_EQ && in_capable(info, i)) {
      // The whole list in one search; value by value, each would bring its own k rows.
      sqlite3_vtab_in(info, i, 1);
      code = JIX0_OP_IN;
    }
    e->consume(i);
    append_block(e->s, JIX0_BLOCK_PARTITION,
                 (char)('A' + jix0_column_idx_to_partition_idx(p, c.iColumn)), code);
  }
}

int encode_metadata(KnnEncoder* e) {
  jix0_vtab* p = e->p;
  sqlite3_index_info* info = e->info;
  for (int i = 0; i < info->nConstraint; i++) {
    const auto& c = info->aConstraint[i];
    if (!c.usable || is_limit_or_offset(c.op) || !jix0_column_idx_is_metadata(p, c.iColumn)) {
      continue;
    }
    int metadataIdx = jix0_column_idx_to_metadata_idx(p, c.iColumn);
    MetadataColumnKind kind = p->metadata_columns[metadataIdx].kind;
    char code;
    if (c.op == SQLITE_INDEX_CONSTRAINT_EQ && in_capable(info, i)) {
      if (kind == JIX0_METADATA_BOOLEAN || kind == JIX0_METADATA_FLOAT) {
        vtab_set_error(&p->base,
                       "'xxx in (...)' is only available on INTEGER or TEXT metadata columns.");
        return SQLITE_ERROR;
      }
      sqlite3_vtab_in(info, i, 1);
      code = JIX0_OP_IN;
    } else {
      code = comparison_code(c.op);
    }
    if (!code) {
      vtab_set_error(&p->base,
                     "An illegal WHERE constraint was provided on a jix0 metadata column in a KNN "
                     "query. Only one of EQUALS, GREATER_THAN, LESS_THAN_OR_EQUAL, LESS_THAN, "
                     "GREATER_THAN_OR_EQUAL, NOT_EQUALS is allowed.");
      return SQLITE_ERROR;
    }
    if (kind == JIX0_METADATA_BOOLEAN && code != JIX0_OP_EQ && code != JIX0_OP_NE) {
      vtab_set_error(&p->base,
                     "ONLY EQUALS (=) or NOT_EQUALS (!=) operators are allowed on boolean metadata "
                     "columns.");
      return SQLITE_ERROR;
    }
    e->consume(i);
    append_block(e->s, JIX0_BLOCK_METADATA, (char)('A' + metadataIdx), code);
  }
  return SQLITE_OK;
}

int encode_distance_bounds(KnnEncoder* e) {
  jix0_vtab* p = e->p;
  sqlite3_index_info* info = e->info;
  for (int i = 0; i < info->nConstraint; i++) {
    const auto& c = info->aConstraint[i];
    if (!c.usable || is_limit_or_offset(c.op) || c.iColumn != jix0_column_distance_idx(p)) {
      continue;
    }
    char code = distance_code(c.op);
    if (!code) {
      vtab_set_error(&p->base,
                     "Illegal WHERE constraint on distance column in a KNN query. Only one of GT, "
                     "GE, LT, LE constraints are allowed.");
      return SQLITE_ERROR;
    }
    e->consume(i);
    append_block(e->s, JIX0_BLOCK_DISTANCE, code, '_');
  }
  return SQLITE_OK;
}

// Every `probes =`, as every `k =`: two different values are refused, not compared.
void encode_index_args(KnnEncoder* e) {
  const int argIdx = jix0_column_index_hidden_idx(e->p);
  for (int i = 0; argIdx >= 0 && i < e->info->nConstraint; i++) {
    const auto& c = e->info->aConstraint[i];
    if (!c.usable || c.op != SQLITE_INDEX_CONSTRAINT_EQ || c.iColumn != argIdx) continue;
    e->consume(i);
    append_block(e->s, JIX0_BLOCK_INDEX_ARG, '_', '_');
  }
}

// Blocks in a fixed order: query, k (and OFFSET), rowid list, partitions, metadata, distance
// bounds, index arguments; xFilter's arguments follow it.
int encode_knn(jix0_vtab* p, sqlite3_index_info* info, const Survey& survey, sqlite3_str* s) {
  KnnEncoder e{p, info, s, 1};
  sqlite3_str_appendchar(s, 1, JIX0_PLAN_KNN);
  e.consume(survey.match);
  append_block(s, JIX0_BLOCK_QUERY, '_', '_');
  encode_k(&e, survey);
  if (survey.rowidIn >= 0) {
    sqlite3_vtab_in(info, survey.rowidIn, 1);
    e.consume(survey.rowidIn);
    append_block(s, JIX0_BLOCK_ROWID_IN, '_', '_');
  } else if (survey.rowidEq >= 0) {
    // Left to SQLite, the key would be compared with the k rows after the search, which
    // returns nothing unless the row is among the k nearest of the whole table.
    e.consume(survey.rowidEq);
    append_block(s, JIX0_BLOCK_ROWID_EQ, '_', '_');
  }
  encode_partitions(&e);
  int rc = encode_metadata(&e);
  if (rc == SQLITE_OK) rc = encode_distance_bounds(&e);
  if (rc != SQLITE_OK) return rc;

  encode_index_args(&e);
  if (orders_by_distance(p, info)) info->orderByConsumed = 1;
  info->idxNum = survey.vectorIdx;
  info->estimatedCost = 30.0;
  info->estimatedRows = 10;
  return SQLITE_OK;
}

}  // namespace

int jix0BestIndex(sqlite3_vtab* pVtab, sqlite3_index_info* info) {
  jix0_vtab* p = (jix0_vtab*)pVtab;
  Survey survey;
  if (info->nConstraint > 0) {
    int rc = survey_constraints(p, info, &survey);
    if (rc != SQLITE_OK) return rc;
  }

  StrBuilder s(p->db);
  if (survey.match >= 0) {
    int rc = check_knn(p, info, survey);
    if (rc != SQLITE_OK) return rc;
    rc = encode_knn(p, info, survey, s.get());
    if (rc != SQLITE_OK) return rc;
  } else if (survey.rowidEq >= 0) {
    sqlite3_str_appendchar(s.get(), 1, JIX0_PLAN_POINT);
    append_block(s.get(), JIX0_BLOCK_POINT_ID, '_', '_');
    info->aConstraintUsage[survey.rowidEq].argvIndex = 1;
    info->aConstraintUsage[survey.rowidEq].omit = 1;
    info->idxNum = (int)(info->colUsed & 0xFFFFFFFFu);
    info->estimatedCost = 10.0;
    info->estimatedRows = 1;
  } else {
    sqlite3_str_appendchar(s.get(), 1, JIX0_PLAN_FULLSCAN);
    info->estimatedCost = 3000000.0;
    info->estimatedRows = 100000;
  }

  // xFilter reads the plan string unconditionally, so a plan without one must not be offered.
  SqlitePtr<char> idxStr = s.finish();
  if (!idxStr) return SQLITE_NOMEM;
  info->idxStr = idxStr.release();
  info->needToFreeIdxStr = 1;
  return SQLITE_OK;
}

// Blocks are four characters after the plan character: a tag and up to three operands.
int jix0_decode_knn_plan(const jix0_vtab* p, const char* idxStr, int argc, KnnPlan* plan) {
  auto block = [idxStr](int i, int c) { return idxStr[1 + 4 * i + c]; };
  for (int i = 0; i < argc; i++) {
    switch (block(i, 0)) {
      case JIX0_BLOCK_PARTITION:
        plan->numPartitions++;
        break;
      case JIX0_BLOCK_METADATA:
        plan->numMetadata++;
        break;
      case JIX0_BLOCK_DISTANCE:
        plan->numDistances++;
        break;
      case JIX0_BLOCK_K:
        if (plan->kArg >= 0) plan->numExtraK++;
        if (plan->kArg < 0) plan->kArg = i;
        break;
      case JIX0_BLOCK_INDEX_ARG:
        plan->numIndexArgs++;
        break;
    }
  }
  int numFilters = plan->numPartitions + plan->numMetadata + plan->numDistances + plan->numExtraK +
                   plan->numIndexArgs;
  plan->filters.reset((KnnFilter*)sqlite3_malloc64(sizeof(KnnFilter) * (numFilters + 1)));
  if (!plan->filters) return SQLITE_NOMEM;
  int nextPartition = 0, nextMetadata = plan->numPartitions;
  int nextDistance = nextMetadata + plan->numMetadata;
  int nextK = nextDistance + plan->numDistances;
  int nextProbes = nextK + plan->numExtraK;
  KnnFilter* filters = plan->filters.get();
  for (int i = 0; i < argc; i++) {
    switch (block(i, 0)) {
      case JIX0_BLOCK_QUERY:
        plan->queryArg = i;
        break;
      case JIX0_BLOCK_K:
        if (i != plan->kArg) filters[nextK++] = {i, 0, 0};
        break;
      case JIX0_BLOCK_OFFSET:
        plan->offsetArg = i;
        break;
      case JIX0_BLOCK_ROWID_IN:
        plan->rowidInArg = i;
        break;
      case JIX0_BLOCK_ROWID_EQ:
        plan->rowidEqArg = i;
        break;
      case JIX0_BLOCK_PARTITION:
        filters[nextPartition++] = {i, block(i, 1) - 'A', block(i, 2)};
        JIX_ASSERT(filters[nextPartition - 1].column >= 0 &&
                   filters[nextPartition - 1].column < p->numPartitionColumns);
        break;
      case JIX0_BLOCK_METADATA:
        filters[nextMetadata++] = {i, block(i, 1) - 'A', block(i, 2)};
        JIX_ASSERT(filters[nextMetadata - 1].column >= 0 &&
                   filters[nextMetadata - 1].column < p->numMetadataColumns);
        break;
      case JIX0_BLOCK_DISTANCE:
        filters[nextDistance++] = {i, 0, block(i, 1)};
        break;
      case JIX0_BLOCK_INDEX_ARG:
        filters[nextProbes++] = {i, 0, 0};
        break;
    }
  }
  (void)p;
  JIX_ASSERT(plan->queryArg >= 0);
  JIX_ASSERT(plan->kArg >= 0);
  return SQLITE_OK;
}
