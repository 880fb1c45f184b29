// The client surface both clients share: one binding per method, written once over the client
// type. Each client supplies its native operations as overloads (stat_native(const C&, ...)
// and the like) and a small traits struct for what differs: its class name, the prefix of its
// messages, its path join and how its wrapper methods rename an inner operation's message.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "fs.hpp"
#include "py.hpp"

namespace tarnwistle::py::surface {

// A method name as a template argument, so each binding knows its "Class.method" for messages.
template <std::size_t N>
struct Name {
  char text[N];
  constexpr Name(const char (&s)[N]) { std::copy_n(s, N, text); }  // NOLINT: implicit
};

// "Class.method", built once per method.
template <class Traits, Name M>
const char* qualified() {
  static const std::string name = concat({Traits::CLASS, ".", M.text});
  return name.c_str();
}

template <class Traits>
const typename Traits::Client& client_of(PyObject* self) {
  return native_of<typename Traits::Client>(self);
}

// The `encoding` argument: absent means "utf-8".
inline bool arg_encoding(PyObject* obj, std::string_view& out) {
  if (obj == nullptr) {
    out = "utf-8";
    return true;
  }
  return arg_text(obj, "encoding", out);
}

inline bool arg_flag(PyObject* obj, const char* name, bool& out) {
  return obj == nullptr || arg_bool(obj, name, out);
}

inline constexpr Param PATH_PARAMS[] = {{.name = "path"}};

// ---- paths ------------------------------------------------------------------------------------

template <class Traits>
PyObject* resolve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[1];
    std::string_view path;
    if (!parse_args(qualified<Traits, "resolve">(), PATH_PARAMS, args, nargs, kwnames, given) ||
        !arg_text(given[0], "path", path)) {
      return nullptr;
    }
    const auto& client = client_of<Traits>(self);
    const std::string resolved = without_gil([&] { return resolve_native(client, path); });
    return new_text(resolved);
  });
}

// Parts that are not text (including a str that cannot be UTF-8) are skipped, not refused.
template <class Traits>
PyObject* join(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!no_keywords(qualified<Traits, "join">(), kwnames)) return nullptr;
    std::vector<std::string_view> parts;
    parts.reserve(static_cast<std::size_t>(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) {
      if (!PyUnicode_Check(args[i])) continue;
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(args[i], &size);
      if (data == nullptr) {
        PyErr_Clear();
        continue;
      }
      parts.emplace_back(data, static_cast<std::size_t>(size));
    }
    const std::string joined = without_gil([&] { return Traits::join(parts); });
    return new_text(joined);
  });
}

// ---- the stat family --------------------------------------------------------------------------

template <class Traits, Name M, class Convert>
PyObject* stat_family(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      Convert convert) {
  return guarded([&]() -> PyObject* {
    PyObject* given[1];
    std::string_view path;
    if (!parse_args(qualified<Traits, M>(), PATH_PARAMS, args, nargs, kwnames, given) ||
        !arg_text(given[0], "path", path)) {
      return nullptr;
    }
    const auto& client = client_of<Traits>(self);
    Result<FileInfo> info = without_gil([&] { return stat_native(client, path); });
    if (!info.ok()) return raise_error(info.error());
    return convert(std::move(*info));
  });
}

template <class Traits>
PyObject* stat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return stat_family<Traits, "stat">(self, args, nargs, kwnames,
                                     [](FileInfo info) { return new_file_info(std::move(info)); });
}

template <class Traits>
PyObject* exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return stat_family<Traits, "exists">(self, args, nargs, kwnames,
                                       [](const FileInfo& info) { return new_bool(info.exists); });
}

template <class Traits>
PyObject* is_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return stat_family<Traits, "is_file">(
      self, args, nargs, kwnames, [](const FileInfo& info) { return new_bool(info.kind == "file"); });
}

template <class Traits>
PyObject* is_dir(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return stat_family<Traits, "is_dir">(self, args, nargs, kwnames, [](const FileInfo& info) {
    return new_bool(info.kind == "directory");
  });
}

template <class Traits>
PyObject* path_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return stat_family<Traits, "path_info">(self, args, nargs, kwnames, [](const FileInfo& info) {
    return PyTuple_Pack(3, info.exists ? Py_True : Py_False,
                        info.kind == "file" ? Py_True : Py_False,
                        info.kind == "directory" ? Py_True : Py_False);
  });
}

