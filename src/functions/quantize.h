// Quantisation: jix_quantize_int8 (2 arguments), jix_quantize_binary (1).
#pragma once

#include "base/sqlite.h"

void jix_quantize_int8(sqlite3_context* context, int argc, sqlite3_value** argv);
void jix_quantize_binary(sqlite3_context* context, int argc, sqlite3_value** argv);
