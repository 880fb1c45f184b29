// find_matches, apply_replacements_text, edit_text.
#include "bindings.hpp"
#include "edit.hpp"
#include "output.hpp"
#include "py.hpp"
#include "text_py.hpp"

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

// ---- a text worked on by characters --------------------------------------------------------

// The exact steps of find_matches_inner on a text worked on by characters: when they decide,
// the string whose occurrences are the matches (the pattern or its CRLF form), their count
// and, when the scan found them, their starts in characters; when only the line fallback
// can decide, `decided` is false.
struct ExactMatches {
  bool decided = false;
  PyRef found;
  std::uint64_t count = 0;
  std::uint64_t found_utf8_size = 0;
  std::vector<std::uint64_t> starts;  // empty when counted by the interpreter
};

// A pattern up to half a run is looked for in the scan of the text itself.
bool found_in_scan(const TextArg& pattern) {
  return pattern.length > 0 && pattern.length <= CHARACTER_RUN / 2;
}

// The scan of the text (it must have a UTF-8 form) with the pattern's occurrences found in
// the same pass when the pattern is short enough.
bool scan_text(const TextArg& text, const TextArg& pattern, CodePointScan& scan,
               ExactMatches& out) {
  if (!found_in_scan(pattern)) return scan_characters(text, scan);
  std::u32string needle(static_cast<std::size_t>(pattern.length), U'\0');
  if (PyUnicode_AsWideChar(pattern.str, reinterpret_cast<wchar_t*>(needle.data()),
                           pattern.length) < 0) {
    return false;
  }
  CodePointFinder finder(std::move(needle));
  if (!scan_characters(text, scan, &finder)) return false;
  out.starts = finder.positions();
  out.count = out.starts.size();
  return true;
}

// Occurrences not found in the scan are counted by the interpreter's str.count, which counts
// the leftmost non-overlapping ones, as exact_find_all finds them. The text is not empty.
bool exact_by_characters(const TextArg& text, bool text_crlf, TextArg& pattern,
                         ExactMatches& out) {
  out.decided = pattern.length == 0;  // no match in a text that is not empty
  if (out.decided) return true;
  const Py_ssize_t n = found_in_scan(pattern)
                           ? static_cast<Py_ssize_t>(out.count)
                           : PyUnicode_Count(text.str, pattern.str, 0, text.length);
  if (n < 0 || !to_utf8(pattern)) return false;
  if (n > 0) {
    out.decided = true;
    out.found = PyRef::borrow(pattern.str);
    out.count = static_cast<std::uint64_t>(n);
    out.found_utf8_size = pattern.utf8.size();
    return true;
  }
  if (!text_crlf || pattern.utf8.find('\n') == std::string_view::npos) return true;
  const std::string crlf_pattern = with_crlf(pattern.utf8);
  if (crlf_pattern == pattern.utf8) return true;
  PyRef found = PyRef::steal(new_text(crlf_pattern));
  const Py_ssize_t m = found ? PyUnicode_Count(text.str, found.get(), 0, text.length) : -1;
  if (m < 0) return false;
  if (m > 0) {
    out.decided = true;
    out.found = std::move(found);
    out.count = static_cast<std::uint64_t>(m);
    out.found_utf8_size = crlf_pattern.size();
  }
  return true;
}

// The starts of the occurrences, found by the interpreter's str.find when the scan did not.
bool occurrence_starts(const TextArg& text, ExactMatches& exact) {
  if (!exact.starts.empty() || exact.count == 0) return true;
  const Py_ssize_t step = std::max<Py_ssize_t>(PyUnicode_GetLength(exact.found.get()), 1);
  for (Py_ssize_t from = 0; exact.starts.size() < exact.count;) {
    const Py_ssize_t at = PyUnicode_Find(text.str, exact.found.get(), from, text.length, 1);
    if (at == -1) break;  // cannot happen: `count` were counted
    if (at < 0) return false;
    exact.starts.push_back(static_cast<std::uint64_t>(at));
    from = at + step;
  }
  return true;
}

// The UTF-8 offsets of character positions of the text, ascending.
bool utf8_offsets(const TextArg& text, const std::vector<std::uint64_t>& positions,
                  std::vector<std::uint64_t>& offsets) {
  Utf8Positions utf8(positions);
  if (!utf8.done() && !read_runs(text, 0, [&](std::u32string_view run, std::uint64_t,
                                               std::size_t) {
        utf8.feed(run);
        return !utf8.done();
      })) {
    return false;
  }
  offsets = utf8.offsets();
  return true;
}

PyObject* find_matches_by_characters(TextArg& text, bool text_crlf, TextArg& pattern,
                                     ExactMatches& exact) {
  if (!exact_by_characters(text, text_crlf, pattern, exact)) return nullptr;
  if (!exact.decided) {  // the line fallback works on UTF-8
    if (!to_utf8(text)) return nullptr;
    const std::vector<Span> spans =
        without_gil([&] { return find_matches_inner(text.utf8, pattern.utf8); });
    return new_span_list(spans);
  }
  std::vector<std::uint64_t> offsets;
  if (!occurrence_starts(text, exact) || !utf8_offsets(text, exact.starts, offsets)) {
    return nullptr;
  }
  std::vector<Span> spans;
  spans.reserve(offsets.size());
  for (std::uint64_t start : offsets) spans.push_back({start, exact.found_utf8_size});
  return new_span_list(spans);
}

