// What the IVF index adds to a table's declaration and shadow tables: its option checks, the
// chunk size of a table declared without one, and the name of its centroids table.
#pragma once

#include "jix0/table/table.h"

// An IVF table's chunks are smaller: each list keeps a partly filled last chunk, and the
// waste must stay a small part of the file.
constexpr int JIX0_IVF_DEFAULT_CHUNK_SIZE = 64;

constexpr const char JIX0_SQL_SELECT_IVF_BUILD[] =
    "SELECT value FROM \"%w\".\"%w_info\" WHERE key = 'IVF_BUILD'";
constexpr const char JIX0_SQL_SELECT_CENTROIDS[] =
    "SELECT list, centroid FROM \"%w\".\"%w\" ORDER BY list";

// The IVF options of one vector column declared with index=ivf. SQLITE_ERROR with
// *outMessage (sqlite3_malloc'd) saying why when they are refused; SQLITE_NOMEM.
[[nodiscard]] int jix0_ivf_check_options(const jix0_vtab* p, const VectorColumnDefinition& v,
                                         char** outMessage);

// The centroids table of table `table`: T_ivfcentroids, or T_ivf_centroids, the name older
// versions gave it, when olderName. Null when memory runs out.
char* jix0_ivf_centroids_name(const char* table, bool olderName);
// Whether a centroids table's name is the older form.
bool jix0_ivf_is_older_centroids_name(const char* name);
// The codes table of table `table`, T_ivfcodes. Null when memory runs out.
char* jix0_ivf_codes_name(const char* table);
// Whether suffix (after "T_") names the codes table.
bool jix0_ivf_is_codes_suffix(const char* suffix);
// Makes the codes table, kept if it is there; drops it if it exists.
[[nodiscard]] int jix0_ivf_add_codes_table(jix0_vtab* p);
[[nodiscard]] int jix0_ivf_drop_codes(jix0_vtab* p);
// Whether suffix (after "T_") names the centroids table in either form.
bool jix0_ivf_is_centroids_suffix(const char* suffix);

// Creates the centroids table of a new table declared with index=ivf. On failure *pzErr says
// why.
[[nodiscard]] int jix0_ivf_create_centroids(jix0_vtab* p, char** pzErr);
// The statement that gives a table the centroids table when build-index turns its index on
// (T_ivfcentroids; kept if a table of that name is there). Null when memory runs out.
char* jix0_ivf_sql_add_centroids(const char* schema, const char* table);
// Drops the centroids table, if it exists.
[[nodiscard]] int jix0_ivf_drop_centroids(jix0_vtab* p);

// Whether the table, created by an older version, names its centroids table T_ivf_centroids.
// A failed look-up sets *pzErr, naming the table.
[[nodiscard]] int jix0_ivf_has_older_centroids_name(jix0_vtab* p, const char* table, bool* outOlder,
                                                    char** pzErr);

// The chunk size of a new indexed table declared without chunk_size: the rows of about
// Reads the integer T_info row `key`; *outFound is false when there is none (or it is no
// integer).
[[nodiscard]] int jix0_ivf_info_read(jix0_vtab* p, const char* key, sqlite3_int64* outValue,
                                     bool* outFound);
// A T_info row as read at connect: found, and whether its value is an integer.
struct InfoValue {
  bool found = false;
  bool integer = false;
  sqlite3_int64 value = 0;
};
// At connect: reads T_info row `key`. A T_info that cannot be read (damage) reads as no row;
// running out of memory and failed steps are errors.
[[nodiscard]] int jix0_ivf_info_read_at_connect(jix0_vtab* p, const char* key, InfoValue* out);
// Writes the integer T_info row `key`, replacing the one there.
[[nodiscard]] int jix0_ivf_info_write(jix0_vtab* p, const char* key, sqlite3_int64 value);

// 64 KiB of the indexed column's vectors, from 64 to 256.
int jix0_ivf_chunk_size_by_bytes(const jix0_vtab* p);
// At create, for a table given jix0_ivf_chunk_size_by_bytes: records its chunk size in T_info
// 'IVF_CHUNK_SIZE', since a later version may size new tables' chunks otherwise.
[[nodiscard]] int jix0_ivf_record_chunk_size(jix0_vtab* p);
// At connect, for an indexed table declared without chunk_size: the recorded chunk size, or
// JIX0_IVF_DEFAULT_CHUNK_SIZE for tables created before chunks were sized in bytes. A value
// that is no chunk size sets *pzErr.
[[nodiscard]] int jix0_ivf_stored_chunk_size(jix0_vtab* p, int* outChunkSize, char** pzErr);
