// Statement texts of the jix0 format that depend on a table's columns.
#include "jix0/storage/shadow_tables.h"

#include <cstring>

#include "base/handles.h"

char* jix0_sql_create_chunks(const jix0_vtab* p) {
  if (jix0_has_index(p)) {
    // The list column comes last, so every other column keeps its place and text. The
    // UNIQUE constraint, always met as it ends in chunk_id, is the list index: SQLite renames
    // and drops it with the table.
    SqlitePtr<char> plain(jix0_sql_create_chunks_plain(p));
    if (!plain) return nullptr;
    size_t n = strlen(plain.get());
    StrBuilder s(nullptr);
    // Both forms end in ");".
    sqlite3_str_appendf(s.get(), "%.*s, list INTEGER, UNIQUE(list", (int)(n - 2), plain.get());
    for (int i = 0; i < p->numPartitionColumns; i++) {
      sqlite3_str_appendf(s.get(), ", partition%02d", i);
    }
    sqlite3_str_appendall(s.get(), ", chunk_id));");
    return s.finish().release();
  }
  return jix0_sql_create_chunks_plain(p);
}

char* jix0_sql_create_chunks_plain(const jix0_vtab* p) {
  if (p->numPartitionColumns == 0) {
    return sqlite3_mprintf(
        "CREATE TABLE \"%w\".\"%w_chunks\"(chunk_id INTEGER PRIMARY KEY AUTOINCREMENT,size INTEGER "
        "NOT NULL,validity BLOB NOT NULL,rowids BLOB NOT NULL);",
        p->schemaName, p->tableName);
  }
  StrBuilder s(nullptr);
  sqlite3_str_appendf(s.get(), "CREATE TABLE \"%w\".\"%w_chunks\"(", p->schemaName, p->tableName);
  sqlite3_str_appendall(s.get(),
                        "chunk_id INTEGER PRIMARY KEY AUTOINCREMENT,size INTEGER NOT NULL,");
  sqlite3_str_appendall(s.get(), "sequence_id integer,");
  for (int i = 0; i < p->numPartitionColumns; i++) {
    sqlite3_str_appendf(s.get(), "partition%02d,", i);
  }
  sqlite3_str_appendall(s.get(), "validity BLOB NOT NULL, rowids BLOB NOT NULL);");
  return s.finish().release();
}

char* jix0_sql_create_auxiliary(const jix0_vtab* p) {
  StrBuilder s(nullptr);
  sqlite3_str_appendf(s.get(), "CREATE TABLE \"%w\".\"%w_auxiliary\"( rowid integer PRIMARY KEY ",
                      p->schemaName, p->tableName);
  for (int i = 0; i < p->numAuxiliaryColumns; i++) {
    sqlite3_str_appendf(s.get(), ", value%02d", i);
  }
  sqlite3_str_appendall(s.get(), ")");
  return s.finish().release();
}

char* jix0_sql_latest_chunk(const jix0_vtab* p) {
  StrBuilder s(nullptr);
  sqlite3_str_appendf(s.get(), "SELECT max(rowid) FROM \"%w\".\"%w_chunks\"", p->schemaName,
                      p->tableName);
  if (p->numPartitionColumns > 0) {
    sqlite3_str_appendall(s.get(), " WHERE ");
    for (int i = 0; i < p->numPartitionColumns; i++) {
      if (i > 0) sqlite3_str_appendall(s.get(), " AND ");
      sqlite3_str_appendf(s.get(), " partition%02d IS ? ", i);
    }
  }
  // The list index answers this with one seek instead of a scan of every chunk.
  if (jix0_has_index(p)) {
    sqlite3_str_appendall(s.get(), p->numPartitionColumns > 0 ? " AND " : " WHERE ");
    sqlite3_str_appendall(s.get(), "list IS ?");
  }
  return s.finish().release();
}

char* jix0_sql_insert_chunk(const jix0_vtab* p) {
  if (jix0_has_index(p)) {
    StrBuilder s(nullptr);
    sqlite3_str_appendf(s.get(), "INSERT INTO \"%w\".\"%w_chunks\"(size, validity, rowids",
                        p->schemaName, p->tableName);
    for (int i = 0; i < p->numPartitionColumns; i++) {
      sqlite3_str_appendf(s.get(), ", partition%02d", i);
    }
    sqlite3_str_appendall(s.get(), ", list) VALUES (?, ?, ?");
    for (int i = 0; i <= p->numPartitionColumns; i++) sqlite3_str_appendall(s.get(), ", ?");
    sqlite3_str_appendall(s.get(), ")");
    return s.finish().release();
  }
  if (p->numPartitionColumns == 0) {
    return sqlite3_mprintf(
        "INSERT INTO \"%w\".\"%w_chunks\"(size, validity, rowids) VALUES (?, ?, ?);", p->schemaName,
        p->tableName);
  }
  StrBuilder s(nullptr);
  sqlite3_str_appendf(s.get(), "INSERT INTO \"%w\".\"%w_chunks\"", p->schemaName, p->tableName);
  sqlite3_str_appendall(s.get(), "(size, validity, rowids");
  for (int i = 0; i < p->numPartitionColumns; i++) {
    sqlite3_str_appendf(s.get(), ", partition%02d", i);
  }
  sqlite3_str_appendall(s.get(), ") VALUES (?, ?, ?");
  for (int i = 0; i < p->numPartitionColumns; i++) sqlite3_str_appendall(s.get(), ", ?");
  sqlite3_str_appendall(s.get(), ")");
  return s.finish().release();
}

char* jix0_sql_insert_auxiliary(const jix0_vtab* p) {
  StrBuilder s(nullptr);
  sqlite3_str_appendf(s.get(), "INSERT INTO \"%w\".\"%w_auxiliary\"(rowid ", p->schemaName,
                      p->tableName);
  for (int i = 0; i < p->numAuxiliaryColumns; i++) {
    sqlite3_str_appendf(s.get(), ", value%02d", i);
  }
  sqlite3_str_appendall(s.get(), ") VALUES (? ");
  for (int i = 0; i < p->numAuxiliaryColumns; i++) sqlite3_str_appendall(s.get(), ", ?");
  sqlite3_str_appendall(s.get(), ")");
  return s.finish().release();
}
