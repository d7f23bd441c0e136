// Placeholder bodies until these functions are built.
#include "functions/arithmetic.h"

void jix_add(sqlite3_context* context, int, sqlite3_value**) { sqlite3_result_error(context, "not implemented", -1); }
void jix_sub(sqlite3_context* context, int, sqlite3_value**) { sqlite3_result_error(context, "not implemented", -1); }
void jix_slice(sqlite3_context* context, int, sqlite3_value**) { sqlite3_result_error(context, "not implemented", -1); }
void jix_normalize(sqlite3_context* context, int, sqlite3_value**) { sqlite3_result_error(context, "not implemented", -1); }
