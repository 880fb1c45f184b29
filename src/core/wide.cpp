#include "wide.hpp"

#include <algorithm>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tarnwistle {

namespace {

bool is_surrogate(char32_t c) { return (c & 0xFFFFF800u) == 0xD800u; }

unsigned utf8_width(char32_t c) { return 1u + (c >= 0x80) + (c >= 0x800) + (c >= 0x10000); }

struct Tally {
  std::uint64_t newlines = 0;
  bool surrogate = false;
  bool crlf = false;
};

#if defined(__x86_64__)
__attribute__((target("avx2"))) std::uint64_t lane_sum(__m256i v) {
  alignas(32) std::uint32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), v);
  std::uint64_t sum = 0;
  for (std::uint32_t lane : lanes) sum += lane;
  return sum;
}

// Characters 1.. of `p` eight at a time (the first has no predecessor inside the run):
// surrogate lanes are or-ed together, and either '\n' lanes are subtracted from lane counters,
// folded before they could wrap, or (CRLF) '\n' lanes after a '\r' are or-ed together; an
// edit needs no count, so it pays for one fact only. Returns where it stopped.
template <bool CRLF>
__attribute__((target("avx2"))) std::size_t tally_avx2(const char32_t* p, std::size_t n,
                                                       Tally& t) {
  const __m256i nl = _mm256_set1_epi32('\n'), cr = _mm256_set1_epi32('\r');
  const __m256i high = _mm256_set1_epi32(static_cast<int>(0xFFFFF800u));
  const __m256i sur = _mm256_set1_epi32(0xD800);
  __m256i lone = _mm256_setzero_si256(), pairs = lone;
  std::size_t i = 1;
  while (n - i >= 8) {
    __m256i lines = _mm256_setzero_si256();
    const std::size_t blocks = std::min<std::size_t>((n - i) / 8, std::size_t{1} << 28);
    for (std::size_t b = 0; b < blocks; ++b, i += 8) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
      const __m256i is_nl = _mm256_cmpeq_epi32(v, nl);
      lone = _mm256_or_si256(lone, _mm256_cmpeq_epi32(_mm256_and_si256(v, high), sur));
      if constexpr (CRLF) {
        const __m256i prev = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i - 1));
        pairs = _mm256_or_si256(pairs, _mm256_and_si256(is_nl, _mm256_cmpeq_epi32(prev, cr)));
      } else {
        lines = _mm256_sub_epi32(lines, is_nl);
      }
    }
    if constexpr (!CRLF) t.newlines += lane_sum(lines);
  }
  t.surrogate = t.surrogate || !_mm256_testz_si256(lone, lone);
  t.crlf = t.crlf || !_mm256_testz_si256(pairs, pairs);
  return i;
}

// Sum of the UTF-8 widths of `p[0..n)` eight at a time; returns where it stopped.
__attribute__((target("avx2"))) std::size_t width_avx2(const char32_t* p, std::size_t n,
                                                       std::uint64_t& bytes) {
  const __m256i b2 = _mm256_set1_epi32(0x7F), b3 = _mm256_set1_epi32(0x7FF);
  const __m256i b4 = _mm256_set1_epi32(0xFFFF);
  std::size_t i = 0;
  while (n - i >= 8) {
    __m256i extra = _mm256_setzero_si256();
    const std::size_t blocks = std::min<std::size_t>((n - i) / 8, std::size_t{1} << 28);
    for (std::size_t b = 0; b < blocks; ++b, i += 8) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
      const __m256i two = _mm256_add_epi32(_mm256_cmpgt_epi32(v, b2), _mm256_cmpgt_epi32(v, b3));
      extra = _mm256_sub_epi32(extra, _mm256_add_epi32(two, _mm256_cmpgt_epi32(v, b4)));
    }
    bytes += lane_sum(extra) + blocks * 8;
  }
  return i;
}
#endif

#if defined(__x86_64__)
// The first group of eight positions from `from` on with a candidate, a position whose first
// and last characters agree with the needle's: its start, and its candidates as a bit mask.
// Without one, the mask is 0 and the start is the first position no group could test.
__attribute__((target("avx2"))) std::size_t next_candidates(
    std::u32string_view hay, std::u32string_view needle, std::size_t from, unsigned& mask) {
  const std::size_t m = needle.size();
  const __m256i first = _mm256_set1_epi32(static_cast<int>(needle.front()));
  const __m256i last = _mm256_set1_epi32(static_cast<int>(needle.back()));
  std::size_t i = from;
  for (; hay.size() - i >= m - 1 + 8; i += 8) {
    const auto* p = reinterpret_cast<const __m256i*>(hay.data() + i);
    const __m256i a = _mm256_loadu_si256(p);
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hay.data() + i + m - 1));
    const __m256i both =
        _mm256_and_si256(_mm256_cmpeq_epi32(a, first), _mm256_cmpeq_epi32(b, last));
    mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(both)));
    if (mask != 0) return i;
  }
  mask = 0;
  return i;
}
#endif

}  // namespace