// ---- reads ------------------------------------------------------------------------------------

template <class Traits>
PyObject* read_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[1];
    std::string_view path;
    if (!parse_args(qualified<Traits, "read_bytes">(), PATH_PARAMS, args, nargs, kwnames, given) ||
        !arg_text(given[0], "path", path)) {
      return nullptr;
    }
    const auto& client = client_of<Traits>(self);
    Result<std::string> data = without_gil([&] { return read_bytes_native(client, path); });
    if (!data.ok()) return raise_error(data.error());
    return new_bytes(*data);
  });
}

inline constexpr Param READ_TEXT_PARAMS[] = {
    {.name = "path"},
    {.name = "encoding", .required = false, .keyword_only = true},
};

// Decodes `data` under the label "{prefix}read_text failed: {path}" (windows use it too).
template <class Traits>
PyRef decode_read(std::string_view data, std::string_view encoding, std::string_view path,
                  CoreError& error) {
  return decode_text(data, encoding, concat({Traits::PREFIX, "read_text failed: ", path}), error);
}

template <class Traits>
PyObject* read_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[2];
    std::string_view path, encoding;
    if (!parse_args(qualified<Traits, "read_text">(), READ_TEXT_PARAMS, args, nargs, kwnames,
                    given) ||
        !arg_text(given[0], "path", path) || !arg_encoding(given[1], encoding)) {
      return nullptr;
    }
    const auto& client = client_of<Traits>(self);
    Result<std::string> data = without_gil([&] { return read_bytes_native(client, path); });
    if (!data.ok()) return raise_error(Traits::renamed(data.error(), "read_bytes", "read_text"));
    CoreError error;
    PyRef text = decode_read<Traits>(*data, encoding, path, error);
    if (!text) return raise_error(error);
    return text.release();
  });
}

inline constexpr Param READ_WINDOW_PARAMS[] = {
    {.name = "path"},
    {.name = "offset"},
    {.name = "limit"},
    {.name = "encoding", .required = false, .keyword_only = true},
};

template <class Traits>
PyObject* read_text_window(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[4];
    std::string_view path, encoding;
    std::int64_t offset = 0;
    std::uint64_t limit = 0;
    if (!parse_args(qualified<Traits, "read_text_window">(), READ_WINDOW_PARAMS, args, nargs,
                    kwnames, given) ||
        !arg_text(given[0], "path", path) || !arg_i64(given[1], "offset", offset) ||
        !arg_u64(given[2], "limit", limit) || !arg_encoding(given[3], encoding)) {
      return nullptr;
    }
    if (limit == 0) return raise_value_error("limit must be > 0");
    const auto& client = client_of<Traits>(self);
    Result<TextWindow> window =
        without_gil([&] { return read_text_window_native(client, path, offset, limit); });
    if (!window.ok()) return raise_error(window.error());
    CoreError error;
    PyRef text = decode_read<Traits>(window->content, encoding, path, error);
    if (!text) return raise_error(error);
    PyRef total = PyRef::steal(new_u64(window->total_lines));
    PyRef start = PyRef::steal(new_u64(window->start_line));
    PyRef end = PyRef::steal(new_u64(window->end_line));
    if (!total || !start || !end) return nullptr;
    return PyTuple_Pack(5, text.get(), total.get(), start.get(), end.get(),
                        window->truncated ? Py_True : Py_False);
  });
}

// ---- writes -----------------------------------------------------------------------------------

inline constexpr Param WRITE_BYTES_PARAMS[] = {{.name = "path"}, {.name = "data"}};

template <class Traits>
PyObject* write_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[2];
    std::string_view path, data;
    std::string storage;
    if (!parse_args(qualified<Traits, "write_bytes">(), WRITE_BYTES_PARAMS, args, nargs, kwnames,
                    given) ||
        !arg_text(given[0], "path", path) || !arg_bytes_view(given[1], "data", storage, data)) {
      return nullptr;
    }
    const auto& client = client_of<Traits>(self);
    Result<FileInfo> info = without_gil(
        [&] { return write_bytes_atomic_native(client, path, data, std::nullopt, false); });
    if (!info.ok()) return raise_error(info.error());
    Py_RETURN_NONE;
  });
}

