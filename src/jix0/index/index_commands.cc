// The index's commands, 'build-index' with its options and 'drop-index', and turning an index
// on for a table declared without one.
//
// A table declared without index=ivf gets its index from its first build-index: the chunks
// table gains the list column (ALTER TABLE ADD COLUMN) and an index on it, the centroids table
// is created, and T_info records the column in 'IVF_COLUMN'. That row stays for good, also
// after drop-index: every connection then treats the table as declared with index=ivf on that
// column, and an index without a build behaves as no index (every chunk is in no list), so a
// connection that has not seen the latest command still writes and searches correctly. Only
// the first build-index changes the schema, which makes every other connection reconnect and
// read the row.
#include <cstring>

#include "base/handles.h"
#include "jix0/index/index.h"
#include "jix0/index/ivf.h"
#include "jix0/index/ivf_codes.h"
#include "jix0/index/ivf_tables.h"
#include "jix0/storage/chunks.h"
#include "jix0/storage/statements.h"
#include "jix0/table/result_codes.h"

namespace {

struct BuildOptions {
  int column = -1;  // vector column index, -1 when not given
  int lists = 0;    // 0 when not given
  int probes = 0;
};

// Runs one statement of sqlite3_malloc'd text; SQLITE_OK when it completes.
int run_text(jix0_vtab* p, char* sql) {
  StmtPtr stmt;
  int rc = prepare_text(p->db, sql, &stmt);
  if (rc != SQLITE_OK) return rc;
  rc = jix_step(stmt.get());
  return rc == SQLITE_DONE ? SQLITE_OK : (rc == SQLITE_ROW ? SQLITE_ERROR : rc);
}

// The key of option token [start, end) and its value after the '='.
struct OptionToken {
  const char* start;
  int length;
  const char* value;
  int valueLength;
};

int option_error(jix0_vtab* p, const char* format, const OptionToken& t) {
  vtab_set_error(&p->base, format, t.length, t.start);
  return SQLITE_ERROR;
}

// A count option: decimal digits, 1 to JIX0_MAX_LISTS.
int parse_count(jix0_vtab* p, const OptionToken& t, int* out) {
  long long n = 0;
  bool ok = t.valueLength > 0 && t.valueLength <= 6;
  for (int i = 0; ok && i < t.valueLength; i++) {
    ok = t.value[i] >= '0' && t.value[i] <= '9';
    n = n * 10 + (t.value[i] - '0');
  }
  if (!ok || n < 1 || n > JIX0_MAX_LISTS) {
    vtab_set_error(&p->base, "jix0: build-index option %.*s must be an integer between 1 and %d",
                   (int)(t.value - 1 - t.start), t.start, JIX0_MAX_LISTS);
    return SQLITE_ERROR;
  }
  *out = (int)n;
  return SQLITE_OK;
}

int parse_column(jix0_vtab* p, const OptionToken& t, int* out) {
  for (int i = 0; i < p->numVectorColumns; i++) {
    const VectorColumnDefinition& v = p->vector_columns[i];
    if (v.name_length != t.valueLength || sqlite3_strnicmp(v.name, t.value, t.valueLength)) {
      continue;
    }
    if (v.element_type != JIX_ELEMENT_FLOAT32) {
      vtab_set_error(&p->base,
                     "jix0: build-index needs a float32 vector column, not the %s column \"%s\"",
                     jix_type_name(v.element_type), v.name);
      return SQLITE_ERROR;
    }
    *out = i;
    return SQLITE_OK;
  }
  vtab_set_error(&p->base, "jix0: build-index option column=%.*s names no vector column of %s",
                 t.valueLength, t.value, p->tableName);
  return SQLITE_ERROR;
}

// One key=value token into out.
int parse_option(jix0_vtab* p, const OptionToken& t, BuildOptions* out, unsigned* seen) {
  const int keyLength = (int)(t.value - 1 - t.start);
  static const char* const kKeys[] = {"column", "lists", "probes"};
  int key = 0;
  while (key < 3 && ((int)strlen(kKeys[key]) != keyLength ||
                     sqlite3_strnicmp(kKeys[key], t.start, keyLength) != 0)) {
    key++;
  }
  if (key == 3) {
    return option_error(
        p, "jix0: unknown build-index option '%.*s' (known options: column, lists, probes)", t);
  }
  if (*seen & (1u << key)) {
    return option_error(p, "jix0: build-index option '%.*s' is given twice", t);
  }
  *seen |= 1u << key;
  if (key == 0) return parse_column(p, t, &out->column);
  return parse_count(p, t, key == 1 ? &out->lists : &out->probes);
}

// "key=value key=value ...", separated by spaces. Messages name the faulty option.
int parse_build_options(jix0_vtab* p, const char* text, BuildOptions* out) {
  unsigned seen = 0;
  const char* s = text;
  while (*s) {
    if (*s == ' ') {
      s++;
      continue;
    }
    const char* end = s;
    while (*end && *end != ' ') end++;
    const char* eq = (const char*)memchr(s, '=', (size_t)(end - s));
    OptionToken t{s, (int)(end - s), eq ? eq + 1 : nullptr, eq ? (int)(end - eq - 1) : 0};
    if (!eq || eq == s || t.valueLength == 0) {
      return option_error(p, "jix0: build-index option '%.*s' is not of the form key=value", t);
    }
    int rc = parse_option(p, t, out, &seen);
    if (rc != SQLITE_OK) return rc;
    s = end;
  }
  return SQLITE_OK;
}

// The column a build indexes: the table's indexed column, the one the options name, or the
// table's only float32 column.
int choose_column(jix0_vtab* p, const BuildOptions& options, int* out) {
  if (jix0_has_index(p)) {
    if (options.column >= 0 && options.column != p->indexVectorIdx) {
      vtab_set_error(&p->base,
                     "jix0: the index of %s is on column \"%s\"; it cannot move to \"%s\"",
                     p->tableName, jix0_ivf_column(p).name, p->vector_columns[options.column].name);
      return SQLITE_ERROR;
    }
    *out = p->indexVectorIdx;
    return SQLITE_OK;
  }
  if (options.column >= 0) {
    *out = options.column;
    return SQLITE_OK;
  }
  int found = -1;
  for (int i = 0; i < p->numVectorColumns; i++) {
    if (p->vector_columns[i].element_type != JIX_ELEMENT_FLOAT32) continue;
    if (found >= 0) {
      vtab_set_error(&p->base,
                     "jix0: %s has several float32 vector columns: name one, as in 'build-index "
                     "column=%s'",
                     p->tableName, p->vector_columns[found].name);
      return SQLITE_ERROR;
    }
    found = i;
  }
  JIX_ASSERT(found >= 0);  // the command is offered only then
  *out = found;
  return SQLITE_OK;
}

// Points the table object at an index on column, or at none (column -1).
int set_index_column(jix0_vtab* p, int column) {
  SqlitePtr<char> centroids, codes;
  if (column >= 0) {
    centroids.reset(sqlite3_mprintf("%s_ivfcentroids", p->tableName));
    codes.reset(jix0_ivf_codes_name(p->tableName));
    if (!centroids || !codes) return SQLITE_NOMEM;
  }
  // Cached statements name the chunks table's columns as they were.
  jix0_stmts_finalize(p);
  jix0_index_cache_free(p);
  sqlite3_free(p->shadowIndexName);
  p->shadowIndexName = centroids.release();
  sqlite3_free(p->shadowCodesName);
  p->shadowCodesName = codes.release();
  p->codesSlotBytes = 0;
  p->hasIndex = column >= 0;
  p->indexVectorIdx = column >= 0 ? column : 0;
  return SQLITE_OK;
}

// True when the chunks table has the list column already (a damaged or hand-made file).
int has_list_column(jix0_vtab* p, bool* out) {
  StmtPtr stmt;
  int rc = prepare_text(p->db,
                        sqlite3_mprintf("SELECT 1 FROM pragma_table_info(%Q, %Q) WHERE name = "
                                        "'list'",
                                        p->shadowChunksName, p->schemaName),
                        &stmt);
  if (rc != SQLITE_OK) return rc;
  rc = jix_step(stmt.get());
  *out = rc == SQLITE_ROW;
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// The shadow objects of an index on a table declared without one, and its T_info row.
int turn_on(jix0_vtab* p, int column) {
  const char* s = p->schemaName;
  const char* t = p->tableName;
  bool hasList = false;
  int rc = has_list_column(p, &hasList);
  if (rc == SQLITE_OK && !hasList) {
    rc = run_text(
        p, sqlite3_mprintf("ALTER TABLE \"%w\".\"%w_chunks\" ADD COLUMN list INTEGER", s, t));
  }
  if (rc == SQLITE_OK) {
    // The newest chunk of a (partition, list) in one seek, as the UNIQUE constraint of a
    // declared index gives. A table renamed away may still hold an index of this name; the
    // new table then finds its chunks by a scan, with the same results.
    StrBuilder q(nullptr);
    sqlite3_str_appendf(q.get(),
                        "CREATE INDEX IF NOT EXISTS \"%w\".\"%w_chunks_list\" ON "
                        "\"%w_chunks\"(list",
                        s, t, t);
    for (int i = 0; i < p->numPartitionColumns; i++) {
      sqlite3_str_appendf(q.get(), ", partition%02d", i);
    }
    sqlite3_str_appendall(q.get(), ", chunk_id)");
    rc = run_text(p, q.finish().release());
  }
  if (rc == SQLITE_OK) {
    rc = run_text(p, jix0_ivf_sql_add_centroids(s, t));
  }
  if (rc == SQLITE_OK) rc = jix0_ivf_info_write(p, "IVF_COLUMN", column);
  if (rc != SQLITE_OK && (rc & 0xff) != SQLITE_NOMEM) {
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": build-index cannot add an index to %s: %s", t,
                   sqlite3_errmsg(p->db));
    return jix0_failure_code(rc);
  }
  return rc;
}

// Keeps the options given for the next builds and returns the lists of this one: given, else
// kept from an earlier build, else declared, else 0 (chosen from the row count).
int settle_options(jix0_vtab* p, const BuildOptions& options, int* outLists) {
  int rc = SQLITE_OK;
  if (options.lists > 0) rc = jix0_ivf_info_write(p, "IVF_LISTS", options.lists);
  if (rc == SQLITE_OK && options.probes > 0)
    rc = jix0_ivf_info_write(p, "IVF_PROBES", options.probes);
  sqlite3_int64 kept = 0;
  bool found = false;
  if (rc == SQLITE_OK) rc = jix0_ivf_info_read(p, "IVF_LISTS", &kept, &found);
  if (rc != SQLITE_OK) return rc;
  *outLists = found && kept > 0 && kept <= JIX0_MAX_LISTS ? (int)kept : jix0_ivf_column(p).lists;
  return SQLITE_OK;
}

int record_error(jix0_vtab* p, int rc) {
  if ((rc & 0xff) == SQLITE_NOMEM) return rc;
  vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": build-index cannot record its options in %s: %s",
                 p->tableName, sqlite3_errmsg(p->db));
  return jix0_failure_code(rc);
}

