// Database format of jix0 tables.
//
// A jix0 table T in schema S keeps everything in ordinary tables of S named T_<suffix>; NN is
// a two-digit index ("%02d") of a column among the columns of its own kind. Databases written
// by one build are read by every other, so these names, statement texts and byte layouts are
// fixed.
//
//   T_info               key text primary key, value any. Four rows written at creation:
//                        CREATE_VERSION 'v0.1.9', CREATE_VERSION_MAJOR 0, _MINOR 1, _PATCH 9.
//                        Nothing reads them back. IVF tables add one more, below.
//   T_chunks             one row per chunk: chunk_id (INTEGER PRIMARY KEY AUTOINCREMENT, so
//                        ids are never reused), size (chunk_size at creation), validity,
//                        rowids. With partition keys also sequence_id (always NULL) and
//                        partitionNN, the untyped key values shared by all rows of the chunk.
//   T_rowids             one row per stored row: rowid (AUTOINCREMENT), id (the TEXT primary
//                        key, else NULL), chunk_id, chunk_offset (NULL until the slot is
//                        recorded).
//   T_vector_chunksNN    one row per chunk and vector column: the declared column "rowid" is
//                        NOT an alias of the hidden rowid; both hold the chunk_id, and BLOB
//                        I/O opens the row by the hidden one. vectors holds the slots' vectors.
//   T_auxiliary          one row per stored row (only with auxiliary columns): rowid and
//                        valueNN, untyped.
//   T_metadatachunksNN   one row per chunk and metadata column, keyed like T_vector_chunksNN;
//                        data holds the slots' values.
//   T_metadatatextNN     TEXT metadata columns only: one row per stored row whose text is
//                        longer than 12 bytes; the declared "rowid" column holds the row's
//                        rowid and data the whole text.
//
// A table with an IVF index (a vector column declared with index=ivf) has these besides; no
// other table has any of them:
//
//   T_chunks.list        a last column, list INTEGER: the list every row of the chunk belongs
//                        to, NULL for chunks of rows stored before the first build-index.
//   T_chunks UNIQUE      a table constraint UNIQUE(list, partitionNN..., chunk_id), always met
//                        (chunk_id is the key): its automatic index finds the newest chunk of a
//                        (partition, list) with one seek, and is renamed and dropped with
//                        T_chunks.
//   T_ivfcentroids       one row per list: list INTEGER PRIMARY KEY (0 .. lists - 1, no gaps)
//                        and centroid BLOB, the list's centre as a float32 vector of the
//                        column's dimensions (4 * dims bytes); for cosine columns of unit
//                        length. Empty before the first build. Tables created by older
//                        versions name it T_ivf_centroids and keep that name (renames
//                        included); the new name has no inner '_', so SQLite recognises it
//                        as a shadow table (and protects it under SQLITE_DBCONFIG_DEFENSIVE).
//   T_info 'IVF_BUILD'   a random nonzero integer written by each build-index, absent before
//                        the first: a table object keeps the centroids it read as long as
//                        this value is unchanged, and reads them again when another
//                        connection (or a rollback) changed it.
//
//   T_ivfcodes           one row per chunk while the current build keeps codes (else empty):
//                        chunk_id INTEGER PRIMARY KEY and codes BLOB, one byte per dimension
//                        of the indexed column for each slot (below). Created with the
//                        centroids table by tables declared with index=ivf, and by the first
//                        build of any other indexed table (so absent in files whose index
//                        was last built before codes existed); emptied by drop-index.
//   T_info 'IVF_CODES'   the current build's codes map, a BLOB of float32 values: one scale,
//                        then one offset per dimension; a slot's code for dimension j is
//                        clamp(round((x_j - offset_j) / scale), -127, 127) as int8. Written
//                        by each build-index, deleted by drop-index; absent: no codes.
//
// A table declared without index=ivf that build-index gave an index has T_chunks.list added
// by ALTER TABLE ADD COLUMN, an index T_chunks_list on (list, partitionNN..., chunk_id) in
// place of the UNIQUE constraint, T_ivf_centroids, and T_info 'IVF_COLUMN' (the indexed
// vector column's index), which makes every connection open it as indexed. Builds also write
// 'IVF_BUILT_AT' (UTC text), 'IVF_BUILD_ROWS' (rows placed) and the lists and probes options
// they were given, 'IVF_LISTS' and 'IVF_PROBES'; drop-index deletes these and IVF_BUILD.
//
// BLOB layouts, for slot i of a chunk of chunk_size slots (numbers in native byte order,
// little-endian on the hosts the format is written on):
//
//   validity             chunk_size / 8 bytes; bit i % 8 (least significant first) of byte
//                        i / 8 is 1 when slot i holds a row.
//   rowids               chunk_size * 8 bytes; int64 rowid of slot i at 8 * i, 0 when free.
//   vectors              chunk_size * B bytes, B the column's vector byte size (4 * dims for
//                        float32, dims for int8, dims / 8 for bit); slot i's vector at B * i
//                        in compact form, zero bytes when free.
//   codes                chunk_size * dims bytes; slot i's code at dims * i, zero bytes when
//                        free.
//   metadata BOOLEAN     chunk_size / 8 bytes, one bit per slot as in validity.
//   metadata INTEGER     chunk_size * 8 bytes, int64 at 8 * i.
//   metadata FLOAT       chunk_size * 8 bytes, IEEE double at 8 * i.
//   metadata TEXT        chunk_size * 16 bytes; at 16 * i an int32 byte length, then the first
//                        min(length, 12) bytes of the text, zero padded. Longer texts also
//                        live whole in T_metadatatextNN. A free slot reads as the empty text.
//
// Invariants every writer keeps: a stored row has one T_rowids row whose (chunk_id,
// chunk_offset) names a chunk whose validity bit is set and whose rowids entry is the row;
// every chunk has one row in each per-column chunk table, created and deleted with it; all
// rows of a chunk share its partition values; every chunk BLOB has exactly the size above
// (any other size is corruption); a new chunk is all zero bytes, and so is a freed slot; a
// chunk whose validity becomes all zero is deleted.
#pragma once

