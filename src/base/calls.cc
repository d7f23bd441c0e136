#include "base/calls.h"

#if defined(JIX_FAULT_HOOK)
#include <atomic>
#endif

namespace {

thread_local sqlite3_uint64 writes = 0;

#if defined(JIX_FAULT_HOOK)
std::atomic<long> faultCountdown{0};
std::atomic<int> faultCode{SQLITE_OK};
std::atomic<bool> faultFired{false};

// The armed code when this call is the one to fail, else SQLITE_OK.
int injected() {
  if (faultCountdown.load(std::memory_order_relaxed) <= 0) return SQLITE_OK;
  if (faultCountdown.fetch_sub(1) != 1) return SQLITE_OK;
  faultFired = true;
  return faultCode.load();
}
#else
constexpr int injected() {
  return SQLITE_OK;
}
#endif

}  // namespace

#if defined(JIX_FAULT_HOOK)
void jix_fault_arm(long n, int code) {
  faultFired = false;
  faultCode = code;
  faultCountdown = n;
}

bool jix_fault_fired() {
  return faultFired;
}
#endif

sqlite3_uint64 jix_write_count() {
  return writes;
}

int jix_step(sqlite3_stmt* stmt) {
  if (int rc = injected()) return rc;
  int rc = sqlite3_step(stmt);
  if ((rc == SQLITE_DONE || rc == SQLITE_ROW) && !sqlite3_stmt_readonly(stmt)) writes++;
  return rc;
}

int jix_prepare_v2(sqlite3* db, const char* sql, int bytes, sqlite3_stmt** out, const char** tail) {
  if (int rc = injected()) {
    *out = nullptr;
    return rc;
  }
  return sqlite3_prepare_v2(db, sql, bytes, out, tail);
}

int jix_blob_open(sqlite3* db, const char* schema, const char* table, const char* column,
                  sqlite3_int64 row, int writable, sqlite3_blob** out) {
  if (int rc = injected()) {
    *out = nullptr;
    return rc;
  }
  return sqlite3_blob_open(db, schema, table, column, row, writable, out);
}

int jix_blob_read(sqlite3_blob* blob, void* out, int bytes, int offset) {
  if (int rc = injected()) return rc;
  return sqlite3_blob_read(blob, out, bytes, offset);
}

int jix_blob_write(sqlite3_blob* blob, const void* in, int bytes, int offset) {
  if (int rc = injected()) return rc;
  int rc = sqlite3_blob_write(blob, in, bytes, offset);
  if (rc == SQLITE_OK) writes++;
  return rc;
}

int jix_blob_reopen(sqlite3_blob* blob, sqlite3_int64 row) {
  if (int rc = injected()) return rc;
  return sqlite3_blob_reopen(blob, row);
}
