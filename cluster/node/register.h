// Registers jix in every SQLite connection this process opens, the dqlite engine's included.
#pragma once

// Loads the library at `path`, registers its main entry point sqlite3_jix_init as an automatic
// extension and checks that it answers on a fresh connection. Returns 0 and sets *outVersion to
// the version the library reports, or returns 1 and sets *outError. The caller frees either
// text with sqlite3_free().
// REQUIRES: called once, from main, after SQLite's threading mode is configured and before any
// connection is opened.
int jix_register(const char* path, char** outVersion, char** outError);
