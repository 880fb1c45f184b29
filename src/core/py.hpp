// The binding layer every *_py.cpp uses: one reference owner, one argument parser, one set of
// converters, one GIL release helper, one way to raise a CoreError. Limited API (3.10) only.
#pragma once

#ifndef Py_LIMITED_API
#error "the extension is built against the limited API only"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "command.hpp"
#include "error.hpp"
#include "text.hpp"

namespace tarnwistle::py {

// The only way binding code holds a reference.
class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* p) { return PyRef(p); }  // a new reference from an API call
  static PyRef borrow(PyObject* p) {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }  // for APIs that steal
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// ---- faults -----------------------------------------------------------------------------

// Sets PanicException (a BaseException subclass) with `message`; returns nullptr.
PyObject* raise_internal_fault(const char* message) noexcept;

// On the main thread: whether a signal arrived whose Python handler raised (Ctrl-C raises
// KeyboardInterrupt), which then stays pending for the call to raise. Takes the GIL briefly.
bool signal_raised();
// Whether the calling thread is the interpreter's main thread, the only one signals reach.
bool on_main_thread();

// Runs `work` with the GIL released. `work` must not touch any PyObject. If it throws, the
// GIL is re-taken (by Restore's destructor) before the exception reaches `guarded`. On the main
// thread a process the work runs stops when a signal handler raises (raise_error then keeps
// that exception).
template <class F>
auto without_gil(F&& work) {
  struct Restore {
    PyThreadState* state;
    ~Restore() { PyEval_RestoreThread(state); }
  };
  const InterruptScope scope(on_main_thread() ? signal_raised : nullptr);
  Restore restore{PyEval_SaveThread()};
  return work();
}

// Wraps every entry point: nothing unwinds into the interpreter.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_internal_fault(e.what());
  } catch (...) {
    return raise_internal_fault("unknown native fault");
  }
}

// ---- errors -----------------------------------------------------------------------------

// The cached exception class of a kind (InvalidValue is the built-in ValueError), created on
// first need. Borrowed; nullptr with an exception set.
PyObject* exception_class(CoreErrorKind kind);

// Sets the exception of `error`'s kind with its message; returns nullptr. An exception already
// pending (a signal handler's, which stopped the work) is kept instead.
PyObject* raise_error(const CoreError& error);
// Built-in ValueError with `message`; returns nullptr.
PyObject* raise_value_error(std::string_view message);

// The pending exception, taken (the indicator is cleared) and normalised. The 3.10 limited API
// offers only PyErr_Fetch for this.
struct PendingError {
  PyRef type, value, traceback;
};
PendingError take_pending();
// Sets `error` as the pending exception again.
void restore(PendingError error);

// The pending exception as "{qualified type name}: {str(exc)}", converted leniently; the
// exception is cleared. "<exception str() failed>" stands in for a failing str().
std::string take_exception_text();

// str(obj) as UTF-8, lone surrogates replaced by U+FFFD (one per byte of their encoding);
// nullopt with the exception pending when str() fails.
std::optional<std::string> lenient_str(PyObject* obj);

// ---- codecs -----------------------------------------------------------------------------

// bytes(data).decode(encoding, "replace") as a new str, or a General CoreError
// "{label}: {type name}: {exception text}". GIL held.
PyRef decode_text(std::string_view data, std::string_view encoding, std::string_view label,
                  CoreError& error);
// obj.encode(encoding, "strict") copied out, or a General CoreError with the label. GIL held.
Result<std::string> encode_text(PyObject* obj, std::string_view encoding, std::string_view label);
// The same without copying the result: `view` points into the bytes object `owner` holds, so it
// stays valid (bytes are immutable) while the GIL is released. Large writes skip a copy.
struct EncodedText {
  PyRef owner;
  std::string_view view;
};
Result<EncodedText> encode_text_view(PyObject* obj, std::string_view encoding,
                                     std::string_view label);

// ---- argument parsing ---------------------------------------------------------------------

struct Param {
  const char* name;
  bool required = true;
  bool keyword_only = false;
};

