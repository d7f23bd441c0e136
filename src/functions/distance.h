// SQL distance functions: jix_distance_l2, _l1, _cosine, _hamming (two arguments each).
#pragma once

#include "base/sqlite.h"

void jix_distance_l2(sqlite3_context* context, int argc, sqlite3_value** argv);
void jix_distance_l1(sqlite3_context* context, int argc, sqlite3_value** argv);
void jix_distance_cosine(sqlite3_context* context, int argc, sqlite3_value** argv);
void jix_distance_hamming(sqlite3_context* context, int argc, sqlite3_value** argv);
