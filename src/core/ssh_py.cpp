// SshClient: argument conversion, the GIL released around every remote run, results back.
#include "bindings.hpp"
#include "py.hpp"
#include "ssh.hpp"

namespace tarnwistle::py {

namespace {

PyTypeObject* SSH_CLIENT_TYPE = nullptr;  // write-once under the GIL

const SshClient& client_of(PyObject* self) { return native_of<SshClient>(self); }

// The first `from` in a ClientError's message becomes `to`; other kinds keep their text.
CoreError renamed(CoreError error, std::string_view from, std::string_view to) {
  if (error.kind != CoreErrorKind::General) return error;
  const std::size_t at = error.message.find(from);
  if (at != std::string::npos) error.message.replace(at, from.size(), to);
  return error;
}

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
    std::vector<PyRef> keep;
    SshOptions options;
    std::int64_t port = 0;
    if (!parse_new_args("SshClient.__new__", NEW_PARAMS, args, kwargs, given, keep) ||
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

// ---- paths ----------------------------------------------------------------------------------

PyObject* repr_py(PyObject* self) {
  return guarded([&]() -> PyObject* { return new_text(ssh_client_repr(client_of(self))); });
}

PyObject* cwd_get(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return new_text(client_of(self).cwd); });
}

constexpr Param PATH_PARAMS[] = {{.name = "path"}};

// The one-argument methods: parse `path` as text.
bool parse_path(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::string_view& path) {
  PyObject* given[1];
  return parse_args(fname, PATH_PARAMS, args, nargs, kwnames, given) &&
         arg_text(given[0], "path", path);
}

PyObject* resolve_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::string_view path;
    if (!parse_path("SshClient.resolve", args, nargs, kwnames, path)) return nullptr;
    const std::string resolved = without_gil([&] { return resolve_native(client_of(self), path); });
    return new_text(resolved);
  });
}

PyObject* join_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!no_keywords("SshClient.join", kwnames)) return nullptr;
    std::vector<std::string_view> parts;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
      if (!PyUnicode_Check(args[i])) continue;  // other types are skipped on purpose
      std::string_view part;
      if (!arg_text(args[i], "parts", part)) return nullptr;
      parts.push_back(part);
    }
    const std::string joined = without_gil([&] { return join_posix(parts); });
    return new_text(joined);
  });
}

// ---- stat family ------------------------------------------------------------------------------

template <class Convert>
PyObject* stat_family(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, Convert convert) {
  return guarded([&]() -> PyObject* {
    std::string_view path;
    if (!parse_path(fname, args, nargs, kwnames, path)) return nullptr;
    Result<FileInfo> info = without_gil([&] { return stat_native(client_of(self), path); });
    if (!info.ok()) return raise_error(info.error());
    return convert(*info);
  });
}

PyObject* stat_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return stat_family("SshClient.stat", self, args, nargs, kwnames,
                     [](const FileInfo& info) { return new_file_info(info); });
}
PyObject* exists_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return stat_family("SshClient.exists", self, args, nargs, kwnames,
                     [](const FileInfo& info) { return new_bool(info.exists); });
}
PyObject* is_file_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return stat_family("SshClient.is_file", self, args, nargs, kwnames,
                     [](const FileInfo& info) { return new_bool(info.kind == "file"); });
}
PyObject* is_dir_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return stat_family("SshClient.is_dir", self, args, nargs, kwnames,
                     [](const FileInfo& info) { return new_bool(info.kind == "directory"); });
}
PyObject* path_info_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return stat_family("SshClient.path_info", self, args, nargs, kwnames, [](const FileInfo& info) {
    return Py_BuildValue("(NNN)", new_bool(info.exists), new_bool(info.kind == "file"),
                         new_bool(info.kind == "directory"));
  });
}

// ---- reads ------------------------------------------------------------------------------------

PyObject* read_bytes_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::string_view path;
    if (!parse_path("SshClient.read_bytes", args, nargs, kwnames, path)) return nullptr;
    Result<std::string> data =
        without_gil([&] { return read_bytes_native(client_of(self), path); });
    if (!data.ok()) return raise_error(data.error());
    return new_bytes(*data);
  });
}

constexpr Param READ_TEXT_PARAMS[] = {
    {.name = "path"}, {.name = "encoding", .required = false, .keyword_only = true}};

PyObject* read_text_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[2];
    std::string_view path, encoding = "utf-8";
    if (!parse_args("SshClient.read_text", READ_TEXT_PARAMS, args, nargs, kwnames, given) ||
        !arg_text(given[0], "path", path) ||
        (given[1] != nullptr && !arg_text(given[1], "encoding", encoding))) {
      return nullptr;
    }
    Result<std::string> data =
        without_gil([&] { return read_bytes_native(client_of(self), path); });
    if (!data.ok()) {
      return raise_error(renamed(data.error(), "SSH read_bytes failed", "SSH read_text failed"));
    }
    CoreError error;
    PyRef text = decode_text(*data, encoding, concat({"SSH read_text failed: ", path}), error);
    if (!text) return raise_error(error);
    return text.release();
  });
}