int build_with_options(jix0_vtab* p, const BuildOptions& options) {
  int lists = 0;
  int rc = settle_options(p, options, &lists);
  if (rc != SQLITE_OK) return record_error(p, rc);
  rc = jix0_ivf_build(p, lists);
  if (rc != SQLITE_OK) return rc;
  // When and over how many rows it was built, for jix_index_info.
  rc = run_text(p, sqlite3_mprintf("INSERT OR REPLACE INTO \"%w\".\"%w_info\"(key, value) "
                                   "VALUES ('IVF_BUILT_AT', datetime('now')), ('IVF_BUILD_ROWS', "
                                   "(SELECT count(*) FROM \"%w\".\"%w_rowids\"))",
                                   p->schemaName, p->tableName, p->schemaName, p->tableName));
  return rc == SQLITE_OK ? rc : record_error(p, rc);
}

}  // namespace

bool jix0_index_can_build(const jix0_vtab* p) {
  if (jix0_has_index(p)) return true;
  for (int i = 0; i < p->numVectorColumns; i++) {
    if (p->vector_columns[i].element_type == JIX_ELEMENT_FLOAT32) return true;
  }
  return false;
}

int jix0_index_build(jix0_vtab* p, const char* options) {
  BuildOptions parsed;
  int column = -1;
  int rc = parse_build_options(p, options, &parsed);
  if (rc == SQLITE_OK) rc = choose_column(p, parsed, &column);
  if (rc != SQLITE_OK) return rc;
  const bool turnOn = !jix0_has_index(p);
  if (turnOn) {
    rc = turn_on(p, column);
    if (rc == SQLITE_OK) rc = set_index_column(p, column);
    if (rc != SQLITE_OK) return rc;
  }
  rc = build_with_options(p, parsed);
  // A failed build is rolled back with the statement, the new shadow objects included.
  if (rc != SQLITE_OK && turnOn) (void)set_index_column(p, -1);
  return rc;
}

