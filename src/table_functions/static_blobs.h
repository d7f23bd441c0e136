// Static blobs: float32 vector arrays in host memory, registered through the eponymous
// table jix_static_blobs and read or searched through jix_static_blob_entries tables.
#pragma once

#include "base/sqlite.h"

constexpr int JIX_STATIC_BLOB_SLOTS = 16;

struct static_blob {
  char* name;  // none while the slot is free
  void* data;  // host memory, never owned
  sqlite3_int64 dimensions;
  sqlite3_int64 count;
  int element_type;
};

// One per connection that loads the entry point; owned by the jix_static_blobs module.
struct static_blob_registry {
  static_blob slots[JIX_STATIC_BLOB_SLOTS];
};

// Frees a registry and the names it holds; the module destructor of jix_static_blobs.
void static_blob_registry_free(void* registry);

void jix_static_blob_from_raw(sqlite3_context* context, int argc, sqlite3_value** argv);
extern const sqlite3_module jix_static_blobsModule;
extern const sqlite3_module jix_static_blob_entriesModule;
