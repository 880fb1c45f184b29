#include "py.hpp"

#include <cstdio>
#include <cstdlib>

namespace tarnwistle::py {

namespace {

PyObject* PANIC_TYPE = nullptr;  // write-once under the GIL

PyObject* panic_type() {
  if (PANIC_TYPE == nullptr) {
    PANIC_TYPE = PyErr_NewExceptionWithDoc("tarnwistle._core.PanicException",
                                           "An internal fault of the native core.",
                                           PyExc_BaseException, nullptr);
  }
  return PANIC_TYPE;
}

// __qualname__ of `type` as UTF-8, or "?" when it cannot be read.
std::string qualified_name(PyObject* type) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(type, "__qualname__"));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return "?";
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return std::string(data, static_cast<std::size_t>(size));
}

std::string type_name_of(PyObject* obj) {
  return qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
}

// TypeError "argument '{name}': {message}".
bool argument_type_error(const char* name, std::string_view message) {
  std::string text = "argument '";
  text += name;
  text += "': ";
  text.append(message);
  PyRef msg = PyRef::steal(new_text(text));
  if (msg) PyErr_SetObject(PyExc_TypeError, msg.get());
  return false;
}

bool cannot_convert(PyObject* obj, const char* name, const char* target) {
  const std::string message =
      concat({"'", type_name_of(obj), "' object cannot be converted to '", target, "'"});
  return argument_type_error(name, message);
}

void append_quoted_names(std::string& out, std::span<const char* const> names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
}

bool missing_error(const char* fname, std::span<const char* const> names, const char* what) {
  std::string message = fname;
  message += "() missing ";
  message += std::to_string(names.size());
  message += " required ";
  message += what;
  message += names.size() == 1 ? " argument: " : " arguments: ";
  append_quoted_names(message, names);
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

bool too_many_positional(const char* fname, std::span<const Param> params, Py_ssize_t given,
                         std::size_t kwonly_given) {
  std::size_t max = 0, min = 0;
  for (const Param& p : params) {
    if (p.keyword_only) continue;
    ++max;
    if (p.required) ++min;
  }
  std::string message = fname;
  message += "() takes ";
  if (min != max) message += "from " + std::to_string(min) + " to ";
  message += std::to_string(max);
  // The interpreter says "arguments" for any range, even "from 0 to 1".
  message += (max == 1 && min == max) ? " positional argument" : " positional arguments";
  message += " but " + std::to_string(given);
  if (kwonly_given > 0) {
    message += given == 1 ? " positional argument" : " positional arguments";
    message += " (and " + std::to_string(kwonly_given) + " keyword-only argument";
    if (kwonly_given != 1) message += 's';
    message += ')';
  }
  message += (given == 1 && kwonly_given == 0) ? " was given" : " were given";
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

// Index of the parameter called `key`, or -1.
Py_ssize_t find_param(std::span<const Param> params, PyObject* key) {
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, params[i].name) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

}  // namespace

std::optional<std::string> lenient_str(PyObject* obj) {
  PyRef text = PyRef::steal(PyObject_Str(obj));
  if (!text) return std::nullopt;
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!bytes) return std::nullopt;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return std::nullopt;
  return utf8_lossy(std::string_view(data, static_cast<std::size_t>(size)));
}

PyObject* raise_internal_fault(const char* message) noexcept {
  PyObject* type = panic_type();
  if (type == nullptr) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  PyErr_SetString(type, message);
  return nullptr;
}

PyObject* raise_value_error(std::string_view message) {
  return raise_error(CoreError{CoreErrorKind::InvalidValue, std::string(message)});
}

PyObject* raise_error(const CoreError& error) {
  if (PyErr_Occurred() != nullptr) return nullptr;
  PyObject* cls = exception_class(error.kind);
  if (cls == nullptr) return nullptr;
  PyRef msg = PyRef::steal(new_text(error.message));
  if (!msg) return nullptr;
  PyErr_SetObject(cls, msg.get());
  return nullptr;
}

PendingError take_pending() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
#pragma GCC diagnostic pop
  return {PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)};
}

void restore(PendingError error) {
  PyErr_Restore(error.type.release(), error.value.release(), error.traceback.release());
}

namespace {

// str() of an exception, or the stand-in when str() itself fails.
std::string exception_str(PyObject* value) {
  std::optional<std::string> text = value != nullptr ? lenient_str(value) : std::nullopt;
  if (text) return std::move(*text);
  PyErr_Clear();
  return "<exception str() failed>";
}

}  // namespace

