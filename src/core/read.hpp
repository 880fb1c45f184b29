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
