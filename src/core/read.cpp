#include "read.hpp"

#include "text.hpp"

#include <algorithm>
#include <cstring>
#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "wide.hpp"

namespace tarnwistle {

namespace {

#if defined(__x86_64__)
// '\n' bytes of p[0..n) 32 at a time, the lane counters folded before they can wrap; returns
// how many bytes it took.
__attribute__((target("avx2"))) std::size_t count_newlines_avx2(const char* p, std::size_t n,
                                                                std::uint64_t& total) {
  const __m256i nl = _mm256_set1_epi8('\n');
  std::size_t i = 0;
  while (n - i >= 32) {
    __m256i acc = _mm256_setzero_si256();
    const std::size_t blocks = std::min<std::size_t>((n - i) / 32, 255);
    for (std::size_t b = 0; b < blocks; ++b, i += 32) {
      const __m256i chunk = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
      acc = _mm256_sub_epi8(acc, _mm256_cmpeq_epi8(chunk, nl));
    }
    const __m256i sums = _mm256_sad_epu8(acc, _mm256_setzero_si256());
    alignas(32) std::uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
    total += lanes[0] + lanes[1] + lanes[2] + lanes[3];
  }
  return i;
}
#endif

}  // namespace

// Counts '\n' bytes 16 (or, with AVX2, 32) at a time; the per-lane counters are folded
// before they could wrap.
std::uint64_t count_newlines(std::string_view text) {
  const char* p = text.data();
  std::size_t n = text.size();
  std::uint64_t total = 0;
#if defined(__x86_64__)
  if (has_avx2()) {
    const std::size_t done = count_newlines_avx2(p, n, total);
    p += done;
    n -= done;
  }
#endif
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

unsigned decimal_digits(unsigned __int128 value) {
  unsigned n = 1;
  while (value >= 10) {
    value /= 10;
    ++n;
  }
  return n;
}

}  // namespace

std::size_t Utf8Lines::line_end(std::size_t pos) const {
  const void* nl = std::memchr(text.data() + pos, '\n', text.size() - pos);
  if (nl == nullptr) return text.size();
  return static_cast<std::size_t>(static_cast<const char*>(nl) - text.data()) + 1;
}

std::size_t Utf8Lines::last_newline(std::size_t end) const {
  const void* nl = ::memrchr(text.data(), '\n', end);
  if (nl == nullptr) return lines::npos;
  return static_cast<std::size_t>(static_cast<const char*>(nl) - text.data());
}

std::vector<std::string_view> line_views(std::string_view text,
                                         std::span<const std::size_t> bounds) {
  std::vector<std::string_view> views;
  if (bounds.empty()) return views;
  views.reserve(bounds.size() - 1);
  for (std::size_t i = 0; i + 1 < bounds.size(); ++i) {
    views.push_back(text.substr(bounds[i], bounds[i + 1] - bounds[i]));
  }
  return views;
}

std::uint64_t count_lines_inner(std::string_view text) {
  if (text.empty()) return 0;
  return count_newlines(text) + (text.back() != '\n' ? 1 : 0);
}

std::vector<std::string_view> slice_lines_inner(std::string_view text, std::uint64_t start,
                                                std::uint64_t take) {
  return line_views(text, lines::slice(Utf8Lines{text}, start, take));
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
  const lines::Shape shape = lines::window(Utf8Lines{text}, offset, limit);
  ReadWindow w;
  w.total_lines = shape.total_lines;
  w.start_line = shape.count() == 0 ? shape.total_lines + 1 : shape.first + 1;
  w.end_line = shape.count() == 0 ? shape.total_lines : shape.first + shape.count();
  if (shape.count() == 0) return w;
  w.truncated = shape.truncated;
  w.raw_lines = line_views(text, shape.bounds);
  w.plain = text.substr(shape.bounds.front(), shape.bounds.back() - shape.bounds.front());
  if (show_line_numbers) {
    w.numbered = format_cat_n_inner(w.raw_lines, w.start_line, w.total_lines, w.truncated);
  }
  return w;
}

}  // namespace tarnwistle