std::string take_exception_text() {
  const PendingError pending = take_pending();
  std::string text = pending.type ? qualified_name(pending.type.get()) : std::string("?");
  text += ": ";
  text += exception_str(pending.value.get());
  return text;
}

// ---- codecs -----------------------------------------------------------------------------

PyRef decode_text(std::string_view data, std::string_view encoding, std::string_view label,
                  CoreError& error) {
  auto fail = [&](std::string detail) {
    error = general_error(concat({label, ": ", detail}));
    return PyRef();
  };
  PyRef result;
  if (encoding == "utf-8") {
    // Same result as bytes.decode("utf-8", "replace") without the intermediate bytes copy.
    result = PyRef::steal(PyUnicode_DecodeUTF8(data.data(), static_cast<Py_ssize_t>(data.size()),
                                               "replace"));
  } else {
    PyRef bytes = PyRef::steal(new_bytes(data));
    PyRef enc = PyRef::steal(new_text(encoding));
    PyRef errors = PyRef::steal(PyUnicode_FromString("replace"));
    PyRef method = PyRef::steal(PyUnicode_FromString("decode"));
    if (!bytes || !enc || !errors || !method) return fail(take_exception_text());
    result = PyRef::steal(
        PyObject_CallMethodObjArgs(bytes.get(), method.get(), enc.get(), errors.get(), nullptr));
  }
  if (!result) return fail(take_exception_text());
  if (!PyUnicode_Check(result.get())) {
    return fail(concat({"TypeError: '", type_name_of(result.get()),
                        "' object cannot be converted to 'PyString'"}));
  }
  return result;
}

Result<EncodedText> encode_text_view(PyObject* obj, std::string_view encoding,
                                     std::string_view label) {
  auto fail = [&](std::string detail) {
    return general_error(concat({label, ": ", detail}));
  };
  if (encoding == "utf-8" && PyUnicode_CheckExact(obj)) {
    // The str's own UTF-8 form (cached in the object) is what encode would copy; it fails on
    // lone surrogates with the same UnicodeEncodeError.
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return fail(take_exception_text());
    return EncodedText{PyRef::borrow(obj), std::string_view(data, static_cast<std::size_t>(size))};
  }
  PyRef enc = PyRef::steal(new_text(encoding));
  PyRef errors = PyRef::steal(PyUnicode_FromString("strict"));
  PyRef method = PyRef::steal(PyUnicode_FromString("encode"));
  if (!enc || !errors || !method) return fail(take_exception_text());
  PyRef result = PyRef::steal(
      PyObject_CallMethodObjArgs(obj, method.get(), enc.get(), errors.get(), nullptr));
  if (!result) return fail(take_exception_text());
  if (!PyBytes_Check(result.get())) {
    return fail(
        concat({"'", type_name_of(result.get()), "' object cannot be converted to 'PyBytes'"}));
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(result.get(), &data, &size) != 0) {
    return fail(take_exception_text());
  }
  return EncodedText{std::move(result), std::string_view(data, static_cast<std::size_t>(size))};
}

Result<std::string> encode_text(PyObject* obj, std::string_view encoding, std::string_view label) {
  Result<EncodedText> encoded = encode_text_view(obj, encoding, label);
  if (!encoded.ok()) return std::move(encoded.error());
  return std::string(encoded->view);
}

// ---- argument parsing ---------------------------------------------------------------------

namespace {

// The keyword arguments into `out`, after the positional ones; false with TypeError set.
bool match_keywords(const char* fname, std::span<const Param> params, PyObject* const* values,
                    PyObject* kwnames, PyObject** out) {
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GetItem(kwnames, k);
    const Py_ssize_t idx = find_param(params, key);
    if (idx < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
      return false;
    }
    if (out[idx] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", fname, key);
      return false;
    }
    out[idx] = values[k];
  }
  return true;
}

// Missing required arguments, positional ones reported before keyword-only ones.
bool check_required(const char* fname, std::span<const Param> params, PyObject* const* out) {
  std::vector<const char*> missing;
  for (bool keyword_only : {false, true}) {
    for (std::size_t i = 0; i < params.size(); ++i) {
      if (params[i].keyword_only == keyword_only && params[i].required && out[i] == nullptr) {
        missing.push_back(params[i].name);
      }
    }
    if (!missing.empty()) {
      return missing_error(fname, missing, keyword_only ? "keyword-only" : "positional");
    }
  }
  return true;
}

// "takes N positional arguments but M were given", with the keyword-only ones counted.
bool refuse_surplus(const char* fname, std::span<const Param> params, Py_ssize_t nargs,
                    PyObject* kwnames) {
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  std::size_t kwonly_given = 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    const Py_ssize_t idx = find_param(params, PyTuple_GetItem(kwnames, k));
    if (idx >= 0 && params[static_cast<std::size_t>(idx)].keyword_only) ++kwonly_given;
  }
  return too_many_positional(fname, params, nargs, kwonly_given);
}

}  // namespace

