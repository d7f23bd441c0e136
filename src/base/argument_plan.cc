#include "base/argument_plan.h"

int table_function_argument_plan(sqlite3_index_info* info, int argumentColumn) {
  bool hasArgument = false;
  for (int i = 0; i < info->nConstraint; i++) {
    const auto& constraint = info->aConstraint[i];
    if (constraint.iColumn == argumentColumn && constraint.op == SQLITE_INDEX_CONSTRAINT_EQ &&
        constraint.usable) {
      info->aConstraintUsage[i].argvIndex = 1;
      info->aConstraintUsage[i].omit = 1;
      hasArgument = true;
    }
  }
  if (!hasArgument) return SQLITE_CONSTRAINT;
  info->estimatedCost = 100000.0;
  info->estimatedRows = 100000;
  return SQLITE_OK;
}
