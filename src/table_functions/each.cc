// Placeholder until jix_each is built.
#include "table_functions/each.h"

const sqlite3_module jix_eachModule = {};
