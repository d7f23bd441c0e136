// The jix0 module under another name whose constructors also record the table object they
// build, so that tests can call the storage primitives on a live table and read the
// messages SQLite does not pass on (xDestroy's).
#pragma once

#include <sqlite3.h>

struct jix0_vtab;

// Registers "jix0_capture" on db. Tables created or connected through it are recorded.
void RegisterCapturingJix0(sqlite3* db);
// The object built by the latest successful xCreate or xConnect of "jix0_capture".
jix0_vtab* LastCapturedJix0();
// The table's message after the latest failed xDestroy of "jix0_capture" ("" for none).
// Read here because SQLite does not report it, and may free the object right after.
const char* LastDestroyMessage();
