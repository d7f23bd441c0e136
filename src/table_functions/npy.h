// NumPy input: jix_npy_file(path) and the eponymous table-valued function jix_npy_each.
#pragma once

#include "vector/sqlite.h"

void jix_npy_file(sqlite3_context* context, int argc, sqlite3_value** argv);
extern const sqlite3_module jix_npy_eachModule;
