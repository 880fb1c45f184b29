// Line windows over text already in memory. No Python here.
#pragma once

#include <cstdint>
#include <string_view>

namespace tarnwistle {

// Number of '\n' bytes in `text`; vectorised, also used by the streaming file window.
std::uint64_t count_newlines(std::string_view text);

// Number of lines: '\n' bytes, plus one when the text does not end with '\n'.
std::uint64_t count_lines_inner(std::string_view text);

}  // namespace tarnwistle