bool parse_args(const char* fname, std::span<const Param> params, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  for (std::size_t i = 0; i < params.size(); ++i) out[i] = nullptr;
  std::size_t n_positional = 0;
  for (const Param& p : params) n_positional += p.keyword_only ? 0 : 1;
  if (static_cast<std::size_t>(nargs) > n_positional) {
    return refuse_surplus(fname, params, nargs, kwnames);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  return match_keywords(fname, params, args + nargs, kwnames, out) &&
         check_required(fname, params, out);
}

bool parse_tuple_args(const char* fname, std::span<const Param> params, PyObject* args,
                      PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  const Py_ssize_t nkw = kwargs != nullptr ? PyDict_Size(kwargs) : 0;
  std::vector<PyObject*> flat;  // borrowed: the tuple and the dict keep the values alive
  flat.reserve(static_cast<std::size_t>(nargs + nkw));
  for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GetItem(args, i));
  PyRef kwnames;
  if (nkw > 0) {
    kwnames = PyRef::steal(PyTuple_New(nkw));
    if (!kwnames) return false;
    Py_ssize_t pos = 0, k = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_INCREF(key);
      PyTuple_SetItem(kwnames.get(), k++, key);  // steals the new reference
      flat.push_back(value);
    }
  }
  return parse_args(fname, params, flat.data(), nargs, kwnames.get(), out);
}

bool no_keywords(const char* fname, PyObject* kwnames) {
  if (kwnames == nullptr || PyTuple_Size(kwnames) == 0) return true;
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname,
               PyTuple_GetItem(kwnames, 0));
  return false;
}

// ---- converters ---------------------------------------------------------------------------

bool prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  const PendingError first = take_pending();
  const std::string text = exception_str(first.value.get());
  PyRef cause = first.value ? PyRef::steal(PyException_GetCause(first.value.get())) : PyRef();
  argument_type_error(name, text);
  if (cause) {
    PendingError renamed = take_pending();
    PyException_SetCause(renamed.value.get(), cause.release());  // steals the cause
    restore(std::move(renamed));
  }
  return false;
}

bool arg_text(PyObject* obj, const char* name, std::string_view& out) {
  if (!PyUnicode_Check(obj)) return cannot_convert(obj, name, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;  // lone surrogates: UnicodeEncodeError, raised unchanged
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool arg_text(PyObject* obj, const char* name, std::string& out) {
  std::string_view view;
  if (!arg_text(obj, name, view)) return false;
  out.assign(view);
  return true;
}

bool arg_opt_text(PyObject* obj, const char* name, std::optional<std::string>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  std::string_view view;
  if (!arg_text(obj, name, view)) return false;
  out.emplace(view);
  return true;
}

bool arg_bool(PyObject* obj, const char* name, bool& out) {
  if (!PyBool_Check(obj)) return cannot_convert(obj, name, "PyBool");
  out = obj == Py_True;
  return true;
}

bool arg_u64(PyObject* obj, const char* name, std::uint64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return prefix_type_error(name);
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return prefix_type_error(name);
  }
  out = value;
  return true;
}

bool arg_i64(PyObject* obj, const char* name, std::int64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return prefix_type_error(name);
  const long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) return prefix_type_error(name);
  out = value;
  return true;
}

bool arg_f64(PyObject* obj, const char* name, double& out) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return prefix_type_error(name);
  out = value;
  return true;
}

namespace {

// The length of a sequence argument other than str; -1 with TypeError set.
Py_ssize_t sequence_length(PyObject* obj, const char* name) {
  if (PyUnicode_Check(obj)) {
    argument_type_error(name, "Can't extract `str` to `Vec`");
    return -1;
  }
  if (!PySequence_Check(obj)) {
    cannot_convert(obj, name, "Sequence");
    return -1;
  }
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) prefix_type_error(name);
  return size;
}

// Room to reserve for the items: a list or tuple holds them already, any other sequence may
// only claim its length (range(10**18)), so its items are counted as they come.
std::size_t reserve_hint(PyObject* obj, Py_ssize_t size) {
  constexpr Py_ssize_t CLAIMED = 4096;
  const bool held = PyList_Check(obj) || PyTuple_Check(obj);
  return static_cast<std::size_t>(held ? size : std::min(size, CLAIMED));
}

}  // namespace

