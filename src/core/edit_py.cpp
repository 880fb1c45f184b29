// find_matches, apply_replacements_text, edit_text.
#include "bindings.hpp"
#include "edit.hpp"
#include "py.hpp"

namespace tarnwistle::py {
namespace {

constexpr Param FIND_MATCHES_PARAMS[] = {{.name = "text"}, {.name = "pattern"}};
constexpr Param APPLY_REPLACEMENTS_TEXT_PARAMS[] = {
    {.name = "text"}, {.name = "matches"}, {.name = "new_string"}};
constexpr Param EDIT_TEXT_PARAMS[] = {
    {.name = "text"}, {.name = "old_string"}, {.name = "new_string"}, {.name = "replace_all"}};

// A sequence (not str) of (byte_start, byte_len) pairs of unsigned 64-bit ints.
bool arg_spans(PyObject* obj, const char* name, std::vector<Span>& out) {
  std::vector<PyRef> items;
  const ItemCheck pair = [](PyObject* item, const char* arg) { return item_tuple(item, arg, 2); };
  if (!arg_sequence(obj, name, items, pair)) return false;
  out.clear();
  out.reserve(items.size());
  for (const PyRef& item : items) {
    Span span{};
    if (!arg_u64(PyTuple_GetItem(item.get(), 0), name, span.start) ||
        !arg_u64(PyTuple_GetItem(item.get(), 1), name, span.len)) {
      return false;
    }
    out.push_back(span);
  }
  return true;
}

PyObject* new_span_list(std::span<const Span> spans) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(spans.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < spans.size(); ++i) {
    PyObject* pair = new_tuple({new_u64(spans[i].start), new_u64(spans[i].len)});
    if (pair == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);  // steals pair
  }
  return list.release();
}

PyObject* find_matches_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[2];
    std::string_view text, pattern;
    if (!parse_args("find_matches", FIND_MATCHES_PARAMS, args, nargs, kwnames, given) ||
        !arg_text(given[0], "text", text) || !arg_text(given[1], "pattern", pattern)) {
      return nullptr;
    }
    const std::vector<Span> spans = without_gil([&] { return find_matches_inner(text, pattern); });
    return new_span_list(spans);
  });
}

PyObject* apply_replacements_text_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[3];
    std::string_view text, new_string;
    std::vector<Span> spans;
    if (!parse_args("apply_replacements_text", APPLY_REPLACEMENTS_TEXT_PARAMS, args, nargs,
                    kwnames, given) ||
        !arg_text(given[0], "text", text) || !arg_spans(given[1], "matches", spans) ||
        !arg_text(given[2], "new_string", new_string)) {
      return nullptr;
    }
    Result<std::string> rebuilt =
        without_gil([&] { return apply_replacements_text_inner(text, spans, new_string); });
    if (!rebuilt.ok()) return raise_error(rebuilt.error());
    return new_text(*rebuilt);
  });
}

PyObject* edit_text_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[4];
    std::string_view text, old_string, new_string;
    bool replace_all = false;
    if (!parse_args("edit_text", EDIT_TEXT_PARAMS, args, nargs, kwnames, given) ||
        !arg_text(given[0], "text", text) || !arg_text(given[1], "old_string", old_string) ||
        !arg_text(given[2], "new_string", new_string) ||
        !arg_bool(given[3], "replace_all", replace_all)) {
      return nullptr;
    }
    Result<EditOutcome> edited =
        without_gil([&] { return edit_text_inner(text, old_string, new_string, replace_all); });
    if (!edited.ok()) return raise_error(edited.error());
    return new_tuple({new_text(edited->text), new_u64(edited->count)});
  });
}

PyMethodDef EDIT_FUNCTIONS[] = {
    {"find_matches", as_method(find_matches_py), FASTCALL_KW,
     "find_matches(text, pattern)\n--\n\n"
     "Find all occurrences of `pattern` in `text`.\n\n"
     "Returns a list of `(byte_start, byte_len)` pairs."},
    {"apply_replacements_text", as_method(apply_replacements_text_py), FASTCALL_KW,
     "apply_replacements_text(text, matches, new_string)\n--\n\n"
     "Apply replacements at given `(byte_start, byte_len)` spans.\n\n"
     "Spans may arrive in any order; they are sorted, validated, and rebuilt in\n"
     "one forward pass."},
    {"edit_text", as_method(edit_text_py), FASTCALL_KW,
     "edit_text(text, old_string, new_string, replace_all)\n--\n\n"
     "Find matches and replace. Returns `(new_text, replacement_count)`.\n\n"
     "When `replace_all` is false and more than one match exists, raises ValueError\n"
     "with code prefix `AMBIGUOUS:`. When no match, raises `NOT_FOUND:`."},
};

}  // namespace

bool register_edit(Registry& r) { return r.add_functions(EDIT_FUNCTIONS); }

}  // namespace tarnwistle::py
