/* A C host: opens a database, loads jix, stores vectors in a jix0 table, registers an
 * array of its own memory as a static blob, and runs nearest-neighbour queries on both.
 * README.md shows parts of this file; the tests check that they are still the same.
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

/* Writes the rows a query returns into out: columns separated by '|', rows by ','. The
 * query vector, when given, is bound to the first parameter. */
static int rows_of(sqlite3 *db, const char *sql, const float *query, int dims, char *out,
                   size_t size) {
  sqlite3_stmt *stmt = NULL;
  if (check(db, sqlite3_prepare_v2(db, sql, -1, &stmt, NULL), sql)) return 1;
  if (query) sqlite3_bind_blob(stmt, 1, query, dims * (int)sizeof(float), SQLITE_STATIC);
  out[0] = 0;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    for (int i = 0; i < sqlite3_column_count(stmt); i++) {
      size_t used = strlen(out);
      snprintf(out + used, size - used, "%s%s", used == 0 ? "" : i == 0 ? "," : "|",
               (const char *)sqlite3_column_text(stmt, i));
    }
  }
  sqlite3_finalize(stmt);
  return check(db, rc, sql);
}

int main(int argc, char **argv) {
  const char *library = argc > 1 ? argv[1] : "build/jix";
  sqlite3 *db = NULL;
  char *err = NULL;
  if (sqlite3_open(":memory:", &db) != SQLITE_OK) return 1;
  sqlite3_enable_load_extension(db, 1);
  if (load(db, library, NULL) || load(db, library, "sqlite3_jix_static_blobs_init")) return 1;

  /* Vectors stored in the database. */
  if (check(db, sqlite3_exec(db,
                             "CREATE VIRTUAL TABLE stored USING jix0(embedding float[2]);"
                             "INSERT INTO stored(rowid, embedding) VALUES"
                             " (1, '[0, 0]'), (2, '[1, 0]'), (3, '[5, 5]'), (4, '[0, 2]');",
                             NULL, NULL, NULL),
            "create"))
    return 1;
  const float near_origin[2] = {0.1f, 0.0f};
  char stored[128];
  if (rows_of(db, "SELECT rowid FROM stored WHERE embedding MATCH ? AND k = 3", near_origin, 2,
              stored, sizeof stored))
    return 1;
  printf("jix0 nearest: %s\n", stored);

  /* Vectors in this program's own memory, searched without copying them. */
  static const float vectors[4][3] = {{0, 0, 0}, {1, 0, 0}, {0, 2, 0}, {0, 0, 3}};

  sqlite3_stmt* stmt;
  sqlite3_prepare_v2(db,
      "insert into jix_static_blobs(name, data) "
      "values ('points', jix_static_blob_from_raw(?, null, 3, 4))",  /* dimensions, count */
      -1, &stmt, NULL);
  sqlite3_bind_int64(stmt, 1, (sqlite3_int64)(intptr_t)vectors);
  sqlite3_step(stmt);
  sqlite3_finalize(stmt);

  sqlite3_exec(db, "create virtual table points using jix_static_blob_entries(points)",
               NULL, NULL, &err);
  if (err) {
    fprintf(stderr, "register: %s\n", err);
    sqlite3_free(err);
    return 1;
  }

  /* The queries README.md shows for this table. */
  const float query[3] = {0.9f, 0, 0};
  char nearest[128], scan[256], registry[128];
  if (rows_of(db, "select rowid from points where vector match ? and k = 2 order by distance",
              query, 3, nearest, sizeof nearest) ||
      rows_of(db, "select rowid, jix_to_json(vector) from points", NULL, 0, scan, sizeof scan) ||
      rows_of(db, "select name, dimensions, count from jix_static_blobs", NULL, 0, registry,
              sizeof registry))
    return 1;
  printf("static blob nearest: %s\nstatic blob rows: %s\nregistered: %s\n", nearest, scan,
         registry);

  sqlite3_close(db);
  int ok = strcmp(stored, "1,2,4") == 0 && strcmp(nearest, "1,0") == 0 &&
           strcmp(scan,
                  "0|[0.000000,0.000000,0.000000],1|[1.000000,0.000000,0.000000],"
                  "2|[0.000000,2.000000,0.000000],3|[0.000000,0.000000,3.000000]") == 0 &&
           strcmp(registry, "points|3|4") == 0;
  if (!ok) fprintf(stderr, "unexpected results\n");
  return ok ? 0 : 1;
}
