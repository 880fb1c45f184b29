#include "patch.hpp"

#include <iterator>

#include "edit.hpp"
#include "read.hpp"
#include "text.hpp"

namespace tarnwistle {

namespace {

// Typographic spaces, dashes and quotes as their ASCII forms; every other character as itself.
// U+2000, U+2001 and U+200B stay as they are.
char32_t normalise_char(char32_t c) {
  if (c < 0x80) return c;
  if (c == 0xA0 || (c >= 0x2002 && c <= 0x200A) || c == 0x202F || c == 0x205F || c == 0x3000) {
    return U' ';
  }
  if ((c >= 0x2010 && c <= 0x2015) || c == 0x2212) return U'-';
  if (c >= 0x2018 && c <= 0x201B) return U'\'';
  if (c >= 0x201C && c <= 0x201F) return U'"';
  return c;
}

// Bytes of the longest prefix of `s` that equals `want` character by character after
// normalise_char, or npos. ASCII pairs are compared directly; others are decoded.
std::size_t normalised_prefix(std::string_view s, std::string_view want) {
  std::size_t i = 0, j = 0;
  while (j < want.size()) {
    if (i >= s.size()) return std::string_view::npos;
    const auto cs = static_cast<unsigned char>(s[i]), cw = static_cast<unsigned char>(want[j]);
    if ((cs | cw) < 0x80) {
      if (cs != cw) return std::string_view::npos;
      ++i;
      ++j;
      continue;
    }
    std::size_t ls = 0, lw = 0;
    if (normalise_char(decode_utf8_at(s, i, ls)) != normalise_char(decode_utf8_at(want, j, lw))) {
      return std::string_view::npos;
    }
    i += ls;
    j += lw;
  }
  return i;
}

// The four ways a file line may agree with a pattern line, strictest first. Each takes the
// pattern line already in the form its pass compares (as is, trailing-trimmed, trimmed) and
// decides in place: the file line is never copied or transformed as a whole.
enum Pass { EXACT, TRIM_END, TRIM, NORMALISED, PASSES };

bool line_agrees(Pass pass, std::string_view line, std::string_view want) {
  switch (pass) {
    case EXACT:
      return line == want;
    case TRIM_END:
      return trim_end_equals(line, want);
    case TRIM:
      return trim_end_equals(line.substr(leading_space(line)), want);
    case NORMALISED: {
      const std::string_view rest = line.substr(leading_space(line));
      const std::size_t n = normalised_prefix(rest, want);
      // `want` is trimmed, so the line agrees when only whitespace follows the prefix.
      return n != std::string_view::npos && leading_space(rest.substr(n)) == rest.size() - n;
    }
    case PASSES:
      break;
  }
  return false;
}

// The pattern in the form each pass compares, made once per search.
struct PatternForms {
  std::span<const std::string_view> exact;
  std::vector<std::string_view> trim_end, trim;

  std::span<const std::string_view> of(Pass pass) const {
    if (pass == EXACT) return exact;
    return pass == TRIM_END ? std::span<const std::string_view>(trim_end)
                            : std::span<const std::string_view>(trim);
  }
};

bool agrees(Pass pass, std::span<const std::string_view> lines, std::size_t at,
            const PatternForms& forms) {
  const std::span<const std::string_view> want = forms.of(pass);
  for (std::size_t j = 0; j < want.size(); ++j) {
    if (!line_agrees(pass, lines[at + j], want[j])) return false;
  }
  return true;
}

// The file's lines: split on '\n' without the empty piece after a final '\n', and without
// one trailing '\r' each when the file uses CRLF.
std::vector<std::string_view> file_lines(std::string_view text, bool crlf) {
  std::vector<std::string_view> lines;
  if (text.empty()) return lines;
  lines.reserve(count_newlines(text) + 1);
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) nl = text.size();
    std::string_view line = text.substr(pos, nl - pos);
    if (crlf && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    pos = nl + 1;
  }
  return lines;
}

CoreError expected_lines_not_found(std::string_view path, std::span<const std::string_view> old) {
  std::string message = concat({"Failed to find expected lines in ", path, ":\n"});
  for (std::size_t i = 0; i < old.size(); ++i) {
    if (i > 0) message += '\n';
    message.append(old[i]);
  }
  return invalid_value(std::move(message));
}

// Where the chunk's lines go, or why they cannot; advances `line_index` past the old lines.
Result<LineReplacement<std::string_view>> locate_chunk(std::span<const std::string_view> lines,
                                                       std::string_view path,
                                                       const UpdateChunk& chunk,
                                                       std::uint64_t& line_index) {
  if (chunk.change_context) {
    const std::string_view context[1] = {*chunk.change_context};
    const std::optional<std::uint64_t> k = seek_sequence_inner(lines, context, line_index, false);
    if (!k) {
      return invalid_value(
          concat({"Failed to find context '", *chunk.change_context, "' in ", path}));
    }
    line_index = *k + 1;
  }
  if (chunk.old_lines.empty()) {  // pure addition
    const bool here = chunk.change_context && !chunk.is_end_of_file;
    return LineReplacement<std::string_view>{here ? line_index : lines.size(), 0,
                                             chunk.new_lines};
  }
  std::span<const std::string_view> pattern = chunk.old_lines, repl = chunk.new_lines;
  std::optional<std::uint64_t> k =
      seek_sequence_inner(lines, pattern, line_index, chunk.is_end_of_file);
  // Old lines ending in an empty line often stand for the file's final line ending.
  if (!k && pattern.back().empty()) {
    pattern = pattern.first(pattern.size() - 1);
    if (!repl.empty() && repl.back().empty()) repl = repl.first(repl.size() - 1);
    k = seek_sequence_inner(lines, pattern, line_index, chunk.is_end_of_file);
  }
  if (!k) return expected_lines_not_found(path, chunk.old_lines);
  line_index = *k + pattern.size();
  return LineReplacement<std::string_view>{*k, pattern.size(), repl};
}

}  // namespace

