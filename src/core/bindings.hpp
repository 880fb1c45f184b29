// What the binding units offer the module entry and one another. Each area registers its
// names through register_<area>, and the module entry calls them in the order of the module's
// names; the few helpers below are the only things one binding unit takes from another.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "command_options.hpp"
#include "fs.hpp"
#include "py.hpp"

namespace tarnwistle::py {

// ---- registration, in the module's order -------------------------------------------------------

bool register_errors(Registry& r);          // the seven exception classes
bool register_fs(Registry& r);              // FileInfo
bool register_command_result(Registry& r);  // CommandResult
bool register_local(Registry& r);           // LocalClient
bool register_ssh(Registry& r);             // SshClient
bool register_client_union(Registry& r);    // Client = LocalClient | SshClient
bool register_options(Registry& r);         // normalize_flags, inject_cmd_flag
bool register_edit(Registry& r);            // find_matches, apply_replacements_text, edit_text
bool register_read(Registry& r);  // count_lines, slice_lines, format_cat_n, prepare_read
bool register_patch(Registry& r);  // seek_sequence, derive_new_contents, apply_line_replacements

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
  std::vector<std::string> flags;  // with the command flag; empty without an interpreter
  ExtrasMap extras;                                // "interpreter" and, when flags, "flags"
};

// Parses exec_command(command, *, cwd, timeout, env, stdin, interpreter, flags,
// max_output_bytes) for the method `fname`; false with the exception set.
bool parse_exec_args(const char* fname, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, ExecArgs& out);

// ---- records both clients return (GIL held; new reference or nullptr) -----------------------

PyObject* new_command_result(CommandResult result);
PyObject* new_file_info(FileInfo info);

// ---- the two clients ------------------------------------------------------------------------

// Their types, created on first need (borrowed; nullptr with an exception set).
PyTypeObject* local_client_type();
PyTypeObject* ssh_client_type();
// Their method tables in member order, built from the one shared surface.
PyMethodDef* local_client_methods();
PyMethodDef* ssh_client_methods();
// Their exec_command methods, which the surface lists among the shared members.
PyObject* local_exec_command(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* ssh_exec_command(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
// A client type with its class attribute `kind`: make_type plus set_class_attribute.
PyTypeObject* make_client_type(const char* name, int basicsize, destructor dealloc,
                               std::initializer_list<PyType_Slot> slots, const char* kind);

}  // namespace tarnwistle::py
