// PyInit__core: the module entry. Each area registers its names, in the module's order.
#include "bindings.hpp"
#include "py.hpp"

namespace tarnwistle::py {
namespace {

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

bool register_all(Registry& r) {
  return remember_main_thread() && register_errors(r) && register_fs(r) &&
         register_command_result(r) && register_local(r) && register_ssh(r) &&
         register_client_union(r) && register_options(r) && register_edit(r) &&
         register_read(r) && register_patch(r);
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
