#include "edit.hpp"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "read.hpp"
#include "text.hpp"

namespace tarnwistle {

namespace {

// Pieces of `s` split on '\n', every piece kept (an empty text is one empty piece).
std::vector<std::string_view> split_keep_all(std::string_view s) {
  std::vector<std::string_view> pieces;
  pieces.reserve(count_newlines(s) + 1);
  std::size_t pos = 0;
  while (true) {
    const std::size_t nl = s.find('\n', pos);
    if (nl == std::string_view::npos) break;
    pieces.push_back(s.substr(pos, nl - pos));
    pos = nl + 1;
  }
  pieces.push_back(s.substr(pos));
  return pieces;
}

std::size_t find_by_memmem(std::string_view hay, std::string_view needle, std::size_t from) {
  if (hay.size() - from < needle.size()) return std::string_view::npos;
  const void* hit = ::memmem(hay.data() + from, hay.size() - from, needle.data(), needle.size());
  if (hit == nullptr) return std::string_view::npos;
  return static_cast<std::size_t>(static_cast<const char*>(hit) - hay.data());
}

// How common a byte is in source code and prose, 0 the rarest: a log scale of its count in a
// body of C++, Python and Markdown. Bytes outside printable ASCII are rare in such text;
// a tab is about as common as a ':'.
constexpr unsigned char PRINTABLE_COMMONNESS[95] = {  // ' ' to '~'
    208, 113, 167, 121, 108, 84, 123, 128, 166, 166, 126, 121, 165, 161, 160, 144, 141, 133, 126,
    113, 119, 113, 120, 101, 112, 100, 162, 150, 130, 153, 132, 89, 96, 126, 107, 132, 115, 140,
    123, 101, 104, 124, 50, 101, 123, 115, 126, 127, 136, 95, 131, 132, 138, 113, 93, 106, 107,
    85, 70, 132, 130, 132, 79, 168, 136, 180, 151, 171, 172, 191, 163, 154, 163, 180, 122, 144,
    173, 163, 182, 179, 166, 112, 183, 184, 190, 166, 146, 153, 149, 151, 127, 139, 121, 139, 86,
};

unsigned char commonness(unsigned char b) {
  if (b >= 0x20 && b < 0x7F) return PRINTABLE_COMMONNESS[b - 0x20];
  if (b == '\n') return 172;
  if (b == '\t') return 150;
  return 40;
}

// Offset in `needle` of its rarest byte, the last of equals (a later byte of a near-match
// tells it apart more often than an earlier one).
std::size_t rarest_offset(std::string_view needle) {
  std::size_t best = needle.size() - 1;
  for (std::size_t k = needle.size() - 1; k-- > 0;) {
    if (commonness(static_cast<unsigned char>(needle[k])) <
        commonness(static_cast<unsigned char>(needle[best]))) {
      best = k;
    }
  }
  return best;
}

// First occurrence of a long `needle` at or after `from`: memchr finds each place of its
// rarest byte at memory speed, and only there is the needle compared. The comparisons may
// cost about one byte per byte scanned; a text where the byte is common after all is handed
// to memmem, whose skipping search reads less of it.
std::size_t find_by_rare_byte(std::string_view hay, std::string_view needle, std::size_t from) {
  const std::size_t n = hay.size(), m = needle.size(), k = rarest_offset(needle);
  if (n < m || n - m < from) return std::string_view::npos;
  const char* h = hay.data();
  const char* const last = h + (n - m) + k;  // where the byte is for the last possible start
  std::size_t budget = 4096;
  for (const char* p = h + from + k; p <= last;) {
    const void* hit = std::memchr(p, needle[k], static_cast<std::size_t>(last - p) + 1);
    if (hit == nullptr) break;
    const char* at = static_cast<const char*>(hit);
    const auto start = static_cast<std::size_t>(at - h) - k;
    budget += static_cast<std::size_t>(at - p);
    if (budget < m) return find_by_memmem(hay, needle, start);
    budget -= m;
    if (std::memcmp(h + start, needle.data(), m) == 0) return start;
    p = at + 1;
  }
  return std::string_view::npos;
}

// First occurrence of `needle` (two bytes or more) in `hay` at or after `from`, or npos.
// Sixteen positions at a time are tested for the needle's first and last byte, and only those
// candidates are compared in full. The full comparisons may cost about one byte per byte
// scanned; a text that makes them dearer (long runs of near-matches) is handed to memmem,
// whose two-way search keeps the whole scan linear.
std::size_t find_substring(std::string_view hay, std::string_view needle, std::size_t from) {
  // From about 32 bytes on, a search that skips reads less of the text than this filter.
  constexpr std::size_t SKIPPING = 32;
  if (needle.size() >= SKIPPING) return find_by_rare_byte(hay, needle, from);
  std::size_t i = from;
#if defined(__SSE2__)
  const std::size_t n = hay.size(), m = needle.size();
  const char* h = hay.data();
  const __m128i first = _mm_set1_epi8(needle.front());
  const __m128i last = _mm_set1_epi8(needle.back());
  std::size_t budget = 4096;
  for (; n - i >= m - 1 + 16; i += 16, budget += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i + m - 1));
    auto mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last))));
    for (; mask != 0; mask &= mask - 1) {
      const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
      if (budget < m) return find_by_memmem(hay, needle, at);
      budget -= m;
      if (std::memcmp(h + at + 1, needle.data() + 1, m - 2) == 0) return at;
    }
  }