#include "jix0/table/table.h"

// The CREATE_VERSION row of T_info.
constexpr const char JIX0_CREATE_VERSION[] = "v0.1.9";
constexpr int JIX0_CREATE_VERSION_MAJOR = 0;
constexpr int JIX0_CREATE_VERSION_MINOR = 1;
constexpr int JIX0_CREATE_VERSION_PATCH = 9;

// Texts longer than this keep only their prefix in the metadata chunk.
constexpr int JIX0_METADATA_TEXT_PREFIX = 12;
constexpr int JIX0_METADATA_TEXT_ENTRY = 16;

// Statement texts, formatted with the schema and table names first unless noted.
constexpr const char JIX0_SQL_CREATE_INFO[] =
    "CREATE TABLE \"%w\".\"%w_info\" (key text primary key, value any)";
constexpr const char JIX0_SQL_SEED_INFO[] =
    "INSERT INTO \"%w\".\"%w_info\"(key, value) VALUES (?1, ?2), (?3, ?4), (?5, ?6), (?7, ?8) ";
constexpr const char JIX0_SQL_CREATE_ROWIDS[] =
    "CREATE TABLE \"%w\".\"%w_rowids\"(rowid INTEGER PRIMARY KEY AUTOINCREMENT,id,chunk_id "
    "INTEGER,chunk_offset INTEGER);";
constexpr const char JIX0_SQL_CREATE_ROWIDS_TEXT_PK[] =
    "CREATE TABLE \"%w\".\"%w_rowids\"(rowid INTEGER PRIMARY KEY AUTOINCREMENT,id TEXT UNIQUE NOT "
    "NULL,chunk_id INTEGER,chunk_offset INTEGER);";
// Then the vector index.
constexpr const char JIX0_SQL_CREATE_VECTOR_CHUNKS[] =
    "CREATE TABLE \"%w\".\"%w_vector_chunks%02d\"(rowid PRIMARY KEY,vectors BLOB NOT NULL);";
// Then the metadata index.
constexpr const char JIX0_SQL_CREATE_METADATA_CHUNKS[] =
    "CREATE TABLE \"%w\".\"%w_metadatachunks%02d\"(rowid PRIMARY KEY, data BLOB NOT NULL);";
// The index's own statements belong to it (jix0/index/).
constexpr const char JIX0_SQL_CREATE_METADATA_TEXT[] =
    "CREATE TABLE \"%w\".\"%w_metadatatext%02d\"(rowid PRIMARY KEY, data TEXT);";

constexpr const char JIX0_SQL_ROWIDS_GET_CHUNK_POSITION[] =
    "SELECT id, chunk_id, chunk_offset FROM \"%w\".\"%w_rowids\" WHERE rowid = ?";
constexpr const char JIX0_SQL_ROWIDS_INSERT_ROWID[] =
    "INSERT INTO \"%w\".\"%w_rowids\"(rowid)VALUES (?);";
constexpr const char JIX0_SQL_ROWIDS_INSERT_ID[] =
    "INSERT INTO \"%w\".\"%w_rowids\"(id)VALUES (?);";
constexpr const char JIX0_SQL_ROWIDS_UPDATE_POSITION[] =
    " UPDATE \"%w\".\"%w_rowids\" SET chunk_id = ?, chunk_offset = ? WHERE rowid = ?";
