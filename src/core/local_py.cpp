// The LocalClient class: argument conversion, the GIL release and result conversion around the
// native local client.
#include "bindings.hpp"
#include "local.hpp"
#include "py.hpp"

namespace tarnwistle::py {
namespace {

const LocalClient& client_of(PyObject* self) { return native_of<LocalClient>(self); }

// A CoreError whose message names the outer method instead of the inner one.
PyObject* raise_renamed(CoreError error, std::string_view inner, std::string_view outer) {
  replace_first(error.message, inner, outer);
  return raise_error(error);
}

// ---- construction -------------------------------------------------------------------------

constexpr Param NEW_PARAMS[] = {
    {.name = "cwd", .required = false},
    {.name = "max_transfer_bytes", .required = false, .keyword_only = true},
};

PyObject* local_client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* given[2];
    std::optional<std::string> cwd;
    std::uint64_t max_transfer_bytes = DEFAULT_MAX_TRANSFER_BYTES;
    if (!parse_tuple_args("LocalClient.__new__", NEW_PARAMS, args, kwargs, given) ||
        !arg_path(given[0], "cwd", cwd) ||
        (given[1] != nullptr && !arg_u64(given[1], "max_transfer_bytes", max_transfer_bytes))) {
      return nullptr;
    }
    Result<LocalClient> client =
        without_gil([&] { return new_native(std::move(cwd), max_transfer_bytes); });
    if (!client.ok()) return raise_error(client.error());
    return box(type, std::move(*client));
  });
}

PyObject* local_client_repr_py(PyObject* self) {
  return guarded([&] { return new_text(local_client_repr(client_of(self))); });
}

PyObject* get_cwd(PyObject* self, void*) {
  return guarded([&] { return new_text(client_of(self).cwd); });
}

// ---- paths --------------------------------------------------------------------------------

constexpr Param PATH_PARAMS[] = {{.name = "path"}};

// Parses the one `path` argument of a method.
bool parse_path(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::string_view& path) {
  PyObject* given[1];
  return parse_args(fname, PATH_PARAMS, args, nargs, kwnames, given) &&
         arg_text(given[0], "path", path);
}

PyObject* resolve_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::string_view path;
    if (!parse_path("LocalClient.resolve", args, nargs, kwnames, path)) return nullptr;
    const LocalClient& client = client_of(self);
    const std::string resolved = without_gil([&] { return resolve_native(client, path); });
    return new_text(resolved);
  });
}

PyObject* join_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!no_keywords("LocalClient.join", kwnames)) return nullptr;
    std::vector<std::string_view> parts;
    parts.reserve(static_cast<std::size_t>(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) {
      if (!PyUnicode_Check(args[i])) continue;  // only text joins; anything else is skipped
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(args[i], &size);
      if (data == nullptr) {  // lone surrogates: not convertible text, skipped the same way
        PyErr_Clear();
        continue;
      }
      parts.emplace_back(data, static_cast<std::size_t>(size));
    }
    const std::string joined = without_gil([&] { return join_paths(parts); });
    return new_text(joined);
  });
}

// ---- the stat family ----------------------------------------------------------------------

// Parses `path`, describes it with the GIL released, and converts the record with `convert`.
template <class Convert>
PyObject* stat_family(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, Convert convert) {
  return guarded([&]() -> PyObject* {
    std::string_view path;
    if (!parse_path(fname, args, nargs, kwnames, path)) return nullptr;
    const LocalClient& client = client_of(self);
    Result<FileInfo> info = without_gil([&] { return stat_native(client, path); });
    if (!info.ok()) return raise_error(info.error());
    return convert(std::move(*info));
  });
}

PyObject* stat_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return stat_family("LocalClient.stat", self, args, nargs, kwnames,
                     [](FileInfo info) { return new_file_info(std::move(info)); });
}

PyObject* exists_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return stat_family("LocalClient.exists", self, args, nargs, kwnames,
                     [](const FileInfo& info) { return new_bool(info.exists); });
}

PyObject* is_file_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return stat_family("LocalClient.is_file", self, args, nargs, kwnames,
                     [](const FileInfo& info) { return new_bool(info.kind == "file"); });
}

PyObject* is_dir_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return stat_family("LocalClient.is_dir", self, args, nargs, kwnames,
                     [](const FileInfo& info) { return new_bool(info.kind == "directory"); });
}

PyObject* path_info_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return stat_family("LocalClient.path_info", self, args, nargs, kwnames,
                     [](const FileInfo& info) -> PyObject* {
                       return PyTuple_Pack(3, info.exists ? Py_True : Py_False,
                                           info.kind == "file" ? Py_True : Py_False,
                                           info.kind == "directory" ? Py_True : Py_False);
                     });
}

// ---- reads --------------------------------------------------------------------------------

