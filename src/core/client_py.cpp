// Exception classes of the module and the mapping of CoreError kinds onto them.
#include "bindings.hpp"
#include "py.hpp"

namespace tarnwistle::py {

namespace {

struct ExceptionSpec {
  CoreErrorKind kind;
  const char* qualified_name;
};

// Registration order; ClientError first so every other class can derive from it.
constexpr ExceptionSpec EXCEPTIONS[] = {
    {CoreErrorKind::General, "_core.ClientError"},
    {CoreErrorKind::NotFound, "_core.FileNotFoundError"},
    {CoreErrorKind::PermissionDenied, "_core.PermissionDeniedError"},
    {CoreErrorKind::Conflict, "_core.ConflictError"},
    {CoreErrorKind::Timeout, "_core.OperationTimeoutError"},
    {CoreErrorKind::Authentication, "_core.AuthenticationError"},
    {CoreErrorKind::TransferLimit, "_core.TransferLimitError"},
};
constexpr CoreErrorKind MODULE_ERROR_KINDS[] = {
    CoreErrorKind::General,  CoreErrorKind::NotFound,       CoreErrorKind::PermissionDenied,
    CoreErrorKind::Conflict, CoreErrorKind::Timeout,        CoreErrorKind::Authentication,
    CoreErrorKind::TransferLimit,
};

PyObject* CLASSES[std::size(EXCEPTIONS)] = {};  // write-once under the GIL

std::size_t slot_of(CoreErrorKind kind) {
  switch (kind) {
    case CoreErrorKind::General: return 0;
    case CoreErrorKind::NotFound: return 1;
    case CoreErrorKind::PermissionDenied: return 2;
    case CoreErrorKind::Conflict: return 3;
    case CoreErrorKind::Timeout: return 4;
    case CoreErrorKind::Authentication: return 5;
    case CoreErrorKind::TransferLimit: return 6;
    case CoreErrorKind::InvalidValue: break;
  }
  return 0;
}

PyObject* cached_class(std::size_t slot) {
  if (CLASSES[slot] != nullptr) return CLASSES[slot];
  PyObject* base = slot == 0 ? PyExc_Exception : cached_class(0);
  if (base == nullptr) return nullptr;
  PyObject* cls = PyErr_NewExceptionWithDoc(EXCEPTIONS[slot].qualified_name, nullptr, base, nullptr);
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
  switch (kind) {
    case CoreErrorKind::InvalidValue:
      return PyExc_ValueError;
    case CoreErrorKind::General:
    case CoreErrorKind::NotFound:
    case CoreErrorKind::PermissionDenied:
    case CoreErrorKind::Conflict:
    case CoreErrorKind::Timeout:
    case CoreErrorKind::Authentication:
    case CoreErrorKind::TransferLimit:
      return cached_class(slot_of(kind));
  }
  return cached_class(0);
}

PyObject* client_error_class() { return exception_class(CoreErrorKind::General); }

std::span<const CoreErrorKind> module_error_kinds() { return MODULE_ERROR_KINDS; }

}  // namespace tarnwistle::py
