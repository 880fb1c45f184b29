// PyInit__core: the one registry of the module's names, in their order.
#include "bindings.hpp"
#include "py.hpp"

namespace tarnwistle::py {
namespace {

// Adds attributes to the module and appends each name to __all__ as it is added.
class Registry {
 public:
  explicit Registry(PyObject* module) : module_(module) {}

  bool add(const char* name, PyObject* value) {  // value: new reference, may be nullptr
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

  bool add_exceptions() {
    for (CoreErrorKind kind : module_error_kinds()) {
      PyObject* cls = exception_class(kind);
      if (cls == nullptr) return false;
      PyRef name = PyRef::steal(PyObject_GetAttrString(cls, "__name__"));
      const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
      Py_INCREF(cls);
      if (text == nullptr || !add(text, cls)) return false;
    }
    return true;
  }

  bool add_type(const char* name, PyTypeObject* type) {  // type: borrowed, may be nullptr
    if (type == nullptr) return false;
    Py_INCREF(type);
    return add(name, reinterpret_cast<PyObject*>(type));
  }

  // Client = LocalClient | SshClient, both read back from the module as registered.
  bool add_client_union() {
    PyRef local = PyRef::steal(PyObject_GetAttrString(module_, "LocalClient"));
    PyRef ssh = PyRef::steal(PyObject_GetAttrString(module_, "SshClient"));
    if (!local || !ssh) return false;
    return add("Client", PyObject_CallMethod(local.get(), "__or__", "O", ssh.get()));
  }

  bool add_functions(PyMethodDef* defs) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module_));
    if (!module_name) return false;
    for (PyMethodDef* def = defs; def->ml_name != nullptr; ++def) {
      if (!add(def->ml_name, PyCFunction_NewEx(def, nullptr, module_name.get()))) return false;
    }
    return true;
  }

 private:
  PyObject* module_;
  PyRef all_;
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

bool register_all(Registry& r) {
  return r.add_exceptions() &&
         r.add_type("FileInfo", file_info_type()) &&
         r.add_type("CommandResult", command_result_type()) &&
         r.add_type("LocalClient", local_client_type()) &&
         r.add_type("SshClient", ssh_client_type()) &&
         r.add_client_union() &&
         r.add_functions(option_functions()) &&
         r.add_functions(edit_functions()) &&
         r.add_functions(read_functions()) &&
         r.add_functions(patch_functions());
}

}  // namespace
}  // namespace tarnwistle::py

PyMODINIT_FUNC PyInit__core(void) {
  using namespace tarnwistle::py;
  return guarded([]() -> PyObject* {
    PyRef module = PyRef::steal(PyModule_Create(&MODULE_DEF));
    if (!module) return nullptr;
    Registry registry(module.get());
    if (!register_all(registry)) return nullptr;
    return module.release();
  });
}
