// jix0 cursor callbacks: xOpen, xClose, xFilter (dispatch to full scan, point lookup, KNN),
// xNext, xEof, xColumn, xRowid; the cursor and its per-plan records.
//
// The cursor and its records live in sqlite3_malloc'd memory between xOpen and xClose, so
// they hold raw pointers only; the *_clear functions release what they own.
#pragma once

#include <cstdint>

#include "jix0/query/row_reader.h"
#include "jix0/table/table.h"

// Full scan: the rowids table in storage order.
struct jix0_query_fullscan_data {
  sqlite3_stmt* rowids_stmt;  // owned; positioned on the current row
  int8_t done;
};

// Point lookup of one row by rowid or TEXT id.
struct jix0_query_point_data {
  sqlite3_int64 rowid;
  void* vectors[JIX0_MAX_VECTOR_COLUMNS];  // owned; the row's stored vectors, read by the filter
  int done;                                // 1 when there is no row, or after xNext
};

// KNN result, ascending distance.
struct jix0_query_knn_data {
  sqlite3_int64 k;
  sqlite3_int64 k_used;   // valid entries of rowids and distances
  sqlite3_int64* rowids;  // owned; k entries, null when k is 0
  float* distances;       // owned; parallel to rowids
  // owned; parallel to rowids: where each row was stored when the search read it
  sqlite3_int64* chunks;
  int32_t* slots;
  sqlite3_int64 current_idx;
};

struct jix0_cursor {
  sqlite3_vtab_cursor base;  // must be first: SQLite hands us sqlite3_vtab_cursor*
  int query_plan;            // plan character of the last successful xFilter, 0 before any
  jix0_query_fullscan_data* fullscan_data;  // owned; at most one of the three is set
  jix0_query_knn_data* knn_data;
  jix0_query_point_data* point_data;
  // sqlite3_total_changes when the filter ran. Once it moves, rows may have been deleted
  // under the cursor, and xNext passes over the ones that no longer exist. (Not the 64-bit
  // form: hosts before SQLite 3.37 lack it, and only a change matters, not the count.)
  int changesAtFilter;
  jix0_row_reader reader;  // reads the cells of the row the cursor stands on
  // The last row position looked up, and sqlite3_total_changes then: a row's cells share it.
  jix0_row_place place;
  bool placeKnown;
  int placeChanges;
};

// Each releases what the record owns, not the record itself. Accept null.
void jix0_query_fullscan_data_clear(jix0_query_fullscan_data* data);
void jix0_query_knn_data_clear(jix0_query_knn_data* data);
void jix0_query_point_data_clear(jix0_query_point_data* data);
// Releases all three records and closes the reader's BLOB handles; query_plan keeps its
// value.
void jix0_cursor_clear(jix0_cursor* cursor);

int jix0Open(sqlite3_vtab* pVtab, sqlite3_vtab_cursor** ppCursor);
int jix0Close(sqlite3_vtab_cursor* cur);
int jix0Filter(sqlite3_vtab_cursor* cur, int idxNum, const char* idxStr, int argc,
               sqlite3_value** argv);
int jix0Next(sqlite3_vtab_cursor* cur);
int jix0Eof(sqlite3_vtab_cursor* cur);
int jix0Column(sqlite3_vtab_cursor* cur, sqlite3_context* context, int i);
int jix0Rowid(sqlite3_vtab_cursor* cur, sqlite_int64* pRowid);
