// Allocation failures on demand: SQLite's allocator is swapped for one that fails the Nth
// allocation after arming (and, when persistent, every one after it), as SQLite's own
// fault-simulation tests do. Everything that allocates through SQLite is reached: the
// library uses nothing else.
#pragma once

#include <sqlite3.h>

#include <gtest/gtest.h>

class AllocationFaults {
 public:
  // Shuts SQLite down and re-initialises it with the failing allocator (no connection may
  // be open). Lookaside is switched off so small allocations reach the allocator too.
  static void Install();
  // Restores the allocator that was there before Install().
  static void Uninstall();
  // Fails allocation n from now (n >= 1); with persistent, every later one too.
  static void Arm(long n, bool persistent);
  // Stops failing; returns how many allocations were refused since Arm().
  static long Disarm();

  // Suspends failures for the test's own work (rendering rows), restoring them afterwards.
  class Pause {
   public:
    Pause();
    ~Pause();

   private:
    long saved_;
  };
};

// A test whose body runs with the failing allocator installed (and disarmed).
class AllocationFaultTest : public ::testing::Test {
 protected:
  void SetUp() override { AllocationFaults::Install(); }
  void TearDown() override { AllocationFaults::Uninstall(); }
};