#endif
  return find_by_memmem(hay, needle, i);
}

bool on_char_boundary(std::string_view text, std::uint64_t pos) {
  if (pos == 0 || pos >= text.size()) return true;
  return (static_cast<unsigned char>(text[pos]) & 0xC0) != 0x80;
}

std::string number(std::uint64_t value) { return std::to_string(value); }

// Checks the sorted spans in order; returns the total matched length.
Result<std::uint64_t> validate_spans(std::string_view text, std::span<const Span> sorted) {
  std::uint64_t prev_end = 0, total = 0;
  for (const Span& s : sorted) {
    std::uint64_t end = 0;
    if (__builtin_add_overflow(s.start, s.len, &end)) {
      return invalid_value(concat({"match span overflow: pos=", number(s.start),
                                   " len=", number(s.len)}));
    }
    if (end > text.size()) {
      return invalid_value(concat({"match span out of range: pos=", number(s.start),
                                   " len=", number(s.len), " text_len=", number(text.size())}));
    }
    if (!on_char_boundary(text, s.start) || !on_char_boundary(text, end)) {
      return invalid_value("match span is not on a UTF-8 char boundary");
    }
    if (s.start < prev_end) return invalid_value("overlapping matches");
    if (__builtin_add_overflow(total, s.len, &total)) {
      return invalid_value("total match length overflow");
    }
    prev_end = end;
  }
  return total;
}

// Exact size of the rebuilt text, or the overflow that makes it unrepresentable.
Result<std::size_t> result_size(std::size_t text_len, std::uint64_t total, std::uint64_t count,
                                std::size_t replacement_len) {
  std::uint64_t inserted = 0, size = 0;
  if (__builtin_mul_overflow(static_cast<std::uint64_t>(replacement_len), count, &inserted)) {
    return invalid_value("replacement size overflow");
  }
  if (total > text_len || __builtin_add_overflow(text_len - total, inserted, &size) ||
      size > std::string().max_size()) {
    return invalid_value("result size overflow");
  }
  return static_cast<std::size_t>(size);
}

}  // namespace

std::size_t leading_space_from(std::string_view s, std::size_t i) {
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      if (b != ' ' && (b < 0x09 || b > 0x0D)) break;
      ++i;
      continue;
    }
    std::size_t len = 0;
    if (!is_unicode_space(decode_utf8_at(s, i, len))) break;
    i += len;
  }
  return i;
}

// memchr for the rarer '\r' keeps the scan at memory speed in LF texts and stops at once in
// CRLF texts.
bool contains_crlf(std::string_view text) {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    const void* cr = std::memchr(p, '\r', static_cast<std::size_t>(end - p));
    if (cr == nullptr) return false;
    p = static_cast<const char*>(cr) + 1;
    if (p < end && *p == '\n') return true;
  }
  return false;
}

std::vector<Span> exact_find_all(std::string_view text, std::string_view pattern) {
  std::vector<Span> found;
  if (pattern.empty()) return found;
  std::size_t pos = 0;
  while (text.size() - pos >= pattern.size()) {
    std::size_t at;
    if (pattern.size() == 1) {
      const void* hit = std::memchr(text.data() + pos, pattern[0], text.size() - pos);
      at = hit == nullptr ? std::string_view::npos
                          : static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
    } else {
      at = find_substring(text, pattern, pos);
    }
    if (at == std::string_view::npos) break;
    found.push_back({at, pattern.size()});
    pos = at + pattern.size();
  }
  return found;
}

std::vector<Span> rstrip_lines_find_all(std::string_view text, std::string_view pattern) {
  std::vector<Span> found;
  std::vector<std::string_view> wanted = split_keep_all(pattern);
  const std::size_t n = wanted.size();
  if (count_newlines(text) + 1 < n) return found;
  const std::vector<std::string_view> lines = split_keep_all(text);
  const std::size_t m = lines.size();
  for (std::string_view& w : wanted) w = trim_end_unicode(w);
  std::size_t i = 0;
  while (i <= m - n) {
    std::size_t j = 0;
    while (j < n && trim_end_equals(lines[i + j], wanted[j])) ++j;
    if (j < n) {
      ++i;
      continue;
    }
    const std::string_view last = lines[i + n - 1];
    std::size_t end = static_cast<std::size_t>(last.data() - text.data()) + last.size();
    if (!last.empty() && last.back() == '\r') --end;
    const auto start = static_cast<std::size_t>(lines[i].data() - text.data());
    found.push_back({start, end - start});
    i += n;
  }
  return found;
}