PyObject* find_matches_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[2];
    TextArg text, pattern;
    CodePointScan text_scan(true), pattern_scan;
    if (!parse_args("find_matches", FIND_MATCHES_PARAMS, args, nargs, kwnames, given) ||
        !arg_str(given[0], "text", text)) {
      return nullptr;
    }
    if (!arg_text_scanned(given[1], "pattern", pattern, pattern_scan)) {
      return text_error_first(text);
    }
    if (text.by_characters()) {
      ExactMatches exact;
      if (!scan_text(text, pattern, text_scan, exact)) return nullptr;
      return find_matches_by_characters(text, text_scan.crlf(), pattern, exact);
    }
    if (!to_utf8(text) || !to_utf8(pattern)) return nullptr;
    const std::vector<Span> spans =
        without_gil([&] { return find_matches_inner(text.utf8, pattern.utf8); });
    return new_span_list(spans);
  });
}

PyObject* apply_replacements_text_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[3];
    TextArg text, new_string;
    std::vector<Span> spans;
    // Spans are UTF-8 offsets, so the text is encoded, into a copy the call drops.
    if (!parse_args("apply_replacements_text", APPLY_REPLACEMENTS_TEXT_PARAMS, args, nargs,
                    kwnames, given) ||
        !arg_str(given[0], "text", text) || !to_utf8(text) ||
        !arg_spans(given[1], "matches", spans) || !arg_str(given[2], "new_string", new_string) ||
        !to_utf8(new_string)) {
      return nullptr;
    }
    Result<std::string> rebuilt = without_gil(
        [&] { return apply_replacements_text_inner(text.utf8, spans, new_string.utf8); });
    if (!rebuilt.ok()) return raise_error(rebuilt.error());
    return new_text(*rebuilt);
  });
}

// The edited text built once, by the interpreter's str.replace of the `count` leftmost
// non-overlapping occurrences of `found`: the same text as rebuilding from their spans. It
// searches again, but a text joined from its pieces holds twice the memory for a moment, and
// glibc then gives those pages back and takes them afresh on every call.
PyObject* replaced(const TextArg& text, PyObject* found, PyObject* replacement,
                   std::uint64_t count) {
  return new_tuple({PyUnicode_Replace(text.str, found, replacement,
                                      static_cast<Py_ssize_t>(count)),
                    new_u64(count)});
}

// The edit of a text worked on by characters that only the line fallback can decide.
PyObject* edit_on_utf8(TextArg& text, TextArg& old_string, TextArg& new_string,
                       bool replace_all) {
  if (!to_utf8(text) || !to_utf8(old_string) || !to_utf8(new_string)) return nullptr;
  Result<EditOutcome> edited = without_gil([&] {
    return edit_text_inner(text.utf8, old_string.utf8, new_string.utf8, replace_all);
  });
  if (!edited.ok()) return raise_error(edited.error());
  return new_tuple({new_text(edited->text), new_u64(edited->count)});
}

PyObject* edit_by_characters(TextArg& text, bool text_crlf, TextArg& old_string,
                             TextArg& new_string, bool replace_all, ExactMatches& exact) {
  if (!exact_by_characters(text, text_crlf, old_string, exact)) return nullptr;
  if (!exact.decided) return edit_on_utf8(text, old_string, new_string, replace_all);
  if (std::optional<CoreError> refused = refuse_edit(exact.count, replace_all)) {
    return raise_error(*refused);
  }
  if (!to_utf8(new_string)) return nullptr;
  PyRef replacement = PyRef::borrow(new_string.str);
  if (text_crlf && new_string.utf8.find('\n') != std::string_view::npos) {
    replacement = PyRef::steal(new_text(with_crlf(new_string.utf8)));
    if (!replacement) return nullptr;
  }
  return replaced(text, exact.found.get(), replacement.get(), exact.count);
}

// A text read in place: the native plan and rebuild, into a kept buffer, then the one copy
// into the str returned.
PyObject* edit_in_place(TextArg& text, TextArg& old_string, TextArg& new_string,
                        bool replace_all) {
  if (!to_utf8(old_string) || !to_utf8(new_string)) return nullptr;
  Result<EditPlan> plan = without_gil(
      [&] { return plan_edit(text.utf8, old_string.utf8, new_string.utf8, replace_all); });
  if (!plan.ok()) return raise_error(plan.error());
  const std::string_view inserted = plan->crlf_replacement ? plan->replacement : new_string.utf8;
  Result<std::string> rebuilt = without_gil([&] {
    return apply_replacements_text_inner(text.utf8, plan->matches.spans, inserted,
                                         take_kept_buffer(text.utf8.size()));
  });
  if (!rebuilt.ok()) return raise_error(rebuilt.error());
  PyObject* edited = new_tuple({new_text(*rebuilt), new_u64(plan->matches.spans.size())});
  keep_buffer(std::move(*rebuilt));
  return edited;
}

PyObject* edit_text_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[4];
    TextArg text, old_string, new_string;
    CodePointScan text_scan(true), old_scan, new_scan;
    bool replace_all = false;
    if (!parse_args("edit_text", EDIT_TEXT_PARAMS, args, nargs, kwnames, given) ||
        !arg_str(given[0], "text", text)) {
      return nullptr;
    }
    // The text's own scan waits for the pattern, to look for it in the same pass.
    if (!arg_text_scanned(given[1], "old_string", old_string, old_scan) ||
        !arg_text_scanned(given[2], "new_string", new_string, new_scan) ||
        !arg_bool(given[3], "replace_all", replace_all)) {
      return text_error_first(text);
    }
    if (text.by_characters()) {
      ExactMatches exact;
      if (!scan_text(text, old_string, text_scan, exact)) return nullptr;
      return edit_by_characters(text, text_scan.crlf(), old_string, new_string, replace_all,
                                exact);
    }
    if (!to_utf8(text)) return nullptr;
    return edit_in_place(text, old_string, new_string, replace_all);
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
