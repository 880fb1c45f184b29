// Facts about a text that arrives as code points (the characters of a Python str, read out in
// runs by the binding) rather than as UTF-8. No Python here.
//
// The text functions work on UTF-8, but a str that is not ASCII has no UTF-8 form until it is
// encoded, which costs more than the work itself and, through the str's cache, a second copy
// of the text for its lifetime. One pass over its characters instead tells whether a UTF-8
// form exists (no lone surrogate) and counts the '\n' the line functions start from.
#pragma once

#include <cstdint>
#include <string_view>

namespace tarnwistle {

class CodePointScan {
 public:
  // Adds the next run of the text; the runs in order are the whole text.
  void feed(std::u32string_view run);

  // A lone surrogate (U+D800 to U+DFFF) was seen: the text cannot be encoded to UTF-8.
  bool surrogate() const { return surrogate_; }
  // Number of '\n' characters.
  std::uint64_t newlines() const { return newlines_; }

 private:
  bool surrogate_ = false;
  std::uint64_t newlines_ = 0;
};

}  // namespace tarnwistle
