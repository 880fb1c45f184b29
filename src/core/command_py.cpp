// The command options of exec_command read from Python objects, normalize_flags and
// inject_cmd_flag, and the CommandResult class.
#include "bindings.hpp"
#include "py.hpp"

namespace tarnwistle::py {

// ---- command options ----------------------------------------------------------------------

namespace {

CoreError env_error(std::string message) { return general_error(std::move(message)); }

// isinstance(env, collections.abc.Mapping); a failing check is reported as unraisable and
// counts as "not a mapping".
bool is_mapping(PyObject* env) {
  if (PyDict_Check(env)) return true;
  PyRef abc = PyRef::steal(PyImport_ImportModule("collections.abc"));
  PyRef mapping = abc ? PyRef::steal(PyObject_GetAttrString(abc.get(), "Mapping")) : PyRef();
  const int found = mapping ? PyObject_IsInstance(env, mapping.get()) : -1;
  if (found < 0) PyErr_WriteUnraisable(env);
  return found == 1;
}

// One (name, value) item of the mapping, checked, into `out`.
Result<void> add_env_item(PyObject* item, EnvMap& out) {
  if (!PyTuple_Check(item)) return env_error("env mapping item is not a pair");
  PyObject* key = PyTuple_GetItem(item, 0);
  PyObject* value = key != nullptr ? PyTuple_GetItem(item, 1) : nullptr;
  if (value == nullptr) return env_error(take_exception_text());
  std::optional<std::string> name = lenient_str(key);
  std::optional<std::string> text = name ? lenient_str(value) : std::nullopt;
  if (!text) return env_error(take_exception_text());
  if (!valid_env_name(*name)) {
    return env_error(concat({"invalid environment variable name: ", debug_quote(*name)}));
  }
  if (text->find('\0') != std::string::npos) {
    return env_error(concat({"environment variable ", debug_quote(*name), " contains a NUL byte"}));
  }
  for (auto& entry : out) {
    if (entry.first == *name) {
      entry.second = std::move(*text);
      return {};
    }
  }
  out.emplace_back(std::move(*name), std::move(*text));
  return {};
}

}  // namespace

Result<EnvMap> normalize_env(PyObject* env) {
  EnvMap out;
  if (env == nullptr || env == Py_None) return out;
  if (!is_mapping(env)) return env_error("env must be a mapping of variable names to values");
  PyRef items = PyRef::steal(PyMapping_Items(env));
  PyRef iter = items ? PyRef::steal(PyObject_GetIter(items.get())) : PyRef();
  if (!iter) return env_error(take_exception_text());
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    Result<void> added = add_env_item(item.get(), out);
    if (!added.ok()) return added.error();
  }
  if (PyErr_Occurred()) return env_error(take_exception_text());
  return out;
}

Result<std::optional<std::chrono::nanoseconds>> normalize_timeout(PyObject* timeout) {
  if (timeout == nullptr || timeout == Py_None) return std::optional<std::chrono::nanoseconds>();
  const char* message = "timeout must be a non-negative finite number or None";
  if (PyBool_Check(timeout)) return general_error(message);
  const double seconds = PyFloat_AsDouble(timeout);
  if (seconds == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return general_error(message);
  }
  return timeout_from_seconds(seconds);
}

Result<std::uint64_t> validate_max_output_bytes(PyObject* value) {
  if (value == nullptr || value == Py_None) return DEFAULT_MAX_OUTPUT_BYTES;
  const char* not_integer = "max_output_bytes must be an integer";
  if (PyBool_Check(value)) return general_error(not_integer);
  PyRef index = PyRef::steal(PyNumber_Index(value));
  const long long n = index ? PyLong_AsLongLong(index.get()) : -1;
  if (n == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return general_error(not_integer);
  }
  if (n < 1) return general_error("max_output_bytes must be greater than zero");
  if (static_cast<std::uint64_t>(n) > MAX_OUTPUT_BYTES_LIMIT) {
    return general_error(concat({"max_output_bytes must not exceed ",
                                 std::to_string(MAX_OUTPUT_BYTES_LIMIT), " bytes"}));
  }
  return static_cast<std::uint64_t>(n);
}

