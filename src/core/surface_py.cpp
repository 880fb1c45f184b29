// The client surface both clients share: one binding per method, written once over the client
// type and compiled here once for each client. Each client supplies its native operations as
// overloads (stat_native(const C&, ...) and the like) and a small traits struct for what
// differs: its class name, the prefix of its codec labels, its path join and its exec_command.

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "fs.hpp"
#include "local.hpp"
#include "output.hpp"
#include "paths.hpp"
#include "py.hpp"
#include "ssh.hpp"

namespace tarnwistle::py {
namespace {

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
bool arg_encoding(PyObject* obj, std::string_view& out) {
  if (obj == nullptr) {
    out = "utf-8";
    return true;
  }
  return arg_text(obj, "encoding", out);
}

bool arg_flag(PyObject* obj, const char* name, bool& out) {
  return obj == nullptr || arg_bool(obj, name, out);
}

constexpr Param PATH_PARAMS[] = {{.name = "path"}};

// ---- paths ------------------------------------------------------------------------------------

template <class Traits>
PyObject* resolve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[1];
    PathText path;
    if (!parse_args(qualified<Traits, "resolve">(), PATH_PARAMS, args, nargs, kwnames, given) ||
        !arg_fspath(given[0], "path", path)) {
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
    PathText path;
    if (!parse_args(qualified<Traits, M>(), PATH_PARAMS, args, nargs, kwnames, given) ||
        !arg_fspath(given[0], "path", path)) {
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
      self, args, nargs, kwnames,
      [](const FileInfo& info) { return new_bool(info.kind == "file"); });
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
constexpr bool IS_LOCAL = std::is_same_v<typename Traits::Client, LocalClient>;

// A local file read straight into a bytes object, made once its size is known, as Python's
// own file reads do: one copy, and no page of it written twice. Nothing else sees the object
// until it is returned, so it is filled without the GIL. Null with the exception set.
PyRef bytes_of(const LocalClient& client, WholeRead& file, std::string_view path,
               std::string_view op) {
  const auto size = static_cast<Py_ssize_t>(file.size);
  PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, size));
  if (!bytes) return bytes;
  const std::span<char> room(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(size));
  std::string more;
  Result<std::size_t> filled =
      without_gil([&] { return read_whole(client, file, room, more, path, op); });
  if (!filled.ok()) return PyRef::steal(raise_error(filled.error()));
  if (*filled == room.size() && more.empty()) return bytes;
  // The file changed its size while it was read.
  return PyRef::steal(new_bytes(concat({std::string_view(room.data(), *filled), more})));
}

PyRef read_local_bytes(const LocalClient& client, std::string_view path, std::string_view op) {
  Result<WholeRead> file = without_gil([&] { return open_whole_read(client, path, op); });
  if (!file.ok()) return PyRef::steal(raise_error(file.error()));
  return bytes_of(client, *file, path, op);
}

// The bytes of a local file for read_text, which only decodes them: into a buffer kept from
// call to call when their size suits one (its pages stay warm, where a new block's would be
// paid for afresh each time), else into a bytes object as for read_bytes. False with the
// exception set.
bool read_local_text_bytes(const LocalClient& client, std::string_view path, PyRef& bytes,
                           std::string& kept) {
  Result<WholeRead> file = without_gil([&] { return open_whole_read(client, path, "read_text"); });
  if (!file.ok()) {
    raise_error(file.error());
    return false;
  }
  if (file->size < KEPT_MIN || file->size > KEPT_MAX) {
    bytes = bytes_of(client, *file, path, "read_text");
    return static_cast<bool>(bytes);
  }
  kept = take_kept_buffer(static_cast<std::size_t>(file->size));
  std::string more;
  Result<std::size_t> filled = without_gil([&] {
    kept.resize(static_cast<std::size_t>(file->size));
    return read_whole(client, *file, kept, more, path, "read_text");
  });
  if (!filled.ok()) {
    raise_error(filled.error());
    return false;
  }
  kept.resize(*filled);
  kept += more;
  return true;
}

template <class Traits>
PyObject* read_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[1];
    PathText path;
    if (!parse_args(qualified<Traits, "read_bytes">(), PATH_PARAMS, args, nargs, kwnames, given) ||
        !arg_fspath(given[0], "path", path)) {
      return nullptr;
    }
    const auto& client = client_of<Traits>(self);
    if constexpr (IS_LOCAL<Traits>) {
      return read_local_bytes(client, path, "read_bytes").release();
    } else {
      Result<std::string> data = without_gil([&] { return read_bytes_native(client, path); });
      if (!data.ok()) return raise_error(data.error());
      return new_bytes(*data);
    }
  });
}

