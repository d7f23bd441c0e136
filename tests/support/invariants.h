// A checker of the jix0 storage invariants, read straight from the shadow tables.
#pragma once

#include <sqlite3.h>

#include <string>

// Returns "" when every storage invariant of jix0 table `table` in schema `schema` holds,
// else a description of the first few violations. Reads only the shadow tables, so it
// checks what any later connection would see:
//  - every rowids row has a position in an existing chunk whose validity bit is set and
//    whose rowid array names it back; every set bit is owned by exactly one rowids row;
//  - every chunk has exactly one row in each per-column chunk table, and those tables hold
//    nothing else; every chunk BLOB has the size its chunk_size gives;
//  - free slots are all zero (rowid entry, vector bytes, metadata bytes); no chunk is empty;
//  - auxiliary rows and long-text rows exist exactly for the rows that need them, and each
//    long text has the length and 12-byte prefix its chunk entry records;
//  - T_rowids ids are all NULL without a TEXT primary key, distinct TEXT values with one;
//  - every chunk of a vector column stores vectors of the same width.
std::string CheckJix0Invariants(sqlite3* db, const std::string& table,
                                const std::string& schema = "main");
