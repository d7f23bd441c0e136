// KNN search: the '3' branch of xFilter. An exact, exhaustive scan of the chunks that pass
// the partition constraints, narrowed per chunk by bitmaps (validity, rowid list, metadata
// filters) before any distance is computed, then per-chunk selection merged into a running
// top-k.
#pragma once

#include "jix0/query/cursor.h"

// On SQLITE_OK the cursor's knn_data holds the result and its query_plan is '3'. On failure
// the cursor is left as it was and the table's message says why.
// REQUIRES: argc == (strlen(idxStr) - 1) / 4, idxNum a vector column index.
[[nodiscard]] int jix0Filter_knn(jix0_cursor* cursor, jix0_vtab* p, int idxNum, const char* idxStr,
                                 int argc, sqlite3_value** argv);