// Matches a METH_FASTCALL|METH_KEYWORDS call against `params` like a Python def. `out` gets
// one borrowed pointer per parameter (nullptr when not given). `fname` appears in the
// TypeError messages, e.g. "LocalClient.read_text". Returns false with TypeError set.
bool parse_args(const char* fname, std::span<const Param> params, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
template <std::size_t N>
bool parse_args(const char* fname, const Param (&params)[N], PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  return parse_args(fname, std::span<const Param>(params, N), args, nargs, kwnames, out);
}
// The same for tp_new-style calls (a tuple and an optional dict), such as constructors.
bool parse_tuple_args(const char* fname, std::span<const Param> params, PyObject* args,
                      PyObject* kwargs, PyObject** out);
template <std::size_t N>
bool parse_tuple_args(const char* fname, const Param (&params)[N], PyObject* args,
                      PyObject* kwargs, PyObject** out) {
  return parse_tuple_args(fname, std::span<const Param>(params, N), args, kwargs, out);
}
// For *args functions: refuses any keyword.
bool no_keywords(const char* fname, PyObject* kwnames);

// ---- converters: return false with the exception set; TypeErrors carry "argument 'x': " ----

// Re-raises a pending TypeError as "argument '{name}': {message}" (cause kept); other
// exceptions stay as they are. Always returns false.
bool prefix_type_error(const char* name);

// A str as a UTF-8 view; valid while `obj` lives (the caller's argument keeps it alive).
bool arg_text(PyObject* obj, const char* name, std::string_view& out);
bool arg_text(PyObject* obj, const char* name, std::string& out);
// None (or absent) gives nullopt.
bool arg_opt_text(PyObject* obj, const char* name, std::optional<std::string>& out);
bool arg_bool(PyObject* obj, const char* name, bool& out);
bool arg_u64(PyObject* obj, const char* name, std::uint64_t& out);
bool arg_i64(PyObject* obj, const char* name, std::int64_t& out);
// float(obj) semantics: floats, ints, objects with __float__ or __index__.
bool arg_f64(PyObject* obj, const char* name, double& out);
// Any sequence but str whose items are ints 0..255; bytes and bytearray are copied at once.
bool arg_bytes(PyObject* obj, const char* name, std::string& out);
// As arg_bytes, but a bytes object is viewed in place (immutable; the caller's argument keeps
// it alive); anything else is converted into `storage`. `view` is the data either way.
bool arg_bytes_view(PyObject* obj, const char* name, std::string& storage, std::string_view& view);
// A path argument: a str, viewed in place, or an os.PathLike whose __fspath__ gives a str, whose
// text is kept here. Converts to the view, so it passes wherever a path's text is taken.
struct PathText {
  std::string_view view;
  std::string owned;
  operator std::string_view() const { return view; }  // NOLINT: implicit by design
};
// A str or os.PathLike giving a str; anything else is the TypeError of arg_text.
bool arg_fspath(PyObject* obj, const char* name, PathText& out);
// The same, or None (or absent) for nullopt.
bool arg_opt_fspath(PyObject* obj, const char* name, std::optional<std::string>& out);
// None, a str, or os.fspath(obj) giving a str; invalid UTF-8 (surrogates) becomes U+FFFD.
bool arg_path(PyObject* obj, const char* name, std::optional<std::string>& out);

// A sequence (not str) of str. The views stay valid while `owners` holds the items, so the
// list may be changed by other threads while the GIL is released.
struct TextList {
  std::vector<PyRef> owners;
  std::vector<std::string_view> views;
};
bool arg_text_list(PyObject* obj, const char* name, TextList& out);
// Item-level helpers for sequences of records (tuples): the sequence as a list of items.
// `check`, when given, runs on each item as it is taken (false with the exception set), so
// that a long or endless sequence of wrong items fails at its first wrong one.
using ItemCheck = bool (*)(PyObject* item, const char* name);
bool arg_sequence(PyObject* obj, const char* name, std::vector<PyRef>& items,
                  ItemCheck check = nullptr);
// Item of a record that may be None (nullopt) or a str view owned by the record.
bool item_opt_text(PyObject* obj, const char* name, std::optional<std::string_view>& out);
// A tuple of exactly `size` items, else TypeError naming the argument.
bool item_tuple(PyObject* obj, const char* name, Py_ssize_t size);

// ---- results ------------------------------------------------------------------------------

// str from UTF-8, invalid sequences replaced by U+FFFD. New reference or nullptr.
PyObject* new_text(std::string_view utf8);
PyObject* new_bytes(std::string_view data);
PyObject* new_bool(bool value);
PyObject* new_u64(std::uint64_t value);
PyObject* new_i64(std::int64_t value);
PyObject* new_u128(unsigned __int128 value);
// A tuple of `items`, new references that it steals (also on failure). nullptr when any item
// is nullptr (its exception is pending) or the tuple cannot be made.
PyObject* new_tuple(std::initializer_list<PyObject*> items);
// list[str] from views; new reference or nullptr.
PyObject* new_text_list(std::span<const std::string_view> items);
PyObject* new_text_list(std::span<const std::string> items);

// ---- classes ------------------------------------------------------------------------------

// Instance layout of every class of the module: the object header, then one native value.
template <class T>
struct Boxed {
  PyObject_HEAD
  T value;
};

template <class T>
const T& native_of(PyObject* self) {
  return reinterpret_cast<Boxed<T>*>(self)->value;
}

// A new instance of `type` holding `value`; nullptr with MemoryError set on failure.
template <class T>
PyObject* box(PyTypeObject* type, T&& value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  using V = std::decay_t<T>;
  new (&reinterpret_cast<Boxed<V>*>(self)->value) V(std::forward<T>(value));
  return self;
}

// tp_dealloc of every class: destroy the native value, free, release the type.
template <class T>
void boxed_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Boxed<T>*>(self)->value.~T();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// The same for a value whose destruction waits on something outside the process (a client
// stopping its ssh master): the GIL is released meanwhile, so other threads go on.
template <class T>
void boxed_dealloc_without_gil(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyThreadState* state = PyEval_SaveThread();
  reinterpret_cast<Boxed<T>*>(self)->value.~T();
  PyEval_RestoreThread(state);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// tp_new of classes without a Python constructor: "No constructor defined for {name}".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Creates a final heap type `name` ("tarnwistle._core.X") whose instances hold a native value
// of `basicsize` with `dealloc` and the given slots. Not GC-tracked, no __dict__, no weakrefs.
// New reference or nullptr.
PyTypeObject* make_type(const char* name, int basicsize, destructor dealloc,
                        std::initializer_list<PyType_Slot> slots);

// The type of a class holding a T, created with `slots` on first need (under the GIL) and kept
// in `cache` for the life of the process. Borrowed; nullptr with an exception set.
template <class T>
PyTypeObject* native_type(PyTypeObject*& cache, const char* name,
                          std::initializer_list<PyType_Slot> slots) {
  if (cache == nullptr) {
    cache = make_type(name, static_cast<int>(sizeof(Boxed<T>)), boxed_dealloc<T>, slots);
  }
  return cache;
}
// Puts a class attribute (such as `kind`) into a type just made by make_type, which the
// immutable-type flag would otherwise refuse. Only for initialisation, before any use.
bool set_class_attribute(PyTypeObject* type, const char* name, PyObject* value);

// The one cast from a fast-call-with-keywords function to a PyMethodDef entry.
using FastcallKw = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction as_method(FastcallKw f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
constexpr int FASTCALL_KW = METH_FASTCALL | METH_KEYWORDS;

// ---- registration ---------------------------------------------------------------------------

// Notes which thread is the interpreter's main thread (for on_main_thread); at module start.
bool remember_main_thread();

// Adds attributes to the module and appends each name to __all__ as it is added. Each area's
// register_<area> adds its names through it, in the order the module entry calls them.
class Registry {
 public:
  explicit Registry(PyObject* module) : module_(module) {}
  bool add(const char* name, PyObject* value);          // value: new reference, may be nullptr
  bool add_type(const char* name, PyTypeObject* type);  // type: borrowed, may be nullptr
  bool add_functions(std::span<const PyMethodDef> defs);
  PyObject* module() const { return module_; }

 private:
  PyObject* module_;
  PyRef all_;
};

}  // namespace tarnwistle::py
