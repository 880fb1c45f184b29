// Line windows over text already in memory. No Python here.
//
// A line is a piece of the text up to and including a '\n', or the final piece without one;
// an empty text has no lines and a final '\n' does not start another line.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace tarnwistle {

// Number of '\n' bytes in `text`; vectorised, also used by the streaming file window.
std::uint64_t count_newlines(std::string_view text);

// Number of lines: '\n' bytes, plus one when the text does not end with '\n'.
std::uint64_t count_lines_inner(std::string_view text);

// At most `take` lines from 0-based line `start` on, with their endings; views into `text`.
// A start past the end (also one that only a 65-bit sum would reach) gives an empty list.
std::vector<std::string_view> slice_lines_inner(std::string_view text, std::uint64_t start,
                                                std::uint64_t take);

// `cat -n` form of `lines`: each line numbered from `start_line` (numbers are exact even past
// 2^64), right-aligned to the digits of `total_lines` (at least 4), a tab, the line as given;
// then the truncation notice when `truncated` and lines follow the last one shown.
std::string format_cat_n_inner(std::span<const std::string_view> lines, std::uint64_t start_line,
                               std::uint64_t total_lines, bool truncated);

// ---- the line walks, over any text that can find its '\n' ---------------------------------
//
// Written once for two kinds of text: UTF-8 bytes here, and the characters of a Python str
// in the binding, through the interpreter's own str functions. Positions are in the text's
// own units (bytes, or characters). A Text provides:
//   size()                 its length
//   newlines(from, to)     the number of '\n' in [from, to)
//   line_end(pos)          the position just after the line that starts at pos < size()
//   last_newline(end)      the position of the last '\n' before `end`, or npos
//   ends_open()            whether a non-empty text's last unit is not '\n'
namespace lines {

constexpr std::size_t npos = static_cast<std::size_t>(-1);

struct Skipped {
  std::size_t pos;      // where the next line starts (size() when none is left)
  std::uint64_t lines;  // lines passed over; fewer than asked when the text ended first
};

// Passes over the first `k` lines. Whole blocks without the k-th line ending are only
// counted, so skipping far into a big text costs a counting scan, not a call per line.
template <class Text>
Skipped skip(const Text& text, std::uint64_t k) {
  constexpr std::size_t BLOCK = 4096;
  std::size_t pos = 0;
  std::uint64_t done = 0;
  while (done < k && text.size() - pos > BLOCK) {
    const std::uint64_t n = text.newlines(pos, pos + BLOCK);
    if (n >= k - done) break;
    done += n;
    pos += BLOCK;
  }
  while (done < k && pos < text.size()) {
    pos = text.line_end(pos);
    ++done;
  }
  return {pos, done};
}

// Lines from `from` to the end.
template <class Text>
std::uint64_t count_from(const Text& text, std::size_t from) {
  if (from >= text.size()) return 0;
  return text.newlines(from, text.size()) + (text.ends_open() ? 1 : 0);
}

// Start of the last `kept` lines (1 <= kept <= the text's line count), found from the end.
// The final unit is left out of the first search: a '\n' there ends a line but starts none.
template <class Text>
std::size_t start_of_last(const Text& text, std::uint64_t kept) {
  std::size_t end = text.size() - 1;
  for (std::uint64_t k = 0; k < kept; ++k) {
    const std::size_t nl = text.last_newline(end);
    if (nl == npos) return 0;
    end = nl;
  }
  return end + 1;
}

// Appends the ends of at most `count` lines starting at `pos` to `bounds`.
template <class Text>
void collect(const Text& text, std::size_t pos, std::uint64_t count,
             std::vector<std::size_t>& bounds) {
  for (std::uint64_t i = 0; i < count && pos < text.size(); ++i) {
    pos = text.line_end(pos);
    bounds.push_back(pos);
  }
}

// The lines of a window: line i runs from bounds[i] to bounds[i + 1].
struct Shape {
  std::uint64_t total_lines = 0;
  std::uint64_t first = 0;  // 0-based index of the first line
  bool truncated = false;
  std::vector<std::size_t> bounds;

