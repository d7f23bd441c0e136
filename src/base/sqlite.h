// The one include through which the library reaches SQLite.
//
// The loadable build calls SQLite through the host's API routine table (sqlite3ext.h
// turns every sqlite3_* call into sqlite3_api->...), so it works in hosts that link their
// own SQLite without exporting it. The static test build defines SQLITE_CORE, which makes
// the same names direct calls.
#pragma once

#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT3

// Flags newer than SQLite 3.40's headers; older libraries ignore unknown flag bits.
#ifndef SQLITE_RESULT_SUBTYPE
#define SQLITE_RESULT_SUBTYPE 0x01000000
#endif

// Marks the library's exported entry points; everything else is hidden.
#if defined(_WIN32)
#define JIX_EXPORT __declspec(dllexport)
#else
#define JIX_EXPORT __attribute__((visibility("default")))
#endif

// Internal invariants that SQL cannot reach. Always checked, also in release builds.
#define JIX_ASSERT(cond) ((cond) ? (void)0 : jix_assert_fail(#cond, __FILE__, __LINE__))
[[noreturn]] void jix_assert_fail(const char* expr, const char* file, int line);