int jix0_index_drop(jix0_vtab* p) {
  const char* s = p->schemaName;
  const char* t = p->tableName;
  int rc = run_text(p, sqlite3_mprintf("UPDATE \"%w\".\"%w_chunks\" SET list = NULL WHERE list IS "
                                       "NOT NULL",
                                       s, t));
  if (rc == SQLITE_OK)
    rc = run_text(p, sqlite3_mprintf("DELETE FROM \"%w\".\"%w\"", s, p->shadowIndexName));
  if (rc == SQLITE_OK) {
    rc = run_text(p, sqlite3_mprintf("DELETE FROM \"%w\".\"%w_info\" WHERE key IN ('IVF_BUILD', "
                                     "'IVF_LISTS', 'IVF_PROBES', 'IVF_BUILT_AT', 'IVF_BUILD_ROWS')",
                                     s, t));
  }
  if (rc == SQLITE_OK) rc = jix0_ivf_drop_codes_of_build(p);
  jix0_index_cache_free(p);
  if (rc == SQLITE_OK || (rc & 0xff) == SQLITE_NOMEM) return rc;
  vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": drop-index cannot clear the index of %s: %s", t,
                 sqlite3_errmsg(p->db));
  return jix0_failure_code(rc);
}

int jix0_index_load_state(jix0_vtab* p) {
  if (jix0_has_index(p)) return SQLITE_OK;
  // A file without T_info (damage) opens as a table without an index.
  InfoValue stored;
  int rc = jix0_ivf_info_read_at_connect(p, "IVF_COLUMN", &stored);
  if (rc != SQLITE_OK || !stored.found) return rc;
  const sqlite3_int64 column = stored.value;
  if (!stored.integer || column < 0 || column >= p->numVectorColumns ||
      p->vector_columns[column].element_type != JIX_ELEMENT_FLOAT32) {
    return SQLITE_OK;
  }
  return set_index_column(p, (int)column);
}