inline constexpr Param WRITE_TEXT_PARAMS[] = {
    {.name = "path"},
    {.name = "content"},
    {.name = "encoding", .required = false, .keyword_only = true},
};

template <class Traits>
PyObject* write_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[3];
    std::string_view path, encoding;
    if (!parse_args(qualified<Traits, "write_text">(), WRITE_TEXT_PARAMS, args, nargs, kwnames,
                    given) ||
        !arg_text(given[0], "path", path) || !arg_encoding(given[2], encoding)) {
      return nullptr;
    }
    Result<EncodedText> data = encode_text_view(
        given[1], encoding, concat({Traits::PREFIX, "write_text failed: ", path}));
    if (!data.ok()) return raise_error(data.error());
    const std::string_view bytes = data->view;
    const auto& client = client_of<Traits>(self);
    Result<FileInfo> info = without_gil(
        [&] { return write_bytes_atomic_native(client, path, bytes, std::nullopt, false); });
    if (!info.ok()) return raise_error(Traits::renamed(info.error(), "write_bytes", "write_text"));
    Py_RETURN_NONE;
  });
}

inline constexpr Param WRITE_ATOMIC_PARAMS[] = {
    {.name = "path"},
    {.name = "content"},
    {.name = "encoding", .required = false, .keyword_only = true},
    {.name = "expected_version", .required = false, .keyword_only = true},
    {.name = "create_only", .required = false, .keyword_only = true},
};

template <class Traits>
PyObject* write_text_atomic(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[5];
    std::string_view path, encoding;
    std::optional<std::string> expected_version;
    bool create_only = false;
    if (!parse_args(qualified<Traits, "write_text_atomic">(), WRITE_ATOMIC_PARAMS, args, nargs,
                    kwnames, given) ||
        !arg_text(given[0], "path", path) || !arg_encoding(given[2], encoding) ||
        !arg_opt_text(given[3], "expected_version", expected_version) ||
        !arg_flag(given[4], "create_only", create_only)) {
      return nullptr;
    }
    Result<EncodedText> data = encode_text_view(
        given[1], encoding, concat({Traits::PREFIX, "write_text_atomic failed: ", path}));
    if (!data.ok()) return raise_error(data.error());
    const std::string_view bytes = data->view;
    const auto& client = client_of<Traits>(self);
    Result<FileInfo> info = without_gil([&] {
      return write_bytes_atomic_native(client, path, bytes, expected_version, create_only);
    });
    if (!info.ok()) return raise_error(info.error());
    return new_file_info(std::move(*info));
  });
}

// ---- directories and deletes ------------------------------------------------------------------

inline constexpr Param MKDIR_PARAMS[] = {
    {.name = "path"},
    {.name = "parents", .required = false, .keyword_only = true},
    {.name = "exist_ok", .required = false, .keyword_only = true},
};

template <class Traits>
PyObject* mkdir(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[3];
    std::string_view path;
    bool parents = true, exist_ok = true;
    if (!parse_args(qualified<Traits, "mkdir">(), MKDIR_PARAMS, args, nargs, kwnames, given) ||
        !arg_text(given[0], "path", path) || !arg_flag(given[1], "parents", parents) ||
        !arg_flag(given[2], "exist_ok", exist_ok)) {
      return nullptr;
    }
    const auto& client = client_of<Traits>(self);
    Result<void> made = without_gil([&] { return mkdir_native(client, path, parents, exist_ok); });
    if (!made.ok()) return raise_error(made.error());
    Py_RETURN_NONE;
  });
}

inline constexpr Param DELETE_PARAMS[] = {
    {.name = "path"},
    {.name = "expected_version", .required = false, .keyword_only = true},
};

// delete(path) is delete_if_version(path) without the keyword: one table, the keyword refused.
template <class Traits, Name M, std::size_t NParams>
PyObject* delete_path(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[2];
    std::string_view path;
    std::optional<std::string> expected_version;
    if (!parse_args(qualified<Traits, M>(), std::span<const Param>(DELETE_PARAMS, NParams), args,
                    nargs, kwnames, given) ||
        !arg_text(given[0], "path", path) ||
        (NParams == 2 && !arg_opt_text(given[1], "expected_version", expected_version))) {
      return nullptr;
    }
    const auto& client = client_of<Traits>(self);
    Result<void> deleted =
        without_gil([&] { return delete_if_version_native(client, path, expected_version); });
    if (!deleted.ok()) return raise_error(deleted.error());
    Py_RETURN_NONE;
  });
}

