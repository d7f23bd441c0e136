// The command column: a hidden column named after the table whose value, in an INSERT, names
// a command to run on the whole table instead of a row to store.
#include "jix0/write/command.h"

#include <cstring>

#include "base/handles.h"
#include "jix0/index/index.h"

namespace {

struct Jix0Command {
  const char* name;
  // Runs the command with the text after its name and a space ("" when none).
  int (*run)(jix0_vtab* p, const char* options);
  bool (*offered)(const jix0_vtab* p);
  bool takesOptions;
};

int run_optimize(jix0_vtab* p, const char*) {
  // The rows it moves take their codes along when the index's build keeps them.
  int rc = jix0_index_refresh(p);
  return rc == SQLITE_OK ? jix0_optimize(p) : rc;
}

// The chunks of the dropped lists are packed as 'optimize' packs them.
int run_drop_index(jix0_vtab* p, const char*) {
  int rc = jix0_index_drop(p);
  return rc == SQLITE_OK ? jix0_optimize(p) : rc;
}

bool always(const jix0_vtab*) {
  return true;
}

bool has_index(const jix0_vtab* p) {
  return jix0_index_column(p) >= 0;
}

// Commands match ignoring ASCII case; options follow the name after a space. A new command is
// one more line here.
constexpr Jix0Command kCommands[] = {
    {"optimize", run_optimize, always, false},
    {"build-index", jix0_index_build, jix0_index_can_build, true},
    {"drop-index", run_drop_index, has_index, false},
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
  const char* space = strchr(name, ' ');
  const int nameLength = space ? (int)(space - name) : (int)strlen(name);
  for (const Jix0Command& command : kCommands) {
    if (!command.offered(p)) continue;
    if ((int)strlen(command.name) != nameLength ||
        sqlite3_strnicmp(name, command.name, nameLength) != 0) {
      continue;
    }
    if (space && !command.takesOptions) {
      vtab_set_error(&p->base, "jix0: the command '%s' takes no options", command.name);
      return SQLITE_ERROR;
    }
    return command.run(p, space ? space + 1 : "");
  }
  StrBuilder known(nullptr);
  bool first = true;
  for (const Jix0Command& command : kCommands) {
    if (!command.offered(p)) continue;
    sqlite3_str_appendf(known.get(), "%s'%s'", first ? "" : ", ", command.name);
    first = false;
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
