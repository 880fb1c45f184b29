// The module's exception classes, one per CoreError kind, and their registration.
#include "bindings.hpp"
#include "py.hpp"

namespace tarnwistle::py {

namespace {

struct ExceptionSpec {
  CoreErrorKind kind;
  const char* qualified_name;
};

// Registration order, which is also the order of the kinds: ClientError first, so every
// other class can derive from it.
constexpr ExceptionSpec EXCEPTIONS[] = {
    {CoreErrorKind::General, "_core.ClientError"},
    {CoreErrorKind::NotFound, "_core.FileNotFoundError"},
    {CoreErrorKind::PermissionDenied, "_core.PermissionDeniedError"},
    {CoreErrorKind::Conflict, "_core.ConflictError"},
    {CoreErrorKind::Timeout, "_core.OperationTimeoutError"},
    {CoreErrorKind::Authentication, "_core.AuthenticationError"},
    {CoreErrorKind::TransferLimit, "_core.TransferLimitError"},
};

constexpr bool in_kind_order() {
  for (std::size_t i = 0; i < std::size(EXCEPTIONS); ++i) {
    if (static_cast<std::size_t>(EXCEPTIONS[i].kind) != i) return false;
  }
  return std::size(EXCEPTIONS) == static_cast<std::size_t>(CoreErrorKind::InvalidValue);
}
static_assert(in_kind_order(), "one exception class per kind, in the kinds' order");

PyObject* CLASSES[std::size(EXCEPTIONS)] = {};  // write-once under the GIL

PyObject* cached_class(std::size_t slot) {
  if (CLASSES[slot] != nullptr) return CLASSES[slot];
  PyObject* base = slot == 0 ? PyExc_Exception : cached_class(0);
  if (base == nullptr) return nullptr;
  PyObject* cls =
      PyErr_NewExceptionWithDoc(EXCEPTIONS[slot].qualified_name, nullptr, base, nullptr);
  if (cls == nullptr) {
    PyErr_Clear();
    std::string message = "Failed to initialize new exception type.: ";
    message += EXCEPTIONS[slot].qualified_name;
    return raise_internal_fault(message.c_str());
  }
  if (CLASSES[slot] != nullptr) {  // lost a race: keep the stored one
    Py_DECREF(cls);
    return CLASSES[slot];
  }
  CLASSES[slot] = cls;
  return cls;
}

}  // namespace

PyObject* exception_class(CoreErrorKind kind) {
  if (kind == CoreErrorKind::InvalidValue) return PyExc_ValueError;
  return cached_class(static_cast<std::size_t>(kind));
}

bool register_errors(Registry& r) {
  for (const ExceptionSpec& spec : EXCEPTIONS) {
    PyObject* cls = exception_class(spec.kind);
    if (cls == nullptr) return false;
    Py_INCREF(cls);
    // The attribute is the class's own name: the qualified name after "_core.".
    if (!r.add(spec.qualified_name + std::string_view("_core.").size(), cls)) return false;
  }
  return true;
}

}  // namespace tarnwistle::py
