// count_lines, slice_lines, format_cat_n, prepare_read.
#include "bindings.hpp"
#include "py.hpp"
#include "read.hpp"

namespace tarnwistle::py {
namespace {

constexpr Param COUNT_LINES_PARAMS[] = {{.name = "text"}};

PyObject* count_lines_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[1];
    std::string_view text;
    if (!parse_args("count_lines", COUNT_LINES_PARAMS, args, nargs, kwnames, given) ||
        !arg_text(given[0], "text", text)) {
      return nullptr;
    }
    const std::uint64_t n = without_gil([&] { return count_lines_inner(text); });
    return new_u64(n);
  });
}

PyMethodDef READ_FUNCTIONS[] = {
    {"count_lines", as_method(count_lines_py), FASTCALL_KW,
     "count_lines(text)\n--\n\nCount logical lines in text.\n\n- Empty text \xe2\x86\x92 0\n"
     "- No trailing newline: last segment counts\n"
     "- Trailing newline: does not add an extra empty line"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* read_functions() { return READ_FUNCTIONS; }

}  // namespace tarnwistle::py