Result<std::vector<std::string>> normalize_flags_object(PyObject* flags, bool posix) {
  std::vector<std::string> out;
  if (flags == nullptr || flags == Py_None) return out;
  if (PyUnicode_Check(flags)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(flags, &size);
    if (data == nullptr) return invalid_value(take_exception_text());
    return split_flags(std::string_view(data, static_cast<std::size_t>(size)), posix);
  }
  PyRef iter = PyRef::steal(PyObject_GetIter(flags));
  if (!iter) {
    PyErr_Clear();
    return invalid_value("flags must be a string or sequence");
  }
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    std::optional<std::string> text = lenient_str(item.get());
    if (!text) return invalid_value(take_exception_text());
    out.push_back(std::move(*text));
  }
  if (PyErr_Occurred()) return invalid_value(take_exception_text());
  return out;
}

// ---- exec_command arguments ---------------------------------------------------------------

namespace {

constexpr Param EXEC_COMMAND_PARAMS[] = {
    {.name = "command"},
    {.name = "cwd", .required = false, .keyword_only = true},
    {.name = "timeout", .required = false, .keyword_only = true},
    {.name = "env", .required = false, .keyword_only = true},
    {.name = "stdin", .required = false, .keyword_only = true},
    {.name = "interpreter", .required = false, .keyword_only = true},
    {.name = "flags", .required = false, .keyword_only = true},
    {.name = "max_output_bytes", .required = false, .keyword_only = true},
};
enum ExecParam { COMMAND, CWD, TIMEOUT, ENV, STDIN, INTERPRETER, FLAGS, MAX_OUTPUT_BYTES };

// Sets out from a Result, or raises its error; the way each option step reads.
template <class T, class U>
bool take(Result<T> result, U& out) {
  if (!result.ok()) {
    raise_error(result.error());
    return false;
  }
  out = std::move(*result);
  return true;
}

// The interpreter, its final flags and the extras the result records about them.
void choose_interpreter(const std::optional<std::string>& given, std::vector<std::string> flags,
                        ExecArgs& out) {
  if (!given) return;
  const std::string_view trimmed = trim_unicode(*given);
  if (trimmed.empty()) return;  // a blank interpreter is no interpreter; flags unused
  out.interpreter.emplace(trimmed);
  out.flags = inject_command_flag(trimmed, std::move(flags));
  out.extras.emplace_back("interpreter", *out.interpreter);
  if (out.flags.empty()) return;
  std::string joined;
  for (const std::string& flag : out.flags) {
    if (!joined.empty()) joined += ' ';
    joined += flag;
  }
  out.extras.emplace_back("flags", std::move(joined));
}

}  // namespace

bool parse_exec_args(const char* fname, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, ExecArgs& out) {
  PyObject* given[std::size(EXEC_COMMAND_PARAMS)];
  std::optional<std::string> interpreter;
  if (!parse_args(fname, EXEC_COMMAND_PARAMS, args, nargs, kwnames, given) ||
      !arg_text(given[COMMAND], "command", out.command) ||
      !arg_opt_fspath(given[CWD], "cwd", out.cwd) ||
      !arg_opt_text(given[INTERPRETER], "interpreter", interpreter)) {
    return false;
  }
  if (out.cwd && out.cwd->empty()) out.cwd.reset();
  if (!take(normalize_timeout(given[TIMEOUT]), out.timeout) ||
      !take(validate_max_output_bytes(given[MAX_OUTPUT_BYTES]), out.max_output_bytes) ||
      !take(normalize_env(given[ENV]), out.env)) {
    return false;
  }
  PyObject* stdin_obj = given[STDIN];
  if (stdin_obj != nullptr && stdin_obj != Py_None &&
      !take(encode_text(stdin_obj, "utf-8", "stdin must be valid UTF-8 text"), out.stdin_data)) {
    return false;
  }
  std::vector<std::string> flags;
  if (!take(normalize_flags_object(given[FLAGS], true), flags)) return false;
  choose_interpreter(interpreter, std::move(flags), out);
  return true;
}

// ---- normalize_flags, inject_cmd_flag -------------------------------------------------------

namespace {

constexpr Param NORMALIZE_FLAGS_PARAMS[] = {
    {.name = "flags", .required = false},
    {.name = "posix", .required = false, .keyword_only = true},
};

PyObject* normalize_flags_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[2];
    bool posix = true;
    if (!parse_args("normalize_flags", NORMALIZE_FLAGS_PARAMS, args, nargs, kwnames, given) ||
        (given[1] != nullptr && given[1] != Py_None && !arg_bool(given[1], "posix", posix))) {
      return nullptr;
    }
    Result<std::vector<std::string>> flags = normalize_flags_object(given[0], posix);
    if (!flags.ok()) return raise_error(flags.error());
    return new_text_list(std::span<const std::string>(*flags));
  });
}

