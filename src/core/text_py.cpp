#include "text_py.hpp"

#include "read.hpp"

namespace tarnwistle::py {

namespace {

PyObject* ISASCII = nullptr;  // str.isascii, write-once under the GIL

// str.isascii() of the str itself (O(1): the str records it), whatever a subclass defines.
int is_ascii(PyObject* str) {
  if (ISASCII == nullptr) {
    ISASCII = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "isascii");
    if (ISASCII == nullptr) return -1;
  }
  PyRef answer = PyRef::steal(PyObject_CallFunctionObjArgs(ISASCII, str, nullptr));
  if (!answer) return -1;
  return answer.get() == Py_True ? 1 : 0;
}

PyObject* newline() {
  static PyObject* const NEWLINE = PyUnicode_InternFromString("\n");  // under the GIL
  return NEWLINE;
}

}  // namespace

bool arg_str(PyObject* obj, const char* name, TextArg& out) {
  if (!PyUnicode_Check(obj)) {
    std::string_view unused;
    return arg_text(obj, name, unused);  // raises its TypeError
  }
  const int ascii = is_ascii(obj);
  if (ascii < 0) return false;
  out.str = obj;
  out.length = PyUnicode_GetLength(obj);
  out.ascii = ascii == 1;
  out.exact = PyUnicode_CheckExact(obj);
  return true;
}

bool to_utf8(TextArg& text) {
  if (text.has_utf8) return true;
  if (text.ascii) {
    text.has_utf8 = arg_text(text.str, "", text.utf8);  // its own buffer, no copy
    return text.has_utf8;
  }
  text.encoded = PyRef::steal(PyUnicode_AsUTF8String(text.str));
  if (!text.encoded) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(text.encoded.get(), &data, &size) != 0) return false;
  text.utf8 = std::string_view(data, static_cast<std::size_t>(size));
  text.has_utf8 = true;
  return true;
}

bool scan_characters(const TextArg& text, CodePointScan& scan, CodePointFinder* finder) {
  const Py_ssize_t overlap = finder != nullptr ? static_cast<Py_ssize_t>(finder->overlap()) : 0;
  if (!read_runs(text, overlap, [&](std::u32string_view run, std::uint64_t start,
                                     std::size_t fresh) {
        scan.feed(run.substr(fresh));
        if (finder != nullptr) finder->feed(run, start);
        return true;
      })) {
    return false;
  }
  if (!scan.surrogate()) return true;
  PyRef refused = PyRef::steal(PyUnicode_AsUTF8String(text.str));  // sets its error
  return false;
}

PyObject* text_error_first(const TextArg& text) {
  if (text.ascii) return nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyRef later_type = PyRef::steal(type), later = PyRef::steal(value),
        later_tb = PyRef::steal(traceback);
  // An error path: encoding is the plainest check, and raises the text's own error.
  PyRef encoded = PyRef::steal(PyUnicode_AsUTF8String(text.str));
  if (encoded) PyErr_Restore(later_type.release(), later.release(), later_tb.release());
#pragma GCC diagnostic pop
  return nullptr;
}

bool arg_text_scanned(PyObject* obj, const char* name, TextArg& out, CodePointScan& scan) {
  if (!arg_str(obj, name, out)) return false;
  return out.by_characters() ? scan_characters(out, scan) : to_utf8(out);
}

namespace {
Py_ssize_t at(std::size_t pos) { return static_cast<Py_ssize_t>(pos); }
}  // namespace

// Counting the shorter side of a split: a window near the start then costs little.
std::uint64_t StrLines::newlines(std::size_t from, std::size_t to) const {
  if (from == 0 && to == size_) return newlines_;
  if (to == size_ && from < size_ / 2) {
    return newlines_ - static_cast<std::uint64_t>(PyUnicode_Count(str_, newline(), 0, at(from)));
  }
  return static_cast<std::uint64_t>(PyUnicode_Count(str_, newline(), at(from), at(to)));
}

std::size_t StrLines::line_end(std::size_t pos) const {
  const Py_ssize_t nl = PyUnicode_FindChar(str_, '\n', at(pos), at(size_), 1);
  return nl < 0 ? size_ : static_cast<std::size_t>(nl) + 1;
}

std::size_t StrLines::last_newline(std::size_t end) const {
  const Py_ssize_t nl = PyUnicode_FindChar(str_, '\n', 0, at(end), -1);
  return nl < 0 ? lines::npos : static_cast<std::size_t>(nl);
}

bool StrLines::ends_open() const { return PyUnicode_ReadChar(str_, at(size_ - 1)) != '\n'; }

PyObject* substring(PyObject* str, std::size_t begin, std::size_t end) {
  return PyUnicode_Substring(str, at(begin), at(end));
}

PyObject* substring_list(PyObject* str, std::span<const std::size_t> bounds) {
  const std::size_t n = bounds.empty() ? 0 : bounds.size() - 1;
  PyRef list = PyRef::steal(PyList_New(at(n)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* piece = substring(str, bounds[i], bounds[i + 1]);
    if (piece == nullptr) return nullptr;
    PyList_SetItem(list.get(), at(i), piece);  // steals piece
  }
  return list.release();
}

}  // namespace tarnwistle::py
