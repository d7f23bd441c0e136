// The statements a jix0 table keeps prepared: one slot per Jix0Stmt in jix0_vtab::stmts,
// prepared on first use and finalized together. Nothing outside jix0/storage/ touches them.
#pragma once

#include "jix0/table/table.h"

// The cached statement `which` (for per-column statements, `which` + column), prepared on
// first use. *out stays owned by the table: reset it after use (ResetOnExit). A failed prepare
// of a statement the row primitives name in messages sets "could not initialize '<name>'
// statement"; the others set no message.
[[nodiscard]] int jix0_stmt(jix0_vtab* p, Jix0Stmt which, int column, sqlite3_stmt** out);

// Finalizes one cached statement; it is prepared again on its next use.
void jix0_stmt_forget(jix0_vtab* p, Jix0Stmt which);

// Finalizes every cached statement; each is prepared again on its next use.
void jix0_stmts_finalize(jix0_vtab* p);
