// Patch application: a line-sequence search that relaxes its comparison pass by pass, line
// replacements rebuilt in one linear pass, and the derivation of a file's new text from its
// update chunks. No Python here.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"

namespace tarnwistle {

// Index of the first line of `pattern` in `lines` at or after `start` (only at the very end
// when `eof`). Tries, over all candidates each: exact lines, trailing whitespace ignored,
// surrounding whitespace ignored, and finally typographic spaces, dashes and quotes read as
// their ASCII forms. An empty pattern is found at `start` itself.
std::optional<std::uint64_t> seek_sequence_inner(std::span<const std::string_view> lines,
                                                 std::span<const std::string_view> pattern,
                                                 std::uint64_t start, bool eof);

// Replace `len` lines from `start` by `new_lines` (len 0 inserts before `start`).
template <class Line>
struct LineReplacement {
  std::uint64_t start = 0;
  std::uint64_t len = 0;
  std::span<const Line> new_lines;
};

// One of the five messages of a failed rebuild.
CoreError line_span_overflow(std::uint64_t start, std::uint64_t len);
CoreError line_span_out_of_range(std::uint64_t start, std::uint64_t len, std::uint64_t lines);
CoreError overlapping_line_replacements();
CoreError output_line_count_overflow();
CoreError input_line_count_overflow();

// Size of the rebuilt line list after checking `sorted` replacements in order.
template <class Line>
Result<std::uint64_t> checked_output_size(std::uint64_t line_count,
                                          std::span<const LineReplacement<Line>> sorted) {
  std::uint64_t prev_end = 0, total_old = 0, total_new = 0;
  for (const LineReplacement<Line>& r : sorted) {
    std::uint64_t end = 0;
    if (__builtin_add_overflow(r.start, r.len, &end)) return line_span_overflow(r.start, r.len);
    if (end > line_count) return line_span_out_of_range(r.start, r.len, line_count);
    if (r.start < prev_end) return overlapping_line_replacements();
    if (__builtin_add_overflow(total_new, r.new_lines.size(), &total_new)) {
      return output_line_count_overflow();
    }
    if (__builtin_add_overflow(total_old, r.len, &total_old)) return input_line_count_overflow();
    prev_end = end;
  }
  std::uint64_t size = 0;
  if (total_old > line_count || __builtin_add_overflow(line_count - total_old, total_new, &size)) {
    return output_line_count_overflow();
  }
  return size;
}

// Sorts `replacements` stably by start and checks them; returns the output line count.
template <class Line>
Result<std::uint64_t> sort_and_check(std::uint64_t line_count,
                                     std::vector<LineReplacement<Line>>& replacements) {
  std::stable_sort(replacements.begin(), replacements.end(),
                   [](const auto& a, const auto& b) { return a.start < b.start; });
  return checked_output_size<Line>(line_count, replacements);
}

// Hands the rebuilt line list to `emit` in order, input lines as rvalues (to be moved) and
// new lines as const references. `sorted` must have passed sort_and_check.
template <class Line, class Emit>
void rebuild_lines(std::vector<Line>& lines, const std::vector<LineReplacement<Line>>& sorted,
                   Emit&& emit) {
  std::size_t cursor = 0;
  for (const LineReplacement<Line>& r : sorted) {
    for (; cursor < r.start; ++cursor) emit(std::move(lines[cursor]));
    for (const Line& line : r.new_lines) emit(line);
    cursor = r.start + r.len;
  }
  for (; cursor < lines.size(); ++cursor) emit(std::move(lines[cursor]));
}

// `lines` with the replacements applied; they may come in any order (sorted stably by start)
// but must not overlap. Input lines are moved into the result, which is allocated once.
// `Line` is any movable value: a string, a view, or a caller's handle for an object it owns.
template <class Line>
Result<std::vector<Line>> apply_line_replacements_inner(
    std::vector<Line> lines, std::vector<LineReplacement<Line>> replacements) {
  Result<std::uint64_t> size = sort_and_check(lines.size(), replacements);
  if (!size.ok()) return std::move(size.error());
  std::vector<Line> out;
  out.reserve(*size);
  rebuild_lines(lines, replacements,
                [&](auto&& line) { out.push_back(std::forward<decltype(line)>(line)); });
  return out;
}

// One update of a file: the old lines to find (after `change_context`, when given) and the
// lines that take their place; `is_end_of_file` pins the old lines to the end of the file.
struct UpdateChunk {
  std::optional<std::string_view> change_context;
  std::span<const std::string_view> old_lines;
  std::span<const std::string_view> new_lines;
  bool is_end_of_file = false;
};

// The new text of `original` after `chunks`, each searched from where the previous one ended.
// Any CRLF in `original` makes every output line end in CRLF; a non-empty result always ends
// with a line ending. InvalidValue naming `path` when a context or old lines are not found.
Result<std::string> derive_new_contents_inner(std::string_view original, std::string_view path,
                                              std::span<const UpdateChunk> chunks);

}  // namespace tarnwistle
