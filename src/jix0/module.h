// The jix0 virtual-table module: the one place that knows every callback.
#pragma once

#include "base/sqlite.h"

extern const sqlite3_module jix0Module;