constexpr Param READ_TEXT_PARAMS[] = {
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
    PathText path;
    std::string_view encoding;
    if (!parse_args(qualified<Traits, "read_text">(), READ_TEXT_PARAMS, args, nargs, kwnames,
                    given) ||
        !arg_fspath(given[0], "path", path) || !arg_encoding(given[1], encoding)) {
      return nullptr;
    }
    const auto& client = client_of<Traits>(self);
    PyRef bytes;
    std::string fetched;  // a remote file's bytes
    std::string_view data;
    if constexpr (IS_LOCAL<Traits>) {
      if (!read_local_text_bytes(client, path, bytes, fetched)) return nullptr;
      data = bytes ? std::string_view(PyBytes_AsString(bytes.get()),
                                      static_cast<std::size_t>(PyBytes_Size(bytes.get())))
                   : std::string_view(fetched);
    } else {
      Result<std::string> got =
          without_gil([&] { return read_bytes_native(client, path, "read_text"); });
      if (!got.ok()) return raise_error(got.error());
      fetched = std::move(*got);
      data = fetched;
    }
    CoreError error;
    PyRef text = decode_read<Traits>(data, encoding, path, error);
    keep_buffer(std::move(fetched));
    if (!text) return raise_error(error);
    return text.release();
  });
}

constexpr Param READ_WINDOW_PARAMS[] = {
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
    PathText path;
    std::string_view encoding;
    std::int64_t offset = 0;
    std::uint64_t limit = 0;
    if (!parse_args(qualified<Traits, "read_text_window">(), READ_WINDOW_PARAMS, args, nargs,
                    kwnames, given) ||
        !arg_fspath(given[0], "path", path) || !arg_i64(given[1], "offset", offset) ||
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

constexpr Param WRITE_BYTES_PARAMS[] = {{.name = "path"}, {.name = "data"}};

template <class Traits>
PyObject* write_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[2];
    PathText path;
    std::string_view data;
    std::string storage;
    if (!parse_args(qualified<Traits, "write_bytes">(), WRITE_BYTES_PARAMS, args, nargs, kwnames,
                    given) ||
        !arg_fspath(given[0], "path", path) || !arg_bytes_view(given[1], "data", storage, data)) {
      return nullptr;
    }
    const auto& client = client_of<Traits>(self);
    Result<FileInfo> info = without_gil(
        [&] { return write_bytes_atomic_native(client, path, data, std::nullopt, false); });
    if (!info.ok()) return raise_error(info.error());
    Py_RETURN_NONE;
  });
}

constexpr Param WRITE_TEXT_PARAMS[] = {
    {.name = "path"},
    {.name = "content"},
    {.name = "encoding", .required = false, .keyword_only = true},
};

template <class Traits>
PyObject* write_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[3];
    PathText path;
    std::string_view encoding;
    if (!parse_args(qualified<Traits, "write_text">(), WRITE_TEXT_PARAMS, args, nargs, kwnames,
                    given) ||
        !arg_fspath(given[0], "path", path) || !arg_encoding(given[2], encoding)) {
      return nullptr;
    }
    Result<EncodedText> data = encode_text_view(
        given[1], encoding, concat({Traits::PREFIX, "write_text failed: ", path}));
    if (!data.ok()) return raise_error(data.error());
    const std::string_view bytes = data->view;
    const auto& client = client_of<Traits>(self);
    Result<FileInfo> info = without_gil([&] {
      return write_bytes_atomic_native(client, path, bytes, std::nullopt, false, "write_text");
    });
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

template <class Traits>
PyObject* write_text_atomic(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[5];
    PathText path;
    std::string_view encoding;
    std::optional<std::string> expected_version;
    bool create_only = false;
    if (!parse_args(qualified<Traits, "write_text_atomic">(), WRITE_ATOMIC_PARAMS, args, nargs,
                    kwnames, given) ||
        !arg_fspath(given[0], "path", path) || !arg_encoding(given[2], encoding) ||
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

constexpr Param MKDIR_PARAMS[] = {
    {.name = "path"},
    {.name = "parents", .required = false, .keyword_only = true},
    {.name = "exist_ok", .required = false, .keyword_only = true},
};

template <class Traits>
PyObject* mkdir(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[3];
    PathText path;
    bool parents = true, exist_ok = true;
    if (!parse_args(qualified<Traits, "mkdir">(), MKDIR_PARAMS, args, nargs, kwnames, given) ||
        !arg_fspath(given[0], "path", path) || !arg_flag(given[1], "parents", parents) ||
        !arg_flag(given[2], "exist_ok", exist_ok)) {
      return nullptr;
    }
    const auto& client = client_of<Traits>(self);
    Result<void> made = without_gil([&] { return mkdir_native(client, path, parents, exist_ok); });
    if (!made.ok()) return raise_error(made.error());
    Py_RETURN_NONE;
  });
}

