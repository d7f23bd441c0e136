// Arithmetic, slicing and normalisation: jix_add, jix_sub (2 arguments), jix_slice (3),
// jix_normalize (1).
#pragma once

#include "base/sqlite.h"

void jix_add(sqlite3_context* context, int argc, sqlite3_value** argv);
void jix_sub(sqlite3_context* context, int argc, sqlite3_value** argv);
void jix_slice(sqlite3_context* context, int argc, sqlite3_value** argv);
void jix_normalize(sqlite3_context* context, int argc, sqlite3_value** argv);