CoreError line_span_overflow(std::uint64_t start, std::uint64_t len) {
  return invalid_value(concat({"replacement span overflow: start=", std::to_string(start),
                               " len=", std::to_string(len)}));
}

CoreError line_span_out_of_range(std::uint64_t start, std::uint64_t len, std::uint64_t lines) {
  return invalid_value(concat({"replacement span out of range: start=", std::to_string(start),
                               " len=", std::to_string(len), " lines=", std::to_string(lines)}));
}

CoreError overlapping_line_replacements() {
  return invalid_value("overlapping line replacements");
}
CoreError output_line_count_overflow() {
  return invalid_value("replacement output line count overflow");
}
CoreError input_line_count_overflow() {
  return invalid_value("replacement input line count overflow");
}

std::optional<std::uint64_t> seek_sequence_inner(std::span<const std::string_view> lines,
                                                 std::span<const std::string_view> pattern,
                                                 std::uint64_t start, bool eof) {
  if (pattern.empty()) return start;
  if (pattern.size() > lines.size()) return std::nullopt;
  const std::size_t last = lines.size() - pattern.size();
  const std::uint64_t first = eof ? last : start;
  if (first > last) return std::nullopt;
  PatternForms forms{pattern, {}, {}};
  const auto from = static_cast<std::size_t>(first);
  for (std::size_t at = from; at <= last; ++at) {
    if (agrees(EXACT, lines, at, forms)) return at;
  }
  forms.trim_end.reserve(pattern.size());
  forms.trim.reserve(pattern.size());
  for (std::string_view p : pattern) {
    forms.trim_end.push_back(trim_end_unicode(p));
    forms.trim.push_back(trim_unicode(p));
  }
  // The relaxed passes run as one sweep with the same answer as running them one after
  // another: agreeing under a pass implies agreeing under every later one, so a candidate is
  // first tried with the loosest pass that could still improve on the best found, and only
  // then with stricter ones. The first candidate found at a level is that pass's first match.
  int best = PASSES;
  std::size_t best_at = 0;
  for (std::size_t at = from; at <= last && best > TRIM_END; ++at) {
    if (!agrees(static_cast<Pass>(best - 1), lines, at, forms)) continue;
    int level = best - 1;
    while (level > TRIM_END && agrees(static_cast<Pass>(level - 1), lines, at, forms)) --level;
    best = level;
    best_at = at;
  }
  if (best == PASSES) return std::nullopt;
  return best_at;
}

Result<std::string> derive_new_contents_inner(std::string_view original, std::string_view path,
                                              std::span<const UpdateChunk> chunks) {
  if (chunks.empty()) return std::string(original);
  const bool crlf = contains_crlf(original);
  std::vector<std::string_view> lines = file_lines(original, crlf);
  std::vector<LineReplacement<std::string_view>> replacements;
  replacements.reserve(chunks.size());
  std::uint64_t line_index = 0;
  for (const UpdateChunk& chunk : chunks) {
    Result<LineReplacement<std::string_view>> r = locate_chunk(lines, path, chunk, line_index);
    if (!r.ok()) return std::move(r.error());
    replacements.push_back(*r);
  }
  Result<std::uint64_t> count = sort_and_check(lines.size(), replacements);
  if (!count.ok()) return std::move(count.error());
  if (*count == 0) return std::string();
  // The new lines are joined straight into the result, sized exactly first.
  const std::string_view eol = crlf ? "\r\n" : "\n";
  std::size_t size = *count * eol.size();
  rebuild_lines(lines, replacements, [&](std::string_view line) { size += line.size(); });
  std::string out;
  out.reserve(size);
  rebuild_lines(lines, replacements, [&](std::string_view line) {
    out.append(line);
    out.append(eol);
  });
  return out;
}

}  // namespace tarnwistle