std::string with_crlf(std::string_view s) {
  std::string out;
  out.reserve(s.size() + count_newlines(s));
  std::size_t pos = 0;
  while (true) {
    const std::size_t nl = s.find('\n', pos);
    if (nl == std::string_view::npos) break;
    out.append(s.substr(pos, nl - pos));
    // A '\n' already preceded by '\r' keeps its pair; every other one gains a '\r'.
    out += (nl > 0 && s[nl - 1] == '\r') ? "\n" : "\r\n";
    pos = nl + 1;
  }
  out.append(s.substr(pos));
  return out;
}

Matches find_matches_ruled(std::string_view text, std::string_view pattern) {
  Matches found;
  if (pattern.empty()) {
    if (text.empty()) found.spans.push_back(Span{0, 0});
    return found;
  }
  found.spans = exact_find_all(text, pattern);
  if (!found.spans.empty()) return found;
  found.rule = MatchRule::Lines;
  if (pattern.find('\n') != std::string_view::npos && contains_crlf(text)) {
    std::string crlf_pattern = with_crlf(pattern);
    if (crlf_pattern != pattern) {
      found.spans = exact_find_all(text, crlf_pattern);
      if (!found.spans.empty()) {
        found.rule = MatchRule::CrlfExact;
        found.crlf_pattern = std::move(crlf_pattern);
      } else {
        found.spans = rstrip_lines_find_all(text, crlf_pattern);
      }
      return found;
    }
  }
  found.spans = rstrip_lines_find_all(text, pattern);
  return found;
}

std::vector<Span> find_matches_inner(std::string_view text, std::string_view pattern) {
  return find_matches_ruled(text, pattern).spans;
}

Result<std::string> apply_replacements_text_inner(std::string_view text,
                                                  std::span<const Span> spans,
                                                  std::string_view replacement,
                                                  std::string reuse) {
  std::vector<Span> sorted(spans.begin(), spans.end());
  const auto by_start = [](const Span& a, const Span& b) { return a.start < b.start; };
  if (!std::is_sorted(sorted.begin(), sorted.end(), by_start)) {
    std::stable_sort(sorted.begin(), sorted.end(), by_start);
  }
  Result<std::uint64_t> total = validate_spans(text, sorted);
  if (!total.ok()) return std::move(total.error());
  Result<std::size_t> size = result_size(text.size(), *total, sorted.size(), replacement.size());
  if (!size.ok()) return std::move(size.error());
  std::string out = std::move(reuse);
  out.clear();
  out.reserve(*size);
  std::size_t cursor = 0;
  for (const Span& s : sorted) {
    out.append(text.substr(cursor, s.start - cursor));
    out.append(replacement);
    cursor = s.start + s.len;
  }
  out.append(text.substr(cursor));
  return out;
}

std::optional<CoreError> refuse_edit(std::uint64_t found, bool replace_all) {
  if (found == 0) return invalid_value("NOT_FOUND: old_string not found");
  if (found > 1 && !replace_all) {
    return invalid_value(concat({"AMBIGUOUS: old_string found ", number(found), " times"}));
  }
  return std::nullopt;
}

Result<EditPlan> plan_edit(std::string_view text, std::string_view old, std::string_view new_text,
                           bool replace_all) {
  EditPlan plan;
  plan.matches = find_matches_ruled(text, old);
  if (std::optional<CoreError> refused = refuse_edit(plan.matches.spans.size(), replace_all)) {
    return std::move(*refused);
  }
  // Only a replacement with a '\n' can change in CRLF form, so only then is the text scanned.
  plan.crlf_replacement = new_text.find('\n') != std::string_view::npos && contains_crlf(text);
  if (plan.crlf_replacement) plan.replacement = with_crlf(new_text);
  return plan;
}

Result<EditOutcome> edit_text_inner(std::string_view text, std::string_view old,
                                    std::string_view new_text, bool replace_all) {
  Result<EditPlan> plan = plan_edit(text, old, new_text, replace_all);
  if (!plan.ok()) return std::move(plan.error());
  const std::string_view replacement = plan->crlf_replacement ? plan->replacement : new_text;
  Result<std::string> rebuilt =
      apply_replacements_text_inner(text, plan->matches.spans, replacement);
  if (!rebuilt.ok()) return std::move(rebuilt.error());
  return EditOutcome{std::move(*rebuilt), plan->matches.spans.size()};
}

}  // namespace tarnwistle
