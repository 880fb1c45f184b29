#include "read.hpp"

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

std::uint64_t count_lines_inner(std::string_view text) {
  if (text.empty()) return 0;
  return count_newlines(text) + (text.back() != '\n' ? 1 : 0);
}

}  // namespace tarnwistle
