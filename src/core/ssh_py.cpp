// SshClient: argument conversion, the GIL released around every remote run, results back.
#include "bindings.hpp"
#include "py.hpp"
#include "ssh.hpp"
#include "surface_py.hpp"

namespace tarnwistle::py {

namespace {

PyTypeObject* SSH_CLIENT_TYPE = nullptr;  // write-once under the GIL

const SshClient& client_of(PyObject* self) { return native_of<SshClient>(self); }

// ---- construction ---------------------------------------------------------------------------

constexpr Param NEW_PARAMS[] = {
    {.name = "host"},
    {.name = "port", .keyword_only = true},
    {.name = "username", .keyword_only = true},
    {.name = "password", .required = false, .keyword_only = true},
    {.name = "key_filename", .required = false, .keyword_only = true},
    {.name = "cwd", .required = false, .keyword_only = true},
    {.name = "connect_timeout", .required = false, .keyword_only = true},
    {.name = "operation_timeout", .required = false, .keyword_only = true},
    {.name = "max_transfer_bytes", .required = false, .keyword_only = true},
    {.name = "multiplexing", .required = false, .keyword_only = true},
    {.name = "ssh_flags", .required = false, .keyword_only = true},
    {.name = "allow_password_prompt", .required = false, .keyword_only = true},
    {.name = "accept_unknown_host_key", .required = false, .keyword_only = true},
};

bool convert_options(PyObject** given, SshOptions& o, std::int64_t& port) {
  return arg_text(given[0], "host", o.host) && arg_i64(given[1], "port", port) &&
         arg_text(given[2], "username", o.username) &&
         arg_opt_text(given[3], "password", o.password) &&
         arg_opt_text(given[4], "key_filename", o.key_filename) &&
         (given[5] == nullptr || arg_text(given[5], "cwd", o.cwd)) &&
         (given[6] == nullptr || arg_f64(given[6], "connect_timeout", o.connect_timeout)) &&
         (given[7] == nullptr || arg_f64(given[7], "operation_timeout", o.operation_timeout)) &&
         (given[8] == nullptr || arg_u64(given[8], "max_transfer_bytes", o.max_transfer_bytes)) &&
         (given[9] == nullptr || arg_bool(given[9], "multiplexing", o.multiplexing)) &&
         (given[11] == nullptr ||
          arg_bool(given[11], "allow_password_prompt", o.allow_password_prompt)) &&
         (given[12] == nullptr ||
          arg_bool(given[12], "accept_unknown_host_key", o.accept_unknown_host_key));
}

PyObject* ssh_client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* given[std::size(NEW_PARAMS)];
    SshOptions options;
    std::int64_t port = 0;
    if (!parse_tuple_args("SshClient.__new__", NEW_PARAMS, args, kwargs, given) ||
        !convert_options(given, options, port)) {
      return nullptr;
    }
    if (port < 1 || port > 65535) {
      return raise_value_error("ssh port is required and must be a positive integer");
    }
    options.port = static_cast<std::uint16_t>(port);
    Result<std::vector<std::string>> flags = normalize_flags_object(given[10], true);
    if (!flags.ok()) return raise_error(flags.error());
    options.ssh_flags = std::move(*flags);
    Result<SshClient> client = without_gil([&] { return connect(std::move(options)); });
    if (!client.ok()) return raise_error(client.error());
    return box(type, std::move(*client));
  });
}

// ---- repr and cwd ----------------------------------------------------------------------------------

PyObject* repr_py(PyObject* self) {
  return guarded([&]() -> PyObject* { return new_text(ssh_client_repr(client_of(self))); });
}

PyObject* cwd_get(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return new_text(client_of(self).cwd); });
}

// ---- exec ---------------------------------------------------------------------------------------

PyObject* exec_command_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    ExecArgs a;
    if (!parse_exec_args("SshClient.exec_command", args, nargs, kwnames, a)) return nullptr;
    const SshClient& client = client_of(self);
    Result<CommandResult> result = without_gil([&]() -> Result<CommandResult> {
      RemoteExec remote;
      remote.cwd = a.cwd ? resolve_native(client, *a.cwd) : client.cwd;
      remote.env = std::move(a.env);
      remote.stdin_data = std::move(a.stdin_data);
      remote.timeout = a.timeout;
      remote.max_output_bytes = a.max_output_bytes;
      remote.command_piece =
          a.interpreter ? interpreter_piece(*a.interpreter, a.flags, a.command) : a.command;
      Result<ProcessOutput> output = exec_native(client, remote);
      if (!output.ok()) return output.error();
      return command_result(std::move(*output), std::move(a.command), std::move(remote.cwd),
                            std::move(a.extras));
    });
    if (!result.ok()) return raise_error(result.error());
    return new_command_result(std::move(*result));
  });
}

// ---- the class ----------------------------------------------------------------------------------

struct SshTraits {
  using Client = SshClient;
  static constexpr std::string_view CLASS = "SshClient";
  static constexpr std::string_view PREFIX = "SSH ";
  static std::string join(std::span<const std::string_view> parts) { return join_posix(parts); }
  // Only a ClientError is renamed ("SSH read_bytes failed" to "SSH read_text failed"); a
  // time-out or a limit keeps naming the operation that ran.
  static CoreError renamed(CoreError error, std::string_view inner, std::string_view outer) {
    if (error.kind == CoreErrorKind::General) {
      replace_first(error.message, concat({"SSH ", inner, " failed"}),
                    concat({"SSH ", outer, " failed"}));
    }
    return error;
  }
  static constexpr auto exec_command = exec_command_py;
};

using surface::entry;

PyMethodDef METHODS[] = {
    entry<SshTraits>("resolve"),          entry<SshTraits>("join"),
    entry<SshTraits>("stat"),             entry<SshTraits>("exists"),
    entry<SshTraits>("is_file"),          entry<SshTraits>("is_dir"),
    entry<SshTraits>("path_info"),        entry<SshTraits>("read_bytes"),
    entry<SshTraits>("read_text"),        entry<SshTraits>("read_text_window"),
    entry<SshTraits>("write_bytes"),      entry<SshTraits>("write_text"),
    entry<SshTraits>("write_text_atomic"), entry<SshTraits>("mkdir"),
    entry<SshTraits>("delete"),           entry<SshTraits>("delete_if_version"),
    entry<SshTraits>("exec_command"),     {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef GETSET[] = {
    {"cwd", cwd_get, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(
                    "SshClient(host, *, port, username, password=None, key_filename=None, "
                    "cwd=\".\", connect_timeout=30.0, operation_timeout=..., "
                    "max_transfer_bytes=..., multiplexing=True, ssh_flags=None, "
                    "allow_password_prompt=True, accept_unknown_host_key=False)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(ssh_client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<SshClient>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr_py)},
    {Py_tp_methods, METHODS},
    {Py_tp_getset, GETSET},
    {0, nullptr},
};

PyType_Spec SPEC = {
    "tarnwistle._core.SshClient",
    static_cast<int>(sizeof(Boxed<SshClient>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    SLOTS,
};

}  // namespace

PyTypeObject* ssh_client_type() {
  if (SSH_CLIENT_TYPE == nullptr) SSH_CLIENT_TYPE = surface::make_client_type(&SPEC, "ssh");
  return SSH_CLIENT_TYPE;
}

}  // namespace tarnwistle::py
