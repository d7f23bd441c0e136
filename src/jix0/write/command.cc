// The command column: a hidden column named after the table whose value, in an INSERT, names
// a command to run on the whole table instead of a row to store.
#include "jix0/write/command.h"

#include <cstring>

#include "base/handles.h"
#include "jix0/index/index.h"

namespace {

struct Jix0Command {
  const char* name;
  int (*run)(jix0_vtab* p);
  bool indexOnly;  // offered only by tables with an index
};

// Commands match ignoring ASCII case. A new command is one more line here.
constexpr Jix0Command kCommands[] = {
    {"optimize", jix0_optimize, false},
    {"build-index", jix0_index_build, true},
};

}  // namespace

bool jix0_command_given(const jix0_vtab* p, int argc, sqlite3_value** argv) {
  int c = jix0_column_command_idx(p);
  return c >= 0 && 2 + c < argc && sqlite3_value_type(argv[2 + c]) != SQLITE_NULL;
}

int jix0_run_command(jix0_vtab* p, int argc, sqlite3_value** argv) {
  const int commandArg = 2 + jix0_column_command_idx(p);
  for (int i = 1; i < argc; i++) {
    if (i == commandArg || sqlite3_value_type(argv[i]) == SQLITE_NULL) continue;
    vtab_set_error(&p->base,
                   "jix0: a command in the \"%s\" column cannot be combined with values for other "
                   "columns",
                   p->tableName);
    return SQLITE_ERROR;
  }
  const char* name = (const char*)sqlite3_value_text(argv[commandArg]);
  if (!name) return SQLITE_NOMEM;
  // A name is matched as a C string, so text after a NUL byte would go unread: refuse it
  // rather than run the command it starts with.
  if (strlen(name) != (size_t)sqlite3_value_bytes(argv[commandArg])) {
    vtab_set_error(&p->base, "jix0: the command in the \"%s\" column contains a NUL byte",
                   p->tableName);
    return SQLITE_ERROR;
  }
  for (const Jix0Command& command : kCommands) {
    if (command.indexOnly && jix0_index_column(p) < 0) continue;
    if (sqlite3_stricmp(name, command.name) == 0) return command.run(p);
  }
  StrBuilder known(nullptr);
  for (const Jix0Command& command : kCommands) {
    if (command.indexOnly && jix0_index_column(p) < 0) continue;
    sqlite3_str_appendf(known.get(), "%s'%s'", &command == kCommands ? "" : ", ", command.name);
  }
  SqlitePtr<char> list = known.finish();
  if (!list) return SQLITE_NOMEM;
  vtab_set_error(&p->base, "jix0: unknown command '%s' (known commands: %s)", name, list.get());
  return SQLITE_ERROR;
}

int jix0_command_update_error(jix0_vtab* p) {
  vtab_set_error(&p->base,
                 "jix0: UPDATE cannot set the command column \"%s\"; run a command with INSERT "
                 "INTO \"%s\"(\"%s\") VALUES ('optimize')",
                 p->tableName, p->tableName, p->tableName);
  return SQLITE_ERROR;
}
