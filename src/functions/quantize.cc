// Placeholder bodies until these functions are built.
#include "functions/quantize.h"

void jix_quantize_int8(sqlite3_context* context, int, sqlite3_value**) { sqlite3_result_error(context, "not implemented", -1); }
void jix_quantize_binary(sqlite3_context* context, int, sqlite3_value**) { sqlite3_result_error(context, "not implemented", -1); }