bool arg_sequence(PyObject* obj, const char* name, std::vector<PyRef>& items, ItemCheck check) {
  const Py_ssize_t size = sequence_length(obj, name);
  if (size < 0) return false;
  items.clear();
  items.reserve(reserve_hint(obj, size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(obj, i));
    if (!item) return prefix_type_error(name);
    if (check != nullptr && !check(item.get(), name)) return false;
    items.push_back(std::move(item));
  }
  return true;
}

bool arg_bytes(PyObject* obj, const char* name, std::string& out) {
  if (PyBytes_Check(obj)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &size) != 0) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
  }
  if (PyByteArray_Check(obj)) {
    out.assign(PyByteArray_AsString(obj), static_cast<std::size_t>(PyByteArray_Size(obj)));
    return true;
  }
  // Item by item, so a sequence that only claims a huge length fails at its first bad item
  // instead of reserving memory it never fills.
  const Py_ssize_t size = sequence_length(obj, name);
  if (size < 0) return false;
  out.clear();
  out.reserve(reserve_hint(obj, size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(obj, i));
    if (!item) return prefix_type_error(name);
    PyRef index = PyRef::steal(PyNumber_Index(item.get()));
    if (!index) return prefix_type_error(name);
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return prefix_type_error(name);
    if (overflow != 0 || value < 0 || value > 255) {
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
      return false;
    }
    out += static_cast<char>(value);
  }
  return true;
}

bool arg_bytes_view(PyObject* obj, const char* name, std::string& storage,
                    std::string_view& view) {
  if (PyBytes_Check(obj)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &size) != 0) return false;
    view = std::string_view(data, static_cast<std::size_t>(size));
    return true;
  }
  if (!arg_bytes(obj, name, storage)) return false;
  view = storage;
  return true;
}

bool arg_fspath(PyObject* obj, const char* name, PathText& out) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  if (PyUnicode_Check(obj) || !PyObject_HasAttrString(type, "__fspath__")) {
    return arg_text(obj, name, out.view);
  }
  PyRef path = PyRef::steal(PyOS_FSPath(obj));
  if (!path) return prefix_type_error(name);
  std::string_view text;
  if (!arg_text(path.get(), name, text)) return false;
  out.owned.assign(text);
  out.view = out.owned;
  return true;
}

bool arg_opt_fspath(PyObject* obj, const char* name, std::optional<std::string>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  PathText path;
  if (!arg_fspath(obj, name, path)) return false;
  out.emplace(path.view);
  return true;
}

bool arg_path(PyObject* obj, const char* name, std::optional<std::string>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  PyRef path = PyRef::steal(PyOS_FSPath(obj));
  if (!path) return prefix_type_error(name);
  if (!PyUnicode_Check(path.get())) return cannot_convert(path.get(), name, "PyString");
  std::optional<std::string> text = lenient_str(path.get());
  if (!text) return false;
  out = std::move(*text);
  return true;
}

bool arg_text_list(PyObject* obj, const char* name, TextList& out) {
  const Py_ssize_t size = sequence_length(obj, name);
  if (size < 0) return false;
  out.owners.clear();
  out.views.clear();
  out.owners.reserve(reserve_hint(obj, size));
  out.views.reserve(reserve_hint(obj, size));
  // Each item is converted as it is taken: a long sequence of non-str fails at its first.
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(obj, i));
    if (!item) return prefix_type_error(name);
    std::string_view view;
    if (!arg_text(item.get(), name, view)) return false;
    out.views.push_back(view);
    out.owners.push_back(std::move(item));
  }
  return true;
}

bool item_opt_text(PyObject* obj, const char* name, std::optional<std::string_view>& out) {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  std::string_view view;
  if (!arg_text(obj, name, view)) return false;
  out = view;
  return true;
}

bool item_tuple(PyObject* obj, const char* name, Py_ssize_t size) {
  if (!PyTuple_Check(obj)) return cannot_convert(obj, name, "PyTuple");
  const Py_ssize_t got = PyTuple_Size(obj);
  if (got != size) {
    return argument_type_error(name, concat({"expected tuple of length ", std::to_string(size),
                                            ", but got tuple of length ", std::to_string(got)}));
  }
  return true;
}

// ---- results ------------------------------------------------------------------------------

PyObject* new_text(std::string_view utf8) {
  return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace");
}

PyObject* new_bytes(std::string_view data) {
  return PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()));
}

PyObject* new_bool(bool value) { return PyBool_FromLong(value ? 1 : 0); }

