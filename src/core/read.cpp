#include "read.hpp"
#include "text.hpp"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarnwistle {

// Counts '\n' bytes 16 at a time; the per-lane counters are folded before they can wrap.
std::uint64_t count_newlines(std::string_view text) {
  const char* p = text.data();
  std::size_t n = text.size();
  std::uint64_t total = 0;
#if defined(__SSE2__)
  const __m128i nl = _mm_set1_epi8('\n');
  while (n >= 16) {
    __m128i acc = _mm_setzero_si128();
    const std::size_t blocks = std::min<std::size_t>(n / 16, 255);
    for (std::size_t b = 0; b < blocks; ++b) {
      const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      acc = _mm_sub_epi8(acc, _mm_cmpeq_epi8(chunk, nl));
      p += 16;
    }
    n -= blocks * 16;
    const __m128i sums = _mm_sad_epu8(acc, _mm_setzero_si128());
    total += static_cast<std::uint64_t>(_mm_cvtsi128_si32(sums)) +
             static_cast<std::uint64_t>(_mm_extract_epi16(sums, 4));
  }
#endif
  for (std::size_t i = 0; i < n; ++i) total += p[i] == '\n';
  return total;
}

namespace {

// Position just after the line that starts at `pos` (pos < text.size()).
std::size_t line_end(std::string_view text, std::size_t pos) {
  const void* nl = std::memchr(text.data() + pos, '\n', text.size() - pos);
  if (nl == nullptr) return text.size();
  return static_cast<std::size_t>(static_cast<const char*>(nl) - text.data()) + 1;
}

struct Skipped {
  std::size_t pos;     // where the next line starts (text.size() when none is left)
  std::uint64_t lines; // lines passed over; fewer than asked when the text ended first
};

// Passes over the first `k` lines. Whole blocks without the k-th line ending are only
// counted, so skipping far into a big text costs a vectorised scan, not a call per line.
Skipped skip_lines(std::string_view text, std::uint64_t k) {
  constexpr std::size_t BLOCK = 4096;
  std::size_t pos = 0;
  std::uint64_t done = 0;
  while (done < k && text.size() - pos > BLOCK) {
    const std::uint64_t n = count_newlines(text.substr(pos, BLOCK));
    if (n >= k - done) break;
    done += n;
    pos += BLOCK;
  }
  while (done < k && pos < text.size()) {
    pos = line_end(text, pos);
    ++done;
  }
  return {pos, done};
}

// Start of the last `kept` lines (1 <= kept <= the text's line count), found from the end.
// The final byte is left out of the first search: a '\n' there ends a line but starts none.
std::size_t start_of_last_lines(std::string_view text, std::uint64_t kept) {
  std::size_t end = text.size() - 1;
  for (std::uint64_t k = 0; k < kept; ++k) {
    const void* nl = ::memrchr(text.data(), '\n', end);
    if (nl == nullptr) return 0;
    end = static_cast<std::size_t>(static_cast<const char*>(nl) - text.data());
  }
  return end + 1;
}

// Appends at most `count` lines starting at `pos`; returns the position after the last one.
std::size_t collect_lines(std::string_view text, std::size_t pos, std::uint64_t count,
                          std::vector<std::string_view>& out) {
  for (std::uint64_t i = 0; i < count && pos < text.size(); ++i) {
    const std::size_t end = line_end(text, pos);
    out.push_back(text.substr(pos, end - pos));
    pos = end;
  }
  return pos;
}

unsigned decimal_digits(unsigned __int128 value) {
  unsigned n = 1;
  while (value >= 10) {
    value /= 10;
    ++n;
  }
  return n;
}

ReadWindow empty_window(std::uint64_t total_lines) {
  ReadWindow w;
  w.total_lines = total_lines;
  w.start_line = total_lines + 1;
  w.end_line = total_lines;
  return w;
}

// Fills the content of a non-empty window whose lines run from `begin` to `end` in `text`.
void finish_window(ReadWindow& w, std::string_view text, std::size_t begin, std::size_t end,
                   std::uint64_t first, bool show_line_numbers) {
  w.plain = text.substr(begin, end - begin);
  w.start_line = first + 1;
  w.end_line = first + w.raw_lines.size();
  if (show_line_numbers) {
    w.numbered = format_cat_n_inner(w.raw_lines, w.start_line, w.total_lines, w.truncated);
  }
}

ReadWindow head_window(std::string_view text, std::uint64_t skip, std::uint64_t limit,
                       bool show_line_numbers) {
  const Skipped skipped = skip_lines(text, skip);
  if (skipped.lines < skip || skipped.pos == text.size()) return empty_window(skipped.lines);
  const std::string_view rest = text.substr(skipped.pos);
  const std::uint64_t rest_lines = count_lines_inner(rest);
  ReadWindow w;
  w.total_lines = skip + rest_lines;
  const std::uint64_t count = std::min(limit, rest_lines);
  w.truncated = count < rest_lines;
  w.raw_lines.reserve(count);
  const std::size_t end = collect_lines(text, skipped.pos, count, w.raw_lines);
  finish_window(w, text, skipped.pos, end, skip, show_line_numbers);
  return w;
}

ReadWindow tail_window(std::string_view text, std::uint64_t keep, bool show_line_numbers) {
  const std::uint64_t total = count_lines_inner(text);
  const std::uint64_t kept = std::min(keep, total);
  const std::uint64_t first = total - kept;
  // Walk from whichever end is nearer to the first kept line.
  const std::size_t begin =
      kept <= first ? start_of_last_lines(text, kept) : skip_lines(text, first).pos;
  ReadWindow w;
  w.total_lines = total;
  w.raw_lines.reserve(kept);
  collect_lines(text, begin, kept, w.raw_lines);
  finish_window(w, text, begin, text.size(), first, show_line_numbers);
  return w;
}

}  // namespace

