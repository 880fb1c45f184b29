#include "patch.hpp"

#include <iterator>

#include "edit.hpp"

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

// Character-wise equality after normalise_char, decoding only where either side is not ASCII.
bool normalised_equal(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[j]);
    if ((ca | cb) < 0x80) {
      if (ca != cb) return false;
      ++i;
      ++j;
      continue;
    }
    std::size_t la = 0, lb = 0;
    if (normalise_char(decode_utf8_at(a, i, la)) != normalise_char(decode_utf8_at(b, j, lb))) {
      return false;
    }
    i += la;
    j += lb;
  }
  return i == a.size() && j == b.size();
}

// Trimming only shortens a line, so a line shorter than the trimmed pattern line never matches.
bool trim_end_equal(std::string_view line, std::string_view want) {
  return line.size() >= want.size() && trim_end_unicode(line) == want;
}
bool trim_equal(std::string_view line, std::string_view want) {
  return line.size() >= want.size() && trim_unicode(line) == want;
}
bool normalised_trim_equal(std::string_view line, std::string_view want) {
  return normalised_equal(trim_unicode(line), want);
}

// First candidate in [first, last] where every pattern line agrees with its text line.
template <class Equal>
std::optional<std::uint64_t> first_agreeing(std::span<const std::string_view> lines,
                                            std::span<const std::string_view> want,
                                            std::size_t first, std::size_t last, Equal equal) {
  for (std::size_t i = first; i <= last; ++i) {
    std::size_t j = 0;
    while (j < want.size() && equal(lines[i + j], want[j])) ++j;
    if (j == want.size()) return i;
  }
  return std::nullopt;
}

// The file's lines: split on '\n' without the empty piece after a final '\n', and without
// one trailing '\r' each when the file uses CRLF.
std::vector<std::string_view> file_lines(std::string_view text, bool crlf) {
  std::vector<std::string_view> lines;
  if (text.empty()) return lines;
  lines.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
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

std::string joined_with_ending(std::span<const std::string_view> lines, std::string_view eol) {
  std::size_t size = lines.size() * eol.size();
  for (std::string_view line : lines) size += line.size();
  std::string out;
  out.reserve(size);
  for (std::string_view line : lines) {
    out.append(line);
    out.append(eol);
  }
  return out;
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
  const auto from = static_cast<std::size_t>(first);
  if (auto k = first_agreeing(lines, pattern, from, last, std::equal_to<std::string_view>())) {
    return k;
  }
  // The transformed pattern lines are made once per pass; text lines are compared in place.
  std::vector<std::string_view> want(pattern.begin(), pattern.end());
  for (std::string_view& w : want) w = trim_end_unicode(w);
  if (auto k = first_agreeing(lines, want, from, last, trim_end_equal)) return k;
  for (std::string_view& w : want) w = trim_unicode(w);
  if (auto k = first_agreeing(lines, want, from, last, trim_equal)) return k;
  return first_agreeing(lines, want, from, last, normalised_trim_equal);
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
  Result<std::vector<std::string_view>> rebuilt =
      apply_line_replacements_inner(std::move(lines), std::move(replacements));
  if (!rebuilt.ok()) return std::move(rebuilt.error());
  if (rebuilt->empty()) return std::string();
  return joined_with_ending(*rebuilt, crlf ? "\r\n" : "\n");
}

}  // namespace tarnwistle
