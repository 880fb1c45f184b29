// count_lines, slice_lines, format_cat_n, prepare_read.
#include "bindings.hpp"
#include "py.hpp"
#include "read.hpp"
#include "text_py.hpp"

namespace tarnwistle::py {
namespace {

constexpr Param COUNT_LINES_PARAMS[] = {{.name = "text"}};
constexpr Param SLICE_LINES_PARAMS[] = {{.name = "text"}, {.name = "start"}, {.name = "take"}};
constexpr Param FORMAT_CAT_N_PARAMS[] = {
    {.name = "lines"}, {.name = "start_line"}, {.name = "total_lines"}, {.name = "truncated"}};
constexpr Param PREPARE_READ_PARAMS[] = {
    {.name = "text"}, {.name = "offset"}, {.name = "limit"}, {.name = "show_line_numbers"}};

PyObject* count_lines_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[1];
    TextArg text;
    CodePointScan scan;
    if (!parse_args("count_lines", COUNT_LINES_PARAMS, args, nargs, kwnames, given) ||
        !arg_text_scanned(given[0], "text", text, scan)) {
      return nullptr;
    }
    if (text.by_characters()) {  // not empty: it has a character that is not ASCII
      const bool open_end = PyUnicode_ReadChar(text.str, text.length - 1) != '\n';
      return new_u64(scan.newlines() + (open_end ? 1 : 0));
    }
    const std::uint64_t n = without_gil([&] { return count_lines_inner(text.utf8); });
    return new_u64(n);
  });
}

PyObject* slice_lines_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[3];
    TextArg text;
    CodePointScan scan;
    std::uint64_t start = 0, take = 0;
    if (!parse_args("slice_lines", SLICE_LINES_PARAMS, args, nargs, kwnames, given) ||
        !arg_text_scanned(given[0], "text", text, scan) || !arg_u64(given[1], "start", start) ||
        !arg_u64(given[2], "take", take)) {
      return nullptr;
    }
    if (text.by_characters()) {
      return substring_list(text.str, lines::slice(StrLines(text, scan.newlines()), start, take));
    }
    const std::vector<std::string_view> lines =
        without_gil([&] { return slice_lines_inner(text.utf8, start, take); });
    return new_text_list(lines);
  });
}

PyObject* format_cat_n_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[4];
    TextList lines;
    std::uint64_t start_line = 0, total_lines = 0;
    bool truncated = false;
    if (!parse_args("format_cat_n", FORMAT_CAT_N_PARAMS, args, nargs, kwnames, given) ||
        !arg_text_list(given[0], "lines", lines) || !arg_u64(given[1], "start_line", start_line) ||
        !arg_u64(given[2], "total_lines", total_lines) ||
        !arg_bool(given[3], "truncated", truncated)) {
      return nullptr;
    }
    const std::string out = without_gil(
        [&] { return format_cat_n_inner(lines.views, start_line, total_lines, truncated); });
    return new_text(out);
  });
}

// The content of a window of a str worked on by characters: its lines as one piece, or their
// cat -n form, made from the UTF-8 of that piece alone.
PyObject* window_content(PyObject* str, const lines::Shape& shape, bool show_line_numbers) {
  PyRef plain = PyRef::steal(substring(str, shape.bounds.front(), shape.bounds.back()));
  if (!plain || !show_line_numbers) return plain.release();
  TextArg piece;
  if (!arg_str(plain.get(), "text", piece) || !to_utf8(piece)) return nullptr;
  const std::string numbered = without_gil([&] {
    const std::vector<std::string_view> views =
        line_views(piece.utf8, lines::slice(Utf8Lines{piece.utf8}, 0, shape.count()));
    return format_cat_n_inner(views, shape.first + 1, shape.total_lines, shape.truncated);
  });
  return new_text(numbered);
}

PyObject* window_by_characters(const TextArg& text, std::uint64_t newlines, std::int64_t offset,
                               std::uint64_t limit, bool show_line_numbers) {
  if (limit == 0) return raise_value_error("limit must be > 0");
  const lines::Shape shape = lines::window(StrLines(text, newlines), offset, limit);
  const std::uint64_t total = shape.total_lines;
  if (shape.count() == 0) {
    return new_tuple({new_text(""), new_u64(total), new_u64(total + 1), new_u64(total),
                      new_bool(false), PyList_New(0)});
  }
  return new_tuple({window_content(text.str, shape, show_line_numbers), new_u64(total),
                    new_u64(shape.first + 1), new_u64(shape.first + shape.count()),
                    new_bool(shape.truncated), substring_list(text.str, shape.bounds)});
}

PyObject* prepare_read_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[4];
    TextArg text;
    CodePointScan scan;
    std::int64_t offset = 0;
    std::uint64_t limit = 0;
    bool show_line_numbers = false;
    if (!parse_args("prepare_read", PREPARE_READ_PARAMS, args, nargs, kwnames, given) ||
        !arg_text_scanned(given[0], "text", text, scan) || !arg_i64(given[1], "offset", offset) ||
        !arg_u64(given[2], "limit", limit) ||
        !arg_bool(given[3], "show_line_numbers", show_line_numbers)) {
      return nullptr;
    }
    if (text.by_characters()) {
      return window_by_characters(text, scan.newlines(), offset, limit, show_line_numbers);
    }
    Result<ReadWindow> window = without_gil(
        [&] { return prepare_read_inner(text.utf8, offset, limit, show_line_numbers); });
    if (!window.ok()) return raise_error(window.error());
    return new_tuple({new_text(window->content()), new_u64(window->total_lines),
                      new_u64(window->start_line), new_u64(window->end_line),
                      new_bool(window->truncated), new_text_list(window->raw_lines)});
  });
}

PyMethodDef READ_FUNCTIONS[] = {
    {"count_lines", as_method(count_lines_py), FASTCALL_KW,
     "count_lines(text)\n--\n\nCount logical lines in text.\n\n- Empty text \xe2\x86\x92 0\n"
     "- No trailing newline: last segment counts\n"
     "- Trailing newline: does not add an extra empty line"},
    {"slice_lines", as_method(slice_lines_py), FASTCALL_KW,
     "slice_lines(text, start, take)\n--\n\n"
     "Slice lines (0-based `[start, start+take)`) keeping original endings."},
    {"format_cat_n", as_method(format_cat_n_py), FASTCALL_KW,
     "format_cat_n(lines, start_line, total_lines, truncated)\n--\n\n"
     "Format lines as `cat -n` (right-aligned line numbers + tab)."},
    {"prepare_read", as_method(prepare_read_py), FASTCALL_KW,
     "prepare_read(text, offset, limit, show_line_numbers)\n--\n\n"
     "Prepare a bounded line window.\n\n"
     "Returns `(content, total_lines, start_line, end_line, truncated, raw_lines)`.\n\n"
     "- `offset`: 1-based start line, or negative for tail\n"
     "- `limit`: max lines (ignored when offset < 0 for window size)\n"
     "- `show_line_numbers`: if true, content is cat -n format"},
};

}  // namespace

bool register_read(Registry& r) { return r.add_functions(READ_FUNCTIONS); }

}  // namespace tarnwistle::py