template <class Traits>
PyObject* delete_(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return delete_path<Traits, "delete", 1>(self, args, nargs, kwnames);
}

template <class Traits>
PyObject* delete_if_version(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return delete_path<Traits, "delete_if_version", 2>(self, args, nargs, kwnames);
}

// ---- the class ------------------------------------------------------------------------------

// The method-table entry of a surface member (`Traits::exec_command` for exec_command), with
// its text signature. Each client lists the entries in its own member order.
template <class Traits>
PyMethodDef entry(std::string_view name) {
  static const PyMethodDef ALL[] = {
      {"resolve", as_method(resolve<Traits>), FASTCALL_KW, "resolve($self, path)\n--\n\n"},
      {"join", as_method(join<Traits>), FASTCALL_KW, "join($self, *parts)\n--\n\n"},
      {"stat", as_method(stat<Traits>), FASTCALL_KW, "stat($self, path)\n--\n\n"},
      {"exists", as_method(exists<Traits>), FASTCALL_KW, "exists($self, path)\n--\n\n"},
      {"is_file", as_method(is_file<Traits>), FASTCALL_KW, "is_file($self, path)\n--\n\n"},
      {"is_dir", as_method(is_dir<Traits>), FASTCALL_KW, "is_dir($self, path)\n--\n\n"},
      {"path_info", as_method(path_info<Traits>), FASTCALL_KW,
       "path_info($self, path)\n--\n\n"},
      {"read_bytes", as_method(read_bytes<Traits>), FASTCALL_KW,
       "read_bytes($self, path)\n--\n\n"},
      {"read_text", as_method(read_text<Traits>), FASTCALL_KW,
       "read_text($self, path, *, encoding=\"utf-8\")\n--\n\n"},
      {"read_text_window", as_method(read_text_window<Traits>), FASTCALL_KW,
       "read_text_window($self, path, offset, limit, *, encoding=\"utf-8\")\n--\n\n"},
      {"write_bytes", as_method(write_bytes<Traits>), FASTCALL_KW,
       "write_bytes($self, path, data)\n--\n\n"},
      {"write_text", as_method(write_text<Traits>), FASTCALL_KW,
       "write_text($self, path, content, *, encoding=\"utf-8\")\n--\n\n"},
      {"write_text_atomic", as_method(write_text_atomic<Traits>), FASTCALL_KW,
       "write_text_atomic($self, path, content, *, encoding=\"utf-8\", expected_version=None, "
       "create_only=False)\n--\n\n"},
      {"mkdir", as_method(mkdir<Traits>), FASTCALL_KW,
       "mkdir($self, path, *, parents=True, exist_ok=True)\n--\n\n"},
      {"delete", as_method(delete_<Traits>), FASTCALL_KW, "delete($self, path)\n--\n\n"},
      {"delete_if_version", as_method(delete_if_version<Traits>), FASTCALL_KW,
       "delete_if_version($self, path, *, expected_version=None)\n--\n\n"},
      {"exec_command", as_method(Traits::exec_command), FASTCALL_KW,
       "exec_command($self, command, *, cwd=None, timeout=None, env=None, stdin=None, "
       "interpreter=None, flags=None, max_output_bytes=None)\n--\n\n"},
  };
  for (const PyMethodDef& def : ALL) {
    if (name == def.ml_name) return def;
  }
  return PyMethodDef{nullptr, nullptr, 0, nullptr};  // unreachable for the names above
}

// Creates the final, immutable client type and gives it its class attribute `kind`. New
// reference or nullptr.
inline PyTypeObject* make_client_type(PyType_Spec* spec, const char* kind) {
  PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(make_type(spec)));
  PyRef value = PyRef::steal(PyUnicode_FromString(kind));
  if (!type || !value ||
      !set_class_attribute(reinterpret_cast<PyTypeObject*>(type.get()), "kind", value.get())) {
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace tarnwistle::py::surface