constexpr Param READ_TEXT_PARAMS[] = {
    {.name = "path"},
    {.name = "encoding", .required = false, .keyword_only = true},
};

// The encoding argument: absent means "utf-8".
bool arg_encoding(PyObject* obj, std::string_view& out) {
  if (obj == nullptr) {
    out = "utf-8";
    return true;
  }
  return arg_text(obj, "encoding", out);
}

PyObject* read_text_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[2];
    std::string_view path, encoding;
    if (!parse_args("LocalClient.read_text", READ_TEXT_PARAMS, args, nargs, kwnames, given) ||
        !arg_text(given[0], "path", path) || !arg_encoding(given[1], encoding)) {
      return nullptr;
    }
    const LocalClient& client = client_of(self);
    Result<std::string> data = without_gil([&] { return read_bytes_native(client, path); });
    if (!data.ok()) return raise_renamed(data.error(), "read_bytes failed", "read_text failed");
    CoreError error;
    PyRef text = decode_text(*data, encoding, concat({"read_text failed: ", path}), error);
    if (!text) return raise_error(error);
    return text.release();
  });
}

PyObject* read_bytes_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::string_view path;
    if (!parse_path("LocalClient.read_bytes", args, nargs, kwnames, path)) return nullptr;
    const LocalClient& client = client_of(self);
    Result<std::string> data = without_gil([&] { return read_bytes_native(client, path); });
    if (!data.ok()) return raise_error(data.error());
    return new_bytes(*data);
  });
}

constexpr Param READ_WINDOW_PARAMS[] = {
    {.name = "path"},
    {.name = "offset"},
    {.name = "limit"},
    {.name = "encoding", .required = false, .keyword_only = true},
};

PyObject* read_text_window_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[4];
    std::string_view path, encoding;
    std::int64_t offset = 0;
    std::uint64_t limit = 0;
    if (!parse_args("LocalClient.read_text_window", READ_WINDOW_PARAMS, args, nargs, kwnames,
                    given) ||
        !arg_text(given[0], "path", path) || !arg_i64(given[1], "offset", offset) ||
        !arg_u64(given[2], "limit", limit) || !arg_encoding(given[3], encoding)) {
      return nullptr;
    }
    if (limit == 0) return raise_value_error("limit must be > 0");
    const LocalClient& client = client_of(self);
    Result<TextWindow> window =
        without_gil([&] { return read_text_window_native(client, path, offset, limit); });
    if (!window.ok()) return raise_error(window.error());
    CoreError error;
    PyRef text =
        decode_text(window->content, encoding, concat({"read_text failed: ", path}), error);
    if (!text) return raise_error(error);
    PyRef total = PyRef::steal(new_u64(window->total_lines));
    PyRef start = PyRef::steal(new_u64(window->start_line));
    PyRef end = PyRef::steal(new_u64(window->end_line));
    if (!total || !start || !end) return nullptr;
    return PyTuple_Pack(5, text.get(), total.get(), start.get(), end.get(),
                        window->truncated ? Py_True : Py_False);
  });
}

// ---- writes -------------------------------------------------------------------------------

constexpr Param WRITE_TEXT_PARAMS[] = {
    {.name = "path"},
    {.name = "content"},
    {.name = "encoding", .required = false, .keyword_only = true},
};

PyObject* write_text_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[3];
    std::string_view path, encoding;
    if (!parse_args("LocalClient.write_text", WRITE_TEXT_PARAMS, args, nargs, kwnames, given) ||
        !arg_text(given[0], "path", path) || !arg_encoding(given[2], encoding)) {
      return nullptr;
    }
    Result<EncodedText> data =
        encode_text_view(given[1], encoding, concat({"write_text failed: ", path}));
    if (!data.ok()) return raise_error(data.error());
    const std::string_view bytes = data->view;
    const LocalClient& client = client_of(self);
    Result<FileInfo> info = without_gil(
        [&] { return write_bytes_atomic_native(client, path, bytes, std::nullopt, false); });
    if (!info.ok()) return raise_renamed(info.error(), "write_bytes failed", "write_text failed");
    Py_RETURN_NONE;
  });
}

constexpr Param WRITE_BYTES_PARAMS[] = {{.name = "path"}, {.name = "data"}};

PyObject* write_bytes_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[2];
    std::string_view path, data;
    std::string storage;
    if (!parse_args("LocalClient.write_bytes", WRITE_BYTES_PARAMS, args, nargs, kwnames, given) ||
        !arg_text(given[0], "path", path) || !arg_bytes_view(given[1], "data", storage, data)) {
      return nullptr;
    }
    const LocalClient& client = client_of(self);
    Result<FileInfo> info = without_gil(
        [&] { return write_bytes_atomic_native(client, path, data, std::nullopt, false); });
    if (!info.ok()) return raise_error(info.error());
    Py_RETURN_NONE;
  });
}

