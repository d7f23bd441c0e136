// Inspection and conversion functions: jix_length, jix_type, jix_to_json, jix_f32, jix_bit,
// jix_int8 (one argument each).
#pragma once

#include "base/sqlite.h"

void jix_length(sqlite3_context* context, int argc, sqlite3_value** argv);
void jix_type(sqlite3_context* context, int argc, sqlite3_value** argv);
void jix_to_json(sqlite3_context* context, int argc, sqlite3_value** argv);
void jix_f32(sqlite3_context* context, int argc, sqlite3_value** argv);
void jix_bit(sqlite3_context* context, int argc, sqlite3_value** argv);
void jix_int8(sqlite3_context* context, int argc, sqlite3_value** argv);