constexpr Param WINDOW_PARAMS[] = {{.name = "path"},
                                   {.name = "offset"},
                                   {.name = "limit"},
                                   {.name = "encoding", .required = false, .keyword_only = true}};

PyObject* read_text_window_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[4];
    std::string_view path, encoding = "utf-8";
    std::int64_t offset = 0;
    std::uint64_t limit = 0;
    if (!parse_args("SshClient.read_text_window", WINDOW_PARAMS, args, nargs, kwnames, given) ||
        !arg_text(given[0], "path", path) || !arg_i64(given[1], "offset", offset) ||
        !arg_u64(given[2], "limit", limit) ||
        (given[3] != nullptr && !arg_text(given[3], "encoding", encoding))) {
      return nullptr;
    }
    if (limit == 0) return raise_value_error("limit must be > 0");
    Result<TextWindow> window = without_gil(
        [&] { return read_text_window_native(client_of(self), path, offset, limit); });
    if (!window.ok()) return raise_error(window.error());
    CoreError error;
    PyRef text =
        decode_text(window->content, encoding, concat({"SSH read_text failed: ", path}), error);
    if (!text) return raise_error(error);
    return Py_BuildValue("(NNNNN)", text.release(), new_u64(window->total_lines),
                         new_u64(window->start_line), new_u64(window->end_line),
                         new_bool(window->truncated));
  });
}

// ---- writes -----------------------------------------------------------------------------------

constexpr Param WRITE_BYTES_PARAMS[] = {{.name = "path"}, {.name = "data"}};

PyObject* write_bytes_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[2];
    std::string_view path;
    std::string data;
    if (!parse_args("SshClient.write_bytes", WRITE_BYTES_PARAMS, args, nargs, kwnames, given) ||
        !arg_text(given[0], "path", path) || !arg_bytes(given[1], "data", data)) {
      return nullptr;
    }
    Result<FileInfo> info = without_gil([&] {
      return write_bytes_atomic_native(client_of(self), path, std::move(data), std::nullopt, false);
    });
    if (!info.ok()) return raise_error(info.error());
    Py_RETURN_NONE;
  });
}

constexpr Param WRITE_TEXT_PARAMS[] = {
    {.name = "path"},
    {.name = "content"},
    {.name = "encoding", .required = false, .keyword_only = true}};

PyObject* write_text_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[3];
    std::string_view path, encoding = "utf-8";
    if (!parse_args("SshClient.write_text", WRITE_TEXT_PARAMS, args, nargs, kwnames, given) ||
        !arg_text(given[0], "path", path) ||
        (given[2] != nullptr && !arg_text(given[2], "encoding", encoding))) {
      return nullptr;
    }
    Result<std::string> data =
        encode_text(given[1], encoding, concat({"SSH write_text failed: ", path}));
    if (!data.ok()) return raise_error(data.error());
    Result<FileInfo> info = without_gil([&] {
      return write_bytes_atomic_native(client_of(self), path, std::move(*data), std::nullopt,
                                       false);
    });
    if (!info.ok()) {
      return raise_error(renamed(info.error(), "SSH write_bytes failed", "SSH write_text failed"));
    }
    Py_RETURN_NONE;
  });
}

constexpr Param WRITE_ATOMIC_PARAMS[] = {
    {.name = "path"},
    {.name = "content"},
    {.name = "encoding", .required = false, .keyword_only = true},
    {.name = "expected_version", .required = false, .keyword_only = true},
    {.name = "create_only", .required = false, .keyword_only = true}};

PyObject* write_text_atomic_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[5];
    std::string_view path, encoding = "utf-8";
    std::optional<std::string> expected;
    bool create_only = false;
    if (!parse_args("SshClient.write_text_atomic", WRITE_ATOMIC_PARAMS, args, nargs, kwnames,
                    given) ||
        !arg_text(given[0], "path", path) ||
        (given[2] != nullptr && !arg_text(given[2], "encoding", encoding)) ||
        !arg_opt_text(given[3], "expected_version", expected) ||
        (given[4] != nullptr && !arg_bool(given[4], "create_only", create_only))) {
      return nullptr;
    }
    Result<std::string> data =
        encode_text(given[1], encoding, concat({"SSH write_text_atomic failed: ", path}));
    if (!data.ok()) return raise_error(data.error());
    Result<FileInfo> info = without_gil([&] {
      return write_bytes_atomic_native(client_of(self), path, std::move(*data), expected,
                                       create_only);
    });
    if (!info.ok()) return raise_error(info.error());
    return new_file_info(*info);
  });
}

constexpr Param MKDIR_PARAMS[] = {{.name = "path"},
                                  {.name = "parents", .required = false, .keyword_only = true},
                                  {.name = "exist_ok", .required = false, .keyword_only = true}};