constexpr Param WRITE_ATOMIC_PARAMS[] = {
    {.name = "path"},
    {.name = "content"},
    {.name = "encoding", .required = false, .keyword_only = true},
    {.name = "expected_version", .required = false, .keyword_only = true},
    {.name = "create_only", .required = false, .keyword_only = true},
};

PyObject* write_text_atomic_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[5];
    std::string_view path, encoding;
    std::optional<std::string> expected_version;
    bool create_only = false;
    if (!parse_args("LocalClient.write_text_atomic", WRITE_ATOMIC_PARAMS, args, nargs, kwnames,
                    given) ||
        !arg_text(given[0], "path", path) || !arg_encoding(given[2], encoding) ||
        !arg_opt_text(given[3], "expected_version", expected_version) ||
        (given[4] != nullptr && !arg_bool(given[4], "create_only", create_only))) {
      return nullptr;
    }
    Result<EncodedText> data =
        encode_text_view(given[1], encoding, concat({"write_text_atomic failed: ", path}));
    if (!data.ok()) return raise_error(data.error());
    const std::string_view bytes = data->view;
    const LocalClient& client = client_of(self);
    Result<FileInfo> info = without_gil([&] {
      return write_bytes_atomic_native(client, path, bytes, expected_version, create_only);
    });
    if (!info.ok()) return raise_error(info.error());
    return new_file_info(std::move(*info));
  });
}

// ---- directories and deletes --------------------------------------------------------------

constexpr Param MKDIR_PARAMS[] = {
    {.name = "path"},
    {.name = "parents", .required = false, .keyword_only = true},
    {.name = "exist_ok", .required = false, .keyword_only = true},
};

PyObject* mkdir_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[3];
    std::string_view path;
    bool parents = true, exist_ok = true;
    if (!parse_args("LocalClient.mkdir", MKDIR_PARAMS, args, nargs, kwnames, given) ||
        !arg_text(given[0], "path", path) ||
        (given[1] != nullptr && !arg_bool(given[1], "parents", parents)) ||
        (given[2] != nullptr && !arg_bool(given[2], "exist_ok", exist_ok))) {
      return nullptr;
    }
    const LocalClient& client = client_of(self);
    Result<void> made = without_gil([&] { return mkdir_native(client, path, parents, exist_ok); });
    if (!made.ok()) return raise_error(made.error());
    Py_RETURN_NONE;
  });
}

// Deletes `path` with the GIL released, checking `expected_version` when given.
PyObject* delete_common(PyObject* self, std::string_view path,
                        const std::optional<std::string>& expected_version) {
  const LocalClient& client = client_of(self);
  Result<void> deleted =
      without_gil([&] { return delete_if_version_native(client, path, expected_version); });
  if (!deleted.ok()) return raise_error(deleted.error());
  Py_RETURN_NONE;
}

PyObject* delete_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::string_view path;
    if (!parse_path("LocalClient.delete", args, nargs, kwnames, path)) return nullptr;
    return delete_common(self, path, std::nullopt);
  });
}

constexpr Param DELETE_IF_VERSION_PARAMS[] = {
    {.name = "path"},
    {.name = "expected_version", .required = false, .keyword_only = true},
};

PyObject* delete_if_version_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[2];
    std::string_view path;
    std::optional<std::string> expected_version;
    if (!parse_args("LocalClient.delete_if_version", DELETE_IF_VERSION_PARAMS, args, nargs,
                    kwnames, given) ||
        !arg_text(given[0], "path", path) ||
        !arg_opt_text(given[1], "expected_version", expected_version)) {
      return nullptr;
    }
    return delete_common(self, path, expected_version);
  });
}

// ---- exec_command -------------------------------------------------------------------------

// The request for /bin/sh -c, or for the interpreter with its flags, then the command.
ProcessRequest local_request(ExecArgs& a, std::string cwd) {
  ProcessRequest request;
  if (a.interpreter) {
    request.program = *a.interpreter;
    request.args = std::move(a.flags);
  } else {
    request.program = "/bin/sh";
    request.args = {"-c"};
  }
  request.args.push_back(a.command);
  request.cwd = std::move(cwd);
  request.stdin_data = std::move(a.stdin_data);
  request.timeout = a.timeout;
  request.env = std::move(a.env);
  request.max_output_bytes = a.max_output_bytes;
  return request;
}

PyObject* exec_command_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    ExecArgs a;
    if (!parse_exec_args("LocalClient.exec_command", args, nargs, kwnames, a)) return nullptr;
    const LocalClient& client = client_of(self);
    Result<CommandResult> result = without_gil([&]() -> Result<CommandResult> {
      std::string cwd = a.cwd ? resolve_native(client, *a.cwd) : client.cwd;
      Result<ProcessOutput> output = run_process(local_request(a, cwd));
      if (!output.ok()) return output.error();
      return command_result(std::move(*output), std::move(a.command), std::move(cwd),
                            std::move(a.extras));
    });
    if (!result.ok()) return raise_error(result.error());
    return new_command_result(std::move(*result));
  });
}