  std::uint64_t count() const { return bounds.empty() ? 0 : bounds.size() - 1; }
};

template <class Text>
Shape head(const Text& text, std::uint64_t skip_count, std::uint64_t limit) {
  const Skipped skipped = skip(text, skip_count);
  Shape w;
  if (skipped.lines < skip_count || skipped.pos == text.size()) {
    w.total_lines = skipped.lines;
    w.first = skipped.lines;
    return w;
  }
  const std::uint64_t rest_lines = count_from(text, skipped.pos);
  w.total_lines = skip_count + rest_lines;
  w.first = skip_count;
  const std::uint64_t count = std::min(limit, rest_lines);
  w.truncated = count < rest_lines;
  w.bounds.reserve(count + 1);
  w.bounds.push_back(skipped.pos);
  collect(text, skipped.pos, count, w.bounds);
  return w;
}

template <class Text>
Shape tail(const Text& text, std::uint64_t keep) {
  Shape w;
  w.total_lines = count_from(text, 0);
  const std::uint64_t kept = std::min(keep, w.total_lines);
  w.first = w.total_lines - kept;
  // Walk from whichever end is nearer to the first kept line.
  const std::size_t begin =
      kept <= w.first ? start_of_last(text, kept) : skip(text, w.first).pos;
  w.bounds.reserve(kept + 1);
  w.bounds.push_back(begin);
  collect(text, begin, kept, w.bounds);
  return w;
}

// The window of prepare_read (the limit is checked by the caller): the last -`offset` lines
// when `offset` is negative, else at most `limit` lines from 1-based line `offset` (0 as 1).
template <class Text>
Shape window(const Text& text, std::int64_t offset, std::uint64_t limit) {
  if (text.size() == 0) return Shape{};
  if (offset < 0) {
    // Two's-complement negation: the most negative offset keeps 2^63 lines, that is all.
    return tail(text, std::uint64_t{0} - static_cast<std::uint64_t>(offset));
  }
  return head(text, offset <= 1 ? 0 : static_cast<std::uint64_t>(offset) - 1, limit);
}

// Bounds of at most `take` lines from 0-based line `start` (empty when there are none).
template <class Text>
std::vector<std::size_t> slice(const Text& text, std::uint64_t start, std::uint64_t take) {
  std::vector<std::size_t> bounds;
  if (take == 0) return bounds;
  const Skipped skipped = skip(text, start);
  if (skipped.lines < start || skipped.pos == text.size()) return bounds;
  // A large `take` is bounded by the lines that are left, counted once for an exact reserve.
  constexpr std::uint64_t SMALL = 256;
  bounds.reserve(1 + (take <= SMALL ? take : std::min(take, count_from(text, skipped.pos))));
  bounds.push_back(skipped.pos);
  collect(text, skipped.pos, take, bounds);
  return bounds;
}

}  // namespace lines

// A UTF-8 text as the line walks see it.
struct Utf8Lines {
  std::string_view text;

  std::size_t size() const { return text.size(); }
  std::uint64_t newlines(std::size_t from, std::size_t to) const {
    return count_newlines(text.substr(from, to - from));
  }
  std::size_t line_end(std::size_t pos) const;
  std::size_t last_newline(std::size_t end) const;
  bool ends_open() const { return text.back() != '\n'; }
};

// The views of the lines of `shape` in `text`.
std::vector<std::string_view> line_views(std::string_view text,
                                         std::span<const std::size_t> bounds);

// A bounded window of a text. Views point into the text given to prepare_read_inner.
struct ReadWindow {
  std::string_view plain;                // the window's lines as one piece of the text
  std::optional<std::string> numbered;   // the cat -n form, when line numbers were asked for
  std::uint64_t total_lines = 0;
  std::uint64_t start_line = 1;          // 1-based
  std::uint64_t end_line = 0;            // start_line - 1 when the window is empty
  bool truncated = false;                // lines follow the window (head windows only)
  std::vector<std::string_view> raw_lines;

  std::string_view content() const { return numbered ? std::string_view(*numbered) : plain; }
};

// The window of at most `limit` lines from 1-based line `offset` (0 counts as 1), or of the
// last -`offset` lines when `offset` is negative (then `limit` only has to be positive).
// InvalidValue "limit must be > 0" when `limit` is 0.
Result<ReadWindow> prepare_read_inner(std::string_view text, std::int64_t offset,
                                      std::uint64_t limit, bool show_line_numbers);

}  // namespace tarnwistle
