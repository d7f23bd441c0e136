// jix0 cursor callbacks: xOpen, xClose, xFilter (dispatch to full scan, point lookup, KNN),
// xNext, xEof, xColumn, xRowid.
#pragma once

#include "vector/sqlite.h"

int jix0Open(sqlite3_vtab* pVtab, sqlite3_vtab_cursor** ppCursor);
int jix0Close(sqlite3_vtab_cursor* cur);
int jix0Filter(sqlite3_vtab_cursor* cur, int idxNum, const char* idxStr, int argc,
               sqlite3_value** argv);
int jix0Next(sqlite3_vtab_cursor* cur);
int jix0Eof(sqlite3_vtab_cursor* cur);
int jix0Column(sqlite3_vtab_cursor* cur, sqlite3_context* context, int i);
int jix0Rowid(sqlite3_vtab_cursor* cur, sqlite_int64* pRowid);
