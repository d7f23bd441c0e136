/* A C host: opens a database, loads jix, stores vectors in a jix0 table, registers an
 * array of its own memory as a static blob, and runs nearest-neighbour queries on both.
 *
 *   cc knn_example.c -lsqlite3 -o knn_example && ./knn_example build/jix.so
 */
#include <sqlite3.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

static int check(sqlite3 *db, int rc, const char *what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    return 1;
  }
  return 0;
}

static int load(sqlite3 *db, const char *path, const char *entry) {
  char *error = NULL;
  if (sqlite3_load_extension(db, path, entry, &error) != SQLITE_OK) {
    fprintf(stderr, "loading %s: %s\n", entry ? entry : "jix", error ? error : "?");
    sqlite3_free(error);
    return 1;
  }
  return 0;
}

/* Prints the rowids a query returns, comma-separated, into out. */
static int rowids_of(sqlite3 *db, const char *sql, const float *query, int dims, char *out,
                     size_t size) {
  sqlite3_stmt *stmt = NULL;
  if (check(db, sqlite3_prepare_v2(db, sql, -1, &stmt, NULL), sql)) return 1;
  sqlite3_bind_blob(stmt, 1, query, dims * (int)sizeof(float), SQLITE_STATIC);
  out[0] = 0;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    size_t used = strlen(out);
    snprintf(out + used, size - used, "%s%lld", used ? "," : "",
             (long long)sqlite3_column_int64(stmt, 0));
  }
  sqlite3_finalize(stmt);
  return check(db, rc, sql);
}

int main(int argc, char **argv) {
  const char *library = argc > 1 ? argv[1] : "build/jix";
  sqlite3 *db = NULL;
  if (sqlite3_open(":memory:", &db) != SQLITE_OK) return 1;
  sqlite3_enable_load_extension(db, 1);
  if (load(db, library, NULL) || load(db, library, "sqlite3_jix_static_blobs_init")) return 1;

  /* Vectors stored in the database. */
  if (check(db, sqlite3_exec(db,
                             "CREATE VIRTUAL TABLE points USING jix0(embedding float[2]);"
                             "INSERT INTO points(rowid, embedding) VALUES"
                             " (1, '[0, 0]'), (2, '[1, 0]'), (3, '[5, 5]'), (4, '[0, 2]');",
                             NULL, NULL, NULL),
            "create"))
    return 1;
  const float query[2] = {0.1f, 0.0f};
  char stored[128];
  if (rowids_of(db, "SELECT rowid FROM points WHERE embedding MATCH ? AND k = 3", query, 2,
                stored, sizeof stored))
    return 1;
  printf("jix0 nearest: %s\n", stored);

  /* Vectors in this program's own memory, searched without copying them. */
  static const float host_vectors[4][2] = {{9, 9}, {0.2f, 0.1f}, {-1, 0}, {0, 0}};
  char sql[256];
  snprintf(sql, sizeof sql,
           "INSERT INTO jix_static_blobs(name, data)"
           " VALUES ('host', jix_static_blob_from_raw(%lld, NULL, 2, 4));"
           "CREATE VIRTUAL TABLE host_points USING jix_static_blob_entries(host);",
           (long long)(intptr_t)host_vectors);
  if (check(db, sqlite3_exec(db, sql, NULL, NULL, NULL), "register")) return 1;
  char host[128];
  if (rowids_of(db, "SELECT rowid FROM host_points WHERE vector MATCH ? AND k = 2 ORDER BY distance",
                query, 2, host, sizeof host))
    return 1;
  printf("static blob nearest: %s\n", host);

  sqlite3_close(db);
  int ok = strcmp(stored, "1,2,4") == 0 && strcmp(host, "3,1") == 0;
  if (!ok) fprintf(stderr, "unexpected results\n");
  return ok ? 0 : 1;
}
