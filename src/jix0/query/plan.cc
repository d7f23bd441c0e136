// Placeholder until query planning is built.
#include "jix0/query/plan.h"

int jix0BestIndex(sqlite3_vtab*, sqlite3_index_info*) { return SQLITE_ERROR; }
