// seek_sequence, derive_new_contents, apply_line_replacements.
#include <numeric>

#include "bindings.hpp"
#include "patch.hpp"
#include "py.hpp"
#include "text_py.hpp"

namespace tarnwistle::py {
namespace {

constexpr Param SEEK_SEQUENCE_PARAMS[] = {
    {.name = "lines"}, {.name = "pattern"}, {.name = "start"}, {.name = "eof"}};
constexpr Param DERIVE_NEW_CONTENTS_PARAMS[] = {
    {.name = "original_content"}, {.name = "path"}, {.name = "chunks"}};
constexpr Param APPLY_LINE_REPLACEMENTS_PARAMS[] = {{.name = "lines"}, {.name = "replacements"}};

// The chunks of derive_new_contents; the views stay valid while this lives.
struct ChunkArgs {
  std::vector<PyRef> items;  // the tuples: they keep each context str alive
  std::vector<TextList> old_lines, new_lines;
  std::vector<UpdateChunk> chunks;
};

// A sequence of (change_context | None, old_lines, new_lines, is_end_of_file) tuples.
bool arg_chunks(PyObject* obj, const char* name, ChunkArgs& out) {
  const ItemCheck chunk = [](PyObject* item, const char* arg) { return item_tuple(item, arg, 4); };
  if (!arg_sequence(obj, name, out.items, chunk)) return false;
  const std::size_t n = out.items.size();
  out.old_lines.resize(n);
  out.new_lines.resize(n);
  out.chunks.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = out.items[i].get();
    UpdateChunk& chunk = out.chunks[i];
    if (!item_opt_text(PyTuple_GetItem(item, 0), name, chunk.change_context) ||
        !arg_text_list(PyTuple_GetItem(item, 1), name, out.old_lines[i]) ||
        !arg_text_list(PyTuple_GetItem(item, 2), name, out.new_lines[i]) ||
        !arg_bool(PyTuple_GetItem(item, 3), name, chunk.is_end_of_file)) {
      return false;
    }
    chunk.old_lines = out.old_lines[i].views;
    chunk.new_lines = out.new_lines[i].views;
  }
  return true;
}

// The line replacements of apply_line_replacements as handles: index h < line count names
// input line h, and the new lines of all replacements follow in `objects`, in given order.
struct ReplacementArgs {
  std::vector<PyRef> items;
  std::vector<TextList> new_lines;
  std::vector<PyObject*> objects;     // borrowed; kept alive by the TextLists
  std::vector<std::uint64_t> handles; // the new lines' handles, replacement after replacement
  std::vector<LineReplacement<std::uint64_t>> replacements;
};

bool arg_line_replacements(PyObject* obj, const char* name, const TextList& lines,
                           ReplacementArgs& out) {
  const ItemCheck triple = [](PyObject* item, const char* arg) { return item_tuple(item, arg, 3); };
  if (!arg_sequence(obj, name, out.items, triple)) return false;
  const std::size_t n = out.items.size();
  out.new_lines.resize(n);
  out.replacements.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = out.items[i].get();
    if (!arg_u64(PyTuple_GetItem(item, 0), name, out.replacements[i].start) ||
        !arg_u64(PyTuple_GetItem(item, 1), name, out.replacements[i].len) ||
        !arg_text_list(PyTuple_GetItem(item, 2), name, out.new_lines[i])) {
      return false;
    }
  }
  for (const PyRef& line : lines.owners) out.objects.push_back(line.get());
  for (const TextList& list : out.new_lines) {
    for (const PyRef& line : list.owners) out.objects.push_back(line.get());
  }
  out.handles.resize(out.objects.size() - lines.owners.size());
  std::iota(out.handles.begin(), out.handles.end(), lines.owners.size());
  std::size_t offset = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t count = out.new_lines[i].owners.size();
    out.replacements[i].new_lines = std::span(out.handles).subspan(offset, count);
    offset += count;
  }
  return true;
}

PyObject* seek_sequence_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[4];
    TextList lines, pattern;
    std::uint64_t start = 0;
    bool eof = false;
    if (!parse_args("seek_sequence", SEEK_SEQUENCE_PARAMS, args, nargs, kwnames, given) ||
        !arg_text_list(given[0], "lines", lines) || !arg_text_list(given[1], "pattern", pattern) ||
        !arg_u64(given[2], "start", start) || !arg_bool(given[3], "eof", eof)) {
      return nullptr;
    }
    const std::optional<std::uint64_t> found =
        without_gil([&] { return seek_sequence_inner(lines.views, pattern.views, start, eof); });
    if (!found) Py_RETURN_NONE;
    return new_u64(*found);
  });
}

PyObject* derive_new_contents_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[3];
    TextArg original;  // encoded, when not ASCII, into a copy the call drops
    std::string_view path;
    ChunkArgs chunks;
    if (!parse_args("derive_new_contents", DERIVE_NEW_CONTENTS_PARAMS, args, nargs, kwnames,
                    given) ||
        !arg_str(given[0], "original_content", original) || !to_utf8(original) ||
        !arg_text(given[1], "path", path) || !arg_chunks(given[2], "chunks", chunks)) {
      return nullptr;
    }
    Result<std::string> derived = without_gil(
        [&] { return derive_new_contents_inner(original.utf8, path, chunks.chunks); });
    if (!derived.ok()) return raise_error(derived.error());
    return new_text(*derived);
  });
}

PyObject* apply_line_replacements_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* given[2];
    TextList lines;
    ReplacementArgs replacements;
    if (!parse_args("apply_line_replacements", APPLY_LINE_REPLACEMENTS_PARAMS, args, nargs,
                    kwnames, given) ||
        !arg_text_list(given[0], "lines", lines) ||
        !arg_line_replacements(given[1], "replacements", lines, replacements)) {
      return nullptr;
    }
    // The rebuild moves handles only; the result list shares the caller's str objects.
    Result<std::vector<std::uint64_t>> rebuilt = without_gil([&] {
      std::vector<std::uint64_t> input(lines.owners.size());
      std::iota(input.begin(), input.end(), std::uint64_t{0});
      return apply_line_replacements_inner(std::move(input),
                                           std::move(replacements.replacements));
    });
    if (!rebuilt.ok()) return raise_error(rebuilt.error());
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rebuilt->size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < rebuilt->size(); ++i) {
      PyObject* line = replacements.objects[(*rebuilt)[i]];
      Py_INCREF(line);
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), line);  // steals the new reference
    }
    return list.release();
  });
}

PyMethodDef PATCH_FUNCTIONS[] = {
    {"seek_sequence", as_method(seek_sequence_py), FASTCALL_KW,
     "seek_sequence(lines, pattern, start, eof)\n--\n\n"
     "Search for a line sequence with progressively relaxed normalization."},
    {"derive_new_contents", as_method(derive_new_contents_py), FASTCALL_KW,
     "derive_new_contents(original_content, path, chunks)\n--\n\n"
     "Derive new file contents from original text + update chunks.\n\n"
     "`chunks`: list of `(change_context | None, old_lines, new_lines, is_end_of_file)`."},
    {"apply_line_replacements", as_method(apply_line_replacements_py), FASTCALL_KW,
     "apply_line_replacements(lines, replacements)\n--\n\n"
     "Apply sorted, non-overlapping line replacements in one linear rebuild."},
};

}  // namespace

bool register_patch(Registry& r) { return r.add_functions(PATCH_FUNCTIONS); }

}  // namespace tarnwistle::py