PyObject* new_u64(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* new_i64(std::int64_t value) { return PyLong_FromLongLong(value); }

PyObject* new_u128(unsigned __int128 value) {
  const auto low = static_cast<std::uint64_t>(value);
  const auto high = static_cast<std::uint64_t>(value >> 64);
  if (high == 0) return PyLong_FromUnsignedLongLong(low);
  PyRef hi = PyRef::steal(PyLong_FromUnsignedLongLong(high));
  PyRef shift = PyRef::steal(PyLong_FromLong(64));
  PyRef lo = PyRef::steal(PyLong_FromUnsignedLongLong(low));
  if (!hi || !shift || !lo) return nullptr;
  PyRef shifted = PyRef::steal(PyNumber_Lshift(hi.get(), shift.get()));
  if (!shifted) return nullptr;
  return PyNumber_Or(shifted.get(), lo.get());
}

PyObject* new_tuple(std::initializer_list<PyObject*> items) {
  std::vector<PyRef> owned;
  owned.reserve(items.size());
  bool complete = true;
  for (PyObject* item : items) {
    complete = complete && item != nullptr;
    owned.push_back(PyRef::steal(item));
  }
  if (!complete) return nullptr;
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(owned.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < owned.size(); ++i) {
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), owned[i].release());  // steals
  }
  return tuple.release();
}

namespace {
template <class Item>
PyObject* text_list_of(std::span<const Item> items) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* s = new_text(items[i]);
    if (s == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), s);  // steals s
  }
  return list.release();
}
}  // namespace

PyObject* new_text_list(std::span<const std::string_view> items) { return text_list_of(items); }
PyObject* new_text_list(std::span<const std::string> items) { return text_list_of(items); }

// ---- classes ------------------------------------------------------------------------------

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  const std::string message =
      concat({"No constructor defined for ", qualified_name(reinterpret_cast<PyObject*>(type))});
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return nullptr;
}

PyTypeObject* make_type(const char* name, int basicsize, destructor dealloc,
                        std::initializer_list<PyType_Slot> slots) {
  std::vector<PyType_Slot> all(slots);
  all.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
  all.push_back({0, nullptr});
  PyType_Spec spec = {name, basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                      all.data()};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

bool set_class_attribute(PyTypeObject* type, const char* name, PyObject* value) {
  // The generic setter writes the type's own dictionary, past the immutable-type check of
  // type.__setattr__; the attribute cache is then told that the type changed.
  PyRef key = PyRef::steal(PyUnicode_InternFromString(name));
  if (!key || PyObject_GenericSetAttr(reinterpret_cast<PyObject*>(type), key.get(), value) != 0) {
    return false;
  }
  PyType_Modified(type);
  return true;
}

// ---- signals --------------------------------------------------------------------------------

namespace {

unsigned long MAIN_THREAD = 0;  // write-once under the GIL, at module start

}  // namespace

bool remember_main_thread() {
  PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
  PyRef main = threading
                   ? PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr))
                   : PyRef();
  PyRef ident = main ? PyRef::steal(PyObject_GetAttrString(main.get(), "ident")) : PyRef();
  if (!ident) return false;
  MAIN_THREAD = PyLong_AsUnsignedLong(ident.get());
  return !PyErr_Occurred();
}

bool on_main_thread() { return PyThread_get_thread_ident() == MAIN_THREAD; }

bool signal_raised() {
  const PyGILState_STATE gil = PyGILState_Ensure();
  const bool raised = PyErr_CheckSignals() != 0;
  PyGILState_Release(gil);
  return raised;
}

// ---- registration ---------------------------------------------------------------------------

bool Registry::add(const char* name, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  if (!owned) return false;
  if (!all_) {
    all_ = PyRef::steal(PyList_New(0));
    if (!all_ || PyModule_AddObjectRef(module_, "__all__", all_.get()) != 0) return false;
  }
  PyRef key = PyRef::steal(PyUnicode_FromString(name));
  return key && PyModule_AddObjectRef(module_, name, owned.get()) == 0 &&
         PyList_Append(all_.get(), key.get()) == 0;
}

bool Registry::add_type(const char* name, PyTypeObject* type) {
  if (type == nullptr) return false;
  Py_INCREF(type);
  return add(name, reinterpret_cast<PyObject*>(type));
}

bool Registry::add_functions(std::span<const PyMethodDef> defs) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module_));
  if (!module_name) return false;
  for (const PyMethodDef& def : defs) {
    // The function keeps a pointer to its definition, which lives as long as the process.
    auto* stored = const_cast<PyMethodDef*>(&def);
    if (!add(def.ml_name, PyCFunction_NewEx(stored, nullptr, module_name.get()))) return false;
  }
  return true;
}

}  // namespace tarnwistle::py
