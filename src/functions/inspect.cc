// Placeholder bodies until these functions are built.
#include "functions/inspect.h"

void jix_length(sqlite3_context* context, int, sqlite3_value**) { sqlite3_result_error(context, "not implemented", -1); }
void jix_type(sqlite3_context* context, int, sqlite3_value**) { sqlite3_result_error(context, "not implemented", -1); }
void jix_to_json(sqlite3_context* context, int, sqlite3_value**) { sqlite3_result_error(context, "not implemented", -1); }
void jix_f32(sqlite3_context* context, int, sqlite3_value**) { sqlite3_result_error(context, "not implemented", -1); }
void jix_bit(sqlite3_context* context, int, sqlite3_value**) { sqlite3_result_error(context, "not implemented", -1); }
void jix_int8(sqlite3_context* context, int, sqlite3_value**) { sqlite3_result_error(context, "not implemented", -1); }
