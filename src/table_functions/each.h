// jix_each: the eponymous table-valued function listing one vector's elements.
#pragma once

#include "base/sqlite.h"

extern const sqlite3_module jix_eachModule;