std::uint64_t count_lines_inner(std::string_view text) {
  if (text.empty()) return 0;
  return count_newlines(text) + (text.back() != '\n' ? 1 : 0);
}

std::vector<std::string_view> slice_lines_inner(std::string_view text, std::uint64_t start,
                                                std::uint64_t take) {
  std::vector<std::string_view> lines;
  if (take == 0) return lines;
  const Skipped skipped = skip_lines(text, start);
  if (skipped.lines < start) return lines;
  // A large `take` is bounded by the lines that are left, counted once for an exact reserve.
  constexpr std::uint64_t SMALL = 256;
  lines.reserve(take <= SMALL ? take : std::min(take, count_lines_inner(text.substr(skipped.pos))));
  collect_lines(text, skipped.pos, take, lines);
  return lines;
}

std::string format_cat_n_inner(std::span<const std::string_view> lines, std::uint64_t start_line,
                               std::uint64_t total_lines, bool truncated) {
  std::string out;
  if (lines.empty()) return out;
  const unsigned width = std::max(4u, decimal_digits(total_lines));
  // Line numbers are computed in 128 bits: a start near 2^64 still shows the true numbers.
  const unsigned __int128 last = static_cast<unsigned __int128>(start_line) + lines.size() - 1;
  const unsigned number_width = std::max(width, decimal_digits(last));
  std::size_t size = lines.size() * (number_width + 1);
  for (std::string_view line : lines) size += line.size();
  const bool notice = truncated && total_lines > last;
  out.reserve(size + (notice ? 64 : 0));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    append_decimal(out, static_cast<unsigned __int128>(start_line) + i, width);
    out += '\t';
    out.append(lines[i]);
  }
  if (notice) {
    if (out.back() != '\n') out += '\n';
    out += "... [truncated, ";
    append_decimal(out, total_lines - last, 0);
    out += " lines not shown]";
  }
  return out;
}

Result<ReadWindow> prepare_read_inner(std::string_view text, std::int64_t offset,
                                      std::uint64_t limit, bool show_line_numbers) {
  if (limit == 0) return invalid_value("limit must be > 0");
  if (text.empty()) return empty_window(0);
  if (offset < 0) {
    // Two's-complement negation: the most negative offset keeps 2^63 lines, that is all.
    const std::uint64_t keep = std::uint64_t{0} - static_cast<std::uint64_t>(offset);
    return tail_window(text, keep, show_line_numbers);
  }
  const std::uint64_t skip = offset <= 1 ? 0 : static_cast<std::uint64_t>(offset) - 1;
  return head_window(text, skip, limit, show_line_numbers);
}

}  // namespace tarnwistle
