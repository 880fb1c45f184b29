// What each binding unit hands to the module initialiser and to the other binding units. The
// initialiser is the one registry of the module's names; each entry below is added there at
// its place in the order.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "client.hpp"
#include "command.hpp"
#include "fs.hpp"
#include "py.hpp"

namespace tarnwistle::py {

// Module-level functions of an area, in registration order, ending with a {nullptr} entry.
PyMethodDef* option_functions();  // normalize_flags, inject_cmd_flag
PyMethodDef* read_functions();    // count_lines, slice_lines, format_cat_n, prepare_read
PyMethodDef* edit_functions();    // find_matches, apply_replacements_text, edit_text
PyMethodDef* patch_functions();   // seek_sequence, derive_new_contents, apply_line_replacements

// ---- command options (GIL held; each reads Python objects and fails with a CoreError) ----

// None -> empty; a mapping of names to values, both through str().
Result<EnvMap> normalize_env(PyObject* env);
// None or 0 -> no limit; otherwise a duration.
Result<std::optional<std::chrono::nanoseconds>> normalize_timeout(PyObject* timeout);
// None -> DEFAULT_MAX_OUTPUT_BYTES; else an int in 1..MAX_OUTPUT_BYTES_LIMIT.
Result<std::uint64_t> validate_max_output_bytes(PyObject* value);
// None -> empty; a str split by either splitter; any other iterable item by item via str().
Result<std::vector<std::string>> normalize_flags_object(PyObject* flags, bool posix);

// The arguments of exec_command (both clients), converted and normalised in the order the
// calls are checked. Native values only: nothing here needs the GIL afterwards.
struct ExecArgs {
  std::string command;                             // exactly as the caller gave it
  std::optional<std::string> cwd;                  // nullopt for None and ""; not resolved
  std::optional<std::chrono::nanoseconds> timeout;
  std::uint64_t max_output_bytes = DEFAULT_MAX_OUTPUT_BYTES;
  EnvMap env;
  std::optional<std::string> stdin_data;           // UTF-8 of the stdin text
  std::optional<std::string> interpreter;          // trimmed; nullopt when None or blank
  std::vector<std::string> flags;                  // with the command flag; empty without interpreter
  ExtrasMap extras;                                // "interpreter" and, when flags, "flags"
};

// Parses exec_command(command, *, cwd, timeout, env, stdin, interpreter, flags,
// max_output_bytes) for the method `fname`; false with the exception set.
bool parse_exec_args(const char* fname, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, ExecArgs& out);

// ---- CommandResult ---------------------------------------------------------------------

// The cached CommandResult type, created on first need. Borrowed; nullptr with an exception.
PyTypeObject* command_result_type();
// A new CommandResult instance owning `result`; nullptr with an exception.
PyObject* new_command_result(CommandResult result);

// FileInfo: the type (created on first need, cached; borrowed) and a new instance holding a
// copy of `info` (new reference or nullptr). GIL held. Both clients return these.
PyTypeObject* file_info_type();
PyObject* new_file_info(const FileInfo& info);
PyObject* new_file_info(FileInfo&& info);

// LocalClient: the type, created on first need with its class attribute kind="local".
PyTypeObject* local_client_type();

// SshClient: the type, created on first need with its class attribute kind="ssh".
PyTypeObject* ssh_client_type();

}  // namespace tarnwistle::py
