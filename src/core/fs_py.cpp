// The FileInfo class: a read-only view of a native FileInfo, made only by native code.
#include "bindings.hpp"
#include "fs.hpp"
#include "py.hpp"

namespace tarnwistle::py {
namespace {

const FileInfo& info_of(PyObject* self) { return native_of<FileInfo>(self); }

PyObject* get_exists(PyObject* self, void*) {
  return guarded([&] { return new_bool(info_of(self).exists); });
}

PyObject* get_kind(PyObject* self, void*) {
  return guarded([&] { return new_text(info_of(self).kind); });
}

PyObject* get_size(PyObject* self, void*) {
  return guarded([&] { return new_u64(info_of(self).size); });
}

PyObject* get_modified_ns(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const auto& modified = info_of(self).modified_ns;
    if (!modified) Py_RETURN_NONE;
    return new_u128(*modified);
  });
}

PyObject* get_is_symlink(PyObject* self, void*) {
  return guarded([&] { return new_bool(info_of(self).is_symlink); });
}

PyObject* get_version(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const auto& version = info_of(self).version;
    if (!version) Py_RETURN_NONE;
    return new_text(*version);
  });
}

PyObject* file_info_repr_py(PyObject* self) {
  return guarded([&] { return new_text(file_info_repr(info_of(self))); });
}

PyGetSetDef FILE_INFO_GETSET[] = {
    {"exists", get_exists, nullptr, "", nullptr},
    {"kind", get_kind, nullptr, "", nullptr},
    {"size", get_size, nullptr, "", nullptr},
    {"modified_ns", get_modified_ns, nullptr, "", nullptr},
    {"is_symlink", get_is_symlink, nullptr, "", nullptr},
    {"version", get_version, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* file_info_type() {
  static PyTypeObject* type = nullptr;
  return native_type<FileInfo>(type, "tarnwistle._core.FileInfo",
                               {{Py_tp_new, reinterpret_cast<void*>(no_constructor)},
                                {Py_tp_repr, reinterpret_cast<void*>(file_info_repr_py)},
                                {Py_tp_getset, FILE_INFO_GETSET},
                                {Py_tp_doc, const_cast<char*>("")}});
}

}  // namespace

PyObject* new_file_info(FileInfo info) {
  PyTypeObject* type = file_info_type();
  if (type == nullptr) return nullptr;
  return box(type, std::move(info));
}

bool register_fs(Registry& r) { return r.add_type("FileInfo", file_info_type()); }

}  // namespace tarnwistle::py