// ---- the type -----------------------------------------------------------------------------

// Member order is the order of the client surface; exec_command follows delete_if_version.
PyMethodDef LOCAL_CLIENT_METHODS[] = {
    {"resolve", as_method(resolve_py), FASTCALL_KW, "resolve($self, path)\n--\n\n"},
    {"join", as_method(join_py), FASTCALL_KW, "join($self, *parts)\n--\n\n"},
    {"stat", as_method(stat_py), FASTCALL_KW, "stat($self, path)\n--\n\n"},
    {"exists", as_method(exists_py), FASTCALL_KW, "exists($self, path)\n--\n\n"},
    {"is_file", as_method(is_file_py), FASTCALL_KW, "is_file($self, path)\n--\n\n"},
    {"is_dir", as_method(is_dir_py), FASTCALL_KW, "is_dir($self, path)\n--\n\n"},
    {"path_info", as_method(path_info_py), FASTCALL_KW, "path_info($self, path)\n--\n\n"},
    {"read_text", as_method(read_text_py), FASTCALL_KW,
     "read_text($self, path, *, encoding=\"utf-8\")\n--\n\n"},
    {"read_bytes", as_method(read_bytes_py), FASTCALL_KW, "read_bytes($self, path)\n--\n\n"},
    {"read_text_window", as_method(read_text_window_py), FASTCALL_KW,
     "read_text_window($self, path, offset, limit, *, encoding=\"utf-8\")\n--\n\n"},
    {"write_text", as_method(write_text_py), FASTCALL_KW,
     "write_text($self, path, content, *, encoding=\"utf-8\")\n--\n\n"},
    {"write_bytes", as_method(write_bytes_py), FASTCALL_KW,
     "write_bytes($self, path, data)\n--\n\n"},
    {"write_text_atomic", as_method(write_text_atomic_py), FASTCALL_KW,
     "write_text_atomic($self, path, content, *, encoding=\"utf-8\", expected_version=None, "
     "create_only=False)\n--\n\n"},
    {"mkdir", as_method(mkdir_py), FASTCALL_KW,
     "mkdir($self, path, *, parents=True, exist_ok=True)\n--\n\n"},
    {"delete", as_method(delete_py), FASTCALL_KW, "delete($self, path)\n--\n\n"},
    {"delete_if_version", as_method(delete_if_version_py), FASTCALL_KW,
     "delete_if_version($self, path, *, expected_version=None)\n--\n\n"},
    {"exec_command", as_method(exec_command_py), FASTCALL_KW,
     "exec_command($self, command, *, cwd=None, timeout=None, env=None, stdin=None, "
     "interpreter=None, flags=None, max_output_bytes=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef LOCAL_CLIENT_GETSET[] = {
    {"cwd", get_cwd, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot LOCAL_CLIENT_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(local_client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<LocalClient>)},
    {Py_tp_repr, reinterpret_cast<void*>(local_client_repr_py)},
    {Py_tp_methods, LOCAL_CLIENT_METHODS},
    {Py_tp_getset, LOCAL_CLIENT_GETSET},
    // The signature line is what inspect shows; the doc after it is empty.
    {Py_tp_doc, const_cast<char*>("LocalClient(cwd=None, *, max_transfer_bytes=...)\n--\n\n")},
    {0, nullptr},
};

// Not IMMUTABLETYPE: the class attribute `kind` is set once, right after creation.
PyType_Spec LOCAL_CLIENT_SPEC = {
    "tarnwistle._core.LocalClient",
    static_cast<int>(sizeof(Boxed<LocalClient>)),
    0,
    Py_TPFLAGS_DEFAULT,
    LOCAL_CLIENT_SLOTS,
};

PyTypeObject* LOCAL_CLIENT_TYPE = nullptr;  // write-once under the GIL

}  // namespace

PyTypeObject* local_client_type() {
  if (LOCAL_CLIENT_TYPE != nullptr) return LOCAL_CLIENT_TYPE;
  PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(make_type(&LOCAL_CLIENT_SPEC)));
  PyRef kind = PyRef::steal(PyUnicode_FromString("local"));
  if (!type || !kind || PyObject_SetAttrString(type.get(), "kind", kind.get()) != 0) {
    return nullptr;
  }
  LOCAL_CLIENT_TYPE = reinterpret_cast<PyTypeObject*>(type.release());
  return LOCAL_CLIENT_TYPE;
}

}  // namespace tarnwistle::py
