// Placeholder until NumPy input is built.
#include "table_functions/npy.h"

void jix_npy_file(sqlite3_context* context, int, sqlite3_value**) {
  sqlite3_result_error(context, "not implemented", -1);
}
const sqlite3_module jix_npy_eachModule = {};
