// Exact string edits by byte spans, with a line-oriented fallback that ignores trailing
// whitespace and a CRLF-tolerant retry. No Python here. Texts are valid UTF-8; positions are
// byte offsets into them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace tarnwistle {

struct Span {
  std::uint64_t start;
  std::uint64_t len;
  bool operator==(const Span&) const = default;
};

// Whether `text` holds the two bytes "\r\n" anywhere.
bool contains_crlf(std::string_view text);

// Length in bytes of the Unicode whitespace that `s` starts with. Inline for the common
// start, a character that is plain ASCII.
std::size_t leading_space_from(std::string_view s, std::size_t i);
inline std::size_t leading_space(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b >= 0x80) return leading_space_from(s, i);
    if (b != ' ' && (b < 0x09 || b > 0x0D)) break;
    ++i;
  }
  return i;
}

// Whether `line` without its trailing Unicode whitespace equals `trimmed`, a text without
// trailing whitespace; decided in place, with no copy of the line.
inline bool trim_end_equals(std::string_view line, std::string_view trimmed) {
  return line.size() >= trimmed.size() && line.compare(0, trimmed.size(), trimmed) == 0 &&
         leading_space(line.substr(trimmed.size())) == line.size() - trimmed.size();
}

// Every non-overlapping occurrence of a non-empty `pattern`, leftmost first.
std::vector<Span> exact_find_all(std::string_view text, std::string_view pattern);

// Whole-line matches of `pattern`'s lines against `text`'s lines, each line compared with its
// trailing Unicode whitespace removed. A span runs from the start of the first matched line to
// the end of the last one, without a final '\r' of that last line.
std::vector<Span> rstrip_lines_find_all(std::string_view text, std::string_view pattern);

// `s` with every line ending made "\r\n" (existing "\r\n" kept, a lone '\r' untouched).
std::string with_crlf(std::string_view s);

// Exact matches; failing that, the CRLF form of the pattern; failing that, the line fallback.
std::vector<Span> find_matches_inner(std::string_view text, std::string_view pattern);

// Which step of find_matches_inner found the spans. Exact spans are the leftmost
// non-overlapping occurrences of one string (the pattern or its CRLF form), so a rebuild may
// also be said as replacing that string.
enum class MatchRule { Exact, CrlfExact, Lines };
struct Matches {
  std::vector<Span> spans;
  MatchRule rule = MatchRule::Exact;
  std::string crlf_pattern;  // the string found, when `rule` is CrlfExact
};
// find_matches_inner, telling also which step decided.
Matches find_matches_ruled(std::string_view text, std::string_view pattern);

// `text` with every span replaced by `replacement`. Spans may come in any order (sorted
// stably by start) and must lie on character boundaries without overlapping; otherwise an
// InvalidValue naming the first failed check. The result is allocated once, in `reuse`'s
// storage when that is large enough: a caller that keeps one buffer for its results passes it.
Result<std::string> apply_replacements_text_inner(std::string_view text,
                                                  std::span<const Span> spans,
                                                  std::string_view replacement,
                                                  std::string reuse = {});

struct EditOutcome {
  std::string text;
  std::uint64_t count = 0;
};

// The refusal of an edit that found `found` matches: NOT_FOUND for none, AMBIGUOUS for
// several unless `replace_all`; nullopt when the edit goes ahead.
std::optional<CoreError> refuse_edit(std::uint64_t found, bool replace_all);

// An edit decided but not yet applied: the matches and what goes in their place.
struct EditPlan {
  Matches matches;
  // When new_text has a '\n' and the text a "\r\n", the replacement is new_text in CRLF form.
  bool crlf_replacement = false;
  std::string replacement;  // only when crlf_replacement
};
Result<EditPlan> plan_edit(std::string_view text, std::string_view old, std::string_view new_text,
                           bool replace_all);

// Replaces the matches of `old` by `new_text` (made CRLF when `text` has any "\r\n").
// InvalidValue "NOT_FOUND: ..." without a match, "AMBIGUOUS: ..." for several matches unless
// `replace_all`.
Result<EditOutcome> edit_text_inner(std::string_view text, std::string_view old,
                                    std::string_view new_text, bool replace_all);

}  // namespace tarnwistle
