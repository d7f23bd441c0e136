// Placeholder until static blobs are built.
#include "table_functions/static_blobs.h"

void jix_static_blob_from_raw(sqlite3_context* context, int, sqlite3_value**) {
  sqlite3_result_error(context, "not implemented", -1);
}
const sqlite3_module jix_static_blobsModule = {};
const sqlite3_module jix_static_blob_entriesModule = {};
