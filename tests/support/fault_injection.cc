#include "support/fault_injection.h"

#include <utility>

namespace {

sqlite3_mem_methods g_real;
bool g_installed = false;
long g_countdown = 0;  // allocations left until the fault; 0 when disarmed
bool g_persistent = false;
long g_failures = 0;

bool ShouldFail() {
  if (g_countdown == 0) return false;
  if (g_countdown > 1) {
    g_countdown--;
    return false;
  }
  g_failures++;
  if (!g_persistent) g_countdown = 0;
  return true;
}

void* FaultMalloc(int n) {
  return ShouldFail() ? nullptr : g_real.xMalloc(n);
}
void* FaultRealloc(void* p, int n) {
  return ShouldFail() ? nullptr : g_real.xRealloc(p, n);
}

}  // namespace

void AllocationFaults::Install() {
  ASSERT_FALSE(g_installed);
  ASSERT_EQ(sqlite3_shutdown(), SQLITE_OK);
  ASSERT_EQ(sqlite3_config(SQLITE_CONFIG_GETMALLOC, &g_real), SQLITE_OK);
  sqlite3_mem_methods faulty = g_real;
  faulty.xMalloc = FaultMalloc;
  faulty.xRealloc = FaultRealloc;
  ASSERT_EQ(sqlite3_config(SQLITE_CONFIG_MALLOC, &faulty), SQLITE_OK);
  ASSERT_EQ(sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 0, 0), SQLITE_OK);
  ASSERT_EQ(sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 1), SQLITE_OK);
  ASSERT_EQ(sqlite3_initialize(), SQLITE_OK);
  g_installed = true;
}

void AllocationFaults::Uninstall() {
  if (!g_installed) return;
  Disarm();
  sqlite3_shutdown();
  sqlite3_config(SQLITE_CONFIG_MALLOC, &g_real);
  sqlite3_initialize();
  g_installed = false;
}

void AllocationFaults::Arm(long n, bool persistent) {
  g_countdown = n;
  g_persistent = persistent;
  g_failures = 0;
}

long AllocationFaults::Disarm() {
  g_countdown = 0;
  return std::exchange(g_failures, 0);
}

AllocationFaults::Pause::Pause() : saved_(std::exchange(g_countdown, 0)) {}
AllocationFaults::Pause::~Pause() {
  g_countdown = saved_;
}