namespace {

// Rows per list (lists entries) and in no list, from every chunk's validity bitmap.
int count_rows(jix0_vtab* p, int lists, sqlite3_int64* perList, sqlite3_int64* outNoList) {
  StmtPtr stmt;
  int rc = prepare_text(p->db,
                        sqlite3_mprintf("SELECT list, validity FROM \"%w\".\"%w_chunks\"",
                                        p->schemaName, p->tableName),
                        &stmt);
  if (rc != SQLITE_OK) return rc;
  *outNoList = 0;
  while ((rc = jix_step(stmt.get())) == SQLITE_ROW) {
    const unsigned char* validity = (const unsigned char*)sqlite3_column_blob(stmt.get(), 1);
    const int bytes = sqlite3_column_bytes(stmt.get(), 1);
    sqlite3_int64 rows = 0;
    for (int i = 0; i < bytes; i++) rows += __builtin_popcount(validity[i]);
    sqlite3_int64 list = sqlite3_column_type(stmt.get(), 0) == SQLITE_INTEGER
                             ? sqlite3_column_int64(stmt.get(), 0)
                             : JIX0_NO_LIST;
    if (list >= 0 && list < lists) {
      perList[list] += rows;
    } else {
      *outNoList += rows;
    }
  }
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int read_built_at(jix0_vtab* p, SqlitePtr<char>* out) {
  StmtPtr stmt;
  int rc = prepare_text(p->db,
                        sqlite3_mprintf("SELECT value FROM \"%w\".\"%w_info\" WHERE key = "
                                        "'IVF_BUILT_AT'",
                                        p->schemaName, p->tableName),
                        &stmt);
  if (rc != SQLITE_OK) return rc;
  rc = jix_step(stmt.get());
  if (rc == SQLITE_ROW && sqlite3_column_type(stmt.get(), 0) == SQLITE_TEXT) {
    out->reset(sqlite3_mprintf("%s", sqlite3_column_text(stmt.get(), 0)));
    if (!*out) return SQLITE_NOMEM;
  }
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
}

}  // namespace

int jix0_index_state(jix0_vtab* p, IndexState* out) {
  const IvfCentroids* c;
  int rc = jix0_ivf_current(p, &c);
  if (rc != SQLITE_OK) return rc;
  const int lists = c->lists;
  out->column = p->indexVectorIdx;
  out->lists = lists;
  out->probes = jix0_ivf_default_probes(p, lists);
  SqlitePtr<sqlite3_int64> perList = allocate_zeroed<sqlite3_int64>((sqlite3_uint64)lists);
  if (!perList) return SQLITE_NOMEM;
  rc = count_rows(p, lists, perList.get(), &out->rowsInNoList);
  if (rc == SQLITE_OK) rc = read_built_at(p, &out->builtAt);
  bool found = false;
  if (rc == SQLITE_OK && lists > 0)
    rc = jix0_ivf_info_read(p, "IVF_BUILD_ROWS", &out->rowsAtBuild, &found);
  if (!found) out->rowsAtBuild = -1;
  if (rc != SQLITE_OK) {
    if ((rc & 0xff) == SQLITE_NOMEM) return rc;
    vtab_set_error(&p->base, JIX0_INTERNAL_ERROR ": could not read the index state of %s: %s",
                   p->tableName, sqlite3_errmsg(p->db));
    return jix0_failure_code(rc);
  }
  out->rowsInLists = out->largestList = out->smallestList = 0;
  for (int i = 0; i < lists; i++) {
    const sqlite3_int64 n = perList.get()[i];
    out->rowsInLists += n;
    if (i == 0 || n > out->largestList) out->largestList = n;
    if (i == 0 || n < out->smallestList) out->smallestList = n;
  }
  return SQLITE_OK;
}
