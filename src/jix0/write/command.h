// Commands run through the hidden command column: INSERT INTO t(t) VALUES ('optimize').
#pragma once

#include "jix0/table/table.h"

// True when an xUpdate insert or update carries a non-NULL value in the command column.
// REQUIRES: argc is xUpdate's, with argv[0] the old key.
bool jix0_command_given(const jix0_vtab* p, int argc, sqlite3_value** argv);

// Runs the command an INSERT names. Refuses a command combined with other values and names
// the known commands when the command is unknown; every message is set on the table.
[[nodiscard]] int jix0_run_command(jix0_vtab* p, int argc, sqlite3_value** argv);

// Refuses an UPDATE that assigns the command column. Always SQLITE_ERROR with a message.
[[nodiscard]] int jix0_command_update_error(jix0_vtab* p);

// 'optimize': within each partition, moves rows from the newest chunks into the lowest free
// slots of older ones and deletes the chunks this empties, so the partition keeps the fewest
// chunks its rows need. Every chunk the move touches is checked before the first write; a
// failure after that is one SQLite answers by rolling back (out of memory, I/O, disk full,
// interrupt), so the table never stays half-compacted.
[[nodiscard]] int jix0_optimize(jix0_vtab* p);
