// SshClient: argument conversion, the GIL released around every remote run, results back.
#include "bindings.hpp"
#include "py.hpp"
#include "ssh.hpp"

namespace tarnwistle::py {

namespace {

const SshClient& client_of(PyObject* self) { return native_of<SshClient>(self); }

// ---- construction ------------------------------------------------------------------------------

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

enum NewParam {
  HOST, PORT, USERNAME, PASSWORD, KEY_FILENAME, CWD, CONNECT_TIMEOUT, OPERATION_TIMEOUT,
  MAX_TRANSFER_BYTES, MULTIPLEXING, SSH_FLAGS, ALLOW_PASSWORD_PROMPT, ACCEPT_UNKNOWN_HOST_KEY,
};
static_assert(std::size(NEW_PARAMS) == ACCEPT_UNKNOWN_HOST_KEY + 1);

// The optional arguments keep their defaults when not given.
bool convert_options(PyObject** given, SshOptions& o, std::int64_t& port) {
  const auto maybe = [&](NewParam p, auto convert) {
    return given[p] == nullptr || convert(given[p]);
  };
  return arg_text(given[HOST], "host", o.host) && arg_i64(given[PORT], "port", port) &&
         arg_text(given[USERNAME], "username", o.username) &&
         arg_opt_text(given[PASSWORD], "password", o.password) &&
         arg_opt_fspath(given[KEY_FILENAME], "key_filename", o.key_filename) &&
         maybe(CWD, [&](PyObject* v) {
           PathText cwd;
           return arg_fspath(v, "cwd", cwd) && (o.cwd.assign(cwd.view), true);
         }) &&
         maybe(CONNECT_TIMEOUT,
               [&](PyObject* v) { return arg_f64(v, "connect_timeout", o.connect_timeout); }) &&
         maybe(OPERATION_TIMEOUT,
               [&](PyObject* v) { return arg_f64(v, "operation_timeout", o.operation_timeout); }) &&
         maybe(MAX_TRANSFER_BYTES, [&](PyObject* v) {
           return arg_u64(v, "max_transfer_bytes", o.max_transfer_bytes);
         }) &&
         maybe(MULTIPLEXING,
               [&](PyObject* v) { return arg_bool(v, "multiplexing", o.multiplexing); }) &&
         maybe(ALLOW_PASSWORD_PROMPT, [&](PyObject* v) {
           return arg_bool(v, "allow_password_prompt", o.allow_password_prompt);
         }) &&
         maybe(ACCEPT_UNKNOWN_HOST_KEY, [&](PyObject* v) {
           return arg_bool(v, "accept_unknown_host_key", o.accept_unknown_host_key);
         });
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
    Result<std::vector<std::string>> flags = normalize_flags_object(given[SSH_FLAGS], true);
    if (!flags.ok()) return raise_error(flags.error());
    options.ssh_flags = std::move(*flags);
    Result<SshClient> client = without_gil([&] { return connect(std::move(options)); });
    if (!client.ok()) return raise_error(client.error());
    return box(type, std::move(*client));
  });
}

// ---- repr and cwd ------------------------------------------------------------------------------

PyObject* repr_py(PyObject* self) {
  return guarded([&]() -> PyObject* { return new_text(ssh_client_repr(client_of(self))); });
}

PyObject* cwd_get(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return new_text(client_of(self).cwd); });
}

PyGetSetDef GETSET[] = {
    {"cwd", cwd_get, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* SSH_CLIENT_DOC =
    "SshClient(host, *, port, username, password=None, key_filename=None, "
    "cwd=\".\", connect_timeout=30.0, operation_timeout=..., "
    "max_transfer_bytes=..., multiplexing=True, ssh_flags=None, "
    "allow_password_prompt=True, accept_unknown_host_key=False)\n--\n\n";

}  // namespace

// ---- exec --------------------------------------------------------------------------------------

PyObject* ssh_exec_command(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
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

PyTypeObject* ssh_client_type() {
  static PyTypeObject* type = nullptr;
  if (type != nullptr) return type;
  type = make_client_type("tarnwistle._core.SshClient", static_cast<int>(sizeof(Boxed<SshClient>)),
                          boxed_dealloc_without_gil<SshClient>,
                          {{Py_tp_doc, const_cast<char*>(SSH_CLIENT_DOC)},
                           {Py_tp_new, reinterpret_cast<void*>(ssh_client_new)},
                           {Py_tp_repr, reinterpret_cast<void*>(repr_py)},
                           {Py_tp_methods, ssh_client_methods()},
                           {Py_tp_getset, GETSET}},
                          "ssh");
  return type;
}

bool register_ssh(Registry& r) { return r.add_type("SshClient", ssh_client_type()); }

}  // namespace tarnwistle::py
