// Planning shared by the eponymous table-valued functions that take one argument through a
// hidden column.
#pragma once

#include "base/sqlite.h"

// Every usable equality on argumentColumn becomes xFilter argument 1 and is omitted; without
// one there is nothing to list, so the plan is refused with SQLITE_CONSTRAINT.
int table_function_argument_plan(sqlite3_index_info* info, int argumentColumn);
