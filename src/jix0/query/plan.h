// jix0 query planning (xBestIndex) and the plan string it hands to xFilter.
#pragma once

#include "vector/sqlite.h"

int jix0BestIndex(sqlite3_vtab* pVtab, sqlite3_index_info* info);
