// jix_index_info: the state of a jix0 table's index, as an eponymous table-valued function:
// SELECT * FROM jix_index_info('docs').
#pragma once

#include "base/sqlite.h"

// Its client data is the connection's Jix0Tables (lifecycle.h), shared with the jix0 module.
extern const sqlite3_module jix_index_infoModule;