constexpr Param DELETE_PARAMS[] = {
    {.name = "path"},
    {.name = "expected_version", .required = false, .keyword_only = true},
};

// delete(path) is delete_if_version(path) without the keyword: one table, the keyword refused.
template <class Traits, Name M, std::size_t NParams>
PyObject* delete_path(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[2];
    PathText path;
    std::optional<std::string> expected_version;
    if (!parse_args(qualified<Traits, M>(), std::span<const Param>(DELETE_PARAMS, NParams), args,
                    nargs, kwnames, given) ||
        !arg_fspath(given[0], "path", path) ||
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

// ---- the tables ---------------------------------------------------------------------------

// The members of the shared surface. A table lists them by these names, so a misspelt member is
// a compile error; function_of() handles each one (no default case: -Wswitch names a new one).
enum class Member {
  Resolve, Join, Stat, Exists, IsFile, IsDir, PathInfo, ReadBytes, ReadText, ReadTextWindow,
  WriteBytes, WriteText, WriteTextAtomic, Mkdir, Delete, DeleteIfVersion, ExecCommand, Count,
};

// Each member's name and text signature, in the order of Member.
struct Entry {
  Member member;
  const char* name;
  const char* doc;
};
constexpr Entry ENTRIES[] = {
    {Member::Resolve, "resolve", "resolve($self, path)\n--\n\n"},
    {Member::Join, "join", "join($self, *parts)\n--\n\n"},
    {Member::Stat, "stat", "stat($self, path)\n--\n\n"},
    {Member::Exists, "exists", "exists($self, path)\n--\n\n"},
    {Member::IsFile, "is_file", "is_file($self, path)\n--\n\n"},
    {Member::IsDir, "is_dir", "is_dir($self, path)\n--\n\n"},
    {Member::PathInfo, "path_info", "path_info($self, path)\n--\n\n"},
    {Member::ReadBytes, "read_bytes", "read_bytes($self, path)\n--\n\n"},
    {Member::ReadText, "read_text", "read_text($self, path, *, encoding=\"utf-8\")\n--\n\n"},
    {Member::ReadTextWindow, "read_text_window",
     "read_text_window($self, path, offset, limit, *, encoding=\"utf-8\")\n--\n\n"},
    {Member::WriteBytes, "write_bytes", "write_bytes($self, path, data)\n--\n\n"},
    {Member::WriteText, "write_text",
     "write_text($self, path, content, *, encoding=\"utf-8\")\n--\n\n"},
    {Member::WriteTextAtomic, "write_text_atomic",
     "write_text_atomic($self, path, content, *, encoding=\"utf-8\", expected_version=None, "
     "create_only=False)\n--\n\n"},
    {Member::Mkdir, "mkdir", "mkdir($self, path, *, parents=True, exist_ok=True)\n--\n\n"},
    {Member::Delete, "delete", "delete($self, path)\n--\n\n"},
    {Member::DeleteIfVersion, "delete_if_version",
     "delete_if_version($self, path, *, expected_version=None)\n--\n\n"},
    {Member::ExecCommand, "exec_command",
     "exec_command($self, command, *, cwd=None, timeout=None, env=None, stdin=None, "
     "interpreter=None, flags=None, max_output_bytes=None)\n--\n\n"},
};

constexpr bool entries_in_order() {
  for (std::size_t i = 0; i < std::size(ENTRIES); ++i) {
    if (static_cast<std::size_t>(ENTRIES[i].member) != i) return false;
  }
  return std::size(ENTRIES) == static_cast<std::size_t>(Member::Count);
}
static_assert(entries_in_order(), "one entry per member, in the order of Member");

template <class T>
FastcallKw function_of(Member m) {
  switch (m) {
    case Member::Resolve: return resolve<T>;
    case Member::Join: return join<T>;
    case Member::Stat: return stat<T>;
    case Member::Exists: return exists<T>;
    case Member::IsFile: return is_file<T>;
    case Member::IsDir: return is_dir<T>;
    case Member::PathInfo: return path_info<T>;
    case Member::ReadBytes: return read_bytes<T>;
    case Member::ReadText: return read_text<T>;
    case Member::ReadTextWindow: return read_text_window<T>;
    case Member::WriteBytes: return write_bytes<T>;
    case Member::WriteText: return write_text<T>;
    case Member::WriteTextAtomic: return write_text_atomic<T>;
    case Member::Mkdir: return mkdir<T>;
    case Member::Delete: return delete_<T>;
    case Member::DeleteIfVersion: return delete_if_version<T>;
    case Member::ExecCommand: return T::exec_command;
    case Member::Count: break;
  }
  return nullptr;
}

template <class T>
PyMethodDef method(Member m) {
  const Entry& e = ENTRIES[static_cast<std::size_t>(m)];
  return {e.name, as_method(function_of<T>(m)), FASTCALL_KW, e.doc};
}

constexpr std::size_t MEMBERS = static_cast<std::size_t>(Member::Count);
using Order = std::array<Member, MEMBERS>;

// Every member exactly once.
constexpr bool complete(const Order& order) {
  for (std::size_t m = 0; m < MEMBERS; ++m) {
    std::size_t seen = 0;
    for (Member listed : order) seen += static_cast<std::size_t>(listed) == m ? 1 : 0;
    if (seen != 1) return false;
  }
  return true;
}

// The method table in `order`, ending with the sentinel the type machinery needs.
template <class T>
std::array<PyMethodDef, MEMBERS + 1> table(const Order& order) {
  std::array<PyMethodDef, MEMBERS + 1> out{};
  for (std::size_t i = 0; i < MEMBERS; ++i) out[i] = method<T>(order[i]);
  out[MEMBERS] = {nullptr, nullptr, 0, nullptr};
  return out;
}

struct LocalTraits {
  using Client = LocalClient;
  static constexpr std::string_view CLASS = "LocalClient";
  static constexpr std::string_view PREFIX = "";
  static std::string join(std::span<const std::string_view> parts) { return join_paths(parts); }
  static constexpr FastcallKw exec_command = local_exec_command;
};

struct SshTraits {
  using Client = SshClient;
  static constexpr std::string_view CLASS = "SshClient";
  static constexpr std::string_view PREFIX = "SSH ";
  static std::string join(std::span<const std::string_view> parts) { return join_posix(parts); }
  static constexpr FastcallKw exec_command = ssh_exec_command;
};

using enum Member;

// The local surface lists read_text before read_bytes and write_text before write_bytes.
constexpr Order LOCAL_ORDER = {Resolve,   Join,           Stat,      Exists,     IsFile,
                               IsDir,     PathInfo,       ReadText,  ReadBytes,  ReadTextWindow,
                               WriteText, WriteBytes,     WriteTextAtomic,       Mkdir,
                               Delete,    DeleteIfVersion, ExecCommand};
constexpr Order SSH_ORDER = {Resolve,    Join,           Stat,      Exists,    IsFile,
                             IsDir,      PathInfo,       ReadBytes, ReadText,  ReadTextWindow,
                             WriteBytes, WriteText,      WriteTextAtomic,      Mkdir,
                             Delete,     DeleteIfVersion, ExecCommand};
static_assert(complete(LOCAL_ORDER) && complete(SSH_ORDER));

}  // namespace

PyMethodDef* local_client_methods() {
  static std::array<PyMethodDef, MEMBERS + 1> methods = table<LocalTraits>(LOCAL_ORDER);
  return methods.data();
}

PyMethodDef* ssh_client_methods() {
  static std::array<PyMethodDef, MEMBERS + 1> methods = table<SshTraits>(SSH_ORDER);
  return methods.data();
}

PyTypeObject* make_client_type(const char* name, int basicsize, destructor dealloc,
                               std::initializer_list<PyType_Slot> slots, const char* kind) {
  PyTypeObject* made = make_type(name, basicsize, dealloc, slots);
  PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(made));
  PyRef value = PyRef::steal(PyUnicode_FromString(kind));
  if (!type || !value ||
      !set_class_attribute(reinterpret_cast<PyTypeObject*>(type.get()), "kind", value.get())) {
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type.release());
}

// Client = LocalClient | SshClient, both read back from the module as registered.
bool register_client_union(Registry& r) {
  PyRef local = PyRef::steal(PyObject_GetAttrString(r.module(), "LocalClient"));
  PyRef ssh = PyRef::steal(PyObject_GetAttrString(r.module(), "SshClient"));
  if (!local || !ssh) return false;
  return r.add("Client", PyObject_CallMethod(local.get(), "__or__", "O", ssh.get()));
}

}  // namespace tarnwistle::py