bool has_avx2() {
#if defined(__x86_64__)
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return yes;
#else
  return false;
#endif
}

CodePointFinder::CodePointFinder(std::u32string needle)
    : needle_(std::move(needle)), border_(needle_.size() + 1, 0) {
  std::size_t k = 0;
  for (std::size_t i = 1; i < needle_.size(); ++i) {
    while (k > 0 && needle_[i] != needle_[k]) k = border_[k];
    if (needle_[i] == needle_[k]) ++k;
    border_[i + 1] = k;
  }
}

// Knuth-Morris-Pratt from `from`: linear however the text repeats the needle's pieces.
std::size_t CodePointFinder::find_linear(std::u32string_view hay, std::size_t from) const {
  const std::size_t m = needle_.size();
  std::size_t k = 0;
  for (std::size_t i = from; i < hay.size(); ++i) {
    while (k > 0 && hay[i] != needle_[k]) k = border_[k];
    if (hay[i] == needle_[k] && ++k == m) return i + 1 - m;
  }
  return std::u32string_view::npos;
}

// Candidates are compared in full while that costs about as much as the scan; a text that
// makes them dearer is left to the linear search, as find_substring leaves it to memmem.
std::size_t CodePointFinder::find(std::u32string_view hay, std::size_t from,
                                  std::size_t& budget) const {
#if defined(__x86_64__)
  const std::size_t m = needle_.size();
  while (has_avx2()) {
    unsigned mask = 0;
    const std::size_t group = next_candidates(hay, needle_, from, mask);
    budget += group - from;
    from = group;
    if (mask == 0) break;  // the few positions left go to the linear search
    for (; mask != 0; mask &= mask - 1) {
      const std::size_t at = group + static_cast<std::size_t>(__builtin_ctz(mask));
      if (budget < m) return find_linear(hay, at);
      budget -= m;
      if (hay.compare(at, m, needle_) == 0) return at;
    }
    from = group + 8;
  }
#endif
  (void)budget;
  return find_linear(hay, from);
}

void CodePointFinder::feed(std::u32string_view run, std::uint64_t start) {
  const std::size_t m = needle_.size();
  std::size_t from = next_ > start ? static_cast<std::size_t>(next_ - start) : 0;
  std::size_t budget = 4096;
  while (from + m <= run.size()) {
    const std::size_t at = find(run, from, budget);
    if (at == std::u32string_view::npos) break;
    positions_.push_back(start + at);
    from = at + m;
  }
  next_ = std::max<std::uint64_t>(next_, start + from);
}

void CodePointScan::feed(std::u32string_view run) {
  if (run.empty()) return;
  const char32_t* p = run.data();
  const std::size_t n = run.size();
  Tally t;
  t.crlf = last_ == U'\r' && p[0] == U'\n';
  t.newlines = p[0] == U'\n';
  t.surrogate = is_surrogate(p[0]);
  std::size_t i = 1;
#if defined(__x86_64__)
  if (has_avx2()) i = find_crlf_ ? tally_avx2<true>(p, n, t) : tally_avx2<false>(p, n, t);
#endif
  for (; i < n; ++i) {
    t.newlines += p[i] == U'\n';
    t.surrogate = t.surrogate || is_surrogate(p[i]);
    t.crlf = t.crlf || (p[i] == U'\n' && p[i - 1] == U'\r');
  }
  newlines_ += find_crlf_ ? 0 : t.newlines;
  surrogate_ = surrogate_ || t.surrogate;
  crlf_ = crlf_ || (find_crlf_ && t.crlf);
  last_ = p[n - 1];
}

std::uint64_t utf8_size_of(std::u32string_view run) {
  std::uint64_t bytes = 0;
  std::size_t i = 0;
#if defined(__x86_64__)
  if (has_avx2()) i = width_avx2(run.data(), run.size(), bytes);
#endif
  for (; i < run.size(); ++i) bytes += utf8_width(run[i]);
  return bytes;
}

void Utf8Positions::feed(std::u32string_view run) {
  std::size_t done_in_run = 0;  // characters of the run already added to bytes_
  while (!done() && positions_[offsets_.size()] <= chars_ + run.size()) {
    const std::size_t at = static_cast<std::size_t>(positions_[offsets_.size()] - chars_);
    bytes_ += utf8_size_of(run.substr(done_in_run, at - done_in_run));
    done_in_run = at;
    offsets_.push_back(bytes_);
  }
  bytes_ += utf8_size_of(run.substr(done_in_run));
  chars_ += run.size();
}

}  // namespace tarnwistle