PyObject* mkdir_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[3];
    std::string_view path;
    bool parents = true, exist_ok = true;
    if (!parse_args("SshClient.mkdir", MKDIR_PARAMS, args, nargs, kwnames, given) ||
        !arg_text(given[0], "path", path) ||
        (given[1] != nullptr && !arg_bool(given[1], "parents", parents)) ||
        (given[2] != nullptr && !arg_bool(given[2], "exist_ok", exist_ok))) {
      return nullptr;
    }
    Result<void> done =
        without_gil([&] { return mkdir_native(client_of(self), path, parents, exist_ok); });
    if (!done.ok()) return raise_error(done.error());
    Py_RETURN_NONE;
  });
}

PyObject* delete_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::string_view path;
    if (!parse_path("SshClient.delete", args, nargs, kwnames, path)) return nullptr;
    Result<void> done = without_gil(
        [&] { return delete_if_version_native(client_of(self), path, std::nullopt); });
    if (!done.ok()) return raise_error(done.error());
    Py_RETURN_NONE;
  });
}

constexpr Param DELETE_IF_PARAMS[] = {
    {.name = "path"}, {.name = "expected_version", .required = false, .keyword_only = true}};

PyObject* delete_if_version_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[2];
    std::string_view path;
    std::optional<std::string> expected;
    if (!parse_args("SshClient.delete_if_version", DELETE_IF_PARAMS, args, nargs, kwnames, given) ||
        !arg_text(given[0], "path", path) ||
        !arg_opt_text(given[1], "expected_version", expected)) {
      return nullptr;
    }
    Result<void> done =
        without_gil([&] { return delete_if_version_native(client_of(self), path, expected); });
    if (!done.ok()) return raise_error(done.error());
    Py_RETURN_NONE;
  });
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

#define SIG(name, params) name params "\n--\n\n"

PyMethodDef METHODS[] = {
    {"resolve", as_method(resolve_py), FASTCALL_KW, SIG("resolve", "($self, path)")},
    {"join", as_method(join_py), FASTCALL_KW, SIG("join", "($self, *parts)")},
    {"stat", as_method(stat_py), FASTCALL_KW, SIG("stat", "($self, path)")},
    {"exists", as_method(exists_py), FASTCALL_KW, SIG("exists", "($self, path)")},
    {"is_file", as_method(is_file_py), FASTCALL_KW, SIG("is_file", "($self, path)")},
    {"is_dir", as_method(is_dir_py), FASTCALL_KW, SIG("is_dir", "($self, path)")},
    {"path_info", as_method(path_info_py), FASTCALL_KW, SIG("path_info", "($self, path)")},
    {"read_bytes", as_method(read_bytes_py), FASTCALL_KW, SIG("read_bytes", "($self, path)")},
    {"read_text", as_method(read_text_py), FASTCALL_KW,
     SIG("read_text", "($self, path, *, encoding=\"utf-8\")")},
    {"read_text_window", as_method(read_text_window_py), FASTCALL_KW,
     SIG("read_text_window", "($self, path, offset, limit, *, encoding=\"utf-8\")")},
    {"write_bytes", as_method(write_bytes_py), FASTCALL_KW,
     SIG("write_bytes", "($self, path, data)")},
    {"write_text", as_method(write_text_py), FASTCALL_KW,
     SIG("write_text", "($self, path, content, *, encoding=\"utf-8\")")},
    {"write_text_atomic", as_method(write_text_atomic_py), FASTCALL_KW,
     SIG("write_text_atomic", "($self, path, content, *, encoding=\"utf-8\", "
                              "expected_version=None, create_only=False)")},
    {"mkdir", as_method(mkdir_py), FASTCALL_KW,
     SIG("mkdir", "($self, path, *, parents=True, exist_ok=True)")},
    {"delete", as_method(delete_py), FASTCALL_KW, SIG("delete", "($self, path)")},
    {"delete_if_version", as_method(delete_if_version_py), FASTCALL_KW,
     SIG("delete_if_version", "($self, path, *, expected_version=None)")},
    {"exec_command", as_method(exec_command_py), FASTCALL_KW,
     SIG("exec_command", "($self, command, *, cwd=None, timeout=None, env=None, stdin=None, "
                         "interpreter=None, flags=None, max_output_bytes=None)")},
    {nullptr, nullptr, 0, nullptr},
};

#undef SIG

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
  if (SSH_CLIENT_TYPE == nullptr) {
    PyTypeObject* type = make_type(&SPEC);
    if (type == nullptr) return nullptr;
    PyRef kind = PyRef::steal(PyUnicode_FromString("ssh"));
    if (!kind || !set_class_attribute(type, "kind", kind.get())) {
      Py_DECREF(type);
      return nullptr;
    }
    SSH_CLIENT_TYPE = type;
  }
  return SSH_CLIENT_TYPE;
}

}  // namespace tarnwistle::py