constexpr const char JIX0_SQL_ROWID_FROM_ID[] =
    "SELECT rowid FROM \"%w\".\"%w_rowids\" WHERE id = ?";
// Then the partition index, schema and table names.
constexpr const char JIX0_SQL_SELECT_PARTITION[] =
    "SELECT partition%02d FROM \"%w\".\"%w_chunks\" WHERE chunk_id = ?";
// Then the auxiliary index, schema and table names.
constexpr const char JIX0_SQL_SELECT_AUXILIARY[] =
    "SELECT value%02d FROM \"%w\".\"%w_auxiliary\" WHERE rowid = ?";
// Then the vector index.
constexpr const char JIX0_SQL_INSERT_VECTOR_CHUNK[] =
    "INSERT INTO \"%w\".\"%w_vector_chunks%02d\"(_rowid_, rowid, vectors)VALUES (?, ?, ?)";
// Then the metadata index.
constexpr const char JIX0_SQL_INSERT_METADATA_CHUNK[] =
    "INSERT INTO \"%w\".\"%w_metadatachunks%02d\"(_rowid_, rowid, data)VALUES (?, ?, ?)";
// Then the metadata index; ?1 is the row's rowid, ?2 the whole text.
constexpr const char JIX0_SQL_SELECT_METADATA_TEXT[] =
    "SELECT data FROM \"%w\".\"%w_metadatatext%02d\" WHERE rowid = ?";
constexpr const char JIX0_SQL_INSERT_METADATA_TEXT[] =
    "INSERT INTO \"%w\".\"%w_metadatatext%02d\" (rowid, data) VALUES (?1, ?2)";
constexpr const char JIX0_SQL_UPDATE_METADATA_TEXT[] =
    "UPDATE \"%w\".\"%w_metadatatext%02d\" SET data = ?2 WHERE rowid = ?1";
constexpr const char JIX0_SQL_DELETE_METADATA_TEXT[] =
    "DELETE FROM \"%w\".\"%w_metadatatext%02d\" WHERE rowid = ?";
// Deletes of one stored row's rows; ? is its rowid.
constexpr const char JIX0_SQL_DELETE_ROWID[] = "DELETE FROM \"%w\".\"%w_rowids\" WHERE rowid = ?";
constexpr const char JIX0_SQL_DELETE_AUXILIARY[] =
    "DELETE FROM \"%w\".\"%w_auxiliary\" WHERE rowid = ?";
// Deletes of one chunk's rows, then NN; ? is the chunk_id.
constexpr const char JIX0_SQL_DELETE_CHUNK[] = "DELETE FROM \"%w\".\"%w_chunks\" WHERE rowid = ?";
constexpr const char JIX0_SQL_DELETE_VECTOR_CHUNK[] =
    "DELETE FROM \"%w\".\"%w_vector_chunks%02d\" WHERE rowid = ?";
constexpr const char JIX0_SQL_DELETE_METADATA_CHUNK[] =
    "DELETE FROM \"%w\".\"%w_metadatachunks%02d\" WHERE rowid = ?";

// The codes table's rows, formatted with the schema and the codes table's whole name. The
// insert binds like the per-column chunk inserts: ?1 and ?2 the chunk_id, ?3 the codes.
constexpr const char JIX0_SQL_INSERT_CODES[] =
    "INSERT INTO \"%w\".\"%w\"(chunk_id, codes) VALUES (?1, ?3)";
constexpr const char JIX0_SQL_DELETE_CODES[] = "DELETE FROM \"%w\".\"%w\" WHERE chunk_id = ?";

// Statements whose text depends on the table's columns. Each returns an sqlite3_malloc'd
// text the caller frees, or null when memory runs out.

// CREATE TABLE of T_chunks, in its partitioned form when the table has partition keys, and
// with the list column on indexed tables.
char* jix0_sql_create_chunks(const jix0_vtab* p);
// The same without the list column.
char* jix0_sql_create_chunks_plain(const jix0_vtab* p);
// CREATE TABLE of T_auxiliary. REQUIRES: p->numAuxiliaryColumns > 0.
char* jix0_sql_create_auxiliary(const jix0_vtab* p);
// The newest chunk of a partition: one `partitionNN IS ?` parameter per partition key, so
// that rows whose key is NULL share chunks too; on indexed tables then `list IS ?`.
char* jix0_sql_latest_chunk(const jix0_vtab* p);
// INSERT of an empty chunk: size, validity, rowids, then one parameter per partition key,
// then on indexed tables the list.
char* jix0_sql_insert_chunk(const jix0_vtab* p);
// INSERT of a row's auxiliary values: the rowid, then one parameter per auxiliary column.
char* jix0_sql_insert_auxiliary(const jix0_vtab* p);
