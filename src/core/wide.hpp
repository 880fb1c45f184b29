// Facts about a text that arrives as code points (the characters of a Python str, read out in
// runs by the binding) rather than as UTF-8. No Python here.
//
// The text functions work on UTF-8, but a str that is not ASCII has no UTF-8 form until it is
// encoded, which costs more than the work itself and, through the str's cache, a second copy
// of the text for its lifetime. One pass over its characters instead tells whether a UTF-8
// form exists (no lone surrogate) and gives the facts the text functions start from.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwistle {

// Whether the processor runs AVX2 instructions (checked once); the scans use them when it does.
bool has_avx2();

class CodePointScan {
 public:
  // `find_crlf`: tell whether "\r\n" occurs instead of counting '\n' (an edit needs only that).
  explicit CodePointScan(bool find_crlf = false) : find_crlf_(find_crlf) {}

  // Adds the next run of the text; the runs in order are the whole text.
  void feed(std::u32string_view run);

  // A lone surrogate (U+D800 to U+DFFF) was seen: the text cannot be encoded to UTF-8.
  bool surrogate() const { return surrogate_; }
  // Number of '\n' characters (unless asked for "\r\n").
  std::uint64_t newlines() const { return newlines_; }
  // Whether "\r\n" occurs, also split across two runs (when asked for).
  bool crlf() const { return crlf_; }

 private:
  bool find_crlf_;
  bool surrogate_ = false;
  bool crlf_ = false;
  std::uint64_t newlines_ = 0;
  char32_t last_ = 0;  // the last character of the runs so far
};

// The UTF-8 offsets of some character positions of a text without surrogates, found while
// its runs pass by.
class Utf8Positions {
 public:
  // `positions` ascending; the view must outlive this object.
  explicit Utf8Positions(std::span<const std::uint64_t> positions) : positions_(positions) {}

  // Adds the next run of the text; runs after the last position are not needed.
  void feed(std::u32string_view run);
  bool done() const { return offsets_.size() == positions_.size(); }
  // One offset per position, once done().
  const std::vector<std::uint64_t>& offsets() const { return offsets_; }

 private:
  std::span<const std::uint64_t> positions_;
  std::vector<std::uint64_t> offsets_;
  std::uint64_t chars_ = 0;  // characters before the current run
  std::uint64_t bytes_ = 0;  // their UTF-8 size
};

// The leftmost non-overlapping occurrences of a needle in a text given as runs that overlap
// by overlap() characters, so that every occurrence lies whole inside one run: the rule of
// exact_find_all, said over characters.
class CodePointFinder {
 public:
  // `needle` not empty.
  explicit CodePointFinder(std::u32string needle);
  std::size_t overlap() const { return needle_.size() - 1; }
  // Adds the run that starts at character `start` of the text; runs come in order.
  void feed(std::u32string_view run, std::uint64_t start);
  // Starts of the occurrences, in characters, ascending.
  const std::vector<std::uint64_t>& positions() const { return positions_; }

 private:
  std::size_t find(std::u32string_view hay, std::size_t from, std::size_t& budget) const;
  std::size_t find_linear(std::u32string_view hay, std::size_t from) const;

  std::u32string needle_;
  std::vector<std::size_t> border_;  // Knuth-Morris-Pratt table of the needle
  std::uint64_t next_ = 0;           // no occurrence starts before this character
  std::vector<std::uint64_t> positions_;
};

// Bytes of the UTF-8 form of `run`, which holds no surrogate.
std::uint64_t utf8_size_of(std::u32string_view run);

}  // namespace tarnwistle
