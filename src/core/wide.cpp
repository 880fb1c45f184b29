#include "wide.hpp"

#include <algorithm>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tarnwistle {

namespace {

bool is_surrogate(char32_t c) { return (c & 0xFFFFF800u) == 0xD800u; }

struct Tally {
  std::uint64_t newlines = 0;
  bool surrogate = false;
};

#if defined(__x86_64__)
// Eight characters at a time: '\n' lanes are subtracted from lane counters (folded before
// they could wrap), surrogate lanes or-ed together. Returns how many characters it took.
__attribute__((target("avx2"))) std::size_t tally_avx2(const char32_t* p, std::size_t n,
                                                       Tally& t) {
  const __m256i nl = _mm256_set1_epi32('\n'), sur = _mm256_set1_epi32(0xD800);
  const __m256i high = _mm256_set1_epi32(static_cast<int>(0xFFFFF800u));
  __m256i lone = _mm256_setzero_si256();
  std::size_t i = 0;
  while (n - i >= 8) {
    __m256i lines = _mm256_setzero_si256();
    const std::size_t blocks = std::min<std::size_t>((n - i) / 8, std::size_t{1} << 30);
    for (std::size_t b = 0; b < blocks; ++b, i += 8) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
      lines = _mm256_sub_epi32(lines, _mm256_cmpeq_epi32(v, nl));
      lone = _mm256_or_si256(lone, _mm256_cmpeq_epi32(_mm256_and_si256(v, high), sur));
    }
    alignas(32) std::uint32_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), lines);
    for (std::uint32_t lane : lanes) t.newlines += lane;
  }
  t.surrogate = t.surrogate || !_mm256_testz_si256(lone, lone);
  return i;
}

bool has_avx2() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return yes;
}
#endif

}  // namespace

void CodePointScan::feed(std::u32string_view run) {
  const char32_t* p = run.data();
  const std::size_t n = run.size();
  Tally t;
  std::size_t i = 0;
#if defined(__x86_64__)
  if (has_avx2()) i = tally_avx2(p, n, t);
#endif
  for (; i < n; ++i) {
    t.newlines += p[i] == U'\n';
    t.surrogate = t.surrogate || is_surrogate(p[i]);
  }
  newlines_ += t.newlines;
  surrogate_ = surrogate_ || t.surrogate;
}

}  // namespace tarnwistle