constexpr Param INJECT_CMD_FLAG_PARAMS[] = {{.name = "interpreter"}, {.name = "flags"}};

PyObject* inject_cmd_flag_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[2];
    std::string_view interpreter;
    TextList flags;
    if (!parse_args("inject_cmd_flag", INJECT_CMD_FLAG_PARAMS, args, nargs, kwnames, given) ||
        !arg_text(given[0], "interpreter", interpreter) ||
        !arg_text_list(given[1], "flags", flags)) {
      return nullptr;
    }
    const std::vector<std::string> result = inject_command_flag(
        interpreter, std::vector<std::string>(flags.views.begin(), flags.views.end()));
    return new_text_list(std::span<const std::string>(result));
  });
}

PyMethodDef OPTION_FUNCTIONS[] = {
    {"normalize_flags", as_method(normalize_flags_py), FASTCALL_KW,
     "normalize_flags(flags=None, *, posix=None)\n--\n\n"},
    {"inject_cmd_flag", as_method(inject_cmd_flag_py), FASTCALL_KW,
     "inject_cmd_flag(interpreter, flags)\n--\n\n"},
};

}  // namespace

bool register_options(Registry& r) { return r.add_functions(OPTION_FUNCTIONS); }

// ---- CommandResult --------------------------------------------------------------------------

namespace {

using ResultGetter = PyObject* (*)(const CommandResult&);

template <ResultGetter F>
PyObject* get_result_attr(PyObject* self, void*) {
  return guarded([&] { return F(native_of<CommandResult>(self)); });
}

PyObject* new_extras(const CommandResult& r) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : r.extras) {
    PyRef k = PyRef::steal(new_text(key));
    PyRef v = PyRef::steal(new_text(value));
    if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) != 0) return nullptr;
  }
  return dict.release();
}

PyObject* new_signal(const CommandResult& r) {
  if (!r.signal) Py_RETURN_NONE;
  return new_i64(*r.signal);
}

#define RESULT_ATTR(name, expr)                                                          \
  {name, get_result_attr<+[](const CommandResult& r) -> PyObject* { return expr; }>, nullptr, \
   "", nullptr}

PyGetSetDef COMMAND_RESULT_GETSET[] = {
    RESULT_ATTR("exit_code", new_i64(r.exit_code)),
    RESULT_ATTR("stdout", new_text(r.stdout_text)),
    RESULT_ATTR("stderr", new_text(r.stderr_text)),
    RESULT_ATTR("command", new_text(r.command)),
    RESULT_ATTR("cwd", new_text(r.cwd)),
    RESULT_ATTR("duration_ms", new_u128(r.duration_ms)),
    RESULT_ATTR("timed_out", new_bool(r.timed_out)),
    RESULT_ATTR("signal", new_signal(r)),
    RESULT_ATTR("stdout_total_bytes", new_u64(r.stdout_total_bytes)),
    RESULT_ATTR("stderr_total_bytes", new_u64(r.stderr_total_bytes)),
    RESULT_ATTR("stdout_omitted_bytes", new_u64(r.stdout_omitted_bytes)),
    RESULT_ATTR("stderr_omitted_bytes", new_u64(r.stderr_omitted_bytes)),
    RESULT_ATTR("ok", new_bool(r.ok())),
    RESULT_ATTR("truncated", new_bool(r.truncated())),
    RESULT_ATTR("extras", new_extras(r)),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef RESULT_ATTR

PyObject* command_result_repr_py(PyObject* self) {
  return guarded([&] { return new_text(command_result_repr(native_of<CommandResult>(self))); });
}

int command_result_bool(PyObject* self) { return native_of<CommandResult>(self).ok() ? 1 : 0; }

PyTypeObject* command_result_type() {
  static PyTypeObject* type = nullptr;
  return native_type<CommandResult>(
      type, "tarnwistle._core.CommandResult",
      {{Py_tp_doc, const_cast<char*>("")},
       {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
       {Py_tp_repr, reinterpret_cast<void*>(command_result_repr_py)},
       {Py_nb_bool, reinterpret_cast<void*>(command_result_bool)},
       {Py_tp_getset, COMMAND_RESULT_GETSET}});
}

}  // namespace

PyObject* new_command_result(CommandResult result) {
  PyTypeObject* type = command_result_type();
  if (type == nullptr) return nullptr;
  return box(type, std::move(result));
}

bool register_command_result(Registry& r) {
  return r.add_type("CommandResult", command_result_type());
}

}  // namespace tarnwistle::py
