// jix0 table lifecycle: one constructor behind xCreate and xConnect, release, destruction,
// transaction callbacks and the shadow-table names the module claims.
#include "jix0/lifecycle.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/handles.h"
#include "jix0/index/index.h"
#include "jix0/storage/chunk.h"
#include "jix0/storage/chunk_cache.h"
#include "jix0/storage/shadow_tables.h"
#include "jix0/storage/statements.h"
#include "jix0/table/result_codes.h"

namespace {

constexpr const char kConstructorError[] = "jix0 constructor error: ";

// Sets *pzErr to the constructor prefix followed by the formatted text. Returns SQLITE_ERROR,
// or SQLITE_NOMEM when the message cannot be allocated.
int constructor_error(char** pzErr, const char* format, ...) {
  va_list args;
  va_start(args, format);
  char* detail = sqlite3_vmprintf(format, args);
  va_end(args);
  sqlite3_free(*pzErr);
  *pzErr = detail ? sqlite3_mprintf("%s%s", kConstructorError, detail) : nullptr;
  sqlite3_free(detail);
  return *pzErr ? SQLITE_ERROR : SQLITE_NOMEM;
}

// Owns a half-built table until the constructor hands it to SQLite.
struct VtabGuard {
  jix0_vtab* p;
  ~VtabGuard() {
    if (p) {
      jix0_free(p);
      sqlite3_free(p);
    }
  }
  jix0_vtab* release() { return std::exchange(p, nullptr); }
};

// Records user column number u = (user columns so far). REQUIRES: the kind's count is not yet
// raised.
void append_user_column(jix0_vtab* p, ColumnKind kind, int idx) {
  int u = jix0_num_defined_user_columns(p);
  p->user_column_kinds[u] = kind;
  p->user_column_idxs[u] = (unsigned char)idx;
}

// Decimal digits from the start of the value; an identifier reads as 0. Values beyond int
// report overflow instead of wrapping.
int chunk_size_value(const char* value, int length, bool* outOverflow) {
  long long n = 0;
  *outOverflow = false;
  for (int i = 0; i < length && value[i] >= '0' && value[i] <= '9'; i++) {
    n = n * 10 + (value[i] - '0');
    if (n > INT_MAX) {
      *outOverflow = true;
      return 0;
    }
  }
  return (int)n;
}

// Prepares and steps sql once. SQLITE_OK when the step gives SQLITE_DONE.
int run_once(sqlite3* db, const char* sql) {
  StmtPtr stmt;
  int rc = prepare(db, sql, &stmt);
  if (rc != SQLITE_OK) return rc;
  rc = jix_step(stmt.get());
  return rc == SQLITE_DONE ? SQLITE_OK : (rc == SQLITE_ROW ? SQLITE_ERROR : rc);
}

// Runs one creation statement; on failure *pzErr gets the message with the connection's
// error text appended as the last %s.
int create_shadow(sqlite3* db, char* sql, char** pzErr, const char* message, int idx = -1) {
  SqlitePtr<char> guard(sql);
  if (!sql) return SQLITE_NOMEM;
  int rc = run_once(db, sql);
  if (rc == SQLITE_OK) return SQLITE_OK;
  sqlite3_free(*pzErr);
  *pzErr = idx < 0 ? sqlite3_mprintf(message, sqlite3_errmsg(db))
                   : sqlite3_mprintf(message, idx, sqlite3_errmsg(db));
  return jix0_failure_code(rc);
}

int seed_info(jix0_vtab* p, char** pzErr) {
  SqlitePtr<char> sql(sqlite3_mprintf(JIX0_SQL_SEED_INFO, p->schemaName, p->tableName));
  if (!sql) return SQLITE_NOMEM;
  StmtPtr stmt;
  int rc = prepare(p->db, sql.get(), &stmt);
  if (rc == SQLITE_OK) {
    sqlite3_stmt* s = stmt.get();
    sqlite3_bind_text(s, 1, "CREATE_VERSION", -1, SQLITE_STATIC);
    sqlite3_bind_text(s, 2, JIX0_CREATE_VERSION, -1, SQLITE_STATIC);
    sqlite3_bind_text(s, 3, "CREATE_VERSION_MAJOR", -1, SQLITE_STATIC);
    sqlite3_bind_int(s, 4, JIX0_CREATE_VERSION_MAJOR);
    sqlite3_bind_text(s, 5, "CREATE_VERSION_MINOR", -1, SQLITE_STATIC);
    sqlite3_bind_int(s, 6, JIX0_CREATE_VERSION_MINOR);
    sqlite3_bind_text(s, 7, "CREATE_VERSION_PATCH", -1, SQLITE_STATIC);
    sqlite3_bind_int(s, 8, JIX0_CREATE_VERSION_PATCH);
    rc = jix_step(s);
    if (rc == SQLITE_DONE) return SQLITE_OK;
  }
  sqlite3_free(*pzErr);
  *pzErr = sqlite3_mprintf("Could not seed '_info' shadow table: %s", sqlite3_errmsg(p->db));
  return jix0_failure_code(rc);
}

int create_shadow_tables(jix0_vtab* p, char** pzErr) {
  sqlite3* db = p->db;
  const char* s = p->schemaName;
  const char* t = p->tableName;
  int rc = create_shadow(db, sqlite3_mprintf(JIX0_SQL_CREATE_INFO, s, t), pzErr,
                         "Could not create '_info' shadow table: %s");
  if (rc != SQLITE_OK) return rc;
  rc = seed_info(p, pzErr);
  if (rc != SQLITE_OK) return rc;
  rc = create_shadow(db, jix0_sql_create_chunks(p), pzErr,
                     "Could not create '_chunks' shadow table: %s");
  if (rc != SQLITE_OK) return rc;
  rc = jix0_index_create_table(p, pzErr);
  if (rc != SQLITE_OK) return rc;
  const char* rowids = p->pkIsText ? JIX0_SQL_CREATE_ROWIDS_TEXT_PK : JIX0_SQL_CREATE_ROWIDS;
  rc = create_shadow(db, sqlite3_mprintf(rowids, s, t), pzErr,
                     "Could not create '_rowids' shadow table: %s");
  if (rc != SQLITE_OK) return rc;
  for (int i = 0; i < p->numVectorColumns; i++) {
    rc = create_shadow(db, sqlite3_mprintf(JIX0_SQL_CREATE_VECTOR_CHUNKS, s, t, i), pzErr,
                       "Could not create '_vector_chunks%02d' shadow table: %s", i);
    if (rc != SQLITE_OK) return rc;
  }
  for (int i = 0; i < p->numMetadataColumns; i++) {
    rc = create_shadow(db, sqlite3_mprintf(JIX0_SQL_CREATE_METADATA_CHUNKS, s, t, i), pzErr,
                       "Could not create '_metata_chunks%02d' shadow table: %s", i);
    if (rc != SQLITE_OK) return rc;
    if (p->metadata_columns[i].kind == JIX0_METADATA_TEXT) {
      rc = create_shadow(db, sqlite3_mprintf(JIX0_SQL_CREATE_METADATA_TEXT, s, t, i), pzErr,
                         "Could not create '_metadatatext%02d' shadow table: %s", i);
      if (rc != SQLITE_OK) return rc;
    }
  }
  if (p->numAuxiliaryColumns > 0) {
    rc = create_shadow(db, jix0_sql_create_auxiliary(p), pzErr,
                       "Could not create auxiliary shadow table: %s");
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

// True when name (length bytes) names the table, as SQLite compares column names.
bool is_table_name(const char* tableName, const char* name, int length) {
  return (int)strlen(tableName) == length && sqlite3_strnicmp(tableName, name, length) == 0;
}

// The name of user column u.
void user_column_name(const jix0_vtab* p, int u, const char** outName, int* outLength) {
  int idx = p->user_column_idxs[u];
  switch (p->user_column_kinds[u]) {
    case JIX0_COLUMN_VECTOR:
      *outName = p->vector_columns[idx].name;
      *outLength = p->vector_columns[idx].name_length;
      return;
    case JIX0_COLUMN_PARTITION:
      *outName = p->partition_columns[idx].name;
      *outLength = p->partition_columns[idx].name_length;
      return;
    case JIX0_COLUMN_AUXILIARY:
      *outName = p->auxiliary_columns[idx].name;
      *outLength = p->auxiliary_columns[idx].name_length;
      return;
    case JIX0_COLUMN_METADATA:
      *outName = p->metadata_columns[idx].name;
      *outLength = p->metadata_columns[idx].name_length;
      return;
  }
  *outName = "";
  *outLength = 0;
}

// The command column takes the table's name unless a column has it already: such tables
// keep the declaration they always had, so they are created and opened as before.
bool command_column_fits(const jix0_vtab* p, const char* tableName, const char* pkName,
                         int pkNameLength) {
  if (pkName ? is_table_name(tableName, pkName, pkNameLength)
             : is_table_name(tableName, "rowid", 5)) {
    return false;
  }
  if (is_table_name(tableName, "distance", 8) || is_table_name(tableName, "k", 1)) return false;
  for (int u = 0; u < jix0_num_defined_user_columns(p); u++) {
    const char* name;
    int length;
    user_column_name(p, u, &name, &length);
    if (is_table_name(tableName, name, length)) return false;
  }
  return true;
}

// The index's hidden column takes its name unless a column, or the command column, has it.
bool hidden_name_fits(const jix0_vtab* p, const char* name, const char* tableName,
                      const char* pkName, int pkNameLength) {
  if (p->hasCommandColumn && sqlite3_stricmp(name, tableName) == 0) return false;
  return command_column_fits(p, name, pkName, pkNameLength);
}

// The schema SQLite sees: the id column, the user columns, then the hidden distance, k and,
// when there is one, the command column.
int declare_schema(jix0_vtab* p, const char* tableName, const char* pkName, int pkNameLength,
                   char** pzErr) {
  StrBuilder s(nullptr);
  sqlite3_str_appendall(s.get(), "CREATE TABLE x(");
  if (pkName) {
    sqlite3_str_appendf(s.get(), "\"%.*w\" primary key, ", pkNameLength, pkName);
  } else {
    sqlite3_str_appendall(s.get(), "rowid, ");
  }
  for (int u = 0; u < jix0_num_defined_user_columns(p); u++) {
    const char* name;
    int length;
    user_column_name(p, u, &name, &length);
    sqlite3_str_appendf(s.get(), "\"%.*w\", ", length, name);
  }
  sqlite3_str_appendall(s.get(), " distance hidden, k hidden");
  p->hasCommandColumn = command_column_fits(p, tableName, pkName, pkNameLength);
  if (p->hasCommandColumn) sqlite3_str_appendf(s.get(), ", \"%w\" hidden", tableName);
  const char* hidden = jix0_index_hidden_column(p);
  p->hasIndexColumn = hidden && hidden_name_fits(p, hidden, tableName, pkName, pkNameLength);
  if (p->hasIndexColumn) sqlite3_str_appendf(s.get(), ", %s hidden", hidden);
  sqlite3_str_appendall(s.get(), ") ");
  if (pkName) sqlite3_str_appendall(s.get(), "without rowid ");
  SqlitePtr<char> sql = s.finish();
  if (!sql) return SQLITE_NOMEM;
  int rc = sqlite3_declare_vtab(p->db, sql.get());
  if (rc == SQLITE_NOMEM) return rc;
  if (rc != SQLITE_OK) {
    return constructor_error(pzErr, "could not declare virtual table, '%s'", sqlite3_errmsg(p->db));
  }
  return SQLITE_OK;
}

// Copies a name that points into a declaration argument.
bool copy_name(const char* name, int length, char** outName) {
  *outName = sqlite3_mprintf("%.*s", length, name);
  return *outName != nullptr;
}

// A vector column declaration. SQLITE_EMPTY when the argument is no vector column.
int parse_vector_argument(jix0_vtab* p, const char* arg, int length, char** pzErr) {
  VectorColumnDefinition vector;
  int rc = jix0_parse_vector_column(arg, length, &vector);
  if (rc == SQLITE_NOMEM || rc == SQLITE_EMPTY) return rc;
  if (rc == SQLITE_ERROR) {
    return constructor_error(pzErr, "could not parse vector column '%s'", arg);
  }
  if (p->numVectorColumns >= JIX0_MAX_VECTOR_COLUMNS) {
    sqlite3_free(vector.name);
    return constructor_error(pzErr, "Too many provided vector columns, maximum %d",
                             JIX0_MAX_VECTOR_COLUMNS);
  }
  if (vector.dimensions > (size_t)JIX0_MAX_DIMENSIONS) {
    sqlite3_free(vector.name);
    return constructor_error(pzErr,
                             "Dimension on vector column too large, provided %lld, maximum %lld",
                             (long long)vector.dimensions, (long long)JIX0_MAX_DIMENSIONS);
  }
  char* refusal = nullptr;
  rc = jix0_index_check_options(p, vector, &refusal);
  if (rc != SQLITE_OK) {
    sqlite3_free(vector.name);
    if (rc == SQLITE_ERROR) rc = constructor_error(pzErr, "%s", refusal);
    sqlite3_free(refusal);
    return rc;
  }
  jix0_index_declare(p, vector, p->numVectorColumns);
  append_user_column(p, JIX0_COLUMN_VECTOR, p->numVectorColumns);
  p->vector_columns[p->numVectorColumns++] = vector;
  return SQLITE_OK;
}

// Appends a partition, auxiliary or metadata column: the three differ only in their limit,
// the message that states it, and the array and type field they fill.
template <typename Definition, typename Type>
int append_named_column(jix0_vtab* p, ColumnKind kind, Definition* columns, int* count, int max,
                        const char* tooMany, Type Definition::*typeField, const char* name,
                        int nameLength, Type type, char** pzErr) {
  if (*count >= max) return constructor_error(pzErr, tooMany, max);
  Definition& column = columns[*count];
  if (!copy_name(name, nameLength, &column.name)) return SQLITE_NOMEM;
  column.name_length = nameLength;
  column.*typeField = type;
  append_user_column(p, kind, *count);
  (*count)++;
  return SQLITE_OK;
}

// The one table option, chunk_size. The key may be abbreviated, like every keyword of the
// declaration.
int parse_table_option_argument(jix0_vtab* p, const char* arg, int length, char** pzErr) {
  const char* key;
  int keyLength;
  const char* value;
  int valueLength;
  int rc = jix0_parse_table_option(arg, length, &key, &keyLength, &value, &valueLength);
  if (rc == SQLITE_ERROR) {
    return constructor_error(pzErr, "could not parse table option '%s'", arg);
  }
  if (rc == SQLITE_EMPTY) {
    return constructor_error(pzErr, "Could not parse '%s'", arg);
  }
  if (keyLength > (int)strlen("chunk_size") || sqlite3_strnicmp(key, "chunk_size", keyLength)) {
    return constructor_error(pzErr, "Unknown table option: %.*s", keyLength, key);
  }
  bool overflow;
  int chunkSize = chunk_size_value(value, valueLength, &overflow);
  if (overflow) {
    return constructor_error(pzErr, "chunk_size too large");
  }
  if (chunkSize < 1) {
    return constructor_error(pzErr, "chunk_size must be a non-zero positive integer");
  }
  if (chunkSize % 8 != 0) {
    return constructor_error(pzErr, "chunk_size must be divisible by 8");
  }
  if (chunkSize > JIX0_MAX_CHUNK_SIZE) {
    return constructor_error(pzErr, "chunk_size too large");
  }
  p->chunk_size = chunkSize;
  return SQLITE_OK;
}

// Reads every declaration argument into p: each is tried against the column recognisers in
// turn, and what none of them takes must be a table option. SQLITE_OK, SQLITE_NOMEM or
// SQLITE_ERROR with *pzErr set.
int parse_arguments(jix0_vtab* p, int argc, const char* const* argv, const char** outPkName,
                    int* outPkNameLength, int* outPkType, char** pzErr) {
  bool hasPrimaryKey = false;
  for (int i = 3; i < argc; i++) {
    const char* arg = argv[i];
    int length = (int)strlen(arg);
    const char* name;
    int nameLength;
    int type;

    int rc = parse_vector_argument(p, arg, length, pzErr);
    if (rc != SQLITE_EMPTY) {
      if (rc != SQLITE_OK) return rc;
      continue;
    }
    if (jix0_parse_partition_key_definition(arg, length, &name, &nameLength, &type) == SQLITE_OK) {
      rc = append_named_column(p, JIX0_COLUMN_PARTITION, p->partition_columns,
                               &p->numPartitionColumns, JIX0_MAX_PARTITION_COLUMNS,
                               "More than %d partition key columns were provided",
                               &PartitionColumnDefinition::type, name, nameLength, type, pzErr);
      if (rc != SQLITE_OK) return rc;
      continue;
    }
    if (jix0_parse_primary_key_definition(arg, length, &name, &nameLength, &type) == SQLITE_OK) {
      if (hasPrimaryKey) {
        return constructor_error(pzErr,
                                 "More than one primary key definition was provided, jix0 only "
                                 "suports a single primary key column");
      }
      hasPrimaryKey = true;
      *outPkName = name;
      *outPkNameLength = nameLength;
      *outPkType = type;
      continue;
    }
    if (jix0_parse_auxiliary_column_definition(arg, length, &name, &nameLength, &type) ==
        SQLITE_OK) {
      rc = append_named_column(p, JIX0_COLUMN_AUXILIARY, p->auxiliary_columns,
                               &p->numAuxiliaryColumns, JIX0_MAX_AUXILIARY_COLUMNS,
                               "More than %d auxiliary columns were provided",
                               &AuxiliaryColumnDefinition::type, name, nameLength, type, pzErr);
      if (rc != SQLITE_OK) return rc;
      continue;
    }
    MetadataColumnKind kind;
    if (jix0_parse_metadata_column_definition(arg, length, &name, &nameLength, &kind) ==
        SQLITE_OK) {
      rc = append_named_column(p, JIX0_COLUMN_METADATA, p->metadata_columns, &p->numMetadataColumns,
                               JIX0_MAX_METADATA_COLUMNS,
                               "More than %d metadata columns were provided",
                               &MetadataColumnDefinition::kind, name, nameLength, kind, pzErr);
      if (rc != SQLITE_OK) return rc;
      continue;
    }
    rc = parse_table_option_argument(p, arg, length, pzErr);
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

// The table's name and every name derived from it, built together so that a rename can
// swap them in only once every allocation succeeded.
struct TableNames {
  char* table = nullptr;
  char* rowids = nullptr;
  char* chunks = nullptr;
  char* indexTable = nullptr;
  char* codesTable = nullptr;
  char* vectorChunks[JIX0_MAX_VECTOR_COLUMNS] = {};
  char* metadataChunks[JIX0_MAX_METADATA_COLUMNS] = {};

  TableNames() = default;
  TableNames(const TableNames&) = delete;
  TableNames& operator=(const TableNames&) = delete;
  ~TableNames() {
    sqlite3_free(table);
    sqlite3_free(rowids);
    sqlite3_free(chunks);
    sqlite3_free(indexTable);
    sqlite3_free(codesTable);
    for (char* name : vectorChunks) sqlite3_free(name);
    for (char* name : metadataChunks) sqlite3_free(name);
  }

  // False when memory runs out.
  bool Build(const jix0_vtab* p, const char* name, bool olderIndexName) {
    table = sqlite3_mprintf("%s", name);
    if (!table) return false;
    rowids = sqlite3_mprintf("%s_rowids", table);
    chunks = sqlite3_mprintf("%s_chunks", table);
    if (!rowids || !chunks) return false;
    if (jix0_index_has_table(p)) {
      indexTable = jix0_index_table_name(table, olderIndexName);
      codesTable = jix0_index_codes_table_name(table);
      if (!indexTable || !codesTable) return false;
    }
    for (int i = 0; i < p->numVectorColumns; i++) {
      vectorChunks[i] = sqlite3_mprintf("%s_vector_chunks%02d", table, i);
      if (!vectorChunks[i]) return false;
    }
    for (int i = 0; i < p->numMetadataColumns; i++) {
      metadataChunks[i] = sqlite3_mprintf("%s_metadatachunks%02d", table, i);
      if (!metadataChunks[i]) return false;
    }
    return true;
  }

  // Hands every name to p, freeing the ones p held.
  void MoveInto(jix0_vtab* p) {
    auto move = [](char** from, char** to) {
      sqlite3_free(*to);
      *to = std::exchange(*from, nullptr);
    };
    move(&table, &p->tableName);
    move(&rowids, &p->shadowRowidsName);
    move(&chunks, &p->shadowChunksName);
    move(&indexTable, &p->shadowIndexName);
    move(&codesTable, &p->shadowCodesName);
    for (int i = 0; i < JIX0_MAX_VECTOR_COLUMNS; i++) {
      move(&vectorChunks[i], &p->shadowVectorChunksNames[i]);
    }
    for (int i = 0; i < JIX0_MAX_METADATA_COLUMNS; i++) {
      move(&metadataChunks[i], &p->shadowMetadataChunksNames[i]);
    }
  }
};

// An option given twice on a vector column is refused for new tables; a table declared so
// before keeps opening, with the last value.
int check_repeated_options(const jix0_vtab* p, char** pzErr) {
  for (int i = 0; i < p->numVectorColumns; i++) {
    const VectorColumnDefinition& v = p->vector_columns[i];
    if (!v.repeated_option) continue;
    return constructor_error(pzErr, "%s is given more than once on vector column \"%.*s\"",
                             v.repeated_option, v.name_length, v.name);
  }
  return SQLITE_OK;
}

// A chunk that cannot be stored under the connection's length limit would make every insert
// fail, so the declaration is refused, naming the chunk_size that fits.
int check_chunk_length(jix0_vtab* p, char** pzErr) {
  const int limit = sqlite3_limit(p->db, SQLITE_LIMIT_LENGTH, -1);
  const sqlite3_int64 bytes = jix0_chunk_largest_record(p, p->chunk_size);
  if (bytes <= limit) return SQLITE_OK;
  int fits = p->chunk_size - 8;
  while (fits >= 8 && jix0_chunk_largest_record(p, fits) > limit) fits -= 8;
  int rc = fits >= 8 ? constructor_error(pzErr,
                                         "a chunk of %d rows needs a record of %lld bytes, over "
                                         "this connection's length limit of %d bytes "
                                         "(SQLITE_LIMIT_LENGTH): declare chunk_size=%d or less",
                                         p->chunk_size, bytes, limit, fits)
                     : constructor_error(pzErr,
                                         "a chunk of %d rows needs a record of %lld bytes, over "
                                         "this connection's length limit of %d bytes "
                                         "(SQLITE_LIMIT_LENGTH), and no chunk_size fits",
                                         p->chunk_size, bytes, limit);
  return rc == SQLITE_ERROR ? SQLITE_TOOBIG : rc;
}

int jix0_init(sqlite3* db, int argc, const char* const* argv, sqlite3_vtab** ppVtab, char** pzErr,
              bool isCreate) {
  VtabGuard guard{malloc_zeroed<jix0_vtab>()};
  jix0_vtab* p = guard.p;
  if (!p) return SQLITE_NOMEM;

  if (argc < 4) {
    return constructor_error(pzErr, "At least one vector column is required");
  }
  const char* pkName = nullptr;
  int pkNameLength = 0;
  int pkType = 0;
  int rc = parse_arguments(p, argc, argv, &pkName, &pkNameLength, &pkType, pzErr);
  if (rc != SQLITE_OK) return rc;
  const bool chunkSizeDeclared = p->chunk_size != 0;
  if (!chunkSizeDeclared) p->chunk_size = jix0_index_default_chunk_size(p);
  if (p->numVectorColumns == 0) {
    return constructor_error(pzErr, "At least one vector column is required");
  }
  p->db = db;
  rc = declare_schema(p, argv[2], pkName, pkNameLength, pzErr);
  if (rc != SQLITE_OK) return rc;
  // xUpdate honours the statement's conflict clause and reports a refused row before it
  // writes anything, so SQLite may skip the row (OR IGNORE) or keep the statement's earlier
  // rows (OR FAIL) instead of treating every constraint failure as ABORT.
  sqlite3_vtab_config(db, SQLITE_VTAB_CONSTRAINT_SUPPORT, 1);

  p->pkIsText = pkName && pkType == SQLITE_TEXT;
  p->schemaName = sqlite3_mprintf("%s", argv[1]);
  if (!p->schemaName) return SQLITE_NOMEM;
  TableNames names;
  bool olderIndexName = false;
  if (!isCreate) {
    rc = jix0_index_find_older_name(p, argv[2], &olderIndexName, pzErr);
    if (rc != SQLITE_OK) return rc;
  }
  if (!names.Build(p, argv[2], olderIndexName)) return SQLITE_NOMEM;
  names.MoveInto(p);

  if (isCreate) {
    rc = check_repeated_options(p, pzErr);
    if (rc == SQLITE_OK) rc = check_chunk_length(p, pzErr);
    if (rc != SQLITE_OK) return rc;
    // Tables created before a failure are not dropped here; they belong to the failing
    // CREATE statement, which SQLite rolls back.
    rc = create_shadow_tables(p, pzErr);
    if (rc == SQLITE_OK && !chunkSizeDeclared) {
      rc = jix0_index_record_chunk_size(p);
      if (rc != SQLITE_OK) {
        sqlite3_free(*pzErr);
        *pzErr = sqlite3_mprintf("Could not seed '_info' shadow table: %s", sqlite3_errmsg(db));
        rc = jix0_failure_code(rc);
      }
    }
    if (rc != SQLITE_OK) return rc;
  } else {
    // The default chunk size has changed between versions: a table keeps the one it was
    // created with.
    if (!chunkSizeDeclared) {
      rc = jix0_index_stored_chunk_size(p, pzErr);
      if (rc != SQLITE_OK) return rc;
    }
    // A table declared without an index may have been given one by build-index.
    rc = jix0_index_load_state(p);
    if (rc != SQLITE_OK) return rc;
  }
  *ppVtab = &guard.release()->base;
  return SQLITE_OK;
}

void free_string(char** s) {
  sqlite3_free(*s);
  *s = nullptr;
}

// Runs one DROP of xDestroy, formatted with the schema and the given names.
int drop(jix0_vtab* p, char* sql) {
  SqlitePtr<char> guard(sql);
  if (!sql) return SQLITE_NOMEM;
  return run_once(p->db, sql);
}

void tables_add(void* pAux, sqlite3_vtab* pVtab) {
  auto* tables = (Jix0Tables*)pAux;
  auto* p = (jix0_vtab*)pVtab;
  if (!tables) return;
  p->tables = tables;
  p->nextTable = tables->first;
  tables->first = p;
}

// Registers a new table object with its connection: the list of open tables and the chunk
// cache's budget.
void attach(void* pAux, sqlite3_vtab* pVtab) {
  tables_add(pAux, pVtab);
  auto* tables = (Jix0Tables*)pAux;
  chunk_cache_attach((jix0_vtab*)pVtab, tables ? tables->cacheBudget : nullptr);
}

void tables_remove(jix0_vtab* p) {
  if (!p->tables) return;
  for (jix0_vtab** at = &p->tables->first; *at; at = &(*at)->nextTable) {
    if (*at != p) continue;
    *at = p->nextTable;
    break;
  }
  p->tables = nullptr;
}

// Frees the object and a message nobody collected (SQLite never reads xDestroy's).
void release(jix0_vtab* p) {
  tables_remove(p);
  jix0_free(p);
  sqlite3_free(p->base.zErrMsg);
  sqlite3_free(p);
}

}  // namespace

int jix0Create(sqlite3* db, void* pAux, int argc, const char* const* argv, sqlite3_vtab** ppVtab,
               char** pzErr) {
  int rc = jix0_init(db, argc, argv, ppVtab, pzErr, true);
  if (rc == SQLITE_OK) attach(pAux, *ppVtab);
  return rc;
}

int jix0Connect(sqlite3* db, void* pAux, int argc, const char* const* argv, sqlite3_vtab** ppVtab,
                char** pzErr) {
  int rc = jix0_init(db, argc, argv, ppVtab, pzErr, false);
  if (rc == SQLITE_OK) attach(pAux, *ppVtab);
  return rc;
}

void jix0_tables_free(void* tables) {
  if (!tables) return;
  chunk_cache_budget_unref(((Jix0Tables*)tables)->cacheBudget);
  sqlite3_free(tables);
}

jix0_vtab* jix0_tables_find(Jix0Tables* tables, const char* schema, const char* name) {
  static const char* const kOrder[] = {"temp", "main", nullptr};
  for (const char* preferred : kOrder) {
    const char* wanted = schema ? schema : preferred;
    for (jix0_vtab* p = tables ? tables->first : nullptr; p; p = p->nextTable) {
      if (!p->tableName || sqlite3_stricmp(p->tableName, name) != 0) continue;
      if (!wanted || sqlite3_stricmp(p->schemaName, wanted) == 0) return p;
    }
    if (schema) return nullptr;
  }
  return nullptr;
}

int jix0Disconnect(sqlite3_vtab* pVtab) {
  release((jix0_vtab*)pVtab);
  return SQLITE_OK;
}

namespace {

int destroy(sqlite3_vtab* pVtab) {
  jix0_vtab* p = (jix0_vtab*)pVtab;
  jix0_free_resources(p);
  const char* s = p->schemaName;
  const char* t = p->tableName;
  // A table whose earlier DROP failed has no names left; there is nothing to find.
  if (!s || !t) return SQLITE_ERROR;
  // Each DROP tolerates a missing table, so a table that lost a shadow table by hand or by
  // damage can still be dropped: what exists goes.
  int rc = drop(p, sqlite3_mprintf("DROP TABLE IF EXISTS \"%w\".\"%w_chunks\"", s, t));
  if (rc != SQLITE_OK) {
    vtab_set_error(pVtab, "could not drop chunks shadow table");
    jix0_free(p);
    return rc;
  }
  rc = drop(p, sqlite3_mprintf("DROP TABLE IF EXISTS \"%w\".\"%w_info\"", s, t));
  if (rc != SQLITE_OK) {
    vtab_set_error(pVtab, "could not drop info shadow table");
    jix0_free(p);
    return rc;
  }
  rc = drop(p, sqlite3_mprintf("DROP TABLE IF EXISTS \"%w\".\"%w_rowids\"", s, t));
  if (rc == SQLITE_OK) rc = jix0_index_drop_table(p);
  for (int i = 0; rc == SQLITE_OK && i < p->numVectorColumns; i++) {
    rc = drop(
        p, sqlite3_mprintf("DROP TABLE IF EXISTS \"%w\".\"%w\"", s, p->shadowVectorChunksNames[i]));
  }
  if (rc == SQLITE_OK && p->numAuxiliaryColumns > 0) {
    rc = drop(p, sqlite3_mprintf("DROP TABLE IF EXISTS \"%w\".\"%w_auxiliary\"", s, t));
  }
  for (int i = 0; rc == SQLITE_OK && i < p->numMetadataColumns; i++) {
    rc = drop(p, sqlite3_mprintf("DROP TABLE IF EXISTS \"%w\".\"%w_metadatachunks%02d\"", s, t, i));
    if (rc == SQLITE_OK && p->metadata_columns[i].kind == JIX0_METADATA_TEXT) {
      rc = drop(p, sqlite3_mprintf("DROP TABLE IF EXISTS \"%w\".\"%w_metadatatext%02d\"", s, t, i));
    }
  }
  if (rc != SQLITE_OK) {
    // The host keeps the object until it disconnects; without names, later calls fail.
    jix0_free(p);
    return rc;
  }
  release(p);
  return SQLITE_OK;
}

}  // namespace

// DROP TABLE and ALTER TABLE ... RENAME take a statement journal, so SQLite itself undoes the
// shadow tables already dropped or renamed when a later one fails.
int jix0Destroy(sqlite3_vtab* pVtab) {
  return destroy(pVtab);
}

// Renames one shadow table from the old table name's form to the new one's. A missing table
// is left alone, as DROP leaves it.
static int rename_shadow(jix0_vtab* p, const char* oldName, const char* newName) {
  SqlitePtr<char> sql(
      sqlite3_mprintf("SELECT 1 FROM \"%w\".sqlite_master WHERE type = 'table' AND name = %Q",
                      p->schemaName, oldName));
  if (!sql) return SQLITE_NOMEM;
  StmtPtr stmt;
  int rc = prepare(p->db, sql.get(), &stmt);
  if (rc != SQLITE_OK) return rc;
  rc = jix_step(stmt.get());
  if (rc == SQLITE_DONE) return SQLITE_OK;
  if (rc != SQLITE_ROW) return rc;
  stmt.reset();
  sql.reset(sqlite3_mprintf("ALTER TABLE \"%w\".\"%w\" RENAME TO \"%w\"", p->schemaName, oldName,
                            newName));
  if (!sql) return SQLITE_NOMEM;
  return run_once(p->db, sql.get());
}

namespace {

int rename_table(sqlite3_vtab* pVtab, const char* zNew) {
  jix0_vtab* p = (jix0_vtab*)pVtab;
  if (!p->tableName) {
    vtab_set_error(pVtab, "jix0 table is unusable after a failed DROP TABLE");
    return SQLITE_ERROR;
  }
  TableNames names;
  if (!names.Build(p, zNew, jix0_index_has_older_name(p))) return SQLITE_NOMEM;
  // The cached statements name the old tables.
  jix0_free_resources(p);
  chunk_cache_clear(p);
  jix0_chunk_newest_forget(p);
  // Every shadow table moves inside the ALTER TABLE statement: when one fails, SQLite rolls
  // the whole statement back, renames made here included.
  int rc = SQLITE_OK;
  auto rename = [&](const char* oldName, const char* newName) {
    if (rc == SQLITE_OK) rc = rename_shadow(p, oldName, newName);
  };
  auto renameSuffix = [&](const char* suffix) {
    if (rc != SQLITE_OK) return;
    SqlitePtr<char> oldName(sqlite3_mprintf("%s_%s", p->tableName, suffix));
    SqlitePtr<char> newName(sqlite3_mprintf("%s_%s", names.table, suffix));
    if (!oldName || !newName) {
      rc = SQLITE_NOMEM;
      return;
    }
    rename(oldName.get(), newName.get());
  };
  rename(p->shadowChunksName, names.chunks);
  renameSuffix("info");
  rename(p->shadowRowidsName, names.rowids);
  // The list index follows its table and keeps its name: SQLite cannot drop or rename an
  // index while the ALTER TABLE statement runs.
  if (jix0_index_has_table(p)) {
    rename(p->shadowIndexName, names.indexTable);
    // Tables whose index never kept codes have no codes table: rename_shadow skips it then.
    rename(p->shadowCodesName, names.codesTable);
  }
  for (int i = 0; i < p->numVectorColumns; i++) {
    rename(p->shadowVectorChunksNames[i], names.vectorChunks[i]);
  }
  if (p->numAuxiliaryColumns > 0) renameSuffix("auxiliary");
  for (int i = 0; i < p->numMetadataColumns; i++) {
    rename(p->shadowMetadataChunksNames[i], names.metadataChunks[i]);
    if (p->metadata_columns[i].kind != JIX0_METADATA_TEXT) continue;
    char suffix[32];  // room for any int, which the compiler cannot rule out
    snprintf(suffix, sizeof(suffix), "metadatatext%02d", i);
    renameSuffix(suffix);
  }
  if (rc != SQLITE_OK) {
    if ((rc & 0xff) != SQLITE_NOMEM) {
      vtab_set_error(pVtab, "could not rename shadow tables of %s: %s", p->tableName,
                     sqlite3_errmsg(p->db));
    }
    return rc;
  }
  names.MoveInto(p);
  return SQLITE_OK;
}

}  // namespace

int jix0Rename(sqlite3_vtab* pVtab, const char* zNew) {
  return rename_table(pVtab, zNew);
}

int jix0Begin(sqlite3_vtab* pVtab) {
  // SQLite begins a table's transaction for the statements that write it.
  chunk_cache_written((jix0_vtab*)pVtab);
  return SQLITE_OK;
}

int jix0Sync(sqlite3_vtab* pVtab) {
  jix0_free_resources((jix0_vtab*)pVtab);
  return SQLITE_OK;
}

int jix0Commit(sqlite3_vtab* pVtab) {
  chunk_cache_transaction_end((jix0_vtab*)pVtab, false);
  return SQLITE_OK;
}
int jix0Rollback(sqlite3_vtab* pVtab) {
  chunk_cache_transaction_end((jix0_vtab*)pVtab, true);
  jix0_chunk_newest_forget((jix0_vtab*)pVtab);
  return SQLITE_OK;
}

int jix0Savepoint(sqlite3_vtab*, int) {
  // Nothing to save; declared so that SQLite tracks the savepoints this table joins, and
  // calls jix0RollbackTo for every one rolled back.
  return SQLITE_OK;
}

int jix0RollbackTo(sqlite3_vtab* pVtab, int) {
  // ROLLBACK TO, and a failed statement inside a transaction, may take back chunks made since
  // the savepoint; the chunk cache is already off until the transaction ends.
  jix0_chunk_newest_forget((jix0_vtab*)pVtab);
  return SQLITE_OK;
}

int jix0ShadowName(const char* suffix) {
  static const char* const kFixed[] = {"rowids", "chunks", "auxiliary", "info"};
  for (const char* name : kFixed) {
    if (sqlite3_stricmp(suffix, name) == 0) return 1;
  }
  if (jix0_index_is_shadow_suffix(suffix)) return 1;
  // metadatachunks00..15 and metadatatext00..15; vector_chunksNN is deliberately not claimed.
  static const char* const kIndexed[] = {"metadatachunks", "metadatatext"};
  for (const char* prefix : kIndexed) {
    int n = (int)strlen(prefix);
    if (sqlite3_strnicmp(suffix, prefix, n) != 0) continue;
    const char* d = suffix + n;
    if (d[0] < '0' || d[0] > '9' || d[1] < '0' || d[1] > '9' || d[2] != '\0') continue;
    if ((d[0] - '0') * 10 + (d[1] - '0') < JIX0_MAX_METADATA_COLUMNS) return 1;
  }
  return 0;
}

void jix0_free_resources(jix0_vtab* p) {
  jix0_stmts_finalize(p);
  jix0_index_release_statements(p);
}

void jix0_free(jix0_vtab* p) {
  jix0_free_resources(p);
  chunk_cache_detach(p);
  jix0_chunk_newest_free(p);
  jix0_index_cache_free(p);
  free_string(&p->shadowIndexName);
  free_string(&p->shadowCodesName);
  free_string(&p->schemaName);
  free_string(&p->tableName);
  free_string(&p->shadowRowidsName);
  free_string(&p->shadowChunksName);
  for (int i = 0; i < JIX0_MAX_VECTOR_COLUMNS; i++) {
    free_string(&p->shadowVectorChunksNames[i]);
    free_string(&p->vector_columns[i].name);
  }
  for (int i = 0; i < JIX0_MAX_PARTITION_COLUMNS; i++) free_string(&p->partition_columns[i].name);
  for (int i = 0; i < JIX0_MAX_AUXILIARY_COLUMNS; i++) free_string(&p->auxiliary_columns[i].name);
  for (int i = 0; i < JIX0_MAX_METADATA_COLUMNS; i++) {
    free_string(&p->shadowMetadataChunksNames[i]);
    free_string(&p->metadata_columns[i].name);
  }
}
